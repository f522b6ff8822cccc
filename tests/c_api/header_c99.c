/* Compiled as C99: the public header must be valid C, and usable from it. */
#include "quorvex.h"

#if !defined(QUORVEX_VERSION_MAJOR) || !defined(QUORVEX_VERSION_MINOR) || \
    !defined(QUORVEX_VERSION_PATCH)
#error "version macros missing"
#endif

int quorvex_c_host_row_count(void);

int quorvex_c_host_row_count(void) {
  const double row[2] = {1.0, 2.0};
  CDataset* ds = quorvex_dataset_new("y");
  size_t n;
  if (ds == NULL) return -1;
  if (quorvex_dataset_add_feature(ds, "a") != 0) return -1;
  if (quorvex_dataset_add_feature(ds, "b") != 0) return -1;
  if (quorvex_dataset_push_row(ds, row, 3.0) != 0) return -1;
  if (quorvex_dataset_push_row(ds, row, 4.0) != 0) return -1;
  n = quorvex_dataset_n_rows(ds);
  quorvex_dataset_free(ds);
  return (int)n;
}
