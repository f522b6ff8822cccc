#pragma once

// What a request costs in memory, and its refusal when it cannot fit: shared by
// the extended C interface and the command, so that both refuse the same
// settings with the same words.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvex {

// The least of physical memory, the address-space and data rlimits and the
// cgroup's memory limit, with the name of the one that binds; where the
// platform tells none of them, the address space itself.
struct MemoryLimit {
  uint64_t bytes = 0;
  std::string source;
};
MemoryLimit memory_limit();

// Memory a candidate takes during a search (two populations), measured with
// 200 rows: about 190 bytes per level of max_depth from 1 to 8 (depth 4:
// 770 bytes). The estimate stays below the measurements so that only what
// cannot fit is refused.
uint64_t bytes_per_candidate(uint32_t max_depth);
// The baselines hold five numbers per shuffled target at the least (one
// feature column fewer than any data set has), the permutation test one per
// permutation.
inline constexpr uint64_t kBytesPerShuffle = 5 * sizeof(double);
inline constexpr uint64_t kBytesPerPermutation = sizeof(double);

// "<what> needs about 3.6 GiB (<each> bytes per <unit> or more), more than the
// 2.0 GiB of <source>; choose a smaller <setting> (at most N)" when `count`
// items of `each` bytes exceed `limit`, else nothing. `what` names the
// request with its count ("a population of 5000000").
std::optional<std::string> memory_refusal(std::string_view what, uint64_t count, uint64_t each,
                                          std::string_view unit, std::string_view setting,
                                          const MemoryLimit& limit);

// memory_refusal for a population searched at max_depth.
std::optional<std::string> population_refusal(size_t population, uint32_t max_depth,
                                              const MemoryLimit& limit, std::string_view setting);

}  // namespace quorvex
