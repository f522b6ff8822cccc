/* Compiled as C99: the extended header must be valid C, usable beside the
 * first one in one translation unit. */
#include "quorvex.h"
#include "quorvex_ext.h"

int qvx_c_host_rows(void);

/* Builds a dataset from columns and discovers on it from C; returns the
 * training plus test rows, or -1. */
int qvx_c_host_rows(void) {
  const double x[6] = {1, 2, 3, 4, 5, 6};
  const double y[6] = {2, 4, 6, 8, 10, 12};
  const char* names[1] = {"x"};
  const double* columns[1] = {x};
  qvx_options options;
  qvx_result* result = NULL;
  qvx_dataset* ds = qvx_dataset_from_columns("y", 1, names, columns, y, 6);
  int rows;
  if (ds == NULL) return -1;
  if (qvx_options_init(&options, sizeof options, QVX_SEARCH_CLASSIC) != QVX_OK) return -1;
  options.generations = 2;
  options.population = 10;
  if (qvx_discover(ds, &options, NULL, NULL, &result) != QVX_OK) return -1;
  rows = (int)(qvx_result_count(result, QVX_N_TRAIN) + qvx_result_count(result, QVX_N_TEST));
  qvx_result_free(result);
  qvx_dataset_free(ds);
  return rows;
}
