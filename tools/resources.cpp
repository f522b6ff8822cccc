#include "resources.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

#include "text/numbers.h"

namespace quorvex::cli {
namespace {

constexpr uint64_t kBytesPerDepthLevel = 180;
constexpr uint32_t kMeasuredDepth = 8;

void lower(std::optional<MemoryLimit>& limit, uint64_t bytes, const char* source) {
  if (!limit || bytes < limit->bytes) limit = MemoryLimit{bytes, source};
}

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

std::string gigabytes(long double bytes) {
  return format_fixed(static_cast<double>(bytes / (1024.0L * 1024.0L * 1024.0L)), 1) + " GiB";
}

std::string decimal(uint64_t v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

}  // namespace

uint64_t bytes_per_candidate(uint32_t max_depth) {
  return kBytesPerDepthLevel * std::clamp<uint32_t>(max_depth, 1, kMeasuredDepth);
}

std::optional<MemoryLimit> memory_limit() {
  std::optional<MemoryLimit> limit;
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
  return limit;
}

std::optional<std::string> population_refusal(size_t population, uint32_t max_depth,
                                              const std::optional<MemoryLimit>& limit) {
  if (!limit) return std::nullopt;
  const uint64_t per = bytes_per_candidate(max_depth);
  const long double need = static_cast<long double>(population) * per;
  if (need <= static_cast<long double>(limit->bytes)) return std::nullopt;
  return "a population of " + decimal(population) + " needs about " + gigabytes(need) + " (" +
         decimal(per) + " bytes per candidate or more), more than the " + gigabytes(limit->bytes) +
         " of " + limit->source + "; choose a smaller --population (at most " +
         decimal(limit->bytes / per) + ")";
}

}  // namespace quorvex::cli
