#include "csv.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace quorvex::csv {
namespace {

using Names = std::vector<std::string>;

// The error parse() raises for `text`, with its location.
struct Failure {
  std::string message;
  size_t line = 0;
  size_t column = 0;
};

Failure parse_failure(std::string_view text) {
  try {
    parse(text);
  } catch (const CsvError& e) {
    return {e.what(), e.line(), e.column()};
  }
  ADD_FAILURE() << "no error for: " << text;
  return {};
}

TEST(CsvParse, LineEndingsAndTrailingBlankLinesDoNotMatter) {
  for (const char* text : {"a,b\n1,2\n3,4", "a,b\n1,2\n3,4\n", "a,b\r\n1,2\r\n3,4\r\n",
                           "a,b\r\n1,2\n3,4\r\n\r\n  \n\n",
                           "\xEF\xBB\xBF"
                           "a,b\n1,2\n3,4\n"}) {
    const CsvTable t = parse(text);
    EXPECT_EQ(t.header, (Names{"a", "b"})) << text;
    EXPECT_EQ(t.cells, (std::vector<double>{1, 2, 3, 4})) << text;
    EXPECT_EQ(t.n_rows(), 2u);
  }
}

TEST(CsvParse, QuotedNamesKeepCommasQuotesAndBlanks) {
  const CsvTable t =
      parse("\"x, cm\" , \"say \"\"hi\"\"\",\" pad \", plain ,température\n1,2,3,4,5\n");
  EXPECT_EQ(t.header, (Names{"x, cm", "say \"hi\"", " pad ", "plain", "température"}));
  EXPECT_EQ(t.at(0, 4), 5.0);
}

TEST(CsvParse, DuplicateNamesAreKept) {
  const CsvTable t = parse("x,x,y\n1,2,3\n");
  EXPECT_EQ(t.header, (Names{"x", "x", "y"}));
  EXPECT_EQ(t.at(0, 1), 2.0);
}

TEST(CsvParse, CellsMayBeQuotedOrPadded) {
  const CsvTable t = parse("a,b,c\n \"1.5\" ,\t-2 ,\"+3e2\"\n");
  EXPECT_EQ(t.cells, (std::vector<double>{1.5, -2.0, 300.0}));
}

TEST(CsvParse, SingleColumn) {
  const CsvTable t = parse("y\n1\n2\n");
  EXPECT_EQ(t.n_columns(), 1u);
  EXPECT_EQ(t.n_rows(), 2u);
}

TEST(CsvNumber, AcceptedForms) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<const char*, double>> cases = {
      {"0", 0.0},
      {"42", 42.0},
      {"-7.25", -7.25},
      {"+7.25", 7.25},
      {".5", 0.5},
      {"5.", 5.0},
      {"1e3", 1000.0},
      {"1E-3", 0.001},
      {"2.5e+2", 250.0},
      {"inf", inf},
      {"INF", inf},
      {"-Inf", -inf},
      {"+inf", inf},
      {"0.1", 0.1},
      {"1e308", 1e308},
      {"4.9e-324", 4.9e-324},
      {"0.30000000000000004", 0.30000000000000004}};
  for (const auto& [text, expected] : cases) {
    double v = -1.0;
    ASSERT_EQ(parse_number(text, v), NumberStatus::kOk) << text;
    EXPECT_EQ(v, expected) << text;
  }
  double v = 0.0;
  for (const char* text : {"nan", "NaN", "NAN", "-nan"}) {
    ASSERT_EQ(parse_number(text, v), NumberStatus::kOk) << text;
    EXPECT_TRUE(std::isnan(v)) << text;
  }
  ASSERT_EQ(parse_number("-0", v), NumberStatus::kOk);
  EXPECT_TRUE(std::signbit(v));
}

TEST(CsvNumber, RejectedForms) {
  for (const char* text : {"", "-", "+", "abc", "1.5x", "1 5", "0x10", "1e", "--1", "+-1", "e5",
                           ".", "infinity", "nan(1)", "inff", "1,5", "１"}) {
    double v = 0.0;
    EXPECT_EQ(parse_number(text, v), NumberStatus::kNotANumber) << text;
  }
  double v = 0.0;
  EXPECT_EQ(parse_number("1e400", v), NumberStatus::kOutOfRange);
  EXPECT_EQ(parse_number("-1e400", v), NumberStatus::kOutOfRange);
}

TEST(CsvParse, ErrorsCarryTheirLocation) {
  struct Case {
    const char* text;
    size_t line;
    size_t column;
    const char* words;
  };
  const Case cases[] = {
      {"", 0, 0, "empty"},
      {"\n\r\n  \n", 0, 0, "empty"},
      {"a,b\n", 0, 0, "no rows"},
      {"a,b\n\n1,2\n", 2, 0, "blank line"},
      {"a,b\n1,2\n3,x\n", 3, 2, "\"x\" in column \"b\" is not a number"},
      {"a,b\n1,\"x\"\"\"\n", 2, 2, "\"x\"\" in column \"b\" is not a number"},
      {"a,b\n1,1e999\n", 2, 2, "out of the range"},
      {"a,b,c\n1,2\n", 2, 3, "2 cells but the header has 3"},
      {"a,b\n1,2,3,4\n", 2, 3, "4 cells but the header has 2"},
      {"a,b\n1,2,\n", 2, 3, "3 cells"},
      {"a,\"b\n1,2\n", 1, 2, "not closed"},
      {"a,\"b\"c\n1,2\n", 1, 2, "after the closing quote"},
      {"a,b\"c\n1,2\n", 1, 2, "a quote inside"},
      {"a,,c\n1,2,3\n", 1, 2, "empty"},
      {"a,\xFF\n1,2\n", 1, 2, "UTF-8"},
      {"a,\xC0\x80\n1,2\n", 1, 2, "UTF-8"},
  };
  for (const Case& c : cases) {
    const Failure f = parse_failure(c.text);
    EXPECT_EQ(f.line, c.line) << c.text;
    EXPECT_EQ(f.column, c.column) << c.text;
    EXPECT_NE(f.message.find(c.words), std::string::npos) << f.message;
  }
  const Failure nul = parse_failure(std::string_view("a,b\0c\n1,2\n", 10));
  EXPECT_EQ(nul.line, 1u);
  EXPECT_EQ(nul.column, 2u);
}

TEST(CsvParse, ReportsTheFirstBadLine) {
  const Failure f = parse_failure("a,b\n1,2\n3\n4,y\n");
  EXPECT_EQ(f.line, 3u);
  EXPECT_EQ(f.column, 2u);
}

TEST(CsvParse, MessagesShowControlBytesAndStayShort) {
  const std::string long_cell(200, 'z');
  const Failure f = parse_failure("a\n" + long_cell + "\n");
  EXPECT_EQ(f.message.find(long_cell.substr(0, 41)), std::string::npos);
  const Failure g = parse_failure("a\n1\x01\n");
  EXPECT_EQ(g.message.find('\x01'), std::string::npos);
}

TEST(CsvParse, SeparatorIsDetectedFromTheHeaderOrGiven) {
  for (const char* text : {"a;b;y\n1;2,5;3\n", "a\tb\ty\n 1\t2,5\t3\n"}) {
    const Header h = parse_header(text);
    EXPECT_EQ(h.names, (Names{"a", "b", "y"})) << text;
  }
  EXPECT_EQ(parse_header("a;b,c;d\n").separator, ';');
  EXPECT_EQ(parse_header("\"x;y\",z\n").separator, ',');  // quoted separators do not count
  EXPECT_EQ(parse_header("y\n").separator, ',');
  EXPECT_EQ(parse_header("a,b|c\n", '|').names, (Names{"a,b", "c"}));
  // A decimal comma is named as the likely cause.
  const Header h = parse_header("a;y\n1,5;2\n");
  try {
    parse_rows("a;y\n1,5;2\n", h, {0, 1}, 1);
    FAIL();
  } catch (const CsvError& e) {
    EXPECT_NE(std::string(e.what()).find("decimal comma"), std::string::npos) << e.what();
  }
}

TEST(CsvParse, LoneCarriageReturnsEndLines) {
  const CsvTable t = parse("x,y\r1,2\r3,4\r");
  EXPECT_EQ(t.n_rows(), 2u);
  EXPECT_EQ(t.cells, (std::vector<double>{1, 2, 3, 4}));
}

TEST(CsvParse, MissingValuesReadAsNaN) {
  const CsvTable t = parse("a,b,c,d,e,f,g\n,NA,n/a,#N/A,null,None,\"\"\n");
  ASSERT_EQ(t.n_rows(), 1u);
  for (double v : t.cells) EXPECT_TRUE(std::isnan(v));
}

TEST(CsvParse, OnlyChosenColumnsAreReadButEveryRowIsCounted) {
  const std::string text = "id,x,name,y\n1,2,bob,3\n4,5,amy,6\n";
  const Header h = parse_header(text);
  const CsvTable t = parse_rows(text, h, {3, 1}, 3);
  EXPECT_EQ(t.header, (Names{"y", "x"}));
  EXPECT_EQ(t.cells, (std::vector<double>{3, 2, 6, 5}));
  EXPECT_EQ(parse_rows(text, h, {}).n_rows(), 2u);
  try {
    parse_rows(text, h, {1, 2, 3}, 3);
    FAIL();
  } catch (const CsvError& e) {
    EXPECT_NE(std::string(e.what()).find("--exclude \"name\""), std::string::npos) << e.what();
    EXPECT_EQ(e.column(), 3u);
  }
  EXPECT_THROW(parse_rows("a,b\n1,2,3\n", parse_header("a,b\n"), {0}), CsvError);
}

TEST(CsvSelect, FeaturesExcludeAndTarget) {
  const Names names{"id", "a", "b", "y"};
  EXPECT_EQ(select_columns(names, {}).features, (std::vector<size_t>{0, 1, 2}));
  EXPECT_EQ(select_columns(names, {std::nullopt, {}, {"id"}, std::nullopt}).features,
            (std::vector<size_t>{1, 2}));
  const Columns c = select_columns(names, {"a", {"b", "id"}, {}, std::nullopt});
  EXPECT_EQ(c.features, (std::vector<size_t>{2, 0}));
  EXPECT_EQ(c.target, 1u);
  // A weights column is read, never a feature.
  const Columns w = select_columns(names, {std::nullopt, {}, {}, "id"});
  EXPECT_EQ(w.features, (std::vector<size_t>{1, 2}));
  EXPECT_EQ(w.weights, 0u);
}

TEST(CsvSelect, RefusesWhatAFormulaCouldNotUse) {
  struct Case {
    Names names;
    Selection selection;
    const char* words;
  };
  const Case cases[] = {
      {{"a", "a", "y"}, {}, "columns 1 and 2: a formula could not tell them apart"},
      {{"y", "x", "y"}, {}, "columns 1 and 3"},
      {{"a", "b", "a", "y"}, {std::nullopt, {"a"}, {}, std::nullopt}, "columns 1 and 3"},
      {{"", "a", "y"}, {}, "looks like an index column"},
      {{"a", "", "y"}, {}, "column 2 has no name"},
      {{"a", "y"},
       {std::nullopt, {"q"}, {}, std::nullopt},
       "--features names \"q\", which is not a column"},
      {{"a", "y"}, {std::nullopt, {}, {"q"}, std::nullopt}, "--exclude names \"q\""},
      {{"a", "y"}, {std::nullopt, {"y"}, {}, std::nullopt}, "--features names the target"},
      {{"a", "y"}, {std::nullopt, {}, {"y"}, std::nullopt}, "--exclude names the target"},
      {{"a", "y"}, {std::nullopt, {}, {}, "y"}, "--weights names the target"},
      {{"a", "w", "y"}, {std::nullopt, {"w"}, {}, "w"}, "--features names the weights column"},
      {{"a", "y"}, {std::nullopt, {}, {}, "q"}, "--weights names \"q\", which is not a column"},
  };
  for (const Case& c : cases) {
    try {
      select_columns(c.names, c.selection);
      ADD_FAILURE() << c.words;
    } catch (const CsvError& e) {
      EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << e.what();
    }
  }
  // Left out, a repeated or unnamed column does no harm.
  EXPECT_EQ(select_columns({"", "a", "a", "y"}, {std::nullopt, {}, {"", "a"}, std::nullopt})
                .features.size(),
            0u);
}

TEST(CsvTarget, DefaultIsTheLastColumn) {
  EXPECT_EQ(target_column({"a", "b", "c"}, std::nullopt), 2u);
  EXPECT_EQ(target_column({"y", "x", "y"}, std::nullopt), 2u);
}

TEST(CsvTarget, ByName) {
  EXPECT_EQ(target_column({"a", "b", "c"}, "b"), 1u);
  EXPECT_EQ(target_column({"a", "a", "c"}, "c"), 2u);
}

TEST(CsvTarget, UnknownOrAmbiguousNames) {
  try {
    target_column({"a", "b"}, "B");
    FAIL();
  } catch (const CsvError& e) {
    EXPECT_NE(std::string(e.what()).find("\"B\""), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("\"a\", \"b\""), std::string::npos);
  }
  try {
    target_column({"y", "x", "y"}, "y");
    FAIL();
  } catch (const CsvError& e) {
    EXPECT_EQ(e.line(), 1u);
    EXPECT_EQ(e.column(), 3u);
  }
}

TEST(CsvDescribe, LeavesOutWhatDoesNotApply) {
  EXPECT_EQ(describe("d.csv", CsvError("bad", 3, 4)), "d.csv:3:4: bad");
  EXPECT_EQ(describe("d.csv", CsvError("bad", 3)), "d.csv:3: bad");
  EXPECT_EQ(describe("d.csv", CsvError("bad")), "d.csv: bad");
}

}  // namespace
}  // namespace quorvex::csv
