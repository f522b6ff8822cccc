// Weighted rows: weights of 1 change no bit, integer weights act as repeated
// rows, a row of weight 0 as a removed one.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "assess/assess.h"
#include "baselines/baselines.h"
#include "refine/fit.h"
#include "refine/refine.h"
#include "refine/render.h"
#include "refine/scaled.h"
#include "rng/lcg.h"

namespace quorvex {
namespace {

// y = 1.5·x²/z plus noise, with integer weights 0..3 drawn alongside.
struct Rows {
  std::vector<double> x, z, y, w;
};

Rows draw(size_t n, uint64_t seed = 5) {
  Rows r;
  Lcg rng(seed);
  for (size_t i = 0; i < n; ++i) {
    r.x.push_back(rng.next_f64() * 2.0 + 1.0);
    r.z.push_back(rng.next_f64() * 2.0 + 0.5);
    r.y.push_back(1.5 * r.x[i] * r.x[i] / r.z[i] + 0.1 * (rng.next_f64() - 0.5));
    r.w.push_back(static_cast<double>(rng.below(4)));
  }
  return r;
}

// Each row `times(i)` times.
template <typename Times>
Dataset dataset(const Rows& r, Times times) {
  Dataset d("y");
  d.add_feature("x");
  d.add_feature("z");
  for (size_t i = 0; i < r.y.size(); ++i)
    for (int k = 0; k < times(i); ++k) {
      const double v[2] = {r.x[i], r.z[i]};
      d.push_row(v, r.y[i]);
    }
  return d;
}

Dataset plain(const Rows& r) {
  return dataset(r, [](size_t) { return 1; });
}

Dataset weighted(const Rows& r, std::vector<double> w) {
  Dataset d = plain(r);
  d.set_weights(std::move(w));
  return d;
}

RefinedConfig small_config() {
  RefinedConfig cfg;
  cfg.population = 200;
  cfg.seed = 3;
  return cfg;
}

// The JSON report without what may differ by design: the clock and the
// weights' sum, which only a weighted report has.
std::string report_of(const RefinedResult& r) {
  RefinedResult copy = r;
  copy.report.wall_clock_ms = 0;
  copy.train.drop_weights();
  return refined_report_json(copy);
}

std::vector<Expr> probes() {
  const Expr x = Expr::feature("x"), z = Expr::feature("z");
  return {
      x,                                                                                // affine
      Expr::bin(Op::Add, Expr::pow(x, 2), Expr::bin(Op::Mul, x, z)),                    // terms
      Expr::bin(Op::Div, Expr::pow(x, 2), Expr::bin(Op::Add, z, Expr::constant(0.3))),  // rational
      Expr::bin(Op::Mul, Expr::constant(1.2),
                Expr::exp(Expr::bin(Op::Mul, Expr::constant(0.4), x)))};
}

TEST(Weights, OfOneChangeNoBit) {
  const Rows r = draw(150);
  const Dataset d = plain(r);
  const Dataset ones = weighted(r, std::vector<double>(r.y.size(), 1.0));
  for (const Expr& e : probes()) {
    const ScaledScore a = score_scaled(e, d, 1e-12), b = score_scaled(e, ones, 1e-12);
    EXPECT_EQ(a.score, b.score);
    EXPECT_EQ(a.a, b.a);
    EXPECT_EQ(a.coef, b.coef);
    EXPECT_EQ(fit_constants(e, d, 25).sse, fit_constants(e, ones, 25).sse);
    EXPECT_EQ(finite_errors(e, d).mse(), finite_errors(e, ones).mse());
  }
  const BaselinesReport bd = compute(d, 30, 7), bo = compute(ones, 30, 7);
  EXPECT_EQ(bd.bic_const, bo.bic_const);
  EXPECT_EQ(bd.bic_linear, bo.bic_linear);
  EXPECT_EQ(bd.bic_shuffled_mean, bo.bic_shuffled_mean);
  EXPECT_EQ(bd.bic_shuffled_std, bo.bic_shuffled_std);
  EXPECT_EQ(report_of(refine(d, small_config())), report_of(refine(ones, small_config())));
}

// Summing 2·e² once and e² twice round differently, and Eigen solves
// normal equations of another scale: equal within rounding, not to the bit.
// The shuffled baselines differ by design: a permutation of n weighted rows
// is not one of Σw repeated rows.
TEST(Weights, IntegersActAsRepeatedRows) {
  const Rows r = draw(150);
  const Dataset w = weighted(r, r.w);
  const Dataset rep = dataset(r, [&](size_t i) { return static_cast<int>(r.w[i]); });
  ASSERT_EQ(w.weight_total(), static_cast<double>(rep.n_rows()));
  const auto near = [](double a, double b) { EXPECT_NEAR(a, b, 1e-9 * (1.0 + std::fabs(b))); };
  for (const Expr& e : probes()) {
    const ScaledScore a = score_scaled(e, w, 1e-12), b = score_scaled(e, rep, 1e-12);
    EXPECT_EQ(a.form, b.form);
    near(a.score, b.score);
    near(a.mse, b.mse);
    near(fit_constants(e, w, 25).sse, fit_constants(e, rep, 25).sse);
    near(finite_errors(e, w).mse(), finite_errors(e, rep).mse());
  }
  near(const_predictor(w).second, const_predictor(rep).second);
  near(linear_predictor(w).second, linear_predictor(rep).second);
  const BaselinesReport bw = compute(w, 10, 7), br = compute(rep, 10, 7);
  near(bw.bic_const, br.bic_const);
  near(bw.bic_linear, br.bic_linear);
  EXPECT_EQ(compute(w, 10, 7).bic_shuffled_mean, compute_reference(w, 10, 7).bic_shuffled_mean);

  // A whole judgement on the same training rows: the formula's BIC, its
  // distance to the constant and linear models, and the verdict.
  const Expr law =
      Expr::bin(Op::Div, Expr::bin(Op::Mul, Expr::constant(1.5), Expr::pow(Expr::feature("x"), 2)),
                Expr::feature("z"));
  const auto judged = [&](const Dataset& t) {
    const double mse = all_rows_mse(law, t);
    return assess(law, refined_bic(mse, t.weight_total(), 5, 1e-12), 5, t, t, compute(t, 10, 7));
  };
  const DiscoverReport jw = judged(w), jr = judged(rep);
  near(jw.bic, jr.bic);
  near(jw.delta_bic_const, jr.delta_bic_const);
  near(jw.delta_bic_linear, jr.delta_bic_linear);
  EXPECT_EQ(jw.verdict, jr.verdict);
}

TEST(Weights, ZeroIsARemovedRow) {
  Rows r = draw(120);
  std::vector<double> w(r.y.size());
  for (size_t i = 0; i < w.size(); ++i) w[i] = 0.5 + 0.25 * static_cast<double>(i % 3);
  w[17] = 0.0;
  const Dataset with_zero = weighted(r, w);
  Rows removed = r;
  for (std::vector<double>* v : {&removed.x, &removed.z, &removed.y}) v->erase(v->begin() + 17);
  w.erase(w.begin() + 17);
  const RefinedResult a = refine(with_zero, small_config());
  const RefinedResult b = refine(weighted(removed, w), small_config());
  EXPECT_EQ(a.rows_set_aside, 0u);
  EXPECT_EQ(report_of(a), report_of(b));
}

TEST(WarmStart, KeepsAnEarlierFrontTheSearchDoesNotBeat) {
  const Dataset d = plain(draw(150));
  RefinedConfig cfg = small_config();
  const RefinedResult first = refine(d, cfg);
  cfg.generations = 1;  // too short to find anything as good of its own
  for (const FrontEntry& e : first.front) cfg.start_from.push_back(e.tree);
  EXPECT_LE(refine(d, cfg).report.bic, first.report.bic);
  cfg.start_from.push_back(Expr::feature("q"));
  EXPECT_THROW(refine(d, cfg), std::invalid_argument);
}

}  // namespace
}  // namespace quorvex
