/* A C host: y = 2x + 1 on 40 rows, one small discovery, the formula and verdict. */
#include <quorvex.h>
#include <stdio.h>

int main(void) {
  CDataset* ds = quorvex_dataset_new("y");
  if (ds == NULL || quorvex_dataset_add_feature(ds, "x") != 0) return 1;
  for (int i = 0; i < 40; ++i) {
    double x = i / 4.0;
    if (quorvex_dataset_push_row(ds, &x, 2.0 * x + 1.0) != 0) return 1;
  }
  CReport* r = quorvex_discover(ds, 10, 50, 0, 1, 0.25);
  quorvex_dataset_free(ds);
  if (r == NULL) return 1;
  char* formula = quorvex_report_formula(r);
  printf("C: %s, verdict code %d\n", formula, (int)quorvex_report_verdict(r));
  quorvex_string_free(formula);
  quorvex_report_free(r);
  return 0;
}
