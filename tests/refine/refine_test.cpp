#include "refine/refine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "baselines/baselines.h"
#include "expr/derivatives.h"
#include "refine/scaled.h"

namespace quorvex {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

template <typename F>
Dataset make(size_t rows, F law, uint64_t seed = 11) {
  Dataset d("y");
  d.add_feature("x");
  d.add_feature("z");
  Lcg rng(seed);
  for (size_t i = 0; i < rows; ++i) {
    const double v[2] = {rng.next_f64() * 4.0 - 2.0, rng.next_f64() * 3.0 + 0.5};
    d.push_row(v, law(v[0], v[1], rng));
  }
  return d;
}

// A third of the default population: enough for these laws, and a third of
// the time under the sanitizers.
RefinedConfig test_config() {
  RefinedConfig cfg;
  cfg.population = 300;
  return cfg;
}

TEST(ScaledScore, PicksTheCheapestFormThatFits) {
  Dataset d("y");
  d.add_feature("x");
  for (int i = 0; i < 20; ++i) {
    const double x = i;
    d.push_row(&x, 5.0 + 2.0 * x);
  }
  const Expr x = Expr::feature("x");
  const double floor = 1e-12;
  const ScaledScore s = score_scaled(x, d, floor);
  EXPECT_EQ(s.form, ScaledScore::Form::Affine);
  EXPECT_DOUBLE_EQ(s.a, 5.0);
  EXPECT_DOUBLE_EQ(s.b, 2.0);
  EXPECT_EQ(s.complexity, 5u);
  // Already exact: no scaling is charged.
  const Expr exact =
      Expr::bin(Op::Add, Expr::constant(5.0), Expr::bin(Op::Mul, Expr::constant(2.0), x));
  EXPECT_EQ(score_scaled(exact, d, floor).form, ScaledScore::Form::Plain);
  // Not finite on one training row: unusable.
  EXPECT_EQ(score_scaled(Expr::log(x), d, floor).score, kInf);
}

TEST(ScaledScore, FitsSumsTermByTermAndQuotientsAsRationalFunctions) {
  Dataset d("y");
  d.add_feature("x");
  d.add_feature("z");
  Lcg rng(4);
  for (int i = 0; i < 50; ++i) {
    const double v[2] = {rng.next_f64() * 2.0, 1.0 + rng.next_f64()};
    d.push_row(v, (3.0 + 2.0 * v[0]) / (0.5 + v[1]));
  }
  const Expr x = Expr::feature("x"), z = Expr::feature("z");
  const ScaledScore r = score_scaled(Expr::bin(Op::Div, x, z), d, 1e-20);
  ASSERT_EQ(r.form, ScaledScore::Form::Rational);
  EXPECT_LT(r.mse, 1e-20);
  // The tree it stands for gives the same values.
  const Expr t = scaled_tree(Expr::bin(Op::Div, x, z), r);
  for (size_t i = 0; i < d.n_rows(); ++i) EXPECT_NEAR(t.evaluate(d.row(i)), d.targets()[i], 1e-9);

  Dataset poly("y");
  poly.add_feature("x");
  for (int i = 0; i < 30; ++i) {
    const double v = i / 10.0;
    poly.push_row(&v, 1.0 + 2.0 * v * v - 0.5 * v * v * v);
  }
  const Expr sum = Expr::bin(Op::Add, Expr::pow(x, 2), Expr::pow(x, 3));
  const ScaledScore s = score_scaled(sum, poly, 1e-20);
  ASSERT_EQ(s.form, ScaledScore::Form::Terms);
  EXPECT_LT(s.mse, 1e-20);
  EXPECT_EQ(s.complexity, node_count(scaled_tree(sum, s)));
}

TEST(Refine, FindsExactLawsInTheirSimplestForm) {
  RefinedConfig cfg = test_config();
  cfg.seed = 1;
  const auto quad =
      refine(make(200, [](double x, double, Lcg&) { return 3.0 * x * x + 1.0; }), cfg);
  EXPECT_LE(quad.report.mse_train, quad.mse_floor);
  EXPECT_LE(quad.report.k, 7u) << quad.report.formula;
  EXPECT_EQ(quad.report.verdict, Verdict::Strong);
  EXPECT_EQ(quad.stop, StopReason::Exact);
  // Fitting leaves 3 and 1 a hair away; the reported law has them exactly.
  for (double c : constants_of(quad.best)) EXPECT_EQ(c, std::round(c)) << quad.report.formula;

  const auto prod = refine(make(200, [](double x, double z, Lcg&) { return 2.0 * x * z; }), cfg);
  EXPECT_LE(prod.report.mse_train, prod.mse_floor);
  EXPECT_LE(prod.report.k, 5u) << prod.report.formula;
  // The front runs from simple to complex, each entry better than the last.
  ASSERT_FALSE(prod.front.empty());
  for (size_t i = 1; i < prod.front.size(); ++i) {
    EXPECT_GT(prod.front[i].complexity, prod.front[i - 1].complexity);
    EXPECT_LT(prod.front[i].mse_train, prod.front[i - 1].mse_train);
  }
}

TEST(Refine, StartsMultiplicativeLawsFromTheirLogs) {
  // q1·q2/(4π·r²): a straight line in logs, found in the first generations.
  Dataset d("F");
  for (const char* f : {"q1", "q2", "r"}) d.add_feature(f);
  Lcg rng(3);
  for (int i = 0; i < 200; ++i) {
    const double v[3] = {1.0 + 4.0 * rng.next_f64(), 1.0 + 4.0 * rng.next_f64(),
                         1.0 + 4.0 * rng.next_f64()};
    d.push_row(v, v[0] * v[1] / (4.0 * std::numbers::pi * v[2] * v[2]));
  }
  RefinedConfig cfg = test_config();
  cfg.generations = 3;
  const auto r = refine(d, cfg);
  EXPECT_LE(r.report.mse_train, r.mse_floor) << r.report.formula;
  EXPECT_LE(r.report.k, 8u) << r.report.formula;
}

TEST(Refine, FindsADampedOscillationWithItsRateAndFrequency) {
  Dataset d("y");
  d.add_feature("t");
  Lcg rng(5);
  for (int i = 0; i < 200; ++i) {
    const double t = 10.0 * rng.next_f64();
    d.push_row(&t, std::exp(-0.3 * t) * std::cos(2.5 * t));
  }
  // A search is a random walk: one seed of a few may miss (a platform's
  // last-bit differences change which), but not all of them.
  std::string tried;
  bool found = false;
  for (uint64_t seed = 1; seed <= 3 && !found; ++seed) {
    RefinedConfig cfg = test_config();
    cfg.seed = seed;
    const auto r = refine(d, cfg);
    found = r.report.mse_train <= r.mse_floor && r.report.k <= 12u &&
            (r.report.formula.find("cos") != std::string::npos ||
             r.report.formula.find("sin") != std::string::npos);
    tried += r.report.formula + "\n";
  }
  EXPECT_TRUE(found) << tried;
}

TEST(Refine, FitsARateStartedFarFromItsValue) {
  // An occupancy 1/(exp(c·x) − 1): the pieces start c at 1, six times too
  // large, where a few fitting steps leave it well short of the series that
  // approximate it in range.
  Dataset d("n");
  d.add_feature("x");
  Lcg rng(7);
  for (int i = 0; i < 200; ++i) {
    const double x = 0.05 + 20.0 * rng.next_f64();
    d.push_row(&x, 1.0 / (std::exp(0.16 * x) - 1.0));
  }
  std::string tried;
  bool found = false;
  for (uint64_t seed = 1; seed <= 3 && !found; ++seed) {
    RefinedConfig cfg;  // a smaller population settles on the series
    cfg.seed = seed;
    const auto r = refine(d, cfg);
    found = r.report.mse_train <= r.mse_floor && r.report.k <= 8u &&
            r.report.formula.find("exp") != std::string::npos;
    tried += r.report.formula + "\n";
  }
  EXPECT_TRUE(found) << tried;
}

TEST(Refine, BuildsOnlyFromItsOperatorSetAndChargesItsWeights) {
  const Dataset d = make(150, [](double x, double z, Lcg&) { return std::sin(x) + z; });
  RefinedConfig cfg = test_config();
  cfg.generations = 20;
  cfg.operators = OperatorSet::parse("+,-,*,/");
  const auto plain = refine(d, cfg);
  for (const FrontEntry& e : plain.front) {
    EXPECT_TRUE(cfg.operators.allows(e.tree)) << e.tree.formula();
    EXPECT_EQ(e.complexity, cfg.operators.complexity(e.tree)) << e.tree.formula();
  }
  cfg.operators = OperatorSet::parse("+,-,*,/,sin:4");
  const auto weighted = refine(d, cfg);
  bool any_sin = false;
  for (const FrontEntry& e : weighted.front) {
    EXPECT_EQ(e.complexity, cfg.operators.complexity(e.tree)) << e.tree.formula();
    any_sin = any_sin || e.tree.formula().find("sin") != std::string::npos;
  }
  EXPECT_TRUE(any_sin);
  EXPECT_LE(weighted.report.mse_train, weighted.mse_floor) << weighted.report.formula;
}

TEST(Refine, StopsAtTheTimeLimitAndWhenTheFrontStalls) {
  const auto d = make(300, [](double x, double z, Lcg& rng) {
    return std::sin(3.0 * x) * z + 0.3 * (rng.next_f64() - 0.5);
  });
  RefinedConfig cfg = test_config();
  cfg.time_limit = 1e-9;
  const auto timed = refine(d, cfg);
  EXPECT_EQ(timed.stop, StopReason::TimeLimit);
  EXPECT_EQ(timed.generations, 1u);
  cfg.time_limit = 0.0;
  cfg.patience = 2;
  const auto stalled = refine(d, cfg);
  EXPECT_EQ(stalled.stop, StopReason::Patience);
  EXPECT_LT(stalled.generations, cfg.generations);
  // The stall is followed by a second run; without restarts the first ends it.
  cfg.restarts = 0;
  const auto once = refine(d, cfg);
  EXPECT_EQ(once.stop, StopReason::Patience);
  EXPECT_LT(once.generations, stalled.generations);
}

// On many rows the search runs on the first few thousand; the front, its BICs
// and the verdict are those of every training row.
TEST(Refine, SearchesOnAFewThousandRowsAndJudgesOnAll) {
  const auto d = make(6000, [](double x, double z, Lcg&) { return 2.0 * x * z + 1.0; });
  RefinedConfig cfg = test_config();
  cfg.seed = 3;
  cfg.generations = 30;
  const auto r = refine(d, cfg);
  const size_t n = r.train.n_rows();
  ASSERT_EQ(n + r.test.n_rows(), 6000u);
  ASSERT_FALSE(r.front.empty());
  for (const FrontEntry& e : r.front) {
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) {
      const double err = e.tree.evaluate(r.train.row(i)) - r.train.targets()[i];
      sum += err * err;
    }
    EXPECT_NEAR(e.mse_train, sum / static_cast<double>(n), 1e-9 * e.mse_train) << e.tree.formula();
    EXPECT_EQ(e.bic, refined_bic(e.mse_train, n, e.complexity, r.mse_floor));
  }
  EXPECT_EQ(r.report.verdict, Verdict::Strong);
  EXPECT_LE(r.report.k, 7u) << r.report.formula;
  EXPECT_LE(r.report.mse_train, r.mse_floor) << r.report.formula;
}

TEST(Refine, SetsAsideNonFiniteRowsAndRefusesTooFew) {
  auto d = make(100, [](double x, double z, Lcg&) { return x + z; });
  const double bad[2] = {kNaN, 1.0};
  d.push_row(bad, 1.0);
  const double good[2] = {1.0, 1.0};
  d.push_row(good, kInf);
  d.push_row(good, kNaN);
  const auto r = refine(d, RefinedConfig{});
  EXPECT_EQ(r.rows_set_aside, 3u);
  EXPECT_EQ(r.report.n_train + r.report.n_test, 100u);
  EXPECT_TRUE(std::isfinite(r.report.bic));

  Dataset tiny("y");
  tiny.add_feature("x");
  for (int i = 0; i < 4; ++i) {
    const double x = i;
    tiny.push_row(&x, x);
  }
  tiny.push_row(bad, 1.0);
  EXPECT_THROW(refine(tiny, RefinedConfig{}), std::invalid_argument);
  EXPECT_THROW(refine(Dataset("y"), RefinedConfig{}), std::invalid_argument);
  RefinedConfig odd;
  odd.test_fraction = 1.0;
  EXPECT_THROW(refine(d, odd), std::invalid_argument);
  odd.test_fraction = kNaN;
  EXPECT_THROW(refine(d, odd), std::invalid_argument);
}

TEST(Refine, SameResultForAnyThreadCountAndAfterAStopRequest) {
  const auto d = make(300, [](double x, double z, Lcg& rng) {
    return std::exp(-0.5 * x) * z + 0.1 * (rng.next_f64() - 0.5);
  });
  RefinedConfig cfg = test_config();
  cfg.seed = 5;
  cfg.generations = 15;
  cfg.max_threads = 1;
  const auto one = refine(d, cfg);
  cfg.max_threads = 0;
  const auto all = refine(d, cfg);
  EXPECT_EQ(one.report.expr_json, all.report.expr_json);
  EXPECT_EQ(std::bit_cast<uint64_t>(one.report.bic), std::bit_cast<uint64_t>(all.report.bic));
  EXPECT_EQ(one.front.size(), all.front.size());

  uint32_t calls = 0;
  const RefineProgress stop_at_three = [&](const GenerationInfo& g) {
    // A slow build also hears pulses from within a generation.
    if (!g.within_generation) {
      EXPECT_EQ(g.generation, ++calls);
    }
    return g.generation < 3;
  };
  const auto stopped = refine(d, cfg, &stop_at_three);
  EXPECT_EQ(stopped.stop, StopReason::Callback);
  EXPECT_EQ(stopped.generations, 3u);
  EXPECT_TRUE(std::isfinite(stopped.report.bic));

  // Stopped at the first call: the report still stands.
  const RefineProgress at_once = [](const GenerationInfo&) { return false; };
  const auto early = refine(d, cfg, &at_once);
  EXPECT_EQ(early.stop, StopReason::Callback);
  EXPECT_LE(early.generations, 1u);
  EXPECT_TRUE(std::isfinite(early.report.bic));
}

TEST(Refine, NeverEndsFarBehindAStraightLineAndCallsNoiseNoise) {
  // Noisy linear data: the seeded line keeps the result within the
  // difference of parameter counting (nodes against coefficients).
  const auto lin = make(
      200, [](double x, double z, Lcg& rng) { return 1.5 * x - 0.5 * z + (rng.next_f64() - 0.5); });
  RefinedConfig short_run;
  short_run.generations = 40;
  const auto r = refine(lin, short_run);
  const double counting = (4.0 * 2 + 1 - 3) * std::log(static_cast<double>(r.report.n_train));
  EXPECT_LE(r.report.delta_bic_linear, counting) << r.report.formula;

  // Many features: the line is far larger than any bred tree, and still kept.
  Dataset wide("y");
  for (int j = 0; j < 60; ++j) {
    std::string name = "f";
    name += std::to_string(j);
    wide.add_feature(name);
  }
  Lcg wide_rng(9);
  std::vector<double> v(60);
  for (int i = 0; i < 300; ++i) {
    double y = 0.0;
    for (int j = 0; j < 60; ++j) y += (j % 7 - 3) * (v[j] = wide_rng.next_f64());
    wide.push_row(v.data(), y + 0.1 * wide_rng.next_f64());
  }
  const auto w = refine(wide, short_run);
  EXPECT_LT(w.report.delta_bic_const, -100.0) << w.report.formula;

  size_t strong = 0;
  for (uint64_t s = 0; s < 5; ++s) {
    RefinedConfig cfg = test_config();
    cfg.seed = s;
    cfg.generations = 40;
    const auto noise =
        refine(make(
                   150, [](double, double, Lcg& rng) { return rng.next_f64(); }, 100 + s),
               cfg);
    strong += noise.report.verdict == Verdict::Strong;
  }
  EXPECT_EQ(strong, 0u);
}

}  // namespace
}  // namespace quorvex
