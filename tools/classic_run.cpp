#include "classic_run.h"

#include <cstdio>
#include <utility>

#include "diagnostics.h"
#include "interrupt.h"
#include "optimizer/permutation.h"
#include "plot.h"
#include "progress.h"
#include "report/report.h"

namespace quorvex::cli {
namespace {

// The finite share of the best formula on the training rows (text mode only)
// and the warnings it and exact fits call for.
std::vector<std::string> verdict_lines(const DiscoverResult& result, const Options& opt) {
  VerdictNotes notes = verdict_notes(result.report, count_finite_rows(result.best, result.train),
                                     opt.permutations > 0 ? "see the permutation p-value below"
                                                          : "check it with --permutations 99");
  std::vector<std::string> lines;
  if (!opt.json) lines.push_back(std::move(notes.finite));
  for (std::string& w : notes.warnings) lines.push_back(std::move(w));
  return lines;
}

}  // namespace

SearchResult classic_search(Discoverer& discoverer, const Options& opt) {
  ProgressBar bar;
  const bool show_bar = !opt.quiet && !opt.verbose && ProgressBar::stderr_is_terminal();
  if (show_bar) {
    discoverer.set_progress_hook([&](uint32_t generation, uint32_t generations, double best) {
      bar.update(generation, generations, best);
    });
  }
  const auto run_search = [&] {
    try {
      return discoverer.run();
    } catch (...) {
      bar.finish();  // before the message of whatever ended the search
      throw;
    }
  };
  DiscoverResult found = run_search();
  bar.finish();
  return {std::move(found)};
}

void write_classic_plot(const SearchResult& result, const std::string& path) {
  const DiscoverReport& report = result.found.report;
  PlotData plot;
  plot.bic = report.bic;
  plot.baselines = report.baselines;
  plot.formula = report.formula;
  plot.verdict = verdict_name(report.verdict);
  add_points(plot, result.found.best, result.found.train, result.found.test);
  save_plot(plot, path);
}

void print_classic_report(const DiscoverResult& found, const std::string& dropped_note,
                          const Options& opt) {
  const DiscoverReport& report = found.report;
  std::string out = opt.json ? report.to_json() + "\n" : report.to_pretty();
  std::string aside;
  std::string& notes = opt.json ? aside : out;
  if (!dropped_note.empty()) notes += dropped_note + "\n";
  for (const std::string& line : verdict_lines(found, opt)) notes += line + "\n";
  write_stdout(out);
  std::fwrite(aside.data(), 1, aside.size(), stderr);
}

void print_classic_permutation_test(const Discoverer& discoverer, const DiscoverReport& report,
                                    const Options& opt) {
  print_permutation_line(
      permutation_test(discoverer.data(), discoverer.config(), report.bic, opt.permutations,
                       opt.threads, permutation_count(opt), [] { return interrupted(); }),
      opt);
}

}  // namespace quorvex::cli
