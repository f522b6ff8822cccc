#pragma once

#include "dataset/dataset.h"
#include "expr/operators.h"
#include "refine/deadline.h"
#include "refine/refine.h"
#include "units/check.h"

namespace quorvex {

// Greedy pruning of a front entry: a subtree replaced by its mean value or by
// one of its operands, the constants fitted again, kept when the BIC drops.
// Stops where it is once the deadline passes. With `units`, only trees that
// agree with them are tried.
void prune(FrontEntry& entry, const Dataset& train, double floor, const OperatorSet& ops,
           const Deadline& deadline = {}, const UnitCheck* units = nullptr);

}  // namespace quorvex
