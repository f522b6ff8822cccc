#pragma once

// The operators a refined search may build formulas from, each with the
// weight it adds to a formula's complexity (the k of its BIC). The classic
// search's operators are fixed and do not come from here.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "expr/expr.h"

namespace quorvex {

enum class Operator : uint8_t { Add, Sub, Mul, Div, Pow, Exp, Log, Sqrt, Sin, Cos, Tanh, Abs };
inline constexpr size_t kOperatorCount = 12;

// "+", "-", "*", "/", "pow", "exp", "log", "sqrt", "sin", "cos", "tanh", "abs".
const char* operator_name(Operator op) noexcept;

class OperatorSet {
 public:
  // The heaviest weight an operator can be given.
  static constexpr uint32_t kMaxWeight = 100;

  // The default set: + - * / pow exp log sqrt sin cos, every weight 1.
  static OperatorSet defaults();
  // Every operator, weight 1.
  static OperatorSet all();
  // Reads "name[:weight], ..." (names as operator_name gives them, or add,
  // sub, mul, div; weights whole numbers from 1 to kMaxWeight, 1 when left
  // out). Throws std::invalid_argument with a readable text for an unknown
  // or repeated name, a bad weight or an empty list.
  static OperatorSet parse(std::string_view text);

  bool has(Operator op) const noexcept { return weight_[static_cast<size_t>(op)] != 0; }
  // 0 when op is not in the set.
  uint32_t weight(Operator op) const noexcept { return weight_[static_cast<size_t>(op)]; }
  void set(Operator op, uint32_t weight) noexcept { weight_[static_cast<size_t>(op)] = weight; }
  // The canonical text parse reads back, weights 1 left out.
  std::string text() const;

  // Whether the set writes powers with fitted real exponents (real_power.h):
  // they need pow, and the exp, log and * they are built of.
  bool real_powers() const noexcept {
    return has(Operator::Pow) && has(Operator::Exp) && has(Operator::Log) && has(Operator::Mul);
  }
  // A formula's complexity: leaves 1, each operator its weight (an operator
  // outside the set counts 1). Where the set has pow, a feature's power x^c
  // written exp(c·log(x)) counts as a power: pow's weight, 1 for c, 1 for x.
  uint32_t complexity(const Expr& tree) const noexcept;
  // Whether every operator of the tree is in the set.
  bool allows(const Expr& tree) const noexcept;

  bool operator==(const OperatorSet&) const = default;

 private:
  std::array<uint32_t, kOperatorCount> weight_{};
};

// Operator, Op (a Bin node's operation) and Expr::Kind name the same
// operations in three enumerations; these map them by name, never by
// position (operators.cpp checks each round trip).

constexpr bool is_binary(Operator op) noexcept {
  return op == Operator::Add || op == Operator::Sub || op == Operator::Mul || op == Operator::Div;
}

constexpr Operator operator_of(Op op) noexcept {
  switch (op) {
    case Op::Add:
      return Operator::Add;
    case Op::Sub:
      return Operator::Sub;
    case Op::Mul:
      return Operator::Mul;
    case Op::Div:
      return Operator::Div;
  }
  return Operator::Add;  // unreachable: Op has four values
}

// The Op of a binary operator (is_binary(op)); Add for any other.
constexpr Op binary_op(Operator op) noexcept {
  switch (op) {
    case Operator::Sub:
      return Op::Sub;
    case Operator::Mul:
      return Op::Mul;
    case Operator::Div:
      return Op::Div;
    default:
      return Op::Add;
  }
}

// The operator of a one-child kind (Pow to Abs); Pow for any other kind.
constexpr Operator operator_of(Expr::Kind kind) noexcept {
  switch (kind) {
    case Expr::Kind::Exp:
      return Operator::Exp;
    case Expr::Kind::Log:
      return Operator::Log;
    case Expr::Kind::Sqrt:
      return Operator::Sqrt;
    case Expr::Kind::Sin:
      return Operator::Sin;
    case Expr::Kind::Cos:
      return Operator::Cos;
    case Expr::Kind::Tanh:
      return Operator::Tanh;
    case Expr::Kind::Abs:
      return Operator::Abs;
    default:
      return Operator::Pow;
  }
}

// The kind of node an operator builds: Bin for the binary ones.
constexpr Expr::Kind node_kind(Operator op) noexcept {
  switch (op) {
    case Operator::Pow:
      return Expr::Kind::Pow;
    case Operator::Exp:
      return Expr::Kind::Exp;
    case Operator::Log:
      return Expr::Kind::Log;
    case Operator::Sqrt:
      return Expr::Kind::Sqrt;
    case Operator::Sin:
      return Expr::Kind::Sin;
    case Operator::Cos:
      return Expr::Kind::Cos;
    case Operator::Tanh:
      return Expr::Kind::Tanh;
    case Operator::Abs:
      return Expr::Kind::Abs;
    default:
      return Expr::Kind::Bin;
  }
}

// The operator of a non-leaf node.
Operator operator_of(const Expr& node) noexcept;

}  // namespace quorvex
