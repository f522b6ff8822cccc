#pragma once

// Whether a formula's units agree with the declared ones: sums of equal
// units, pure numbers inside exp, log, sin, cos and tanh, and the target's
// unit overall.

#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "expr/expr.h"
#include "units/units.h"

namespace quorvex {

// What a constant is: an offset (a constant term of a sum, such as the
// intercept a of the scaling a + b·f or a formula that is a lone constant)
// has the unit of its sum; up to declared.dimensional_constants others carry
// whatever unit makes the formula agree, chosen in preorder, fewest first;
// the rest (factors, and what sits inside a function) are pure numbers. A
// tree that reads a feature without a unit never agrees.
class UnitCheck {
 public:
  explicit UnitCheck(const DeclaredUnits& declared);

  // The unit of each constant of `tree` (Const leaves in preorder) when the
  // tree, as a formula for the target, agrees.
  std::optional<std::vector<Unit>> constant_units(const Expr& tree) const;
  bool agrees(const Expr& tree) const { return constant_units(tree).has_value(); }

  const Unit& target() const noexcept { return target_; }

 private:
  std::unordered_map<std::string, Unit> features_;
  Unit target_;
  uint32_t free_ = 0;
};

// Products of whole powers of the dimensioned features (each power within
// ±3, at most `max_degree` in all) whose unit is `want`: the monomials
// dimensional analysis allows, simplest first, at most `count` of them.
// Pure-number features are left out: any power of them fits anywhere.
using Monomial = std::vector<std::pair<std::string, int>>;
std::vector<Monomial> unit_monomials(const DeclaredUnits& declared, const Unit& want, size_t count,
                                     int max_degree = 6);

}  // namespace quorvex
