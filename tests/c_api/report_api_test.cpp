// Discovery and report accessors as a host sees them.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "../golden/golden_case.h"
#include "quorvex.h"

namespace {

CDataset* line_dataset(int rows) {
  CDataset* ds = quorvex_dataset_new("y");
  quorvex_dataset_add_feature(ds, "x");
  for (int i = 0; i < rows; ++i) {
    const double x = i * 0.25;
    quorvex_dataset_push_row(ds, &x, 2.0 * x + std::sin(7.0 * i));
  }
  return ds;
}

std::string take(char* s) {
  EXPECT_NE(s, nullptr);
  std::string out = s == nullptr ? "" : s;
  quorvex_string_free(s);
  return out;
}

std::string masked_json(const CReport* r) {
  return golden::mask_wall_json(take(quorvex_report_json(r)));
}

TEST(ReportApi, NullHandles) {
  EXPECT_EQ(quorvex_discover(nullptr, 10, 50, 3, 1, 0.3), nullptr);
  EXPECT_EQ(quorvex_report_formula(nullptr), nullptr);
  EXPECT_EQ(quorvex_report_pretty(nullptr), nullptr);
  EXPECT_EQ(quorvex_report_json(nullptr), nullptr);
  EXPECT_EQ(quorvex_report_verdict(nullptr), 0);
  EXPECT_EQ(quorvex_report_mse_train(nullptr), 0.0);
  EXPECT_EQ(quorvex_report_mse_test(nullptr), 0.0);
  EXPECT_EQ(quorvex_report_bic(nullptr), 0.0);
  EXPECT_EQ(quorvex_report_delta_bic_const(nullptr), 0.0);
  EXPECT_EQ(quorvex_report_delta_bic_linear(nullptr), 0.0);
  EXPECT_EQ(quorvex_report_z_vs_shuffled(nullptr), 0.0);
  quorvex_report_free(nullptr);
  quorvex_string_free(nullptr);
}

TEST(ReportApi, JsonListsTheFifteenMembersInOrder) {
  CDataset* ds = line_dataset(40);
  CReport* r = quorvex_discover(ds, 3, 20, 3, 7, 0.25);
  const std::string text = take(quorvex_report_json(r));
  ASSERT_EQ(text.front(), '{');
  EXPECT_NE(text.back(), '\n');
  const auto doc = nlohmann::ordered_json::parse(text);
  std::vector<std::string> keys;
  for (const auto& [k, v] : doc.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"formula", "expr_json", "k", "mse_train", "mse_test",
                                             "bic", "baselines", "delta_bic_const",
                                             "delta_bic_linear", "z_vs_shuffled", "verdict",
                                             "verdict_reason", "n_train", "n_test",
                                             "wall_clock_ms"}));
  EXPECT_EQ(doc["n_train"], 30);
  EXPECT_EQ(doc["n_test"], 10);
  EXPECT_EQ(doc["formula"], take(quorvex_report_formula(r)));
  EXPECT_TRUE(nlohmann::json::accept(doc["expr_json"].get<std::string>()));
  // Accessors return the stored fields; every call gives a new buffer.
  EXPECT_EQ(doc["bic"].get<double>(), quorvex_report_bic(r));
  char* a = quorvex_report_pretty(r);
  char* b = quorvex_report_pretty(r);
  EXPECT_NE(a, b);
  EXPECT_STREQ(a, b);
  quorvex_string_free(a);
  quorvex_string_free(b);
  quorvex_report_free(r);
  quorvex_dataset_free(ds);
}

TEST(ReportApi, ArgumentSubstitutions) {
  CDataset* ds = line_dataset(20);
  // An out-of-range test fraction becomes 0.2: 16 training rows of 20.
  const double bad[] = {0.0, 1.0, -0.5, 2.0, std::nan(""),
                        std::numeric_limits<double>::infinity()};
  CReport* reference = quorvex_discover(ds, 2, 10, 2, 5, 0.2);
  const std::string expected = masked_json(reference);
  for (double tf : bad) {
    CReport* r = quorvex_discover(ds, 2, 10, 2, 5, tf);
    EXPECT_EQ(masked_json(r), expected) << tf;
    quorvex_report_free(r);
  }
  CReport* tiny = quorvex_discover(ds, 2, 10, 2, 5, 0.999);
  EXPECT_NE(take(quorvex_report_json(tiny)).find("\"n_train\": 0,"), std::string::npos);
  quorvex_report_free(tiny);
  quorvex_report_free(reference);
  quorvex_dataset_free(ds);
}

TEST(ReportApi, ReportOutlivesItsDatasetAndIgnoresLaterRows) {
  CDataset* ds = line_dataset(30);
  CReport* first = quorvex_discover(ds, 2, 10, 3, 11, 0.2);
  const std::string before = masked_json(first);
  const double x = 100.0;
  quorvex_dataset_push_row(ds, &x, -5.0);
  quorvex_dataset_free(ds);
  EXPECT_EQ(masked_json(first), before);
  const double mse = quorvex_report_mse_train(first);
  EXPECT_TRUE(std::isnan(mse) || mse >= 0.0);
  const int32_t verdict = quorvex_report_verdict(first);
  EXPECT_TRUE(verdict >= 0 && verdict <= 2);
  quorvex_report_free(first);
}

TEST(ReportApi, OneReportReadFromManyThreads) {
  CDataset* ds = line_dataset(30);
  CReport* r = quorvex_discover(ds, 2, 10, 3, 12, 0.2);
  quorvex_dataset_free(ds);
  const std::string expected = take(quorvex_report_pretty(r));
  std::vector<std::thread> readers;
  std::vector<int> ok(6, 0);
  for (int t = 0; t < 6; ++t)
    readers.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        char* s = quorvex_report_pretty(r);
        ok[t] += expected == s;
        quorvex_string_free(s);
      }
    });
  for (auto& th : readers) th.join();
  EXPECT_EQ(ok, std::vector<int>(6, 20));
  quorvex_report_free(r);
}

}  // namespace
