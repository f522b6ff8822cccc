#include "report/report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "../golden/golden_case.h"

namespace quorvex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

DiscoverReport classified(double d_const, double d_linear, double z) {
  DiscoverReport r;
  r.delta_bic_const = d_const;
  r.delta_bic_linear = d_linear;
  r.z_vs_shuffled = z;
  r.classify();
  return r;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    if (end == std::string::npos) {
      out.push_back(text.substr(pos));
      break;
    }
    out.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return out;
}

// A report as the search would leave it after a real run.
DiscoverReport sample() {
  DiscoverReport r;
  r.formula = "((exp(x)^-1) + exp((x^1)))";
  r.expr_json =
      R"({"Bin":["Add",{"Pow":[{"Exp":{"Feature":"x"}},-1]},{"Exp":{"Pow":[{"Feature":"x"},1]}}]})";
  r.k = 5;
  r.mse_train = 4.315541;
  r.mse_test = 4.355173;
  r.bic = 60.87;
  r.baselines = {118.27, 121.38, 120.65, 1.65};
  r.delta_bic_const = -57.4;
  r.delta_bic_linear = -60.5;
  r.z_vs_shuffled = -36.16;
  r.classify();
  r.n_train = 30;
  r.n_test = 10;
  return r;
}

TEST(Verdict, Names) {
  EXPECT_STREQ(verdict_name(Verdict::Strong), "Strong");
  EXPECT_STREQ(verdict_name(Verdict::Weak), "Weak");
  EXPECT_STREQ(verdict_name(Verdict::Noise), "Noise");
}

TEST(Classify, StrictThresholds) {
  EXPECT_EQ(classified(-10.0, -50, -50).verdict, Verdict::Noise);
  EXPECT_EQ(classified(-10.5, -11, -2).verdict, Verdict::Weak);
  EXPECT_EQ(classified(-10.5, -11, -2.01).verdict, Verdict::Strong);
  EXPECT_EQ(classified(-50, -3, -100).verdict, Verdict::Weak);
  EXPECT_EQ(classified(-50, -10, -100).verdict, Verdict::Weak);
  EXPECT_EQ(classified(5, -100, -100).verdict, Verdict::Noise);
}

TEST(Classify, NaNFailsEveryTest) {
  EXPECT_EQ(classified(-20, -20, kNaN).verdict, Verdict::Weak);
  EXPECT_EQ(classified(-20, kNaN, -5).verdict, Verdict::Weak);
  EXPECT_EQ(classified(kNaN, -20, -5).verdict, Verdict::Noise);
}

TEST(Classify, ReplacesAnEarlierVerdictAndReason) {
  DiscoverReport r = classified(-20, -20, -5);
  ASSERT_EQ(r.verdict, Verdict::Strong);
  r.delta_bic_const = 1.0;
  r.classify();
  EXPECT_EQ(r.verdict, Verdict::Noise);
  EXPECT_EQ(r.verdict_reason, "ΔBIC vs const = 1.0, vs linear = -20.0, z vs shuffled = -5.00");
}

TEST(Classify, ReasonText) {
  const DiscoverReport r = classified(-123.456, -45.25, -3.14159);
  EXPECT_EQ(r.verdict_reason, "ΔBIC vs const = -123.5, vs linear = -45.2, z vs shuffled = -3.14");
  EXPECT_EQ(r.verdict_reason.substr(0, 2), "\xCE\x94");

  const DiscoverReport inf = classified(kInf, kInf, 0.0);
  EXPECT_EQ(inf.verdict, Verdict::Noise);
  EXPECT_EQ(inf.verdict_reason, "ΔBIC vs const = inf, vs linear = inf, z vs shuffled = 0.00");
  EXPECT_EQ(classified(-0.04, kNaN, -0.0).verdict_reason,
            "ΔBIC vs const = -0.0, vs linear = NaN, z vs shuffled = -0.00");
}

TEST(Pretty, WholeReport) {
  EXPECT_EQ(sample().to_pretty(),
            "─── quorvex discovery report ────────────────────────────\n"
            "formula : ((exp(x)^-1) + exp((x^1)))\n"
            "k       : 5\n"
            "MSE     : train=4.315541 test=4.355173\n"
            "BIC     : 60.87\n"
            "baselines:\n"
            "  F=const           BIC = 118.27\n"
            "  F=linear          BIC = 121.38\n"
            "  F=shuffled-target BIC = 120.65 ± 1.65\n"
            "ΔBIC    : vs const = -57.40   vs linear = -60.50   z vs shuffled = -36.16\n"
            "verdict : Strong\n"
            "reason  : ΔBIC vs const = -57.4, vs linear = -60.5, z vs shuffled = -36.16\n"
            "n_train = 30  n_test = 10  wall = 0 ms\n");
}

TEST(Pretty, ThirteenLinesAndAFixedBanner) {
  const std::string text = sample().to_pretty();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 13);
  const std::string banner = lines_of(text)[0];
  EXPECT_EQ(banner.size(), 119u);
  // 57 characters: count the bytes that start a UTF-8 sequence.
  EXPECT_EQ(std::count_if(banner.begin(), banner.end(),
                          [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }),
            57);
}

TEST(Pretty, NonFiniteAndSignedFields) {
  DiscoverReport r = sample();
  r.mse_train = 0.5;
  r.mse_test = kNaN;
  r.bic = kInf;
  r.baselines.bic_shuffled_mean = 118.734;
  r.baselines.bic_shuffled_std = 1.015;
  r.delta_bic_const = 5.5;
  r.delta_bic_linear = -3.25;
  r.z_vs_shuffled = kNaN;
  const std::vector<std::string> lines = lines_of(r.to_pretty());
  EXPECT_EQ(lines[3], "MSE     : train=0.500000 test=NaN");
  EXPECT_EQ(lines[4], "BIC     : inf");
  EXPECT_EQ(lines[8], "  F=shuffled-target BIC = 118.73 ± 1.01");
  EXPECT_EQ(lines[9], "ΔBIC    : vs const = +5.50   vs linear = -3.25   z vs shuffled = NaN");

  r.delta_bic_const = kInf;
  r.delta_bic_linear = -0.0;
  r.z_vs_shuffled = 0.0;
  EXPECT_EQ(lines_of(r.to_pretty())[9],
            "ΔBIC    : vs const = +inf   vs linear = -0.00   z vs shuffled = +0.00");
}

TEST(Pretty, EmptyStringsAndLargeCounts) {
  DiscoverReport r = sample();
  r.formula.clear();
  r.expr_json.clear();
  r.n_train = 18446744073709551615u;
  r.wall_clock_ms = 12345678901234567890u;
  const std::vector<std::string> lines = lines_of(r.to_pretty());
  EXPECT_EQ(lines[1], "formula : ");
  EXPECT_EQ(lines[12],
            "n_train = 18446744073709551615  n_test = 10  wall = 12345678901234567890 ms");
}

TEST(Json, LayoutAndNumbers) {
  DiscoverReport r = sample();
  r.mse_test = kNaN;
  r.bic = 120.0;
  r.baselines.bic_linear = -kInf;
  r.delta_bic_linear = kInf;
  r.z_vs_shuffled = 0.0;
  r.wall_clock_ms = 12345678901234567890u;
  const std::string json = r.to_json();
  EXPECT_EQ(
      json,
      "{\n"
      "  \"formula\": \"((exp(x)^-1) + exp((x^1)))\",\n"
      "  \"expr_json\": "
      "\"{\\\"Bin\\\":[\\\"Add\\\",{\\\"Pow\\\":[{\\\"Exp\\\":{\\\"Feature\\\":\\\"x\\\"}},-1]},"
      "{\\\"Exp\\\":{\\\"Pow\\\":[{\\\"Feature\\\":\\\"x\\\"},1]}}]}\",\n"
      "  \"k\": 5,\n"
      "  \"mse_train\": 4.315541,\n"
      "  \"mse_test\": null,\n"
      "  \"bic\": 120.0,\n"
      "  \"baselines\": {\n"
      "    \"bic_const\": 118.27,\n"
      "    \"bic_linear\": null,\n"
      "    \"bic_shuffled_mean\": 120.65,\n"
      "    \"bic_shuffled_std\": 1.65\n"
      "  },\n"
      "  \"delta_bic_const\": -57.4,\n"
      "  \"delta_bic_linear\": null,\n"
      "  \"z_vs_shuffled\": 0.0,\n"
      "  \"verdict\": \"Strong\",\n"
      "  \"verdict_reason\": \"ΔBIC vs const = -57.4, vs linear = -60.5, z vs shuffled = "
      "-36.16\",\n"
      "  \"n_train\": 30,\n"
      "  \"n_test\": 10,\n"
      "  \"wall_clock_ms\": 12345678901234567890\n"
      "}");
  EXPECT_EQ(lines_of(json).size(), 22u);
}

TEST(Json, ParsesBackIncludingTheExpression) {
  DiscoverReport r = sample();
  r.formula = "(a\"b + c\\d)\t\x01";
  const nlohmann::json doc = nlohmann::json::parse(r.to_json());
  EXPECT_EQ(doc["formula"], r.formula);
  EXPECT_EQ(doc["verdict_reason"], r.verdict_reason);
  EXPECT_EQ(doc["k"], 5);
  EXPECT_EQ(doc["baselines"]["bic_shuffled_std"].get<double>(), 1.65);
  const nlohmann::json expr = nlohmann::json::parse(doc["expr_json"].get<std::string>());
  EXPECT_EQ(expr["Bin"][0], "Add");
  std::vector<std::string> keys;
  for (const auto& item : doc.items()) keys.push_back(item.key());
  EXPECT_EQ(keys.size(), 15u);

  r.expr_json.clear();
  EXPECT_EQ(nlohmann::json::parse(r.to_json())["expr_json"], "");
}

// Recorded reports: refill the record from the expected JSON (non-finite
// numbers, written as null there, are read back from the pretty text) and
// render both forms again, byte for byte.
double pretty_number(const std::string& token) {
  if (token == "NaN") return kNaN;
  if (token == "inf" || token == "+inf") return kInf;
  if (token == "-inf") return -kInf;
  ADD_FAILURE() << "null in JSON but finite in the text: " << token;
  return 0.0;
}

// The token that follows `mark` on line `line` (from 0).
std::string token_after(const std::vector<std::string>& lines, size_t line,
                        const std::string& mark) {
  const std::string& text = lines.at(line);
  const size_t start = text.find(mark) + mark.size();
  return text.substr(start, text.find(' ', start) - start);
}

double number_or_text(const nlohmann::json& v, const std::vector<std::string>& lines, size_t line,
                      const std::string& mark) {
  return v.is_null() ? pretty_number(token_after(lines, line, mark)) : v.get<double>();
}

TEST(Golden, RendersRecordedReports) {
  const auto files = golden::cases(QUORVEX_GOLDEN_DIR "/discover");
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    const nlohmann::json g = golden::load(path);
    const std::string want_json = g["expected_json"].get<std::string>();
    const std::string want_pretty = g["expected_pretty"].get<std::string>();
    const nlohmann::json j = nlohmann::json::parse(want_json);
    const std::vector<std::string> lines = lines_of(want_pretty);
    ASSERT_EQ(lines.size(), 13u);

    DiscoverReport r;
    r.formula = j["formula"];
    r.expr_json = j["expr_json"];
    r.k = j["k"];
    r.mse_train = number_or_text(j["mse_train"], lines, 3, "train=");
    r.mse_test = number_or_text(j["mse_test"], lines, 3, "test=");
    r.bic = number_or_text(j["bic"], lines, 4, ": ");
    const nlohmann::json& b = j["baselines"];
    r.baselines.bic_const = number_or_text(b["bic_const"], lines, 6, "= ");
    r.baselines.bic_linear = number_or_text(b["bic_linear"], lines, 7, "= ");
    r.baselines.bic_shuffled_mean = number_or_text(b["bic_shuffled_mean"], lines, 8, "= ");
    r.baselines.bic_shuffled_std = number_or_text(b["bic_shuffled_std"], lines, 8, "± ");
    r.delta_bic_const = number_or_text(j["delta_bic_const"], lines, 9, "const = ");
    r.delta_bic_linear = number_or_text(j["delta_bic_linear"], lines, 9, "linear = ");
    r.z_vs_shuffled = number_or_text(j["z_vs_shuffled"], lines, 9, "shuffled = ");
    r.n_train = j["n_train"];
    r.n_test = j["n_test"];
    r.wall_clock_ms = j["wall_clock_ms"];
    r.classify();

    EXPECT_EQ(verdict_name(r.verdict), j["verdict"].get<std::string>());
    EXPECT_EQ(r.verdict_reason, j["verdict_reason"].get<std::string>());
    EXPECT_EQ(2 - static_cast<int>(r.verdict), g["expected_verdict_code"].get<int>());
    EXPECT_EQ(r.to_json(), want_json);
    EXPECT_EQ(r.to_pretty(), want_pretty);
  }
  EXPECT_GT(files.size(), 20u);
}

}  // namespace
}  // namespace quorvex
