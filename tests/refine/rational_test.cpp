// The seed of polynomials and ratios of polynomials: which monomials it
// chooses, and when it offers none.

#include "refine/rational.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "baselines/baselines.h"
#include "dataset/dataset.h"
#include "expr/operators.h"
#include "refine/scaled.h"
#include "rng/lcg.h"

namespace quorvex {
namespace {

// Rows of a in [-1, 1] and b in [0.5, 2.5]; b a feature only when `two`.
template <typename Law>
Dataset data(Law law, int rows, bool two = true, double noise = 0.0) {
  Dataset d("y");
  d.add_feature("a");
  if (two) d.add_feature("b");
  Lcg rng(7);
  for (int i = 0; i < rows; ++i) {
    const double a = -1.0 + 2.0 * rng.next_f64();
    const double b = 0.5 + 2.0 * rng.next_f64();
    const double row[2] = {a, b};
    const double u = rng.next_f64() + rng.next_f64() + rng.next_f64() - 1.5;  // about normal
    d.push_row(row, law(a, b) + noise * 2.0 * u);
  }
  return d;
}

std::optional<RationalSeed> seed(const Dataset& d,
                                 const OperatorSet& ops = OperatorSet::defaults()) {
  return rational_tree(d, linear_predictor(d).first, 1e-30, ops);
}

double seed_mse(const Dataset& d) {
  const std::optional<RationalSeed> t = seed(d);
  if (!t) return INFINITY;
  EXPECT_TRUE(t->exact);
  return score_scaled(t->tree, d, 1e-30, OperatorSet::defaults()).mse;
}

TEST(RationalSeed, FindsTheMonomialsOfARatio) {
  // One feature (every small P/Q tried), two (the greedy paths), a
  // polynomial, and a ratio without a constant in the denominator.
  EXPECT_LT(seed_mse(data([](double a, double) { return std::pow(a + 1.0, 3) / (a * a - a + 1.0); },
                          200, false)),
            1e-20);
  EXPECT_LT(seed_mse(data([](double a, double b) { return (a + b) / (1.0 + a * b); }, 300)), 1e-20);
  // Fourth degree in two features: past the ratios' basis, within the sums'.
  EXPECT_LT(seed_mse(data(
                [](double a, double b) {
                  return 2.5 * std::pow(a, 4) - 1.3 * std::pow(a, 3) + 0.5 * b * b - 1.7 * b;
                },
                300)),
            1e-20);
  EXPECT_LT(seed_mse(data([](double a, double b) { return a * b / (a + b); }, 300)), 1e-20);
}

TEST(RationalSeed, InsideALogarithmOrARoot) {
  // exp(y) a cubic, exp(2y) a ratio, y² a sum of squares; a ratio itself is
  // rational_tree's, and no function of it is offered as exact.
  const auto inside = [](const Dataset& d) -> double {
    const std::optional<RationalSeed> t =
        rational_inside_tree(d, linear_predictor(d).first, 1e-30, OperatorSet::defaults());
    if (!t || !t->exact) return INFINITY;
    return score_scaled(t->tree, d, 1e-30, OperatorSet::defaults()).mse;
  };
  EXPECT_LT(inside(data([](double a, double) { return std::log(a + 1.4) + std::log(a * a + 1.3); },
                        200, false)),
            1e-20);
  EXPECT_LT(inside(data([](double a, double) { return 0.5 * std::log((1.0 + a) / (1.0 - a)); }, 200,
                        false)),
            1e-20);
  EXPECT_LT(inside(data([](double a, double b) { return std::sqrt(a * a + b * b + 1.0); }, 300)),
            1e-20);
  EXPECT_EQ(inside(data([](double a, double b) { return (a + b) / (1.0 + a * b); }, 300)),
            INFINITY);
}

TEST(RationalSeed, WithNoiseKeepsTheLawNotANoiseFit) {
  // A denominator's columns hold y: fitting noise with them must not win.
  const Dataset d = data([](double a, double) { return std::pow(a + 1.0, 3) / (a * a - a + 1.0); },
                         200, false, 0.01);
  const std::optional<RationalSeed> t = seed(d);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->tree.formula(), "(((a + (a^2)) + (a^3)) / (a + (a^2)))");
  EXPECT_FALSE(t->exact);
}

TEST(RationalSeed, NoneWhereItWouldOnlyCrowdThePopulation) {
  // A line is the line's; too few rows; a set that cannot divide.
  EXPECT_FALSE(seed(data([](double a, double b) { return 2.0 * a - b; }, 300)));
  EXPECT_FALSE(seed(data([](double a, double) { return 1.0 / (1.0 + a * a); }, 20, false)));
  EXPECT_FALSE(seed(data([](double a, double) { return 1.0 / (2.0 + a); }, 300, false),
                    OperatorSet::parse("+,-,*,pow")));
  // Wide data: more monomials than it takes, and no enumeration of them.
  Dataset wide("y");
  for (int j = 0; j < 40; ++j) {
    std::string name = "x";
    name += std::to_string(j);
    wide.add_feature(name);
  }
  std::vector<double> row(40);
  for (int i = 0; i < 300; ++i) {
    for (int j = 0; j < 40; ++j) row[static_cast<size_t>(j)] = std::fmod(0.37 * i * (j + 1), 1.0);
    wide.push_row(row.data(), 1.0 / (1.0 + row[0]));
  }
  EXPECT_FALSE(seed(wide));
}

}  // namespace
}  // namespace quorvex
