#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "dataset/dataset.h"
#include "optimizer/discover.h"

namespace quorvex {

// Seed of the target shuffle of permutation i (counted from 1): the i-th
// output of SplitMix64 started at the run's seed, that is the SplitMix64
// finaliser of seed + i * 0x9E3779B97F4A7C15 (wrapping).
uint64_t permutation_seed(uint64_t seed, uint64_t i) noexcept;

// The permutation p-value of a real BIC against null BICs: (1 + the number
// of null BICs at or below it) / (nulls + 1). Ties count against the real
// formula, so a real BIC of +inf (or NaN) gets 1.
double permutation_p_value(double real_bic, const std::vector<double>& null_bics) noexcept;

struct PermutationResult {
  std::vector<double> null_bics;  // in permutation order
  size_t at_or_below = 0;         // null BICs <= the real one
  double p_value = 1.0;
  // The stop hook ended the test early: null_bics holds the nulls finished
  // before it, and p_value is theirs, not the test's.
  bool stopped = false;
};

// Called after each permuted discovery with the number done and the total.
using PermutationProgress = std::function<void(size_t done, size_t total)>;

// Asked after each null discovery (before its BIC counts) and after each
// progress call; true ends the test with `stopped` set.
using PermutationStop = std::function<bool()>;

// One null discovery on the dataset with its targets permuted; its BIC.
using NullRun = std::function<double(Dataset permuted)>;

// The loop of every permutation test: null i (from 1) runs `run_null` on
// data.shuffled_target(permutation_seed(seed, i)), and the real BIC is
// compared with theirs.
PermutationResult run_permutations(const Dataset& data, uint64_t seed, double real_bic,
                                   size_t n_permutations, const NullRun& run_null,
                                   const PermutationProgress& progress = {},
                                   const PermutationStop& stop = {});

// Runs the whole discovery again on n copies of `data`, copy i with its
// targets permuted by Dataset::shuffled_target(permutation_seed(config.seed, i)),
// each with the same settings and seed as the real run (but silent), and compares the
// real run's BIC with theirs. The search, the selection of the best formula
// and every quirk of the score happen on the nulls alike, so the p-value
// accounts for all of them. Reproducible bit for bit; max_threads as for
// Discoverer::set_max_threads. A classic null runs to its end: `stop` is
// asked between nulls.
PermutationResult permutation_test(const Dataset& data, const DiscoverConfig& config,
                                   double real_bic, size_t n_permutations, size_t max_threads = 0,
                                   const PermutationProgress& progress = {},
                                   const PermutationStop& stop = {});

}  // namespace quorvex
