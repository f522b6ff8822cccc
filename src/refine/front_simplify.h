#pragma once

#include <vector>

#include "dataset/dataset.h"
#include "refine/deadline.h"
#include "refine/refine.h"
#include "units/check.h"

namespace quorvex {

// The front's trees simplified and scored again on the training rows; a
// simplification that does not keep the score (beyond rounding) is dropped.
// Returns the entries no simpler entry matches, by increasing complexity.
// Complexities are those of `ops`. Only `thorough` also polishes the
// constants with a last long fit, prunes the best entries and snaps
// constants: on large data that takes seconds, which a caller who stopped the
// search is not kept waiting for.
// With `units`, a simplified or pruned tree is kept only when it agrees with
// them.
std::vector<FrontEntry> simplify_front(const std::vector<FrontEntry>& front, const Dataset& train,
                                       double floor, const OperatorSet& ops, bool thorough = true,
                                       const Deadline& deadline = {},
                                       const UnitCheck* units = nullptr);

// A front found and simplified on the first rows of `train` scored again on
// all of them: the best few entries' constants refitted there (while the
// deadline allows), every BIC counted over all rows. Returns the entries no
// simpler entry matches, by increasing complexity.
std::vector<FrontEntry> settle_front(const std::vector<FrontEntry>& front, const Dataset& train,
                                     double floor, bool refit, const Deadline& deadline = {});

}  // namespace quorvex
