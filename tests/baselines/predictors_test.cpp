#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "baselines/baselines.h"

namespace quorvex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// One feature per name; rows[i] holds one value per name, then the target.
Dataset make(std::vector<std::string> names, const std::vector<std::vector<double>>& rows) {
  Dataset ds("y");
  for (auto& name : names) ds.add_feature(std::move(name));
  for (const auto& r : rows) ds.push_row(r.data(), r.back());
  return ds;
}

Dataset targets_only(const std::vector<double>& ys) {
  Dataset ds("y");
  for (double y : ys) ds.push_row(nullptr, y);
  return ds;
}

TEST(Bic, UnscorableErrorsGiveInfinity) {
  for (double mse : {0.0, -0.0, -1.0, std::nan(""), kInf, -kInf}) {
    EXPECT_EQ(bic(mse, 10, 3), kInf) << mse;
  }
  EXPECT_TRUE(std::isfinite(bic(std::numeric_limits<double>::denorm_min(), 10, 3)));
}

TEST(Bic, GaussianForm) {
  EXPECT_EQ(bic(1.0, 50, 4), 4.0 * std::log(50.0));
  EXPECT_EQ(bic(0.37, 1, 99), std::log(0.37));
  EXPECT_NEAR(bic(std::numbers::e, 100, 3), 113.8155, 1e-4);
  EXPECT_EQ(bic(2.0, 7, 0), 7.0 * std::log(2.0));
}

TEST(ConstPredictor, MeanAndPopulationError) {
  const auto [mean, mse] = const_predictor(targets_only({1, 2, 3, 4}));
  EXPECT_EQ(mean, 2.5);
  EXPECT_EQ(mse, 1.25);

  const auto [m1, e1] = const_predictor(targets_only({-7.5}));
  EXPECT_EQ(m1, -7.5);
  EXPECT_EQ(e1, 0.0);
}

TEST(ConstPredictor, NoRowsGivesNegativeZeros) {
  const auto [mean, mse] = const_predictor(targets_only({}));
  EXPECT_EQ(mean, 0.0);
  EXPECT_TRUE(std::signbit(mean));
  EXPECT_TRUE(std::signbit(mse));
  EXPECT_EQ(bic(mse, 0, 1), kInf);
}

TEST(ConstPredictor, InexactMeanLeavesTinyError) {
  const auto [mean, mse] = const_predictor(targets_only({0.1, 0.1, 0.1}));
  EXPECT_EQ(mean, 0.10000000000000002);
  EXPECT_GT(mse, 0.0);
  EXPECT_NEAR(mse, 1.9e-34, 0.1e-34);
}

TEST(LinearPredictor, NoRowsGivesZerosAndInfinity) {
  const auto [coef, mse] = linear_predictor(make({"a", "b", "a"}, {}));
  EXPECT_EQ(coef, std::vector<double>(4, 0.0));
  EXPECT_EQ(mse, kInf);
}

TEST(LinearPredictor, ExactLineIsPulledSlightlyOffByTheRidge) {
  const auto [coef, mse] = linear_predictor(make({"x"}, {{0, 2}, {1, 5}, {2, 8}, {3, 11}}));
  ASSERT_EQ(coef.size(), 2u);
  EXPECT_NEAR(coef[0], 2.0, 1e-7);
  EXPECT_NEAR(coef[1], 3.0, 1e-7);
  EXPECT_GT(mse, 0.0);
  EXPECT_LT(mse, 1e-13);
  EXPECT_NEAR(mse, 2e-15, 1.5e-15);
}

TEST(LinearPredictor, NoFeaturesFitsAShrunkMean) {
  const auto [coef, mse] = linear_predictor(targets_only({1, 2, 3, 4}));
  ASSERT_EQ(coef.size(), 1u);
  EXPECT_NEAR(coef[0], 2.499999975, 1e-12);
  EXPECT_LT(coef[0], 2.5);
  EXPECT_NEAR(mse, 1.25, 1e-12);
}

TEST(LinearPredictor, FeatureDuplicatingTheInterceptStillSolves) {
  const auto [coef, mse] = linear_predictor(make({"one"}, {{1.0, 5.0}, {1.0, 7.0}}));
  EXPECT_NEAR(coef[0], 3.0, 1e-6);
  EXPECT_NEAR(coef[1], 3.0, 1e-6);
  EXPECT_NEAR(mse, 1.0, 1e-6);
}

TEST(LinearPredictor, FeatureNoRowCarriesGetsZeroWeight) {
  Dataset ds = make({"x"}, {{0, 1}, {1, 3}, {2, 5.5}});
  ds.add_feature("ghost");
  const auto [coef, mse] = linear_predictor(ds);
  ASSERT_EQ(coef.size(), 3u);
  EXPECT_EQ(coef[2], 0.0);
  EXPECT_NEAR(mse, linear_predictor(make({"x"}, {{0, 1}, {1, 3}, {2, 5.5}})).second, 1e-9);
}

TEST(LinearPredictor, RowsWithoutALateFeatureReadZero) {
  Dataset late("y");
  late.add_feature("x");
  const double early[][2] = {{1, 2}, {2, 3.5}};
  for (const auto& r : early) late.push_row(r, r[1]);
  late.add_feature("z");
  const double later[][3] = {{3, 1, 6}, {4, -2, 4}, {5, 0.5, 9}};
  for (const auto& r : later) late.push_row(r, r[2]);

  const Dataset explicit_zeros =
      make({"x", "z"}, {{1, 0, 2}, {2, 0, 3.5}, {3, 1, 6}, {4, -2, 4}, {5, 0.5, 9}});
  const auto [c1, e1] = linear_predictor(late);
  const auto [c2, e2] = linear_predictor(explicit_zeros);
  EXPECT_EQ(c1, c2);
  EXPECT_EQ(e1, e2);
}

TEST(LinearPredictor, DuplicateNameSplitsTheWeight) {
  const std::vector<std::vector<double>> rows = {{0, 1}, {1, 2.9}, {2, 5.2}, {3, 6.8}, {4, 9.1}};
  const auto [single, e1] = linear_predictor(make({"x"}, rows));
  std::vector<std::vector<double>> twice;
  for (const auto& r : rows) twice.push_back({r[0], r[0], r[1]});
  const auto [dup, e2] = linear_predictor(make({"x", "x"}, twice));
  ASSERT_EQ(dup.size(), 3u);
  EXPECT_NEAR(dup[1], single[1] / 2, 1e-6);
  EXPECT_NEAR(dup[2], single[1] / 2, 1e-6);
  EXPECT_NEAR(e2, e1, 1e-9);
}

TEST(LinearPredictor, NonFiniteValuesPropagate) {
  const double nan = std::nan("");
  EXPECT_TRUE(std::isnan(linear_predictor(make({"x"}, {{0, 1}, {nan, 2}, {2, 3}})).second));
  EXPECT_TRUE(std::isnan(linear_predictor(make({"x"}, {{0, 1}, {1, kInf}, {2, 3}})).second));
}

}  // namespace
}  // namespace quorvex
