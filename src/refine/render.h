#pragma once

#include <string>

#include "refine/refine.h"

// Both renderings of a refined discovery live here, so that every host shows
// the same report.

namespace quorvex {

// The JSON document of a refined discovery: the classic report's members in
// their order, then search, rows_set_aside, finite_share, generations,
// stop_reason (stop_reason_name), mse_floor, operators (OperatorSet::text),
// weight_sum (weighted rows only), the front, constants ([{value, std_error}]
// of the best formula's constants in order) and domain_share. Every host writes this one document (quorvex_ext.h
// documents the schema).
std::string refined_report_json(const RefinedResult& r);

// The text report of a refined discovery: the classic report's lines, then
// the simplified formula where it differs, the rows set aside, the finite
// share, the generations and why they stopped, the operators, the constants
// (constants_text), the domain share, the weights' sum (weighted rows only)
// and the front.
std::string refined_report_text(const RefinedResult& r, const std::string& simplified);

// "2.5 ± 0.0012, 8.314 ± 0.3 (interval includes 0)": each constant of the
// best formula with its standard error, four significant digits, flagged when
// its 95% interval holds 0; "none" for a formula without constants.
std::string constants_text(const RefinedResult& r);

}  // namespace quorvex
