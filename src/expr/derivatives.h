#pragma once

// Values of a tree together with their derivatives with respect to the
// tree's constants, by forward-mode differentiation over blocks of rows: what
// constant fitting needs. The constants are the tree's Const leaves in
// preorder; the guards are those of Expr::evaluate.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"

namespace quorvex {

// The Const leaves of `tree` in preorder.
std::vector<double> constants_of(const Expr& tree);
// `tree` with its Const leaves, in preorder, replaced by values[0 ..).
Expr with_constants(const Expr& tree, const double* values);

class DualProgram {
 public:
  // Rows per block: the value and derivative buffers of a tree stay in cache.
  static constexpr size_t kBlock = 64;

  // Compiles `tree` against the columns of `data`, which must outlive use.
  void compile(const Expr& tree, const Dataset& data);
  size_t n_params() const noexcept { return n_params_; }

  // For parameters theta[0 .. n_params()): values[i] for every row and, when
  // jac is not null, jac[p * n_rows + i] = d values[i] / d theta[p].
  void run(const double* theta, double* values, double* jac) const;

 private:
  struct Instr {
    Expr::Kind kind;
    Op op;
    int32_t exponent;
    uint32_t a, b;      // operand instructions
    uint32_t lo, hi;    // the parameters of the subtree; a Const's is lo
    const double* col;  // Feature; null reads 0.0
  };
  uint32_t emit(const Expr& e, const Dataset& data);
  // Instruction i over the m rows of the block at `start`: its values, and
  // its derivatives when jac.
  void step(size_t i, const double* theta, size_t start, size_t m, bool jac) const;
  void binary_step(size_t i, size_t m, bool want_d) const;

  std::vector<Instr> code_;
  size_t n_params_ = 0;
  size_t n_rows_ = 0;
  mutable std::vector<double> values_;  // per instruction, a block each
  mutable std::vector<double> derivs_;  // per instruction, n_params blocks
  mutable std::vector<double> grad_;    // a unary node's local derivative
};

}  // namespace quorvex
