#include "dataset/dataset.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace quorvex {
namespace {

// Rows 0..n-1 with feature x = row index and target = 10 * index.
Dataset indexed(size_t n) {
  Dataset ds("y");
  ds.add_feature("x");
  for (size_t i = 0; i < n; ++i) {
    const double v = static_cast<double>(i);
    ds.push_row(&v, 10.0 * v);
  }
  return ds;
}

std::vector<double> xs(const Dataset& ds) {
  std::vector<double> out;
  for (size_t i = 0; i < ds.n_rows(); ++i) out.push_back(ds.row(i).value("x"));
  return out;
}

TEST(Dataset, RowsAndFeaturesStartEmpty) {
  Dataset ds("");
  EXPECT_EQ(ds.n_rows(), 0u);
  EXPECT_TRUE(ds.features().empty());
  EXPECT_EQ(ds.target_name(), "");
}

TEST(Dataset, NoFeaturesStillHoldsTargets) {
  Dataset ds("t");
  ds.push_row(nullptr, 3.5);
  ds.push_row(nullptr, -1.0);
  ASSERT_EQ(ds.n_rows(), 2u);
  EXPECT_EQ(ds.row(1).target(), -1.0);
  EXPECT_EQ(ds.row(0).value("anything"), 0.0);
}

TEST(Dataset, DuplicateNameKeepsLaterValueAndBothEntries) {
  Dataset ds("y");
  ds.add_feature("x");
  ds.add_feature("x");
  const double v[] = {1.5, 2.5};
  ds.push_row(v, 0.0);
  ASSERT_EQ(ds.features().size(), 2u);
  EXPECT_EQ(ds.features()[1], "x");
  EXPECT_EQ(ds.n_columns(), 1u);
  EXPECT_EQ(ds.row(0).value("x"), 2.5);
}

TEST(Dataset, DuplicateAfterOtherNamesStillLaterWins) {
  Dataset ds("y");
  ds.add_feature("a");
  ds.add_feature("b");
  ds.add_feature("a");
  const double v[] = {1.0, 2.0, 3.0};
  ds.push_row(v, 0.0);
  EXPECT_EQ(ds.row(0).value("a"), 3.0);
  EXPECT_EQ(ds.row(0).value("b"), 2.0);
  EXPECT_EQ(ds.column_of_feature(0), ds.column_of_feature(2));
}

TEST(Dataset, FeatureAddedAfterRowsReadsZeroForEarlierRows) {
  Dataset ds("y");
  ds.add_feature("a");
  const double first[] = {1.0};
  ds.push_row(first, 0.0);
  ds.push_row(first, 0.0);
  ds.add_feature("b");
  const double later[] = {4.0, 5.0};
  ds.push_row(later, 0.0);
  EXPECT_EQ(ds.row(0).value("b"), 0.0);
  EXPECT_EQ(ds.row(1).value("b"), 0.0);
  EXPECT_EQ(ds.row(2).value("b"), 5.0);
  EXPECT_EQ(ds.row(2).value("a"), 4.0);
}

TEST(Dataset, EmptyNameIsAnOrdinaryFeature) {
  Dataset ds("y");
  ds.add_feature("");
  const double v = 7.0;
  ds.push_row(&v, 1.0);
  EXPECT_EQ(ds.row(0).value(""), 7.0);
  EXPECT_EQ(ds.row(0).value("x"), 0.0);
}

TEST(Dataset, ValuesAreStoredUnchecked) {
  Dataset ds("y");
  ds.add_feature("x");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  ds.push_row(&nan, inf);
  EXPECT_TRUE(std::isnan(ds.row(0).value("x")));
  EXPECT_EQ(ds.row(0).target(), inf);
}

TEST(Dataset, CopiesShareNothing) {
  Dataset src = indexed(3);
  Dataset copy = src;
  const double v = 99.0;
  src.push_row(&v, 1.0);
  src.add_feature("z");
  EXPECT_EQ(copy.n_rows(), 3u);
  EXPECT_EQ(copy.features().size(), 1u);
  EXPECT_EQ(copy.find_column("z"), Dataset::npos);
}

TEST(Split, TenRowsSeedZero) {
  auto [train, test] = indexed(10).split(0.2, 0);
  EXPECT_EQ(xs(train), (std::vector<double>{3, 0, 1, 7, 6, 8, 2, 5}));
  EXPECT_EQ(xs(test), (std::vector<double>{9, 4}));
  // Each row keeps its own target.
  for (size_t i = 0; i < train.n_rows(); ++i)
    EXPECT_EQ(train.row(i).target(), 10.0 * train.row(i).value("x"));
  EXPECT_EQ(train.features(), std::vector<std::string>{"x"});
  EXPECT_EQ(test.target_name(), "y");
}

TEST(Split, TrainingCountFollowsDoubleArithmetic) {
  EXPECT_EQ(indexed(7).split(0.2, 3).first.n_rows(), 5u);   // 5.6000000000000005
  auto [train, test] = indexed(10).split(0.9, 3);           // 0.9999999999999998
  EXPECT_EQ(train.n_rows(), 0u);
  EXPECT_EQ(test.n_rows(), 10u);
}

TEST(Split, DegenerateSizesAndFractions) {
  auto [train1, test1] = indexed(1).split(0.2, 0);
  EXPECT_EQ(train1.n_rows(), 0u);
  EXPECT_EQ(test1.n_rows(), 1u);

  auto [train0, test0] = indexed(0).split(0.2, 0);
  EXPECT_EQ(train0.n_rows() + test0.n_rows(), 0u);
  EXPECT_EQ(train0.features().size(), 1u);

  auto [all, none] = indexed(6).split(-1.0, 0);
  EXPECT_EQ(all.n_rows(), 6u);
  EXPECT_EQ(none.n_rows(), 0u);

  auto [nan_train, nan_test] = indexed(6).split(std::nan(""), 0);
  EXPECT_EQ(nan_train.n_rows(), 0u);
  EXPECT_EQ(nan_test.n_rows(), 6u);
}

TEST(Split, TrainCountSaturates) {
  EXPECT_EQ(train_count(std::nan(""), 10), 0u);
  EXPECT_EQ(train_count(2.0, 10), 0u);
  EXPECT_EQ(train_count(-1.0, 10), 20u);
  EXPECT_EQ(train_count(-std::numeric_limits<double>::infinity(), 10), SIZE_MAX);
  EXPECT_EQ(train_count(-1e300, 10), SIZE_MAX);
  EXPECT_EQ(train_count(std::numeric_limits<double>::infinity(), 10), 0u);
}

TEST(ShuffledTarget, PermutesTargetsOnly) {
  Dataset ds("y");
  ds.add_feature("x");
  for (int i = 1; i <= 5; ++i) {
    const double v = -i;
    ds.push_row(&v, i);
  }
  auto targets = [](const Dataset& d) {
    std::vector<double> t;
    for (size_t i = 0; i < d.n_rows(); ++i) t.push_back(d.row(i).target());
    return t;
  };
  const Dataset one = ds.shuffled_target(1);
  EXPECT_EQ(targets(one), (std::vector<double>{3, 5, 1, 4, 2}));
  EXPECT_EQ(xs(one), (std::vector<double>{-1, -2, -3, -4, -5}));
  EXPECT_EQ(targets(ds.shuffled_target(0)), (std::vector<double>{1, 4, 2, 3, 5}));
  EXPECT_EQ(targets(ds), (std::vector<double>{1, 2, 3, 4, 5}));
}

TEST(ShuffledTarget, TinyDatasetsUnchanged) {
  EXPECT_EQ(indexed(1).shuffled_target(4).row(0).target(), 0.0);
  EXPECT_EQ(indexed(0).shuffled_target(4).n_rows(), 0u);
}

}  // namespace
}  // namespace quorvex
