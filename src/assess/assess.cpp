#include "assess/assess.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "assess/box.h"
#include "baselines/baselines.h"
#include "expr/compiled.h"
#include "text/numbers.h"

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

namespace {

// n·ln(reference error / formula error) on the test rows: twice the gain in
// log-likelihood of a fixed predictor. Where nothing was fitted to these rows
// a formula no better than the reference exceeds kTestGain with probability
// at most P(Z > sqrt(kTestGain)) under Gaussian errors, whatever its shape.
constexpr double kTestGain = 4.0;

double test_gain(double reference_mse, double formula_mse, double floor, double n) {
  const double ref = std::max(reference_mse, floor);
  const double mine = std::max(formula_mse, floor);
  if (!(ref >= 0.0) || !(mine >= 0.0)) return -std::numeric_limits<double>::infinity();
  return n * std::log(ref / mine);
}

}  // namespace

void confirm_verdict(DiscoverReport& report, const Expr& best, const Expr& line,
                     const Dataset& train, const Dataset& test, double floor, const Expr* shown) {
  const size_t n = test.n_rows();
  const double weight = test.weight_total();  // the row count when unweighted
  const double gain_const =
      n ? test_gain(finite_row_mse(Expr::constant(const_predictor(train).first), test),
                    report.mse_test, floor, weight)
        : std::numeric_limits<double>::quiet_NaN();
  const double gain_linear =
      n ? test_gain(finite_row_mse(line, test), report.mse_test, floor, weight)
        : std::numeric_limits<double>::quiet_NaN();
  // A formula NaN on some test rows is judged on the rest, but only if it is
  // finite on all of them is it confirmed.
  const bool finite_on_test = n && finite_errors(best, test).finite == n;
  report.verdict_reason += "; on test rows: gain vs const = ";
  report.verdict_reason += format_fixed(gain_const, 1);
  report.verdict_reason += ", vs linear = ";
  report.verdict_reason += format_fixed(gain_linear, 1);
  if (report.verdict != Verdict::Strong) return;
  const char* why = nullptr;
  if (n < kMinTestRows)
    why = "fewer than 3 test rows to confirm it on";
  else if (!finite_on_test || !(gain_const > kTestGain) || !(gain_linear > 0.0))
    why = "not confirmed on the test rows";
  else if (check_on_box(best, train) == BoxCheck::Fails &&
           (shown == nullptr || check_on_box(*shown, train) != BoxCheck::Holds))
    why = "undefined or unbounded between the training rows";
  if (why == nullptr) return;
  report.verdict = Verdict::Weak;
  report.verdict_reason += "; not Strong: ";
  report.verdict_reason += why;
}

}  // namespace quorvex
