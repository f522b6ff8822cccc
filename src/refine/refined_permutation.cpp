#include "refine/refined_permutation.h"

#include <cmath>
#include <vector>

namespace quorvex {

PermutationResult refined_permutation_test(const Dataset& data, const RefinedConfig& config,
                                           double real_bic, size_t n_permutations,
                                           const PermutationProgress& progress) {
  const std::vector<size_t> keep = finite_rows(data);
  const Dataset clean = data.gather(keep.data(), keep.size());
  PermutationResult result;
  result.null_bics.reserve(n_permutations);
  for (size_t i = 1; i <= n_permutations; ++i) {
    const double b =
        refine(clean.shuffled_target(permutation_seed(config.seed, i)), config).report.bic;
    result.null_bics.push_back(b);
    if (b <= real_bic || std::isnan(real_bic)) ++result.at_or_below;
    if (progress) progress(i, n_permutations);
  }
  result.p_value = permutation_p_value(real_bic, result.null_bics);
  return result;
}

}  // namespace quorvex
