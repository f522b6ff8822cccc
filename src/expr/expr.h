#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dataset/dataset.h"

namespace quorvex {

enum class Op : uint8_t { Add = 0, Sub = 1, Mul = 2, Div = 3 };

// One candidate formula: an immutable tree value. Children are owned
// exclusively; copying copies every node.
class Expr {
 public:
  // Sin, Cos, Tanh and Abs appear only in refined searches: the classic
  // generator never builds them.
  enum class Kind : uint8_t {
    Const = 0,
    Feature = 1,
    Bin = 2,
    Pow = 3,
    Exp = 4,
    Log = 5,
    Sqrt = 6,
    Sin = 7,
    Cos = 8,
    Tanh = 9,
    Abs = 10,
  };

  static Expr constant(double value);
  static Expr feature(std::string name);
  static Expr bin(Op op, Expr left, Expr right);
  static Expr pow(Expr base, int32_t exponent);
  static Expr exp(Expr child);
  static Expr log(Expr child);
  static Expr sqrt(Expr child);
  static Expr sin(Expr child);
  static Expr cos(Expr child);
  static Expr tanh(Expr child);
  static Expr abs(Expr child);
  // A node of one of the one-child function kinds (Exp to Abs, not Pow).
  static Expr function(Kind kind, Expr child);

  Expr(const Expr& other);
  Expr& operator=(const Expr& other);
  Expr(Expr&& other) noexcept;
  Expr& operator=(Expr&& other) noexcept;
  ~Expr();

  Kind kind() const noexcept { return kind_; }
  double value() const noexcept { return value_; }            // Const
  const std::string& name() const noexcept { return name_; }  // Feature
  Op op() const noexcept { return op_; }                      // Bin
  int32_t exponent() const noexcept { return exponent_; }     // Pow
  const Expr& left() const noexcept { return *a_; }           // Bin
  const Expr& right() const noexcept { return *b_; }          // Bin
  const Expr& child() const noexcept { return *a_; }          // every one-child kind

  // The formula's value on one row, with the guards: |divisor| < 1e-300,
  // a zero base with a negative exponent, log of x <= 0, sqrt of x < 0 and
  // sin or cos of an infinite or NaN x give the quiet NaN 0x7FF8000000000000.
  double evaluate(const Row& row) const;
  uint32_t k() const noexcept;      // constants plus operator nodes (node_count: features too)
  uint32_t depth() const noexcept;  // a leaf is 1

  std::string formula() const;  // "(x + 2.5000e0)"
  std::string to_json() const;  // {"Bin":["Add",{"Feature":"x"},{"Const":2.5}]}

  // Structural equality: same shape, names, operators, exponents and the
  // same bits in every constant.
  bool operator==(const Expr& other) const noexcept;

 private:
  Expr() = default;
  // Frees a subtree, recursing at most `levels` deeper (see the destructor).
  static void release(Expr* node, int levels) noexcept;
  // evaluate, recursing at most `levels` further before going on without
  // recursion (evaluate_deep): shallow trees keep the fast path.
  double evaluate_within(const Row& row, int levels) const;
  double evaluate_deep(const Row& row) const;

  Kind kind_ = Kind::Const;
  Op op_ = Op::Add;
  int32_t exponent_ = 0;
  double value_ = 0.0;
  std::string name_;
  std::unique_ptr<Expr> a_;
  std::unique_ptr<Expr> b_;
};

// Nodes of the tree: constants, features and operators alike.
uint32_t node_count(const Expr& tree) noexcept;

}  // namespace quorvex
