#include "assess/assess.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "expr/compiled.h"

namespace quorvex {

double FiniteErrors::mse() const noexcept {
  if (finite == 0) return std::numeric_limits<double>::quiet_NaN();
  return sse / (weighted ? weight : static_cast<double>(finite));
}

FiniteErrors finite_errors(const Expr& tree, const Dataset& data) {
  FiniteErrors out;
  CompiledExpr program;
  program.compile(tree, data);
  // Block by block as the population's scoring does, so that the two agree
  // to the bit (a skipped row adds +0.0).
  thread_local EvalBuffer buffer;
  double* slots = buffer.get((program.slots() + 1) * kEvalBlockRows);
  double* sq = slots + program.slots() * kEvalBlockRows;
  const double* targets = data.targets().data();
  const size_t n = data.n_rows();
  for (size_t begin = 0; begin < n; begin += kEvalBlockRows) {
    const size_t count = std::min(kEvalBlockRows, n - begin);
    const double* y = program.run(begin, count, slots);
    out.finite += finite_squared_errors(y, targets + begin, count, sq);
    if (!data.weighted()) {
      for (size_t i = 0; i < count; ++i) out.sse += sq[i];
      continue;
    }
    const double* w = data.weights().data() + begin;
    for (size_t i = 0; i < count; ++i) {
      out.sse += w[i] * sq[i];
      if (std::isfinite(y[i])) out.weight += w[i];
    }
  }
  out.weighted = data.weighted();
  return out;
}

double finite_row_mse(const Expr& tree, const Dataset& data) {
  return finite_errors(tree, data).mse();
}

double all_rows_mse(const Expr& tree, const Dataset& data) {
  const FiniteErrors e = finite_errors(tree, data);
  return e.finite == data.n_rows() ? e.mse() : std::numeric_limits<double>::infinity();
}

double finite_share(const Expr& tree, const Dataset& train, const Dataset& test) {
  const size_t total = train.n_rows() + test.n_rows();
  if (total == 0) return std::numeric_limits<double>::quiet_NaN();
  const size_t finite = finite_errors(tree, train).finite + finite_errors(tree, test).finite;
  return static_cast<double>(finite) / static_cast<double>(total);
}

DiscoverReport assess(const Expr& best, double bic, uint32_t k, const Dataset& train,
                      const Dataset& test, const BaselinesReport& baselines) {
  DiscoverReport report;
  report.bic = bic;
  report.mse_train = finite_row_mse(best, train);
  report.mse_test = finite_row_mse(best, test);
  report.formula = best.formula();
  report.expr_json = best.to_json();
  report.k = k;
  report.baselines = baselines;
  report.delta_bic_const = bic - baselines.bic_const;
  report.delta_bic_linear = bic - baselines.bic_linear;
  report.z_vs_shuffled = z_score(bic, baselines);
  report.n_train = train.n_rows();
  report.n_test = test.n_rows();
  report.classify();
  return report;
}

}  // namespace quorvex
