#pragma once

#include <string>

// The permutation test itself lives in the core, shared with the extended C
// interface, so that every host draws the same permutations.
#include "optimizer/permutation.h"

namespace quorvex::cli {

using quorvex::permutation_p_value;
using quorvex::permutation_seed;
using quorvex::permutation_test;
using quorvex::PermutationProgress;
using quorvex::PermutationResult;

// The line written after the report: "p-value : 0.0100 = 1/100 ...".
std::string permutation_line(const PermutationResult& result);

}  // namespace quorvex::cli
