#include "command_line.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "optimizer/discover.h"
#include "refine/refine.h"

namespace quorvex::cli {
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

// What CLI11 fills before it becomes Options, and the options others exclude.
struct Given {
  std::vector<std::string> features, exclude;
  std::string sep, operators;
  CLI::Option* sep_option = nullptr;
  CLI::Option* operators_option = nullptr;
  CLI::Option* classic = nullptr;
  CLI::Option* starts = nullptr;
  CLI::Option* weights = nullptr;
  CLI::Option* start_from = nullptr;
  std::vector<CLI::Option*> units;
  std::vector<CLI::Option*> not_with_predict;  // in the order --help names them
};

// The defaults in the help come from the configurations themselves.
std::string operators_default() {
  const OperatorSet defaults = OperatorSet::defaults();
  bool all_one = true;
  for (size_t i = 0; i < kOperatorCount; ++i)
    if (defaults.has(Operator(i)) && defaults.weight(Operator(i)) != 1) all_one = false;
  return defaults.text() + (all_one ? ", each 1" : "");
}

void add_data_options(CLI::App& app, Options& opt, Given& given) {
  app.add_option("file", opt.file,
                 "CSV file: a header row of column names, then one row of numbers per line, "
                 "separated by commas, semicolons or tabs (\"-\" reads standard input)")
      ->required();
  given.not_with_predict.push_back(
      app.add_option("--target", opt.target, "Column to explain (default: the last column)"));
  auto* features = app.add_option("--features", given.features,
                                  "Columns the formula may use, e.g. a,b,c (default: all but "
                                  "the target)")
                       ->option_text("NAMES");
  given.not_with_predict.push_back(features);
  given.not_with_predict.push_back(app.add_option("--exclude", given.exclude,
                                                  "Columns to leave out, e.g. id,name ('' is a "
                                                  "column without a name, such as an index "
                                                  "column)")
                                       ->option_text("NAMES")
                                       ->excludes(features));
  given.sep_option = app.add_option("--sep", given.sep,
                                    "Cell separator: one character such as ';', or tab "
                                    "(default: detected from the header line)")
                         ->option_text("CHAR");
  given.not_with_predict.push_back(app.add_flag(
      "--drop-missing", opt.drop_missing,
      "Set aside rows with a missing or unusable value (empty, NA, NaN, inf, beyond ±1e100) in "
      "the columns used, and say how many; without it such rows stop the command"));
}

void add_search_options(CLI::App& app, Options& opt, Given& given) {
  const RefinedConfig refined;
  const DiscoverConfig classic;
  given.classic = app.add_flag(
      "--classic", opt.classic,
      "Run the C entry's search (quorvex_discover) instead of the refined one, with its report "
      "byte for byte (see docs/classic-and-refined.md)");
  app.add_option("--time-limit", opt.time_limit,
                 "Seconds after which the refined search reports its best formula so far "
                 "(default: none; the result then depends on the machine's speed)")
      ->option_text("SECONDS")
      ->check(CLI::NonNegativeNumber)
      ->excludes(given.classic);
  given.operators_option =
      app.add_option("--operators", given.operators,
                     "Operators the refined search may build formulas from, each with "
                     "the complexity it adds to a formula (default: " +
                         operators_default() +
                         "): names from + - * / pow "
                         "exp log sqrt sin cos tanh abs (or add sub mul div), separated by "
                         "commas, each optionally :WEIGHT from 1 to " +
                         decimal(OperatorSet::kMaxWeight) + ", e.g. '+,*,sin:2'")
          ->option_text("LIST");
  app.add_option("--generations", opt.generations,
                 "Generations: the refined search's cap (default " + decimal(refined.generations) +
                     "; it usually stops earlier once the front stops improving), the classic "
                     "search's count (default " +
                     decimal(classic.generations) + "); 0 means the default")
      ->check(whole_number<uint32_t>());
  app.add_option("--population", opt.population,
                 "Candidates per generation (default " + decimal(refined.population) +
                     " refined, " + decimal(classic.population) + " classic; 0 means the default)")
      ->check(whole_number<size_t>());
  app.add_option("--max-depth", opt.max_depth,
                 "Depth budget of the trees grown at random (the first population, fresh "
                 "candidates, the subtrees mutation inserts); crossover can splice deeper "
                 "trees, up to depth 10 (0 means " +
                     decimal(refined.max_depth) + ")")
      ->check(whole_number<uint32_t>())
      ->capture_default_str();
  app.add_option("--seed", opt.seed, "Seed of every random choice")
      ->check(whole_number<uint64_t>())
      ->capture_default_str();
  app.add_option("--test-fraction", opt.test_fraction,
                 "Share of rows held out for testing, strictly between 0 and 1 (with --classic, "
                 "values outside (0, 1) mean " +
                     shortest(classic.test_fraction) + ")")
      ->capture_default_str();
  app.add_option("--threads", opt.threads,
                 "Threads working at once, at most (default 0: one per logical processor); "
                 "the report does not depend on it")
      ->option_text("N")
      ->check(whole_number<size_t>());
  given.starts =
      app.add_option("--starts", opt.starts,
                     "Run K independently seeded refined searches of the one discovery (the "
                     "same split; start 0 is the ordinary search) on local threads and report "
                     "the best formula of each complexity any of them found, judged once; "
                     "costs K searches (default 1)")
          ->option_text("K")
          ->check(whole_number<uint32_t>())
          ->excludes(given.classic);
  given.weights =
      app.add_option("--weights", opt.weights,
                     "Column of row weights for the refined search, never a feature: frequency "
                     "weights (2 counts a row twice, 0 leaves it out) in every fit, error and "
                     "BIC, whose n is the training rows' sum of weights; negative weights are "
                     "refused, missing ones are missing values (see --drop-missing)")
          ->option_text("COLUMN")
          ->excludes(given.classic);
  given.start_from =
      app.add_option("--start-from", opt.start_from,
                     "Warm start: a JSON report (--json) of an earlier run whose front joins the "
                     "first population and, scored again, the final front; with the same data, "
                     "--seed, --test-fraction and --operators the BIC never ends above that "
                     "report's (permuted runs of --permutations start afresh)")
          ->option_text("REPORT.json")
          ->excludes(given.classic);
  CLI::Option* units =
      app.add_option("--units", opt.units,
                     "Physical units of the features, e.g. mass=kg,r=m,v=m/s (every feature; "
                     "SI base units kg m s A K mol cd, derived Hz N Pa J W C V F Ohm S Wb T H, "
                     "powers as s^-2 or m^(1/2), 1 for a pure number): only formulas whose "
                     "units agree with --target-units are searched and reported")
          ->option_text("NAME=UNIT,...")
          ->excludes(given.classic);
  CLI::Option* target_units =
      app.add_option("--target-units", opt.target_units, "The target's unit (with --units)")
          ->option_text("UNIT")
          ->excludes(given.classic);
  CLI::Option* dimensional =
      app.add_option("--dimensional-constants", opt.dimensional_constants,
                     "With --units: how many constants besides the intercept may carry a unit "
                     "of their own, solved for so that the formula agrees (a G or k_B the data "
                     "lack), 0 to " +
                         std::to_string(kMaxDimensionalConstants) + " (default 0: pure numbers)")
          ->option_text("K")
          ->check(CLI::Range(0u, kMaxDimensionalConstants))
          ->excludes(given.classic);
  units->needs(target_units);
  target_units->needs(units);
  dimensional->needs(units);
  given.units = {units, target_units, dimensional};
}

void add_output_options(CLI::App& app, Options& opt, Given& given) {
  auto* json = app.add_flag("--json", opt.json, "Print the JSON report instead of the text report");
  auto* latex = app.add_flag("--latex", opt.latex,
                             "Write the refined front's formulas as LaTeX (the JSON report "
                             "holds both forms)")
                    ->excludes(json)
                    ->excludes(given.classic);
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
                     "formula (or of a file holding a formula's text, as a report shows it) "
                     "for every row of the CSV file, as CSV on stdout (nan where a "
                     "value is missing)")
          ->option_text("MODEL.json")
          ->excludes(plot)
          ->excludes(verbose)
          ->excludes(json)
          ->excludes(latex);
  for (CLI::Option* other : given.not_with_predict) predict->excludes(other);
  predict->excludes(given.operators_option);
  predict->excludes(given.starts);
  predict->excludes(given.weights);
  predict->excludes(given.start_from);
  for (CLI::Option* u : given.units) predict->excludes(u);
  app.add_option("--permutations", opt.permutations,
                 "Also run the whole discovery on N copies with the target permuted and report "
                 "the p-value of the real BIC among theirs (99 is a good start; costs N more "
                 "discoveries)")
      ->option_text("N")
      ->check(whole_number<size_t>())
      ->excludes(predict);
}

// What CLI11 leaves to check, then the strings turned into options.
std::optional<int> finish(Options& opt, const Given& given) {
  if (*given.sep_option) {
    opt.separator = separator_of(given.sep);
    if (!opt.separator) {
      print_error("--sep takes one character such as ';' or ',', or the word tab");
      return kExitBadInput;
    }
  }
  if (*given.operators_option) opt.operators = given.operators;
  if (opt.starts == 0) {
    print_error("--starts must be at least 1");
    return kExitBadInput;
  }
  opt.features = split_names(given.features);
  opt.exclude = split_names(given.exclude);
  return std::nullopt;
}

}  // namespace

std::optional<int> parse_command_line(int argc, char** argv, Options& opt) {
  CLI::App app{
      "Searches for a closed-form formula that explains the target column of a CSV file\n"
      "from the other columns, and judges it against constant, linear and\n"
      "shuffled-target baselines. The refined search runs by default and shows the best\n"
      "formula of each complexity under the report; --classic runs the C entry's search.",
      "quorvex"};
  app.set_version_flag("--version", "quorvex " QUORVEX_VERSION);
  Given given;
  add_data_options(app, opt, given);
  add_search_options(app, opt, given);
  add_output_options(app, opt, given);
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
  return finish(opt, given);
}

}  // namespace quorvex::cli
