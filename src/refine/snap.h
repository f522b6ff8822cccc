#pragma once

#include "dataset/dataset.h"
#include "refine/deadline.h"
#include "refine/refine.h"

namespace quorvex {

// Puts a front entry's constants on whole or half numbers where fitting left
// them a hair away, and levels an exact fit's free directions so that more of
// them come out whole, wherever the training error stays. True when it
// changed the tree (which the caller may then simplify again).
bool snap_constants(FrontEntry& e, const Dataset& train, double floor);

// On noisy rows (the entry's error above `floor`): each constant within 5% of
// a whole or half number is held there and the others refitted, and the change
// kept where the error term of the BIC grows by less than a fitted
// parameter's price (ln n). A fit per constant tried: for the few entries that
// may be reported. True when it changed the tree.
bool settle_constants(FrontEntry& e, const Dataset& train, double floor,
                      const Deadline& deadline = {});

}  // namespace quorvex
