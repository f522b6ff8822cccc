#include "expr/expr.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "dataset/dataset.h"
#include "expr/compiled.h"
#include "expr/read_json.h"

namespace quorvex {
namespace {

constexpr uint64_t kGuardNaNBits = 0x7FF8000000000000ULL;
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

// One row with x = 2, y = -3; the target is never read.
Dataset xy_data() {
  Dataset ds("t");
  ds.add_feature("x");
  ds.add_feature("y");
  const double v[] = {2.0, -3.0};
  ds.push_row(v, 99.0);
  return ds;
}

Expr c(double v) { return Expr::constant(v); }
Expr f(const char* name) { return Expr::feature(name); }

double eval(const Expr& e) {
  static const Dataset ds = xy_data();
  return e.evaluate(ds.row(0));
}

TEST(Expr, ConstructorsAndAccessors) {
  const Expr e = Expr::bin(Op::Div, f("x"), Expr::pow(c(2.5), -3));
  EXPECT_EQ(e.kind(), Expr::Kind::Bin);
  EXPECT_EQ(e.op(), Op::Div);
  EXPECT_EQ(e.left().kind(), Expr::Kind::Feature);
  EXPECT_EQ(e.left().name(), "x");
  EXPECT_EQ(e.right().kind(), Expr::Kind::Pow);
  EXPECT_EQ(e.right().exponent(), -3);
  EXPECT_EQ(e.right().child().value(), 2.5);
  EXPECT_EQ(Expr::exp(c(1)).kind(), Expr::Kind::Exp);
  EXPECT_EQ(Expr::log(c(1)).kind(), Expr::Kind::Log);
  EXPECT_EQ(Expr::sqrt(c(1)).kind(), Expr::Kind::Sqrt);
  EXPECT_EQ(static_cast<int>(Expr::Kind::Sqrt), 6);
  EXPECT_EQ(static_cast<int>(Op::Div), 3);
}

TEST(Expr, KAndDepthExamples) {
  EXPECT_EQ(f("x").k(), 0u);
  EXPECT_EQ(f("x").depth(), 1u);
  EXPECT_EQ(c(1).k(), 1u);
  EXPECT_EQ(c(1).depth(), 1u);
  const Expr add = Expr::bin(Op::Add, f("x"), c(1));
  EXPECT_EQ(add.k(), 2u);
  EXPECT_EQ(add.depth(), 2u);
  const Expr sl = Expr::sqrt(Expr::log(f("x")));
  EXPECT_EQ(sl.k(), 2u);
  EXPECT_EQ(sl.depth(), 3u);
  const Expr mp = Expr::bin(Op::Mul, Expr::pow(f("x"), 2), c(3));
  EXPECT_EQ(mp.k(), 3u);
  EXPECT_EQ(mp.depth(), 3u);
  // Only features and binary operators: k is the number of operator nodes.
  const Expr ops = Expr::bin(Op::Sub, Expr::bin(Op::Mul, f("x"), f("y")),
                             Expr::bin(Op::Div, f("x"), Expr::bin(Op::Add, f("y"), f("y"))));
  EXPECT_EQ(ops.k(), 4u);
  EXPECT_EQ(ops.depth(), 4u);
}

TEST(Expr, EvaluatesArithmetic) {
  EXPECT_EQ(eval(c(1.5)), 1.5);
  EXPECT_EQ(eval(f("x")), 2.0);
  EXPECT_EQ(eval(f("y")), -3.0);
  EXPECT_EQ(eval(Expr::bin(Op::Add, f("x"), f("y"))), -1.0);
  EXPECT_EQ(eval(Expr::bin(Op::Sub, f("x"), f("y"))), 5.0);
  EXPECT_EQ(eval(Expr::bin(Op::Mul, f("x"), f("y"))), -6.0);
  EXPECT_EQ(eval(Expr::bin(Op::Div, f("y"), f("x"))), -1.5);
  EXPECT_EQ(eval(Expr::pow(f("x"), 2)), 4.0);
  EXPECT_EQ(eval(Expr::exp(c(0.0))), 1.0);
  EXPECT_EQ(eval(Expr::log(c(1.0))), 0.0);
  EXPECT_EQ(eval(Expr::sqrt(c(16.0))), 4.0);
  EXPECT_EQ(eval(Expr::log(c(2.5))), std::log(2.5));
  EXPECT_EQ(eval(Expr::exp(c(0.7))), std::exp(0.7));
  EXPECT_EQ(eval(Expr::pow(c(1.1), 3)), std::pow(1.1, 3.0));
  EXPECT_EQ(eval(Expr::pow(c(1.1), -2)), std::pow(1.1, -2.0));
}

TEST(Expr, MissingFeatureReadsZero) {
  EXPECT_EQ(bits(eval(f("z"))), bits(0.0));
  EXPECT_EQ(bits(eval(f(""))), bits(0.0));
  EXPECT_EQ(bits(eval(f("X"))), bits(0.0));  // byte-exact names
  // A row pushed before the feature existed.
  Dataset ds("t");
  ds.push_row(nullptr, 1.0);
  ds.add_feature("late");
  const double v = 7.0;
  ds.push_row(&v, 2.0);
  EXPECT_EQ(bits(f("late").evaluate(ds.row(0))), bits(0.0));
  EXPECT_EQ(f("late").evaluate(ds.row(1)), 7.0);
  // A dataset without features at all.
  Dataset empty("t");
  empty.push_row(nullptr, 3.0);
  EXPECT_EQ(bits(f("x").evaluate(empty.row(0))), bits(0.0));
  EXPECT_EQ(Expr::bin(Op::Add, f("x"), c(1)).evaluate(empty.row(0)), 1.0);
}

TEST(Expr, DivisionGuard) {
  EXPECT_EQ(bits(eval(Expr::bin(Op::Div, c(1), c(1e-301)))), kGuardNaNBits);
  EXPECT_EQ(bits(eval(Expr::bin(Op::Div, c(1), c(-1e-301)))), kGuardNaNBits);
  EXPECT_EQ(eval(Expr::bin(Op::Div, c(1e-300), c(1e-300))), 1.0);
  EXPECT_EQ(eval(Expr::bin(Op::Div, c(1), c(1e-300))), 1.0 / 1e-300);
  EXPECT_EQ(eval(Expr::bin(Op::Div, c(1), c(-1e-300))), 1.0 / -1e-300);
  EXPECT_EQ(bits(eval(Expr::bin(Op::Div, c(1), c(0.0)))), kGuardNaNBits);
  EXPECT_EQ(bits(eval(Expr::bin(Op::Div, c(1), c(-0.0)))), kGuardNaNBits);
  EXPECT_EQ(bits(eval(Expr::bin(Op::Div, c(0.0), c(0.0)))), kGuardNaNBits);
  EXPECT_EQ(bits(eval(Expr::bin(Op::Div, c(1), c(5e-324)))), kGuardNaNBits);
  // A NaN divisor is divided by; an infinite divisor normally.
  EXPECT_TRUE(std::isnan(eval(Expr::bin(Op::Div, c(1), c(kNaN)))));
  EXPECT_EQ(bits(eval(Expr::bin(Op::Div, c(1), c(kInf)))), bits(0.0));
  EXPECT_EQ(bits(eval(Expr::bin(Op::Div, c(1), c(-kInf)))), bits(-0.0));
  EXPECT_TRUE(std::isnan(eval(Expr::bin(Op::Div, c(kInf), c(kInf)))));
}

TEST(Expr, PowGuard) {
  EXPECT_EQ(bits(eval(Expr::pow(c(0.0), -1))), kGuardNaNBits);
  EXPECT_EQ(bits(eval(Expr::pow(c(-0.0), -2))), kGuardNaNBits);
  EXPECT_EQ(bits(eval(Expr::pow(c(0.0), -3))), kGuardNaNBits);
  EXPECT_EQ(bits(eval(Expr::pow(c(0.0), 2))), bits(0.0));
  EXPECT_EQ(bits(eval(Expr::pow(c(-0.0), 3))), bits(-0.0));
  EXPECT_EQ(eval(Expr::pow(c(-2.0), 3)), -8.0);
  EXPECT_EQ(eval(Expr::pow(c(-2.0), -1)), -0.5);
  EXPECT_EQ(eval(Expr::pow(c(-2.0), 2)), 4.0);
  EXPECT_EQ(eval(Expr::pow(c(5e-324), -1)), kInf);  // not zero: no guard, overflow
  EXPECT_EQ(eval(Expr::pow(c(kInf), -1)), 0.0);
  EXPECT_TRUE(std::isnan(eval(Expr::pow(c(kNaN), 2))));
  // The exponent is converted exactly: large foreign exponents too.
  EXPECT_EQ(eval(Expr::pow(c(-1.0), INT32_MAX)), -1.0);
  EXPECT_EQ(eval(Expr::pow(c(2.0), -1074)), 5e-324);
}

TEST(Expr, LogGuard) {
  EXPECT_EQ(bits(eval(Expr::log(c(0.0)))), kGuardNaNBits);
  EXPECT_EQ(bits(eval(Expr::log(c(-0.0)))), kGuardNaNBits);
  EXPECT_EQ(bits(eval(Expr::log(c(-1.0)))), kGuardNaNBits);
  EXPECT_EQ(bits(eval(Expr::log(c(-kInf)))), kGuardNaNBits);
  EXPECT_EQ(eval(Expr::log(c(kInf))), kInf);
  EXPECT_TRUE(std::isnan(eval(Expr::log(c(kNaN)))));
  EXPECT_EQ(eval(Expr::log(c(5e-324))), std::log(5e-324));
}

TEST(Expr, SqrtGuard) {
  const double neg_zero = eval(Expr::sqrt(c(-0.0)));
  EXPECT_EQ(bits(neg_zero), bits(-0.0));
  EXPECT_EQ(bits(eval(Expr::sqrt(c(-1e-300)))), kGuardNaNBits);
  EXPECT_EQ(bits(eval(Expr::sqrt(c(-kInf)))), kGuardNaNBits);
  EXPECT_EQ(eval(Expr::sqrt(c(kInf))), kInf);
  EXPECT_TRUE(std::isnan(eval(Expr::sqrt(c(kNaN)))));
  EXPECT_EQ(eval(Expr::sqrt(c(2.0))), std::sqrt(2.0));
}

TEST(Expr, ExpHasNoGuard) {
  EXPECT_EQ(eval(Expr::exp(c(1000.0))), kInf);
  EXPECT_EQ(bits(eval(Expr::exp(c(-kInf)))), bits(0.0));
  EXPECT_TRUE(std::isnan(eval(Expr::exp(c(kNaN)))));
}

TEST(Expr, TrigonometryTanhAndAbs) {
  // sin and cos of an infinity: the guard's NaN, whatever the platform's sign.
  for (auto make : {&Expr::sin, &Expr::cos}) {
    EXPECT_EQ(bits(eval(make(c(kInf)))), kGuardNaNBits);
    EXPECT_EQ(bits(eval(make(c(-kInf)))), kGuardNaNBits);
    EXPECT_EQ(bits(eval(make(c(kNaN)))), kGuardNaNBits);
  }
  EXPECT_NEAR(eval(Expr::sin(c(0.5))), 0.479425538604203, 1e-15);
  // A huge argument is a number: its value is the platform's (range
  // reduction differs between C libraries).
  EXPECT_TRUE(std::isfinite(eval(Expr::cos(c(1e300)))));
  EXPECT_EQ(eval(Expr::tanh(c(kInf))), 1.0);
  EXPECT_EQ(eval(Expr::tanh(c(-kInf))), -1.0);
  EXPECT_TRUE(std::isnan(eval(Expr::tanh(c(kNaN)))));
  EXPECT_EQ(bits(eval(Expr::abs(c(-0.0)))), bits(0.0));
  EXPECT_EQ(eval(Expr::abs(c(-kInf))), kInf);
  EXPECT_EQ(Expr::sin(c(1.0)).k(), 2u);
  EXPECT_EQ(Expr::abs(Expr::cos(c(1.0))).depth(), 3u);
  EXPECT_FALSE(Expr::sin(c(1.0)) == Expr::cos(c(1.0)));
  EXPECT_EQ(Expr::function(Expr::Kind::Tanh, c(2.0)), Expr::tanh(c(2.0)));
}

TEST(Expr, NonFiniteValuesPropagate) {
  EXPECT_TRUE(std::isnan(eval(Expr::bin(Op::Sub, c(kInf), c(kInf)))));
  EXPECT_EQ(eval(Expr::bin(Op::Mul, c(1e300), c(1e300))), kInf);
  EXPECT_EQ(bits(eval(Expr::bin(Op::Add, Expr::log(c(-1)), c(1)))), kGuardNaNBits);
}

TEST(Expr, CopyIsDeepAndEqual) {
  Expr original = Expr::bin(Op::Add, Expr::log(f("x")), Expr::pow(c(-2.5), 2));
  Expr copy = original;
  EXPECT_EQ(copy, original);
  EXPECT_NE(&copy.left(), &original.left());
  EXPECT_NE(&copy.left().child(), &original.left().child());
  EXPECT_NE(copy.left().child().name().data(), original.left().child().name().data());
  original = c(1.0);  // the old tree is released; the copy is unaffected
  EXPECT_EQ(copy.formula(), "(log(x) + (-2.5000e0^2))");
  EXPECT_EQ(eval(copy), std::log(2.0) + 6.25);
}

TEST(Expr, AssignmentFromAPartOfItself) {
  Expr e = Expr::bin(Op::Mul, Expr::exp(f("x")), f("y"));
  e = e.left();  // the source lives inside the target
  EXPECT_EQ(e, Expr::exp(f("x")));
  const Expr& alias = e;
  e = alias;  // self-assignment
  EXPECT_EQ(e, Expr::exp(f("x")));
  Expr m = Expr::sqrt(Expr::log(f("x")));
  Expr n = std::move(m);
  EXPECT_EQ(n, Expr::sqrt(Expr::log(f("x"))));
}

TEST(Expr, StructuralEquality) {
  EXPECT_EQ(c(1.0), c(1.0));
  EXPECT_NE(c(0.0), c(-0.0));  // bits, not numeric equality
  EXPECT_EQ(c(kNaN), c(kNaN));
  EXPECT_NE(c(1.0), f("x"));
  EXPECT_NE(f("x"), f("y"));
  EXPECT_NE(Expr::bin(Op::Add, f("x"), f("y")), Expr::bin(Op::Sub, f("x"), f("y")));
  EXPECT_NE(Expr::bin(Op::Add, f("x"), f("y")), Expr::bin(Op::Add, f("y"), f("x")));
  EXPECT_NE(Expr::pow(f("x"), 2), Expr::pow(f("x"), -2));
  EXPECT_NE(Expr::exp(f("x")), Expr::log(f("x")));
  EXPECT_EQ(Expr::sqrt(Expr::pow(c(2), 1)), Expr::sqrt(Expr::pow(c(2), 1)));
}

}  // namespace
}  // namespace quorvex

namespace quorvex {
namespace {

// x -> x + 1 -> -x -> -x + 1 -> x -> x^1, repeated: exactly x again every five
// levels, with both operand forms, a Pow and (in the copy) constant folding.
Expr deep_chain(int levels, Expr leaf) {
  Expr e = std::move(leaf);
  for (int i = 0; i < levels; ++i) {
    if (i % 5 == 4)
      e = Expr::pow(std::move(e), 1);
    else if (i % 2 == 0)
      e = Expr::bin(Op::Add, std::move(e), Expr::constant(1.0));
    else
      e = Expr::bin(Op::Sub, Expr::constant(1.0), std::move(e));
  }
  return e;
}

// Deep enough that any walk recursing per level would overflow the main
// thread's 8 MiB stack: evaluation, compilation, feature lists and freeing.
TEST(ExprDeep, DeepTreesAreWalkedWithoutRecursion) {
  constexpr int kLevels = 300000;
  const Dataset ds = xy_data();
  const Expr over_x = deep_chain(kLevels, Expr::feature("x"));
  const Expr constant = deep_chain(kLevels, Expr::constant(-0.5));
  EXPECT_EQ(over_x.evaluate(ds.row(0)), 2.0);
  EXPECT_EQ(constant.evaluate(ds.row(0)), -0.5);
  EXPECT_EQ(expression_features(over_x), std::vector<std::string>{"x"});
  CompiledExpr program;
  for (const Expr* e : {&over_x, &constant}) {
    program.compile(*e, ds);
    double out = 0.0;
    evaluate_rows(program, 1, &out);
    EXPECT_EQ(bits(out), bits(e->evaluate(ds.row(0))));
  }
  // Around the depth where evaluate stops recursing, it agrees with the
  // compiled program, which never recursed.
  for (int levels = 60; levels <= 72; ++levels) {
    const Expr e = deep_chain(levels, Expr::feature("y"));
    program.compile(e, ds);
    double out = 0.0;
    evaluate_rows(program, 1, &out);
    EXPECT_EQ(bits(e.evaluate(ds.row(0))), bits(out)) << levels;
  }
  EXPECT_EQ(deep_chain(70, Expr::feature("y")).evaluate(ds.row(0)), -3.0);
}

}  // namespace
}  // namespace quorvex
