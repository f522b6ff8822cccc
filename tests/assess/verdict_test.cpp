#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "assess/assess.h"
#include "assess/box.h"
#include "expr/derivatives.h"
#include "refine/refine.h"
#include "rng/lcg.h"

namespace quorvex {
namespace {

Expr x() { return Expr::feature("x"); }
Expr c(double v) { return Expr::constant(v); }
Expr bin(Op op, Expr a, Expr b) { return Expr::bin(op, std::move(a), std::move(b)); }

// 40 rows of x on [0.5, 4.5] and y = 2.5·x² + noise (a tenth of a unit).
Dataset parabola(size_t rows = 40, uint64_t seed = 3) {
  Dataset d("y");
  d.add_feature("x");
  Lcg rng(seed);
  for (size_t i = 0; i < rows; ++i) {
    const double v = 0.5 + 4.0 * rng.next_f64();
    d.push_row(&v, 2.5 * v * v + 0.1 * (rng.next_f64() - 0.5));
  }
  return d;
}

TEST(BoxCheck, FindsPolesAndHolesBetweenTheRowsAndPassesSmoothLaws) {
  const Dataset d = parabola();
  // A pole between two rows, however small its constant.
  EXPECT_EQ(check_on_box(bin(Op::Div, c(1e-9), bin(Op::Sub, x(), c(2.2345))), d), BoxCheck::Fails);
  EXPECT_EQ(check_on_box(bin(Op::Div, c(3.5e-3), Expr::sin(bin(Op::Mul, c(24.99), x()))), d),
            BoxCheck::Fails);
  EXPECT_EQ(check_on_box(Expr::pow(bin(Op::Sub, x(), c(1.7)), -3), d), BoxCheck::Fails);
  // So small a constant that no point short of the pole itself shows it.
  EXPECT_EQ(
      check_on_box(bin(Op::Div, c(5e-9),
                       bin(Op::Mul, Expr::sin(Expr::pow(x(), 3)), bin(Op::Sub, x(), c(3.6929)))),
                   d),
      BoxCheck::Fails);
  // Undefined inside the box, and an overflow.
  EXPECT_EQ(check_on_box(Expr::log(bin(Op::Sub, x(), c(1.0))), d), BoxCheck::Fails);
  EXPECT_EQ(check_on_box(Expr::exp(Expr::exp(bin(Op::Mul, c(2.0), x()))), d), BoxCheck::Fails);
  // Smooth on the box, some only once bisection tightens the bounds
  // (1/(x² − 2x + 2) and x/(x + 1) bound loosely on the whole box).
  EXPECT_EQ(check_on_box(bin(Op::Mul, c(2.5), Expr::pow(x(), 2)), d), BoxCheck::Holds);
  EXPECT_EQ(
      check_on_box(
          bin(Op::Div, c(1.0),
              bin(Op::Add, bin(Op::Sub, Expr::pow(x(), 2), bin(Op::Mul, c(2.0), x())), c(2.0))),
          d),
      BoxCheck::Holds);
  EXPECT_EQ(check_on_box(bin(Op::Div, x(), bin(Op::Add, x(), c(1.0))), d), BoxCheck::Holds);
  EXPECT_EQ(check_on_box(
                bin(Op::Mul, Expr::exp(Expr::cos(bin(Op::Mul, c(3.0), x()))), Expr::log(x())), d),
            BoxCheck::Holds);
  // A pole just outside the box is not between the rows.
  EXPECT_EQ(check_on_box(Expr::pow(bin(Op::Add, x(), c(0.5)), -4), d), BoxCheck::Holds);
}

TEST(RefinedVerdict, StrongOnlyWhenConfirmedOnTheTestRowsAndBetweenTheRows) {
  const auto [train, test] = parabola(60).split(0.25, 1);
  const double floor = 1e-15;
  const Expr line = bin(Op::Add, c(-8.0), bin(Op::Mul, c(12.5), x()));
  auto judged = [&](const Expr& f, const Dataset& te, const Expr* shown = nullptr) {
    DiscoverReport r;
    r.mse_test = finite_row_mse(f, te);
    r.verdict = Verdict::Strong;
    confirm_verdict(r, f, line, train, te, floor, shown);
    return r;
  };
  const Expr law = bin(Op::Mul, c(2.5), Expr::pow(x(), 2));
  const DiscoverReport good = judged(law, test);
  EXPECT_EQ(good.verdict, Verdict::Strong) << good.verdict_reason;
  EXPECT_NE(good.verdict_reason.find("on test rows: gain vs const = "), std::string::npos);
  // The law plus a pole between the rows: as good on every row, not Strong.
  const Expr pole = bin(Op::Add, law, bin(Op::Div, c(1e-12), bin(Op::Sub, x(), c(2.2345))));
  const DiscoverReport poled = judged(pole, test);
  EXPECT_EQ(poled.verdict, Verdict::Weak);
  EXPECT_NE(poled.verdict_reason.find("between the training rows"), std::string::npos);
  EXPECT_EQ(judged(pole, test, &pole).verdict, Verdict::Weak);
  // A hole the written form cancels: (x − 2.5)·(2.5x²/(x − 2.5)) is 2.5x².
  const Expr cut = bin(Op::Sub, x(), c(2.5));
  const Expr holed = bin(Op::Mul, cut, bin(Op::Div, law, cut));
  EXPECT_EQ(judged(holed, test).verdict, Verdict::Weak);
  EXPECT_EQ(judged(holed, test, &law).verdict, Verdict::Strong);
  // The constant model's test error, and too few rows to confirm on.
  EXPECT_EQ(judged(c(20.0), test).verdict, Verdict::Weak);
  const DiscoverReport few = judged(law, test.gather(std::vector<size_t>{0, 1}.data(), 2));
  EXPECT_EQ(few.verdict, Verdict::Weak);
  EXPECT_NE(few.verdict_reason.find("fewer than 3 test rows"), std::string::npos);
}

// Six features, a linear target with noise: the least-squares line, charged
// one per coefficient as the linear baseline is, is the model to report,
// however many nodes it takes to write.
TEST(RefinedVerdict, ALinearTargetGetsTheLineAtTheBaselinesPrice) {
  Dataset d("y");
  const char* names[6] = {"a", "b", "c", "d", "e", "f"};
  for (const char* n : names) d.add_feature(n);
  Lcg rng(5);
  for (size_t i = 0; i < 200; ++i) {
    double v[6];
    double y = 1.0;
    for (size_t j = 0; j < 6; ++j) {
      v[j] = rng.next_f64();
      y += (1.0 + 0.5 * static_cast<double>(j)) * v[j];
    }
    d.push_row(v, y + 0.05 * (rng.next_f64() - 0.5));
  }
  RefinedConfig cfg;
  cfg.population = 200;
  cfg.generations = 30;
  const RefinedResult r = refine(d, cfg);
  EXPECT_LE(r.report.k, 7u) << r.report.formula;
  EXPECT_LE(r.report.bic, r.report.baselines.bic_linear + 1e-9);
  EXPECT_NE(r.report.verdict, Verdict::Strong);  // it is the line, not better than it
}

// A search may not fit as many constants as there are training rows.
TEST(RefinedVerdict, FiveRowsNeverGiveStrong) {
  Dataset d("y");
  d.add_feature("x");
  const double xs[6] = {0.3, 1.1, 1.9, 2.4, 3.3, 4.0};
  const double ys[6] = {0.7, -1.2, 2.5, 0.1, -0.4, 1.9};
  for (size_t i = 0; i < 6; ++i) d.push_row(&xs[i], ys[i]);
  RefinedConfig cfg;
  cfg.population = 100;
  cfg.generations = 20;
  const RefinedResult r = refine(d, cfg);
  EXPECT_NE(r.report.verdict, Verdict::Strong);
  for (const FrontEntry& e : r.front) EXPECT_LT(constants_of(e.tree).size(), r.train.n_rows());
}

}  // namespace
}  // namespace quorvex
