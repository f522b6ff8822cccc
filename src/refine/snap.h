#pragma once

#include "dataset/dataset.h"
#include "refine/refine.h"

namespace quorvex {

// Puts a front entry's constants on whole or half numbers where fitting left
// them a hair away, and levels an exact fit's free directions so that more of
// them come out whole, wherever the training error stays; on noisy rows, puts
// a constant on a whole or half number near it where the error grows by less
// than the BIC's price of a fitted parameter. True when it
// changed the tree (which the caller may then simplify again).
bool snap_constants(FrontEntry& e, const Dataset& train, double floor);

}  // namespace quorvex
