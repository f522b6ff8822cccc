#pragma once

// The classic search as the command runs it: a progress bar, the plot, the
// report with the notes its verdict leaves out, and the permutation test.

#include <string>
#include <vector>

#include "command.h"
#include "optimizer/discover.h"

namespace quorvex::cli {

struct SearchResult {
  DiscoverResult found;
};

SearchResult classic_search(Discoverer& discoverer, const Options& opt);

void write_classic_plot(const SearchResult& result, const std::string& path);

// The library's report stays as it is; what its verdict leaves out follows
// it (on stderr in JSON mode, where stdout is one JSON document).
void print_classic_report(const DiscoverResult& found, const std::string& dropped_note,
                          const Options& opt);

// Ctrl-C, caught by an InterruptGuard, ends the test after its current null
// (CommandError, exit code 130).
void print_classic_permutation_test(const Discoverer& discoverer, const DiscoverReport& report,
                                    const Options& opt);

}  // namespace quorvex::cli
