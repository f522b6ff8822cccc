#include "refine/simplify_step.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "expr/compiled.h"
#include "refine/scaled.h"

namespace quorvex {

namespace {

Expr simplify_tree(const Expr& tree, const Dataset&) { return tree; }

double plain_mse(const Expr& tree, const Dataset& train) {
  CompiledExpr program;
  program.compile(tree, train);
  std::vector<double> f(train.n_rows());
  evaluate_rows(program, train.n_rows(), f.data());
  double sse = 0.0;
  for (size_t i = 0; i < f.size(); ++i) {
    if (!std::isfinite(f[i])) return std::numeric_limits<double>::infinity();
    const double e = train.targets()[i] - f[i];
    sse += e * e;
  }
  return sse / static_cast<double>(f.size());
}

}  // namespace

std::vector<FrontEntry> simplify_front(const std::vector<FrontEntry>& front, const Dataset& train,
                                       double floor) {
  std::map<uint32_t, FrontEntry> by_complexity;
  for (const FrontEntry& e : front) {
    FrontEntry out = e;
    // Scored the same way as the entry itself, so that the two compare.
    out.mse_train = plain_mse(e.tree, train);
    out.bic = refined_bic(out.mse_train, train.n_rows(), e.complexity, floor);
    Expr simple = simplify_tree(e.tree, train);
    if (!(simple == e.tree)) {
      const double mse = plain_mse(simple, train);
      const uint32_t k = node_count(simple);
      // Rounding may move the error a little; a real change of value may not.
      const double slack = 1e-9 * out.mse_train + 1e-3 * floor;
      if (k <= e.complexity && mse <= out.mse_train + slack) {
        out.tree = std::move(simple);
        out.complexity = k;
        out.mse_train = mse;
        out.bic = refined_bic(mse, train.n_rows(), k, floor);
      }
    }
    if (!std::isfinite(out.bic)) continue;
    auto it = by_complexity.find(out.complexity);
    if (it == by_complexity.end() || out.mse_train < it->second.mse_train)
      by_complexity[out.complexity] = std::move(out);
  }
  std::vector<FrontEntry> result;
  double best = std::numeric_limits<double>::infinity();
  for (auto& [c, e] : by_complexity) {
    if (e.mse_train < best) {
      best = e.mse_train;
      result.push_back(std::move(e));
    }
  }
  return result;
}

}  // namespace quorvex
