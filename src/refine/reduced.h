#pragma once

// With units declared, a law y = M·F(Π) (units/groups.h) asks only for F, a
// function of fewer inputs: a search over the pure-number groups, its front
// written back in the features, gives the search with units its first
// formulas.

#include <cstdint>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "refine/refine.h"

namespace quorvex {

struct ReducedStart {
  std::vector<Expr> trees;  // in the features; each agrees with the units
  uint32_t generations = 0;
  bool stopped = false;  // by the caller's progress callback
};

// Searches F on the training rows (at most kReducedRows of them) for at most
// half the generations, within `time_limit` seconds (0: none). Nothing when
// the units do not reduce or allow dimensional constants.
ReducedStart reduced_start(const Dataset& train, const RefinedConfig& cfg, double time_limit,
                           const RefineProgress* progress);

inline constexpr size_t kReducedRows = 10000;

}  // namespace quorvex
