#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "expr/expr.h"

namespace quorvex {

// A formula text that cannot be read; offset is the byte where reading stopped.
class FormulaError : public std::invalid_argument {
 public:
  FormulaError(const std::string& message, size_t offset)
      : std::invalid_argument(message), offset_(offset) {}
  size_t offset() const noexcept { return offset_; }

 private:
  size_t offset_;
};

// The tree of a formula text: the classic form ("(x + 2.5000e0)", "(x^-1)")
// or the refined search's displayed one ("3.4*S/(S + 0.7)", "3.2*x^1.7",
// "x^y"). Usual precedence: ^ (right to left, a sign allowed after it) above
// a leading minus, above * and /, above + and -. Names are letters, digits,
// '_' and '.', not starting with a digit or '.'; a name before '(' is one of
// exp, log, sqrt, sin, cos, tanh, abs. A power whose exponent is not an
// integer constant reads as exp(exponent * log(base)), which is how the
// search writes it.
Expr parse_formula(std::string_view text);

}  // namespace quorvex
