#include "expr/generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "../golden/golden_case.h"
#include "dataset/dataset.h"
#include "rng/lcg.h"

namespace quorvex {
namespace {

// The state of a fresh Lcg(seed) after `draws` draws.
uint64_t state_after(uint64_t seed, int draws) {
  Lcg rng(seed);
  for (int i = 0; i < draws; ++i) rng.next_u64();
  return rng.state();
}

// A second generator on the same seed: the tests replay the draws the
// operation should make on it and compare trees and states.
struct Twin {
  explicit Twin(uint64_t seed) : rng(seed) {}
  Lcg rng;
  double f() { return rng.next_f64(); }
  size_t below(size_t n) { return rng.below(n); }
};

// Finds a seed whose first draws satisfy `pred` on a fresh Lcg.
template <typename Pred>
uint64_t find_seed(Pred pred) {
  for (uint64_t seed = 0; seed < 1000000; ++seed) {
    Lcg rng(seed);
    if (pred(rng)) return seed;
  }
  ADD_FAILURE() << "no seed found";
  return 0;
}

uint32_t count_pow_exponents(const Expr& e, int32_t exponent) {
  switch (e.kind()) {
    case Expr::Kind::Const:
    case Expr::Kind::Feature:
      return 0;
    case Expr::Kind::Bin:
      return count_pow_exponents(e.left(), exponent) + count_pow_exponents(e.right(), exponent);
    case Expr::Kind::Pow:
      return (e.exponent() == exponent ? 1u : 0u) + count_pow_exponents(e.child(), exponent);
    default:
      return count_pow_exponents(e.child(), exponent);
  }
}

uint32_t count_features(const Expr& e) {
  switch (e.kind()) {
    case Expr::Kind::Const:
      return 0;
    case Expr::Kind::Feature:
      return 1;
    case Expr::Kind::Bin:
      return count_features(e.left()) + count_features(e.right());
    default:
      return count_features(e.child());
  }
}

// ---- leaf draws ----

TEST(ExprGen, ConstantLeafTakesThreeDraws) {
  // Empty features: every leaf is a constant, built from u, m and s.
  for (uint64_t seed = 0; seed < 50; ++seed) {
    ExprGen gen({}, Lcg(seed));
    const Expr e = gen.random(0);
    ASSERT_EQ(e.kind(), Expr::Kind::Const);
    EXPECT_EQ(gen.rng().state(), state_after(seed, 3));
    Twin t(seed);
    t.f();
    const double m = t.f();
    const double s = t.f();
    const double mag = std::pow(10.0, (m - 0.5) * 4.0);
    EXPECT_EQ(e.value(), s < 0.5 ? -mag : mag);
    EXPECT_GE(std::fabs(e.value()), 0.01);
    EXPECT_LT(std::fabs(e.value()), 100.0);
  }
}

TEST(ExprGen, FeatureLeafTakesTwoDraws) {
  int features_seen = 0;
  int constants_seen = 0;
  for (uint64_t seed = 0; seed < 200; ++seed) {
    ExprGen gen({"a", "b", "c"}, Lcg(seed));
    const Expr e = gen.random(1);
    Twin t(seed);
    const double u = t.f();
    if (u < 0.3) {
      ASSERT_EQ(e.kind(), Expr::Kind::Const);
      EXPECT_EQ(gen.rng().state(), state_after(seed, 3));
      ++constants_seen;
    } else {
      ASSERT_EQ(e.kind(), Expr::Kind::Feature);
      EXPECT_EQ(gen.rng().state(), state_after(seed, 2));
      EXPECT_EQ(e.name(), std::string(1, static_cast<char>('a' + t.below(3))));
      ++features_seen;
    }
  }
  EXPECT_GT(features_seen, 0);
  EXPECT_GT(constants_seen, 0);
}

TEST(ExprGen, RandomWithBudgetZeroOrOneStartsWithTheLeafDraw) {
  for (uint32_t budget : {0u, 1u}) {
    for (uint64_t seed = 0; seed < 100; ++seed) {
      ExprGen gen({"x"}, Lcg(seed));
      const Expr e = gen.random(budget);
      EXPECT_EQ(e.depth(), 1u);
      // The first draw is the constant-or-feature test itself.
      const bool constant = Lcg(seed).next_f64() < 0.3;
      EXPECT_EQ(e.kind(), constant ? Expr::Kind::Const : Expr::Kind::Feature);
      EXPECT_EQ(gen.rng().state(), state_after(seed, constant ? 3 : 2));
    }
  }
}

TEST(ExprGen, DuplicateNamesAreDrawnByPosition) {
  ExprGen gen({"x", "x", "y"}, Lcg(3));
  int x = 0;
  int y = 0;
  for (int i = 0; i < 30000; ++i) {
    const Expr e = gen.random(0);
    if (e.kind() != Expr::Kind::Feature) continue;
    (e.name() == "x" ? x : y)++;
  }
  const double ratio = static_cast<double>(x) / y;
  EXPECT_GT(ratio, 1.85);
  EXPECT_LT(ratio, 2.15);
}

// ---- random ----

TEST(ExprGen, BinDrawsItsOperatorBeforeItsChildren) {
  // a >= 0.35, b < 0.55, then below(4), then the children (budget 1: leaves).
  const uint64_t seed = find_seed([](Lcg& r) {
    const double a = r.next_f64();
    const double b = r.next_f64();
    return a >= 0.35 && b < 0.55;
  });
  ExprGen gen({"p", "q"}, Lcg(seed));
  const Expr e = gen.random(2);
  ASSERT_EQ(e.kind(), Expr::Kind::Bin);
  Twin t(seed);
  t.f();
  t.f();
  EXPECT_EQ(static_cast<size_t>(e.op()), t.below(4));
  // Then the left leaf, then the right leaf, drawn from the twin in order.
  ExprGen rest({"p", "q"}, t.rng);
  const Expr left = rest.random(1);
  const Expr right = rest.random(1);
  EXPECT_EQ(e.left(), left);
  EXPECT_EQ(e.right(), right);
  EXPECT_EQ(gen.rng().state(), rest.rng().state());
}

TEST(ExprGen, PowDrawsItsExponentBeforeItsChild) {
  const uint64_t seed = find_seed([](Lcg& r) {
    const double a = r.next_f64();
    const double b = r.next_f64();
    return a >= 0.35 && b >= 0.55 && b < 0.75;
  });
  ExprGen gen({"p"}, Lcg(seed));
  const Expr e = gen.random(2);
  ASSERT_EQ(e.kind(), Expr::Kind::Pow);
  Twin t(seed);
  t.f();
  t.f();
  const int32_t expected[] = {-2, -1, 1, 1, 2};
  EXPECT_EQ(e.exponent(), expected[t.below(5)]);
  ExprGen rest({"p"}, t.rng);
  EXPECT_EQ(e.child(), rest.random(1));
  EXPECT_EQ(gen.rng().state(), rest.rng().state());
}

TEST(ExprGen, UnaryKindsMakeNoDrawOfTheirOwn) {
  struct Case {
    double lo, hi;
    Expr::Kind kind;
  };
  for (const Case c : {Case{0.75, 0.85, Expr::Kind::Exp}, Case{0.85, 0.93, Expr::Kind::Log},
                       Case{0.93, 1.0, Expr::Kind::Sqrt}}) {
    const uint64_t seed = find_seed([&](Lcg& r) {
      const double a = r.next_f64();
      const double b = r.next_f64();
      return a >= 0.35 && b >= c.lo && b < c.hi;
    });
    ExprGen gen({"p"}, Lcg(seed));
    const Expr e = gen.random(2);
    ASSERT_EQ(e.kind(), c.kind);
    Twin t(seed);
    t.f();
    t.f();
    ExprGen rest({"p"}, t.rng);
    EXPECT_EQ(e.child(), rest.random(1));
    EXPECT_EQ(gen.rng().state(), rest.rng().state());
  }
}

TEST(ExprGen, RandomRespectsTheBudgetAndNeverDrawsExponentZeroOrThree) {
  ExprGen gen({"x", "y"}, Lcg(11));
  for (uint32_t budget = 0; budget <= 8; ++budget) {
    for (int i = 0; i < 500; ++i) {
      const Expr e = gen.random(budget);
      EXPECT_LE(e.depth(), std::max(budget, 1u));
      for (int32_t bad : {0, 3, -3}) EXPECT_EQ(count_pow_exponents(e, bad), 0u);
    }
  }
}

TEST(ExprGen, EmptyFeaturesGiveOnlyConstantLeaves) {
  ExprGen gen({}, Lcg(5));
  for (int i = 0; i < 200; ++i) {
    const Expr e = gen.random(4);
    EXPECT_EQ(count_features(e), 0u) << e.formula();
  }
}

// ---- mutate ----

TEST(ExprGen, MutateBelowThresholdReplacesByRandomWithTheSameBudget) {
  const uint64_t seed = find_seed([](Lcg& r) { return r.next_f64() < 0.3; });
  const Expr parent = Expr::bin(Op::Add, Expr::feature("x"), Expr::constant(1.0));
  ExprGen gen({"x", "y"}, Lcg(seed));
  const Expr m = gen.mutate(parent, 5);
  Twin t(seed);
  t.f();
  ExprGen rest({"x", "y"}, t.rng);
  EXPECT_EQ(m, rest.random(5));
  EXPECT_EQ(gen.rng().state(), rest.rng().state());
}

TEST(ExprGen, MutateRescalesAConstantKeepingItsSign) {
  ExprGen gen({"x"}, Lcg(17));
  int rescaled = 0;
  for (int i = 0; i < 2000; ++i) {
    const double v = (i % 2 == 0) ? 3.0 : -3.0;
    const Lcg before = gen.rng();
    const Expr m = gen.mutate(Expr::constant(v), 3);
    Lcg t = before;
    if (t.next_f64() < 0.3) continue;
    ++rescaled;
    const double f = std::pow(10.0, (t.next_f64() - 0.5) * 0.6);
    ASSERT_EQ(m.kind(), Expr::Kind::Const);
    EXPECT_EQ(m.value(), f * v);
    EXPECT_EQ(std::signbit(m.value()), std::signbit(v));
    EXPECT_GE(f, 0.5);
    EXPECT_LT(f, 2.0);
    EXPECT_EQ(gen.rng().state(), t.state());
  }
  EXPECT_GT(rescaled, 1000);
}

TEST(ExprGen, MutateNeverChangesABinOperator) {
  ExprGen gen({"x", "y"}, Lcg(23));
  for (int i = 0; i < 2000; ++i) {
    const Op op = static_cast<Op>(i % 4);
    const Expr parent = Expr::bin(op, Expr::feature("x"), Expr::feature("y"));
    const Lcg before = gen.rng();
    const Expr m = gen.mutate(parent, 3);
    Lcg t = before;
    if (t.next_f64() < 0.3) continue;
    ASSERT_EQ(m.kind(), Expr::Kind::Bin);
    EXPECT_EQ(m.op(), op);
    // Exactly one side changed (or was redrawn to the same leaf); the other is a copy.
    const bool left_side = t.next_f64() < 0.5;
    if (left_side) {
      EXPECT_EQ(m.right(), parent.right());
    } else {
      EXPECT_EQ(m.left(), parent.left());
    }
  }
}

TEST(ExprGen, MutatePowExponentStepsAndNeverBecomesZero) {
  // Every exponent -3..3 (0 included as a foreign input) with every r.
  for (int32_t e = -3; e <= 3; ++e) {
    for (size_t r = 0; r < 3; ++r) {
      const uint64_t seed = find_seed([&](Lcg& g) {
        const double a = g.next_f64();
        const double b = g.next_f64();
        return a >= 0.3 && b < 0.4 && g.below(3) == r;
      });
      ExprGen gen({"x"}, Lcg(seed));
      const Expr parent = Expr::pow(Expr::feature("x"), e);
      const Expr m = gen.mutate(parent, 4);
      ASSERT_EQ(m.kind(), Expr::Kind::Pow);
      int32_t t = e + static_cast<int32_t>(r) - 1;
      const int32_t want = t == 0 ? 1 : std::clamp(t, -3, 3);
      EXPECT_EQ(m.exponent(), want) << "e=" << e << " r=" << r;
      EXPECT_NE(m.exponent(), 0);
      EXPECT_EQ(m.child(), parent.child());
      EXPECT_EQ(gen.rng().state(), state_after(seed, 3));
    }
  }
  // Exponents at the clamp edges and the t = 0 rule.
  auto step = [](int32_t e, size_t r) {
    const uint64_t seed = find_seed([&](Lcg& g) {
      const double a = g.next_f64();
      const double b = g.next_f64();
      return a >= 0.3 && b < 0.4 && g.below(3) == r;
    });
    ExprGen gen({"x"}, Lcg(seed));
    return gen.mutate(Expr::pow(Expr::feature("x"), e), 4).exponent();
  };
  EXPECT_EQ(step(-1, 2), 1);
  EXPECT_EQ(step(1, 0), 1);
  EXPECT_EQ(step(3, 2), 3);
  EXPECT_EQ(step(-3, 0), -3);
  // Extreme foreign exponents do not overflow.
  EXPECT_EQ(step(INT32_MAX, 2), 3);
  EXPECT_EQ(step(INT32_MIN, 0), -3);
}

TEST(ExprGen, MutateNeverGivesExponentZero) {
  ExprGen gen({"x", "y"}, Lcg(31));
  Expr e = Expr::pow(Expr::feature("x"), 1);
  for (int i = 0; i < 20000; ++i) {
    Expr m = gen.mutate(e, 4);
    ASSERT_EQ(count_pow_exponents(m, 0), 0u) << m.formula();
    if (m.depth() <= 6) e = std::move(m);
    if (e.kind() != Expr::Kind::Pow) e = Expr::pow(std::move(e), -1);
  }
}

TEST(ExprGen, MutateOfAFeatureIsAFreshLeafDraw) {
  const uint64_t seed = find_seed([](Lcg& r) { return r.next_f64() >= 0.3; });
  ExprGen gen({"x", "y"}, Lcg(seed));
  const Expr m = gen.mutate(Expr::feature("x"), 4);
  Twin t(seed);
  t.f();
  ExprGen rest({"x", "y"}, t.rng);
  EXPECT_EQ(m, rest.random(0));
  EXPECT_EQ(gen.rng().state(), rest.rng().state());
}

TEST(ExprGen, MutateBelowTheBudgetHandsOnZeroAndReplacesByALeaf) {
  // A deep chain of Exp; with budget 1 the children get 0, so any replacement
  // deep down is one leaf and the result is never deeper than the parent.
  Expr deep = Expr::feature("x");
  for (int i = 0; i < 12; ++i) deep = Expr::exp(std::move(deep));
  ExprGen gen({"x"}, Lcg(77));
  for (int i = 0; i < 3000; ++i) {
    const Expr m = gen.mutate(deep, 1);
    EXPECT_LE(m.depth(), deep.depth());
  }
  // A replacement at the root with budget 0 is a single leaf.
  const uint64_t seed = find_seed([](Lcg& r) { return r.next_f64() < 0.3; });
  ExprGen g0({"x"}, Lcg(seed));
  EXPECT_EQ(g0.mutate(deep, 0).depth(), 1u);
}

// ---- splice and crossover ----

TEST(ExprGen, SpliceWithBudgetZeroReturnsTheDonorWithoutDrawing) {
  ExprGen gen({"x"}, Lcg(1));
  const Expr host = Expr::feature("x");
  const Expr donor = Expr::sqrt(Expr::constant(2.0));
  EXPECT_EQ(gen.splice(host, donor, 0), donor);
  EXPECT_EQ(gen.rng().state(), Lcg(1).state());
}

TEST(ExprGen, SpliceAtALeafHostCopiesTheHost) {
  const uint64_t seed = find_seed([](Lcg& r) { return r.next_f64() >= 0.3; });
  ExprGen gen({"x"}, Lcg(seed));
  const Expr host = Expr::constant(4.0);
  EXPECT_EQ(gen.splice(host, Expr::feature("d"), 8), host);
  EXPECT_EQ(gen.rng().state(), state_after(seed, 1));
}

TEST(ExprGen, SpliceGraftsAtTheNinthLevelWhenTheBudgetIsUsedUp) {
  // A host chain deeper than 8: if no 0.3 test succeeds on the way down, the
  // donor replaces the node at level nine.
  Expr host = Expr::feature("x");
  for (int i = 0; i < 12; ++i) host = Expr::log(std::move(host));
  const uint64_t seed = find_seed([](Lcg& r) {
    for (int i = 0; i < 8; ++i)
      if (r.next_f64() < 0.3) return false;
    return true;
  });
  ExprGen gen({"x"}, Lcg(seed));
  const Expr donor = Expr::feature("d");
  const Expr child = gen.splice(host, donor, 8);
  EXPECT_EQ(child.formula(), "log(log(log(log(log(log(log(log(d))))))))");
  EXPECT_EQ(gen.rng().state(), state_after(seed, 8));
}

TEST(ExprGen, CrossoverChildDeeperThanTenIsReplacedByRandomSix) {
  // Host Q (x >= 0.5), first splice draw succeeds at once: child = donor P
  // copied. With P of depth 11 the child is too deep.
  Expr p = Expr::feature("x");
  for (int i = 0; i < 10; ++i) p = Expr::sqrt(std::move(p));
  ASSERT_EQ(p.depth(), 11u);
  const Expr q = Expr::feature("y");
  const uint64_t seed = find_seed([](Lcg& r) {
    const double x = r.next_f64();
    const double s = r.next_f64();
    return x >= 0.5 && s < 0.3;
  });
  ExprGen gen({"x", "y"}, Lcg(seed));
  const Expr child = gen.crossover(p, q);
  Twin t(seed);
  t.f();
  t.f();
  ExprGen rest({"x", "y"}, t.rng);
  EXPECT_EQ(child, rest.random(6));
  EXPECT_EQ(gen.rng().state(), rest.rng().state());
  EXPECT_LE(child.depth(), 6u);
}

TEST(ExprGen, CrossoverChildOfDepthTenIsKept) {
  Expr p = Expr::feature("x");
  for (int i = 0; i < 9; ++i) p = Expr::sqrt(std::move(p));
  ASSERT_EQ(p.depth(), 10u);
  const Expr q = Expr::feature("y");
  const uint64_t seed = find_seed([](Lcg& r) {
    const double x = r.next_f64();
    const double s = r.next_f64();
    return x >= 0.5 && s < 0.3;
  });
  ExprGen gen({"x", "y"}, Lcg(seed));
  EXPECT_EQ(gen.crossover(p, q), p);
  EXPECT_EQ(gen.rng().state(), state_after(seed, 2));
}

TEST(ExprGen, CrossoverFirstDrawChoosesTheHost) {
  const Expr p = Expr::exp(Expr::feature("x"));
  const Expr q = Expr::log(Expr::feature("y"));
  // x < 0.5: host P; the splice test fails, then Exp descends to its leaf
  // child whose test fails too: the child is a copy of P.
  const uint64_t seed = find_seed([](Lcg& r) {
    const double x = r.next_f64();
    const double s1 = r.next_f64();
    const double s2 = r.next_f64();
    return x < 0.5 && s1 >= 0.3 && s2 >= 0.3;
  });
  ExprGen gen({"x", "y"}, Lcg(seed));
  EXPECT_EQ(gen.crossover(p, q), p);
  EXPECT_EQ(gen.rng().state(), state_after(seed, 3));
}

// ---- the budget clamp ----

TEST(ExprGen, BudgetsAboveTheMaximumAreClamped) {
  ExprGen a({"x", "y"}, Lcg(9));
  ExprGen b({"x", "y"}, Lcg(9));
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(a.random(UINT32_MAX), b.random(ExprGen::kMaxBudget));
    EXPECT_EQ(a.rng().state(), b.rng().state());
  }
  const Expr parent = Expr::feature("x");
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(a.mutate(parent, 1000000), b.mutate(parent, ExprGen::kMaxBudget));
  }
}

// ---- golden streams ----

struct GoldenStep {
  std::string op;
  uint32_t budget = 0;
  std::vector<size_t> parents;
  std::string result;
  std::string formula;
  uint64_t state_after = 0;
};

void run_golden(const std::filesystem::path& path) {
  SCOPED_TRACE(path.string());
  std::ifstream in(path);
  ASSERT_TRUE(in.good());
  const nlohmann::json doc = nlohmann::json::parse(in);
  std::vector<std::string> features = doc.at("features").get<std::vector<std::string>>();
  ExprGen gen(features, Lcg(doc.at("seed").get<uint64_t>()));
  std::vector<Expr> results;
  size_t i = 0;
  for (const auto& step : doc.at("steps")) {
    SCOPED_TRACE("step " + std::to_string(i));
    const std::string op = step.at("op").get<std::string>();
    if (op == "random") {
      results.push_back(gen.random(step.at("budget").get<uint32_t>()));
    } else if (op == "mutate") {
      const size_t p = step.at("parents").at(0).get<size_t>();
      ASSERT_LT(p, results.size());
      results.push_back(gen.mutate(results[p], step.at("budget").get<uint32_t>()));
    } else if (op == "crossover") {
      const size_t p = step.at("parents").at(0).get<size_t>();
      const size_t q = step.at("parents").at(1).get<size_t>();
      ASSERT_LT(p, results.size());
      ASSERT_LT(q, results.size());
      results.push_back(gen.crossover(results[p], results[q]));
    } else {
      FAIL() << "unknown op " << op;
    }
    const Expr& r = results.back();
    ASSERT_EQ(r.to_json(), step.at("result").get<std::string>());
    ASSERT_EQ(r.formula(), step.at("formula").get<std::string>());
    ASSERT_EQ(std::to_string(gen.rng().state()), step.at("state_after").get<std::string>());
    ++i;
  }
  EXPECT_GT(i, 0u);
}

TEST(ExprGenGolden, AllStreams) {
  const auto files = golden::cases(QUORVEX_GOLDEN_DIR "/generator");
  ASSERT_GE(files.size(), 3u);
  for (const auto& f : files) run_golden(f);
}

}  // namespace
}  // namespace quorvex
