#include "assess/uncertainty.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "rng/lcg.h"

namespace quorvex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

Expr x() { return Expr::feature("x"); }
Expr c(double v) { return Expr::constant(v); }
Expr add(Expr a, Expr b) { return Expr::bin(Op::Add, std::move(a), std::move(b)); }
Expr mul(Expr a, Expr b) { return Expr::bin(Op::Mul, std::move(a), std::move(b)); }
Expr sub(Expr a, Expr b) { return Expr::bin(Op::Sub, std::move(a), std::move(b)); }

Dataset line_data(const std::vector<double>& xs, double a, double b, double noise) {
  Dataset d("y");
  d.add_feature("x");
  Lcg rng(3);
  for (double v : xs) d.push_row(&v, a + b * v + noise * (rng.next_f64() - 0.5));
  return d;
}

// A straight line's least-squares errors have a closed form; 40000 rows take
// the Jacobian in several passes.
TEST(ConstantErrors, StraightLineMatchesTheClosedForm) {
  std::vector<double> xs;
  for (int i = 0; i < 40000; ++i) xs.push_back(i * 1e-3);
  const Dataset d = line_data(xs, 2.0, 0.5, 0.2);
  double n = 0, mx = 0, sxx = 0, sxy = 0, my = 0;
  for (size_t i = 0; i < d.n_rows(); ++i) n += 1, mx += xs[i], my += d.targets()[i];
  mx /= n, my /= n;
  for (size_t i = 0; i < d.n_rows(); ++i)
    sxx += (xs[i] - mx) * (xs[i] - mx), sxy += (xs[i] - mx) * (d.targets()[i] - my);
  const double b = sxy / sxx, a = my - b * mx;
  double sse = 0;
  for (size_t i = 0; i < d.n_rows(); ++i) sse += std::pow(d.targets()[i] - a - b * xs[i], 2);
  const double s2 = sse / (n - 2);

  const std::vector<FittedConstant> e = constant_errors(add(c(a), mul(c(b), x())), d);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].value, a);
  EXPECT_NEAR(e[0].std_error, std::sqrt(s2 * (1 / n + mx * mx / sxx)), 1e-9 * e[0].std_error);
  EXPECT_NEAR(e[1].std_error, std::sqrt(s2 / sxx), 1e-9 * e[1].std_error);
  EXPECT_FALSE(e[0].interval_includes_zero());
}

// Only the constants the data cannot resolve lose their error; the rest and
// the undefined cases never crash.
TEST(ConstantErrors, UnresolvedAndUndefinedCases) {
  std::vector<double> xs;
  for (int i = 1; i <= 50; ++i) xs.push_back(i * 0.1);
  const Dataset d = line_data(xs, 1.0, 3.0, 0.1);
  // c1·c2 is one number to the data; c3 stays estimable.
  auto e = constant_errors(add(mul(mul(c(1.5), c(2.0)), x()), c(1.0)), d);
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].std_error, kInf);
  EXPECT_EQ(e[1].std_error, kInf);
  EXPECT_TRUE(std::isfinite(e[2].std_error) && e[2].std_error > 0.0);
  EXPECT_TRUE(e[0].interval_includes_zero());
  // A constant the values do not depend on.
  e = constant_errors(add(mul(c(3.0), x()), mul(c(4.0), sub(x(), x()))), d);
  EXPECT_TRUE(std::isfinite(e[0].std_error));
  EXPECT_EQ(e[1].std_error, kInf);
  // No more rows than constants; a formula undefined on a row.
  EXPECT_TRUE(std::isnan(
      constant_errors(add(c(1.0), mul(c(3.0), x())), line_data({1, 2}, 1, 3, 0))[0].std_error));
  e = constant_errors(Expr::log(sub(x(), c(1.0))), d);
  EXPECT_TRUE(std::isnan(e[0].std_error));
  EXPECT_FALSE(e[0].interval_includes_zero());
  EXPECT_TRUE(constant_errors(x(), d).empty());
  EXPECT_TRUE((FittedConstant{0.5, 0.3}.interval_includes_zero()));
  EXPECT_FALSE((FittedConstant{-0.5, 0.2}.interval_includes_zero()));
}

// log(t)^-3 is finite on every row but one, and NaN on the sixth of the box
// (t from -5 to 25) where t <= 0.
TEST(DomainShare, FindsWhereTheFormulaIsUndefinedInsideTheBox) {
  Dataset d("y");
  d.add_feature("t");
  d.add_feature("unused");
  for (int i = 0; i <= 20; ++i) {
    const double row[2] = {5.0 + i, 1e300};
    d.push_row(row, 1.0);
  }
  const double negative[2] = {-5.0, -1e300};  // the box reaches t = -5
  d.push_row(negative, 1.0);
  const Expr decay = mul(c(110.28), Expr::pow(Expr::log(Expr::feature("t")), -3));
  const double share = domain_share(decay, d, 1);
  EXPECT_NEAR(share, 25.0 / 30.0, 0.03);  // log(t) undefined for t <= 0
  EXPECT_EQ(domain_share(decay, d, 1), share);
  EXPECT_NE(domain_share(decay, d, 2), share);
  // Finite everywhere, even in a box as wide as the doubles (no overflow
  // drawing in it), and for a tree that reads no feature.
  EXPECT_EQ(domain_share(Expr::feature("unused"), d, 1), 1.0);
  EXPECT_EQ(domain_share(c(2.0), d, 1), 1.0);
  Dataset wide("y");
  wide.add_feature("x");
  for (double v : {-std::numeric_limits<double>::max(), std::numeric_limits<double>::max()})
    wide.push_row(&v, 0.0);
  EXPECT_EQ(domain_share(mul(c(0.5), x()), wide, 1), 1.0);
  EXPECT_TRUE(std::isnan(domain_share(x(), Dataset("y"), 1)));
}

}  // namespace
}  // namespace quorvex
