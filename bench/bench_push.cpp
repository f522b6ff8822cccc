// Pushes 1,000,000 rows x 20 features through the C interface and prints the
// time taken and the heap bytes held per stored value.
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "quorvex.h"

int main() {
  constexpr size_t kRows = 1000000, kFeatures = 20;
  const size_t before = mallinfo2().uordblks + mallinfo2().hblkhd;
  CDataset* ds = quorvex_dataset_new("y");
  char name[16];
  for (size_t f = 0; f < kFeatures; ++f) {
    std::snprintf(name, sizeof name, "x%zu", f);
    quorvex_dataset_add_feature(ds, name);
  }
  std::vector<double> row(kFeatures);
  const auto start = std::chrono::steady_clock::now();
  for (size_t r = 0; r < kRows; ++r) {
    for (size_t f = 0; f < kFeatures; ++f) row[f] = static_cast<double>(r * kFeatures + f);
    quorvex_dataset_push_row(ds, row.data(), static_cast<double>(r));
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const struct mallinfo2 mi = mallinfo2();
  const size_t held = mi.uordblks + mi.hblkhd - before;
  const double values = static_cast<double>(kRows * (kFeatures + 1));  // features + target
  std::printf("push %zu rows x %zu features: %.3f s (%.1f ns per row)\n", kRows, kFeatures, secs,
              secs * 1e9 / kRows);
  std::printf("heap held: %.1f MiB, %.2f bytes per stored value (8 is the raw double)\n",
              held / 1048576.0, held / values);
  std::printf("rows: %zu\n", quorvex_dataset_n_rows(ds));
  quorvex_dataset_free(ds);
  return 0;
}
