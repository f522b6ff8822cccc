#include "refine/display.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "expr/parse.h"
#include "refine/refine.h"
#include "refine/render.h"

namespace quorvex {
namespace {

// Positive features on a spread of values, and n of both signs.
Dataset rows() {
  Dataset d("target");
  const std::vector<std::string> names = {"x",  "y", "m", "S", "V", "n", "T", "t",
                                          "s5", "b", "a", "q", "E", "B", "v"};
  for (const std::string& name : names) d.add_feature(name);
  for (int i = 0; i < 40; ++i) {
    std::vector<double> row;
    for (size_t j = 0; j < names.size(); ++j)
      row.push_back(0.3 + std::fmod(0.37 * i + 0.61 * j, 3.1));
    row[5] = (i % 2 ? 1.0 : -1.0) * row[5];  // n
    d.push_row(row.data(), 0.0);
  }
  return d;
}

std::string shown(const std::string& classic) {
  return show_formula(parse_formula(classic), rows()).text;
}

TEST(Display, FoundLawsReadAsWritten) {
  const std::pair<const char*, const char*> cases[] = {
      {"(3.2000e0 * exp((1.7000e0 * log(x))))", "3.2*x^1.7"},
      {"((exp((1.7 * log(x))) - x) + x)", "x^1.7"},
      {"exp((log(x) * y))", "x^y"},
      {"(2.0000e-2 * sqrt(sqrt((m^3))))", "0.02*m^0.75"},
      {"(4.857142857142857 / (1.4285714285714286 + (S^-1)))", "3.4*S/(S + 0.7)"},
      {"(8.3140e0 / (V / (n * T)))", "8.314*n*T/V"},
      {"log(exp(s5))", "s5"},
      {"(cos(x) + cos(x))", "2*cos(x)"},
      {"(-1 * (-1.6133e6 * x))", "1.6133e6*x"},
      {"(213.809 + (-213.809 * exp((-0.547237 * x))))", "213.809*(1 - exp(-0.547237*x))"},
      {"(exp((-0.8047189562170501 + exp((-0.8 * t))))^-2)", "5*exp(-2*exp(-0.8*t))"},
      {"(a * exp((-0.7 * b)))", "a*exp(-0.7*b)"},
      {"((E * q) + ((sin(x) * (B * v)) * q))", "q*(E + sin(x)*B*v)"},
      {"(cos((-1.5707963267948966 + x)) * q)", "sin(x)*q"},
      {"(cos((x + -9308.53911195)) * q)", "cos(x + 3.14151329)*q"},
      {"sin((x + 62.83185307179586))", "sin(x)"},
      {"((sqrt(x) * sqrt(y)) * sqrt((m^-1)))", "sqrt(x*y/m)"},
      {"(1.0 / (-1.0 + exp(x)))", "1/(exp(x) - 1)"},
      {"(2.5e-8 * x)", "2.5e-8*x"},
  };
  for (const auto& [tree, text] : cases) EXPECT_EQ(shown(tree), text) << tree;
}

TEST(Display, RewritesHoldOnEveryRowOrAreLeftOut) {
  // n takes both signs: sqrt(n^2) is |n|, not n; exp(2·log n) is not n^2.
  EXPECT_EQ(shown("sqrt((n^2))"), "sqrt(n^2)");
  EXPECT_EQ(shown("exp((2 * log(n)))"), "exp(2*log(n))");
  // On x > 0 both hold.
  EXPECT_EQ(shown("sqrt((x^2))"), "x");
  // Whatever is displayed reads back to the tree's values within 1e-5.
  const Dataset d = rows();
  for (const char* tree :
       {"((1.234567891 * x) + (9.87654321e-3 / (y + 0.1234567)))",
        "(0.5 - (0.5 * cos((12.566370614359172 * (t * x)))))", "(exp((y * log(x))) * 1.0000001)"}) {
    const Expr e = parse_formula(tree);
    const Expr back = parse_formula(show_formula(e, d).text);
    for (size_t i = 0; i < d.n_rows(); ++i) {
      const double want = e.evaluate(d.row(i));
      EXPECT_NEAR(back.evaluate(d.row(i)), want, 1e-5 * std::fabs(want)) << tree;
    }
  }
}

TEST(Display, OddTreesKeepATextThatReadsBack) {
  const Dataset d = rows();
  const Expr nan_inside =
      Expr::cos(Expr::bin(Op::Add, Expr::feature("x"), Expr::constant(std::nan(""))));
  EXPECT_EQ(show_formula(nan_inside, d).text, nan_inside.formula());
  Expr deep = Expr::feature("x");
  for (int i = 0; i < 100; ++i) deep = Expr::sin(std::move(deep));
  EXPECT_EQ(show_formula(deep, d).text, deep.formula());
}

TEST(Display, LatexOfTheSameForm) {
  const Dataset d = rows();
  EXPECT_EQ(
      show_formula(parse_formula("(4.857142857142857 / (1.4285714285714286 + (S^-1)))"), d).latex,
      "\\frac{3.4 S}{S + 0.7}");
  EXPECT_EQ(show_formula(parse_formula("(3.2 * exp((-0.5 * (t^2))))"), d).latex,
            "3.2 e^{-0.5 t^{2}}");
  EXPECT_EQ(show_formula(parse_formula("(2.5e-8 * sqrt(x))"), d).latex,
            "2.5 \\cdot 10^{-8} \\sqrt{x}");
}

TEST(Display, ConstantsHaveTheFewestDigitsWithinOnePerMillion) {
  EXPECT_EQ(shown_number(2.5), "2.5");
  EXPECT_EQ(shown_number(8.31400000001), "8.314");
  EXPECT_EQ(shown_number(213.80912), "213.809");
  EXPECT_EQ(shown_number(-0.5472371), "-0.547237");
  EXPECT_EQ(shown_number(1e-4), "0.0001");
  EXPECT_EQ(shown_number(9.9e-5), "9.9e-5");
  EXPECT_EQ(shown_number(999999.0), "999999");
  EXPECT_EQ(shown_number(1234567.0), "1.23457e6");
  EXPECT_EQ(shown_number(2.0), "2");
  EXPECT_EQ(shown_number(0.1 + 0.2, 17), "0.30000000000000004");
}

TEST(ParseFormula, PrecedenceAndTheClassicForm) {
  const Dataset d = rows();
  const Row r = d.row(3);
  const double x = r.value("x");
  const double y = r.value("y");
  EXPECT_DOUBLE_EQ(parse_formula("-x^2").evaluate(r), -x * x);
  EXPECT_DOUBLE_EQ(parse_formula("x^-1").evaluate(r), 1 / x);
  EXPECT_DOUBLE_EQ(parse_formula("2^3^2").evaluate(r), 512.0);
  EXPECT_DOUBLE_EQ(parse_formula("x - y - 1").evaluate(r), x - y - 1);
  EXPECT_DOUBLE_EQ(parse_formula("x/y/2").evaluate(r), x / y / 2);
  EXPECT_NEAR(parse_formula("x^1.5").evaluate(r), std::pow(x, 1.5), 1e-12);
  const Expr classic = parse_formula("((x^2) + (2.5000e0 * sqrt(y)))");
  EXPECT_EQ(classic.formula(), "((x^2) + (2.5000e0 * sqrt(y)))");
  for (const char* bad : {"", "x +", "(x", "x)", "foo(x)", "2 3", "x @ y", "1e999"})
    EXPECT_THROW(parse_formula(bad), FormulaError) << bad;
  EXPECT_THROW(parse_formula(std::string(3000, '(') + "x" + std::string(3000, ')')), FormulaError);
}

TEST(FrontTable, ConstantFirstNoDuplicatesNothingPastTheNoise) {
  RefinedResult r;
  r.train = rows();
  r.test = rows();
  const auto entry = [](uint32_t k, double mse, double bic, const char* text) {
    FrontEntry e;
    e.complexity = k;
    e.mse_train = mse;
    e.bic = bic;
    e.tree = parse_formula(text);
    e.shown = text;
    return e;
  };
  r.front = {entry(3, 1.0, 10, "3.8*b"),
             entry(4, 1.0 * (1 - 1e-14), 11, "3.8*b/1"),
             entry(5, 0.5, 5, "x*b"),
             entry(7, 0.1, 2, "x*b + y"),
             entry(9, 0.0999, 4, "x*b + y + 0"),
             entry(11, 0.01, 6, "x*b*y")};
  r.report.k = 7;
  r.report.bic = 2;
  const std::vector<std::string> lines = front_table(r);
  ASSERT_EQ(lines.size(), 2u + 4 + 1);
  EXPECT_EQ(lines[2].substr(0, 12), "           1");  // the constant model
  EXPECT_NE(lines[3].find("3.8*b"), std::string::npos);
  EXPECT_NE(lines[4].find("x*b"), std::string::npos);
  EXPECT_EQ(lines[5].substr(0, 2), "* ");
  EXPECT_EQ(lines[6], "  (2 more complex entries no better beyond the noise: in the JSON report)");
}

}  // namespace
}  // namespace quorvex
