#include "units/units.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "refine/reduced.h"
#include "refine/refine.h"
#include "refine/scaled.h"
#include "rng/lcg.h"
#include "units/check.h"
#include "units/groups.h"

namespace quorvex {
namespace {

Unit u(const char* text) { return parse_unit(text); }

TEST(ParseUnit, SpellingsOfOneUnitAgreeAndTextReadsBack) {
  const Unit newton = u("kg*m/s^2");
  for (const char* same : {"N", "kg m s^-2", "m*kg/s/s", "kg*m*s**-2", "kg m s^(-2)", "J/m"})
    EXPECT_EQ(u(same), newton) << same;
  EXPECT_EQ(newton.text(), "kg*m/s^2");
  EXPECT_TRUE(u("1").dimensionless());
  EXPECT_EQ(u("1/s"), u("Hz"));
  EXPECT_EQ(u("V*A"), u("W"));
  EXPECT_EQ(u("Ohm*A"), u("V"));
  EXPECT_EQ(u("C/V"), u("F"));
  for (const char* text : {"m^(1/2)/s", "kg*m^2/s^3/A^2", "1/s", "mol/K^(3/4)", "1", "cd"})
    EXPECT_EQ(u(text).text(), text);
}

TEST(ParseUnit, ErrorsNameThePosition) {
  struct Case {
    const char* text;
    size_t position;
  };
  for (const Case c : {Case{"", 1}, Case{"kgg", 1}, Case{"m/", 3}, Case{"m^", 3}, Case{"m^x", 3},
                       Case{"m^(1/0)", 6}, Case{"m^(1/2", 7}, Case{"m^99999", 6},
                       Case{"kg*m/s^2 + 1", 10}, Case{"m.s", 2}, Case{"2", 1},
                       // a whole no text could write (s^-2000): it would not read back
                       Case{"N^1000", 7}, Case{"m^1000*m", 9}}) {
    try {
      (void)parse_unit(c.text);
      ADD_FAILURE() << c.text << " was accepted";
    } catch (const UnitError& e) {
      EXPECT_EQ(e.position(), c.position) << c.text << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find("position " + std::to_string(c.position)),
                std::string::npos);
    }
  }
}

TEST(ReadUnits, NamesTheColumnAndCatchesMissingOrUnknownOnes) {
  auto message = [](auto&& f) {
    try {
      f();
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  const std::vector<std::string> names = {"mass", "r"};
  EXPECT_NE(message([&] {
              read_units(names, {{"mass", "kg"}, {"r", "mm"}}, "F", "N");
            }).find("\"r\""),
            std::string::npos);
  EXPECT_NE(message([&] {
              read_units(names, {{"mass", "kg"}}, "F", "N");
            }).find("\"r\""),
            std::string::npos);
  EXPECT_NE(message([&] {
              read_units(names, {{"mass", "kg"}, {"q", "C"}}, "F", "N");
            }).find("\"q\""),
            std::string::npos);
  EXPECT_NE(message([&] {
              read_units(names, {{"mass", "kg"}, {"r", "m"}}, "F", "N/");
            }).find("target \"F\""),
            std::string::npos);
  const DeclaredUnits declared = read_units(names, {{"r", "m"}, {"mass", "kg"}}, "F", "N");
  EXPECT_TRUE(declared.declared);
  EXPECT_EQ(declared.target, u("N"));
}

// Newton's gravitation with G among the data, and without.
DeclaredUnits gravity(bool with_g, uint32_t dimensional) {
  DeclaredUnits s;
  s.declared = true;
  s.features = {{"m1", u("kg")}, {"m2", u("kg")}, {"r", u("m")}, {"t", u("s")}};
  if (with_g) s.features.emplace_back("G", u("N*m^2/kg^2"));
  s.target = u("N");
  s.dimensional_constants = dimensional;
  return s;
}

Expr f(const char* name) { return Expr::feature(name); }
Expr c(double v) { return Expr::constant(v); }
Expr mul(Expr a, Expr b) { return Expr::bin(Op::Mul, std::move(a), std::move(b)); }
Expr div(Expr a, Expr b) { return Expr::bin(Op::Div, std::move(a), std::move(b)); }
Expr add(Expr a, Expr b) { return Expr::bin(Op::Add, std::move(a), std::move(b)); }

TEST(UnitCheck, DerivesThroughTheTree) {
  const UnitCheck with_g(gravity(true, 0));
  const Expr law = div(mul(f("G"), mul(f("m1"), f("m2"))), Expr::pow(f("r"), 2));
  EXPECT_TRUE(with_g.agrees(law));
  EXPECT_TRUE(with_g.agrees(mul(c(2.0), law)));
  // An offset takes its sum's unit; a factor is a pure number.
  const auto units =
      with_g.constant_units(add(c(1.0), mul(c(2.0), mul(law, div(add(f("r"), c(4.0)), f("r"))))));
  ASSERT_TRUE(units);
  EXPECT_EQ((*units)[0], u("N"));
  EXPECT_TRUE((*units)[1].dimensionless());
  EXPECT_EQ((*units)[2], u("m"));
  EXPECT_TRUE(with_g.agrees(c(3.0)));
  EXPECT_FALSE(with_g.agrees(add(law, f("m1"))));              // unequal sum
  EXPECT_FALSE(with_g.agrees(mul(law, Expr::exp(f("r")))));    // dimensioned exp
  EXPECT_FALSE(with_g.agrees(mul(law, add(f("r"), c(1.0)))));  // r + a pure number
  EXPECT_FALSE(with_g.agrees(mul(law, f("x"))));               // a feature without a unit
  EXPECT_TRUE(with_g.agrees(mul(law, Expr::sin(div(f("m1"), f("m2"))))));
  // sqrt halves, integer powers multiply.
  EXPECT_TRUE(with_g.agrees(div(mul(f("G"), Expr::pow(Expr::sqrt(mul(f("m1"), f("m2"))), 2)),
                                mul(f("r"), Expr::abs(f("r"))))));
  // Powers that would overflow the exponents never agree, nor crash.
  const Expr huge = Expr::pow(Expr::pow(f("r"), 2147483647), 2147483647);
  EXPECT_FALSE(with_g.agrees(huge));
}

TEST(UnitCheck, DimensionalConstantsAreSolvedFor) {
  const Expr law = div(mul(c(6.7e-11), mul(f("m1"), f("m2"))), Expr::pow(f("r"), 2));
  EXPECT_FALSE(UnitCheck(gravity(false, 0)).agrees(law));
  const auto units = UnitCheck(gravity(false, 1)).constant_units(law);
  ASSERT_TRUE(units);
  EXPECT_EQ((*units)[0], u("N*m^2/kg^2"));
  // Two constants, one inside exp: exp(-k·t) needs k in 1/s.
  const Expr decay = mul(law, Expr::exp(mul(c(-0.5), f("t"))));
  EXPECT_FALSE(UnitCheck(gravity(false, 1)).agrees(decay));
  const auto two = UnitCheck(gravity(false, 2)).constant_units(decay);
  ASSERT_TRUE(two);
  EXPECT_EQ((*two)[1], u("1/s"));
  // A constant the equations leave free stays a pure number.
  const auto loose =
      UnitCheck(gravity(true, 1))
          .constant_units(mul(
              c(2.0), mul(c(3.0), div(mul(f("G"), mul(f("m1"), f("m2"))), Expr::pow(f("r"), 2)))));
  ASSERT_TRUE(loose);
  EXPECT_TRUE((*loose)[0].dimensionless() && (*loose)[1].dimensionless());
}

TEST(UnitCheck, MonomialsOfAUnitComeSimplestFirst) {
  const DeclaredUnits g = gravity(true, 0);
  const std::vector<Monomial> force = unit_monomials(g, u("N"), 50);
  const Monomial law = {{"m1", 1}, {"m2", 1}, {"r", -2}, {"G", 1}};
  EXPECT_NE(std::find(force.begin(), force.end(), law), force.end());
  for (const Monomial& m : force) {
    Expr e = c(1.0);
    for (const auto& [name, p] : m) e = mul(std::move(e), Expr::pow(f(name.c_str()), p));
    EXPECT_TRUE(UnitCheck(g).agrees(e));
  }
  const std::vector<Monomial> pure = unit_monomials(g, Unit{}, 3);
  ASSERT_EQ(pure.size(), 3u);
  EXPECT_EQ(pure[0], (Monomial{{"m1", 1}, {"m2", -1}}));
  EXPECT_TRUE(unit_monomials(g, u("A"), 5).empty());
}

Unit unit_of(const DeclaredUnits& d, const Monomial& m) {
  std::optional<Unit> out = Unit{};
  for (const auto& [name, p] : m)
    for (const auto& [n, unit] : d.features)
      if (n == name && out) out = out->times(*unit.pow(Rational{p, 1}));
  return *out;
}

TEST(UnitGroups, SplitALawIntoAScaleAndPureNumbers) {
  // A dipole's field: six features over three independent units leave three
  // groups, and a pure-number feature is one of its own.
  const std::vector<std::string> names = {"epsilon", "p_d", "r", "x", "y", "z", "theta"};
  const DeclaredUnits dipole = read_units(names,
                                          {{"epsilon", "F/m"},
                                           {"p_d", "C*m"},
                                           {"r", "m"},
                                           {"x", "m"},
                                           {"y", "m"},
                                           {"z", "m"},
                                           {"theta", "1"}},
                                          "E", "V/m");
  const auto g = unit_groups(dipole);
  ASSERT_TRUE(g);
  ASSERT_EQ(g->groups.size(), 4u);
  for (const Monomial& m : g->groups) EXPECT_TRUE(unit_of(dipole, m).dimensionless());
  EXPECT_EQ(g->groups.back(), (Monomial{{"theta", 1}}));
  EXPECT_FALSE(g->scale_sqrt);
  EXPECT_EQ(unit_of(dipole, g->scale), dipole.target);
  // The simplest choice: each length over one other, p_d/(epsilon·r³) or alike.
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(g->groups[i].size(), 2u);
  int power = 0;
  for (const auto& f : g->scale) power += std::abs(f.second);
  EXPECT_EQ(power, 5);

  // A pendulum's period scales as sqrt(L/g).
  const DeclaredUnits pendulum =
      read_units({"L", "g", "theta"}, {{"L", "m"}, {"g", "m/s^2"}, {"theta", "1"}}, "T", "s");
  const auto p = unit_groups(pendulum);
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->scale_sqrt);
  EXPECT_EQ(unit_of(pendulum, p->scale), u("s^2"));
  EXPECT_EQ(p->groups, (std::vector<Monomial>{{{"theta", 1}}}));

  // Nothing to reduce: no feature with a unit, or a target they cannot make.
  EXPECT_FALSE(unit_groups(read_units({"a"}, {{"a", "1"}}, "y", "1")));
  EXPECT_FALSE(unit_groups(read_units({"L", "t"}, {{"L", "m"}, {"t", "s"}}, "y", "K")));
}

TEST(ScaledUnits, OnlyAgreeingFormsAreScored) {
  Dataset d("F");
  for (const char* n : {"m1", "m2", "r", "t"}) d.add_feature(n);
  Lcg rng(3);
  for (int i = 0; i < 40; ++i) {
    double v[4];
    for (double& x : v) x = 1.0 + rng.next_f64();
    d.push_row(v, 3.0 + 2.0 * v[0] * v[1] / (v[2] * v[2]));
  }
  const UnitCheck none(gravity(false, 0)), one(gravity(false, 1));
  const Expr raw = div(mul(f("m1"), f("m2")), Expr::pow(f("r"), 2));
  // kg²/m² is not N: without a dimensional constant no form agrees and the
  // tree is refused unscored; with one, b carries the unit.
  EXPECT_TRUE(std::isinf(score_scaled(raw, d, 1e-20, OperatorSet::all(), &none).score));
  const ScaledScore s = score_scaled(raw, d, 1e-20, OperatorSet::all(), &one);
  EXPECT_EQ(s.form, ScaledScore::Form::Affine);
  EXPECT_TRUE(one.agrees(scaled_tree(raw, s)));
  EXPECT_EQ(score_scaled(raw, d, 1e-20).score,
            score_scaled(raw, d, 1e-20, OperatorSet::all(), nullptr).score);
}

TEST(RefineUnits, TheLawInGroupsIsWrittenBackInTheFeatures) {
  // A pendulum's period at larger swings: F(theta) alone is left to find.
  Dataset d("T");
  for (const char* n : {"L", "g", "theta"}) d.add_feature(n);
  Lcg rng(7);
  for (int i = 0; i < 80; ++i) {
    const double v[3] = {0.5 + rng.next_f64(), 9.0 + rng.next_f64(), rng.next_f64()};
    d.push_row(v, 2.0 * std::numbers::pi * std::sqrt(v[0] / v[1]) * (1.0 + v[2] * v[2] / 16.0));
  }
  RefinedConfig cfg;
  cfg.population = 200;
  cfg.units =
      read_units({"L", "g", "theta"}, {{"L", "m"}, {"g", "m/s^2"}, {"theta", "1"}}, "T", "s");
  const ReducedStart start = reduced_start(d, cfg, 0.0, nullptr);
  ASSERT_FALSE(start.trees.empty());
  EXPECT_GT(start.generations, 0u);
  double best = INFINITY;
  for (const Expr& t : start.trees) {
    EXPECT_TRUE(UnitCheck(cfg.units).agrees(t)) << t.formula();
    double sum = 0.0;
    for (size_t r = 0; r < d.n_rows(); ++r) {
      const double e = t.evaluate(d.row(r)) - d.targets()[r];
      sum += e * e;
    }
    best = std::min(best, sum / static_cast<double>(d.n_rows()));
  }
  EXPECT_LT(best, 1e-20);
  // With a dimensional constant a law need not be M·F(groups): no start.
  cfg.units.dimensional_constants = 1;
  EXPECT_TRUE(reduced_start(d, cfg, 0.0, nullptr).trees.empty());
}

TEST(RefineUnits, FindsAnAgreeingLawAndReportsItsConstants) {
  // E = m·v²/2 with a distractor the plain search could use.
  Dataset d("E");
  for (const char* n : {"m", "v", "h"}) d.add_feature(n);
  Lcg rng(5);
  for (int i = 0; i < 60; ++i) {
    double v[3];
    for (double& x : v) x = 1.0 + 4.0 * rng.next_f64();
    d.push_row(v, v[0] * v[1] * v[1] / 2.0);
  }
  RefinedConfig cfg;
  cfg.population = 200;
  cfg.seed = 2;
  cfg.units = read_units({"m", "v", "h"}, {{"m", "kg"}, {"v", "m/s"}, {"h", "m"}}, "E", "J");
  const RefinedResult r = refine(d, cfg);
  const UnitCheck check(cfg.units);
  EXPECT_TRUE(check.agrees(r.best));
  for (const FrontEntry& e : r.front) EXPECT_TRUE(check.agrees(e.tree)) << e.shown;
  EXPECT_LT(r.front.back().mse_train, 1e-12);
  EXPECT_EQ(r.constant_units.size(), r.constants.size());
  cfg.units.features.pop_back();
  EXPECT_THROW(refine(d, cfg), std::invalid_argument);
}

TEST(RefineUnits, FindsALawOfHighDegreeInNoisyData) {
  // P = q²a²/(6π·ε·c³): its monomial has degree 8, and noise on its small
  // values hides it from the fit in logs.
  Dataset d("P");
  for (const char* n : {"q", "a", "epsilon", "c"}) d.add_feature(n);
  Lcg rng(3);
  std::vector<double> clean;
  std::vector<std::array<double, 4>> xs;
  for (int i = 0; i < 200; ++i) {
    std::array<double, 4> v;
    for (double& x : v) x = 1.0 + 4.0 * rng.next_f64();
    xs.push_back(v);
    clean.push_back(v[0] * v[0] * v[1] * v[1] /
                    (6.0 * std::numbers::pi * v[2] * std::pow(v[3], 3)));
  }
  double mean = 0.0, var = 0.0;
  for (double y : clean) mean += y / 200.0;
  for (double y : clean) var += (y - mean) * (y - mean) / 200.0;
  for (int i = 0; i < 200; ++i)
    d.push_row(xs[i].data(), clean[i] + 0.02 * std::sqrt(var) * (rng.next_f64() - 0.5));
  RefinedConfig cfg;
  cfg.population = 300;
  cfg.seed = 1;
  cfg.units = read_units({"q", "a", "epsilon", "c"},
                         {{"q", "C"}, {"a", "m/s^2"}, {"epsilon", "F/m"}, {"c", "m/s"}}, "P", "W");
  const RefinedResult r = refine(d, cfg);
  EXPECT_LT(r.front.back().mse_train, 1e-3 * var) << r.front.back().shown;
}

}  // namespace
}  // namespace quorvex
