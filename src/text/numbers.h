#pragma once

#include <string>

namespace quorvex {

// Five significant digits in scientific form: "-1.2346e3", "1.0000e-300";
// the exact binary value correctly rounded, ties to even. "NaN", "inf", "-inf".
std::string format_sci5(double value);

// Exactly `decimals` digits after the point, the exact binary value correctly
// rounded with ties to even, integer part in full; a minus sign on every
// negative value, negative zero and values that round to zero included.
// "NaN", "inf", "-inf".
std::string format_fixed(double value, int decimals);

// format_fixed with a sign on every value but NaN: "+0.00", "+inf", "-0.00".
std::string format_signed_fixed(double value, int decimals);

}  // namespace quorvex
