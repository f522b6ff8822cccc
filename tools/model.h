#pragma once

// The command reads saved models with the core's JSON reader.
#include "expr/read_json.h"

namespace quorvex::cli {
using quorvex::expression_features;
using quorvex::expression_from_json;
using quorvex::JsonError;
using quorvex::JsonValue;
using quorvex::model_expression;
using quorvex::parse_json;
}  // namespace quorvex::cli
