#pragma once

// Fitting the constants inside a candidate: Levenberg–Marquardt on
// y ≈ a + b·f(x; θ), with the derivatives of f from forward-mode
// differentiation. Runs on one thread; every sum in row order.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "refine/deadline.h"

namespace quorvex {

struct FitOutcome {
  Expr tree = Expr::constant(0.0);  // the candidate with its fitted constants
  double sse = 0.0;                 // of the scaled fit, before and after
  double sse_before = 0.0;
  uint32_t iterations = 0;
  bool improved = false;
};

// Fits the constants of `raw` to the targets of `train`, for at most
// max_iterations accepted or refused steps: with an affine scaling around it
// (the returned tree leaves the scaling out), or, for a tree that holds its
// own scaling (`scaled` false), as it stands. The constant numbered `hold`
// (in constants_of order), if any, keeps its value. A deadline, if given,
// ends the fit between steps once it passes.
inline constexpr size_t kHoldNone = static_cast<size_t>(-1);
FitOutcome fit_constants(const Expr& raw, const Dataset& train, uint32_t max_iterations,
                         bool scaled = true, size_t hold = kHoldNone,
                         const Deadline* deadline = nullptr);
// The same with every constant numbered in `held` keeping its value.
FitOutcome fit_constants_holding(const Expr& raw, const Dataset& train, uint32_t max_iterations,
                                 bool scaled, std::vector<size_t> held,
                                 const Deadline* deadline = nullptr);

}  // namespace quorvex
