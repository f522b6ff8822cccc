#include "resources/memory.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>

#include "text/numbers.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace quorvex {
namespace {

constexpr uint64_t kBytesPerDepthLevel = 180;
constexpr uint32_t kMeasuredDepth = 8;

void lower(std::optional<MemoryLimit>& limit, uint64_t bytes, const char* source) {
  if (!limit || bytes < limit->bytes) limit = MemoryLimit{bytes, source};
}

#if !defined(_WIN32)
std::optional<uint64_t> read_number(const std::string& file) {
  std::ifstream in(file);
  std::string word;
  if (!(in >> word)) return std::nullopt;
  uint64_t v = 0;
  const auto res = std::from_chars(word.data(), word.data() + word.size(), v);
  if (res.ec != std::errc() || res.ptr != word.data() + word.size()) return std::nullopt;
  return v;  // "max" (no limit) does not parse
}

// cgroup v2: the process's group and each group above it may set memory.max;
// cgroup v1: memory.limit_in_bytes of the memory controller.
void lower_by_cgroup(std::optional<MemoryLimit>& limit) {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("0::", 0) != 0) continue;
    for (std::string group = line.substr(3);;) {
      if (const auto v = read_number("/sys/fs/cgroup" + group + "/memory.max"))
        lower(limit, *v, "the cgroup's memory.max");
      if (group.empty() || group == "/") break;
      group.erase(group.rfind('/'));
    }
  }
  if (const auto v = read_number("/sys/fs/cgroup/memory/memory.limit_in_bytes"))
    lower(limit, *v, "the cgroup's memory limit");
}
#endif

std::string gigabytes(long double bytes) {
  return format_fixed(static_cast<double>(bytes / (1024.0L * 1024.0L * 1024.0L)), 1) + " GiB";
}

}  // namespace

MemoryLimit memory_limit() {
  std::optional<MemoryLimit> limit;
#if defined(_WIN32)
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status) != 0) {
    lower(limit, status.ullTotalPhys, "physical memory");
    lower(limit, status.ullTotalVirtual, "the address space");
  }
#else
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0)
    lower(limit, static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size),
          "physical memory");
  struct rlimit rl;
  if (::getrlimit(RLIMIT_AS, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
    lower(limit, rl.rlim_cur, "the address-space limit (ulimit -v)");
  if (::getrlimit(RLIMIT_DATA, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
    lower(limit, rl.rlim_cur, "the data-size limit (ulimit -d)");
  lower_by_cgroup(limit);
#endif
  lower(limit, std::numeric_limits<size_t>::max(), "the address space");
  return *limit;
}

uint64_t bytes_per_candidate(uint32_t max_depth) {
  return kBytesPerDepthLevel * std::clamp<uint32_t>(max_depth, 1, kMeasuredDepth);
}

std::optional<std::string> memory_refusal(std::string_view what, uint64_t count, uint64_t each,
                                          std::string_view unit, std::string_view setting,
                                          const MemoryLimit& limit) {
  // In long double: count * each may exceed 2^64, which is what is refused.
  const long double need = static_cast<long double>(count) * static_cast<long double>(each);
  if (need <= static_cast<long double>(limit.bytes)) return std::nullopt;
  return std::string(what) + " needs about " + gigabytes(need) + " (" + format_integer(each) +
         " bytes per " + std::string(unit) + " or more), more than the " + gigabytes(limit.bytes) +
         " of " + limit.source + "; choose a smaller " + std::string(setting) + " (at most " +
         format_integer(limit.bytes / each) + ")";
}

std::optional<std::string> population_refusal(size_t population, uint32_t max_depth,
                                              const MemoryLimit& limit, std::string_view setting) {
  return memory_refusal("a population of " + format_integer(population), population,
                        bytes_per_candidate(max_depth), "candidate", setting, limit);
}

}  // namespace quorvex
