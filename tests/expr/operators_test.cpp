#include "expr/operators.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "expr/generator.h"

namespace quorvex {
namespace {

Expr f(const char* name) { return Expr::feature(name); }

std::string parse_error(const char* text) {
  try {
    OperatorSet::parse(text);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(OperatorSet, ReadsNamesAliasesAndWeightsAndWritesThemBack) {
  const OperatorSet s = OperatorSet::parse(" + , mul, sin:3,abs ");
  EXPECT_TRUE(s.has(Operator::Add));
  EXPECT_TRUE(s.has(Operator::Mul));
  EXPECT_FALSE(s.has(Operator::Sub));
  EXPECT_EQ(s.weight(Operator::Sin), 3u);
  EXPECT_EQ(s.text(), "+,*,sin:3,abs");
  EXPECT_EQ(OperatorSet::parse(s.text()), s);
  EXPECT_EQ(OperatorSet::defaults().text(), "+,-,*,/,pow,exp,log,sqrt,sin,cos");
  EXPECT_EQ(OperatorSet::parse(OperatorSet::all().text()), OperatorSet::all());
}

TEST(OperatorSet, RefusesWhatItCannotRead) {
  EXPECT_NE(parse_error("").find("empty name"), std::string::npos);
  EXPECT_NE(parse_error("+,,*").find("empty name"), std::string::npos);
  EXPECT_NE(parse_error("+,").find("empty name"), std::string::npos);
  EXPECT_NE(parse_error("tan").find("unknown operator \"tan\"; known: +, -"), std::string::npos);
  EXPECT_NE(parse_error("sin,sin").find("given twice"), std::string::npos);
  EXPECT_NE(parse_error("add,+").find("given twice"), std::string::npos);
  for (const char* bad :
       {"sin:0", "sin:101", "sin:", "sin:1.5", "sin:-1", "sin:2x", "sin:99999999999"})
    EXPECT_NE(parse_error(bad).find("whole number from 1 to 100"), std::string::npos) << bad;
  EXPECT_EQ(OperatorSet::parse("sin:100").weight(Operator::Sin), 100u);
}

// The names, the words, the nodes an operator builds and operator_of agree
// for every operator, whatever order the enumerations list them in.
TEST(OperatorSet, NamesWordsAndNodesMapToTheSameOperator) {
  EXPECT_EQ(OperatorSet::parse("add,sub,mul,div"), OperatorSet::parse("+,-,*,/"));
  for (size_t i = 0; i < kOperatorCount; ++i) {
    const auto op = static_cast<Operator>(i);
    OperatorSet only;
    only.set(op, 1);
    EXPECT_EQ(OperatorSet::parse(operator_name(op)), only) << operator_name(op);
    const Expr node = is_binary(op)                      ? Expr::bin(binary_op(op), f("x"), f("y"))
                      : node_kind(op) == Expr::Kind::Pow ? Expr::pow(f("x"), 2)
                                                         : Expr::function(node_kind(op), f("x"));
    EXPECT_EQ(operator_of(node), op) << operator_name(op);
    EXPECT_TRUE(only.allows(node)) << operator_name(op);
  }
}

TEST(OperatorSet, ComplexityWeighsOperatorsAndAllowsChecksThem) {
  const Expr e = Expr::bin(Op::Mul, Expr::constant(2.0), Expr::sin(f("x")));  // 4 nodes
  EXPECT_EQ(OperatorSet::all().complexity(e), 4u);
  EXPECT_EQ(OperatorSet::parse("*:2,sin:5").complexity(e), 1u + 1u + 2u + 5u);
  // An operator outside the set counts 1 (the scaling's + and *, for one).
  EXPECT_EQ(OperatorSet::parse("sin:5").complexity(e), 1u + 1u + 1u + 5u);
  EXPECT_TRUE(OperatorSet::parse("*,sin").allows(e));
  EXPECT_FALSE(OperatorSet::parse("*,cos").allows(e));
  EXPECT_FALSE(OperatorSet::parse("sin").allows(e));
  EXPECT_TRUE(OperatorSet::parse("sin").allows(f("x")));
}

TEST(OperatorSet, GeneratorBuildsOnlyFromTheSet) {
  for (const char* text : {"+,sin", "*,/,tanh,abs", "pow", "cos", "-"}) {
    const OperatorSet ops = OperatorSet::parse(text);
    ExprGen gen({"x", "y"}, Lcg(5), ops);
    for (int i = 0; i < 500; ++i) {
      const Expr t = gen.random(5);
      // sin and cos come with a multiplier for the fit to move.
      const bool trig_multiplier = ops.has(Operator::Sin) || ops.has(Operator::Cos);
      if (!trig_multiplier) {
        ASSERT_TRUE(ops.allows(t)) << text << ": " << t.formula();
      }
      const Expr m = gen.mutate(t, 4);
      const Expr x = gen.crossover(t, m);
      if (!trig_multiplier) {
        ASSERT_TRUE(ops.allows(m)) << text << ": " << m.formula();
        ASSERT_TRUE(ops.allows(x)) << text << ": " << x.formula();
      }
    }
  }
}

}  // namespace
}  // namespace quorvex
