#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "expr/expr.h"

namespace quorvex {

// Scores of the trees of the last scored population of one run. A score is a
// pure function of the tree and the training rows, so elites, niche copies
// and offspring equal to a tree of the previous generation take their score
// from here instead of being evaluated again. Trees are matched by a
// structural hash and then compared in full; the hash alone never decides.
// Holds at most one population's distinct trees.
class ScoreMemo {
 public:
  // The score of a stored tree equal to `tree`, whose structural_hash is `hash`; null
  // when there is none.
  const double* find(const Expr& tree, uint64_t hash) const noexcept;

  // Replaces the content by the distinct trees population[i] for i in
  // `distinct`, with their hashes and scores.
  void replace(const std::vector<Expr>& population, const std::vector<uint64_t>& hashes,
               const std::vector<double>& scores, const std::vector<size_t>& distinct);

  size_t size() const noexcept { return entries_.size(); }

 private:
  struct Entry {
    uint64_t hash;
    Expr tree;
    double score;
  };
  std::vector<Entry> entries_;  // by hash
};

}  // namespace quorvex
