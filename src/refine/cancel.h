#pragma once

#include "expr/expr.h"

namespace quorvex {

// The tree with every factor that a product/quotient chain multiplies in and
// divides out again removed, as the t of (cos(b·t)·t/exp(a·t))/t. Equal in
// value wherever that factor is finite and non-zero: the caller checks.
Expr cancel_factors(const Expr& e);

}  // namespace quorvex
