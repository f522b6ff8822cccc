// quorvex: runs one discovery on a CSV file and prints the report, or
// applies a saved report's formula to new rows.

#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "csv.h"
#include "dataset/dataset.h"
#include "diagnostics.h"
#include "model.h"
#include "optimizer/discover.h"
#include "permutation.h"
#include "plot.h"
#include "progress.h"
#include "report/report.h"
#include "text/numbers.h"

namespace quorvex {
namespace {

constexpr int kExitBadInput = 2;
constexpr int kExitWriteFailed = 1;

struct Options {
  std::string file;
  std::optional<std::string> target;
  uint32_t generations = 40;
  size_t population = 200;
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

void print_error(const std::string& message) {
  const std::string line = "quorvex: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// The whole file, or std::nullopt with errno set. "-" is standard input.
std::optional<std::string> read_all(const std::string& path) {
  const bool is_stdin = path == "-";
  std::FILE* f = is_stdin ? stdin : std::fopen(path.c_str(), "rb");
  if (f == nullptr) return std::nullopt;
  std::string content;
  char buf[1 << 16];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, got);
  const bool failed = std::ferror(f) != 0;
  const int saved = errno;
  if (!is_stdin) std::fclose(f);
  if (failed) {
    errno = saved;
    return std::nullopt;
  }
  return content;
}

// Zero and out-of-range settings mean the defaults, as through the C entry.
DiscoverConfig make_config(const Options& opt) {
  DiscoverConfig config = DiscoverConfig::from_c_arguments(
      opt.generations, opt.population, opt.max_depth, opt.seed, opt.test_fraction);
  config.verbose = opt.verbose;
  return config;
}

Dataset to_dataset(const csv::CsvTable& table, size_t target) {
  Dataset data(table.header[target]);
  for (size_t c = 0; c < table.n_columns(); ++c)
    if (c != target) data.add_feature(table.header[c]);
  data.reserve_rows(table.n_rows());
  std::vector<double> values(table.n_columns());
  for (size_t r = 0; r < table.n_rows(); ++r) {
    size_t n = 0;
    for (size_t c = 0; c < table.n_columns(); ++c)
      if (c != target) values[n++] = table.at(r, c);
    data.push_row(values.data(), table.at(r, target));
  }
  return data;
}

bool write_stdout(const std::string& out) {
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    print_error(std::string("cannot write the output: ") + std::strerror(errno));
    return false;
  }
  return true;
}

// The CSV file of the positional argument, or std::nullopt after reporting why not.
std::optional<csv::CsvTable> read_table(const std::string& file) {
  const std::string shown = file == "-" ? "<stdin>" : file;
  const std::optional<std::string> text = read_all(file);
  if (!text) {
    print_error("cannot read \"" + shown + "\": " + std::strerror(errno));
    return std::nullopt;
  }
  try {
    return csv::parse(*text);
  } catch (const csv::CsvError& e) {
    print_error(csv::describe(shown, e));
    return std::nullopt;
  }
}

std::string shortest(double v) {
  if (std::isnan(v)) return "nan";  // one spelling whatever the sign bit
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

// --predict: the saved formula on every row of the data, one CSV column.
int run_predict(const Options& opt) {
  const std::string& model_file = *opt.predict;
  const std::optional<std::string> model_text = read_all(model_file);
  if (!model_text) {
    print_error("cannot read \"" + model_file + "\": " + std::strerror(errno));
    return kExitBadInput;
  }
  std::optional<Expr> expr;
  try {
    expr = cli::model_expression(*model_text);
  } catch (const cli::JsonError& e) {
    std::string where = model_file;
    if (e.offset() != cli::JsonError::npos) {
      where += ": byte " + format_integer(e.offset());
    }
    print_error(where + ": " + e.what());
    return kExitBadInput;
  }
  const std::optional<csv::CsvTable> table = read_table(opt.file);
  if (!table) return kExitBadInput;
  for (const std::string& name : cli::expression_features(*expr)) {
    bool found = false;
    for (const std::string& column : table->header) found = found || column == name;
    if (!found) {
      print_error((opt.file == "-" ? std::string("<stdin>") : opt.file) + ": the formula reads \"" +
                  name + "\", which is not a column of the file");
      return kExitBadInput;
    }
  }
  // Every column is a feature; a name given twice keeps its later column.
  Dataset data;
  for (const std::string& column : table->header) data.add_feature(column);
  data.reserve_rows(table->n_rows());
  for (size_t r = 0; r < table->n_rows(); ++r)
    data.push_row(&table->cells[r * table->n_columns()], 0.0);

  std::string out = "prediction\n";
  for (size_t r = 0; r < data.n_rows(); ++r) {
    out += shortest(expr->evaluate(data.row(r)));
    out += '\n';
  }
  return write_stdout(out) ? 0 : kExitWriteFailed;
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

int run(const Options& opt) {
  if (opt.predict) return run_predict(opt);

  // Opened first so that an unwritable path fails before a long search.
  std::FILE* plot_file = nullptr;
  if (opt.plot) {
    plot_file = std::fopen(opt.plot->c_str(), "wb");
    if (plot_file == nullptr) {
      print_error("cannot write the plot \"" + *opt.plot + "\": " + std::strerror(errno));
      return kExitBadInput;
    }
  }
  struct Closer {
    std::FILE*& f;
    ~Closer() {
      if (f != nullptr) std::fclose(f);
    }
  } closer{plot_file};

  Dataset data;
  {
    // The text and the table go before the search starts; only the dataset stays.
    const std::optional<csv::CsvTable> table = read_table(opt.file);
    if (!table) return kExitBadInput;
    try {
      data = to_dataset(*table, csv::target_column(table->header, opt.target));
    } catch (const csv::CsvError& e) {
      print_error(csv::describe(opt.file == "-" ? "<stdin>" : opt.file, e));
      return kExitBadInput;
    }
  }

  const DiscoverConfig config = make_config(opt);
  Discoverer discoverer(std::move(data), config);
  cli::ProgressBar bar;
  const bool show_bar = !opt.quiet && !opt.verbose && cli::ProgressBar::stderr_is_terminal();
  std::vector<double> best_by_generation;
  if (show_bar || opt.plot) {
    discoverer.set_progress_hook([&](uint32_t generation, uint32_t generations, double best) {
      best_by_generation.push_back(best);
      if (show_bar) bar.update(generation, generations, best);
    });
  }
  const DiscoverResult result = discoverer.run();
  const DiscoverReport& report = result.report;
  bar.finish();

  if (plot_file != nullptr) {
    cli::PlotData plot;
    plot.best_by_generation = std::move(best_by_generation);
    plot.best_by_generation.push_back(report.bic);
    plot.baselines = report.baselines;
    plot.formula = report.formula;
    plot.verdict = verdict_name(report.verdict);
    cli::add_points(plot, result.best, result.train, result.test);
    const std::string svg = cli::render_svg(plot);
    std::FILE* f = plot_file;
    plot_file = nullptr;
    const bool written = std::fwrite(svg.data(), 1, svg.size(), f) == svg.size();
    if (std::fclose(f) != 0 || !written) {
      print_error("cannot write the plot \"" + *opt.plot + "\": " + std::strerror(errno));
      return kExitWriteFailed;
    }
  }

  // The library's report stays as it is; what its verdict leaves out follows
  // it (on stderr in JSON mode, where stdout is one JSON document).
  std::string out = opt.json ? report.to_json() + "\n" : report.to_pretty();
  std::string aside;
  for (const std::string& line : verdict_lines(result, opt))
    (opt.json ? aside : out) += line + "\n";
  if (!write_stdout(out)) return kExitWriteFailed;
  std::fwrite(aside.data(), 1, aside.size(), stderr);
  if (opt.permutations == 0) return 0;

  const bool show_count = !opt.quiet && cli::ProgressBar::stderr_is_terminal();
  const cli::PermutationResult test = cli::permutation_test(
      discoverer.data(), config, report.bic, opt.permutations, 0, [&](size_t done, size_t total) {
        if (!show_count) return;
        std::string s = "quorvex: permutation " + shortest(static_cast<double>(done)) + "/" +
                        shortest(static_cast<double>(total));
        if (done == total) s.assign(s.size(), ' ');  // erased once the count is complete
        s = "\r" + s + (done == total ? "\r" : "");
        std::fwrite(s.data(), 1, s.size(), stderr);
        std::fflush(stderr);
      });
  const std::string line = cli::permutation_line(test) + "\n";
  if (opt.json) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    return 0;
  }
  return write_stdout(line) ? 0 : kExitWriteFailed;
}

}  // namespace
}  // namespace quorvex

int main(int argc, char** argv) {
  quorvex::Options opt;
  CLI::App app{
      "Searches for a closed-form formula that explains the target column of a CSV file\n"
      "from the other columns, and judges it against constant, linear and\n"
      "shuffled-target baselines.",
      "quorvex"};
  app.set_version_flag("--version", "quorvex " QUORVEX_VERSION);
  app.add_option("file", opt.file,
                 "CSV file: a header row of column names, then one row of numbers per line "
                 "(\"-\" reads standard input)")
      ->required();
  auto* target =
      app.add_option("--target", opt.target, "Column to explain (default: the last column)");
  // Without it a negative count would wrap around to a huge unsigned one.
  const CLI::Validator not_negative(
      [](const std::string& text) {
        const size_t first = text.find_first_not_of(" \t");
        return first != std::string::npos && text[first] == '-'
                   ? std::string("must not be negative")
                   : std::string();
      },
      "");
  app.add_option("--generations", opt.generations, "Generations to evolve (0 means 40)")
      ->check(not_negative)
      ->capture_default_str();
  app.add_option("--population", opt.population, "Candidates per generation (0 means 200)")
      ->check(not_negative)
      ->capture_default_str();
  app.add_option("--max-depth", opt.max_depth, "Depth bound of generated trees (0 means 4)")
      ->check(not_negative)
      ->capture_default_str();
  app.add_option("--seed", opt.seed, "Seed of every random choice")
      ->check(not_negative)
      ->capture_default_str();
  app.add_option("--test-fraction", opt.test_fraction,
                 "Share of rows held out for testing; values outside (0, 1) mean 0.2")
      ->capture_default_str();
  auto* json = app.add_flag("--json", opt.json, "Print the JSON report instead of the text report");
  auto* verbose =
      app.add_flag("--verbose", opt.verbose, "Write one progress line per generation to stderr");
  app.add_flag("--quiet", opt.quiet,
               "No progress bar (one is drawn on stderr only when it is a terminal)");
  auto* plot = app.add_option("--plot", opt.plot,
                              "Also write FILE.svg: predicted against observed values, and the "
                              "best BIC of each generation against the baselines")
                   ->option_text("FILE.svg");
  auto* predict =
      app.add_option("--predict", opt.predict,
                     "Instead of a discovery, write the predictions of a saved JSON report's "
                     "formula for every row of the CSV file, as CSV on stdout")
          ->option_text("MODEL.json")
          ->excludes(plot)
          ->excludes(verbose)
          ->excludes(json)
          ->excludes(target);
  app.add_option("--permutations", opt.permutations,
                 "Also run the whole discovery on N copies with the target permuted and report "
                 "the p-value of the real BIC among theirs (99 is a good start; costs N more "
                 "discoveries)")
      ->option_text("N")
      ->check(not_negative)
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
    quorvex::print_error(std::string(e.what()) + " (see quorvex --help)");
    return quorvex::kExitBadInput;
  }
  return quorvex::run(opt);
}
