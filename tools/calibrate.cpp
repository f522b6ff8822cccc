// quorvex_calibrate: measures how often the verdict says Strong, Weak or Noise
// on data with a known answer (pure noise, Nguyen, Feynman), how that relates
// to formulas undefined on part of the rows and to exact fits, and the error
// rate and power of the permutation test. Writes a markdown report.

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "baselines/baselines.h"
#include "calibrate_suites.h"
#include "diagnostics.h"
#include "optimizer/discover.h"
#include "optimizer/scoring.h"
#include "permutation.h"
#include "progress.h"
#include "text/numbers.h"

namespace quorvex::calibrate {
namespace {

struct Settings {
  bool quick = false;
  size_t jobs = 1;
  std::string out;
  size_t population = 200;
  uint32_t generations = 40;
  size_t noise_sets = 1000;      // data sets per target distribution
  size_t repeats = 50;           // data sets per benchmark problem and noise level
  size_t permutations = 99;      // permuted discoveries per tested data set
  size_t perm_noise_sets = 300;  // of the noise data sets, per distribution
  size_t perm_repeats = 5;       // of the benchmark data sets, per problem and noise level
};

// The quick size: seconds even under the sanitizers.
void make_quick(Settings& s) {
  s.population = 20;
  s.generations = 3;
  s.noise_sets = 10;
  s.repeats = 1;
  s.permutations = 4;
  s.perm_noise_sets = 2;
  s.perm_repeats = 1;
}

enum class Suite { Noise, Nguyen, Feynman };

struct Task {
  Suite suite = Suite::Noise;
  TargetLaw law = TargetLaw::Normal;  // Noise
  size_t n = 0, d = 0;                // Noise
  size_t problem = 0;                 // Nguyen, Feynman
  double noise_level = 0.0;           // Nguyen, Feynman
  uint64_t data_seed = 0;
  uint64_t search_seed = 0;
  size_t permutations = 0;
};

struct Outcome {
  Verdict verdict = Verdict::Noise;
  cli::FiniteRows train_rows;
  bool exact_fit = false;  // training error exactly zero
  double p_value = std::numeric_limits<double>::quiet_NaN();
};

constexpr size_t kNoiseRows[] = {30, 50, 100, 200, 300};
constexpr TargetLaw kLaws[] = {TargetLaw::Normal, TargetLaw::StudentT2, TargetLaw::Cauchy};
constexpr double kNoiseLevels[] = {0.0, 0.01, 0.1};

// The seed of data set b of stream a: independent streams from one 64-bit mixer.
uint64_t mix(uint64_t a, uint64_t b) { return cli::permutation_seed(a, b + 1); }

// Depth and test fraction at their defaults.
DiscoverConfig config_of(const Settings& s, uint64_t seed) {
  return DiscoverConfig::from_c_arguments(s.generations, s.population, 0, seed, 0.0);
}

std::vector<Task> make_tasks(const Settings& s, const std::vector<Problem>& nguyen,
                             const std::vector<Problem>& feynman) {
  std::vector<Task> tasks;
  // Noise: n and d cycle through every pairing (25 data sets per cycle).
  for (size_t l = 0; l < 3; ++l) {
    for (size_t j = 0; j < s.noise_sets; ++j) {
      Task t;
      t.suite = Suite::Noise;
      t.law = kLaws[l];
      t.n = kNoiseRows[j % 5];
      t.d = 1 + j / 5 % 5;
      t.data_seed = mix(100 + l, j);
      t.search_seed = j;
      t.permutations = j < s.perm_noise_sets ? s.permutations : 0;
      tasks.push_back(t);
    }
  }
  const auto add_problems = [&](Suite suite, size_t count, uint64_t stream) {
    for (size_t p = 0; p < count; ++p)
      for (size_t lvl = 0; lvl < 3; ++lvl)
        for (size_t r = 0; r < s.repeats; ++r) {
          Task t;
          t.suite = suite;
          t.problem = p;
          t.noise_level = kNoiseLevels[lvl];
          t.data_seed = mix(stream + 100 * p + lvl, r);
          t.search_seed = r;
          t.permutations = r < s.perm_repeats ? s.permutations : 0;
          tasks.push_back(t);
        }
  };
  add_problems(Suite::Nguyen, nguyen.size(), 1000);
  add_problems(Suite::Feynman, feynman.size(), 5000);
  return tasks;
}

Outcome run_task(const Task& t, const Settings& s, const std::vector<Problem>& nguyen,
                 const std::vector<Problem>& feynman, size_t max_threads) {
  Sampler sampler(t.data_seed);
  Dataset data = t.suite == Suite::Noise
                     ? noise_dataset(sampler, t.n, t.d, t.law)
                     : problem_dataset((t.suite == Suite::Nguyen ? nguyen : feynman)[t.problem],
                                       sampler, t.noise_level);
  const DiscoverConfig config = config_of(s, t.search_seed);
  Discoverer discoverer(std::move(data), config);
  discoverer.set_max_threads(max_threads);
  const DiscoverResult result = discoverer.run();
  const DiscoverReport& report = result.report;

  Outcome o;
  o.verdict = report.verdict;
  o.exact_fit = report.mse_train == 0.0;
  o.train_rows = cli::count_finite_rows(result.best, result.train);
  if (t.permutations > 0)
    o.p_value =
        cli::permutation_test(discoverer.data(), config, report.bic, t.permutations, max_threads)
            .p_value;
  return o;
}

// Runs every task on `jobs` threads; each result lands in its own slot, so
// the outcome does not depend on the number of jobs.
std::vector<Outcome> run_all(const std::vector<Task>& tasks, const Settings& s,
                             const std::vector<Problem>& nguyen,
                             const std::vector<Problem>& feynman) {
  std::vector<Outcome> out(tasks.size());
  // Weight of a task in the progress figure: its number of discoveries.
  size_t total = 0;
  for (const Task& t : tasks) total += 1 + t.permutations;
  std::atomic<size_t> next{0};
  std::mutex progress_lock;
  size_t done = 0;
  const bool terminal = cli::ProgressBar::stderr_is_terminal();
  const auto start = std::chrono::steady_clock::now();
  size_t last_percent = 0;
  // One job uses the worker pool for each population; several run their
  // discoveries on their own threads.
  const size_t max_threads = s.jobs > 1 ? 1 : 0;

  const auto work = [&] {
    for (size_t i = next++; i < tasks.size(); i = next++) {
      out[i] = run_task(tasks[i], s, nguyen, feynman, max_threads);
      std::lock_guard<std::mutex> lock(progress_lock);
      done += 1 + tasks[i].permutations;
      const size_t percent = done * 100 / total;
      if (terminal || percent / 10 != last_percent / 10) {
        last_percent = percent;
        const auto secs = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
        std::string line = "calibrate: " + format_integer(done) + "/" + format_integer(total) +
                           " discoveries (" + format_integer(percent) + "%), " +
                           format_integer(static_cast<size_t>(secs)) + " s";
        line = terminal ? "\r" + line : line + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
      }
    }
  };
  std::vector<std::thread> threads;
  for (size_t j = 1; j < s.jobs; ++j) threads.emplace_back(work);
  work();
  for (std::thread& th : threads) th.join();
  if (terminal) std::fwrite("\n", 1, 1, stderr);
  return out;
}

// ---- the markdown report ---------------------------------------------------

// 95% Wilson score interval of k successes in n trials.
std::pair<double, double> wilson(size_t k, size_t n) {
  if (n == 0) return {0.0, 1.0};
  const double z = 1.959963984540054;
  const double nn = static_cast<double>(n);
  const double p = static_cast<double>(k) / nn;
  const double denom = 1.0 + z * z / nn;
  const double centre = (p + z * z / (2.0 * nn)) / denom;
  const double half = z * std::sqrt(p * (1.0 - p) / nn + z * z / (4.0 * nn * nn)) / denom;
  return {std::max(0.0, centre - half), std::min(1.0, centre + half)};
}

std::string percent(double share) { return format_fixed(100.0 * share, 1); }

// "15.5% (11.0–21.0)"
std::string rate(size_t k, size_t n) {
  if (n == 0) return "–";
  const auto [lo, hi] = wilson(k, n);
  return percent(static_cast<double>(k) / static_cast<double>(n)) + "% (" + percent(lo) + "–" +
         percent(hi) + ")";
}

std::string fraction(size_t k, size_t n) { return format_integer(k) + "/" + format_integer(n); }

struct Tally {
  size_t runs = 0, strong = 0, weak = 0, noise = 0;
  size_t all_finite = 0, strong_all_finite = 0, strong_not_finite = 0;
  size_t exact = 0;
  size_t tested = 0, significant = 0, very_significant = 0, strong_tested = 0,
         strong_significant = 0;

  void add(const Outcome& o) {
    ++runs;
    const bool finite = o.train_rows.total > 0 && o.train_rows.finite == o.train_rows.total;
    strong += o.verdict == Verdict::Strong;
    weak += o.verdict == Verdict::Weak;
    noise += o.verdict == Verdict::Noise;
    all_finite += finite;
    strong_all_finite += finite && o.verdict == Verdict::Strong;
    strong_not_finite += !finite && o.verdict == Verdict::Strong;
    exact += o.exact_fit;
    if (!std::isnan(o.p_value)) {
      ++tested;
      significant += o.p_value <= 0.05;
      very_significant += o.p_value <= 0.01;
      strong_tested += o.verdict == Verdict::Strong;
      strong_significant += o.verdict == Verdict::Strong && o.p_value <= 0.05;
    }
  }
};

Tally tally(const std::vector<Task>& tasks, const std::vector<Outcome>& out,
            const std::function<bool(const Task&)>& keep) {
  Tally t;
  for (size_t i = 0; i < tasks.size(); ++i)
    if (keep(tasks[i])) t.add(out[i]);
  return t;
}

std::string verdict_row(const std::string& label, const Tally& t) {
  return "| " + label + " | " + format_integer(t.runs) + " | " + rate(t.strong, t.runs) + " | " +
         rate(t.weak, t.runs) + " | " + rate(t.noise, t.runs) + " | " + rate(t.all_finite, t.runs) +
         " | " + fraction(t.strong_all_finite, t.all_finite) + " | " +
         fraction(t.strong_not_finite, t.runs - t.all_finite) + " | " + format_integer(t.exact) +
         " |\n";
}

const char* kVerdictHeader =
    "| data | runs | Strong | Weak | Noise | best formula finite on every training row | "
    "Strong when finite everywhere | Strong when not | exact fits (MSE 0) |\n"
    "|---|---:|---|---|---|---|---:|---:|---:|\n";

std::string level_name(double level) { return level == 0.0 ? "0%" : level == 0.01 ? "1%" : "10%"; }

// The verdict of a given formula on a data set, assembled as the search
// assembles it for its best candidate.
DiscoverReport judge(const Expr& tree, const Dataset& data, const DiscoverConfig& config) {
  const auto [train, test] = data.split(config.test_fraction, config.seed);
  return assess(tree, candidate_score(tree, train), train, test,
                compute(train, config.n_shuffles, config.seed));
}

std::string bic_text(double bic) { return format_fixed(bic, 1); }

// Exact fits: the true law of a noiseless data set, written exactly and with
// one rounding error, and what the search makes of the same data.
std::string exact_fit_section(const Settings& s, const std::vector<Problem>& nguyen,
                              const std::vector<Problem>& feynman) {
  std::string md =
      "| law | written exactly: BIC, verdict | times (1 + 2^-52): BIC, verdict | search: "
      "verdict |\n|---|---|---|---|\n";
  size_t laws = 0, exact_noise = 0, rounded_strong = 0, search_strong = 0;
  const DiscoverConfig config = config_of(s, 0);
  for (const std::vector<Problem>* suite : {&nguyen, &feynman}) {
    for (size_t p = 0; p < suite->size(); ++p) {
      const Problem& problem = (*suite)[p];
      const std::optional<Expr> tree = problem.tree();
      if (!tree) continue;
      Sampler sampler(mix(9000 + p, suite == &nguyen ? 0 : 1));
      const Dataset data = problem_dataset(problem, sampler, 0.0, true);
      const DiscoverReport exact = judge(*tree, data, config);
      const Expr rounded =
          Expr::bin(Op::Mul, *tree, Expr::constant(1.0 + std::numeric_limits<double>::epsilon()));
      const DiscoverReport near = judge(rounded, data, config);
      const DiscoverReport searched = discover(data, config).report;
      ++laws;
      exact_noise += exact.verdict == Verdict::Noise;
      rounded_strong += near.verdict == Verdict::Strong;
      search_strong += searched.verdict == Verdict::Strong;
      md += "| " + problem.name + ": " + problem.formula + " | " + bic_text(exact.bic) + ", " +
            verdict_name(exact.verdict) + " | " + bic_text(near.bic) + ", " +
            verdict_name(near.verdict) + " | " + verdict_name(searched.verdict) + " |\n";
    }
  }
  // A constant target: the constant model fits it exactly and scores +inf.
  Sampler sampler(mix(9999, 0));
  Dataset constant("y");
  constant.add_feature("x");
  for (int i = 0; i < 50; ++i) {
    const double x = sampler.uniform(-1.0, 1.0);
    constant.push_row(&x, 2.5);
  }
  const DiscoverReport searched = discover(constant, config).report;
  md += "\nThe law written exactly got Noise for " + fraction(exact_noise, laws) +
        " laws; multiplied by (1 + 2^-52) it got Strong for " + fraction(rounded_strong, laws) +
        "; the search on the same noiseless data got Strong for " + fraction(search_strong, laws) +
        ". A constant target (y = 2.5 on 50 rows) got " + verdict_name(searched.verdict) +
        " from the search (best formula " + searched.formula + ", constant model BIC " +
        bic_text(searched.baselines.bic_const) + ").\n";
  return md;
}

std::string report(const Settings& s, const std::vector<Task>& tasks,
                   const std::vector<Outcome>& out, const std::vector<Problem>& nguyen,
                   const std::vector<Problem>& feynman) {
  std::string md = "## Settings\n\nPopulation " + format_integer(s.population) + ", " +
                   format_integer(s.generations) +
                   " generations, maximum depth 4, test fraction 0.2, 30 shuffled-target nulls. " +
                   format_integer(s.noise_sets) + " noise data sets per target distribution, " +
                   format_integer(s.repeats) +
                   " data sets per benchmark problem and noise level. Rates are shares of runs "
                   "with 95% Wilson intervals.\n\n";

  md +=
      "## Pure noise\n\nTargets drawn independently of the features; n cycles through "
      "30, 50, 100, 200, 300 and the number of features through 1 to 5 (odd features "
      "N(0, 1), even ones U[0.5, 5]).\n\n";
  md += kVerdictHeader;
  for (TargetLaw law : kLaws)
    md += verdict_row(
        std::string("targets ") + target_law_name(law),
        tally(tasks, out, [&](const Task& t) { return t.suite == Suite::Noise && t.law == law; }));
  md += verdict_row("all noise",
                    tally(tasks, out, [](const Task& t) { return t.suite == Suite::Noise; }));
  for (size_t n : kNoiseRows)
    md += verdict_row("normal, n = " + format_integer(n), tally(tasks, out, [&](const Task& t) {
                        return t.suite == Suite::Noise && t.law == TargetLaw::Normal && t.n == n;
                      }));
  for (size_t d = 1; d <= 5; ++d)
    md += verdict_row("normal, " + format_integer(d) + (d == 1 ? " feature" : " features"),
                      tally(tasks, out, [&](const Task& t) {
                        return t.suite == Suite::Noise && t.law == TargetLaw::Normal && t.d == d;
                      }));

  md += "\n## Benchmarks with a real law\n\nNguyen-1..12 (20 points) and " +
        format_integer(feynman.size()) +
        " Feynman equations (100 points), Gaussian noise of 0, 1% and 10% of the clean "
        "targets' standard deviation.\n\n";
  md += kVerdictHeader;
  for (Suite suite : {Suite::Nguyen, Suite::Feynman})
    for (double level : kNoiseLevels)
      md += verdict_row(std::string(suite == Suite::Nguyen ? "Nguyen" : "Feynman") + ", noise " +
                            level_name(level),
                        tally(tasks, out, [&](const Task& t) {
                          return t.suite == suite && t.noise_level == level;
                        }));

  md += "\nStrong verdicts per problem (of " + format_integer(s.repeats) +
        " data sets per noise level):\n\n| problem | law | noise 0% | 1% | 10% |\n"
        "|---|---|---:|---:|---:|\n";
  for (Suite suite : {Suite::Nguyen, Suite::Feynman}) {
    const std::vector<Problem>& problems = suite == Suite::Nguyen ? nguyen : feynman;
    for (size_t p = 0; p < problems.size(); ++p) {
      md += "| " + problems[p].name + " | " + problems[p].formula;
      for (double level : kNoiseLevels) {
        const Tally t = tally(tasks, out, [&](const Task& x) {
          return x.suite == suite && x.problem == p && x.noise_level == level;
        });
        md += " | " + fraction(t.strong, t.runs);
      }
      md += " |\n";
    }
  }

  md += "\n## Exact fits\n\n" + exact_fit_section(s, nguyen, feynman);

  md += "\n## Permutation test\n\n" + format_integer(s.permutations) +
        " permutations per tested data set; a data set counts as significant when p <= 0.05. "
        "The tested data sets are the first " +
        format_integer(s.perm_noise_sets) + " noise data sets of each distribution and the first " +
        format_integer(s.perm_repeats) + " of each benchmark problem and noise level.\n\n" +
        "| data | data sets | p <= 0.05 | p <= 0.01 | verdict Strong on the same data sets | "
        "p <= 0.05 among those Strong |\n"
        "|---|---:|---|---|---|---:|\n";
  const auto perm_row = [&](const std::string& label, const Tally& t) {
    md += "| " + label + " | " + format_integer(t.tested) + " | " + rate(t.significant, t.tested) +
          " | " + rate(t.very_significant, t.tested) + " | " + rate(t.strong_tested, t.tested) +
          " | " + fraction(t.strong_significant, t.strong_tested) + " |\n";
  };
  for (TargetLaw law : kLaws)
    perm_row(
        std::string("noise, targets ") + target_law_name(law),
        tally(tasks, out, [&](const Task& t) { return t.suite == Suite::Noise && t.law == law; }));
  perm_row("all noise", tally(tasks, out, [](const Task& t) { return t.suite == Suite::Noise; }));
  for (Suite suite : {Suite::Nguyen, Suite::Feynman})
    for (double level : kNoiseLevels)
      perm_row(std::string(suite == Suite::Nguyen ? "Nguyen" : "Feynman") + ", noise " +
                   level_name(level),
               tally(tasks, out,
                     [&](const Task& t) { return t.suite == suite && t.noise_level == level; }));
  return md;
}

int run(Settings s) {
  if (s.quick) make_quick(s);
  if (s.jobs == 0) s.jobs = 1;
  const std::vector<Problem> nguyen = nguyen_problems();
  const std::vector<Problem> feynman = feynman_problems();
  const std::vector<Task> tasks = make_tasks(s, nguyen, feynman);
  const std::vector<Outcome> out = run_all(tasks, s, nguyen, feynman);
  const std::string md =
      "# quorvex verdict calibration\n\n" + report(s, tasks, out, nguyen, feynman);

  std::FILE* f = s.out.empty() ? stdout : std::fopen(s.out.c_str(), "wb");
  if (f == nullptr) {
    const std::string msg =
        "calibrate: cannot write \"" + s.out + "\": " + std::strerror(errno) + "\n";
    std::fwrite(msg.data(), 1, msg.size(), stderr);
    return 1;
  }
  const bool written = std::fwrite(md.data(), 1, md.size(), f) == md.size();
  const bool closed = f == stdout ? std::fflush(f) == 0 : std::fclose(f) == 0;
  return written && closed ? 0 : 1;
}

}  // namespace
}  // namespace quorvex::calibrate

int main(int argc, char** argv) {
  quorvex::calibrate::Settings s;
  CLI::App app{
      "Measures the verdict of quorvex on pure noise and on benchmark laws, and the error rate "
      "and power of the permutation test; writes a markdown report.",
      "quorvex_calibrate"};
  app.add_flag("--quick", s.quick, "A tiny size for smoke tests (overrides the sizes below)");
  app.add_option("--jobs", s.jobs, "Discoveries run at once (results do not depend on it)")
      ->capture_default_str();
  app.add_option("--out", s.out, "Write the report here instead of standard output");
  app.add_option("--population", s.population, "Candidates per generation")->capture_default_str();
  app.add_option("--generations", s.generations, "Generations")->capture_default_str();
  app.add_option("--noise-sets", s.noise_sets, "Noise data sets per target distribution")
      ->capture_default_str();
  app.add_option("--repeats", s.repeats, "Data sets per benchmark problem and noise level")
      ->capture_default_str();
  app.add_option("--permutations", s.permutations, "Permutations per tested data set")
      ->capture_default_str();
  app.add_option("--perm-noise-sets", s.perm_noise_sets,
                 "Noise data sets per distribution given the permutation test")
      ->capture_default_str();
  app.add_option("--perm-repeats", s.perm_repeats,
                 "Benchmark data sets per problem and noise level given the permutation test")
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  return quorvex::calibrate::run(s);
}
