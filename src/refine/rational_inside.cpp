#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "baselines/baselines.h"
#include "refine/rational.h"
#include "refine/refine.h"
#include "refine/scaled.h"
#include "refine/seeds.h"

namespace quorvex {

namespace {

// As rational_tree: at most this many rows, far better than the line,
// exact within rounding.
constexpr size_t kRows = 4000;
constexpr double kMinGain = 0.99;
constexpr double kExact = 1e-12;
// exp(c·y) beyond this is too wide a range for a polynomial fit to mean much.
constexpr double kMaxExponent = 50.0;

bool changes_sign(const Expr& tree, const Dataset& rows) {
  bool below = false, above = false;
  for (size_t i = 0; i < rows.n_rows(); ++i) {
    const double v = tree.evaluate(rows.row(i));
    below = below || !(v > 0.0);
    above = above || !(v < 0.0);
  }
  return below && above;
}

}  // namespace

std::optional<RationalSeed> rational_inside_tree(const Dataset& train,
                                                 const std::vector<double>& line_coef, double floor,
                                                 const OperatorSet& ops) {
  const bool logs = ops.has(Operator::Log) && ops.has(Operator::Exp);
  const bool roots = ops.has(Operator::Sqrt);
  if ((!logs && !roots) || train.weighted()) return {};
  const Dataset rows = first_rows(train, kRows);
  const std::vector<double>& y = rows.targets();
  const auto [lo, hi] = std::minmax_element(y.begin(), y.end());
  const std::vector<std::string> names = distinct_features(rows);
  std::vector<const double*> cols;
  for (const std::string& name : names) cols.push_back(rows.column(rows.find_column(name)).data());
  std::vector<double> values(names.size());

  const ScaledScore line = score_scaled(linear_tree(train, line_coef), rows, floor, ops);
  std::optional<Expr> best;
  ScaledScore best_score = line;
  // z = exp(c·y), the tree log(R); c = 0 for z = y², the tree sqrt(R).
  for (const double c : {0.0, 0.5, 1.0, 2.0}) {
    if (c == 0.0 ? !roots || (*lo < 0.0 && *hi > 0.0)
                 : !logs || std::max(std::abs(*lo), std::abs(*hi)) * c > kMaxExponent)
      continue;
    Dataset z(rows.target_name());
    for (const std::string& name : names) z.add_feature(name);
    z.reserve_rows(rows.n_rows());
    for (size_t i = 0; i < rows.n_rows(); ++i) {
      for (size_t j = 0; j < names.size(); ++j) values[j] = cols[j][i];
      z.push_row(values.data(), c == 0.0 ? y[i] * y[i] : std::exp(c * y[i]));
    }
    const double var = const_predictor(z).second;
    if (!(var > 0.0)) continue;
    const double z_floor = kRelativeMseFloor * var;
    const std::optional<RationalSeed> inner =
        rational_tree(z, linear_predictor(z).first, z_floor, ops);
    if (!inner) continue;
    const ScaledScore fit = score_scaled(inner->tree, z, z_floor, ops);
    const Expr fitted = scaled_tree(inner->tree, fit);
    // A denominator that changes sign among the rows is a pole in range, or
    // a factor the numerator shares ((x⁴ − …)/(x − 1.4)): NaN where it is 0.
    if (fit.form == ScaledScore::Form::Rational && changes_sign(fitted.right(), z)) continue;
    Expr tree = c == 0.0 ? Expr::sqrt(fitted) : Expr::log(fitted);
    if (!ops.allows(tree)) continue;
    const ScaledScore s = score_scaled(tree, rows, floor, ops);
    if (s.score < best_score.score) {
      best_score = s;
      best = std::move(tree);
    }
  }
  if (!best || !(best_score.mse <= (1.0 - kMinGain) * line.mse)) return {};
  const double variance = const_predictor(rows).second;
  return RationalSeed{std::move(*best), best_score.mse <= kExact * variance};
}

}  // namespace quorvex
