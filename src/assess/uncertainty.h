#pragma once

// How far the chosen formula can be trusted beyond its errors: the
// uncertainty of its fitted constants, and how much of the region its
// training data spans it is defined on.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"

namespace quorvex {

// One Const leaf of a formula (in preorder) with the standard error of its
// least-squares estimate.
struct FittedConstant {
  double value = 0.0;
  // NaN when it cannot be estimated (no more rows than constants, non-finite
  // derivatives); +inf when the data cannot tell it from other constants.
  double std_error = 0.0;
  // Whether value ± 1.96·std_error, the 95% interval, holds 0.
  bool interval_includes_zero() const noexcept;
};

// The constants of `tree` with their standard errors from the Jacobian J of
// its values on `train` with respect to them: s²·(JᵀJ)⁻¹ with s² = SSE/(n−p).
// Directions JᵀJ cannot resolve (relative eigenvalue below 1e-12, after
// scaling each constant's column to unit length) give +inf to the constants
// they involve.
std::vector<FittedConstant> constant_errors(const Expr& tree, const Dataset& train);

// Points the domain share draws.
inline constexpr size_t kDomainPoints = 4096;

// Share of kDomainPoints points, drawn uniformly (Lcg, from `seed`) in the
// box the training rows span in the features `tree` reads, on which the tree
// is finite. NaN when `train` has no rows.
double domain_share(const Expr& tree, const Dataset& train, uint64_t seed);

}  // namespace quorvex
