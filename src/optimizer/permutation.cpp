#include "optimizer/permutation.h"

#include <cmath>
#include <utility>

namespace quorvex {

uint64_t permutation_seed(uint64_t seed, uint64_t i) noexcept {
  uint64_t z = seed + i * 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double permutation_p_value(double real_bic, const std::vector<double>& null_bics) noexcept {
  if (std::isnan(real_bic)) return 1.0;
  size_t at_or_below = 0;
  for (double b : null_bics)
    if (b <= real_bic) ++at_or_below;
  return static_cast<double>(1 + at_or_below) / static_cast<double>(null_bics.size() + 1);
}

PermutationResult run_permutations(const Dataset& data, uint64_t seed, double real_bic,
                                   size_t n_permutations, const NullRun& run_null,
                                   const PermutationProgress& progress,
                                   const PermutationStop& stop) {
  PermutationResult result;
  result.null_bics.reserve(n_permutations);
  for (size_t i = 1; i <= n_permutations && !result.stopped; ++i) {
    const double b = run_null(data.shuffled_target(permutation_seed(seed, i)));
    // A null cut short by the stop is not a null.
    if (stop && stop()) {
      result.stopped = true;
      break;
    }
    result.null_bics.push_back(b);
    // A NaN real BIC (never produced by a discovery) loses to every null.
    if (b <= real_bic || std::isnan(real_bic)) ++result.at_or_below;
    if (progress) progress(i, n_permutations);
    result.stopped = stop && stop();
  }
  result.p_value = permutation_p_value(real_bic, result.null_bics);
  return result;
}

PermutationResult permutation_test(const Dataset& data, const DiscoverConfig& config,
                                   double real_bic, size_t n_permutations, size_t max_threads,
                                   const PermutationProgress& progress,
                                   const PermutationStop& stop) {
  DiscoverConfig null_config = config;
  null_config.verbose = false;  // the nulls run silently
  const NullRun run_null = [&](Dataset permuted) {
    Discoverer null_run(std::move(permuted), null_config);
    null_run.set_max_threads(max_threads);
    return null_run.run().report.bic;
  };
  return run_permutations(data, config.seed, real_bic, n_permutations, run_null, progress, stop);
}

}  // namespace quorvex
