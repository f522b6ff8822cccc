#include "optimizer/discover.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <thread>

#include "assess/assess.h"
#include "optimizer/scoring.h"

namespace quorvex {
namespace {

Dataset quadratic(size_t n) {
  Dataset ds("y");
  ds.add_feature("x");
  ds.add_feature("z");
  for (size_t i = 0; i < n; ++i) {
    const double x = -2.0 + 4.0 * static_cast<double>(i) / static_cast<double>(n);
    const double v[2] = {x, std::sin(3.0 * x)};
    ds.push_row(v, 3.0 * x * x + 0.5 + 0.01 * std::cos(17.0 * x));
  }
  return ds;
}

DiscoverConfig small_config(uint64_t seed) {
  DiscoverConfig c;
  c.population = 40;
  c.generations = 8;
  c.max_depth = 4;
  c.seed = seed;
  return c;
}

std::string without_wall(DiscoverReport r) {
  r.wall_clock_ms = 0;
  return r.to_json();
}

TEST(Discover, SameResultForEveryThreadCountAndRun) {
  Discoverer d(quadratic(120), small_config(9));
  d.set_max_threads(1);
  const std::string one = without_wall(d.run().report);
  d.set_max_threads(0);
  EXPECT_EQ(without_wall(d.run().report), one);
  d.set_max_threads(3);
  EXPECT_EQ(without_wall(d.run().report), one);
  EXPECT_EQ(without_wall(discover(quadratic(120), small_config(9)).report), one);
}

TEST(Discover, ConcurrentDiscoveriesMatchSequentialOnes) {
  std::vector<std::string> sequential;
  for (uint64_t s = 0; s < 4; ++s)
    sequential.push_back(without_wall(discover(quadratic(80), small_config(s)).report));
  std::vector<std::string> parallel(4);
  std::vector<std::thread> hosts;
  for (uint64_t s = 0; s < 4; ++s)
    hosts.emplace_back(
        [&, s] { parallel[s] = without_wall(discover(quadratic(80), small_config(s)).report); });
  for (auto& h : hosts) h.join();
  EXPECT_EQ(parallel, sequential);
}

TEST(Discover, PopulationZeroIsRejected) {
  DiscoverConfig c = small_config(1);
  c.population = 0;
  EXPECT_THROW(discover(quadratic(10), c), std::invalid_argument);
}

TEST(Discover, CArgumentsOutOfRangeMeanTheDefaults) {
  const DiscoverConfig defaults;
  const DiscoverConfig zero = DiscoverConfig::from_c_arguments(0, 0, 0, 7, 0.0);
  EXPECT_EQ(zero.generations, 40u);
  EXPECT_EQ(zero.population, 200u);
  EXPECT_EQ(zero.max_depth, 4u);
  EXPECT_EQ(zero.seed, 7u);
  EXPECT_EQ(zero.n_shuffles, 30u);
  EXPECT_FALSE(zero.verbose);
  EXPECT_TRUE(zero.use_niches && zero.restart_on_stagnation);
  for (double f : {0.0, 1.0, -0.5, 1.5, std::nan(""), HUGE_VAL, -HUGE_VAL})
    EXPECT_EQ(DiscoverConfig::from_c_arguments(1, 1, 1, 0, f).test_fraction, defaults.test_fraction)
        << f;
  const DiscoverConfig given = DiscoverConfig::from_c_arguments(3, 5, 2, 1, 0x1p-1074);
  EXPECT_EQ(given.generations, 3u);
  EXPECT_EQ(given.population, 5u);
  EXPECT_EQ(given.max_depth, 2u);
  EXPECT_EQ(given.test_fraction, 0x1p-1074);
}

TEST(Discover, ReportFieldsAreConsistent) {
  const DiscoverReport r = discover(quadratic(100), small_config(3)).report;
  EXPECT_EQ(r.n_train, 80u);
  EXPECT_EQ(r.n_test, 20u);
  EXPECT_EQ(r.delta_bic_const, r.bic - r.baselines.bic_const);
  EXPECT_EQ(r.delta_bic_linear, r.bic - r.baselines.bic_linear);
  EXPECT_EQ(r.z_vs_shuffled,
            (r.bic - r.baselines.bic_shuffled_mean) / r.baselines.bic_shuffled_std);
  EXPECT_FALSE(r.formula.empty());
  EXPECT_FALSE(r.verdict_reason.empty());
}

TEST(Discover, ResultCarriesTheReportedTreeAndTheSearchSplit) {
  const Dataset data = quadratic(90);
  const DiscoverConfig config = small_config(5);
  const DiscoverResult r = discover(data, config);
  EXPECT_EQ(r.best.to_json(), r.report.expr_json);
  EXPECT_EQ(r.best.formula(), r.report.formula);
  EXPECT_EQ(candidate_score(r.best, r.train), r.report.bic);
  const auto [train, test] = data.split(config.test_fraction, config.seed);
  EXPECT_EQ(r.train.targets(), train.targets());
  EXPECT_EQ(r.test.targets(), test.targets());
  EXPECT_EQ(r.train.column(0), train.column(0));
  EXPECT_EQ(r.train.features(), data.features());
}

TEST(Discover, VerboseWritesOneLinePerGeneration) {
  DiscoverConfig c = small_config(4);
  c.generations = 3;
  c.verbose = true;
  ::testing::internal::CaptureStderr();
  discover(quadratic(30), c);
  const std::string err = ::testing::internal::GetCapturedStderr();
  // Three lines of 46 characters: "[quorvex] gen   1/3    best_BIC = " + 12.
  ASSERT_EQ(err.size(), 3u * 47u) << err;
  for (size_t i = 0; i < 3; ++i) {
    const std::string line = err.substr(47 * i, 47);
    std::string expected = "[quorvex] gen   0/3    best_BIC = ";
    expected[16] = static_cast<char>('1' + i);
    EXPECT_EQ(line.substr(0, 34), expected);
    EXPECT_EQ(line.back(), '\n');
  }

  c.generations = 0;
  ::testing::internal::CaptureStderr();
  discover(quadratic(30), c);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(Scoring, NeedsHalfTheRowsAndAtLeastTwo) {
  Dataset ds("y");
  ds.add_feature("x");
  // log(x) is finite only where x > 0.
  for (int i = 0; i < 10; ++i) {
    const double v = i < 5 ? 1.0 + i : -1.0;
    ds.push_row(&v, 0.5 * i);
  }
  const Expr lg = Expr::log(Expr::feature("x"));
  const double score = candidate_score(lg, ds);
  ASSERT_TRUE(std::isfinite(score));
  // 10 rows counted in n although only 5 are finite.
  double sse = 0.0;
  for (int i = 0; i < 5; ++i) {
    const double d = 0.5 * i - std::log(1.0 + i);
    sse += d * d;
  }
  EXPECT_DOUBLE_EQ(score, 10.0 * std::log(sse / 5.0) + 1.0 * std::log(10.0));
  EXPECT_DOUBLE_EQ(finite_row_mse(lg, ds), sse / 5.0);

  Dataset one("y");
  one.add_feature("x");
  const double v = 2.0;
  one.push_row(&v, 1.0);
  EXPECT_EQ(candidate_score(Expr::feature("x"), one), std::numeric_limits<double>::infinity());
  EXPECT_EQ(finite_row_mse(Expr::feature("x"), one), 1.0);
  EXPECT_TRUE(std::isnan(finite_row_mse(Expr::feature("x"), Dataset("y"))));
}

TEST(Scoring, ExactFitScoresInfinity) {
  Dataset ds("y");
  ds.add_feature("x");
  for (int i = 0; i < 6; ++i) {
    const double v = i;
    ds.push_row(&v, v);
  }
  EXPECT_EQ(candidate_score(Expr::feature("x"), ds), std::numeric_limits<double>::infinity());
  EXPECT_EQ(finite_row_mse(Expr::feature("x"), ds), 0.0);
}

}  // namespace
}  // namespace quorvex
