#include "refine/refined_permutation.h"

#include <vector>

#include "refine/starts.h"

namespace quorvex {

PermutationResult refined_permutation_test(const Dataset& data, const RefinedConfig& config,
                                           double real_bic, size_t n_permutations,
                                           const PermutationProgress& progress,
                                           const PermutationStop& stop, uint32_t starts,
                                           size_t parallel) {
  const std::vector<size_t> keep = finite_rows(data);
  const Dataset clean = data.gather(keep.data(), keep.size());
  const RefineProgress go_on = [&](const GenerationInfo&) { return !stop(); };
  const NullRun run_null = [&](Dataset permuted) {
    return refine_starts(permuted, config, starts, parallel, stop ? &go_on : nullptr).report.bic;
  };
  return run_permutations(clean, config.seed, real_bic, n_permutations, run_null, progress, stop);
}

}  // namespace quorvex
