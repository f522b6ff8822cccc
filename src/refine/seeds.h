#pragma once

// What a refined search starts from besides random trees: the least-squares
// line, products of powers read off a fit in logs, and the hints that direct
// the law-shaped pieces.

#include <cstddef>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "refine/pieces.h"

namespace quorvex {

// The feature names, each once, in their first order.
std::vector<std::string> distinct_features(const Dataset& data);

// The first `count` rows (all when there are fewer).
Dataset first_rows(const Dataset& data, size_t count);

// Σ b_j·x_j over the distinct features with the least-squares slopes; the
// scaling adds the intercept.
Expr linear_tree(const Dataset& train);

// A least-squares fit of log|y| on the logs of the features that are
// positive on every training row; empty when y changes sign or is zero.
struct LogFit {
  std::vector<std::string> names;
  std::vector<double> exponents;
};
LogFit log_fit(const Dataset& train);

// Products of powers of the features with the fit's exponents rounded to
// whole and to half numbers.
std::vector<Expr> power_law_trees(const LogFit& fit);

// The directions the fit sees, handed to the pieces as hints and prefactors.
void add_log_fit_hints(const LogFit& fit, LawPieces& pieces);

}  // namespace quorvex
