#include <charconv>
#include <cmath>
#include <string>

#include "text/numbers.h"

namespace quorvex {

// std::to_chars with a precision is exact: it rounds the binary value itself,
// ties to even, as the formula text requires. It gives "-d.dddde+XX"; the
// exponent is re-laid out without "+" and without leading zeros.
std::string format_sci5(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 4);
  const char* const end = res.ptr;
  const char* p = buf;
  while (*p != 'e') ++p;
  std::string out(static_cast<const char*>(buf), p);  // sign and mantissa "d.dddd"
  ++p;
  const bool neg_exp = (*p == '-');
  ++p;
  while (p + 1 < end && *p == '0') ++p;  // leading zeros of the exponent
  out += neg_exp ? "e-" : "e";
  out.append(p, end);
  return out;
}

}  // namespace quorvex
