#pragma once

// The one-child functions only refined searches build, shared by the
// reference evaluator, the compiled one and the derivatives so that all
// three give the same bits.

#include <bit>
#include <cmath>
#include <cstdint>

#include "expr/expr.h"

namespace quorvex {

// sin and cos of an infinite x are NaN with a sign that differs between
// platforms; the guard's NaN keeps every platform's bits alike.
inline double sin_guarded(double x) {
  return std::isfinite(x) ? std::sin(x) : std::bit_cast<double>(0x7FF8000000000000ULL);
}
inline double cos_guarded(double x) {
  return std::isfinite(x) ? std::cos(x) : std::bit_cast<double>(0x7FF8000000000000ULL);
}

// Sin, Cos, Tanh or Abs of x.
inline double apply_function(Expr::Kind kind, double x) {
  switch (kind) {
    case Expr::Kind::Sin:
      return sin_guarded(x);
    case Expr::Kind::Cos:
      return cos_guarded(x);
    case Expr::Kind::Tanh:
      return std::tanh(x);
    default:
      return std::fabs(x);
  }
}

}  // namespace quorvex
