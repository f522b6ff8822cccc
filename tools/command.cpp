#include "command.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "diagnostics.h"
#include "files.h"
#include "progress.h"

namespace quorvex::cli {

void print_error(const std::string& message) {
  const std::string line = "quorvex: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string decimal(size_t v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

std::string shortest(double v) {
  if (std::isnan(v)) return "nan";  // one spelling whatever the sign bit
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

size_t thread_budget(const Options& opt) {
  if (opt.threads != 0) return opt.threads;
  return std::max<size_t>(1, std::thread::hardware_concurrency());
}

std::string shown_input(const Options& opt) { return opt.file == "-" ? "<stdin>" : opt.file; }

void write_stdout(const std::string& out) {
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
    throw CommandError(std::string("cannot write the output: ") + std::strerror(errno),
                       kExitWriteFailed);
}

std::string read_input(const std::string& path) {
  try {
    return read_text(path);
  } catch (const FileError& e) {
    throw CommandError(e.what(), kExitBadInput);
  }
}

void save_plot(const PlotData& plot, const std::string& path) {
  try {
    write_atomically(path, render_svg(plot), "the plot");
  } catch (const FileError& e) {
    throw CommandError(e.what(), kExitWriteFailed);
  }
}

// "quorvex: permutation 3/99" on stderr, erased once the count is complete.
PermutationProgress permutation_count(const Options& opt) {
  if (opt.quiet || !ProgressBar::stderr_is_terminal()) return {};
  return [](size_t done, size_t total) {
    std::string s = "quorvex: permutation " + decimal(done) + "/" + decimal(total);
    if (done == total) s.assign(s.size(), ' ');
    s = "\r" + s + (done == total ? "\r" : "");
    std::fwrite(s.data(), 1, s.size(), stderr);
    std::fflush(stderr);
  };
}

void print_permutation_line(const PermutationResult& test, const Options& opt) {
  if (test.stopped) {
    if (const PermutationProgress count = permutation_count(opt))
      count(opt.permutations, opt.permutations);  // erases the count
    throw CommandError("interrupted by Ctrl-C during the permutation test, after " +
                           decimal(test.null_bics.size()) + " of " + decimal(opt.permutations) +
                           " permutations: the report above stands, without a p-value" +
                           (opt.plot ? "; no plot was written" : ""),
                       kExitInterrupted);
  }
  const std::string line = permutation_line(test) + "\n";
  if (opt.json)
    std::fwrite(line.data(), 1, line.size(), stderr);
  else
    write_stdout(line);
}

}  // namespace quorvex::cli
