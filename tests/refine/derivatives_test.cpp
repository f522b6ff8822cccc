#include "expr/derivatives.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "expr/generator.h"
#include "refine/fit.h"

namespace quorvex {
namespace {

Dataset sample(size_t rows) {
  Dataset d("y");
  d.add_feature("x");
  d.add_feature("z");
  Lcg rng(7);
  for (size_t i = 0; i < rows; ++i) {
    const double v[2] = {rng.next_f64() * 4.0 - 2.0, rng.next_f64() * 3.0 + 0.5};
    d.push_row(v, 0.0);
  }
  return d;
}

// Random trees over rows spanning more than one block: values must follow
// Expr::evaluate (guards included) within value_tol, derivatives central
// differences. Returns the derivatives checked.
size_t check_against_differences(ExprGen& gen, double value_tol) {
  const Dataset d = sample(150);
  DualProgram program;
  size_t checked = 0;
  for (int t = 0; t < 300; ++t) {
    const Expr tree = gen.random(4);
    program.compile(tree, d);
    const size_t np = program.n_params();
    std::vector<double> theta = constants_of(tree);
    EXPECT_EQ(theta.size(), np);
    std::vector<double> f(d.n_rows()), jac(np * d.n_rows());
    program.run(theta.data(), f.data(), jac.data());
    for (size_t i = 0; i < d.n_rows(); ++i) {
      const double ref = tree.evaluate(d.row(i));
      if (!std::isfinite(ref)) {
        EXPECT_EQ(std::isnan(f[i]), std::isnan(ref)) << tree.formula();
        EXPECT_EQ(std::isinf(f[i]), std::isinf(ref)) << tree.formula();
        continue;
      }
      EXPECT_NEAR(f[i], ref, value_tol * (1.0 + std::fabs(ref))) << tree.formula();
    }
    const auto difference = [&](size_t p, double h, std::vector<double>& out) {
      std::vector<double> up(theta), down(theta), fu(d.n_rows()), fd(d.n_rows());
      up[p] += h;
      down[p] -= h;
      program.run(up.data(), fu.data(), nullptr);
      program.run(down.data(), fd.data(), nullptr);
      for (size_t i = 0; i < d.n_rows(); ++i) out[i] = (fu[i] - fd[i]) / (2.0 * h);
    };
    for (size_t p = 0; p < np; ++p) {
      const double h = 1e-6 * (1.0 + std::fabs(theta[p]));
      std::vector<double> coarse(d.n_rows()), fine(d.n_rows());
      difference(p, h, coarse);
      difference(p, h / 8.0, fine);
      for (size_t i = 0; i < d.n_rows(); ++i) {
        const double numeric = fine[i];
        const double exact = jac[p * d.n_rows() + i];
        if (!std::isfinite(numeric) || !std::isfinite(exact) || std::fabs(f[i]) > 1e6) continue;
        // Where two steps disagree, the function bends too fast for a
        // difference quotient (sin of 1/x^2 near 0): no reference there.
        if (std::fabs(coarse[i] - fine[i]) > 1e-6 * (1.0 + std::fabs(fine[i]))) continue;
        EXPECT_NEAR(exact, numeric, 1e-4 * (1.0 + std::fabs(numeric))) << tree.formula();
        ++checked;
      }
    }
  }
  return checked;
}

TEST(Derivatives, ValuesMatchTheReferenceAndJacobianMatchesDifferences) {
  ExprGen classic({"x", "z"}, Lcg(3));
  EXPECT_GT(check_against_differences(classic, 1e-12), 1000u);
  // sin, cos, tanh and abs. Powers are multiplied out here and not in the
  // reference: sin of a large argument magnifies that last-bit difference.
  ExprGen every({"x", "z"}, Lcg(4), OperatorSet::all());
  EXPECT_GT(check_against_differences(every, 1e-9), 1000u);
}

TEST(Derivatives, WithConstantsReplacesInPreorder) {
  const Expr tree =
      Expr::bin(Op::Add, Expr::constant(1.0),
                Expr::exp(Expr::bin(Op::Mul, Expr::constant(2.0), Expr::feature("x"))));
  EXPECT_EQ(constants_of(tree), (std::vector<double>{1.0, 2.0}));
  const double v[2] = {5.0, -1.5};
  EXPECT_EQ(constants_of(with_constants(tree, v)), (std::vector<double>{5.0, -1.5}));
}

TEST(FitConstants, FindsInnerConstantsOfAnExponentialDecay) {
  // y = 3 + 2·exp(-0.7·x): the scaling gives 3 and 2, the fit gives -0.7.
  Dataset d("y");
  d.add_feature("x");
  for (int i = 0; i < 60; ++i) {
    const double x = i / 10.0;
    d.push_row(&x, 3.0 + 2.0 * std::exp(-0.7 * x));
  }
  const Expr start = Expr::exp(Expr::bin(Op::Mul, Expr::constant(-0.1), Expr::feature("x")));
  const FitOutcome fit = fit_constants(start, d, 50);
  ASSERT_TRUE(fit.improved);
  EXPECT_NEAR(constants_of(fit.tree)[0], -0.7, 1e-9);
  EXPECT_LT(fit.sse, 1e-20);
}

}  // namespace
}  // namespace quorvex
