#include "refine/snap.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "assess/assess.h"
#include "expr/derivatives.h"
#include "refine/fit.h"
#include "refine/scaled.h"

namespace quorvex {

namespace {

constexpr size_t kMaxLevelledConstants = 24;

bool nice(double v) { return std::round(v * 2.0) / 2.0 == v; }

size_t count_nice(const std::vector<double>& c) {
  size_t n = 0;
  for (double v : c) n += nice(v) ? 1 : 0;
  return n;
}

// Constants a hair from a whole or half number, as fitting leaves the 1 or
// the 0.5 of a law, put on it where the error stays at the floor or does not
// grow: 1.0000e0 * x reads as x, and the text shows the law.
bool round_constants(FrontEntry& e, const Dataset& train, double floor) {
  std::vector<double> c = constants_of(e.tree);
  bool changed = false;
  for (double& v : c) {
    const double was = v;
    const double r = std::round(was * 2.0) / 2.0;
    if (r == was || !(std::fabs(r - was) <= 1e-6 * std::max(1.0, std::fabs(was)))) continue;
    v = r;
    Expr tree = with_constants(e.tree, c.data());
    const double mse = all_rows_mse(tree, train);
    if (mse <= floor || mse <= e.mse_train) {
      e.tree = std::move(tree);
      e.mse_train = mse;
      e.bic = refined_bic(mse, train.weight_total(), e.complexity, floor);
      changed = true;
    } else {
      v = was;
    }
  }
  return changed;
}

// An exact formula with a direction its error does not see, such as
// c1·x/(c2 + c3·y), fits with its constants anywhere along it: each odd
// constant in turn is held at ±1 and the others refitted, kept when the fit
// stays exact and more constants come out whole.
bool level_constants(FrontEntry& e, const Dataset& train, double floor) {
  if (!(e.mse_train <= floor)) return false;
  const size_t count = constants_of(e.tree).size();
  // Each constant costs a fit of all of them: a straight line over hundreds
  // of features would take minutes.
  if (count > kMaxLevelledConstants) return false;
  bool changed = false;
  for (size_t i = 0; i < count; ++i) {
    std::vector<double> c = constants_of(e.tree);
    if (nice(c[i]) || c[i] == 0.0) continue;
    c[i] = std::copysign(1.0, c[i]);
    FrontEntry trial = e;
    trial.tree = with_constants(e.tree, c.data());
    FitOutcome fit = fit_constants(trial.tree, train, 50, false, i);
    if (fit.improved) trial.tree = std::move(fit.tree);
    trial.mse_train = all_rows_mse(trial.tree, train);
    if (!(trial.mse_train <= floor)) continue;
    trial.bic = refined_bic(trial.mse_train, train.weight_total(), trial.complexity, floor);
    round_constants(trial, train, floor);
    if (count_nice(constants_of(trial.tree)) <= count_nice(constants_of(e.tree))) continue;
    e = std::move(trial);
    changed = true;
  }
  return changed;
}

// How far from a whole or half number a noisy fit's constant may lie to be
// tried on it (relative to the larger of 1 and the number).
constexpr double kSettleReach = 0.05;
constexpr uint32_t kSettleIterations = 50;

}  // namespace

// On noisy rows a constant of the law (the 1 of exp(x) − 1, an exponent 2)
// comes out a little off, and the text shows the noise: the data cannot tell
// it from the simpler number, which is the one to write. A pole of
// exp(x) − 1.0012 also leaves the rows' range.
bool settle_constants(FrontEntry& e, const Dataset& train, double floor, const Deadline& deadline) {
  if (!(e.mse_train > floor) || !std::isfinite(e.mse_train)) return false;
  const size_t count = constants_of(e.tree).size();
  if (count > kMaxLevelledConstants) return false;
  const double n = train.weight_total();
  bool changed = false;
  // Whole and half numbers stay where they are while the others refit: else
  // settling one constant moves the last one settled off its number again.
  std::vector<size_t> held;
  {
    const std::vector<double> c = constants_of(e.tree);
    for (size_t i = 0; i < count; ++i)
      if (nice(c[i])) held.push_back(i);
  }
  for (size_t i = 0; i < count && !deadline.passed(); ++i) {
    std::vector<double> c = constants_of(e.tree);
    const double was = c[i];
    double best_mse = std::numeric_limits<double>::infinity();
    Expr best = e.tree;
    for (const double r : {std::round(was), std::round(was * 2.0) / 2.0}) {
      if (r == was || !(std::fabs(r - was) <= kSettleReach * std::max(1.0, std::fabs(r)))) continue;
      c[i] = r;
      Expr tree = with_constants(e.tree, c.data());
      std::vector<size_t> hold = held;
      hold.push_back(i);
      FitOutcome fit = fit_constants_holding(tree, train, kSettleIterations, false, std::move(hold),
                                             &deadline);
      if (fit.improved) tree = std::move(fit.tree);
      const double mse = all_rows_mse(tree, train);
      if (mse < best_mse) {
        best_mse = mse;
        best = std::move(tree);
      }
      c[i] = was;
    }
    if (!(n * std::log(std::max(best_mse, floor) / e.mse_train) <= std::log(n))) continue;
    e.tree = std::move(best);
    e.mse_train = best_mse;
    e.bic = refined_bic(best_mse, n, e.complexity, floor);
    held.push_back(i);
    changed = true;
  }
  return changed;
}

bool snap_constants(FrontEntry& e, const Dataset& train, double floor) {
  const bool rounded = round_constants(e, train, floor);
  const bool levelled = level_constants(e, train, floor);
  return rounded || levelled;
}

}  // namespace quorvex
