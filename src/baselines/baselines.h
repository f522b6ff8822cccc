#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "dataset/dataset.h"
#include "report/report.h"

namespace quorvex {

// n*ln(mse) + k*ln(n); +inf unless mse is a strictly positive finite number.
double bic(double mse, size_t n, uint32_t k) noexcept;
// The same with n a weights' sum (Dataset::weight_total).
double weighted_bic(double mse, double n, uint32_t k) noexcept;

// (mean target, mean squared error around it); sums from -0.0, divisor max(n, 1).
// Weighted rows give the weighted mean and error (divisor the weights' sum).
// So do linear_predictor and compute.
std::pair<double, double> const_predictor(const Dataset& data);

// Ridge-stabilised least squares with an intercept over every entry of the
// feature list: (coefficients, mean squared error on the same rows).
std::pair<std::vector<double>, double> linear_predictor(const Dataset& data);

// The constant, linear and shuffled-target baselines of a training set; the
// k-th null uses seed + k (wrapping), k = 1..n_shuffles.
BaselinesReport compute(const Dataset& train, size_t n_shuffles, uint64_t seed);

// The same result computed the plain way, one linear_predictor per shuffled
// copy of the dataset; kept as the oracle for compute, which shares the work.
BaselinesReport compute_reference(const Dataset& train, size_t n_shuffles, uint64_t seed);

}  // namespace quorvex
