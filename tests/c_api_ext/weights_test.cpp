// Weighted rows and warm starts through the extended interface: what it
// refuses, and what a host sees of them.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "quorvex_ext.h"

namespace {

std::string take(char* s) {
  std::string out = s == nullptr ? "<NULL>" : s;
  qvx_string_free(s);
  return out;
}

bool says(const char* words) {
  return std::string(qvx_last_error()).find(words) != std::string::npos;
}

struct Data {
  std::vector<double> a, y;
  qvx_dataset* ds = nullptr;
  Data() {
    for (int i = 0; i < 80; ++i) {
      a.push_back(0.5 + (i * 37 % 101) / 40.0);
      y.push_back(2.0 * a.back() * a.back() + 0.05 * ((i * 53 % 97) / 97.0 - 0.5));
    }
    const char* names[] = {"a"};
    const double* cols[] = {a.data()};
    ds = qvx_dataset_from_columns("y", 1, names, cols, y.data(), y.size());
  }
  ~Data() { qvx_dataset_free(ds); }
};

qvx_options small(int32_t search = QVX_SEARCH_REFINED) {
  qvx_options o;
  EXPECT_EQ(qvx_options_init(&o, sizeof o, search), QVX_OK);
  if (search == QVX_SEARCH_REFINED) o.population = 150;
  o.seed = 4;
  return o;
}

int32_t discover(const Data& d, const qvx_options& o, std::string* json = nullptr) {
  qvx_result* r = nullptr;
  const int32_t status = qvx_discover(d.ds, &o, nullptr, nullptr, &r);
  if (r != nullptr && json != nullptr) *json = take(qvx_result_text(r, QVX_JSON));
  qvx_result_free(r);
  return status;
}

TEST(ExtWeights, CheckedWhenGivenAndRefusedByTheClassicSearch) {
  Data d;
  const size_t n = d.y.size();
  std::vector<double> w(n, 2.0);
  EXPECT_EQ(qvx_dataset_set_weights(nullptr, w.data(), n), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_dataset_set_weights(d.ds, w.data(), n - 1), QVX_ERR_ARGUMENT);
  EXPECT_TRUE(says("80 rows"));
  EXPECT_EQ(qvx_dataset_set_weights(d.ds, nullptr, n), QVX_ERR_ARGUMENT);
  for (double bad : {-1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    w[41] = bad;
    EXPECT_EQ(qvx_dataset_set_weights(d.ds, w.data(), n), QVX_ERR_ARGUMENT);
    EXPECT_TRUE(says("weights[41]"));
  }
  w[41] = 0.0;
  ASSERT_EQ(qvx_dataset_set_weights(d.ds, w.data(), n), QVX_OK);

  std::string json;
  ASSERT_EQ(discover(d, small(), &json), QVX_OK) << qvx_last_error();
  const auto report = nlohmann::json::parse(json);
  // The row of weight 0 is gone before the split, the rest count twice.
  EXPECT_EQ(report["n_train"].get<size_t>() + report["n_test"].get<size_t>(), n - 1);
  EXPECT_EQ(report["rows_set_aside"], 0);
  EXPECT_EQ(report["weight_sum"].get<double>(), 2.0 * report["n_train"].get<double>());

  const qvx_options classic = small(QVX_SEARCH_CLASSIC);
  EXPECT_EQ(discover(d, classic), QVX_ERR_ARGUMENT);
  EXPECT_TRUE(says("classic search weighs every row alike"));
  double p = 0.0;
  EXPECT_EQ(qvx_permutation_test(d.ds, &classic, 0.0, 1, nullptr, nullptr, nullptr, &p),
            QVX_ERR_ARGUMENT);
  ASSERT_EQ(qvx_dataset_set_weights(d.ds, nullptr, 0), QVX_OK);  // removed
  EXPECT_EQ(discover(d, classic, &json), QVX_OK);
  EXPECT_EQ(json.find("weight_sum"), std::string::npos);
}

TEST(ExtWarmStart, NeverEndsAboveItsStartAndRefusesWhatItCannotUse) {
  const Data d;
  qvx_options o = small();
  std::string first, second;
  ASSERT_EQ(discover(d, o, &first), QVX_OK);
  o.start_from = first.c_str();
  o.generations = 1;
  ASSERT_EQ(discover(d, o, &second), QVX_OK) << qvx_last_error();
  EXPECT_LE(nlohmann::json::parse(second)["bic"].get<double>(),
            nlohmann::json::parse(first)["bic"].get<double>());

  // A host built before start_from passes the third record: no warm start.
  qvx_options older = o;
  older.size = offsetof(qvx_options, start_from);
  older.generations = 1;
  std::string cold, cold_older;
  o.start_from = nullptr;
  ASSERT_EQ(discover(d, o, &cold), QVX_OK);
  ASSERT_EQ(discover(d, older, &cold_older), QVX_OK);
  EXPECT_EQ(nlohmann::json::parse(cold)["front"], nlohmann::json::parse(cold_older)["front"]);

  o.start_from = "{\"Bin\": [\"Add\"";
  EXPECT_EQ(discover(d, o), QVX_ERR_ARGUMENT);
  EXPECT_TRUE(says("options->start_from"));
  o.start_from = "{\"Feature\": \"q\"}";
  EXPECT_EQ(discover(d, o), QVX_ERR_DATA);
  EXPECT_TRUE(says("\"q\""));
  o.start_from = first.c_str();
  double p = 0.0;
  EXPECT_EQ(qvx_permutation_test(d.ds, &o, 0.0, 1, nullptr, nullptr, nullptr, &p),
            QVX_ERR_ARGUMENT);
  qvx_options classic = small(QVX_SEARCH_CLASSIC);
  classic.start_from = first.c_str();
  EXPECT_EQ(discover(d, classic), QVX_ERR_ARGUMENT);
  EXPECT_TRUE(says("no warm start"));
}

}  // namespace
