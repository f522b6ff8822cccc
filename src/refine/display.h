#pragma once

// The refined search's formulas as a scientist writes them. Display only:
// the trees, their constants and their scores stay as the search left them.

#include <string>

#include "dataset/dataset.h"
#include "expr/expr.h"

namespace quorvex {

struct ShownFormula {
  std::string text;   // "3.4*S/(S + 0.7)": parse_formula reads it back
  std::string latex;  // "\frac{3.4 S}{S + 0.7}"
};

// `tree` in a normal form, rewritten only where each rewrite agrees with what
// it replaces on every row of `rows` (exp(c·log x) -> x^c, nested roots and
// powers folded, exp(a)·exp(b) -> exp(a + b), like terms and factors merged,
// negative powers as a denominator, a denominator with a constant monic, a
// common factor taken out of a sum where that is shorter, ...), with
// constants of at most 6 significant digits (the fewest within 1e-6
// relative), plain from 1e-4 to 1e6 and as 2.5e-8 outside, and parentheses
// only where precedence needs them. The text read back by parse_formula
// agrees with `tree` on every row within 1e-5 relative; where rounding the
// constants would not, they get more digits (9, 12, then 17).
ShownFormula show_formula(const Expr& tree, const Dataset& rows);

// A constant as show_formula writes it: the fewest significant digits, at
// most `digits` (1..17), within 1e-6 relative (10^-digits beyond 6 digits).
std::string shown_number(double value, int digits = 6);

}  // namespace quorvex
