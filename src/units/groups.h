#pragma once

// Dimensional analysis: every formula whose units agree can be written
// y = M·F(Π1, …, Πk), with M a product of powers of features in the target's
// unit and the Π pure-number products of powers, k the number of features
// less the rank of their units. Searching for F alone asks for fewer inputs.

#include <optional>
#include <vector>

#include "units/check.h"
#include "units/units.h"

namespace quorvex {

struct UnitGroups {
  std::vector<Monomial> groups;  // pure numbers; a pure-number feature is its own
  Monomial scale;                // in the target's unit; empty for a pure-number target
  bool scale_sqrt = false;       // the scale is the square root of `scale`'s product
};

// The groups of the simplest choice (fewest and smallest whole exponents) of
// repeating features, which each group but a pure-number feature's divides
// one other feature by. nullopt when nothing reduces: no feature has a unit,
// the target's unit is outside what the features' make, or no choice needs
// only whole exponents within ±kMaxGroupPower (half ones in the scale); also for more than
// kMaxDimensioned dimensioned features (the choices grow as their binomial).
std::optional<UnitGroups> unit_groups(const DeclaredUnits& declared);

inline constexpr int kMaxGroupPower = 6;
inline constexpr size_t kMaxDimensioned = 14;

}  // namespace quorvex
