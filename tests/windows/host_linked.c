/*
 * A Windows host linked through the import library (quorvex.dll.a), built
 * from the public header as a C program: the __declspec(dllimport) side of
 * QUORVEX_API. It runs one discovery and checks that the accessors agree with
 * the JSON rendering and that every string comes back intact. Exits 0 on
 * success.
 */
#include <stdio.h>
#include <string.h>

#include "quorvex.h"

static int failures = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

/* The JSON rendering carries the formula as a JSON string; the formulas
 * of this data set need no escaping. */
static int json_has_formula(const char* json, const char* formula) {
  const char* key = "\"formula\": \"";
  const char* p = strstr(json, key);
  size_t n = strlen(formula);
  return p != NULL && strncmp(p + strlen(key), formula, n) == 0 && p[strlen(key) + n] == '"';
}

int main(void) {
  static const char* const verdicts[] = {"\"verdict\": \"Noise\"", "\"verdict\": \"Weak\"",
                                         "\"verdict\": \"Strong\""};
  /* Names outside ASCII pass through as UTF-8. */
  CDataset* ds = quorvex_dataset_new("\xCE\x94y");
  CReport* r;
  char *formula, *pretty, *json;
  int i;
  int32_t verdict;

  CHECK(ds != NULL);
  if (ds == NULL) return 1;
  CHECK(quorvex_dataset_add_feature(ds, "t") == 0);
  for (i = 0; i < 40; ++i) {
    double t = i / 8.0;
    CHECK(quorvex_dataset_push_row(ds, &t, 3.0 * t * t + 1.0) == 0);
  }
  CHECK(quorvex_dataset_n_rows(ds) == 40);

  r = quorvex_discover(ds, 10, 50, 3, 42, 0.2);
  /* The report does not depend on the dataset handle. */
  quorvex_dataset_free(ds);
  CHECK(r != NULL);
  if (r == NULL) return 1;

  formula = quorvex_report_formula(r);
  pretty = quorvex_report_pretty(r);
  json = quorvex_report_json(r);
  verdict = quorvex_report_verdict(r);
  CHECK(formula != NULL && pretty != NULL && json != NULL);
  if (formula != NULL && pretty != NULL && json != NULL) {
    CHECK(json[0] == '{');
    CHECK(json_has_formula(json, formula));
    CHECK(strstr(pretty, formula) != NULL);
    CHECK(verdict >= 0 && verdict <= 2);
    if (verdict >= 0 && verdict <= 2) CHECK(strstr(json, verdicts[verdict]) != NULL);
    /* A clean quadratic: whatever is found beats the constant model. */
    CHECK(quorvex_report_delta_bic_const(r) < 0.0);
    CHECK(quorvex_report_mse_train(r) >= 0.0);
  }
  quorvex_string_free(formula);
  quorvex_string_free(pretty);
  quorvex_string_free(json);
  quorvex_report_free(r);

  if (failures == 0) printf("host_linked: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
