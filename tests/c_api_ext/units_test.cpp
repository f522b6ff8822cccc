// Units through the extended interface: what qvx_dataset_set_units refuses,
// and the units a report gives.

#include <gtest/gtest.h>

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

// E = m·v²/2, with a column in metres the law does not read.
struct Energy {
  std::vector<double> m, v, h, e;
  qvx_dataset* ds = nullptr;
  Energy() {
    for (int i = 0; i < 60; ++i) {
      m.push_back(1.0 + (i * 37 % 101) / 25.0);
      v.push_back(1.0 + (i * 53 % 97) / 24.0);
      h.push_back(1.0 + (i * 29 % 89) / 22.0);
      e.push_back(m.back() * v.back() * v.back() / 2.0);
    }
    const char* names[] = {"m", "v", "h"};
    const double* cols[] = {m.data(), v.data(), h.data()};
    ds = qvx_dataset_from_columns("E", 3, names, cols, e.data(), e.size());
  }
  ~Energy() { qvx_dataset_free(ds); }
};

TEST(ExtUnits, RefusalsNameWhatIsWrongAndChangeNothing) {
  Energy d;
  const char* good[] = {"kg", "m/s", "m"};
  const char* bad[] = {"kg", "m/s", "m^("};
  EXPECT_EQ(qvx_dataset_set_units(nullptr, good, 3, "J", 0), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_dataset_set_units(d.ds, good, 2, "J", 0), QVX_ERR_ARGUMENT);
  EXPECT_TRUE(says("3 features"));
  EXPECT_EQ(qvx_dataset_set_units(d.ds, bad, 3, "J", 0), QVX_ERR_ARGUMENT);
  EXPECT_TRUE(says("\"h\"") && says("position 4"));
  EXPECT_EQ(qvx_dataset_set_units(d.ds, good, 3, "Jx", 0), QVX_ERR_ARGUMENT);
  EXPECT_TRUE(says("target \"E\""));
  EXPECT_EQ(qvx_dataset_set_units(d.ds, good, 3, nullptr, 0), QVX_ERR_ARGUMENT);
  EXPECT_EQ(qvx_dataset_set_units(d.ds, good, 3, "J", 4), QVX_ERR_ARGUMENT);
  // Nothing was set: a classic search still runs.
  qvx_options o;
  qvx_options_init(&o, sizeof o, QVX_SEARCH_CLASSIC);
  o.generations = 2;
  qvx_result* r = nullptr;
  ASSERT_EQ(qvx_discover(d.ds, &o, nullptr, nullptr, &r), QVX_OK);
  qvx_result_free(r);
  ASSERT_EQ(qvx_dataset_set_units(d.ds, good, 3, "J", 0), QVX_OK);
  r = nullptr;
  EXPECT_EQ(qvx_discover(d.ds, &o, nullptr, nullptr, &r), QVX_ERR_ARGUMENT);
  EXPECT_TRUE(says("classic search ignores units"));
  EXPECT_EQ(r, nullptr);
  ASSERT_EQ(qvx_dataset_set_units(d.ds, nullptr, 0, nullptr, 0), QVX_OK);
  ASSERT_EQ(qvx_discover(d.ds, &o, nullptr, nullptr, &r), QVX_OK);
  qvx_result_free(r);
}

TEST(ExtUnits, TheReportGivesTheUnitsOfTheResultAndItsConstants) {
  Energy d;
  const char* units[] = {"kg", "m/s", "m"};
  ASSERT_EQ(qvx_dataset_set_units(d.ds, units, 3, "kg*m^2/s^2", 0), QVX_OK);
  qvx_options o;
  qvx_options_init(&o, sizeof o, QVX_SEARCH_REFINED);
  o.population = 200;
  o.seed = 3;
  qvx_result* r = nullptr;
  ASSERT_EQ(qvx_discover(d.ds, &o, nullptr, nullptr, &r), QVX_OK) << qvx_last_error();
  const nlohmann::json j = nlohmann::json::parse(take(qvx_result_text(r, QVX_JSON)));
  EXPECT_EQ(j["units"], "kg*m^2/s^2");
  EXPECT_EQ(j["formula"], "0.5*m*v^2");
  ASSERT_EQ(j["constants"].size(), 1u);
  EXPECT_EQ(j["constants"][0]["units"], "1");
  EXPECT_NE(take(qvx_result_text(r, QVX_PRETTY)).find("units : kg*m^2/s^2 (constants: 1)"),
            std::string::npos);
  qvx_result_free(r);
}

}  // namespace
