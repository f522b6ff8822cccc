#pragma once

// A candidate's score in the refined search: its output f on every training
// row, scaled by least squares to the best of f, a + f, b·f and a + b·f, and
// charged with the nodes of the scaled tree. A candidate that is not finite
// on every training row scores +inf.

#include <cstddef>
#include <cstdint>
#include <limits>

#include "dataset/dataset.h"
#include "expr/expr.h"

namespace quorvex {

// Nodes of a tree: constants, features and operators.
uint32_t node_count(const Expr& tree) noexcept;

// n ln(max(mse, floor)) + k ln n; +inf unless mse is a finite number >= 0.
double refined_bic(double mse, size_t n, uint32_t k, double floor) noexcept;

struct ScaledScore {
  enum class Form : uint8_t { Plain, Offset, Scale, Affine };  // f, a + f, b·f, a + b·f
  double score = std::numeric_limits<double>::infinity();
  double mse = std::numeric_limits<double>::infinity();
  double a = 0.0;
  double b = 1.0;
  Form form = Form::Plain;
  uint32_t complexity = 0;  // nodes of the scaled tree
};

// Scores `raw` on every row of `train`. Sums run in row order.
ScaledScore score_scaled(const Expr& raw, const Dataset& train, double floor);

// The same, given the tree's values on the training rows.
ScaledScore score_values(const double* f, const Dataset& train, uint32_t raw_nodes, double floor);

// The scaled tree a + b·raw in the chosen form: constant first.
Expr scaled_tree(const Expr& raw, const ScaledScore& s);

}  // namespace quorvex
