#include "refine/starts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "refine/render.h"
#include "rng/lcg.h"

namespace quorvex {
namespace {

// A law with room for near misses, so that the starts' fronts differ.
Dataset damped(size_t rows) {
  Dataset d("y");
  d.add_feature("x");
  d.add_feature("z");
  Lcg rng(5);
  for (size_t i = 0; i < rows; ++i) {
    const double v[2] = {rng.next_f64() * 4.0, rng.next_f64() * 2.0 + 0.5};
    d.push_row(v,
               std::exp(-0.7 * v[0]) * std::sin(2.0 * v[0]) * v[1] + 0.01 * (rng.next_f64() - 0.5));
  }
  return d;
}

RefinedConfig small() {
  RefinedConfig cfg;
  cfg.population = 150;
  cfg.generations = 10;
  cfg.seed = 9;
  return cfg;
}

// The JSON report without its wall-clock figure, which no two runs share.
std::string fingerprint(RefinedResult r) {
  r.report.wall_clock_ms = 0;
  return refined_report_json(r);
}

RefinedResult start(const Dataset& d, uint32_t i) {
  RefinedConfig cfg = small();
  cfg.start = i;
  return refine(d, cfg);
}

TEST(Starts, ShareTheRowsAndBaselinesAndStartZeroIsTheOrdinarySearch) {
  const Dataset d = damped(150);
  const RefinedResult plain = refine(d, small());
  const RefinedResult s0 = start(d, 0), s1 = start(d, 1);
  EXPECT_EQ(fingerprint(s0), fingerprint(plain));
  EXPECT_EQ(s1.train.targets(), s0.train.targets());
  EXPECT_EQ(s1.report.baselines.bic_shuffled_mean, s0.report.baselines.bic_shuffled_mean);
  EXPECT_EQ(s1.mse_floor, s0.mse_floor);
  EXPECT_NE(fingerprint(s1), fingerprint(s0));  // another search
  EXPECT_NE(start_seed(9, 1), start_seed(9, 2));
  EXPECT_EQ(start_seed(9, 0), 9u);
}

TEST(Starts, MergedFrontIsNeverWorseThanAnyStartsAndIgnoresTheirOrder) {
  const Dataset d = damped(150);
  const RefinedConfig cfg = small();
  std::vector<RefinedResult> runs;
  std::vector<StartOutcome> outcomes;
  for (uint32_t i = 0; i < 3; ++i) {
    runs.push_back(start(d, i));
    outcomes.push_back(outcome_of(runs.back()));
  }
  const RefinedResult merged = merge_starts(d, cfg, outcomes);
  uint32_t generations = 0;
  for (const RefinedResult& r : runs) {
    generations += r.generations;
    EXPECT_LE(merged.report.bic, r.report.bic);
    // Each start's entry is matched or beaten by one no more complex.
    for (const FrontEntry& e : r.front) {
      const bool covered = std::any_of(merged.front.begin(), merged.front.end(), [&](auto& m) {
        return m.complexity <= e.complexity && m.mse_train <= e.mse_train;
      });
      EXPECT_TRUE(covered) << "k=" << e.complexity << " " << e.tree.formula();
    }
    // One start merged alone is that start's report again.
    EXPECT_EQ(fingerprint(merge_starts(d, cfg, {outcome_of(r)})), fingerprint(r));
  }
  EXPECT_EQ(merged.generations, generations);
  EXPECT_EQ(merged.train.targets(), runs[0].train.targets());

  std::vector<StartOutcome> shuffled = {outcomes[2], outcomes[0], outcomes[1]};
  EXPECT_EQ(fingerprint(merge_starts(d, cfg, shuffled)), fingerprint(merged));
  // Run on threads, all at once, the same again.
  EXPECT_EQ(fingerprint(refine_starts(d, cfg, 3, 3)), fingerprint(merged));
}

TEST(Starts, EqualErrorsAndStopReasonsResolveAlikeInAnyOrder) {
  const Dataset d = damped(60);
  const Expr x = Expr::feature("x"), z = Expr::feature("z");
  StartOutcome a, b;
  a.front = {Expr::bin(Op::Mul, x, z)};
  a.stop = StopReason::Exact;
  a.generations = 4;
  b.front = {Expr::bin(Op::Mul, z, x)};  // the same values, another tree
  b.stop = StopReason::Generations;
  b.generations = 7;
  const RefinedResult ab = merge_starts(d, small(), {a, b});
  EXPECT_EQ(fingerprint(ab), fingerprint(merge_starts(d, small(), {b, a})));
  EXPECT_EQ(ab.front.size(), 1u);
  EXPECT_EQ(ab.generations, 11u);
  EXPECT_EQ(ab.stop, StopReason::Generations);  // the less conclusive
  b.stop = StopReason::Callback;
  EXPECT_EQ(merge_starts(d, small(), {a, b}).stop, StopReason::Callback);
}

TEST(Starts, RefusesWhatItCannotMergeAndStopsEveryStartWhenAsked) {
  const Dataset d = damped(60);
  EXPECT_THROW(merge_starts(d, small(), {}), std::invalid_argument);
  StartOutcome unknown;
  unknown.front = {Expr::feature("w")};
  EXPECT_THROW(merge_starts(d, small(), {unknown}), std::invalid_argument);
  // A formula not finite on every training row is left out: the mean remains
  // (and the least-squares line, which beats it).
  StartOutcome undefined;
  undefined.front = {Expr::log(Expr::bin(Op::Sub, Expr::feature("x"), Expr::constant(2.0)))};
  const RefinedResult kept = merge_starts(d, small(), {undefined});
  ASSERT_FALSE(kept.front.empty());
  EXPECT_EQ(kept.front[0].tree.kind(), Expr::Kind::Const);
  for (const FrontEntry& e : kept.front) EXPECT_LT(e.mse_train, 1e300);

  std::vector<uint32_t> seen;
  const RefineProgress stop_at_once = [&](const GenerationInfo& info) {
    seen.push_back(info.start);
    return false;
  };
  const RefinedResult r = refine_starts(d, small(), 3, 2, &stop_at_once);
  EXPECT_EQ(r.stop, StopReason::Callback);
  EXPECT_LE(seen.size(), 2u);  // one call per start that ran; none began after
  EXPECT_FALSE(r.front.empty());
}

}  // namespace
}  // namespace quorvex
