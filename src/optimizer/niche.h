#pragma once

#include <cstdint>
#include <vector>

#include "expr/expr.h"

namespace quorvex {

// F | depth << 8 | distinct feature names << 16, F = 1 when the tree holds an
// Exp or Log node.
uint64_t niche_key(const Expr& tree);

// Appends to `next` (never past `population_size` trees) copies of the best
// candidates of the 8 best niches. Niches are taken in the order in which each
// first appears in the population, then stably sorted by score, so equally
// scored niches always come out in the same order.
void append_niche_champions(const std::vector<Expr>& population, const std::vector<double>& scores,
                            std::vector<Expr>& next, size_t population_size);

}  // namespace quorvex
