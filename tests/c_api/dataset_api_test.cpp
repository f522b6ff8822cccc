// The dataset family as a host sees it: through the public header and the
// shared library.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "quorvex.h"

extern "C" int quorvex_c_host_row_count(void);

namespace {

TEST(DatasetApi, NullArgumentsGiveFailureValues) {
  EXPECT_EQ(quorvex_dataset_new(nullptr), nullptr);
  const double v[1] = {1.0};
  EXPECT_EQ(quorvex_dataset_add_feature(nullptr, "x"), -1);
  EXPECT_EQ(quorvex_dataset_push_row(nullptr, v, 1.0), -1);
  EXPECT_EQ(quorvex_dataset_n_rows(nullptr), 0u);
  quorvex_dataset_free(nullptr);

  CDataset* ds = quorvex_dataset_new("y");
  ASSERT_NE(ds, nullptr);
  EXPECT_EQ(quorvex_dataset_add_feature(ds, nullptr), -1);
  EXPECT_EQ(quorvex_dataset_push_row(ds, nullptr, 1.0), -1);
  EXPECT_EQ(quorvex_dataset_n_rows(ds), 0u);
  quorvex_dataset_free(ds);
}

TEST(DatasetApi, EmptyStringsAreValid) {
  CDataset* ds = quorvex_dataset_new("");
  ASSERT_NE(ds, nullptr);
  EXPECT_EQ(quorvex_dataset_add_feature(ds, ""), 0);
  quorvex_dataset_free(ds);
}

TEST(DatasetApi, InvalidUtf8IsRejected) {
  const char* bad[] = {
      "\xFF",              // never valid
      "ab\xC0\xAF",        // overlong '/'
      "\xE0\x80\xAF",      // overlong, three bytes
      "\xF0\x80\x80\xAF",  // overlong, four bytes
      "\xED\xA0\x80",      // surrogate U+D800
      "\xED\xBF\xBF",      // surrogate U+DFFF
      "\xF4\x90\x80\x80",  // U+110000
      "\xF5\x80\x80\x80",  // lead byte beyond the range
      "\x80",              // lone continuation
      "\xE2\x82",          // truncated
      "x\xC3",             // truncated at the end
  };
  CDataset* ds = quorvex_dataset_new("y");
  for (const char* s : bad) {
    EXPECT_EQ(quorvex_dataset_new(s), nullptr) << s;
    EXPECT_EQ(quorvex_dataset_add_feature(ds, s), -1) << s;
  }
  const char* good[] = {"\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                        "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xCE\x94" "BIC", "\x7F"};
  for (const char* s : good) {
    CDataset* other = quorvex_dataset_new(s);
    EXPECT_NE(other, nullptr) << s;
    quorvex_dataset_free(other);
    EXPECT_EQ(quorvex_dataset_add_feature(ds, s), 0) << s;
  }
  quorvex_dataset_free(ds);
}

TEST(DatasetApi, RowsAreCounted) {
  CDataset* ds = quorvex_dataset_new("y");
  const double v[3] = {1.0, std::nan(""), -std::numeric_limits<double>::infinity()};
  // No features yet: any non-NULL array works, nothing is read from it.
  EXPECT_EQ(quorvex_dataset_push_row(ds, v, 1.0), 0);
  EXPECT_EQ(quorvex_dataset_add_feature(ds, "a"), 0);
  EXPECT_EQ(quorvex_dataset_add_feature(ds, "a"), 0);
  EXPECT_EQ(quorvex_dataset_add_feature(ds, "b"), 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(quorvex_dataset_push_row(ds, v, std::nan("")), 0);
  EXPECT_EQ(quorvex_dataset_n_rows(ds), 5u);
  quorvex_dataset_free(ds);
}

TEST(DatasetApi, HeaderWorksFromC) { EXPECT_EQ(quorvex_c_host_row_count(), 2); }

}  // namespace
