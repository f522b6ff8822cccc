#include <cmath>
#include <limits>

#include "baselines/baselines.h"

namespace quorvex {

double bic(double mse, size_t n, uint32_t k) noexcept {
  // Zero, negative and non-finite errors cannot be scored; an exact fit is
  // deliberately treated like an unusable model.
  if (!(mse > 0.0) || !std::isfinite(mse)) return std::numeric_limits<double>::infinity();
  return weighted_bic(mse, static_cast<double>(static_cast<uint64_t>(n)), k);
}

double weighted_bic(double mse, double n, uint32_t k) noexcept {
  if (!(mse > 0.0) || !std::isfinite(mse)) return std::numeric_limits<double>::infinity();
  return n * std::log(mse) + static_cast<double>(k) * std::log(n);
}

std::pair<double, double> const_predictor(const Dataset& data) {
  const std::vector<double>& y = data.targets();
  const double d = y.empty() ? 1.0 : data.weight_total();
  return with_weights(data, [&](auto w) {
    double sum = -0.0;
    for (size_t i = 0; i < y.size(); ++i) sum += w[i] * y[i];
    const double mean = sum / d;
    double sq = -0.0;
    for (size_t i = 0; i < y.size(); ++i) {
      const double e = y[i] - mean;
      sq += w[i] * (e * e);
    }
    return std::pair<double, double>{mean, sq / d};
  });
}

}  // namespace quorvex
