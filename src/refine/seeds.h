#pragma once

// What a refined search starts from besides random trees: the least-squares
// line, products of powers read off a fit in logs, and the hints that direct
// the law-shaped pieces.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "refine/pieces.h"
#include "refine/rational.h"

namespace quorvex {

// The feature names, each once, in their first order.
std::vector<std::string> distinct_features(const Dataset& data);

// The first `count` rows (all when there are fewer).
Dataset first_rows(const Dataset& data, size_t count);

// Σ b_j·x_j over the distinct features with the slopes of `coef` (the
// intercept first, as linear_predictor gives them); the scaling adds the
// intercept.
Expr linear_tree(const Dataset& train, const std::vector<double>& coef);

// The distinct features positive on every row: the only bases a fitted
// power is offered (on any other it is NaN somewhere, and the candidate lost).
std::vector<std::string> positive_features(const Dataset& data);

// A least-squares fit of log|y| on the logs of the features that are
// positive on every training row; empty when y changes sign or is zero.
struct LogFit {
  std::vector<std::string> names;
  std::vector<double> exponents;
  double r2 = 0.0;  // of log|y|, explained by the fit

  // Whether the data look like a power law whose exponents are not whole or
  // half numbers: the fit explains log|y| almost wholly and an exponent lies
  // clearly between the half numbers.
  bool real_exponents() const noexcept;
};
LogFit log_fit(const Dataset& train);

// Products of powers of the features with the fit's exponents rounded to
// whole and to half numbers.
std::vector<Expr> power_law_trees(const LogFit& fit);

// c0·Π x_i^{c_i} with the fit's exponents unrounded, as fitted powers (for
// the set's real_powers()): allometry, Cobb–Douglas, Freundlich. Exponents
// below 0.05 in magnitude are left out, so are those above 5.
Expr fitted_power_law(const LogFit& fit);

// The directions the fit sees, handed to the pieces as hints and prefactors.
void add_log_fit_hints(const LogFit& fit, LawPieces& pieces);

// What every run of one discovery starts from, computed once: on wide data
// each least-squares solve costs the cube of the feature count.
struct Seeds {
  std::vector<double> line;  // linear_predictor's coefficients
  LogFit logs;
  std::vector<std::string> positive;  // positive_features
  std::optional<RationalSeed> rational;
  std::optional<RationalSeed> rational_inside;  // log(R) or sqrt(R)
};

}  // namespace quorvex
