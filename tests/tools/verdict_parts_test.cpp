// The finite share and warnings beside the verdict, and the permutation test.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dataset/dataset.h"
#include "diagnostics.h"
#include "expr/expr.h"
#include "optimizer/discover.h"
#include "optimizer/permutation.h"
#include "refine/refined_permutation.h"

namespace quorvex::cli {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Dataset one_feature(const std::vector<double>& xs, const std::vector<double>& ys) {
  Dataset d("y");
  d.add_feature("x");
  for (size_t i = 0; i < xs.size(); ++i) d.push_row(&xs[i], ys[i]);
  return d;
}

DiscoverConfig tiny(uint64_t seed) {
  DiscoverConfig c;
  c.population = 12;
  c.generations = 2;
  c.seed = seed;
  return c;
}

TEST(FiniteRows, CountsRowsWhereTheFormulaIsDefined) {
  const Dataset d = one_feature({-1.0, 0.0, 0.5, 2.0, kNaN, kInf}, {0, 0, 0, 0, 0, 0});
  const auto count = [&](const Expr& e) { return count_finite_rows(e, d); };
  EXPECT_EQ(count(Expr::log(Expr::feature("x"))).finite, 2u);  // 0.5 and 2
  EXPECT_EQ(count(Expr::log(Expr::feature("x"))).total, 6u);
  EXPECT_EQ(count(Expr::constant(1.0)).finite, 6u);
  // The guarded division is undefined at 0 and on NaN; 1/inf is 0.
  EXPECT_EQ(count(Expr::bin(Op::Div, Expr::constant(1.0), Expr::feature("x"))).finite, 4u);
  // Overflow counts as undefined: 2 * 1e308 is inf.
  EXPECT_EQ(count(Expr::bin(Op::Mul, Expr::feature("x"), Expr::constant(1e308))).finite, 3u);
  EXPECT_EQ(count_finite_rows(Expr::constant(1.0), Dataset("y")).total, 0u);
}

TEST(FiniteRows, ShareIsRoundedDownSoOnlyEveryRowShowsAHundred) {
  EXPECT_EQ(format_share({160, 160}), "100.0%");
  EXPECT_EQ(format_share({159, 160}), "99.3%");
  EXPECT_EQ(format_share({9999, 10000}), "99.9%");
  EXPECT_EQ(format_share({45, 80}), "56.2%");
  EXPECT_EQ(format_share({1, 3}), "33.3%");
  EXPECT_EQ(format_share({0, 7}), "0.0%");
  EXPECT_EQ(format_share({0, 0}), "-");
}

DiscoverReport report_with(Verdict v, double mse_train = 1.0, double bic_const = 10.0,
                           size_t n_train = 80) {
  DiscoverReport r;
  r.verdict = v;
  r.mse_train = mse_train;
  r.baselines.bic_const = bic_const;
  r.n_train = n_train;
  return r;
}

bool has_line(const VerdictNotes& notes, const std::string& start) {
  for (const std::string& w : notes.warnings)
    if (w.rfind(start, 0) == 0) return true;
  return false;
}

TEST(VerdictNotes, WarnsExactlyWhenAnUndefinedFormulaGetsMoreThanNoise) {
  struct Case {
    Verdict verdict;
    FiniteRows rows;
    bool warned;
  };
  const Case cases[] = {
      {Verdict::Strong, {79, 80}, true}, {Verdict::Weak, {40, 80}, true},
      {Verdict::Noise, {40, 80}, false}, {Verdict::Strong, {80, 80}, false},
      {Verdict::Weak, {80, 80}, false},
  };
  for (const Case& c : cases) {
    const VerdictNotes notes = verdict_notes(report_with(c.verdict), c.rows, "HINT");
    EXPECT_EQ(has_line(notes, "warning : "), c.warned)
        << verdict_name(c.verdict) << " " << c.rows.finite;
    if (c.warned) {
      const std::string& w = notes.warnings.front();
      const std::string undefined = std::to_string(c.rows.total - c.rows.finite);
      EXPECT_NE(w.find(" on " + undefined + " of 80 training rows"), std::string::npos) << w;
      EXPECT_NE(w.find(std::string(verdict_name(c.verdict)) + " verdict"), std::string::npos);
      EXPECT_EQ(w.substr(w.size() - 4), "HINT");
    }
  }
  EXPECT_EQ(verdict_notes(report_with(Verdict::Strong), {79, 80}, "").finite,
            "finite  : 98.7% of training rows (79 of 80)");
}

TEST(VerdictNotes, NotesAZeroErrorAndAConstantModelScoredInfinite) {
  EXPECT_TRUE(
      has_line(verdict_notes(report_with(Verdict::Noise, 0.0), {80, 80}, ""), "note    : "));
  EXPECT_TRUE(
      has_line(verdict_notes(report_with(Verdict::Noise, -0.0), {80, 80}, ""), "note    : "));
  EXPECT_FALSE(has_line(verdict_notes(report_with(Verdict::Noise, 1e-300), {80, 80}, ""), "note"));
  EXPECT_FALSE(has_line(verdict_notes(report_with(Verdict::Noise, kNaN), {0, 80}, ""), "note"));
  // The constant model's error is zero on a constant target: its BIC is +inf.
  EXPECT_TRUE(has_line(verdict_notes(report_with(Verdict::Weak, 0.5, kInf), {80, 80}, ""),
                       "note    : the constant model"));
  // With fewer than two training rows +inf is expected and says nothing.
  EXPECT_FALSE(
      has_line(verdict_notes(report_with(Verdict::Noise, 0.5, kInf, 1), {1, 1}, ""), "note"));
}

TEST(VerdictNotes, WarnsWhenTheFormulaIsUndefinedInsideTheDataBox) {
  EXPECT_FALSE(domain_warning(1.0));
  EXPECT_FALSE(domain_warning(kNaN));  // a classic result has no domain share
  const std::optional<std::string> w = domain_warning(4095.0 / 4096.0);
  ASSERT_TRUE(w);
  EXPECT_NE(w->find(" 0.0% of the box the training data span (1 of 4096 points"), std::string::npos)
      << *w;
  EXPECT_EQ(domain_line(4095.0 / 4096.0),
            "domain  : 99.9% of the box the training rows span (4096 points)");
}

TEST(Permutation, SeedsAreTheSplitMix64Stream) {
  // The published first outputs of SplitMix64 started at 0.
  EXPECT_EQ(permutation_seed(0, 1), 0xE220A8397B1DCDAFULL);
  EXPECT_EQ(permutation_seed(0, 2), 0x6E789E6AA1B965F4ULL);
  EXPECT_EQ(permutation_seed(0, 3), 0x06C45D188009454FULL);
  // Stream i of seed s is stream i + 1 of seed s - golden: one sequence, not a family.
  EXPECT_EQ(permutation_seed(5, 2), permutation_seed(5 + 0x9E3779B97F4A7C15ULL, 1));
}

TEST(Permutation, PValueCountsTiesAgainstTheRealFormula) {
  EXPECT_DOUBLE_EQ(permutation_p_value(1.0, {2.0, 3.0, 4.0}), 0.25);
  EXPECT_DOUBLE_EQ(permutation_p_value(3.0, {2.0, 3.0, 4.0}), 0.75);
  EXPECT_DOUBLE_EQ(permutation_p_value(kInf, {kInf, kInf, 1.0}), 1.0);
  EXPECT_DOUBLE_EQ(permutation_p_value(kNaN, {1.0, 2.0}), 1.0);
  EXPECT_DOUBLE_EQ(permutation_p_value(-5.0, {}), 1.0);
  EXPECT_DOUBLE_EQ(permutation_p_value(0.0, {kInf, kInf, kInf}), 0.25);
}

Dataset quadratic(size_t n) {
  std::vector<double> xs, ys;
  for (size_t i = 0; i < n; ++i) {
    const double x = static_cast<double>(i) / 4.0;
    xs.push_back(x);
    ys.push_back(3.0 * x * x + 1.0 + 0.1 * std::sin(7.0 * x));
  }
  return one_feature(xs, ys);
}

TEST(Permutation, EachNullIsTheSameDiscoveryOnTheDocumentedShuffle) {
  const Dataset data = quadratic(30);
  const DiscoverConfig config = tiny(17);
  const double real = discover(data, config).report.bic;
  const PermutationResult result = permutation_test(data, config, real, 4);
  ASSERT_EQ(result.null_bics.size(), 4u);
  size_t below = 0;
  for (uint64_t i = 1; i <= 4; ++i) {
    const double expected =
        discover(data.shuffled_target(permutation_seed(17, i)), config).report.bic;
    EXPECT_EQ(result.null_bics[i - 1], expected) << i;
    below += expected <= real;
  }
  EXPECT_EQ(result.at_or_below, below);
  EXPECT_DOUBLE_EQ(result.p_value, static_cast<double>(1 + below) / 5.0);
  // A clear law beats every shuffled copy.
  EXPECT_DOUBLE_EQ(result.p_value, 0.2);
}

TEST(Permutation, ReproducibleWhateverTheThreadsAndSilentWhenVerbose) {
  const Dataset data = quadratic(24);
  DiscoverConfig config = tiny(3);
  config.verbose = true;
  std::vector<size_t> seen;
  testing::internal::CaptureStderr();
  const PermutationResult a =
      permutation_test(data, config, 0.0, 3, 1, [&](size_t done, size_t total) {
        EXPECT_EQ(total, 3u);
        seen.push_back(done);
      });
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const PermutationResult b = permutation_test(data, config, 0.0, 3, 0);
  EXPECT_EQ(a.null_bics, b.null_bics);
  EXPECT_EQ(seen, (std::vector<size_t>{1, 2, 3}));
}

TEST(Permutation, AStopEndsTheTestAndSaysSo) {
  const Dataset data = quadratic(12);
  size_t runs = 0;
  bool stop_now = false;
  const NullRun count_runs = [&](Dataset) { return static_cast<double>(++runs); };
  const PermutationStop stop = [&] { return stop_now; };
  // Asked after a progress call: the nulls so far stay.
  PermutationResult r = run_permutations(
      data, 1, 1.5, 5, count_runs, [&](size_t done, size_t) { stop_now = done == 2; }, stop);
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.null_bics, (std::vector<double>{1.0, 2.0}));
  // Raised during a null: that null does not count.
  runs = 0;
  stop_now = false;
  r = run_permutations(
      data, 1, 1.5, 5,
      [&](Dataset d) {
        stop_now = runs == 2;
        return count_runs(std::move(d));
      },
      {}, stop);
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.null_bics, (std::vector<double>{1.0, 2.0}));
  EXPECT_FALSE(run_permutations(data, 1, 1.5, 3, count_runs, {}, [] { return false; }).stopped);
}

TEST(Permutation, RefinedStopCutsTheRunningNullAndOtherwiseChangesNothing) {
  const Dataset data = quadratic(40);
  RefinedConfig config;
  config.population = 40;
  config.generations = 4;
  config.seed = 5;
  const PermutationResult plain = refined_permutation_test(data, config, 0.0, 2);
  EXPECT_FALSE(plain.stopped);
  EXPECT_EQ(refined_permutation_test(data, config, 0.0, 2, {}, [] { return false; }).null_bics,
            plain.null_bics);
  // A stop asked after the first generation of null 1 ends it and the test.
  size_t asked = 0;
  const PermutationResult cut = refined_permutation_test(data, config, 0.0, 2, {}, [&] {
    ++asked;
    return true;
  });
  EXPECT_TRUE(cut.stopped);
  EXPECT_TRUE(cut.null_bics.empty());
  EXPECT_EQ(asked, 2u);
}

TEST(Permutation, LineGivesTheValueAndItsFraction) {
  PermutationResult r;
  r.null_bics.assign(99, 0.0);
  r.at_or_below = 0;
  r.p_value = 0.01;
  EXPECT_EQ(permutation_line(r),
            "p-value : 0.0100 = 1/100 from 99 permutations of the target (0 null BICs at or "
            "below the real one)");
}

}  // namespace
}  // namespace quorvex::cli
