#include "baselines/eliminate.h"

#include <algorithm>
#include <cmath>

namespace quorvex {

void eliminate(std::vector<double>& m, size_t v, size_t w) {
  for (size_t o = 0; o < v; ++o) {
    size_t best = o;
    double best_abs = std::fabs(m[o * w + o]);
    for (size_t r = o + 1; r < v; ++r) {
      const double cand = std::fabs(m[r * w + o]);
      if (cand > best_abs) {  // ties keep the earlier row; NaN never wins
        best = r;
        best_abs = cand;
      }
    }
    if (best != o) std::swap_ranges(&m[o * w], &m[o * w] + w, &m[best * w]);
    const double piv = m[o * w + o];
    if (std::fabs(piv) < 1e-14) continue;  // a NaN pivot is not skipped
    double* row_o = &m[o * w];
    for (size_t c = 0; c < w; ++c) row_o[c] = row_o[c] / piv;
    for (size_t r = 0; r < v; ++r) {
      if (r == o) continue;
      double* row_r = &m[r * w];
      const double f = row_r[o];
      if (f == 0.0) continue;
      for (size_t c = 0; c < w; ++c) row_r[c] = row_r[c] - row_o[c] * f;
    }
  }
}

}  // namespace quorvex
