#include "refined_run.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

#include "diagnostics.h"
#include "interrupt.h"
#include "plot.h"
#include "progress.h"
#include "refine/refined_permutation.h"
#include "refine/render.h"
#include "refine/starts.h"
#include "text/numbers.h"

namespace quorvex::cli {

size_t starts_at_once(const Options& opt) {
  return std::min<size_t>(std::max<uint32_t>(opt.starts, 1), thread_budget(opt));
}

size_t threads_per_start(const Options& opt) {
  if (opt.starts <= 1) return opt.threads;
  return std::max<size_t>(1, thread_budget(opt) / starts_at_once(opt));
}

RefinedRun refined_search(const Dataset& data, const RefinedConfig& config, const Options& opt) {
  ProgressBar bar;
  const bool show_bar = !opt.quiet && !opt.verbose && ProgressBar::stderr_is_terminal();
  RefinedRun run;
  const bool many = opt.starts > 1;
  std::vector<uint32_t> done(many ? opt.starts : 1, 0);
  uint32_t done_sum = 0;
  double best = std::numeric_limits<double>::infinity();
  const auto cap = static_cast<uint32_t>(std::min<uint64_t>(
      uint64_t{config.generations} * done.size(), std::numeric_limits<uint32_t>::max()));
  // refine_starts calls this one start at a time.
  const RefineProgress progress = [&](const GenerationInfo& info) {
    // A pulse only keeps a long generation listening for Ctrl-C: the log has
    // one entry per generation.
    if (!info.within_generation && many) {
      done_sum += info.generation - done[info.start];
      done[info.start] = info.generation;
      best = std::min(best, info.best_bic);
    }
    if (show_bar)
      bar.update(many ? done_sum : info.generation, cap, many ? best : info.best_bic, info.elapsed);
    if (info.within_generation) return !interrupted();
    if (opt.verbose) {
      std::string line =
          "[quorvex] " + (many ? "start " + format_integer(info.start) + " " : std::string()) +
          "gen " + format_integer(info.generation) + "/" + format_integer(config.generations) +
          "  t = " + format_fixed(info.elapsed, 2) +
          " s  best_BIC = " + format_fixed(info.best_bic, 3) +
          "  front = " + format_integer(info.front_size) + "\n";
      std::fwrite(line.data(), 1, line.size(), stderr);
    }
    return !interrupted();
  };
  try {
    run.result = refine_starts(data, config, opt.starts, starts_at_once(opt), &progress);
  } catch (const std::invalid_argument& e) {
    bar.finish();
    throw CommandError(shown_input(opt) + ": " + e.what(), kExitBadInput);
  } catch (...) {
    bar.finish();  // before the message of whatever ended the search
    throw;
  }
  bar.finish();
  run.interrupted = run.result.stop == StopReason::Callback;
  return run;
}

void write_refined_plot(const RefinedRun& run, const std::string& path) {
  const RefinedResult& r = run.result;
  PlotData plot;
  plot.bic = r.report.bic;
  plot.baselines = r.report.baselines;
  plot.formula = r.report.formula;
  plot.verdict = verdict_name(r.report.verdict);
  for (const FrontEntry& e : r.front)
    plot.front.push_back({e.complexity, e.mse_train, e.mse_test,
                          e.complexity == r.report.k && e.bic == r.report.bic});
  plot.mse_floor = r.mse_floor;
  add_points(plot, r.best, r.train, r.test);
  save_plot(plot, path);
}

void print_refined_report(const RefinedRun& run, const std::string& dropped_note,
                          const Options& opt) {
  const RefinedResult& r = run.result;
  std::string out = opt.json ? refined_report_json(r) + "\n" : r.report.to_pretty();
  std::string aside;
  std::string& notes = opt.json ? aside : out;
  if (!opt.json)
    out += search_line(r, run.interrupted, opt.starts) + "\n" + operators_line(r) + "\n";
  if (!opt.json && r.units.declared) out += "units    : " + units_text(r) + "\n";
  if (!opt.json && r.train.weighted())
    out += "weights  : " + *opt.weights + ", summing to " +
           format_fixed(r.train.weight_total(), 4) +
           " over the training rows (the n of every BIC)\n";
  if (!dropped_note.empty()) notes += dropped_note + "\n";
  if (r.rows_set_aside > 0)
    notes += "set aside: " + format_integer(r.rows_set_aside) +
             " rows with a non-finite value, by the search\n";
  VerdictNotes verdict = verdict_notes(r.report, count_finite_rows(r.best, r.train),
                                       opt.permutations > 0 ? "see the permutation p-value below"
                                                            : "check it with --permutations 99",
                                       true);
  if (!opt.json)
    notes += verdict.finite + "\n" + domain_line(r.domain_share) + "\n" +
             "constants: " + constants_text(r) + "\n";
  for (const std::string& w : verdict.warnings) notes += w + "\n";
  if (std::optional<std::string> w = domain_warning(r.domain_share)) notes += *w + "\n";
  if (!opt.json)
    for (const std::string& line : quorvex::front_table(r, opt.latex)) out += line + "\n";
  write_stdout(out);
  std::fwrite(aside.data(), 1, aside.size(), stderr);
}

void print_refined_permutation_test(const Dataset& data, const RefinedConfig& config,
                                    double real_bic, const Options& opt) {
  print_permutation_line(refined_permutation_test(
                             data, config, real_bic, opt.permutations, permutation_count(opt),
                             [] { return interrupted(); }, opt.starts, starts_at_once(opt)),
                         opt);
}

}  // namespace quorvex::cli
