#include "optimizer/scoring.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "baselines/baselines.h"
#include "optimizer/pool.h"

namespace quorvex {

namespace {

struct SquaredErrors {
  double sse = 0.0;
  size_t m = 0;
};

SquaredErrors finite_squared_errors(const Expr& tree, const Dataset& data) {
  SquaredErrors acc;
  const auto& targets = data.targets();
  for (size_t i = 0; i < data.n_rows(); ++i) {
    const double y = tree.evaluate(data.row(i));
    if (!std::isfinite(y)) continue;
    const double d = targets[i] - y;
    acc.sse += d * d;
    ++acc.m;
  }
  return acc;
}

}  // namespace

double candidate_score(const Expr& tree, const Dataset& data) {
  const size_t n = data.n_rows();
  const SquaredErrors acc = finite_squared_errors(tree, data);
  if (acc.m < std::max<size_t>(n / 2, 2)) return std::numeric_limits<double>::infinity();
  return bic(acc.sse / static_cast<double>(acc.m), n, tree.k());
}

double finite_row_mse(const Expr& tree, const Dataset& data) {
  const SquaredErrors acc = finite_squared_errors(tree, data);
  if (acc.m == 0) return std::numeric_limits<double>::quiet_NaN();
  return acc.sse / static_cast<double>(acc.m);
}

std::vector<double> fitness_population(const std::vector<Expr>& population, const Dataset& data,
                                       size_t max_threads) {
  std::vector<double> scores(population.size());
  WorkerPool::instance().run(
      population.size(), [&](size_t i) { scores[i] = candidate_score(population[i], data); },
      max_threads);
  return scores;
}

}  // namespace quorvex
