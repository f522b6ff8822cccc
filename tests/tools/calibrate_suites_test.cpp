// The calibration data: the laws as written for the search agree with their
// plain definitions, the samplers draw from the intended distributions, and
// the report's intervals are right.

#include "calibrate_suites.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "calibrate.h"

namespace quorvex::calibrate {
namespace {

TEST(CalibrateReport, WilsonIntervalsMatchTheirTextbookValues) {
  const auto [lo0, hi0] = wilson(0, 10);
  EXPECT_NEAR(lo0, 0.0, 1e-12);
  EXPECT_NEAR(hi0, 0.27753, 1e-5);
  const auto [lo5, hi5] = wilson(5, 10);
  EXPECT_NEAR(lo5, 0.23659, 1e-5);
  EXPECT_NEAR(hi5, 0.76341, 1e-5);
  const auto [lo10, hi10] = wilson(10, 10);
  EXPECT_NEAR(lo10, 1.0 - hi0, 1e-12);
  EXPECT_NEAR(hi10, 1.0, 1e-12);
  EXPECT_EQ(wilson(0, 0), std::make_pair(0.0, 1.0));
}

TEST(CalibrateSuites, TreesAgreeWithTheLawsOnTheirRanges) {
  std::vector<Problem> problems = nguyen_problems();
  ASSERT_EQ(problems.size(), 12u);
  const std::vector<Problem> feynman = feynman_problems();
  ASSERT_GE(feynman.size(), 10u);
  problems.insert(problems.end(), feynman.begin(), feynman.end());

  size_t with_tree = 0;
  for (const Problem& p : problems) {
    Sampler sampler(42);
    const Dataset data = problem_dataset(p, sampler, 0.0);
    ASSERT_EQ(data.n_rows(), p.rows) << p.name;
    ASSERT_EQ(data.features().size(), p.variables.size()) << p.name;
    const std::optional<Expr> tree = p.tree();
    with_tree += tree.has_value();
    std::vector<double> args(p.variables.size());
    for (size_t i = 0; i < data.n_rows(); ++i) {
      for (size_t j = 0; j < args.size(); ++j) {
        args[j] = data.value(i, p.variables[j].name);
        EXPECT_GE(args[j], p.variables[j].lo) << p.name;
        EXPECT_LE(args[j], p.variables[j].hi) << p.name;
      }
      const double y = p.law(args.data());
      EXPECT_EQ(data.targets()[i], y) << p.name;  // noise 0: the law itself
      if (tree) {
        EXPECT_NEAR(tree->evaluate(data.row(i)), y, 1e-12 * (1.0 + std::fabs(y))) << p.name;
      }
    }
  }
  // Only the laws with sin or cos (Nguyen-5, 6, 9, 10) are out of reach.
  EXPECT_EQ(with_tree, problems.size() - 4);
}

TEST(CalibrateSuites, ExactLawTargetsAreTheTreeAndNoiseLeavesTheFeatures) {
  const Problem p = feynman_problems()[0];
  Sampler a(7), b(7), c(7);
  const Dataset exact = problem_dataset(p, a, 0.0, true);
  const Dataset noisy = problem_dataset(p, b, 0.1);
  const Dataset clean = problem_dataset(p, c, 0.0);
  const Expr tree = *p.tree();
  double ss = 0.0, var = 0.0, mean = 0.0;
  for (size_t i = 0; i < clean.n_rows(); ++i) mean += clean.targets()[i] / 100.0;
  for (size_t i = 0; i < exact.n_rows(); ++i) {
    EXPECT_EQ(exact.targets()[i], tree.evaluate(exact.row(i)));
    EXPECT_EQ(noisy.value(i, "theta"), clean.value(i, "theta"));
    const double e = noisy.targets()[i] - clean.targets()[i];
    ss += e * e;
    var += (clean.targets()[i] - mean) * (clean.targets()[i] - mean);
  }
  // 10% of the targets' standard deviation, loosely (100 draws).
  const double ratio = std::sqrt(ss / var);
  EXPECT_GT(ratio, 0.07);
  EXPECT_LT(ratio, 0.13);
}

TEST(CalibrateSuites, TargetDistributionsHaveTheirTails) {
  Sampler s(1);
  const size_t n = 200000;
  double sum = 0.0, sum2 = 0.0;
  size_t normal_tail = 0, t2_tail = 0, cauchy_tail = 0;
  for (size_t i = 0; i < n; ++i) {
    const double z = s.normal();
    sum += z;
    sum2 += z * z;
    normal_tail += std::fabs(z) > 4.0;
    t2_tail += std::fabs(s.student_t2()) > 4.0;
    cauchy_tail += std::fabs(s.cauchy()) > 4.0;
  }
  EXPECT_NEAR(sum / n, 0.0, 0.01);
  EXPECT_NEAR(sum2 / n, 1.0, 0.01);
  // P(|Z| > 4) = 6.3e-5; P(|T2| > 4) = 1 - 4/sqrt(18) = 0.0572; P(|C| > 4) = 0.1560.
  EXPECT_LT(normal_tail, 40u);
  EXPECT_NEAR(static_cast<double>(t2_tail) / n, 0.0572, 0.003);
  EXPECT_NEAR(static_cast<double>(cauchy_tail) / n, 0.1560, 0.004);
}

TEST(CalibrateSuites, NoiseDataHaveSignedAndPositiveFeatures) {
  Sampler s(3);
  const Dataset d = noise_dataset(s, 300, 4, TargetLaw::Normal);
  ASSERT_EQ(d.features(), (std::vector<std::string>{"x1", "x2", "x3", "x4"}));
  ASSERT_EQ(d.n_rows(), 300u);
  bool x1_negative = false, x2_negative = false;
  for (size_t i = 0; i < d.n_rows(); ++i) {
    x1_negative = x1_negative || d.value(i, "x1") < 0.0;
    x2_negative = x2_negative || d.value(i, "x2") < 0.5;
  }
  EXPECT_TRUE(x1_negative);
  EXPECT_FALSE(x2_negative);
}

}  // namespace
}  // namespace quorvex::calibrate
