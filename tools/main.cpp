// quorvex: runs one discovery on a CSV file and prints the report, or
// applies a saved report's formula to new rows.

#include <CLI/CLI.hpp>
#include <atomic>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "csv.h"
#include "dataset/dataset.h"
#include "diagnostics.h"
#include "expr/read_json.h"
#include "files.h"
#include "optimizer/discover.h"
#include "optimizer/permutation.h"
#include "plot.h"
#include "progress.h"
#include "refine/refine.h"
#include "refine/refined_permutation.h"
#include "refine/render.h"
#include "refined.h"
#include "report/report.h"
#include "resources.h"
#include "text/numbers.h"

namespace quorvex {
namespace {

constexpr int kExitBadInput = 2;
constexpr int kExitWriteFailed = 1;
constexpr int kExitInterrupted = 130;  // as a shell reports a SIGINT

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
  uint32_t max_depth = 4;
  uint64_t seed = 0;
  double test_fraction = 0.2;
  bool json = false;
  bool verbose = false;
  bool quiet = false;
  std::optional<std::string> plot;
  std::optional<std::string> predict;
  size_t permutations = 0;
};

// Ends the command with a message on stderr and an exit code.
class CommandError : public std::runtime_error {
 public:
  CommandError(const std::string& message, int exit_code)
      : std::runtime_error(message), exit_code_(exit_code) {}
  int exit_code() const noexcept { return exit_code_; }

 private:
  int exit_code_;
};

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

std::string shown_input(const Options& opt) { return opt.file == "-" ? "<stdin>" : opt.file; }

void write_stdout(const std::string& out) {
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
    throw CommandError(std::string("cannot write the output: ") + std::strerror(errno),
                       kExitWriteFailed);
}

// ---- input ------------------------------------------------------------------

std::string read_input(const std::string& path) {
  try {
    return cli::read_text(path);
  } catch (const cli::FileError& e) {
    throw CommandError(e.what(), kExitBadInput);
  }
}

// The chosen columns, features first and the target last.
csv::CsvTable read_table(const Options& opt, const std::string& text,
                         const csv::Selection& selection) {
  try {
    const csv::Header header = csv::parse_header(text, opt.separator);
    const csv::Columns chosen = csv::select_columns(header.names, selection);
    std::vector<size_t> columns = chosen.features;
    columns.push_back(chosen.target);
    return csv::parse_rows(text, header, columns, chosen.target);
  } catch (const csv::CsvError& e) {
    throw CommandError(csv::describe(shown_input(opt), e), kExitBadInput);
  }
}

// "lines 4, 9, 12" for the first few rows, then how many more.
std::string line_list(const std::vector<size_t>& rows) {
  constexpr size_t kShown = 5;
  std::string out = rows.size() == 1 ? "line " : "lines ";
  for (size_t i = 0; i < rows.size() && i < kShown; ++i)
    out += (i == 0 ? "" : ", ") + decimal(csv::CsvTable::line_of(rows[i]));
  if (rows.size() > kShown) out += " and " + decimal(rows.size() - kShown) + " more";
  return out;
}

// A NaN, an infinity or a huge value would make every formula score +inf on
// its row and the baselines meaningless: stop, or set such rows aside when
// asked. Returns the note saying how many were set aside (empty if none).
std::string set_aside_unusable_rows(csv::CsvTable& table, const Options& opt) {
  const size_t width = table.n_columns();
  std::vector<size_t> bad_rows;
  std::vector<size_t> bad_in_column(width, 0);
  for (size_t r = 0; r < table.n_rows(); ++r) {
    bool bad = false;
    for (size_t c = 0; c < width; ++c)
      if (!csv::is_usable(table.at(r, c))) {
        ++bad_in_column[c];
        bad = true;
      }
    if (bad) bad_rows.push_back(r);
  }
  if (bad_rows.empty()) return {};
  const std::string what = decimal(bad_rows.size()) + " of " + decimal(table.n_rows()) +
                           (table.n_rows() == 1 ? " row" : " rows");
  if (!opt.drop_missing) {
    std::string columns;
    for (size_t c = 0; c < width; ++c)
      if (bad_in_column[c] > 0)
        columns += (columns.empty() ? "" : ", ") + csv::quoted_excerpt(table.header[c]) + " in " +
                   decimal(bad_in_column[c]) + (bad_in_column[c] == 1 ? " row" : " rows");
    throw CommandError(
        shown_input(opt) + ": " + what + (bad_rows.size() == 1 ? " has" : " have") +
            " a missing or unusable value (empty, NA, NaN, inf, or beyond ±1e100): " +
            line_list(bad_rows) + " (columns " + columns +
            "); --drop-missing sets these rows aside, --exclude leaves a column out",
        kExitBadInput);
  }
  if (bad_rows.size() == table.n_rows())
    throw CommandError(shown_input(opt) +
                           ": every row has a missing or unusable value; no row "
                           "is left to search",
                       kExitBadInput);
  std::vector<double> kept;
  kept.reserve((table.n_rows() - bad_rows.size()) * width);
  for (size_t r = 0, b = 0; r < table.n_rows(); ++r) {
    if (b < bad_rows.size() && bad_rows[b] == r) {
      ++b;
      continue;
    }
    kept.insert(kept.end(), table.cells.begin() + r * width, table.cells.begin() + (r + 1) * width);
  }
  table.cells = std::move(kept);
  table.rows -= bad_rows.size();
  return "dropped : " + what + " with a missing or unusable value (" + line_list(bad_rows) + ")";
}

// Features in table order, the target from the last column.
Dataset to_dataset(const csv::CsvTable& table) {
  const size_t target = table.n_columns() - 1;
  Dataset data(table.header[target]);
  for (size_t c = 0; c < target; ++c) data.add_feature(table.header[c]);
  data.reserve_rows(table.n_rows());
  for (size_t r = 0; r < table.n_rows(); ++r)
    data.push_row(&table.cells[r * table.n_columns()], table.at(r, target));
  return data;
}

// ---- checks made before a long search ----------------------------------------

// Outputs are written only after success, but a path that cannot be
// written should fail now rather than after the search.
void check_outputs(const Options& opt) {
  if (!opt.plot) return;
  if (opt.file != "-" && cli::same_file(*opt.plot, opt.file))
    throw CommandError("--plot \"" + *opt.plot + "\" is the input file; choose another name",
                       kExitBadInput);
  try {
    cli::check_writable(*opt.plot, "the plot");
  } catch (const cli::FileError& e) {
    throw CommandError(e.what(), kExitBadInput);
  }
}

// ---- the discovery ------------------------------------------------------------

// Zero and out-of-range settings mean the defaults, as through the C entry.
DiscoverConfig make_classic_config(const Options& opt) {
  DiscoverConfig config = DiscoverConfig::from_c_arguments(
      opt.generations, opt.population, opt.max_depth, opt.seed, opt.test_fraction);
  config.verbose = opt.verbose;
  return config;
}

void check_resources(size_t population, uint32_t max_depth) {
  if (const auto refusal = cli::population_refusal(population, max_depth, cli::memory_limit()))
    throw CommandError(*refusal, kExitBadInput);
}

// Zero settings mean the refined search's defaults; a test fraction outside
// (0, 1) is an error here, not silently 0.2 as through the C entry.
RefinedConfig make_refined_config(const Options& opt) {
  RefinedConfig config;
  if (opt.population != 0) config.population = opt.population;
  if (opt.generations != 0) config.generations = opt.generations;
  if (opt.max_depth != 0) config.max_depth = opt.max_depth;
  config.seed = opt.seed;
  if (!(opt.test_fraction > 0.0 && opt.test_fraction < 1.0))
    throw CommandError(
        "--test-fraction must lie strictly between 0 and 1 (the classic search, --classic, "
        "takes such values as 0.2)",
        kExitBadInput);
  config.test_fraction = opt.test_fraction;
  config.time_limit = opt.time_limit;
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
  return config;
}

// ---- Ctrl-C ---------------------------------------------------------------------

// Set by the first Ctrl-C during a refined search, which then stops after its
// current generation; a second Ctrl-C ends the process as usual.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void on_interrupt(int) {
  interrupted.store(true);
  std::signal(SIGINT, SIG_DFL);
}

// Catches Ctrl-C while alive.
class InterruptGuard {
 public:
  InterruptGuard() { previous_ = std::signal(SIGINT, on_interrupt); }
  ~InterruptGuard() { std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_); }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  void (*previous_)(int);
};

struct SearchResult {
  DiscoverResult found;
  std::vector<double> best_by_generation;
};

SearchResult search(Discoverer& discoverer, const Options& opt) {
  cli::ProgressBar bar;
  const bool show_bar = !opt.quiet && !opt.verbose && cli::ProgressBar::stderr_is_terminal();
  std::vector<double> best_by_generation;
  if (show_bar || opt.plot) {
    discoverer.set_progress_hook([&](uint32_t generation, uint32_t generations, double best) {
      if (opt.plot) best_by_generation.push_back(best);
      if (show_bar) bar.update(generation, generations, best);
    });
  }
  DiscoverResult found = discoverer.run();
  bar.finish();
  return {std::move(found), std::move(best_by_generation)};
}

// ---- outputs -----------------------------------------------------------------

void save_plot(const cli::PlotData& plot, const std::string& path) {
  try {
    cli::write_atomically(path, cli::render_svg(plot), "the plot");
  } catch (const cli::FileError& e) {
    throw CommandError(e.what(), kExitWriteFailed);
  }
}

void write_plot(SearchResult& result, const std::string& path) {
  const DiscoverReport& report = result.found.report;
  cli::PlotData plot;
  plot.best_by_generation = std::move(result.best_by_generation);
  plot.best_by_generation.push_back(report.bic);
  plot.baselines = report.baselines;
  plot.formula = report.formula;
  plot.verdict = verdict_name(report.verdict);
  cli::add_points(plot, result.found.best, result.found.train, result.found.test);
  save_plot(plot, path);
}

// The finite share of the best formula on the training rows (text mode only)
// and the warnings it and exact fits call for.
std::vector<std::string> verdict_lines(const DiscoverResult& result, const Options& opt) {
  cli::VerdictNotes notes =
      cli::verdict_notes(result.report, cli::count_finite_rows(result.best, result.train),
                         opt.permutations > 0 ? "see the permutation p-value below"
                                              : "check it with --permutations 99");
  std::vector<std::string> lines;
  if (!opt.json) lines.push_back(std::move(notes.finite));
  for (std::string& w : notes.warnings) lines.push_back(std::move(w));
  return lines;
}

// The library's report stays as it is; what its verdict leaves out follows
// it (on stderr in JSON mode, where stdout is one JSON document).
void print_report(const DiscoverResult& found, const std::string& dropped_note,
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

// "quorvex: permutation 3/99" on stderr, erased once the count is complete.
PermutationProgress permutation_count(const Options& opt) {
  if (opt.quiet || !cli::ProgressBar::stderr_is_terminal()) return {};
  return [](size_t done, size_t total) {
    std::string s = "quorvex: permutation " + decimal(done) + "/" + decimal(total);
    if (done == total) s.assign(s.size(), ' ');
    s = "\r" + s + (done == total ? "\r" : "");
    std::fwrite(s.data(), 1, s.size(), stderr);
    std::fflush(stderr);
  };
}

void print_permutation_line(const PermutationResult& test, const Options& opt) {
  const std::string line = cli::permutation_line(test) + "\n";
  if (opt.json)
    std::fwrite(line.data(), 1, line.size(), stderr);
  else
    write_stdout(line);
}

void print_permutation_test(const Discoverer& discoverer, const DiscoverReport& report,
                            const Options& opt) {
  print_permutation_line(permutation_test(discoverer.data(), discoverer.config(), report.bic,
                                          opt.permutations, 0, permutation_count(opt)),
                         opt);
}

// ---- the refined search ---------------------------------------------------------

struct RefinedRun {
  RefinedResult result;
  std::vector<double> best_by_generation;  // after each generation
  bool interrupted = false;
};

RefinedRun refined_search(const Dataset& data, const RefinedConfig& config, const Options& opt) {
  cli::ProgressBar bar;
  const bool show_bar = !opt.quiet && !opt.verbose && cli::ProgressBar::stderr_is_terminal();
  RefinedRun run;
  const RefineProgress progress = [&](const GenerationInfo& info) {
    if (opt.plot) run.best_by_generation.push_back(info.best_bic);
    if (show_bar) bar.update(info.generation, config.generations, info.best_bic, info.elapsed);
    if (opt.verbose) {
      std::string line = "[quorvex] gen " + format_integer(info.generation) + "/" +
                         format_integer(config.generations) +
                         "  t = " + format_fixed(info.elapsed, 2) +
                         " s  best_BIC = " + format_fixed(info.best_bic, 3) +
                         "  front = " + format_integer(info.front_size) + "\n";
      std::fwrite(line.data(), 1, line.size(), stderr);
    }
    return !interrupted.load();
  };
  try {
    run.result = refine(data, config, &progress);
  } catch (const std::invalid_argument& e) {
    bar.finish();
    throw CommandError(shown_input(opt) + ": " + e.what(), kExitBadInput);
  }
  bar.finish();
  run.interrupted = run.result.stop == StopReason::Callback;
  return run;
}

void write_refined_plot(RefinedRun& run, const cli::RefinedSplit& split, const std::string& path) {
  const RefinedResult& r = run.result;
  cli::PlotData plot;
  plot.best_by_generation = std::move(run.best_by_generation);
  plot.first_generation = 1;
  plot.baselines = r.report.baselines;
  plot.formula = r.report.formula;
  plot.verdict = verdict_name(r.report.verdict);
  for (const FrontEntry& e : r.front)
    plot.front.push_back({e.complexity, e.mse_train, e.mse_test,
                          e.complexity == r.report.k && e.bic == r.report.bic});
  plot.mse_floor = r.mse_floor;
  cli::add_points(plot, r.best, split.train, split.test);
  save_plot(plot, path);
}

void print_refined_report(const RefinedRun& run, const cli::RefinedSplit& split,
                          const std::string& dropped_note, const Options& opt) {
  const RefinedResult& r = run.result;
  std::string out = opt.json ? refined_report_json(r) + "\n" : r.report.to_pretty();
  std::string aside;
  std::string& notes = opt.json ? aside : out;
  if (!opt.json) out += cli::search_line(r, run.interrupted) + "\n" + cli::operators_line(r) + "\n";
  if (!dropped_note.empty()) notes += dropped_note + "\n";
  if (r.rows_set_aside > 0)
    notes += "set aside: " + format_integer(r.rows_set_aside) +
             " rows with a non-finite value, by the search\n";
  cli::VerdictNotes verdict =
      cli::verdict_notes(r.report, cli::count_finite_rows(r.best, split.train),
                         opt.permutations > 0 ? "see the permutation p-value below"
                                              : "check it with --permutations 99",
                         true);
  if (!opt.json) notes += verdict.finite + "\n";
  for (const std::string& w : verdict.warnings) notes += w + "\n";
  if (!opt.json)
    for (const std::string& line : cli::front_table(r)) out += line + "\n";
  write_stdout(out);
  std::fwrite(aside.data(), 1, aside.size(), stderr);
}

// The nulls run with the real run's settings; Ctrl-C stops the one running
// and ends the test.
void print_refined_permutation_test(const Dataset& data, const RefinedConfig& config,
                                    double real_bic, const Options& opt) {
  const PermutationResult test =
      refined_permutation_test(data, config, real_bic, opt.permutations, permutation_count(opt),
                               [] { return interrupted.load(); });
  if (test.stopped)
    throw CommandError("interrupted by Ctrl-C during the permutation test", kExitInterrupted);
  print_permutation_line(test, opt);
}

// ---- the modes -------------------------------------------------------------------

// The text and the table go before the search starts; only the dataset stays.
Dataset read_dataset(const Options& opt, std::string& dropped_note) {
  csv::CsvTable table =
      read_table(opt, read_input(opt.file), {opt.target, opt.features, opt.exclude});
  dropped_note = set_aside_unusable_rows(table, opt);
  return to_dataset(table);
}

// Ctrl-C stops the search after its current generation; the best formula so
// far is reported, no plot is written, and the exit code is 130.
void run_refined_discovery(const Options& opt) {
  const RefinedConfig config = make_refined_config(opt);
  check_outputs(opt);
  check_resources(config.population, config.max_depth);
  std::string dropped_note;
  const Dataset data = read_dataset(opt, dropped_note);
  const cli::RefinedSplit split = cli::refined_split(data, config);

  InterruptGuard guard;
  RefinedRun run = refined_search(data, config, opt);
  if (opt.plot && !run.interrupted) write_refined_plot(run, split, *opt.plot);
  print_refined_report(run, split, dropped_note, opt);
  if (run.interrupted)
    throw CommandError("interrupted by Ctrl-C after " + format_integer(run.result.generations) +
                           " generations: the report above is the best formula found so far" +
                           (opt.plot ? "; no plot was written" : ""),
                       kExitInterrupted);
  if (opt.permutations > 0)
    print_refined_permutation_test(data, config, run.result.report.bic, opt);
}

void run_classic_discovery(const Options& opt) {
  if (opt.time_limit > 0.0)
    throw CommandError("--time-limit applies to the refined search only; drop --classic or it",
                       kExitBadInput);
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
  SearchResult result = search(discoverer, opt);
  if (opt.plot) write_plot(result, *opt.plot);
  print_report(result.found, dropped_note, opt);
  if (opt.permutations > 0) print_permutation_test(discoverer, result.found.report, opt);
}

Expr read_model(const std::string& model_file) {
  const std::string text = read_input(model_file);
  try {
    return model_expression(text);
  } catch (const JsonError& e) {
    std::string where = model_file;
    if (e.offset() != JsonError::npos) where += ": byte " + decimal(e.offset());
    throw CommandError(where + ": " + e.what(), kExitBadInput);
  }
}

// --predict: the saved formula on every row of the data, one CSV column. A
// row with a missing value gets "nan".
void run_predict(const Options& opt) {
  const Expr expr = read_model(*opt.predict);
  const std::string text = read_input(opt.file);
  csv::CsvTable table;
  try {
    const csv::Header header = csv::parse_header(text, opt.separator);
    std::vector<size_t> columns;
    for (const std::string& name : expression_features(expr)) {
      size_t found = header.names.size();
      for (size_t c = 0; c < header.names.size(); ++c) {
        if (header.names[c] != name) continue;
        if (found != header.names.size())
          throw csv::CsvError("the formula reads " + csv::quoted_excerpt(name) +
                                  ", which names more than one column",
                              1, c + 1);
        found = c;
      }
      if (found == header.names.size())
        throw csv::CsvError("the formula reads " + csv::quoted_excerpt(name) +
                            ", which is not a column of the file");
      columns.push_back(found);
    }
    table = csv::parse_rows(text, header, columns);
  } catch (const csv::CsvError& e) {
    throw CommandError(csv::describe(shown_input(opt), e), kExitBadInput);
  }
  Dataset data;
  for (const std::string& column : table.header) data.add_feature(column);
  data.reserve_rows(table.n_rows());
  const double none = 0.0;  // a row of no cells still needs an address
  for (size_t r = 0; r < table.n_rows(); ++r)
    data.push_row(table.n_columns() == 0 ? &none : &table.cells[r * table.n_columns()], 0.0);
  std::string out = "prediction\n";
  for (size_t r = 0; r < data.n_rows(); ++r) out += shortest(expr.evaluate(data.row(r))) + "\n";
  write_stdout(out);
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

}  // namespace
}  // namespace quorvex

namespace quorvex {
namespace {

// A whole number that fits T: CLI11 alone would wrap a negative count around
// or saturate one beyond the type's range.
template <typename T>
CLI::Validator whole_number() {
  return CLI::Validator(
      [](const std::string& text) {
        const size_t first = text.find_first_not_of(" \t");
        T value = 0;
        const char* begin = text.data() + (first == std::string::npos ? text.size() : first);
        const char* end = text.data() + text.size();
        const auto res = std::from_chars(begin, end, value);
        if (begin == end || *begin == '-' || res.ec != std::errc() || res.ptr != end)
          return "must be a whole number from 0 to " +
                 std::to_string(std::numeric_limits<T>::max());
        return std::string();
      },
      "");
}

// "--sep ';'", "--sep tab": one character that can separate cells.
std::optional<char> separator_of(const std::string& text) {
  if (text == "tab" || text == "\\t" || text == "\t") return '\t';
  if (text.size() != 1 || text[0] == '"' || text[0] == ' ' || text[0] == '\r' || text[0] == '\n' ||
      static_cast<unsigned char>(text[0]) >= 0x80)
    return std::nullopt;
  return text[0];
}

// Names given as "a,b" or in repeated options; '' is the empty name.
std::vector<std::string> split_names(const std::vector<std::string>& given) {
  std::vector<std::string> names;
  for (const std::string& item : given) {
    if (item.empty() || item == "''") {
      names.emplace_back();
      continue;
    }
    for (size_t pos = 0;;) {
      const size_t comma = item.find(',', pos);
      names.push_back(item.substr(pos, comma - pos));
      if (comma == std::string::npos) break;
      pos = comma + 1;
    }
  }
  return names;
}

// The options, or the exit code when the command ends here (help, errors).
std::optional<int> parse_command_line(int argc, char** argv, Options& opt) {
  CLI::App app{
      "Searches for a closed-form formula that explains the target column of a CSV file\n"
      "from the other columns, and judges it against constant, linear and\n"
      "shuffled-target baselines. The refined search runs by default and shows the best\n"
      "formula of each complexity under the report; --classic runs the C entry's search.",
      "quorvex"};
  app.set_version_flag("--version", "quorvex " QUORVEX_VERSION);
  app.add_option("file", opt.file,
                 "CSV file: a header row of column names, then one row of numbers per line, "
                 "separated by commas, semicolons or tabs (\"-\" reads standard input)")
      ->required();
  auto* target =
      app.add_option("--target", opt.target, "Column to explain (default: the last column)");
  std::vector<std::string> features, exclude;
  auto* features_option =
      app.add_option("--features", features,
                     "Columns the formula may use, e.g. a,b,c (default: all but the target)")
          ->option_text("NAMES");
  auto* exclude_option = app.add_option("--exclude", exclude,
                                        "Columns to leave out, e.g. id,name ('' is a column "
                                        "without a name, such as an index column)")
                             ->option_text("NAMES")
                             ->excludes(features_option);
  std::string sep;
  auto* sep_option = app.add_option("--sep", sep,
                                    "Cell separator: one character such as ';', or tab "
                                    "(default: detected from the header line)")
                         ->option_text("CHAR");
  auto* drop = app.add_flag(
      "--drop-missing", opt.drop_missing,
      "Set aside rows with a missing or unusable value (empty, NA, NaN, inf, beyond ±1e100) in "
      "the columns used, and say how many; without it such rows stop the command");
  auto* classic = app.add_flag(
      "--classic", opt.classic,
      "Run the C entry's search (quorvex_discover) instead of the refined one, with its report "
      "byte for byte (see docs/classic-and-refined.md)");
  app.add_option("--time-limit", opt.time_limit,
                 "Seconds after which the refined search reports its best formula so far "
                 "(default: none; the result then depends on the machine's speed)")
      ->option_text("SECONDS")
      ->check(CLI::NonNegativeNumber)
      ->excludes(classic);
  std::string operators_text;
  auto* operators =
      app.add_option("--operators", operators_text,
                     "Operators the refined search may build formulas from, each with "
                     "the complexity it adds to a formula (default: "
                     "+,-,*,/,pow,exp,log,sqrt,sin,cos, each 1): names from + - * / pow "
                     "exp log sqrt sin cos tanh abs (or add sub mul div), separated by "
                     "commas, each optionally :WEIGHT from 1 to 100, e.g. '+,*,sin:2'")
          ->option_text("LIST");
  app.add_option("--generations", opt.generations,
                 "Generations: the refined search's cap (default 300; it usually stops earlier "
                 "once the front stops improving), the classic search's count (default 40); 0 "
                 "means the default")
      ->check(whole_number<uint32_t>());
  app.add_option("--population", opt.population,
                 "Candidates per generation (default 1000 refined, 200 classic; 0 means the "
                 "default)")
      ->check(whole_number<size_t>());
  app.add_option("--max-depth", opt.max_depth,
                 "Depth budget of the trees grown at random (the first population, fresh "
                 "candidates, the subtrees mutation inserts); crossover can splice deeper "
                 "trees, up to depth 10 (0 means 4)")
      ->check(whole_number<uint32_t>())
      ->capture_default_str();
  app.add_option("--seed", opt.seed, "Seed of every random choice")
      ->check(whole_number<uint64_t>())
      ->capture_default_str();
  app.add_option("--test-fraction", opt.test_fraction,
                 "Share of rows held out for testing, strictly between 0 and 1 (with --classic, "
                 "values outside (0, 1) mean 0.2)")
      ->capture_default_str();
  auto* json = app.add_flag("--json", opt.json, "Print the JSON report instead of the text report");
  auto* verbose =
      app.add_flag("--verbose", opt.verbose, "Write one progress line per generation to stderr");
  app.add_flag("--quiet", opt.quiet,
               "No progress bar (one is drawn on stderr only when it is a terminal)");
  auto* plot = app.add_option("--plot", opt.plot,
                              "Also write FILE.svg: predicted against observed values, the "
                              "best BIC of each generation against the baselines, and the "
                              "front's errors against complexity (written only when the run "
                              "succeeds)")
                   ->option_text("FILE.svg");
  auto* predict =
      app.add_option("--predict", opt.predict,
                     "Instead of a discovery, write the predictions of a saved JSON report's "
                     "formula for every row of the CSV file, as CSV on stdout (nan where a "
                     "value is missing)")
          ->option_text("MODEL.json")
          ->excludes(plot)
          ->excludes(verbose)
          ->excludes(json)
          ->excludes(target)
          ->excludes(features_option)
          ->excludes(exclude_option)
          ->excludes(drop)
          ->excludes(operators);
  app.add_option("--permutations", opt.permutations,
                 "Also run the whole discovery on N copies with the target permuted and report "
                 "the p-value of the real BIC among theirs (99 is a good start; costs N more "
                 "discoveries)")
      ->option_text("N")
      ->check(whole_number<size_t>())
      ->excludes(predict);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    print_error(std::string(e.what()) + " (see quorvex --help)");
    return kExitBadInput;
  }
  if (*sep_option) {
    opt.separator = separator_of(sep);
    if (!opt.separator) {
      print_error("--sep takes one character such as ';' or ',', or the word tab");
      return kExitBadInput;
    }
  }
  if (*operators) opt.operators = operators_text;
  opt.features = split_names(features);
  opt.exclude = split_names(exclude);
  return std::nullopt;
}

}  // namespace
}  // namespace quorvex

int main(int argc, char** argv) {
  quorvex::Options opt;
  if (const std::optional<int> code = quorvex::parse_command_line(argc, argv, opt)) return *code;
  return quorvex::run(opt);
}
