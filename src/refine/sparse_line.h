#pragma once

#include <optional>

#include "dataset/dataset.h"
#include "expr/expr.h"

namespace quorvex {

// The least-squares line over fewer of the features, dropped one at a time
// while the BIC charged one per coefficient falls: the line over every
// feature, which may stand as the result when nothing found beats it, also
// carries what noise its irrelevant features fit. The tree is a + Σ b_j·x_j,
// constant first; none when no feature is worth dropping, or there are too
// many features for the search over subsets (it costs their fifth power).
std::optional<Expr> sparse_line(const Dataset& train, double floor);

}  // namespace quorvex
