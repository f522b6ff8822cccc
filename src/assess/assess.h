#pragma once

// What both searches say about the formula they chose: its errors on each
// side of the split, over the rows where it is defined, and the report that
// sets it against the baselines.

#include <cstddef>
#include <cstdint>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "report/report.h"

namespace quorvex {

// Squared errors summed in row order over the rows where the tree is finite,
// each times its row's weight when the rows are weighted.
struct FiniteErrors {
  double sse = 0.0;
  size_t finite = 0;
  bool weighted = false;
  double weight = 0.0;  // the weights of the finite rows, when weighted
  // NaN when no row is finite.
  double mse() const noexcept;
};
FiniteErrors finite_errors(const Expr& tree, const Dataset& data);

// finite_errors(tree, data).mse().
double finite_row_mse(const Expr& tree, const Dataset& data);

// The mean squared error when the tree is finite on every row, else +inf: how
// the refined search scores its front.
double all_rows_mse(const Expr& tree, const Dataset& data);

// Share of the rows of both sides of the split on which the tree is finite;
// NaN when there are no rows.
double finite_share(const Expr& tree, const Dataset& train, const Dataset& test);

// The report of `best`, whose score on `train` is `bic` at complexity `k`:
// errors on both sides of the split, the comparisons with the baselines and
// the verdict. wall_clock_ms stays 0.
DiscoverReport assess(const Expr& best, double bic, uint32_t k, const Dataset& train,
                      const Dataset& test, const BaselinesReport& baselines);

// The refined search's verdict on top of classify()'s comparisons, which its
// fitted constants can win on noise: a Strong formula must also beat the
// constant and linear models on the test rows it was not fitted on (at least
// kMinTestRows of them) and hold between the training rows (assess/box.h);
// otherwise it is Weak, and the reason says why. `floor` is the search's
// error floor, applied to every error compared; `line` the least-squares
// line of the training rows. `shown`, where given, is the formula as the
// report writes it (the same function on every row): a hole of `best` that
// the written form cancels, as x·(y − a/x) written x·y − a has at x = 0, is
// not held against it.
inline constexpr size_t kMinTestRows = 3;
void confirm_verdict(DiscoverReport& report, const Expr& best, const Expr& line,
                     const Dataset& train, const Dataset& test, double floor,
                     const Expr* shown = nullptr);

}  // namespace quorvex
