// Arguments at the far ends of their ranges, through the C interface: each
// discovery must finish and give a well-formed report. The expensive cases
// (a million candidates, 5,000 features) are in tests/stress/extremes.sh.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "../golden/golden_case.h"
#include "quorvex.h"

#if defined(__GNUC__) && defined(__x86_64__)
#include <xmmintrin.h>
#define QUORVEX_TEST_MXCSR 1
#endif

namespace {

using Json = nlohmann::ordered_json;

CDataset* curve_dataset(size_t rows, const std::vector<std::string>& names) {
  CDataset* ds = quorvex_dataset_new("y");
  for (const auto& name : names) EXPECT_EQ(quorvex_dataset_add_feature(ds, name.c_str()), 0);
  std::vector<double> v(names.size() + 1, 0.0);
  for (size_t i = 0; i < rows; ++i) {
    for (size_t j = 0; j < names.size(); ++j) v[j] = std::sin(0.7 * i + 1.3 * j) * (j + 1);
    EXPECT_EQ(quorvex_dataset_push_row(ds, v.data(), v[0] * v[0] + 0.5 * v[1]), 0);
  }
  return ds;
}

std::string json_text(const CReport* r) { return golden::take(quorvex_report_json(r)); }

uint32_t depth_of(const nlohmann::json& e) {
  const std::string kind = e.begin().key();
  const auto& body = e.begin().value();
  if (kind == "Const" || kind == "Feature") return 1;
  if (kind == "Bin") return 1 + std::max(depth_of(body[1]), depth_of(body[2]));
  if (kind == "Pow") return 1 + depth_of(body[0]);
  return 1 + depth_of(body);
}

// The report of one discovery, checked for the shape every report has.
Json run(const CDataset* ds, uint32_t generations, size_t population, uint32_t max_depth,
         uint64_t seed, double test_fraction) {
  CReport* r = quorvex_discover(ds, generations, population, max_depth, seed, test_fraction);
  EXPECT_NE(r, nullptr);
  if (r == nullptr) return Json();
  const Json doc = Json::parse(json_text(r));
  EXPECT_EQ(doc.size(), 15u);
  EXPECT_EQ(doc["formula"], golden::take(quorvex_report_formula(r)));
  const std::string pretty = golden::take(quorvex_report_pretty(r));
  EXPECT_EQ(std::count(pretty.begin(), pretty.end(), '\n'), 13) << pretty;
  const std::string expr = doc["expr_json"].get<std::string>();
  // Grown and mutated within min(max_depth, 64); crossover children stop at 10.
  EXPECT_LE(depth_of(nlohmann::json::parse(expr)), std::max(std::min(max_depth, 64u), 10u)) << expr;
  quorvex_report_free(r);
  return doc;
}

TEST(ExtremeArguments, DepthBudgetsAbove64ActAs64) {
  CDataset* ds = curve_dataset(30, {"a", "b"});
  CReport* reference = quorvex_discover(ds, 3, 20, 64, 9, 0.25);
  const std::string expected = golden::mask_wall_json(json_text(reference));
  quorvex_report_free(reference);
  for (uint32_t depth : {65u, 1000u, UINT32_MAX}) {
    CReport* r = quorvex_discover(ds, 3, 20, depth, 9, 0.25);
    EXPECT_EQ(golden::mask_wall_json(json_text(r)), expected) << depth;
    quorvex_report_free(r);
    run(ds, 2, 12, depth, depth, 0.25);
  }
  quorvex_dataset_free(ds);
}

TEST(ExtremeArguments, SmallestPopulationAndLongestRun) {
  CDataset* ds = curve_dataset(20, {"a", "b"});
  for (uint32_t generations : {1u, 3u}) {
    const Json doc = run(ds, generations, 1, 4, 5, 0.25);
    EXPECT_EQ(doc["n_train"], 15);
    EXPECT_EQ(doc["n_test"], 5);
  }
  // 10,000 generation steps of two candidates: a restart every few steps.
  const Json doc = run(ds, 10000, 2, 4, 6, 0.25);
  EXPECT_EQ(doc["n_train"], 15);
  quorvex_dataset_free(ds);
}

TEST(ExtremeArguments, TestFractionsAtTheEdges) {
  CDataset* ds = curve_dataset(40, {"a", "b"});
  // 1e-300 keeps every row for training: (1 - 1e-300) * 40 is exactly 40.
  CReport* r = quorvex_discover(ds, 2, 10, 3, 1, 1e-300);
  Json doc = Json::parse(json_text(r));
  EXPECT_EQ(doc["n_train"], 40);
  EXPECT_EQ(doc["n_test"], 0);
  EXPECT_TRUE(std::isnan(quorvex_report_mse_test(r)));
  EXPECT_TRUE(doc["mse_test"].is_null());
  quorvex_report_free(r);

  // 0.9999999 leaves no training row: every candidate is unusable.
  r = quorvex_discover(ds, 2, 10, 3, 1, 0.9999999);
  doc = Json::parse(json_text(r));
  EXPECT_EQ(doc["n_train"], 0);
  EXPECT_EQ(doc["n_test"], 40);
  EXPECT_EQ(quorvex_report_bic(r), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(quorvex_report_mse_train(r)));
  EXPECT_TRUE(doc["bic"].is_null());
  EXPECT_EQ(quorvex_report_verdict(r), 0);
  quorvex_report_free(r);
  quorvex_dataset_free(ds);
}

TEST(ExtremeArguments, NoRowsWithDefaultSettings) {
  CDataset* ds = curve_dataset(0, {"a", "b"});
  CReport* r = quorvex_discover(ds, 0, 0, 0, 0, 0.0);
  const Json doc = Json::parse(json_text(r));
  EXPECT_EQ(doc["n_train"], 0);
  EXPECT_EQ(doc["n_test"], 0);
  for (const char* key : {"mse_train", "mse_test", "bic", "delta_bic_const", "delta_bic_linear"})
    EXPECT_TRUE(doc[key].is_null()) << key;
  EXPECT_TRUE(std::isnan(quorvex_report_mse_train(r)));
  EXPECT_EQ(quorvex_report_bic(r), std::numeric_limits<double>::infinity());
  EXPECT_EQ(quorvex_report_verdict(r), 0);
  quorvex_report_free(r);
  quorvex_dataset_free(ds);
}

TEST(ExtremeArguments, MebibyteFeatureNames) {
  const std::string a(size_t{1} << 20, 'a');
  const std::string b = std::string(size_t{1} << 20, 'b') + "\xCE\x94";
  CDataset* ds = curve_dataset(20, {a, b});
  const Json doc = run(ds, 2, 8, 3, 4, 0.25);
  // Only whole names appear in the formula.
  std::string rest = doc["formula"].get<std::string>();
  for (const std::string* name : {&a, &b})
    for (size_t at; (at = rest.find(*name)) != std::string::npos;) rest.erase(at, name->size());
  EXPECT_EQ(rest.find("aaaa"), std::string::npos);
  EXPECT_EQ(rest.find("bbbb"), std::string::npos);
  EXPECT_LT(rest.size(), 4096u);
  quorvex_dataset_free(ds);
}

#ifdef QUORVEX_TEST_MXCSR
// A host thread that rounds differently or flushes subnormals to zero gets the
// report of the default state, and its own state back.
TEST(ExtremeArguments, HostFloatingPointStateDoesNotReachTheReport) {
  CDataset* ds = quorvex_dataset_new("y");
  quorvex_dataset_add_feature(ds, "x");
  quorvex_dataset_add_feature(ds, "tiny");
  // log(tiny) is finite, but NaN where subnormals read as zero.
  for (int i = 0; i < 60; ++i) {
    const double v[2] = {0.1 * i - 2.0, (i + 1) * 1e-310};
    quorvex_dataset_push_row(ds, v, std::log(v[1]) + std::exp(v[0]) / 3.0);
  }
  const auto report = [&] {
    CReport* r = quorvex_discover(ds, 6, 40, 4, 3, 0.25);
    std::string text = golden::mask_wall_json(json_text(r));
    text += golden::mask_wall_pretty(golden::take(quorvex_report_pretty(r)));
    quorvex_report_free(r);
    return text;
  };
  const std::string expected = report();
  const unsigned saved = _mm_getcsr();
  constexpr unsigned kControl = 0xFFC0;  // everything but the sticky exception flags
  // Flush-to-zero with denormals-are-zero, then the three directed roundings.
  for (unsigned mode : {0x8040u, 0x2000u, 0x4000u, 0x6000u}) {
    const unsigned host = (saved & ~0xE040u) | mode;
    _mm_setcsr(host);
    if ((_mm_getcsr() & kControl) != (host & kControl)) {  // valgrind has no flush-to-zero
      _mm_setcsr(saved);
      continue;
    }
    const std::string got = report();
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(got, expected) << std::hex << mode;
    EXPECT_EQ(after & kControl, host & kControl) << std::hex << mode;
  }
  quorvex_dataset_free(ds);
}
#endif

}  // namespace
