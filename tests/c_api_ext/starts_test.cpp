// Starts of a refined discovery through the extended interface: the options'
// third version and qvx_merge_starts.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
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

// (Not std::regex: GCC 12 warns inside it under the sanitizers.)
std::string without_clock(std::string json) {
  const size_t at = json.find("\"wall_clock_ms\": ");
  if (at != std::string::npos) json.erase(at, json.find_first_of(",\n}", at) - at);
  return json;
}

struct Data {
  std::vector<double> a, b, y;
  qvx_dataset* ds = nullptr;
  Data() {
    for (int i = 0; i < 120; ++i) {
      a.push_back(0.5 + (i * 37 % 101) / 40.0);
      b.push_back(0.2 + (i * 53 % 97) / 50.0);
      y.push_back(std::exp(-a.back()) * b.back() / (1.0 + a.back()));
    }
    const char* names[] = {"a", "b"};
    const double* cols[] = {a.data(), b.data()};
    ds = qvx_dataset_from_columns("y", 2, names, cols, y.data(), y.size());
  }
  ~Data() { qvx_dataset_free(ds); }
};

qvx_options small(uint32_t start = 0) {
  qvx_options o;
  EXPECT_EQ(qvx_options_init(&o, sizeof o, QVX_SEARCH_REFINED), QVX_OK);
  o.population = 150;
  o.generations = 10;
  o.seed = 4;
  o.start = start;
  return o;
}

std::string report_of(const Data& d, const qvx_options& o) {
  qvx_result* r = nullptr;
  EXPECT_EQ(qvx_discover(d.ds, &o, nullptr, nullptr, &r), QVX_OK) << qvx_last_error();
  std::string json = take(qvx_result_text(r, QVX_JSON));
  qvx_result_free(r);
  return json;
}

int32_t merge(const Data& d, const qvx_options& o, const std::vector<std::string>& reports,
              std::string* json = nullptr) {
  std::vector<const char*> texts;
  for (const std::string& r : reports) texts.push_back(r.c_str());
  qvx_result* out = nullptr;
  const int32_t status = qvx_merge_starts(d.ds, &o, texts.data(), texts.size(), &out);
  if (status == QVX_OK && json != nullptr) *json = take(qvx_result_text(out, QVX_JSON));
  if (status != QVX_OK) {
    EXPECT_EQ(out, nullptr);
  }
  qvx_result_free(out);
  return status;
}

TEST(ExtStarts, MergedReportsAreThoseOfTheStartsWhateverTheirOrder) {
  const Data d;
  const std::string s0 = report_of(d, small(0)), s1 = report_of(d, small(1)),
                    s2 = report_of(d, small(2));
  std::string merged, reversed, alone;
  ASSERT_EQ(merge(d, small(), {s0, s1, s2}, &merged), QVX_OK) << qvx_last_error();
  ASSERT_EQ(merge(d, small(7), {s2, s1, s0}, &reversed), QVX_OK);  // its start is not read
  EXPECT_EQ(without_clock(reversed), without_clock(merged));
  ASSERT_EQ(merge(d, small(), {s1}, &alone), QVX_OK);
  EXPECT_EQ(without_clock(alone), without_clock(s1));

  const auto m = nlohmann::json::parse(merged);
  uint64_t generations = 0;
  for (const std::string& s : {s0, s1, s2}) {
    const auto j = nlohmann::json::parse(s);
    EXPECT_LE(m["bic"].get<double>(), j["bic"].get<double>());
    EXPECT_EQ(m["n_train"], j["n_train"]);
    generations += j["generations"].get<uint64_t>();
  }
  EXPECT_EQ(m["generations"].get<uint64_t>(), generations);
}

TEST(ExtStarts, OlderRecordsAreStartZeroAndTheClassicSearchHasNoStarts) {
  const Data d;
  constexpr size_t v2 = offsetof(qvx_options, start);
  qvx_options o;
  std::memset(&o, 0xAB, sizeof o);
  ASSERT_EQ(qvx_options_init(&o, v2, QVX_SEARCH_REFINED), QVX_OK) << qvx_last_error();
  EXPECT_EQ(reinterpret_cast<unsigned char*>(&o)[v2], 0xAB);  // beyond the host's record
  const qvx_options now = small();
  std::memcpy(&o, &now, v2);
  o.size = v2;
  EXPECT_EQ(without_clock(report_of(d, o)), without_clock(report_of(d, now)));
  EXPECT_EQ(qvx_options_init(&o, v2 + 2, QVX_SEARCH_REFINED), QVX_ERR_ARGUMENT);

  qvx_options c;
  ASSERT_EQ(qvx_options_init(&c, sizeof c, QVX_SEARCH_CLASSIC), QVX_OK);
  c.start = 1;
  qvx_result* r = nullptr;
  EXPECT_EQ(qvx_discover(d.ds, &c, nullptr, nullptr, &r), QVX_ERR_ARGUMENT);
  EXPECT_NE(std::string(qvx_last_error()).find("start"), std::string::npos);
  c.start = 0;
  const std::string s0 = report_of(d, small());
  EXPECT_EQ(merge(d, c, {s0}), QVX_ERR_ARGUMENT);
}

TEST(ExtStarts, ReportsOfAnotherDiscoveryOrNoneAtAllAreRefused) {
  const Data d;
  const std::string s0 = report_of(d, small());
  qvx_result* out = nullptr;
  const qvx_options o = small();
  const char* none[] = {nullptr};
  EXPECT_EQ(qvx_merge_starts(d.ds, &o, nullptr, 1, &out), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_merge_starts(d.ds, &o, none, 1, &out), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_merge_starts(d.ds, &o, none, 0, &out), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_merge_starts(nullptr, &o, none, 1, &out), QVX_ERR_ARGUMENT);
  EXPECT_EQ(out, nullptr);

  qvx_options other_seed = small();
  other_seed.seed = 5;
  qvx_options other_ops = small();
  other_ops.operators = "+,*,exp";
  qvx_options classic;
  ASSERT_EQ(qvx_options_init(&classic, sizeof classic, QVX_SEARCH_CLASSIC), QVX_OK);
  classic.seed = 4;
  std::string front_unknown = s0;
  const size_t at =
      front_unknown.find("\\\"Feature\\\":\\\"a\\\"", front_unknown.find("\"front\""));
  ASSERT_NE(at, std::string::npos);
  front_unknown.replace(at, 17, "\\\"Feature\\\":\\\"w\\\"");
  for (const std::string& bad :
       {std::string("{"), std::string("[1]"), report_of(d, classic), report_of(d, other_seed),
        report_of(d, other_ops), front_unknown}) {
    EXPECT_EQ(merge(d, o, {s0, bad}), QVX_ERR_DATA) << bad.substr(0, 80);
    const std::string why = qvx_last_error();
    EXPECT_TRUE(why.find("reports_json[1]") != std::string::npos ||
                why.find("feature \"w\"") != std::string::npos)
        << why;
  }
}

}  // namespace
