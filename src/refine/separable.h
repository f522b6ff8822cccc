#pragma once

// A seed for separable laws: sums of functions of one feature each, their
// products (exp(−x²)/(1 + y²)) and reciprocals of sums (1/Σ(xᵢ − a)²). An
// additive spline model of y, log|y| or 1/y says whether the law is one and
// gives each feature's part; a small search of its own then writes each
// part as a formula, and the seed joins them.

#include <cstdint>
#include <functional>
#include <optional>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "refine/deadline.h"
#include "refine/refine.h"

namespace quorvex {

// The joined formula, or none when no additive model of y (or of log|y| or
// 1/y) fits the rows markedly better than `best_mse`, the error of what the
// search found on them, or the data are not for it (one feature, more than
// six, weights). The part searches run on the caller's settings (operators,
// threads), seeded from `cfg.seed`, within `deadline`; `pulse` is called
// between them and stops them when it returns false.
std::optional<Expr> separable_tree(const Dataset& rows, double best_mse, const RefinedConfig& cfg,
                                   const Deadline& deadline, const std::function<bool()>& pulse);

}  // namespace quorvex
