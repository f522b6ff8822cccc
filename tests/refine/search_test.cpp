// The refined search's run: a restricted operator set is binding (nothing it draws,
// breeds or attaches may use an operator outside it), a stop is heard within a
// generation, and the front's progress is told apart from fitting noise.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "baselines/baselines.h"
#include "expr/generator.h"
#include "refine/front.h"
#include "refine/pieces.h"
#include "refine/search.h"

namespace quorvex {
namespace {

// Every set of one or two operators, the default set and all of them.
std::vector<OperatorSet> small_sets() {
  std::vector<OperatorSet> sets = {OperatorSet::defaults(), OperatorSet::all()};
  for (size_t i = 0; i < kOperatorCount; ++i)
    for (size_t j = i; j < kOperatorCount; ++j) {
      OperatorSet s;
      s.set(static_cast<Operator>(i), 1);
      s.set(static_cast<Operator>(j), 1);
      sets.push_back(s);
    }
  return sets;
}

Dataset law_data() {
  Dataset d("y");
  for (const char* f : {"a", "b", "c"}) d.add_feature(f);
  for (int i = 0; i < 40; ++i) {
    const double row[3] = {1.0 + 0.1 * i, 2.0 - 0.03 * i, 0.5 + 0.05 * (i % 7)};
    d.push_row(row, row[0] * std::sin(row[1]) + row[2] / row[0]);
  }
  return d;
}

TEST(OperatorSets, GeneratorDrawsOnlyFromTheSet) {
  const std::vector<std::string> features = {"a", "b", "c"};
  for (const OperatorSet& ops : small_sets()) {
    ExprGen gen(features, Lcg(11), ops);
    LawPieces pieces(features, ops);
    Lcg rng(5);
    Expr last = gen.random(4);
    for (int i = 0; i < 2000; ++i) {
      const Expr t = gen.random(4);
      const Expr m = gen.mutate(t, 4);
      const Expr x = gen.crossover(m, last);
      for (const Expr* e : {&t, &m, &x})
        ASSERT_TRUE(ops.allows(*e)) << ops.text() << ": " << e->formula();
      if (pieces.usable()) {
        const Expr p = i % 2 ? pieces.piece(rng) : pieces.attach(t, rng);
        ASSERT_TRUE(ops.allows(p)) << ops.text() << ": " << p.formula();
      }
      last = x;
    }
  }
}

TEST(OperatorSets, BreedingStaysWithinTheSet) {
  const Dataset train = law_data();
  for (const OperatorSet& ops : small_sets()) {
    RefinedConfig cfg;
    cfg.population = 60;
    cfg.seed = 3;
    cfg.operators = ops;
    Seeds seeds;
    seeds.line = linear_predictor(train).first;
    seeds.logs = log_fit(train);
    Search search(train, cfg, 1e-20, seeds);
    search.seed_population({});
    for (int generation = 0; generation < 3; ++generation) {
      for (const Candidate& c : search.population())
        ASSERT_TRUE(ops.allows(c.tree)) << ops.text() << ": " << c.tree.formula();
      search.score();
      search.fit();
      search.update_front();
      search.breed();
    }
  }
}

// A stop asked for within a generation ends it there: the rest of the
// population is neither scored nor fitted.
TEST(SearchPulse, AStopWithinAGenerationSkipsTheRest) {
  const Dataset train = law_data();
  RefinedConfig cfg;
  cfg.population = 400;
  cfg.max_threads = 1;  // every candidate on this thread, so the pulse is asked each time
  Seeds seeds;
  seeds.line = linear_predictor(train).first;
  Search search(train, cfg, 1e-20, seeds);
  int asked = 0;
  search.set_pulse([&] { return ++asked < 5; }, Deadline::Clock::duration::zero());
  search.seed_population({});
  search.score();
  EXPECT_TRUE(search.stopped());
  EXPECT_EQ(asked, 5);
  size_t scored = 0;
  for (const Candidate& c : search.population()) scored += c.scored ? 1 : 0;
  EXPECT_EQ(scored, 4u);
}

// Improvements within the margin are kept but do not count as progress until
// they add up; a new complexity counts only when it beats the simpler entries
// by the margin too.
TEST(FrontMargin, NoticesOnlyImprovementsBeyondTheMargin) {
  const Expr x = Expr::feature("x");
  Front f;
  f.set_margin(6.0, 1000, 1e-12);  // 0.6% of the error
  EXPECT_TRUE(f.offer(3, 1.0, 0.0, x));
  EXPECT_FALSE(f.offer(3, 0.998, 0.0, x));
  EXPECT_EQ(f.best_mse(), 0.998);
  EXPECT_FALSE(f.offer(3, 0.996, 0.0, x));
  EXPECT_TRUE(f.offer(3, 0.993, 0.0, x));  // 0.7% below the 1.0 last noticed
  EXPECT_FALSE(f.offer(3, 0.990, 0.0, x));
  EXPECT_FALSE(f.offer(5, 0.985, 0.0, x));
  EXPECT_TRUE(f.offer(7, 0.5, 0.0, x));
  // Below the floor every error is alike.
  f.set_margin(6.0, 1000, 0.1);
  EXPECT_TRUE(f.offer(9, 0.09, 0.0, x));
  EXPECT_FALSE(f.offer(9, 0.01, 0.0, x));
  EXPECT_EQ(f.size(), 4u);
}

}  // namespace
}  // namespace quorvex
