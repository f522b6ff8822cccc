#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "calibrate.h"
#include "text/numbers.h"

namespace quorvex::calibrate {

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

std::string fraction(size_t k, size_t n) { return format_integer(k) + "/" + format_integer(n); }

namespace {

std::string percent(double share) { return format_fixed(100.0 * share, 1); }

// "15.5% (11.0–21.0)"
std::string rate(size_t k, size_t n) {
  if (n == 0) return "–";
  const auto [lo, hi] = wilson(k, n);
  return percent(static_cast<double>(k) / static_cast<double>(n)) + "% (" + percent(lo) + "–" +
         percent(hi) + ")";
}

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

std::string noise_section(const std::vector<Task>& tasks, const std::vector<Outcome>& out) {
  std::string md;
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

  return md;
}

std::string benchmark_section(const Settings& s, const std::vector<Task>& tasks,
                              const std::vector<Outcome>& out, const std::vector<Problem>& nguyen,
                              const std::vector<Problem>& feynman) {
  std::string md;
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

  return md;
}

std::string permutation_section(const Settings& s, const std::vector<Task>& tasks,
                                const std::vector<Outcome>& out) {
  std::string md;
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

}  // namespace

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

  md += noise_section(tasks, out);
  md += benchmark_section(s, tasks, out, nguyen, feynman);
  md += "\n## Exact fits\n\n" + exact_fit_section(s, nguyen, feynman);

  md += permutation_section(s, tasks, out);
  return md;
}

}  // namespace quorvex::calibrate
