#include "text/json.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "rng/lcg.h"

namespace quorvex {
namespace {

std::string num(double v) {
  std::string out;
  append_json_number(out, v);
  return out;
}

std::string str(std::string_view s) {
  std::string out;
  append_json_string(out, s);
  return out;
}

TEST(JsonNumber, NonFiniteIsNull) {
  EXPECT_EQ(num(std::numeric_limits<double>::quiet_NaN()), "null");
  EXPECT_EQ(num(-std::numeric_limits<double>::quiet_NaN()), "null");
  EXPECT_EQ(num(std::numeric_limits<double>::infinity()), "null");
  EXPECT_EQ(num(-std::numeric_limits<double>::infinity()), "null");
}

TEST(JsonNumber, Zeros) {
  EXPECT_EQ(num(0.0), "0.0");
  EXPECT_EQ(num(-0.0), "-0.0");
}

TEST(JsonNumber, ExamplesOfTheRules) {
  EXPECT_EQ(num(1.0), "1.0");
  EXPECT_EQ(num(100.0), "100.0");
  EXPECT_EQ(num(120.0), "120.0");
  EXPECT_EQ(num(1e15), "1000000000000000.0");
  EXPECT_EQ(num(12.5), "12.5");
  EXPECT_EQ(num(0.001), "0.001");
  EXPECT_EQ(num(1.5e-5), "0.000015");
  EXPECT_EQ(num(1e-5), "0.00001");
  EXPECT_EQ(num(1e16), "1e+16");
  EXPECT_EQ(num(1.5e-7), "1.5e-7");
  EXPECT_EQ(num(1e-6), "1e-6");
  EXPECT_EQ(num(2.5e100), "2.5e+100");
  EXPECT_EQ(num(1.7976931348623157e308), "1.7976931348623157e+308");
  EXPECT_EQ(num(5e-324), "5e-324");
  EXPECT_EQ(num(-1234.5678), "-1234.5678");
  EXPECT_EQ(num(2.5), "2.5");
  EXPECT_EQ(num(-0.22927392795445214), "-0.22927392795445214");
  EXPECT_EQ(num(0.1), "0.1");
  EXPECT_EQ(num(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(num(123456789012345680.0), "1.2345678901234568e+17");
  EXPECT_EQ(num(1234567890123456.7), "1234567890123456.8");
  EXPECT_EQ(num(9007199254740993.0), "9007199254740992.0");
  EXPECT_EQ(num(-1.5e15), "-1500000000000000.0");
  EXPECT_EQ(num(0.000123), "0.000123");
  EXPECT_EQ(num(-9.999e-5), "-0.00009999");
  EXPECT_EQ(num(-9.999e-6), "-9.999e-6");
  EXPECT_EQ(num(2.2250738585072014e-308), "2.2250738585072014e-308");
}

TEST(JsonNumber, RandomBitPatternsReadBackToTheSameBits) {
  Lcg rng(12345);
  for (int i = 0; i < 200000; ++i) {
    const uint64_t bits = rng.next_u64();
    const double v = std::bit_cast<double>(bits);
    const std::string text = num(v);
    if (!std::isfinite(v)) {
      EXPECT_EQ(text, "null");
      continue;
    }
    const auto parsed = nlohmann::json::parse(text);
    ASSERT_TRUE(parsed.is_number_float()) << text;
    const double back = parsed.get<double>();
    ASSERT_EQ(std::bit_cast<uint64_t>(back), bits) << text;
    // Also with strtod, which is correctly rounded.
    ASSERT_EQ(std::bit_cast<uint64_t>(std::strtod(text.c_str(), nullptr)), bits) << text;
  }
}

TEST(JsonNumber, RandomMagnitudesNearThePlainRangeReadBack) {
  // Values spread over 1e-8 .. 1e18 so both notations and their borders are hit.
  Lcg rng(7);
  for (int i = 0; i < 100000; ++i) {
    const double e = -8.0 + 26.0 * rng.next_f64();
    double v = std::pow(10.0, e);
    if (rng.next_f64() < 0.3) v = std::round(v);
    if (rng.next_f64() < 0.5) v = -v;
    const std::string text = num(v);
    const auto parsed = nlohmann::json::parse(text);
    ASSERT_TRUE(parsed.is_number_float()) << text;
    ASSERT_EQ(std::bit_cast<uint64_t>(parsed.get<double>()), std::bit_cast<uint64_t>(v)) << text;
    const bool has_exp = text.find('e') != std::string::npos;
    const double a = std::fabs(v);
    if (v != 0.0) {
      // Plain exactly when 1e-5 <= |v| < 1e16 (by the decimal exponent of the shortest digits).
      if (a >= 1e-5 && a < 1e16) {
        EXPECT_FALSE(has_exp) << text;
      } else if (a < 9.99e-6 || a >= 1e16) {
        EXPECT_TRUE(has_exp) << text;
      }
    }
    if (!has_exp) {
      EXPECT_NE(text.find('.'), std::string::npos) << text;
    }
  }
}

TEST(JsonString, Escapes) {
  EXPECT_EQ(str(""), "\"\"");
  EXPECT_EQ(str("x"), "\"x\"");
  EXPECT_EQ(str("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(str("a\\b"), "\"a\\\\b\"");
  EXPECT_EQ(str("\b\t\n\f\r"), "\"\\b\\t\\n\\f\\r\"");
  EXPECT_EQ(str("\x01"), "\"\\u0001\"");
  EXPECT_EQ(str("\x1f"), "\"\\u001f\"");
  EXPECT_EQ(str("\x0b"), "\"\\u000b\"");
  EXPECT_EQ(str(std::string_view("\0", 1)), "\"\\u0000\"");
  EXPECT_EQ(str("/\x7f"), "\"/\x7f\"");
  EXPECT_EQ(str("\xce\x94 delta"), "\"\xce\x94 delta\"");
  EXPECT_EQ(str("tab\there"), "\"tab\\there\"");
}

TEST(JsonString, EveryByteRoundTripsThroughAParser) {
  std::string all;
  for (int c = 1; c < 0x80; ++c) all += static_cast<char>(c);
  all += '\0';
  const std::string text = str(all);
  EXPECT_EQ(text.find('\0'), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(text).get<std::string>(), all);
}

TEST(JsonWriter, CompactHasNoWhitespace) {
  JsonWriter w(JsonWriter::Style::Compact);
  w.begin_object();
  w.key("Bin");
  w.begin_array();
  w.value_string("Add");
  w.begin_object();
  w.key("Feature");
  w.value_string("x");
  w.end_object();
  w.begin_object();
  w.key("Pow");
  w.begin_array();
  w.begin_object();
  w.key("Const");
  w.value(2.5);
  w.end_object();
  w.value_int(-1);
  w.end_array();
  w.end_object();
  w.end_array();
  w.end_object();
  EXPECT_EQ(w.str(), R"({"Bin":["Add",{"Feature":"x"},{"Pow":[{"Const":2.5},-1]}]})");
}

TEST(JsonWriter, CompactMixedMembers) {
  JsonWriter w(JsonWriter::Style::Compact);
  w.begin_object();
  w.key("a");
  w.value(std::numeric_limits<double>::quiet_NaN());
  w.key("b");
  w.begin_array();
  w.end_array();
  w.key("c");
  w.begin_object();
  w.end_object();
  w.key("d");
  w.value_uint(18446744073709551615ull);
  w.key("e");
  w.value_int(std::numeric_limits<int64_t>::min());
  w.end_object();
  EXPECT_EQ(w.take(),
            R"({"a":null,"b":[],"c":{},"d":18446744073709551615,"e":-9223372036854775808})");
}

TEST(JsonWriter, PrettyMatchesTheReportLayout) {
  JsonWriter w(JsonWriter::Style::Pretty);
  w.begin_object();
  w.key("formula");
  w.value_string("(x + 2.5000e0)");
  w.key("k");
  w.value_uint(3);
  w.key("bic");
  w.value(std::numeric_limits<double>::infinity());
  w.key("baselines");
  w.begin_object();
  w.key("bic_const");
  w.value(120.0);
  w.key("bic_linear");
  w.value(-0.0);
  w.end_object();
  w.key("z_vs_shuffled");
  w.value(0.0);
  w.key("wall_clock_ms");
  w.value_uint(0);
  w.end_object();
  const std::string expected =
      "{\n"
      "  \"formula\": \"(x + 2.5000e0)\",\n"
      "  \"k\": 3,\n"
      "  \"bic\": null,\n"
      "  \"baselines\": {\n"
      "    \"bic_const\": 120.0,\n"
      "    \"bic_linear\": -0.0\n"
      "  },\n"
      "  \"z_vs_shuffled\": 0.0,\n"
      "  \"wall_clock_ms\": 0\n"
      "}";
  EXPECT_EQ(w.str(), expected);
  const auto parsed = nlohmann::json::parse(w.str());
  EXPECT_EQ(parsed["baselines"]["bic_const"].get<double>(), 120.0);
  EXPECT_TRUE(parsed["bic"].is_null());
}

TEST(JsonWriter, PrettyArraysAndEmptyContainers) {
  JsonWriter w(JsonWriter::Style::Pretty);
  w.begin_object();
  w.key("list");
  w.begin_array();
  w.value_int(1);
  w.begin_object();
  w.key("a");
  w.value_string("b");
  w.end_object();
  w.end_array();
  w.key("empty");
  w.begin_object();
  w.end_object();
  w.key("none");
  w.begin_array();
  w.end_array();
  w.end_object();
  const std::string expected =
      "{\n"
      "  \"list\": [\n"
      "    1,\n"
      "    {\n"
      "      \"a\": \"b\"\n"
      "    }\n"
      "  ],\n"
      "  \"empty\": {},\n"
      "  \"none\": []\n"
      "}";
  EXPECT_EQ(w.str(), expected);
}

TEST(JsonWriter, TopLevelScalar) {
  JsonWriter w(JsonWriter::Style::Pretty);
  w.value(1e16);
  EXPECT_EQ(w.str(), "1e+16");
}

TEST(JsonWriter, EscapedJsonInsideAString) {
  JsonWriter inner(JsonWriter::Style::Compact);
  inner.begin_object();
  inner.key("Feature");
  inner.value_string("a\"b");
  inner.end_object();
  JsonWriter outer(JsonWriter::Style::Pretty);
  outer.begin_object();
  outer.key("expr_json");
  outer.value_string(inner.str());
  outer.end_object();
  EXPECT_EQ(outer.str(), "{\n  \"expr_json\": \"{\\\"Feature\\\":\\\"a\\\\\\\"b\\\"}\"\n}");
  const auto doc = nlohmann::json::parse(outer.str());
  const auto again = nlohmann::json::parse(doc["expr_json"].get<std::string>());
  EXPECT_EQ(again["Feature"].get<std::string>(), "a\"b");
}

}  // namespace
}  // namespace quorvex
