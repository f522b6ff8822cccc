#pragma once

#include <charconv>
#include <concepts>
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

// The decimal digits of an integer, with a minus sign when negative.
template <std::integral T>
std::string format_integer(T value) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

}  // namespace quorvex
