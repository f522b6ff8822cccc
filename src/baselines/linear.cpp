#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "baselines/baselines.h"
#include "baselines/eliminate.h"

namespace quorvex {

// The fit of one dataset at a time. `compute` has a batched path that must
// agree with this one bit for bit.
std::pair<std::vector<double>, double> linear_predictor(const Dataset& data) {
  const size_t n = data.n_rows();
  const size_t p = data.features().size();
  const size_t v = p + 1;
  if (n == 0) return {std::vector<double>(v, 0.0), std::numeric_limits<double>::infinity()};

  std::vector<const double*> cols(p);
  for (size_t j = 0; j < p; ++j) cols[j] = data.column(data.column_of_feature(j)).data();
  const std::vector<double>& y = data.targets();

  std::vector<double> x(n * v, 0.0);
  for (size_t i = 0; i < n; ++i) {
    x[i * v] = 1.0;
    for (size_t j = 0; j < p; ++j) x[i * v + 1 + j] = cols[j][i];
  }

  std::vector<double> a(v * v, 0.0);
  std::vector<double> b(v, 0.0);
  // A weight scales the left factor: the unit weight leaves every product as it is.
  const double* weights = data.weighted() ? data.weights().data() : nullptr;
  for (size_t i = 0; i < n; ++i) {
    const double* xi = &x[i * v];
    const double wi = weights ? weights[i] : 1.0;
    for (size_t j = 0; j < v; ++j) {
      const double xw = wi * xi[j];
      b[j] = xw * y[i] + b[j];
      for (size_t k = 0; k < v; ++k) a[j * v + k] = xw * xi[k] + a[j * v + k];
    }
  }

  double trace = a[0];
  for (size_t j = 1; j < v; ++j) trace = trace + a[j * v + j];
  const double lambda = (trace * 1e-8) / static_cast<double>(std::max<size_t>(v, 1));
  for (size_t j = 0; j < v; ++j) a[j * v + j] = a[j * v + j] + lambda;

  const size_t w = v + 1;
  std::vector<double> m(v * w);
  for (size_t j = 0; j < v; ++j) {
    for (size_t k = 0; k < v; ++k) m[j * w + k] = a[j * v + k];
    m[j * w + v] = b[j];
  }

  eliminate(m, v, w);

  std::vector<double> coef(v);
  for (size_t j = 0; j < v; ++j) coef[j] = m[j * w + v];

  double sse = 0.0;
  for (size_t i = 0; i < n; ++i) {
    double pred = coef[0];
    for (size_t j = 0; j < p; ++j) pred = pred + cols[j][i] * coef[1 + j];
    const double e = y[i] - pred;
    sse = sse + (weights ? weights[i] : 1.0) * (e * e);
  }
  return {std::move(coef), sse / data.weight_total()};
}

}  // namespace quorvex
