#pragma once

#include <string>

#include "refine/refine.h"

// Both renderings of a refined discovery live here, so that every host shows
// the same report.

namespace quorvex {

// The JSON document of a refined discovery: the classic report's members in
// their order, then search, rows_set_aside, finite_share, generations,
// stop_reason (stop_reason_name), mse_floor, operators (OperatorSet::text),
// weight_sum (weighted rows only) and the front. Every host writes this one document (quorvex_ext.h
// documents the schema).
std::string refined_report_json(const RefinedResult& r);

// The text report of a refined discovery: the classic report's lines, then
// the simplified formula where it differs, the rows set aside, the finite
// share, the generations and why they stopped, the operators, the weights'
// sum (weighted rows only) and the front.
std::string refined_report_text(const RefinedResult& r, const std::string& simplified);

}  // namespace quorvex
