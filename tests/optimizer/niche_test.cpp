#include "optimizer/niche.h"

#include <gtest/gtest.h>

#include <limits>

namespace quorvex {
namespace {

Expr x() { return Expr::feature("x"); }
Expr y() { return Expr::feature("y"); }

TEST(NicheKey, CombinesExpLogFlagDepthAndDistinctNames) {
  EXPECT_EQ(niche_key(Expr::constant(1.0)), 0x100u);
  EXPECT_EQ(niche_key(x()), 0x10100u);
  EXPECT_EQ(niche_key(Expr::exp(Expr::bin(Op::Add, x(), x()))), 0x10301u);
  EXPECT_EQ(niche_key(Expr::sqrt(Expr::bin(Op::Add, x(), y()))), 0x20300u);
  EXPECT_EQ(niche_key(Expr::log(Expr::constant(2.0))), 0x201u);
  EXPECT_EQ(niche_key(Expr::pow(x(), 2)), 0x10200u);  // Pow does not set the flag
  EXPECT_EQ(niche_key(Expr::bin(Op::Add, x(), x())), niche_key(Expr::bin(Op::Mul, x(), x())));
}

TEST(NicheStep, TakesTheEightBestNichesInFirstAppearanceOrder) {
  // Ten niches (depths 1..10 of nested sqrt), all scored +inf but one.
  std::vector<Expr> population;
  std::vector<double> scores;
  Expr t = Expr::constant(1.0);
  for (int d = 0; d < 10; ++d) {
    population.push_back(t);
    scores.push_back(std::numeric_limits<double>::infinity());
    t = Expr::sqrt(t);
  }
  scores[6] = 5.0;
  std::vector<Expr> next;
  append_niche_champions(population, scores, next, 100);
  ASSERT_EQ(next.size(), 8u);
  EXPECT_EQ(next[0].depth(), 7u);
  // The rest keep the order of first appearance: depths 1, 2, 3, 4, 5, 6, 8.
  const uint32_t expected[] = {1, 2, 3, 4, 5, 6, 8};
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(next[i + 1].depth(), expected[i]);
}

TEST(NicheStep, ChampionIsTheFirstOfTheLowestScoresAndRespectsTheLimit) {
  std::vector<Expr> population = {Expr::bin(Op::Add, x(), x()), Expr::bin(Op::Mul, x(), x()),
                                  Expr::bin(Op::Sub, x(), x())};
  std::vector<double> scores = {3.0, 1.0, 1.0};
  std::vector<Expr> next;
  append_niche_champions(population, scores, next, 10);
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0], population[1]);

  std::vector<Expr> full = {Expr::constant(0.0)};
  append_niche_champions(population, scores, full, 1);
  EXPECT_EQ(full.size(), 1u);
}

}  // namespace
}  // namespace quorvex
