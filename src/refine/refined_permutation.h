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
// With `starts` above 1, every null is refine_starts(permuted, config,
// starts, parallel), as the real discovery was (see refine/starts.h).
PermutationResult refined_permutation_test(const Dataset& data, const RefinedConfig& config,
                                           double real_bic, size_t n_permutations,
                                           const PermutationProgress& progress = {},
                                           const PermutationStop& stop = {}, uint32_t starts = 1,
                                           size_t parallel = 1);

}  // namespace quorvex
