#include "refine/pieces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>

#include "expr/derivatives.h"
#include "refine/refine.h"
#include "refine/front_simplify.h"

namespace quorvex {
namespace {

void collect(const Expr& e, std::set<std::string>& names) {
  if (e.kind() == Expr::Kind::Feature) names.insert(e.name());
  if (e.kind() == Expr::Kind::Bin) {
    collect(e.left(), names);
    collect(e.right(), names);
  } else if (e.kind() != Expr::Kind::Const && e.kind() != Expr::Kind::Feature) {
    collect(e.child(), names);
  }
}

TEST(LawPieces, StayWithinTheOperatorSetAndTheFeatures) {
  const std::vector<std::string> features = {"m", "g", "x", "k", "T", "n"};
  for (const char* set : {"+,-,*,/,pow,exp,log,sqrt,sin,cos", "+,*,sin", "*", "/,exp", "+,-"}) {
    const OperatorSet ops = OperatorSet::parse(set);
    LawPieces pieces(features, ops);
    Lcg rng(7);
    for (int i = 0; i < 2000 && pieces.usable(); ++i) {
      const Expr part = Expr::feature("T");
      const Expr e = i % 2 ? pieces.piece(rng) : pieces.attach(part, rng);
      ASSERT_TRUE(ops.allows(e)) << set << ": " << e.formula();
      std::set<std::string> names;
      collect(e, names);
      for (const std::string& n : names)
        EXPECT_NE(std::find(features.begin(), features.end(), n), features.end()) << n;
    }
  }
  EXPECT_FALSE(LawPieces(features, OperatorSet::parse("+,-")).usable());
  EXPECT_FALSE(LawPieces({}, OperatorSet::defaults()).usable());
}

TEST(LawPieces, DrawTheHintedMonomialAndItsInverse) {
  LawPieces pieces({"m", "g", "x", "k", "T"}, OperatorSet::defaults());
  pieces.add_hint({{"m", 1}, {"g", 1}, {"x", 1}, {"k", -1}, {"T", -1}});
  pieces.add_hint({});  // ignored
  Lcg rng(3);
  bool direct = false, inverse = false;
  for (int i = 0; i < 300; ++i) {
    const std::string f = pieces.monomial(rng).formula();
    direct = direct || f == "(((m * g) * x) / (k * T))";
    inverse = inverse || f == "((k * T) / ((m * g) * x))";
  }
  EXPECT_TRUE(direct);
  EXPECT_TRUE(inverse);
}

void count(const Expr& e, std::map<std::string, int>& uses, int& constants) {
  if (e.kind() == Expr::Kind::Feature) ++uses[e.name()];
  if (e.kind() == Expr::Kind::Const) ++constants;
  if (e.kind() == Expr::Kind::Bin) {
    count(e.left(), uses, constants);
    count(e.right(), uses, constants);
  } else if (e.kind() != Expr::Kind::Const && e.kind() != Expr::Kind::Feature) {
    count(e.child(), uses, constants);
  }
}

TEST(LawPieces, DrawDistancesOverDistinctFeatures) {
  // sqrt((x2 − x1)² + (y2 − y1)²): each feature once, no constant to fit.
  const std::vector<std::string> features = {"x1", "x2", "y1", "y2", "z"};
  LawPieces pieces(features, OperatorSet::defaults());
  Dataset d("y");
  for (const auto& f : features) d.add_feature(f);
  const double row[5] = {1.0, 4.0, 2.0, 6.0, 7.0};
  d.push_row(row, 0.0);
  Lcg rng(11);
  int distances = 0;
  for (int i = 0; i < 3000; ++i) {
    const Expr e = pieces.piece(rng);
    std::map<std::string, int> uses;
    int constants = 0;
    count(e, uses, constants);
    if (e.kind() != Expr::Kind::Sqrt || constants != 0 ||
        e.formula().find('-') == std::string::npos)
      continue;
    ++distances;
    for (const auto& [name, n] : uses) EXPECT_EQ(n, 1) << e.formula();
    const double v = e.evaluate(d.row(0));
    EXPECT_TRUE(std::isfinite(v) && v > 0.0) << e.formula();
  }
  EXPECT_GT(distances, 10);
}

TEST(LawPieces, DrawTheHintedPrefactorWithAndWithoutPow) {
  // n/r³ is n/(r·r·r) when the set has no pow.
  Dataset d("y");
  d.add_feature("n");
  d.add_feature("r");
  const double row[2] = {5.0, 2.0};
  d.push_row(row, 0.0);
  for (const char* set : {"+,-,*,/,pow,exp", "+,-,*,/,exp"}) {
    LawPieces pieces({"n", "r"}, OperatorSet::parse(set));
    pieces.add_prefactor({{"n", 1}, {"r", -3}});
    Lcg rng(2);
    bool drawn = false, prefixed = false;
    for (int i = 0; i < 400; ++i) {
      drawn = drawn || pieces.prefactor(rng).evaluate(d.row(0)) == 5.0 / 8.0;
      const Expr e = pieces.piece(rng);
      prefixed = prefixed || (e.kind() == Expr::Kind::Bin && e.op() == Op::Mul &&
                              e.left().evaluate(d.row(0)) == 5.0 / 8.0);
    }
    EXPECT_TRUE(drawn) << set;
    EXPECT_TRUE(prefixed) << set;
  }
}

TEST(SimplifyFront, LevelsTheConstantsOfAnExactLawAlongItsFlatDirection) {
  // c·x/(c − c·z) is x/(1 − z) for every c: the reported constants are whole.
  Dataset d("y");
  d.add_feature("x");
  d.add_feature("z");
  Lcg rng(5);
  for (int i = 0; i < 100; ++i) {
    const double v[2] = {1.0 + rng.next_f64(), 2.0 + rng.next_f64()};
    d.push_row(v, v[0] / (1.0 - v[1]));
  }
  const double c = 15.644939274230175;
  const Expr flat = Expr::bin(
      Op::Mul, Expr::constant(c),
      Expr::bin(
          Op::Div, Expr::feature("x"),
          Expr::bin(Op::Add, Expr::constant(c),
                    Expr::bin(Op::Mul, Expr::constant(-c * (1.0 + 1e-15)), Expr::feature("z")))));
  const OperatorSet ops = OperatorSet::defaults();
  FrontEntry e;
  e.tree = flat;
  e.complexity = ops.complexity(flat);
  e.mse_train = 0.0;
  const double floor = 1e-18;
  const auto front = simplify_front({e}, d, floor, ops);
  ASSERT_EQ(front.size(), 1u);
  EXPECT_LE(front[0].mse_train, floor);
  for (double v : constants_of(front[0].tree))
    EXPECT_EQ(v, std::round(v)) << front[0].tree.formula();
}

TEST(SimplifyFront, CancelsAFactorMultipliedInAndDividedOut) {
  // (cos(2.5t)·(t/exp(0.3t)))/t is cos(2.5t)/exp(0.3t): t once in each function.
  Dataset d("y");
  d.add_feature("t");
  for (int i = 0; i < 200; ++i) {
    const double t[1] = {0.05 * (i + 1)};
    d.push_row(t, std::cos(2.5 * t[0]) / std::exp(0.3 * t[0]));
  }
  const Expr t = Expr::feature("t");
  const Expr wave = Expr::cos(Expr::bin(Op::Mul, Expr::constant(2.5), t));
  const Expr decay = Expr::exp(Expr::bin(Op::Mul, Expr::constant(0.3), t));
  const Expr padded = Expr::bin(Op::Div, Expr::bin(Op::Mul, wave, Expr::bin(Op::Div, t, decay)), t);
  const OperatorSet ops = OperatorSet::defaults();
  FrontEntry e;
  e.tree = padded;
  e.complexity = ops.complexity(padded);
  e.mse_train = 0.0;
  const auto front = simplify_front({e}, d, 1e-18, ops);
  ASSERT_FALSE(front.empty());
  const Expr& best = front.back().tree;
  std::map<std::string, int> uses;
  int constants = 0;
  count(best, uses, constants);
  EXPECT_EQ(uses["t"], 2) << best.formula();
  EXPECT_LT(front.back().complexity, e.complexity);
  EXPECT_LE(front.back().mse_train, 1e-25);
}

}  // namespace
}  // namespace quorvex
