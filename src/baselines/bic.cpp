#include <cmath>
#include <limits>

#include "baselines/baselines.h"

namespace quorvex {

double bic(double mse, size_t n, uint32_t k) noexcept {
  // Zero, negative and non-finite errors cannot be scored; an exact fit is
  // deliberately treated like an unusable model.
  if (!(mse > 0.0) || !std::isfinite(mse)) return std::numeric_limits<double>::infinity();
  const double nd = static_cast<double>(static_cast<uint64_t>(n));
  return nd * std::log(mse) + static_cast<double>(k) * std::log(nd);
}

std::pair<double, double> const_predictor(const Dataset& data) {
  const std::vector<double>& y = data.targets();
  const double d = static_cast<double>(std::max<size_t>(y.size(), 1));
  double sum = -0.0;
  for (double t : y) sum += t;
  const double mean = sum / d;
  double sq = -0.0;
  for (double t : y) {
    const double e = t - mean;
    sq += e * e;
  }
  return {mean, sq / d};
}

}  // namespace quorvex
