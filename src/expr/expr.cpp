#include "expr/expr.h"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

#include "expr/functions.h"

namespace quorvex {

Expr Expr::constant(double value) {
  Expr e;
  e.kind_ = Kind::Const;
  e.value_ = value;
  return e;
}

Expr Expr::feature(std::string name) {
  Expr e;
  e.kind_ = Kind::Feature;
  e.name_ = std::move(name);
  return e;
}

Expr Expr::bin(Op op, Expr left, Expr right) {
  Expr e;
  e.kind_ = Kind::Bin;
  e.op_ = op;
  e.a_ = std::make_unique<Expr>(std::move(left));
  e.b_ = std::make_unique<Expr>(std::move(right));
  return e;
}

Expr Expr::pow(Expr base, int32_t exponent) {
  Expr e;
  e.kind_ = Kind::Pow;
  e.exponent_ = exponent;
  e.a_ = std::make_unique<Expr>(std::move(base));
  return e;
}

Expr Expr::exp(Expr child) {
  Expr e;
  e.kind_ = Kind::Exp;
  e.a_ = std::make_unique<Expr>(std::move(child));
  return e;
}

Expr Expr::log(Expr child) {
  Expr e;
  e.kind_ = Kind::Log;
  e.a_ = std::make_unique<Expr>(std::move(child));
  return e;
}

Expr Expr::sqrt(Expr child) {
  Expr e;
  e.kind_ = Kind::Sqrt;
  e.a_ = std::make_unique<Expr>(std::move(child));
  return e;
}

Expr Expr::function(Kind kind, Expr child) {
  Expr e;
  e.kind_ = kind;
  e.a_ = std::make_unique<Expr>(std::move(child));
  return e;
}

Expr Expr::sin(Expr child) { return function(Kind::Sin, std::move(child)); }
Expr Expr::cos(Expr child) { return function(Kind::Cos, std::move(child)); }
Expr Expr::tanh(Expr child) { return function(Kind::Tanh, std::move(child)); }
Expr Expr::abs(Expr child) { return function(Kind::Abs, std::move(child)); }

Expr::Expr(const Expr& other)
    : kind_(other.kind_),
      op_(other.op_),
      exponent_(other.exponent_),
      value_(other.value_),
      name_(other.name_),
      a_(other.a_ ? std::make_unique<Expr>(*other.a_) : nullptr),
      b_(other.b_ ? std::make_unique<Expr>(*other.b_) : nullptr) {}

Expr& Expr::operator=(const Expr& other) {
  // Copy first: `other` may be a part of this tree.
  if (this != &other) *this = Expr(other);
  return *this;
}

Expr::Expr(Expr&& other) noexcept = default;
Expr& Expr::operator=(Expr&& other) noexcept = default;
Expr::~Expr() {
  if (a_) release(a_.release(), 64);
  if (b_) release(b_.release(), 64);
}

// Trees read from JSON can be thousands of levels deep, and a recursive
// release would use stack in proportion. Below `levels`, rotating each
// a-child above its parent turns the tree into a chain along b_, freed one
// node at a time. Every node is deleted with no children left, so no
// destructor nests.
void Expr::release(Expr* top, int levels) noexcept {
  if (levels > 0) {
    if (top->a_) release(top->a_.release(), levels - 1);
    if (top->b_) release(top->b_.release(), levels - 1);
    delete top;
    return;
  }
  std::unique_ptr<Expr> node(top);
  while (node) {
    if (node->a_) {
      std::unique_ptr<Expr> up = std::move(node->a_);
      node->a_ = std::move(up->b_);
      up->b_ = std::move(node);
      node = std::move(up);
    } else {
      node = std::move(node->b_);
    }
  }
}

double Expr::evaluate(const Row& row) const { return evaluate_within(row, 64); }

double Expr::evaluate_within(const Row& row, int levels) const {
  if (levels == 0) return evaluate_deep(row);
  switch (kind_) {
    case Kind::Const:
      return value_;
    case Kind::Feature:
      return row.value(name_);
    case Kind::Bin: {
      const double a = a_->evaluate_within(row, levels - 1);
      const double b = b_->evaluate_within(row, levels - 1);
      return apply_node(kind_, op_, exponent_, a, b);
    }
    default:
      return apply_node(kind_, op_, exponent_, a_->evaluate_within(row, levels - 1), 0.0);
  }
}

// Postorder with explicit stacks, left before right, the same arithmetic.
double Expr::evaluate_deep(const Row& row) const {
  std::vector<std::pair<const Expr*, bool>> walk{{this, false}};
  std::vector<double> values;
  while (!walk.empty()) {
    const auto [e, expanded] = walk.back();
    walk.pop_back();
    if (e->kind_ == Kind::Const) {
      values.push_back(e->value_);
    } else if (e->kind_ == Kind::Feature) {
      values.push_back(row.value(e->name_));
    } else if (!expanded) {
      walk.emplace_back(e, true);
      if (e->b_) walk.emplace_back(e->b_.get(), false);
      walk.emplace_back(e->a_.get(), false);
    } else if (e->kind_ == Kind::Bin) {
      const double b = values.back();
      values.pop_back();
      values.back() = apply_node(e->kind_, e->op_, e->exponent_, values.back(), b);
    } else {
      values.back() = apply_node(e->kind_, e->op_, e->exponent_, values.back(), 0.0);
    }
  }
  return values.back();
}

uint32_t Expr::k() const noexcept {
  switch (kind_) {
    case Kind::Const:
      return 1;
    case Kind::Feature:
      return 0;
    case Kind::Bin:
      return 1 + a_->k() + b_->k();
    default:
      return 1 + a_->k();
  }
}

uint32_t node_count(const Expr& tree) noexcept {
  switch (tree.kind()) {
    case Expr::Kind::Const:
    case Expr::Kind::Feature:
      return 1;
    case Expr::Kind::Bin:
      return 1 + node_count(tree.left()) + node_count(tree.right());
    default:
      return 1 + node_count(tree.child());
  }
}

uint32_t Expr::depth() const noexcept {
  switch (kind_) {
    case Kind::Const:
    case Kind::Feature:
      return 1;
    case Kind::Bin:
      return 1 + std::max(a_->depth(), b_->depth());
    default:
      return 1 + a_->depth();
  }
}

bool Expr::operator==(const Expr& other) const noexcept {
  if (kind_ != other.kind_) return false;
  switch (kind_) {
    case Kind::Const:
      return std::bit_cast<uint64_t>(value_) == std::bit_cast<uint64_t>(other.value_);
    case Kind::Feature:
      return name_ == other.name_;
    case Kind::Bin:
      return op_ == other.op_ && *a_ == *other.a_ && *b_ == *other.b_;
    case Kind::Pow:
      return exponent_ == other.exponent_ && *a_ == *other.a_;
    default:
      return *a_ == *other.a_;
  }
}

}  // namespace quorvex
