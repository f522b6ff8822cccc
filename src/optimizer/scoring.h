#pragma once

#include <cstddef>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"

namespace quorvex {

class ColumnCache;
class ScoreMemo;

// BIC of the tree on `data` over its finite predictions, charged with n = all
// rows; +inf when fewer than max(n/2, 2) rows give a finite prediction. Never NaN.
double candidate_score(const Expr& tree, const Dataset& data);

// candidate_score and finite_row_mse (assess.h) through Expr::evaluate, row by
// row: the reference that the compiled path must match bit for bit (tests and
// benchmarks).
double candidate_score_reference(const Expr& tree, const Dataset& data);
double finite_row_mse_reference(const Expr& tree, const Dataset& data);

// Candidate scores of a population, in population order whatever the number
// of threads. max_threads as for WorkerPool::run (0: one thread per logical
// processor, the caller included). With a memo, trees equal to one it holds,
// or to an earlier tree of the same population, are not evaluated again, and
// the memo then holds this population's trees. With
// a column cache, functions of columns that several trees apply are
// computed once (the cache lives as long as `data` stays the same).
std::vector<double> fitness_population(const std::vector<Expr>& population, const Dataset& data,
                                       size_t max_threads = 0, ScoreMemo* memo = nullptr,
                                       ColumnCache* columns = nullptr);

}  // namespace quorvex
