#pragma once

// A seed for laws that are ratios of polynomials in the features (velocity
// addition, lens and resistor laws, Padé-shaped benchmark functions): which
// monomials the numerator and the denominator hold is found by a linear
// fit, which the search would have to assemble term by term.

#include <optional>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "expr/operators.h"

namespace quorvex {

struct RationalSeed {
  Expr tree;
  // Its error is within rounding of none: the law itself, most likely. A
  // seed that is not may be an approximant of some other law, which would
  // draw a first run away from it.
  bool exact = false;
};

// P/Q (or P alone) with unit coefficients on the monomials chosen, the
// scaling's rational form fitting them; none when no such tree explains the
// target far better than a straight line, or the set cannot write it.
// `line_coef`: linear_predictor's coefficients, the yardstick.
std::optional<RationalSeed> rational_tree(const Dataset& train,
                                          const std::vector<double>& line_coef, double floor,
                                          const OperatorSet& ops);

// log(R) or sqrt(R) for R a ratio of polynomials, found where exp(c·y)
// (c = 1/2, 1, 2) or y² is one: logarithms of products and ratios
// (log((x + a)(x² + b)), atanh x = ½·log((1 + x)/(1 − x))) and roots of
// sums of squares. The tree holds R's fitted constants; the same rules as
// rational_tree otherwise.
std::optional<RationalSeed> rational_inside_tree(const Dataset& train,
                                                 const std::vector<double>& line_coef, double floor,
                                                 const OperatorSet& ops);

}  // namespace quorvex
