#pragma once

// The refined search as the command runs it: progress (bar or lines), Ctrl-C,
// the plot, the report with its front, and the permutation test.

#include <string>
#include <vector>

#include "command.h"
#include "dataset/dataset.h"
#include "refine/refine.h"
#include "refined.h"

namespace quorvex::cli {

struct RefinedRun {
  RefinedResult result;
  bool interrupted = false;
};

// --starts K shares the thread budget (--threads, else one per logical
// processor): min(K, budget) starts run at once, each scoring with
// budget / that many threads (at least one).
size_t starts_at_once(const Options& opt);
// RefinedConfig::max_threads of each search: --threads itself for one start.
size_t threads_per_start(const Options& opt);

// Runs opt.starts starts (refine_starts) and merges them: the bar counts the
// generations of all, --verbose names the start.
// Stops after the current generation once Ctrl-C is pressed (see interrupt.h).
RefinedRun refined_search(const Dataset& data, const RefinedConfig& config, const Options& opt);

void write_refined_plot(const RefinedRun& run, const std::string& path);

void print_refined_report(const RefinedRun& run, const std::string& dropped_note,
                          const Options& opt);

// The nulls run with the real run's settings; Ctrl-C stops the one running
// and ends the test (CommandError, exit code 130).
void print_refined_permutation_test(const Dataset& data, const RefinedConfig& config,
                                    double real_bic, const Options& opt);

}  // namespace quorvex::cli
