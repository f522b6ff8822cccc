#pragma once

#include <cstddef>
#include <vector>

namespace quorvex {

// Gauss-Jordan with partial pivoting on a v x w row-major matrix whose first
// v columns are the system and the rest are right-hand sides. Pivots and
// multipliers come from the system part only, so each right-hand side sees
// exactly the operations a fit of its own would apply.
void eliminate(std::vector<double>& m, size_t v, size_t w);

}  // namespace quorvex
