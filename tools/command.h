#pragma once

// What the parts of the command share: its options, its exit codes, and the
// ways it writes and fails.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "optimizer/permutation.h"
#include "plot.h"
#include "refine/refine.h"

namespace quorvex::cli {

inline constexpr int kExitBadInput = 2;
inline constexpr int kExitWriteFailed = 1;
inline constexpr int kExitFailed = 3;         // out of memory, or a fault of its own
inline constexpr int kExitInterrupted = 130;  // as a shell reports a SIGINT

struct Options {
  std::string file;
  std::optional<std::string> target;
  std::vector<std::string> features;
  std::vector<std::string> exclude;
  std::optional<char> separator;
  bool drop_missing = false;
  bool classic = false;
  double time_limit = 0.0;
  std::optional<std::string> operators;  // refined only; unset: the default set
  uint32_t generations = 0;              // 0: the search's default
  size_t population = 0;
  uint32_t max_depth = RefinedConfig{}.max_depth;
  uint64_t seed = 0;
  double test_fraction = RefinedConfig{}.test_fraction;
  bool json = false;
  bool latex = false;  // the refined front's formulas as LaTeX
  bool verbose = false;
  bool quiet = false;
  std::optional<std::string> plot;
  std::optional<std::string> predict;
  size_t permutations = 0;
  size_t threads = 0;                     // at most this many at once; 0: one per logical processor
  uint32_t starts = 1;                    // refined only: independently seeded searches merged
  std::optional<std::string> weights;     // refined only: the column of row weights
  std::optional<std::string> start_from;  // refined only: a JSON report to start from
  std::optional<std::string> units;       // refined only: "name=unit,..." of every feature
  std::optional<std::string> target_units;
  uint32_t dimensional_constants = 0;
};

// The threads the command may use at once: --threads, or one per logical
// processor.
size_t thread_budget(const Options& opt);

// Ends the command with a message on stderr and an exit code.
class CommandError : public std::runtime_error {
 public:
  CommandError(const std::string& message, int exit_code)
      : std::runtime_error(message), exit_code_(exit_code) {}
  int exit_code() const noexcept { return exit_code_; }

 private:
  int exit_code_;
};

// "quorvex: message" on stderr.
void print_error(const std::string& message);

std::string decimal(size_t v);

// The shortest text that reads back as v; "nan" for every NaN.
std::string shortest(double v);

// The input's name in messages: "<stdin>" for "-".
std::string shown_input(const Options& opt);

// Throws CommandError when stdout cannot take it.
void write_stdout(const std::string& out);

// The whole file, or standard input for "-".
std::string read_input(const std::string& path);

void save_plot(const PlotData& plot, const std::string& path);

// "quorvex: permutation 3/99" on stderr when it is a terminal and not
// --quiet, erased once the count is complete; otherwise none.
PermutationProgress permutation_count(const Options& opt);

// The p-value line after the report (on stderr in JSON mode); a test that
// Ctrl-C stopped ends the command instead (CommandError, exit code 130).
void print_permutation_line(const PermutationResult& test, const Options& opt);

}  // namespace quorvex::cli
