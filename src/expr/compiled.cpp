#include "expr/compiled.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "expr/column_cache.h"
#include "expr/compiled_interpreter.h"
#include "expr/compiled_kernels.h"
#include "expr/functions.h"
#include "expr/int_pow.h"

namespace quorvex {

namespace eval_detail {
namespace {

// Plain loops: the compiler vectorises them for the baseline instruction set.
struct Portable {
  static void add_vv(double* o, const double* a, const double* b, size_t n) {
    for (size_t i = 0; i < n; ++i) o[i] = a[i] + b[i];
  }
  static void add_vc(double* o, const double* a, double k, size_t n) {
    for (size_t i = 0; i < n; ++i) o[i] = a[i] + k;
  }
  static void add_cv(double* o, double k, const double* b, size_t n) {
    for (size_t i = 0; i < n; ++i) o[i] = k + b[i];
  }
  static void sub_vv(double* o, const double* a, const double* b, size_t n) {
    for (size_t i = 0; i < n; ++i) o[i] = a[i] - b[i];
  }
  static void sub_vc(double* o, const double* a, double k, size_t n) {
    for (size_t i = 0; i < n; ++i) o[i] = a[i] - k;
  }
  static void sub_cv(double* o, double k, const double* b, size_t n) {
    for (size_t i = 0; i < n; ++i) o[i] = k - b[i];
  }
  static void mul_vv(double* o, const double* a, const double* b, size_t n) {
    for (size_t i = 0; i < n; ++i) o[i] = a[i] * b[i];
  }
  static void mul_vc(double* o, const double* a, double k, size_t n) {
    for (size_t i = 0; i < n; ++i) o[i] = a[i] * k;
  }
  static void mul_cv(double* o, double k, const double* b, size_t n) {
    for (size_t i = 0; i < n; ++i) o[i] = k * b[i];
  }
  static void div_vv(double* o, const double* a, const double* b, size_t n) {
    for (size_t i = 0; i < n; ++i) o[i] = div_guarded(a[i], b[i]);
  }
  static void div_vc(double* o, const double* a, double k, size_t n) {
    for (size_t i = 0; i < n; ++i) o[i] = div_guarded(a[i], k);
  }
  static void div_cv(double* o, double k, const double* b, size_t n) {
    for (size_t i = 0; i < n; ++i) o[i] = div_guarded(k, b[i]);
  }
  static void sqrt(double* o, const double* a, size_t n) {
    for (size_t i = 0; i < n; ++i) o[i] = sqrt_guarded(a[i]);
  }
  static void pow_one(double* o, const double* a, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      double v;
      o[i] = kIntPowShortcuts && try_identity(a[i], v) ? v : platform_pow(a[i], 1.0);
    }
  }
  // Without a hardware fma the residual test costs more than pow itself.
  static void pow_two(double* o, const double* a, size_t n) { pow_block(o, a, 2, n); }
  static void pow_minus_one(double* o, const double* a, size_t n) { pow_block(o, a, -1, n); }
  static void pow_minus_two(double* o, const double* a, size_t n) { pow_block(o, a, -2, n); }
};

size_t portable_finite_squared_errors(const double* y, const double* t, size_t count, double* sq) {
  size_t m = 0;
  for (size_t i = 0; i < count; ++i) {
    const double d = t[i] - y[i];
    const bool finite = std::isfinite(y[i]);
    sq[i] = finite ? d * d : 0.0;
    m += finite;
  }
  return m;
}

constexpr Kernels kPortable = {&interpret<Portable>, &portable_finite_squared_errors};

}  // namespace

const Kernels& portable_kernels() noexcept { return kPortable; }

}  // namespace eval_detail

namespace {

using eval_detail::Kernels;

const Kernels* best_kernels() noexcept {
  const Kernels* avx2 = eval_detail::avx2_kernels();
  return avx2 != nullptr ? avx2 : &eval_detail::portable_kernels();
}

std::atomic<const Kernels*> g_kernels{nullptr};

const Kernels& kernels() noexcept {
  const Kernels* k = g_kernels.load(std::memory_order_relaxed);
  if (k == nullptr) {
    k = best_kernels();
    g_kernels.store(k, std::memory_order_relaxed);
  }
  return *k;
}

using Code = CompiledExpr::Code;

// Where a binary node's operands are: two blocks, or a constant on the right
// or on the left.
enum class Operands : uint8_t { VV, VC, CV };

constexpr Code binary_code(Op op, Operands form) noexcept {
  const auto pick = [form](Code vv, Code vc, Code cv) {
    return form == Operands::VV ? vv : form == Operands::VC ? vc : cv;
  };
  switch (op) {
    case Op::Add:
      return pick(Code::AddVV, Code::AddVC, Code::AddCV);
    case Op::Sub:
      return pick(Code::SubVV, Code::SubVC, Code::SubCV);
    case Op::Mul:
      return pick(Code::MulVV, Code::MulVC, Code::MulCV);
    case Op::Div:
      return pick(Code::DivVV, Code::DivVC, Code::DivCV);
  }
  return Code::AddVV;  // unreachable: Op has four values
}
// Twelve distinct codes, so no two operations or operand forms share one.
constexpr bool binary_codes_distinct() {
  constexpr Op kOps[] = {Op::Add, Op::Sub, Op::Mul, Op::Div};
  constexpr Operands kForms[] = {Operands::VV, Operands::VC, Operands::CV};
  uint32_t seen = 0;
  for (const Op op : kOps)
    for (const Operands form : kForms) seen |= 1u << static_cast<unsigned>(binary_code(op, form));
  return std::popcount(seen) == 12;
}
static_assert(binary_codes_distinct());
static_assert(binary_code(Op::Sub, Operands::VC) == Code::SubVC &&
              binary_code(Op::Div, Operands::CV) == Code::DivCV);

}  // namespace

uint32_t CompiledExpr::push_slot() noexcept {
  const uint32_t s = top_++;
  slots_ = std::max(slots_, top_);
  return s;
}

CompiledExpr::Code CompiledExpr::unary_code(Expr::Kind kind, int32_t exponent) noexcept {
  switch (kind) {
    case Expr::Kind::Exp:
      return Code::Exp;
    case Expr::Kind::Log:
      return Code::Log;
    case Expr::Kind::Sqrt:
      return Code::Sqrt;
    case Expr::Kind::Sin:
      return Code::Sin;
    case Expr::Kind::Cos:
      return Code::Cos;
    case Expr::Kind::Tanh:
      return Code::Tanh;
    case Expr::Kind::Abs:
      return Code::Abs;
    default:
      return exponent == 1    ? Code::PowOne
             : exponent == 2  ? Code::PowTwo
             : exponent == -1 ? Code::PowMinusOne
             : exponent == -2 ? Code::PowMinusTwo
                              : Code::Pow;
  }
}

void CompiledExpr::compile(const Expr& tree, const Dataset& data, const ColumnCache* cache) {
  code_.clear();
  slots_ = 0;
  top_ = 0;
  result_col_ = nullptr;
  constant_result_ = false;
  const Operand r = emit(tree, data, cache, 64);
  switch (r.kind) {
    case Operand::Kind::Slot:
      result_ = r.slot;
      break;
    case Operand::Kind::Column:
      result_col_ = r.col;
      break;
    case Operand::Kind::Const:
      constant_.assign(kEvalBlockRows, r.value);
      constant_result_ = true;
      break;
  }
}

CompiledExpr::Operand CompiledExpr::emit(const Expr& e, const Dataset& data,
                                         const ColumnCache* cache, int levels) {
  if (levels == 0) return emit_deep(e, data, cache);
  switch (e.kind()) {
    case Expr::Kind::Const:
    case Expr::Kind::Feature:
      return leaf(e, data);
    case Expr::Kind::Bin: {
      const Operand a = emit(e.left(), data, cache, levels - 1);
      const Operand b = emit(e.right(), data, cache, levels - 1);
      return emit_bin(e, a, b);
    }
    default:
      return emit_unary(e, emit(e.child(), data, cache, levels - 1), cache);
  }
}

// A postorder walk without recursion, left before right: the same
// instructions and slots as emitting each subtree in turn, for any depth.
CompiledExpr::Operand CompiledExpr::emit_deep(const Expr& tree, const Dataset& data,
                                              const ColumnCache* cache) {
  walk_.clear();
  operands_.clear();
  walk_.emplace_back(&tree, false);
  while (!walk_.empty()) {
    auto [e, expanded] = walk_.back();
    walk_.pop_back();
    const Expr::Kind kind = e->kind();
    if (kind == Expr::Kind::Const || kind == Expr::Kind::Feature) {
      operands_.push_back(leaf(*e, data));
    } else if (!expanded) {
      walk_.emplace_back(e, true);
      if (kind == Expr::Kind::Bin) {
        walk_.emplace_back(&e->right(), false);
        walk_.emplace_back(&e->left(), false);
      } else {
        walk_.emplace_back(&e->child(), false);
      }
    } else if (kind == Expr::Kind::Bin) {
      const Operand b = operands_.back();
      operands_.pop_back();
      operands_.back() = emit_bin(*e, operands_.back(), b);
    } else {
      operands_.back() = emit_unary(*e, operands_.back(), cache);
    }
  }
  return operands_.back();
}

CompiledExpr::Operand CompiledExpr::leaf(const Expr& e, const Dataset& data) const {
  if (e.kind() == Expr::Kind::Const) return Operand::constant(e.value());
  const size_t c = data.find_column(e.name());
  if (c == Dataset::npos) return Operand::constant(0.0);
  return {Operand::Kind::Column, 0, data.column(c).data(), 0.0};
}

// Constant operands fold with the reference evaluator's own arithmetic: a
// missing feature is 0.0 there too, so the bits are those of evaluating the
// subtree on a row without columns.
CompiledExpr::Operand CompiledExpr::emit_bin(const Expr& e, Operand a, Operand b) {
  using K = Operand::Kind;
  if (a.kind == K::Const && b.kind == K::Const)
    return Operand::constant(apply_node(e.kind(), e.op(), e.exponent(), a.value, b.value));
  Instr in{};
  // The left operand's slot lies below the right one's, which is the top.
  if (a.kind == K::Slot) {
    in.dst = a.slot;
    if (b.kind == K::Slot) --top_;
  } else if (b.kind == K::Slot) {
    in.dst = b.slot;
  } else {
    in.dst = push_slot();
  }
  in.a_slot = a.slot;
  in.a_col = a.col;
  in.b_slot = b.slot;
  in.b_col = b.col;
  const Operands form = a.kind == K::Const   ? Operands::CV
                        : b.kind == K::Const ? Operands::VC
                                             : Operands::VV;
  if (form == Operands::VC) in.k = b.value;
  if (form == Operands::CV) in.k = a.value;
  in.code = binary_code(e.op(), form);
  code_.push_back(in);
  return {K::Slot, in.dst, nullptr, 0.0};
}

CompiledExpr::Operand CompiledExpr::emit_unary(const Expr& e, Operand a, const ColumnCache* cache) {
  using K = Operand::Kind;
  if (a.kind == K::Const)
    return Operand::constant(apply_node(e.kind(), e.op(), e.exponent(), a.value, 0.0));
  Instr in{};
  in.exponent = e.kind() == Expr::Kind::Pow ? e.exponent() : 0;
  in.code = unary_code(e.kind(), in.exponent);
  if (a.kind == K::Column && cache != nullptr) {
    if (const double* values = cache->find(in.code, in.exponent, a.col))
      return {K::Column, 0, values, 0.0};
  }
  in.dst = a.kind == K::Slot ? a.slot : push_slot();
  in.a_slot = a.slot;
  in.a_col = a.col;
  code_.push_back(in);
  return {K::Slot, in.dst, nullptr, 0.0};
}

const double* CompiledExpr::run(size_t begin, size_t count, double* slots) const {
  if (constant_result_) return constant_.data();
  if (result_col_ != nullptr) return result_col_ + begin;
  kernels().run(code_.data(), code_.size(), begin, count, slots);
  return slots + size_t{result_} * kEvalBlockRows;
}

void evaluate_rows(const CompiledExpr& program, size_t n_rows, double* out) {
  thread_local EvalBuffer buffer;
  double* slots = buffer.get(program.slots() * kEvalBlockRows);
  for (size_t begin = 0; begin < n_rows; begin += kEvalBlockRows) {
    const size_t count = std::min(kEvalBlockRows, n_rows - begin);
    const double* y = program.run(begin, count, slots);
    std::memcpy(out + begin, y, count * sizeof(double));
  }
}

size_t finite_squared_errors(const double* y, const double* t, size_t count, double* sq) {
  return kernels().finite_squared_errors(y, t, count, sq);
}

EvalPath eval_path() noexcept {
  return &kernels() == &eval_detail::portable_kernels() ? EvalPath::Portable : EvalPath::Avx2;
}

bool eval_path_available(EvalPath path) noexcept {
  return path == EvalPath::Portable || eval_detail::avx2_kernels() != nullptr;
}

bool set_eval_path(EvalPath path) noexcept {
  if (!eval_path_available(path)) return false;
  g_kernels.store(
      path == EvalPath::Portable ? &eval_detail::portable_kernels() : eval_detail::avx2_kernels(),
      std::memory_order_relaxed);
  return true;
}

double* EvalBuffer::get(size_t doubles) {
  constexpr size_t kAlign = 64 / sizeof(double);
  if (storage_.size() < doubles + kAlign) storage_.resize(doubles + kAlign);
  const auto address = reinterpret_cast<uintptr_t>(storage_.data());
  const size_t skip = ((64 - address % 64) % 64) / sizeof(double);
  return storage_.data() + skip;
}

}  // namespace quorvex
