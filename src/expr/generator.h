#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "expr/expr.h"
#include "expr/operators.h"
#include "rng/lcg.h"

namespace quorvex {

// Random trees and their variation. Every decision is a draw from rng in a
// fixed order: two generators in the same state build the same trees.
// Without an operator set the order and kind of every draw is the classic
// search's contract.
class ExprGen {
 public:
  // Depth budgets above this are treated as this (see generator.cpp).
  static constexpr uint32_t kMaxBudget = 64;

  ExprGen(std::vector<std::string> features, Lcg rng);
  // A generator whose random trees use only the operators of `ops` (the
  // refined search's); its draws are its own, not the contract above.
  ExprGen(std::vector<std::string> features, Lcg rng, const OperatorSet& ops);

  Expr random(uint32_t budget);
  Expr mutate(const Expr& parent, uint32_t budget);
  Expr crossover(const Expr& first, const Expr& second);
  Expr splice(const Expr& host, const Expr& donor, uint32_t budget);

  const Lcg& rng() const noexcept { return rng_; }
  const std::vector<std::string>& features() const noexcept { return features_; }

 private:
  Expr leaf();
  Expr random_from_set(uint32_t budget);
  Expr scaled_argument(Expr child) const;

  std::vector<std::string> features_;
  Lcg rng_;
  bool restricted_ = false;
  bool multiply_ = true;  // whether the set has *
  std::vector<Operator> binary_;  // of the operator set, when restricted_
  std::vector<Operator> unary_;
};

}  // namespace quorvex
