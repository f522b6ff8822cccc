// The expression generator. Each operation is a direct
// transcription of its algorithm: the order and kind of every draw from rng_
// is a contract shared with other implementations, so do not reorder,
// merge or skip draws.
#include "expr/generator.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace quorvex {

namespace {

// Why budgets are clamped: below budget 2 a node is a leaf, above it a node
// has on average 0.65 * (0.55 * 2 + 0.45) ~= 1.0075 children, a slightly
// supercritical branching process. An unbounded budget therefore gives trees
// of unbounded size and depth, and every walk over a tree (evaluate, k,
// depth, copy, destroy, formula, to_json) recurses once per level. 64 is far
// above any useful depth (the search defaults to a few levels) and keeps each
// recursive walk shallow, also on a 1 MiB Windows thread stack.
uint32_t clamp_budget(uint32_t budget) { return std::min(budget, ExprGen::kMaxBudget); }

}  // namespace

ExprGen::ExprGen(std::vector<std::string> features, Lcg rng)
    : features_(std::move(features)), rng_(rng) {}

ExprGen::ExprGen(std::vector<std::string> features, Lcg rng, const OperatorSet& ops)
    : features_(std::move(features)),
      rng_(rng),
      restricted_(true),
      multiply_(ops.has(Operator::Mul)) {
  for (size_t i = 0; i < kOperatorCount; ++i) {
    const auto op = static_cast<Operator>(i);
    if (!ops.has(op)) continue;
    (i < 4 ? binary_ : unary_).push_back(op);
  }
}

// The shape of the classic draw (a leaf first with probability 0.35, then a
// binary node with 0.55) over the operators of the set, each kind equally
// likely within its group. Powers are -2, -1, 2 or 3: x^1 is x.
Expr ExprGen::random_from_set(uint32_t budget) {
  const uint32_t d = clamp_budget(budget);
  if (d < 2 || (binary_.empty() && unary_.empty())) return leaf();
  const double a = rng_.next_f64();
  if (a < 0.35) return leaf();
  const double b = rng_.next_f64();
  if (unary_.empty() || (b < 0.55 && !binary_.empty())) {
    const auto op = static_cast<Op>(binary_[rng_.below(binary_.size())]);
    Expr left = random_from_set(d - 1);
    Expr right = random_from_set(d - 1);
    return Expr::bin(op, std::move(left), std::move(right));
  }
  const Operator u = unary_[rng_.below(unary_.size())];
  if (u == Operator::Pow) {
    static constexpr int32_t kExponents[4] = {-2, -1, 2, 3};
    const int32_t e = kExponents[rng_.below(4)];
    return Expr::pow(random_from_set(d - 1), e);
  }
  Expr child = random_from_set(d - 1);
  switch (u) {
    case Operator::Exp:
      return Expr::exp(std::move(child));
    case Operator::Log:
      return Expr::log(std::move(child));
    case Operator::Sqrt:
      return Expr::sqrt(std::move(child));
    case Operator::Sin:
      return Expr::sin(scaled_argument(std::move(child)));
    case Operator::Cos:
      return Expr::cos(scaled_argument(std::move(child)));
    case Operator::Tanh:
      return Expr::tanh(std::move(child));
    default:
      return Expr::abs(std::move(child));
  }
}

// 1·x, so that fitting finds a frequency; x alone when the set has no product.
Expr ExprGen::scaled_argument(Expr child) const {
  if (!multiply_) return child;
  return Expr::bin(Op::Mul, Expr::constant(1.0), std::move(child));
}

// Leaf draw: u, then (constant) m and s, or (feature) one index.
Expr ExprGen::leaf() {
  const double u = rng_.next_f64();  // drawn even when there are no features
  if (u < 0.3 || features_.empty()) {
    const double m = rng_.next_f64();
    const double s = rng_.next_f64();
    const double magnitude = std::pow(10.0, (m - 0.5) * 4.0);
    return Expr::constant(s < 0.5 ? -magnitude : magnitude);
  }
  const size_t i = rng_.below(features_.size());
  return Expr::feature(features_[i]);
}

Expr ExprGen::random(uint32_t budget) {
  if (restricted_) return random_from_set(budget);
  const uint32_t d = clamp_budget(budget);
  if (d < 2) return leaf();  // no draw before the leaf draw
  const double a = rng_.next_f64();
  if (a < 0.35) return leaf();
  const double b = rng_.next_f64();
  if (b < 0.55) {
    const Op op = static_cast<Op>(rng_.below(4));  // before the children's draws
    Expr left = random(d - 1);
    Expr right = random(d - 1);
    return Expr::bin(op, std::move(left), std::move(right));
  }
  if (b < 0.75) {
    const size_t l = rng_.below(5);                              // before the child's draws
    const int32_t e = l == 2 ? 1 : static_cast<int32_t>(l) - 2;  // -2, -1, 1, 1, 2
    return Expr::pow(random(d - 1), e);
  }
  if (b < 0.85) return Expr::exp(random(d - 1));
  if (b < 0.93) return Expr::log(random(d - 1));
  return Expr::sqrt(random(d - 1));
}

Expr ExprGen::mutate(const Expr& parent, uint32_t budget) {
  const uint32_t d = clamp_budget(budget);
  const double a = rng_.next_f64();
  if (a < 0.3) return random(d);
  const uint32_t child_budget = d == 0 ? 0 : d - 1;
  switch (parent.kind()) {
    case Expr::Kind::Const: {
      const double m = rng_.next_f64();
      return Expr::constant(std::pow(10.0, (m - 0.5) * 0.6) * parent.value());
    }
    case Expr::Kind::Feature:
      return leaf();
    case Expr::Kind::Bin: {
      const double b = rng_.next_f64();
      if (b < 0.5)
        return Expr::bin(parent.op(), mutate(parent.left(), child_budget), parent.right());
      return Expr::bin(parent.op(), parent.left(), mutate(parent.right(), child_budget));
    }
    case Expr::Kind::Pow: {
      const double b = rng_.next_f64();
      if (b < 0.4) {
        const size_t r = rng_.below(3);
        // 64-bit so that no int32 exponent can overflow before the clamp.
        const int64_t t = static_cast<int64_t>(parent.exponent()) + static_cast<int64_t>(r) - 1;
        const int32_t e = t == 0 ? 1 : static_cast<int32_t>(std::clamp<int64_t>(t, -3, 3));
        return Expr::pow(parent.child(), e);
      }
      return Expr::pow(mutate(parent.child(), child_budget), parent.exponent());
    }
    case Expr::Kind::Exp:
      return Expr::exp(mutate(parent.child(), child_budget));
    case Expr::Kind::Log:
      return Expr::log(mutate(parent.child(), child_budget));
    case Expr::Kind::Sqrt:
      return Expr::sqrt(mutate(parent.child(), child_budget));
    default:
      return Expr::function(parent.kind(), mutate(parent.child(), child_budget));
  }
}

Expr ExprGen::crossover(const Expr& first, const Expr& second) {
  // Fixed budgets, independent of the configured maximum depth.
  const double x = rng_.next_f64();
  const bool first_hosts = x < 0.5;
  Expr child = first_hosts ? splice(first, second, 8) : splice(second, first, 8);
  if (child.depth() > 10) return random(6);
  return child;
}

// Needs no clamp: the walk descends the host one level per step, so it is
// bounded by the host's depth as well as by the budget.
Expr ExprGen::splice(const Expr& host, const Expr& donor, uint32_t budget) {
  if (budget == 0) return donor;
  const double x = rng_.next_f64();
  if (x < 0.3) return donor;
  const uint32_t g = budget - 1;
  switch (host.kind()) {
    case Expr::Kind::Const:
    case Expr::Kind::Feature:
      return host;
    case Expr::Kind::Bin: {
      const double y = rng_.next_f64();
      if (y < 0.5) return Expr::bin(host.op(), splice(host.left(), donor, g), host.right());
      return Expr::bin(host.op(), host.left(), splice(host.right(), donor, g));
    }
    case Expr::Kind::Pow:
      return Expr::pow(splice(host.child(), donor, g), host.exponent());
    case Expr::Kind::Exp:
      return Expr::exp(splice(host.child(), donor, g));
    case Expr::Kind::Log:
      return Expr::log(splice(host.child(), donor, g));
    case Expr::Kind::Sqrt:
      return Expr::sqrt(splice(host.child(), donor, g));
    default:
      return Expr::function(host.kind(), splice(host.child(), donor, g));
  }
}

}  // namespace quorvex
