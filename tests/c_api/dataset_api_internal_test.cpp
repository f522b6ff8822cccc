// Looks behind the handle: what a failed or successful call did to the data.
#include <gtest/gtest.h>

#include "c_api/handles.h"
#include "quorvex.h"

namespace {

TEST(DatasetApiInternal, FailedCallsChangeNothing) {
  CDataset* ds = quorvex_dataset_new("target \xCE\x94");
  ASSERT_NE(ds, nullptr);
  EXPECT_EQ(ds->dataset->target_name(), "target \xCE\x94");
  ASSERT_EQ(quorvex_dataset_add_feature(ds, "x"), 0);
  EXPECT_EQ(quorvex_dataset_add_feature(ds, "\xFF"), -1);
  EXPECT_EQ(quorvex_dataset_add_feature(ds, nullptr), -1);
  EXPECT_EQ(quorvex_dataset_push_row(ds, nullptr, 1.0), -1);
  EXPECT_EQ(ds->dataset->features(), std::vector<std::string>{"x"});
  EXPECT_EQ(ds->dataset->n_rows(), 0u);
  quorvex_dataset_free(ds);
}

TEST(DatasetApiInternal, PushReadsExactlyTheFeatureCount) {
  CDataset* ds = quorvex_dataset_new("y");
  quorvex_dataset_add_feature(ds, "x");
  quorvex_dataset_add_feature(ds, "x");
  const double v[2] = {1.5, 2.5};
  ASSERT_EQ(quorvex_dataset_push_row(ds, v, 9.0), 0);
  EXPECT_EQ(ds->dataset->features().size(), 2u);
  EXPECT_EQ(ds->dataset->row(0).value("x"), 2.5);
  EXPECT_EQ(ds->dataset->row(0).target(), 9.0);
  quorvex_dataset_add_feature(ds, "late");
  const double w[3] = {1.0, 2.0, 3.0};
  quorvex_dataset_push_row(ds, w, 0.0);
  EXPECT_EQ(ds->dataset->row(0).value("late"), 0.0);
  EXPECT_EQ(ds->dataset->row(1).value("late"), 3.0);
  quorvex_dataset_free(ds);
}

}  // namespace
