#pragma once

// A power with a fitted real exponent, u^c. The tree writes it
// exp(c·log(u)), as the formula reader does: the evaluator, the derivatives
// (in the base and in the exponent, by the chain rule), the JSON and every
// reader already know those nodes, and the classic search never sees it. It
// is NaN wherever u <= 0, as log is: a candidate with such a row scores +inf.

#include <utility>

#include "expr/expr.h"

namespace quorvex {

inline Expr real_power(Expr base, double exponent) {
  return Expr::exp(Expr::bin(Op::Mul, Expr::constant(exponent), Expr::log(std::move(base))));
}

// The base of a node written as real_power writes it, either factor order;
// nullptr for any other node.
inline const Expr* real_power_base(const Expr& e) noexcept {
  if (e.kind() != Expr::Kind::Exp) return nullptr;
  const Expr& m = e.child();
  if (m.kind() != Expr::Kind::Bin || m.op() != Op::Mul) return nullptr;
  if (m.left().kind() == Expr::Kind::Const && m.right().kind() == Expr::Kind::Log)
    return &m.right().child();
  if (m.right().kind() == Expr::Kind::Const && m.left().kind() == Expr::Kind::Log)
    return &m.left().child();
  return nullptr;
}

}  // namespace quorvex
