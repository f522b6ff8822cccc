#include "permutation.h"

#include "text/numbers.h"

namespace quorvex::cli {

std::string permutation_line(const PermutationResult& result) {
  const size_t n = result.null_bics.size();
  return "p-value : " + format_fixed(result.p_value, 4) + " = " +
         format_integer(1 + result.at_or_below) + "/" + format_integer(n + 1) + " from " +
         format_integer(n) + " permutations of the target (" + format_integer(result.at_or_below) +
         " null BICs at or below the real one)";
}

}  // namespace quorvex::cli
