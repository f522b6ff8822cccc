#include "refine/front_simplify.h"

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "assess/assess.h"
#include "expr/derivatives.h"
#include "expr/simplify.h"
#include "refine/cancel.h"
#include "refine/fit.h"
#include "refine/front.h"
#include "refine/prune.h"
#include "refine/scaled.h"
#include "refine/snap.h"

namespace quorvex {

namespace {

constexpr uint32_t kPolishIterations = 100;
// Entries pruned, lowest BIC first: pruning costs a fit per node and option.
constexpr size_t kPrunedEntries = 3;
// Nor is a tree with many constants polished: each step costs their square.
constexpr size_t kMaxPolishedConstants = 24;

// The entry's tree simplified, when that keeps its training error (beyond
// rounding) and its operators within the set.
void simplify_entry(FrontEntry& out, const Dataset& train, double floor, const OperatorSet& ops,
                    const UnitCheck* units) {
  Expr simple = simplify(cancel_factors(out.tree), train);
  if (simple == out.tree || !ops.allows(simple)) return;
  if (units && !units->agrees(simple)) return;
  const double mse = all_rows_mse(simple, train);
  const uint32_t k = ops.complexity(simple);
  // Rounding may move the error a little; a real change of value may not.
  const double slack = 1e-9 * out.mse_train + 1e-3 * floor;
  if (k <= out.complexity && mse <= out.mse_train + slack) {
    out.tree = std::move(simple);
    out.complexity = k;
    out.mse_train = mse;
    out.bic = refined_bic(mse, train.weight_total(), k, floor);
  }
}

// Entries refitted on all rows when the front was found on fewer, and the
// steps each gets: the constants are already close, and each step reads
// every row.
constexpr size_t kSettledEntries = 3;
constexpr uint32_t kSettleIterations = 10;

// A last, longer fit of the constants: the search's fits stop early.
void polish(FrontEntry& out, const Dataset& train, double floor, const Deadline& deadline,
            uint32_t iterations = kPolishIterations) {
  if (constants_of(out.tree).size() > kMaxPolishedConstants) return;
  FitOutcome polished = fit_constants(out.tree, train, iterations, false, kHoldNone, &deadline);
  if (!polished.improved) return;
  const double mse = all_rows_mse(polished.tree, train);
  if (mse < out.mse_train) {
    out.tree = std::move(polished.tree);
    out.mse_train = mse;
    out.bic = refined_bic(mse, train.weight_total(), out.complexity, floor);
  }
}

}  // namespace

std::vector<FrontEntry> simplify_front(const std::vector<FrontEntry>& front, const Dataset& train,
                                       double floor, const OperatorSet& ops, bool thorough,
                                       const Deadline& deadline, const UnitCheck* units) {
  Front out;
  for (const FrontEntry& e : front) {
    FrontEntry entry = e;
    // Scored the same way as the entry itself, so that the two compare.
    entry.mse_train = all_rows_mse(e.tree, train);
    entry.bic = refined_bic(entry.mse_train, train.weight_total(), e.complexity, floor);
    simplify_entry(entry, train, floor, ops, units);
    if (thorough && !deadline.passed()) polish(entry, train, floor, deadline);
    if (std::isfinite(entry.bic)) out.keep(std::move(entry));
  }
  if (!thorough || deadline.passed()) return out.pareto();
  std::vector<FrontEntry> pruned;
  for (FrontEntry e : out.lowest_bic(kPrunedEntries)) {
    if (deadline.passed()) break;
    const uint32_t was = e.complexity;
    prune(e, train, floor, ops, deadline, units);
    // Pruning leaves constants that now meet, as in c1·(c2·x) / (c3·y).
    simplify_entry(e, train, floor, ops, units);
    if (e.complexity < was) pruned.push_back(std::move(e));
  }
  for (FrontEntry& e : pruned) out.keep(std::move(e));
  Front snapped;
  for (FrontEntry e : out.entries()) {
    if (!deadline.passed() && snap_constants(e, train, floor))
      simplify_entry(e, train, floor, ops, units);
    snapped.keep(std::move(e));
  }
  // Settled constants cost a little error, which keep() would refuse.
  const std::vector<FrontEntry> ranked = snapped.lowest_bic(kPrunedEntries);
  for (const FrontEntry& e : ranked) {
    if (deadline.passed()) break;
    FrontEntry settled = e;
    if (!settle_constants(settled, train, floor, deadline)) continue;
    simplify_entry(settled, train, floor, ops, units);
    // A settled constant is written, not fitted, yet its node is charged as
    // before: the error it costs must not hand the lowest BIC to another
    // formula, or settling would choose the law's structure away.
    if (&e == &ranked.front() && ranked.size() > 1 && settled.bic > ranked[1].bic) continue;
    snapped.drop(e.complexity);
    snapped.keep(std::move(settled));
  }
  return snapped.pareto();
}

std::vector<FrontEntry> settle_front(const std::vector<FrontEntry>& front, const Dataset& train,
                                     double floor, bool refit, const Deadline& deadline) {
  Front out;
  for (FrontEntry e : front) {
    e.mse_train = all_rows_mse(e.tree, train);
    e.bic = refined_bic(e.mse_train, train.weight_total(), e.complexity, floor);
    if (std::isfinite(e.bic)) out.keep(std::move(e));
  }
  if (!refit) return out.pareto();
  for (FrontEntry e : out.lowest_bic(kSettledEntries)) {
    if (deadline.passed()) break;
    polish(e, train, floor, deadline, kSettleIterations);
    out.keep(std::move(e));
  }
  return out.pareto();
}

}  // namespace quorvex
