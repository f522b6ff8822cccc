#pragma once

// Whether a formula holds between the rows: defined and of bounded size over
// the whole box spanned by the training rows' feature values, not only on the
// rows themselves. A formula fitted to noise can place a pole or a narrow
// spike at an outlier and still be finite on every row.

#include <cstddef>

#include "dataset/dataset.h"
#include "expr/expr.h"

namespace quorvex {

enum class BoxCheck {
  Holds,      // proven by interval bounds on every part of the box
  Fails,      // a point of the box where the formula is undefined or too large
  Undecided,  // the budget ran out first
};

// Checks `tree` over the box of `train`'s feature values by interval
// arithmetic, bisecting where the bounds are too loose, and looks for a point
// of the box where the formula is NaN, infinite or more than `spread` times
// the targets' range away from their mean. At most `budget` boxes are bounded.
// Deterministic: no randomness, a fixed order.
BoxCheck check_on_box(const Expr& tree, const Dataset& train, double spread = 1e3,
                      size_t budget = 20000);

}  // namespace quorvex
