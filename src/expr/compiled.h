#pragma once

// The fast evaluation path: a tree compiled once into a flat postfix program
// over the columns of one dataset, run over blocks of rows into contiguous
// buffers. It gives exactly the bits of Expr::evaluate (the reference), row
// for row; tests/expr/compiled_test.cpp holds both paths against each other.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"

namespace quorvex {

class ColumnCache;

// Rows per block: the slot buffers of a typical tree stay in L1 while the
// per-instruction dispatch is spread over enough rows to vanish.
inline constexpr size_t kEvalBlockRows = 256;

// One compiled tree. Constant subtrees (those reading no column of the
// dataset) are folded by the reference evaluator itself; a feature the
// dataset lacks is the constant 0.0. Leaves are never copied: an instruction
// reads a column block or a constant directly.
class CompiledExpr {
 public:
  // V: a block (a column or a slot), C: a constant.
  enum class Code : uint8_t {
    AddVV,
    AddVC,
    AddCV,
    SubVV,
    SubVC,
    SubCV,
    MulVV,
    MulVC,
    MulCV,
    DivVV,
    DivVC,
    DivCV,
    Sqrt,
    Exp,
    Log,
    PowOne,
    PowTwo,
    PowMinusOne,
    PowMinusTwo,
    Pow,
    Sin,
    Cos,
    Tanh,
    Abs,
  };
  // The code of a one-child node (exponent: a Pow's).
  static Code unary_code(Expr::Kind kind, int32_t exponent) noexcept;

  struct Instr {
    Code code;
    int32_t exponent;     // Pow*
    uint32_t dst;         // slot written
    uint32_t a_slot;      // first operand when a_col is null
    uint32_t b_slot;      // second operand when b_col is null
    const double* a_col;  // first operand: this column at the block's rows
    const double* b_col;
    double k;  // the constant operand of *VC and *CV
  };

  // Compiles `tree` against `data`, reusing this object's storage. The
  // program reads the columns in place: `data` must outlive its use, and so
  // must `cache`, whose cached column functions it reads instead of
  // computing them.
  void compile(const Expr& tree, const Dataset& data, const ColumnCache* cache = nullptr);

  // Slot buffers the program needs, kEvalBlockRows doubles each.
  size_t slots() const noexcept { return slots_; }
  const std::vector<Instr>& code() const noexcept { return code_; }

  // Evaluates rows [begin, begin + count), count <= kEvalBlockRows, with
  // `slots` pointing to slots() * kEvalBlockRows doubles aligned to 64 bytes.
  // Returns the count predictions: in `slots`, or in the column itself for a
  // tree that is a lone column.
  const double* run(size_t begin, size_t count, double* slots) const;

 private:
  // Where a node's value is: a slot, a column, or a constant.
  struct Operand {
    enum class Kind : uint8_t { Slot, Column, Const };
    Kind kind;
    uint32_t slot;
    const double* col;
    double value;

    static Operand constant(double v) { return {Kind::Const, 0, nullptr, v}; }
  };
  // Recurses at most `levels` deeper, then goes on with emit_deep.
  Operand emit(const Expr& e, const Dataset& data, const ColumnCache* cache, int levels);
  Operand emit_deep(const Expr& tree, const Dataset& data, const ColumnCache* cache);
  Operand leaf(const Expr& e, const Dataset& data) const;
  Operand emit_bin(const Expr& e, Operand a, Operand b);
  Operand emit_unary(const Expr& e, Operand a, const ColumnCache* cache);
  uint32_t push_slot() noexcept;

  std::vector<Instr> code_;
  uint32_t slots_ = 0;
  uint32_t top_ = 0;
  uint32_t result_ = 0;
  const double* result_col_ = nullptr;  // a lone column
  bool constant_result_ = false;
  std::vector<double> constant_;  // a constant tree's value, a block long
  // emit_deep's work lists, kept to spare allocations: nodes to visit (the flag
  // set once their children are pushed) and the operands of visited ones.
  std::vector<std::pair<const Expr*, bool>> walk_;
  std::vector<Operand> operands_;
};

// Evaluates every row of the dataset the program was compiled against into
// out[0 .. n_rows).
void evaluate_rows(const CompiledExpr& program, size_t n_rows, double* out);

// Squared errors of one block: sq[i] = (t[i] - y[i])^2 where y[i] is finite
// and +0.0 where it is not (adding +0.0 to a sum of squares never changes
// it). Returns the number of finite predictions.
size_t finite_squared_errors(const double* y, const double* t, size_t count, double* sq);

// Which machine code runs the programs. Both give the same bits; Avx2 needs
// a CPU with AVX2 and FMA, and is built for x86-64 with glibc only (see
// compiled_avx2.cpp).
enum class EvalPath : uint8_t { Portable, Avx2 };
EvalPath eval_path() noexcept;
bool eval_path_available(EvalPath path) noexcept;
// For tests and benchmarks; returns false (and changes nothing) when the
// path is unavailable. Affects every thread.
bool set_eval_path(EvalPath path) noexcept;

// A growable buffer of doubles whose start is aligned to 64 bytes. Kept per
// thread by its users, so that the hot loop never allocates.
class EvalBuffer {
 public:
  double* get(size_t doubles);

 private:
  std::vector<double> storage_;
};

}  // namespace quorvex
