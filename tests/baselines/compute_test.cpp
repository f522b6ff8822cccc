#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "../golden/golden_case.h"
#include "baselines/baselines.h"
#include "optimizer/discover.h"
#include "rng/lcg.h"
#include "text/numbers.h"

namespace quorvex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

void expect_same_bits(const BaselinesReport& got, const BaselinesReport& want) {
  EXPECT_EQ(bits(got.bic_const), bits(want.bic_const)) << got.bic_const << " " << want.bic_const;
  EXPECT_EQ(bits(got.bic_linear), bits(want.bic_linear))
      << got.bic_linear << " " << want.bic_linear;
  EXPECT_EQ(bits(got.bic_shuffled_mean), bits(want.bic_shuffled_mean))
      << got.bic_shuffled_mean << " " << want.bic_shuffled_mean;
  EXPECT_EQ(bits(got.bic_shuffled_std), bits(want.bic_shuffled_std))
      << got.bic_shuffled_std << " " << want.bic_shuffled_std;
}

// n rows of p features drawn from a seeded stream; the target is a noisy
// linear function of the features.
Dataset random_dataset(size_t n, size_t p, uint64_t seed) {
  Lcg rng(seed);
  Dataset ds("y");
  for (size_t j = 0; j < p; ++j) {
    std::string name = "x";
    name += std::to_string(j);
    ds.add_feature(std::move(name));
  }
  std::vector<double> row(p);
  for (size_t i = 0; i < n; ++i) {
    double y = rng.next_f64();
    for (size_t j = 0; j < p; ++j) {
      row[j] = 4.0 * rng.next_f64() - 2.0;
      y += static_cast<double>(j + 1) * row[j];
    }
    ds.push_row(row.data(), y);
  }
  return ds;
}

Dataset targets_only(const std::vector<double>& ys) {
  Dataset ds("y");
  for (double y : ys) ds.push_row(nullptr, y);
  return ds;
}

void expect_matches_reference(const Dataset& ds, size_t n_shuffles = 30, uint64_t seed = 5) {
  expect_same_bits(compute(ds, n_shuffles, seed), compute_reference(ds, n_shuffles, seed));
}

TEST(Compute, SharedFitsMatchOneFitAtATime) {
  expect_matches_reference(random_dataset(200, 5, 1));
  expect_matches_reference(random_dataset(129, 3, 2));  // a block boundary plus one
  expect_matches_reference(random_dataset(1000, 12, 3), 7, 99);
}

TEST(Compute, MatchesOnDegenerateShapes) {
  expect_matches_reference(random_dataset(0, 3, 4));
  expect_matches_reference(random_dataset(1, 3, 5));
  expect_matches_reference(random_dataset(2, 3, 6));
  expect_matches_reference(random_dataset(4, 9, 7));  // fewer rows than coefficients
  expect_matches_reference(targets_only({}));
  expect_matches_reference(targets_only({1.5}));
  expect_matches_reference(targets_only({-1.0, 3.5, 0.25, 8.0, 2.0}));
}

TEST(Compute, MatchesWithDuplicateAndCollinearFeatures) {
  Dataset ds("y");
  for (const char* name : {"x", "c", "x", "twice", "zero"}) ds.add_feature(name);
  Lcg rng(11);
  for (int i = 0; i < 60; ++i) {
    const double x = rng.next_f64();
    // Values for x at positions 0 and 2: the later one wins.
    const double row[] = {-9.0, 1.0, x, 2.0 * x, 0.0};
    ds.push_row(row, 3.0 * x + rng.next_f64());
  }
  expect_matches_reference(ds);
}

TEST(Compute, MatchesWithNonFiniteValues) {
  Dataset ds = random_dataset(40, 2, 12);
  const double with_nan[] = {kNaN, 0.5};
  ds.push_row(with_nan, 1.0);
  expect_matches_reference(ds);
  const double with_inf[] = {0.25, kInf};
  ds.push_row(with_inf, -kInf);
  expect_matches_reference(ds);

  Dataset nan_target = random_dataset(40, 2, 13);
  const double row[] = {0.5, 0.5};
  nan_target.push_row(row, kNaN);
  expect_matches_reference(nan_target);
}

TEST(Compute, MatchesWithFeaturesAddedAfterRows) {
  Dataset ds = random_dataset(30, 2, 14);
  ds.add_feature("late");
  ds.add_feature("x0");
  const double row[] = {0.1, 0.2, 0.3, 0.4};
  for (int i = 0; i < 10; ++i) ds.push_row(row, static_cast<double>(i));
  expect_matches_reference(ds);
}

TEST(Compute, MatchesWhenTheNullsAreFittedInGroups) {
  // Enough rows that the shuffled targets do not all fit in one group.
  expect_matches_reference(random_dataset(300007, 2, 15), 30, 16);
}

TEST(Compute, NoNullsGiveNegativeZeroStatistics) {
  const BaselinesReport r = compute(random_dataset(20, 2, 17), 0, 3);
  EXPECT_EQ(bits(r.bic_shuffled_mean), bits(-0.0));
  EXPECT_EQ(bits(r.bic_shuffled_std), bits(-0.0));
}

TEST(Compute, OneNullHasZeroDeviation) {
  const Dataset ds = random_dataset(20, 2, 18);
  const BaselinesReport r = compute(ds, 1, 41);
  const double null_bic = bic(linear_predictor(ds.shuffled_target(42)).second, 20, 3);
  EXPECT_EQ(r.bic_shuffled_mean, null_bic);
  EXPECT_EQ(bits(r.bic_shuffled_std), bits(0.0));
}

TEST(Compute, SeedWrapsForTheFirstNull) {
  const Dataset ds = random_dataset(25, 1, 19);
  const BaselinesReport r = compute(ds, 1, UINT64_MAX);
  EXPECT_EQ(r.bic_shuffled_mean, bic(linear_predictor(ds.shuffled_target(0)).second, 25, 2));
}

TEST(Compute, SeedMovesOnlyTheNulls) {
  const Dataset ds = random_dataset(50, 3, 20);
  const BaselinesReport a = compute(ds, 30, 1);
  expect_same_bits(compute(ds, 30, 1), a);
  const BaselinesReport b = compute(ds, 30, 2);
  EXPECT_EQ(a.bic_const, b.bic_const);
  EXPECT_EQ(a.bic_linear, b.bic_linear);
  EXPECT_NE(a.bic_shuffled_mean, b.bic_shuffled_mean);
  EXPECT_NE(a.bic_shuffled_std, b.bic_shuffled_std);
}

TEST(Compute, TwoRowsConstantBaseline) {
  const BaselinesReport r = compute(targets_only({1.0, 4.0}), 30, 0);
  const double mse = 9.0 / 4.0;
  EXPECT_DOUBLE_EQ(r.bic_const, 2.0 * std::log(mse) + std::log(2.0));
}

TEST(Compute, EqualTargets) {
  EXPECT_EQ(compute(targets_only({1.0, 1.0, 1.0}), 30, 0).bic_const, kInf);
  EXPECT_NEAR(compute(targets_only({0.1, 0.1, 0.1}), 30, 0).bic_const, -231.8, 0.05);
}

TEST(Compute, NoRows) {
  Dataset ds("y");
  ds.add_feature("x");
  const BaselinesReport r = compute(ds, 30, 0);
  EXPECT_EQ(r.bic_const, kInf);
  EXPECT_EQ(r.bic_linear, kInf);
  EXPECT_EQ(r.bic_shuffled_mean, kInf);
  EXPECT_TRUE(std::isnan(r.bic_shuffled_std));
}

// Line `line` (from 0) of the pretty text: the number after "BIC = ", and the
// one after " ± " when asked.
std::string pretty_field(const std::string& pretty, int line, bool after_pm) {
  size_t pos = 0;
  for (int i = 0; i < line; ++i) pos = pretty.find('\n', pos) + 1;
  const std::string text = pretty.substr(pos, pretty.find('\n', pos) - pos);
  const std::string mark = after_pm ? " ± " : "BIC = ";
  const size_t start = text.find(mark) + mark.size();
  return text.substr(start, text.find(' ', start) - start);
}

// Each recorded discovery: rebuild its dataset, split it as the discovery did
// and compare the baselines with the recorded report.
TEST(Compute, ReproducesRecordedDiscoveries) {
  const auto files = golden::cases(QUORVEX_GOLDEN_DIR "/discover");
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    const nlohmann::json g = golden::load(path);
    Dataset ds(g["target"].get<std::string>());
    golden::replay_ops(
        g, [&](const std::string& name) { ds.add_feature(name); },
        [&](const double* values, double target) { ds.push_row(values, target); });
    const golden::Args a = golden::args(g);
    const DiscoverConfig config = DiscoverConfig::from_c_arguments(
        a.generations, a.population, a.max_depth, a.seed, a.test_fraction);
    const uint64_t seed = config.seed;
    const Dataset train = ds.split(config.test_fraction, seed).first;

    const nlohmann::json want = nlohmann::json::parse(g["expected_json"].get<std::string>());
    ASSERT_EQ(train.n_rows(), want["n_train"].get<size_t>());
    const BaselinesReport got = compute(train, 30, seed);
    const std::string pretty = g["expected_pretty"].get<std::string>();
    const struct {
      const char* key;
      double value;
      int line;
      bool after_pm;
    } fields[] = {{"bic_const", got.bic_const, 6, false},
                  {"bic_linear", got.bic_linear, 7, false},
                  {"bic_shuffled_mean", got.bic_shuffled_mean, 8, false},
                  {"bic_shuffled_std", got.bic_shuffled_std, 8, true}};
    for (const auto& f : fields) {
      SCOPED_TRACE(f.key);
      const nlohmann::json& w = want["baselines"][f.key];
      if (w.is_null()) {
        EXPECT_FALSE(std::isfinite(f.value));
      } else {
        EXPECT_EQ(bits(f.value), bits(w.get<double>())) << f.value << " vs " << w.get<double>();
      }
      EXPECT_EQ(format_fixed(f.value, 2), pretty_field(pretty, f.line, f.after_pm));
    }
  }
  EXPECT_GT(files.size(), 20u);
}

}  // namespace
}  // namespace quorvex
