#pragma once

// Internal to the compiled evaluator: the table of machine-specific kernels.

#include <cstddef>
#include <cstdint>

#include "expr/compiled.h"
#include "expr/functions.h"

namespace quorvex {
namespace eval_detail {

struct Kernels {
  void (*run)(const CompiledExpr::Instr* code, size_t n_code, size_t begin, size_t count,
              double* slots);
  size_t (*finite_squared_errors)(const double* y, const double* t, size_t count, double* sq);
};

const Kernels& portable_kernels() noexcept;
// Null unless built in and supported by this CPU.
const Kernels* avx2_kernels() noexcept;

}  // namespace eval_detail
}  // namespace quorvex
