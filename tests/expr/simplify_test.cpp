#include "expr/simplify.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "expr/generator.h"
#include "rng/lcg.h"

namespace quorvex {
namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

Expr c(double v) { return Expr::constant(v); }
Expr f(const char* name) { return Expr::feature(name); }
Expr add(Expr a, Expr b) { return Expr::bin(Op::Add, std::move(a), std::move(b)); }
Expr sub(Expr a, Expr b) { return Expr::bin(Op::Sub, std::move(a), std::move(b)); }
Expr mul(Expr a, Expr b) { return Expr::bin(Op::Mul, std::move(a), std::move(b)); }
Expr div(Expr a, Expr b) { return Expr::bin(Op::Div, std::move(a), std::move(b)); }

// p > 0, n of both signs and never 0, z with a zero, w with an infinity.
Dataset rows() {
  Dataset d("t");
  for (const char* name : {"p", "n", "z", "w"}) d.add_feature(name);
  const double v[][4] = {{0.5, -1.5, 0.0, 1.0}, {2.0, 3.0, 1.5, kInf}, {7.25, -0.75, -2.0, -3.0}};
  for (const auto& r : v) d.push_row(r, 0.0);
  return d;
}

std::string simplified(const Expr& e) { return simplify(e, rows()).formula(); }

TEST(Simplify, NodeCountCountsEveryNode) {
  EXPECT_EQ(node_count(f("p")), 1u);
  EXPECT_EQ(node_count(c(2)), 1u);
  EXPECT_EQ(node_count(mul(c(2), Expr::exp(Expr::pow(f("p"), 2)))), 5u);
}

TEST(Simplify, FoldsSubtreesThatReadNoFeature) {
  EXPECT_EQ(simplified(mul(Expr::exp(c(0)), f("p"))), "p");
  EXPECT_EQ(simplified(mul(add(c(2), c(3)), f("p"))), mul(c(5), f("p")).formula());
  // 1 / exp(1000) is 1 / inf = 0, so the whole sum is p.
  EXPECT_EQ(simplified(add(f("p"), div(c(1), Expr::exp(c(1000))))), "p");
  // Folds that are not finite stay as they are.
  EXPECT_EQ(simplified(Expr::log(c(-1))), Expr::log(c(-1)).formula());
  EXPECT_EQ(simplified(mul(Expr::exp(c(1000)), f("p"))), mul(Expr::exp(c(1000)), f("p")).formula());
}

TEST(Simplify, IdentitiesWhereTheRowsAllowThem) {
  const std::vector<std::pair<Expr, Expr>> cases = {
      {Expr::pow(f("n"), 1), f("n")},
      {Expr::pow(f("z"), 0), c(1)},  // pow(0, 0) is 1 too
      {add(f("n"), c(0)), f("n")},
      {add(c(0), f("n")), f("n")},
      {sub(f("n"), c(0)), f("n")},
      {mul(f("n"), c(1)), f("n")},
      {div(f("w"), c(1)), f("w")},
      {mul(f("n"), c(0)), c(0)},
      {sub(f("z"), f("z")), c(0)},
      {div(f("n"), f("n")), c(1)},
      {add(f("n"), f("n")), mul(c(2), f("n"))},
      {sub(c(0), f("n")), mul(c(-1), f("n"))},
      {add(f("p"), sub(c(0), f("n"))), sub(f("p"), f("n"))},
      {mul(f("n"), f("n")), Expr::pow(f("n"), 2)},
      {div(Expr::pow(f("n"), 3), f("n")), Expr::pow(f("n"), 2)},
      {div(c(1), f("n")), Expr::pow(f("n"), -1)},
      {Expr::pow(Expr::pow(f("n"), 2), -3), Expr::pow(f("n"), -6)},
      {Expr::exp(Expr::log(f("p"))), f("p")},
      {Expr::log(Expr::exp(f("n"))), f("n")},
      {Expr::pow(Expr::sqrt(f("p")), 2), f("p")},
      {Expr::sqrt(Expr::pow(f("n"), 4)), Expr::pow(f("n"), 2)},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(simplified(in), out.formula()) << in.formula();
}

TEST(Simplify, RefusesWhereSomeRowBreaksTheIdentity) {
  const std::vector<Expr> kept = {
      div(f("z"), f("z")),                         // 0 / 0 is NaN
      sub(f("w"), f("w")),                         // inf - inf is NaN
      mul(c(0), f("w")),                           // 0 * inf is NaN
      div(c(0), f("z")),                           // 0 / 0 again
      Expr::exp(Expr::log(f("n"))),                // log of a negative
      Expr::pow(Expr::sqrt(f("n")), 2),            // sqrt of a negative
      Expr::sqrt(Expr::pow(f("n"), 2)),            // |n| is not n
      Expr::pow(Expr::pow(f("z"), -1), -1),        // NaN at z = 0, where z^1 is 0
      Expr::log(Expr::exp(mul(c(1000), f("p")))),  // exp overflows
  };
  // Each refusal is its own: the factor of 1 around it still goes.
  for (const Expr& e : kept) EXPECT_EQ(simplified(mul(c(1), e)), e.formula());
  // The same x / x on rows without the zero is 1.
  Dataset positive("t");
  positive.add_feature("z");
  const double v = 4.0;
  positive.push_row(&v, 0.0);
  EXPECT_EQ(simplify(div(f("z"), f("z")), positive).formula(), "1.0000e0");
}

TEST(Simplify, CollectsConstantsAtTheHeadOfChains) {
  const Expr p = f("p");
  const Expr n = f("n");
  const std::vector<std::pair<Expr, Expr>> cases = {
      {mul(c(2), mul(c(3), p)), mul(c(6), p)},
      {mul(mul(p, c(2)), c(3)), mul(c(6), p)},
      {mul(div(p, c(4)), c(2)), mul(c(0.5), p)},
      {div(div(p, c(2)), c(4)), div(p, c(8))},
      {div(c(6), mul(c(2), p)), div(c(3), p)},
      {add(c(1), add(c(2), p)), add(c(3), p)},
      {add(sub(p, c(1)), c(3)), add(c(2), p)},
      {sub(c(2), sub(c(3), p)), add(c(-1), p)},
      {sub(c(2), add(c(3), p)), sub(c(-1), p)},
      // Constants deep on both sides meet at the top.
      {add(add(p, c(1)), add(n, c(2))), add(c(3), add(p, n))},
      {mul(mul(c(2), p), mul(n, c(3))), mul(c(6), mul(p, n))},
      {sub(mul(c(2), p), mul(c(-1), n)), add(mul(c(2), p), n)},
      // A constant factor of 1 that appears on the way disappears.
      {mul(c(0.5), mul(c(2), n)), n},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(simplified(in), out.formula()) << in.formula();
}

TEST(Simplify, RoundingThatAddsUpIsRefused) {
  // -1e16 + 1 rounds to -1e16: the tree is 0 where p = 1, and 1 + p would not be.
  Dataset d("t");
  d.add_feature("p");
  const double v = 1.0;
  d.push_row(&v, 0.0);
  const Expr e = add(c(1e16), add(c(-1e16), f("p")));
  const Expr s = simplify(e, d);
  EXPECT_TRUE(same_values(e, s, d, kSimplifyTolerance)) << s.formula();
  // Each merge alone is within rounding, but 0.686 * (0.81 * 3) exceeds
  // (0.686 * 0.81) * 3 by one unit, which is the whole value of the
  // difference: only the exact rewrites are left.
  const double three = 3.0;
  d.push_row(&three, 0.0);
  const Expr g = sub(mul(c(0.686), mul(c(0.81), f("p"))), mul(c(0.686 * 0.81), f("p")));
  EXPECT_EQ(simplify(mul(g, c(1)), d).formula(), g.formula());
}

TEST(Simplify, SameValues) {
  Dataset d("t");
  d.add_feature("x");
  for (const double x : {0.0, 1.0, kNaN, kInf}) d.push_row(&x, 0.0);
  const Expr x = f("x");
  EXPECT_TRUE(same_values(x, mul(c(1), x), d, 0.0));            // NaN = NaN, 0 = -0 too
  EXPECT_TRUE(same_values(x, mul(c(1 + 1e-15), x), d, 1e-14));  // within tolerance
  EXPECT_FALSE(same_values(x, mul(c(1 + 1e-15), x), d, 0.0));
  EXPECT_FALSE(same_values(x, add(c(1e-300), x), d, 1e-3));  // 0 against 1e-300
  EXPECT_FALSE(same_values(x, c(0), d, 1.0));                // inf against a number
}

TEST(Simplify, NoRowsMeansEveryConditionHolds) {
  const Dataset empty("t");
  EXPECT_EQ(simplify(div(f("x"), f("x")), empty).formula(), "1.0000e0");
  EXPECT_EQ(simplify(Expr::exp(c(2)), empty).formula(), c(std::exp(2.0)).formula());
}

// Random trees on rows with zeros, negatives and large values: the result
// agrees with the tree, is never larger, and is its own simplification.
TEST(Simplify, AbsOfWhatCannotBeNegativeAndFoldedFunctions) {
  EXPECT_EQ(simplified(Expr::abs(Expr::abs(f("n")))), "abs(n)");
  EXPECT_EQ(simplified(Expr::abs(Expr::pow(f("n"), 2))), "(n^2)");
  EXPECT_EQ(simplified(Expr::abs(Expr::exp(f("n")))), "exp(n)");
  EXPECT_EQ(simplified(Expr::abs(f("n"))), "abs(n)");  // n < 0 on a row
  EXPECT_EQ(simplified(Expr::abs(Expr::pow(f("n"), 3))), "abs((n^3))");
  EXPECT_EQ(simplified(Expr::cos(c(0.0))), "1.0000e0");
  EXPECT_EQ(simplified(add(Expr::sin(f("p")), c(0.0))), "sin(p)");
}

TEST(Simplify, RandomTreesKeepTheirValues) {
  Dataset d("t");
  d.add_feature("x");
  d.add_feature("y");
  const double v[][2] = {{0.0, 1.0}, {-2.5, 0.5}, {3.0, 40.0}, {1e-3, -7.0}, {250.0, 2.0}};
  for (const auto& r : v) d.push_row(r, 0.0);
  ExprGen gen({"x", "y"}, Lcg(2024));
  ExprGen every({"x", "y"}, Lcg(2025), OperatorSet::all());
  size_t before = 0;
  size_t after = 0;
  for (int i = 0; i < 4000; ++i) {
    const Expr t = i % 3 == 2 ? every.mutate(every.random(5), 4)
                   : i % 2    ? gen.random(6)
                              : gen.mutate(gen.random(5), 4);
    const Expr s = simplify(t, d);
    ASSERT_TRUE(same_values(t, s, d, kSimplifyTolerance)) << t.formula() << " -> " << s.formula();
    ASSERT_LE(node_count(s), node_count(t)) << t.formula() << " -> " << s.formula();
    ASSERT_EQ(simplify(s, d).formula(), s.formula()) << t.formula();
    before += node_count(t);
    after += node_count(s);
  }
  // Random trees carry plenty of foldable and cancelling parts.
  EXPECT_LT(after, before * 9 / 10);
}

}  // namespace
}  // namespace quorvex
