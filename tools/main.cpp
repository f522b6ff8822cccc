// quorvex: runs one discovery on a CSV file and prints the report, or
// applies a saved report's formula to new rows. This file holds the modes;
// the options are read in command_line.cpp, the data in input.cpp, each
// search's run and report in classic_run.cpp and refined_run.cpp.

#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "classic_run.h"
#include "command.h"
#include "command_line.h"
#include "dataset/dataset.h"
#include "expr/read_json.h"
#include "input.h"
#include "interrupt.h"
#include "optimizer/discover.h"
#include "predict.h"
#include "refine/refine.h"
#include "refine/starts.h"
#include "refined.h"
#include "refined_run.h"
#include "resources/memory.h"
#include "text/numbers.h"

namespace quorvex::cli {
namespace {

const std::string kOutOfMemory =
    "out of memory: the run needs more than the process may use (physical memory, ulimit -v, "
    "the cgroup's limit); try fewer features or rows, or a smaller --population or --max-depth";

// Zero and out-of-range settings mean the defaults, as through the C entry.
DiscoverConfig make_classic_config(const Options& opt) {
  DiscoverConfig config = DiscoverConfig::from_c_arguments(
      opt.generations, opt.population, opt.max_depth, opt.seed, opt.test_fraction);
  config.verbose = opt.verbose;
  return config;
}

// `at_once`: searches running side by side (--starts), each with its share
// of the memory.
void check_resources(size_t population, uint32_t max_depth, size_t at_once = 1) {
  MemoryLimit share = memory_limit();
  share.bytes /= at_once;
  if (at_once > 1)
    share.source += " shared by " + format_integer(at_once) + " starts at once (see --threads)";
  if (const auto refusal = population_refusal(population, max_depth, share, "--population"))
    throw CommandError(*refusal, kExitBadInput);
}

// Zero settings mean the refined search's defaults; a test fraction outside
// (0, 1) is an error here, not silently the default as through the C entry.
RefinedConfig make_refined_config(const Options& opt) {
  RefinedConfig config;
  if (opt.population != 0) config.population = opt.population;
  if (opt.generations != 0) config.generations = opt.generations;
  if (opt.max_depth != 0) config.max_depth = opt.max_depth;
  config.seed = opt.seed;
  if (!(opt.test_fraction > 0.0 && opt.test_fraction < 1.0))
    throw CommandError(
        "--test-fraction must lie strictly between 0 and 1 (the classic search, --classic, "
        "takes such values as " +
            shortest(DiscoverConfig{}.test_fraction) + ")",
        kExitBadInput);
  config.test_fraction = opt.test_fraction;
  config.time_limit = opt.time_limit;
  config.max_threads = threads_per_start(opt);
  if (opt.operators) {
    try {
      config.operators = OperatorSet::parse(*opt.operators);
    } catch (const std::invalid_argument& e) {
      // The option's name replaces the parser's own "operators: ".
      std::string_view reason = e.what();
      if (reason.starts_with("operators: ")) reason.remove_prefix(11);
      throw CommandError("--operators: " + std::string(reason), kExitBadInput);
    }
  }
  if (opt.start_from) {
    try {
      config.start_from = start_formulas(read_input(*opt.start_from));
    } catch (const JsonError& e) {
      throw CommandError(
          "--start-from " + *opt.start_from + ": not a JSON report or formula (" + e.what() + ")",
          kExitBadInput);
    }
  }
  return config;
}

// --units "mass=kg,r=m" and --target-units read for the data's columns.
DeclaredUnits read_unit_options(const Options& opt, const Dataset& data) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::string_view rest = *opt.units;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    const size_t eq = item.find('=');
    if (eq == std::string_view::npos)
      throw CommandError(
          "--units: \"" + std::string(item) + "\" is not NAME=UNIT (e.g. --units mass=kg,r=m)",
          kExitBadInput);
    pairs.emplace_back(std::string(item.substr(0, eq)), std::string(item.substr(eq + 1)));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  try {
    DeclaredUnits declared =
        read_units(data.features(), pairs, data.target_name(), *opt.target_units);
    declared.dimensional_constants = opt.dimensional_constants;
    return declared;
  } catch (const std::invalid_argument& e) {
    throw CommandError(std::string("--units: ") + e.what(), kExitBadInput);
  }
}

void check_start_from(const RefinedConfig& config, const Dataset& data, const Options& opt) {
  for (const Expr& tree : config.start_from)
    for (const std::string& name : expression_features(tree))
      if (data.find_column(name) == Dataset::npos)
        throw CommandError("--start-from " + *opt.start_from + ": its formulas read \"" + name +
                               "\", which is not a feature of this run",
                           kExitBadInput);
}

// Ctrl-C stops the search after its current generation; the best formula so
// far is reported, no plot is written, and the exit code is 130. The plot
// comes last, so that a failed or interrupted permutation test leaves it alone.
void run_refined_discovery(const Options& opt) {
  RefinedConfig config = make_refined_config(opt);
  check_outputs(opt);
  check_resources(config.population, config.max_depth, starts_at_once(opt));
  std::string dropped_note;
  const Dataset data = read_dataset(opt, dropped_note);
  check_start_from(config, data, opt);
  if (opt.units) config.units = read_unit_options(opt, data);

  InterruptGuard guard;
  RefinedRun run = refined_search(data, config, opt);
  erase_interrupt_echo();
  print_refined_report(run, dropped_note, opt);
  if (run.interrupted)
    throw CommandError("interrupted by Ctrl-C after " + format_integer(run.result.generations) +
                           " generations: the report above is the best formula found so far" +
                           (opt.plot ? "; no plot was written" : ""),
                       kExitInterrupted);
  if (opt.permutations > 0) {
    RefinedConfig afresh = config;  // a warm start would hand the nulls the real law
    afresh.start_from.clear();
    print_refined_permutation_test(data, afresh, run.result.report.bic, opt);
  }
  if (opt.plot) write_refined_plot(run, *opt.plot);
}

void run_classic_discovery(const Options& opt) {
  // CLI11 refuses --time-limit with --classic.
  if (opt.operators)
    throw CommandError(
        "--operators applies to the refined search only (the classic search's operators are "
        "fixed); drop --classic or it",
        kExitBadInput);
  const DiscoverConfig config = make_classic_config(opt);
  check_outputs(opt);
  check_resources(config.population, config.max_depth);

  std::string dropped_note;
  Dataset data = read_dataset(opt, dropped_note);
  Discoverer discoverer(std::move(data), config);
  discoverer.set_max_threads(opt.threads);
  // Ctrl-C ends the search itself at once (it has no stop hook), but only
  // the current null of a permutation test.
  SearchResult result = classic_search(discoverer, opt);
  print_classic_report(result.found, dropped_note, opt);
  if (opt.permutations > 0) {
    InterruptGuard guard;
    print_classic_permutation_test(discoverer, result.found.report, opt);
  }
  if (opt.plot) write_classic_plot(result, *opt.plot);
}

int run(const Options& opt) {
  try {
    if (opt.predict)
      run_predict(opt);
    else if (opt.classic)
      run_classic_discovery(opt);
    else
      run_refined_discovery(opt);
    return 0;
  } catch (const CommandError& e) {
    print_error(e.what());
    return e.exit_code();
  }
}

// Whatever escapes the modes ends here, never in an abort: an allocation
// the process may not make (also from a worker thread, which the pool
// passes on) or a fault of the command's own.
int run_guarded(int argc, char** argv) {
  try {
    Options opt;
    if (const std::optional<int> code = parse_command_line(argc, argv, opt)) return *code;
    return run(opt);
  } catch (const std::bad_alloc&) {
    print_error(kOutOfMemory);
  } catch (const std::length_error& e) {
    print_error(kOutOfMemory + " (" + e.what() + ")");
  } catch (const std::system_error& e) {
    // A thread the address-space limit leaves no room for fails with EAGAIN.
    const bool memory = e.code() == std::errc::resource_unavailable_try_again ||
                        e.code() == std::errc::not_enough_memory;
    print_error(memory ? kOutOfMemory + " (" + e.what() + ")"
                       : std::string("internal error: ") + e.what());
  } catch (const std::exception& e) {
    print_error(std::string("internal error: ") + e.what());
  }
  return kExitFailed;
}

}  // namespace
}  // namespace quorvex::cli

int main(int argc, char** argv) { return quorvex::cli::run_guarded(argc, argv); }
