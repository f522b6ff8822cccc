#pragma once

// A candidate's score in the refined search: its output f on every training
// row, scaled by least squares to the best of f, a + f, b·f and a + b·f, and
// for a sum f = t1 ± t2 ± ... also a + b1·t1 + b2·t2 + ...; charged with the
// nodes of the scaled tree. A candidate that is not finite on every training
// row scores +inf.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "expr/operators.h"
#include "expr/simplify.h"
#include "units/check.h"

namespace quorvex {

// n ln(max(mse, floor)) + k ln n; +inf unless mse is a finite number >= 0.
// With weighted rows n is the weights' sum and mse the weighted mean
// (Dataset::weight_total): integer weights score as repeated rows.
double refined_bic(double mse, double n, uint32_t k, double floor) noexcept;

// The least-squares line y ≈ a + b·f through the means (b = 0 when f is
// constant), each sum in row order; weighted by weights[0..n) summing to
// `total` unless `weights` is null.
struct AffineFit {
  double mean_f = 0.0;
  double mean_y = 0.0;
  double a = 0.0;
  double b = 0.0;
};
AffineFit affine_fit(const double* f, const double* y, size_t n, const double* weights = nullptr,
                     double total = 0.0);

struct ScaledScore {
  // f, a + f, b·f, a + b·f, a + Σ b_j·t_j, and for f = P/Q with sums P, Q:
  // (a + Σ c_i·p_i) / (b + q_1 + Σ d_j·q_j)
  enum class Form : uint8_t { Plain, Offset, Scale, Affine, Terms, Rational };
  double score = std::numeric_limits<double>::infinity();
  double mse = std::numeric_limits<double>::infinity();
  double a = 0.0;
  double b = 1.0;
  Form form = Form::Plain;
  uint32_t complexity = 0;    // of the scaled tree
  std::vector<double> coef;   // Terms: b_j; Rational: c_i
  std::vector<double> coef2;  // Rational: d_j, j >= 2
};

// The terms t_j of a sum or difference at the top of `raw` that read a
// feature (a constant term is the intercept's business); empty when raw is
// not such a sum or has more than a handful of terms.
std::vector<const Expr*> sum_terms(const Expr& raw);

// Scores `raw` on every row of `train`, complexities weighted by `ops`. Sums
// run in row order. With `units`, only the forms whose scaled tree agrees
// are scored, and a raw tree none of whose forms agree scores +inf without
// being evaluated.
ScaledScore score_scaled(const Expr& raw, const Dataset& train, double floor,
                         const OperatorSet& ops = OperatorSet::all(),
                         const UnitCheck* units = nullptr);

// Bits of the forms of a + b·f score_values may choose.
inline constexpr unsigned kPlainForms = 1u << 0;   // f, a + f
inline constexpr unsigned kScaledForms = 1u << 1;  // b·f, a + b·f
inline constexpr unsigned kAllForms = kPlainForms | kScaledForms;

// The same, given the tree's values on the training rows and its complexity.
ScaledScore score_values(const double* f, const Dataset& train, uint32_t raw_complexity,
                         double floor, const OperatorSet& ops = OperatorSet::all(),
                         unsigned forms = kAllForms);

// Whether some scaled form of `raw` agrees with the units.
bool units_allow(const Expr& raw, const UnitCheck& units);

// The scaled tree a + b·raw in the chosen form: constant first.
Expr scaled_tree(const Expr& raw, const ScaledScore& s);

}  // namespace quorvex
