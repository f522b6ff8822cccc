#pragma once

// What one refined search and the merge of several starts (refine/starts.h)
// share, so that the merged report is judged exactly as one search's.

#include <cstddef>
#include <cstdint>

#include "dataset/dataset.h"
#include "refine/refine.h"
#include "report/report.h"

namespace quorvex {

// The rows a discovery keeps, split as the search uses them (the split
// follows cfg.seed), with the error floor of their targets, into `result`.
// Throws std::invalid_argument for what cannot run.
void prepare(const Dataset& data, const RefinedConfig& cfg, RefinedResult& result);

// The baselines, with an exact constant or linear fit scored at the floor
// like every other model of this search (the plain score calls it +inf).
BaselinesReport refined_baselines(const Dataset& train, size_t n_shuffles, uint64_t seed,
                                  double floor, double line_mse);

// Judges a front scored on result.train: its test errors, its lowest BIC as
// result.best and the report against `baselines`. An empty front gets the
// constant model, and the best formula's constant errors and domain share
// (its points drawn from `seed`). Leaves wall_clock_ms to the caller.
void judge_front(RefinedResult& result, const BaselinesReport& baselines, uint64_t seed);

}  // namespace quorvex
