#pragma once

#include <cstdint>

#include "expr/expr.h"

namespace quorvex {

// A hash of everything operator== compares: kinds, operators, exponents,
// feature names and the bits of every constant. Equal trees hash alike; the
// hash alone never decides equality, and no result may depend on its value
// (feature names hash with std::hash).
uint64_t structural_hash(const Expr& tree) noexcept;

}  // namespace quorvex
