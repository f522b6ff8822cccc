#include "progress.h"

#include <charconv>
#include <cstdio>

#include "text/numbers.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace quorvex::cli {
namespace {

constexpr uint32_t kBarWidth = 30;

void write(const std::string& s) {
  std::fwrite(s.data(), 1, s.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

bool ProgressBar::stderr_is_terminal() noexcept {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

std::string ProgressBar::line(uint32_t generation, uint32_t generations, double best,
                              double elapsed) {
  // A generation past the cap (a caller's count may run on) fills the bar.
  const uint64_t filled = generations == 0 || generation >= generations
                              ? kBarWidth
                              : uint64_t{generation} * kBarWidth / generations;
  std::string s = "quorvex [";
  s.append(static_cast<size_t>(filled), '#');
  s.append(static_cast<size_t>(kBarWidth - filled), '.');
  s += "] generation " + format_integer(generation) + "/" + format_integer(generations);
  if (elapsed >= 0.0) s += "  " + format_fixed(elapsed, 1) + " s";
  s += "  best BIC " + format_fixed(best, 3);
  return s;
}

void ProgressBar::update(uint32_t generation, uint32_t generations, double best, double elapsed) {
  std::string s = line(generation, generations, best, elapsed);
  const size_t width = s.size();
  if (width < drawn_) s.append(drawn_ - width, ' ');
  drawn_ = width;
  s.insert(s.begin(), '\r');
  write(s);
}

void ProgressBar::finish() {
  if (drawn_ == 0) return;
  std::string blank(drawn_ + 2, ' ');
  blank.front() = '\r';
  blank.back() = '\r';
  write(blank);
  drawn_ = 0;
}

}  // namespace quorvex::cli
