#pragma once

#include "dataset/dataset.h"
#include "expr/operators.h"
#include "refine/refine.h"

namespace quorvex {

// Greedy pruning of a front entry: a subtree replaced by its mean value or by
// one of its operands, the constants fitted again, kept when the BIC drops.
void prune(FrontEntry& entry, const Dataset& train, double floor, const OperatorSet& ops);

}  // namespace quorvex
