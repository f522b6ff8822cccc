#include <charconv>
#include <cmath>
#include <string>

#include "text/numbers.h"

namespace quorvex {

std::string format_fixed(double value, int decimals) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  if (decimals < 0) decimals = 0;
  // libstdc++'s fixed to_chars is exact (correct rounding, ties to even) and
  // keeps the sign of negative zero and of negatives that round to zero.
  // The largest double has 309 integer digits.
  std::string out(static_cast<size_t>(decimals) + 320, '\0');
  const auto res =
      std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed, decimals);
  out.resize(static_cast<size_t>(res.ptr - out.data()));
  return out;
}

std::string format_signed_fixed(double value, int decimals) {
  std::string digits = format_fixed(value, decimals);
  if (std::isnan(value) || std::signbit(value)) return digits;
  return "+" + digits;
}

}  // namespace quorvex
