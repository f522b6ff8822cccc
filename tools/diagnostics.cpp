#include "diagnostics.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "assess/uncertainty.h"
#include "text/numbers.h"

namespace quorvex::cli {

FiniteRows count_finite_rows(const Expr& tree, const Dataset& data) {
  FiniteRows rows;
  rows.total = data.n_rows();
  for (size_t i = 0; i < data.n_rows(); ++i)
    if (std::isfinite(tree.evaluate(data.row(i)))) ++rows.finite;
  return rows;
}

std::string format_share(FiniteRows rows) {
  if (rows.total == 0) return "-";
  // Tenths of a percent, truncated, in integers: nothing rounds up to 100.0.
  const size_t t = rows.finite / rows.total * 1000 + rows.finite % rows.total * 1000 / rows.total;
  return format_integer(t / 10) + "." + format_integer(t % 10) + "%";
}

std::optional<std::string> linear_note(const DiscoverReport& report) {
  const double d = report.delta_bic_linear;
  if (report.verdict == Verdict::Strong || std::isnan(d)) return std::nullopt;
  const bool clearly_linear = report.baselines.bic_linear < report.baselines.bic_const - 10.0;
  const std::string linear = clearly_linear ? ": the relation may be linear" : "";
  if (d > 0.0)
    return "a straight line fits better than the formula found (ΔBIC vs linear " +
           format_signed_fixed(d, 1) + ")" + linear;
  // The refined search reports the least-squares line itself when nothing beats it.
  if (d == 0.0 && report.verdict == Verdict::Weak)
    return "the least-squares line fits best: it is the formula reported" + linear;
  if (report.verdict == Verdict::Weak && d >= -10.0)
    return "the formula beats a straight line by too little to count (ΔBIC vs linear " +
           format_signed_fixed(d, 1) + "; Strong needs below -10)";
  return std::nullopt;
}

VerdictNotes verdict_notes(const DiscoverReport& report, FiniteRows train_rows,
                           const std::string& check_hint, bool error_floored) {
  VerdictNotes notes;
  notes.finite = "finite  : " + format_share(train_rows) + " of training rows (" +
                 format_integer(train_rows.finite) + " of " + format_integer(train_rows.total) +
                 ")";
  std::vector<std::string>& lines = notes.warnings;
  if (train_rows.finite < train_rows.total && report.verdict != Verdict::Noise) {
    lines.push_back("warning : the formula is undefined (NaN or infinite) on " +
                    format_integer(train_rows.total - train_rows.finite) + " of " +
                    format_integer(train_rows.total) +
                    " training rows; the BIC leaves those rows out but still counts them, so "
                    "a formula that dodges the hardest rows can look decisive by chance and this " +
                    verdict_name(report.verdict) +
                    " verdict may be far too optimistic: " + check_hint);
  }
  if (report.mse_train == 0.0 && !error_floored) {
    lines.push_back(
        "note    : the training error is exactly zero, which the BIC scores as +inf, like an "
        "unusable formula: an exact fit gets no credit in the verdict; judge it by the test "
        "error");
  }
  if (std::optional<std::string> line = linear_note(report)) lines.push_back("note    : " + *line);
  if (report.baselines.bic_const == std::numeric_limits<double>::infinity() &&
      report.n_train >= 2) {
    lines.push_back(
        "note    : the constant model scores +inf (its training error is zero or not finite, "
        "e.g. all targets equal), so beating it means nothing and the verdict is at best a "
        "formality");
  }
  return notes;
}

namespace {

// The share is a count of kDomainPoints, a power of two: exact.
size_t domain_points(double domain_share) {
  return std::isnan(domain_share) ? 0
                                  : static_cast<size_t>(std::llround(domain_share * kDomainPoints));
}

}  // namespace

std::string domain_line(double domain_share) {
  return "domain  : " + format_share({domain_points(domain_share), kDomainPoints}) +
         " of the box the training rows span (" + format_integer(kDomainPoints) + " points)";
}

std::optional<std::string> domain_warning(double domain_share) {
  if (!(domain_share < 1.0)) return std::nullopt;
  const size_t finite = domain_points(domain_share);
  return "warning : the formula is undefined (NaN or infinite) on " +
         format_share({kDomainPoints - finite, kDomainPoints}) +
         " of the box the training data span (" + format_integer(kDomainPoints - finite) + " of " +
         format_integer(kDomainPoints) +
         " points drawn in it): it fits the rows but need not hold between or beside them";
}

std::string permutation_line(const PermutationResult& result) {
  const size_t n = result.null_bics.size();
  return "p-value : " + format_fixed(result.p_value, 4) + " = " +
         format_integer(1 + result.at_or_below) + "/" + format_integer(n + 1) + " from " +
         format_integer(n) + " permutations of the target (" + format_integer(result.at_or_below) +
         " null BICs at or below the real one)";
}

}  // namespace quorvex::cli
