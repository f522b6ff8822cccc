#pragma once

// The arithmetic of one node, guards included, shared by the reference
// evaluator, the simplifier, the compiled evaluator and the derivatives so
// that all of them give the same bits.

#include <bit>
#include <cmath>
#include <cstdint>

#include "expr/expr.h"

namespace quorvex {

// The NaN of every guard: the quiet NaN with exactly this bit pattern.
inline constexpr double kGuardNaN = std::bit_cast<double>(0x7FF8000000000000ULL);

// sin and cos of an infinite x are NaN with a sign that differs between
// platforms; the guard's NaN keeps every platform's bits alike.
inline double sin_guarded(double x) { return std::isfinite(x) ? std::sin(x) : kGuardNaN; }
inline double cos_guarded(double x) { return std::isfinite(x) ? std::cos(x) : kGuardNaN; }

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

// What Expr::evaluate computes at a node of `kind` (not a leaf) from its
// children's values: a, and b for Bin. op is a Bin's, exponent a Pow's.
inline double apply_node(Expr::Kind kind, Op op, int32_t exponent, double a, double b) {
  using Kind = Expr::Kind;
  switch (kind) {
    case Kind::Bin:
      switch (op) {
        case Op::Add:
          return a + b;
        case Op::Sub:
          return a - b;
        case Op::Mul:
          return a * b;
        case Op::Div:
          // A NaN divisor fails the test and is divided by.
          if (std::fabs(b) < 1e-300) return kGuardNaN;
          return a / b;
      }
      return kGuardNaN;  // unreachable: Op has four values
    case Kind::Pow:
      if (a == 0.0 && exponent < 0) return kGuardNaN;
      return std::pow(a, static_cast<double>(exponent));  // every int32 is exact as a double
    case Kind::Exp:
      return std::exp(a);
    case Kind::Log:
      if (a <= 0.0) return kGuardNaN;
      return std::log(a);
    case Kind::Sqrt:
      if (a < 0.0) return kGuardNaN;
      return std::sqrt(a);  // keeps -0.0 and NaN
    case Kind::Sin:
    case Kind::Cos:
    case Kind::Tanh:
    case Kind::Abs:
      return apply_function(kind, a);
    case Kind::Const:
    case Kind::Feature:
      break;
  }
  return kGuardNaN;  // leaves have no arithmetic
}

}  // namespace quorvex
