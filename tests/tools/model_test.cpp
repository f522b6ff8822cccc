#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "dataset/dataset.h"
#include "expr/read_json.h"

namespace quorvex::cli {
namespace {

std::string error_of(std::string_view text) {
  try {
    model_expression(text);
  } catch (const JsonError& e) {
    return e.what();
  }
  ADD_FAILURE() << "no error for: " << text;
  return {};
}

TEST(ModelJson, ValuesAndEscapes) {
  const JsonValue v = parse_json(
      " {\"a\": [1, -2.5e3, true, false, null], \"s\": "
      "\"q\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83d\\ude00\"}\n");
  ASSERT_EQ(v.type, JsonValue::Type::Object);
  const JsonValue* a = v.find("a");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->items.size(), 5u);
  EXPECT_EQ(a->items[1].number, -2500.0);
  EXPECT_EQ(a->items[1].text, "-2.5e3");
  EXPECT_TRUE(a->items[2].boolean);
  EXPECT_EQ(a->items[4].type, JsonValue::Type::Null);
  EXPECT_EQ(v.find("s")->text, "q\"\\/\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(v.find("missing"), nullptr);
}

TEST(ModelJson, NumbersReadBackExactly) {
  for (double d : {0.1, 1e-300, 5e-324, 1.7976931348623157e308, -0.0, 123456789.123456789}) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, d);
    const JsonValue v = parse_json(std::string_view(buf, static_cast<size_t>(res.ptr - buf)));
    EXPECT_EQ(std::signbit(v.number), std::signbit(d));
    EXPECT_EQ(v.number, d);
  }
}

TEST(ModelJson, MalformedTextIsRefusedWithItsPosition) {
  const struct {
    const char* text;
    const char* words;
  } cases[] = {
      {"", "end of the text"},
      {"{", "member name"},
      {"[1,]", "JSON value"},
      {"[1 2]", "expected ']'"},
      {"01", "leading zero"},
      {"1.", "decimal point"},
      {"1e", "exponent"},
      {"1e400", "out of the range"},
      {"\"a", "not closed"},
      {"\"\t\"", "control character"},
      {"\"\\x\"", "unknown escape"},
      {"\"\\u12\"", "hexadecimal"},
      {"\"\\udc00\"", "lone low"},
      {"\"\\ud800x\"", "low half"},
      {"nul", "JSON value"},
      {"{} {}", "after the JSON value"},
      {"\"\xff\"", "UTF-8"},
  };
  for (const auto& c : cases) {
    try {
      parse_json(c.text);
      ADD_FAILURE() << c.text;
    } catch (const JsonError& e) {
      EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos)
          << c.text << ": " << e.what();
    }
  }
  try {
    parse_json("[1, 2, x]");
  } catch (const JsonError& e) {
    EXPECT_EQ(e.offset(), 7u);
  }
  EXPECT_NE(error_of(std::string(5000, '[')).find("nested too deeply"), std::string::npos);
}

TEST(ModelExpression, EveryNodeKindWritesBackTheSameText) {
  const char* texts[] = {
      R"({"Const":2.5})",
      R"({"Const":-0.0})",
      R"({"Feature":"a\"b\\c\td\u0001é"})",
      R"({"Bin":["Add",{"Feature":"x"},{"Pow":[{"Const":2.5},-1]}]})",
      R"({"Bin":["Div",{"Exp":{"Feature":"x"}},{"Log":{"Sqrt":{"Const":1e+16}}}]})",
      R"({"Bin":["Sub",{"Bin":["Mul",{"Const":0.00001},{"Feature":"y"}]},{"Const":1e-6}]})",
  };
  for (const char* text : texts) EXPECT_EQ(model_expression(text).to_json(), text);
  // Non-finite constants are written as null and read as NaN.
  EXPECT_TRUE(std::isnan(model_expression(R"({"Const":null})").value()));
}

TEST(ModelExpression, AReportCarriesItsExpressionAsText) {
  const std::string report =
      R"js({"formula": "(x + 1.0000e0)", "expr_json": "{\"Bin\":[\"Add\",{\"Feature\":\"x\"},{\"Const\":1.0}]}", "k": 2})js";
  const Expr e = model_expression(report);
  EXPECT_EQ(e.formula(), "(x + 1.0000e0)");
  EXPECT_EQ(expression_features(e), std::vector<std::string>{"x"});

  Dataset data("y");
  data.add_feature("x");
  const double v = 41.0;
  data.push_row(&v, 0.0);
  EXPECT_EQ(e.evaluate(data.row(0)), 42.0);
}

TEST(ModelExpression, WhatIsNotAnExpression) {
  const struct {
    const char* text;
    const char* words;
  } cases[] = {
      {R"({"formula": "x", "k": 0})", "no \"expr_json\""},
      {R"({"expr_json": 3})", "not a string"},
      {R"({"expr_json": ""})", "empty"},
      {R"({"expr_json": "{\"Const\":"})", "in the report's \"expr_json\""},
      {R"([1])", "exactly one member"},
      {R"({"Const":"1"})", "holds a number"},
      {R"({"Feature":1})", "holds a name"},
      {R"({"Bin":["Pow",{"Const":1.0},{"Const":1.0}]})", "unknown operator"},
      {R"({"Bin":["Add",{"Const":1.0}]})", "[operator, left, right]"},
      {R"({"Pow":[{"Const":1.0},1.5]})", "32-bit integer"},
      {R"({"Pow":[{"Const":1.0},4294967296]})", "32-bit integer"},
      {R"({"Tan":{"Const":1.0}})", "unknown node"},
  };
  for (const auto& c : cases)
    EXPECT_NE(error_of(c.text).find(c.words), std::string::npos)
        << c.text << ": " << error_of(c.text);
}

TEST(ModelExpression, FeaturesInFirstUseOrder) {
  const Expr e = model_expression(
      R"({"Bin":["Add",{"Bin":["Mul",{"Feature":"b"},{"Feature":"a"}]},{"Exp":{"Feature":"b"}}]})");
  EXPECT_EQ(expression_features(e), (std::vector<std::string>{"b", "a"}));
}

}  // namespace
}  // namespace quorvex::cli
