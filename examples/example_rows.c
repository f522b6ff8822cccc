/* A minimal host: builds a dataset through the C interface. */
#include <math.h>
#include <stdio.h>

#include "quorvex.h"

int main(void) {
  CDataset* ds = quorvex_dataset_new("y");
  int i;
  if (ds == NULL) return 1;
  quorvex_dataset_add_feature(ds, "x");
  for (i = 0; i < 50; ++i) {
    const double x = i / 10.0;
    quorvex_dataset_push_row(ds, &x, 3.0 * x * x + 1.0);
  }
  printf("rows: %zu\n", quorvex_dataset_n_rows(ds));
  quorvex_dataset_free(ds);
  return 0;
}
