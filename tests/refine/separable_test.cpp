// The seed of separable laws: each feature's part found by a search of its
// own and the parts joined, and when no seed is offered.

#include "refine/separable.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "baselines/baselines.h"
#include "dataset/dataset.h"
#include "expr/read_json.h"
#include "refine/scaled.h"
#include "rng/lcg.h"

namespace quorvex {
namespace {

// Rows of a in [0.3, 3] and b in [-2, 2].
template <typename Law>
Dataset data(Law law, int rows = 200) {
  Dataset d("y");
  d.add_feature("a");
  d.add_feature("b");
  Lcg rng(11);
  for (int i = 0; i < rows; ++i) {
    const double row[2] = {0.3 + 2.7 * rng.next_f64(), -2.0 + 4.0 * rng.next_f64()};
    d.push_row(row, law(row[0], row[1]));
  }
  return d;
}

std::optional<Expr> seed(const Dataset& d, double best_mse) {
  RefinedConfig cfg;
  cfg.seed = 3;
  cfg.population = 150;  // the part searches' too: small and quick
  return separable_tree(d, best_mse, cfg, Deadline(), [] { return true; });
}

// The joined parts, their constants as the part searches left them, against
// the target's variance.
double relative_error(const Dataset& d, const Expr& tree) {
  return score_scaled(tree, d, 1e-30, OperatorSet::defaults()).mse / const_predictor(d).second;
}

TEST(SeparableSeed, JoinsThePartsOfSumsProductsAndReciprocals) {
  // Each target as a search that found nothing better than the mean would
  // leave it: the gate asks only that the additive model beat that.
  const auto check = [](auto law) {
    const Dataset d = data(law);
    const std::optional<Expr> tree = seed(d, const_predictor(d).second);
    ASSERT_TRUE(tree);
    EXPECT_EQ(expression_features(*tree).size(), 2u) << tree->formula();
    EXPECT_LT(relative_error(d, *tree), 1e-4) << tree->formula();
  };
  check([](double a, double b) { return std::log(a) + 0.5 * b * b; });
  check([](double a, double b) { return std::exp(-(a - 1.0) * (a - 1.0)) / (1.2 + b * b); });
  check([](double a, double b) { return 1.0 / (a * a + std::cos(b) + 2.0); });
}

TEST(SeparableSeed, NoneWhereTheSearchDidBetterOrTheDataDoNotSuit) {
  // Not separable: x·y inside a sine.
  const Dataset mixed = data([](double a, double b) { return std::sin(a * b); });
  EXPECT_FALSE(seed(mixed, 0.5 * const_predictor(mixed).second));
  // Separable, but the search's error is already below the additive model's.
  const Dataset sum = data([](double a, double b) { return std::sin(3.0 * a) + b; });
  EXPECT_FALSE(seed(sum, 1e-20));
  // One feature, or weighted rows.
  Dataset one("y");
  one.add_feature("a");
  for (int i = 0; i < 50; ++i) {
    const double a = i;
    one.push_row(&a, a * a);
  }
  EXPECT_FALSE(seed(one, 1.0));
  Dataset weighted = sum;
  weighted.set_weights(std::vector<double>(sum.n_rows(), 2.0));
  EXPECT_FALSE(seed(weighted, 1.0));
}

}  // namespace
}  // namespace quorvex
