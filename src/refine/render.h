#pragma once

#include <string>
#include <vector>

#include "refine/refine.h"

// Both renderings of a refined discovery live here, so that every host shows
// the same report.

namespace quorvex {

// The JSON document of a refined discovery: the classic report's members in
// their order, then search, rows_set_aside, finite_share, generations,
// stop_reason (stop_reason_name), mse_floor, operators (OperatorSet::text),
// weight_sum (weighted rows only), the front, constants ([{value, std_error}]
// of the best formula's constants in order) and domain_share. Every host writes this one document
// (quorvex_ext.h documents the schema).
std::string refined_report_json(const RefinedResult& r);

// The text report of a refined discovery: the classic report's lines, then
// the simplified formula where it differs, the rows set aside, the finite
// share, the generations and why they stopped, the operators, the constants
// (constants_text), the units (units_text, declared units only), the domain
// share, the weights' sum (weighted rows only) and the front (front_table).
std::string refined_report_text(const RefinedResult& r, const std::string& simplified);

// "2.5 ± 0.0012, 8.314 ± 0.3 (interval includes 0)": each constant of the
// best formula's tree with its standard error, four significant digits,
// flagged when its 95% interval holds 0; "none" for a formula without
// constants.
std::string constants_text(const RefinedResult& r);

// "N (constants: N, 1)": the best formula's unit, the target's, then each
// constant's, for a search with declared units.
std::string units_text(const RefinedResult& r);

// The front as every host shows it, one line per formula under a heading,
// the reported one marked with '*': the constant model first, an entry
// whose training error is within 1e-12 (relative) of a simpler one's, or
// which is displayed alike, left out, and so are the entries past the reported one once the error
// stops improving by more than its sampling noise (2·sqrt(2/n) relative; the JSON keeps them all).
// `latex` writes the formulas as LaTeX.
std::vector<std::string> front_table(const RefinedResult& r, bool latex = false);

}  // namespace quorvex
