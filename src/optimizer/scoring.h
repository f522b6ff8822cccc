#pragma once

#include <cstddef>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"

namespace quorvex {

// BIC of the tree on `data` over its finite predictions, charged with n = all
// rows; +inf when fewer than max(n/2, 2) rows give a finite prediction. Never NaN.
double candidate_score(const Expr& tree, const Dataset& data);

// Mean squared error over the rows where the tree is finite; NaN if none.
double finite_row_mse(const Expr& tree, const Dataset& data);

// Candidate scores of a population, in population order whatever the number
// of threads. max_threads 0 uses the whole worker pool.
std::vector<double> fitness_population(const std::vector<Expr>& population, const Dataset& data,
                                       size_t max_threads = 0);

}  // namespace quorvex
