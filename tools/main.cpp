// quorvex: runs one discovery on a CSV file and prints the report.

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "csv.h"
#include "dataset/dataset.h"
#include "optimizer/discover.h"
#include "report/report.h"

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
  DiscoverConfig config;
  config.generations = opt.generations == 0 ? 40 : opt.generations;
  config.population = opt.population == 0 ? 200 : opt.population;
  config.max_depth = opt.max_depth == 0 ? 4 : opt.max_depth;
  config.seed = opt.seed;
  config.test_fraction =
      opt.test_fraction > 0.0 && opt.test_fraction < 1.0 ? opt.test_fraction : 0.2;
  config.n_shuffles = 30;
  config.verbose = opt.verbose;
  config.use_niches = true;
  config.restart_on_stagnation = true;
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

int run(const Options& opt) {
  const std::string shown = opt.file == "-" ? "<stdin>" : opt.file;
  Dataset data;
  {
    // The text and the table go before the search starts; only the dataset stays.
    const std::optional<std::string> text = read_all(opt.file);
    if (!text) {
      print_error("cannot read \"" + shown + "\": " + std::strerror(errno));
      return kExitBadInput;
    }
    try {
      const csv::CsvTable table = csv::parse(*text);
      data = to_dataset(table, csv::target_column(table.header, opt.target));
    } catch (const csv::CsvError& e) {
      print_error(csv::describe(shown, e));
      return kExitBadInput;
    }
  }

  const DiscoverReport report = discover(std::move(data), make_config(opt));
  std::string out = opt.json ? report.to_json() + "\n" : report.to_pretty();
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    print_error(std::string("cannot write the report: ") + std::strerror(errno));
    return kExitWriteFailed;
  }
  return 0;
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
  app.add_flag("--json", opt.json, "Print the JSON report instead of the text report");
  app.add_flag("--verbose", opt.verbose, "Write one progress line per generation to stderr");

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
