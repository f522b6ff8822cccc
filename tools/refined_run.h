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
  std::vector<double> best_by_generation;  // after each generation
  bool interrupted = false;
};

// Stops after the current generation once Ctrl-C is pressed (see interrupt.h).
RefinedRun refined_search(const Dataset& data, const RefinedConfig& config, const Options& opt);

void write_refined_plot(RefinedRun& run, const std::string& path);

void print_refined_report(const RefinedRun& run, const std::string& dropped_note,
                          const Options& opt);

// The nulls run with the real run's settings; Ctrl-C stops the one running
// and ends the test (CommandError, exit code 130).
void print_refined_permutation_test(const Dataset& data, const RefinedConfig& config,
                                    double real_bic, const Options& opt);

}  // namespace quorvex::cli
