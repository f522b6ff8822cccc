#pragma once

#include <cstddef>

#include "dataset/dataset.h"
#include "optimizer/permutation.h"
#include "refine/refine.h"

namespace quorvex {

// The permutation test of a refined discovery: the rows it would set aside
// are set aside first, then null i (from 1) runs refine on the rest with its
// targets permuted by shuffled_target(permutation_seed(config.seed, i)), so
// that a non-finite target never moves onto a kept row. Otherwise as
// permutation_test, except that `stop` is also asked after each generation
// of the running null, which it then cuts short. Throws what refine throws.
PermutationResult refined_permutation_test(const Dataset& data, const RefinedConfig& config,
                                           double real_bic, size_t n_permutations,
                                           const PermutationProgress& progress = {},
                                           const PermutationStop& stop = {});

}  // namespace quorvex
