#pragma once

// Smaller trees of the same value on a given set of rows.
//
// Every rule is an identity of real arithmetic (x + 0 = x, x - x = 0,
// exp(log x) = x, c1 * (c2 * x) = (c1 c2) * x, ...), but floating point and
// the evaluation guards make most of them conditional: x - x is NaN where x
// is infinite, x / x where |x| < 1e-300, exp(log x) where x <= 0. So no
// condition is proved; each rewrite is tried and kept only where the new
// subtree agrees with the old one on every row, within kSimplifyTolerance.

#include <cstdint>

#include "dataset/dataset.h"
#include "expr/expr.h"

namespace quorvex {

// Relative agreement simplify guarantees on every row. Rewrites that
// re-associate constants or cancel exp/log change the last bits; this is a
// few hundred units in the last place, far below any measurement noise.
inline constexpr double kSimplifyTolerance = 1e-13;

// A tree of the same value as `tree` on every row of `rows` (same_values with
// kSimplifyTolerance), with at most as many nodes and fewer where it can:
// - any subtree reading no feature becomes one constant, when that is finite;
// - x^1 -> x, x^0 -> 1, (x^a)^b -> x^(ab), x * x -> x^2, x^a * x^b -> x^(a+b),
//   x^a / x^b -> x^(a-b), 1 / x -> x^-1, (sqrt x)^2k -> x^k, sqrt(x^2k) -> x^k;
// - x + 0, x - 0, x * 1, x / 1 -> x; 0 * x, 0 / x -> 0; x - x -> 0; x / x -> 1;
//   x + x -> 2 * x; 0 - x -> -1 * x; x + -1 * y -> x - y; x - -1 * y -> x + y;
// - exp(log x) -> x; log(exp x) -> x;
// - constants collected at the top of sum and product chains: c1 + (c2 + x)
//   -> (c1 + c2) + x, (c + x) + y -> c + (x + y), x - c -> (-c) + x, and the
//   same for * and /, where x / c stays as it is unless it meets another
//   constant factor.
// Written form: a sum or product with a constant has it on the left (c + x,
// c * x). The rules run bottom-up until nothing changes. Where the rounding
// of re-associated constants would add up past the tolerance, the result is
// the one of the rewrites that keep every value exactly; and with no rows,
// every condition holds.
Expr simplify(const Expr& tree, const Dataset& rows);

// Whether a and b agree on every row of rows: both NaN, equal (0 == -0), or
// both finite with |va - vb| <= rel_tol * max(|va|, |vb|). rel_tol 0 asks
// for equality.
bool same_values(const Expr& a, const Expr& b, const Dataset& rows, double rel_tol);

}  // namespace quorvex
