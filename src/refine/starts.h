#pragma once

// Several independently seeded refined searches of one discovery ("starts"),
// and their fronts merged into one report. Every start has the same rows,
// split, baselines and error floor (they follow the seed); only the search's
// random choices differ (RefinedConfig::start). One start often settles on a
// near miss that another avoids: the merged front keeps, per complexity, the
// best formula any start found, and the report is judged once, as refine()
// judges one search's.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "refine/refine.h"

namespace quorvex {

// The seed the search of `start` draws its random choices from: the seed
// itself for start 0, so that the ordinary search is unchanged.
uint64_t start_seed(uint64_t seed, uint32_t start) noexcept;

// What the merge takes from one start's result.
struct StartOutcome {
  std::vector<Expr> front;  // the start's front formulas, scaling included
  uint32_t generations = 0;
  StopReason stop = StopReason::Generations;
  uint64_t wall_clock_ms = 0;
};
StartOutcome outcome_of(const RefinedResult& result);

// The formulas a warm start begins from (RefinedConfig::start_from): a
// refined JSON report's front, another report's formula, or an expression's
// JSON. Throws JsonError for anything else.
std::vector<Expr> start_formulas(std::string_view json);

// One report from the starts of `config` (whose own `start` is not read):
// every formula scored again on the training rows `config` gives, the best
// of each complexity kept (equal errors resolved by the formula's JSON, so
// the order of `starts` does not matter), the entries a simpler one matches
// dropped, and the lowest BIC assessed against the baselines. generations
// and wall_clock_ms are the sums over the starts (the merge's own time
// added to the latter); the stop reason is the least conclusive of theirs:
// stopped by the caller, then the time limit, the generation cap, no
// improvement, an exact fit. Throws std::invalid_argument for no start, for
// data refine() refuses, and for a formula reading a feature the data lacks.
RefinedResult merge_starts(const Dataset& data, const RefinedConfig& config,
                           const std::vector<StartOutcome>& starts);

// Runs starts 0 .. count-1 of `config`, at most `parallel` at once (at least
// one), each on a thread of its own with config.max_threads scoring threads,
// and merges them; count 1 is refine() itself. `progress` is called from
// those threads, one call at a time, with GenerationInfo::start set; once it
// returns false every start stops. The result does not depend on `parallel`.
RefinedResult refine_starts(const Dataset& data, const RefinedConfig& config, uint32_t count,
                            size_t parallel, const RefineProgress* progress = nullptr);

}  // namespace quorvex
