#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "optimizer/permutation.h"
#include "report/report.h"

namespace quorvex::cli {

// How many rows of a dataset give a finite value for a formula.
struct FiniteRows {
  size_t finite = 0;
  size_t total = 0;
};

FiniteRows count_finite_rows(const Expr& tree, const Dataset& data);

// The share as a percentage with one decimal, rounded down, so that only a
// formula finite on every row shows "100.0%".
std::string format_share(FiniteRows rows);

// What the verdict leaves out, as lines without a line feed.
struct VerdictNotes {
  // "finite  : ..." the share of training rows on which the formula is finite.
  std::string finite;
  // A warning when that share is below 100% and the verdict is Strong or
  // Weak (the score drops the undefined rows but keeps counting them, which
  // can make a chance formula look decisive), and a note when the formula's
  // training error is exactly zero or the constant model scores +inf (the BIC
  // treats a zero error as unusable, so exact fits and constant targets get
  // misleading verdicts), and linear_note's line.
  std::vector<std::string> warnings;
};

// Why the verdict is not Strong when a straight line is the reason: it fits
// better than the formula, or the formula beats it by 10 or less (Weak).
std::optional<std::string> linear_note(const DiscoverReport& report);

// `check_hint` ends the warning, e.g. "check it with --permutations 99".
// `error_floored`: the score floors the error (the refined search), so an
// exact fit scores well and the zero-error note does not apply.
VerdictNotes verdict_notes(const DiscoverReport& report, FiniteRows train_rows,
                           const std::string& check_hint, bool error_floored = false);

// A warning when the formula is undefined on part of the box its training
// data span (RefinedResult::domain_share below 1, not NaN): it holds on the
// rows, not necessarily between or beside them.
std::optional<std::string> domain_warning(double domain_share);
// "domain  : 100.0% of the box the training rows span (4096 points)".
std::string domain_line(double domain_share);

// The line written after the report: "p-value : 0.0100 = 1/100 ...".
std::string permutation_line(const PermutationResult& result);

}  // namespace quorvex::cli
