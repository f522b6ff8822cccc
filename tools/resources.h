#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quorvex::cli {

// Memory a candidate takes during a search (two populations), measured with
// 200 rows: about 190 bytes per level of max_depth from 1 to 8 (depth 4:
// 770 bytes). The estimate stays below the measurements so that only what
// cannot fit is refused.
uint64_t bytes_per_candidate(uint32_t max_depth);

// The least of physical memory, the address-space and data rlimits and the
// cgroup's memory limit, with the name of the one that binds; nothing when
// the platform tells none of them.
struct MemoryLimit {
  uint64_t bytes = 0;
  std::string source;
};
std::optional<MemoryLimit> memory_limit();

// An error message when a population cannot fit in `limit`, else nothing.
std::optional<std::string> population_refusal(size_t population, uint32_t max_depth,
                                              const std::optional<MemoryLimit>& limit);

}  // namespace quorvex::cli
