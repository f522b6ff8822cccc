#pragma once

// Internal to the compiled evaluator: the interpreter loop that both the
// portable and the AVX2 translation units instantiate with their own
// kernels. The AVX2 unit includes this after switching its target, so that
// everything defined here is built for that target there; the anonymous
// namespace keeps the two builds apart.

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "expr/compiled.h"
#include "expr/compiled_kernels.h"
#include "expr/functions.h"
#include "expr/int_pow.h"

namespace quorvex {
namespace eval_detail {
namespace {

// Scalar forms of the operations, exactly as Expr::evaluate computes them.
inline double div_guarded(double a, double b) {
  const double q = a / b;
  return std::fabs(b) < 1e-300 ? kGuardNaN : q;
}
inline double log_guarded(double x) { return x <= 0.0 ? kGuardNaN : std::log(x); }
inline double sqrt_guarded(double x) { return x < 0.0 ? kGuardNaN : std::sqrt(x); }
inline double pow_guarded(double x, int32_t e) {
  return x == 0.0 && e < 0 ? kGuardNaN : platform_pow(x, static_cast<double>(e));
}

inline void exp_block(double* o, const double* a, size_t n) {
  for (size_t i = 0; i < n; ++i) o[i] = std::exp(a[i]);
}
inline void log_block(double* o, const double* a, size_t n) {
  for (size_t i = 0; i < n; ++i) o[i] = log_guarded(a[i]);
}
inline void function_block(Expr::Kind kind, double* o, const double* a, size_t n) {
  for (size_t i = 0; i < n; ++i) o[i] = apply_function(kind, a[i]);
}
inline void pow_block(double* o, const double* a, int32_t e, size_t n) {
  for (size_t i = 0; i < n; ++i) o[i] = pow_guarded(a[i], e);
}

// K supplies the element-wise kernels. Operands of the *CV forms are the
// constant k and the block b.
template <class K>
void interpret(const CompiledExpr::Instr* code, size_t n_code, size_t begin, size_t count,
               double* slots) {
  using Code = CompiledExpr::Code;
  for (size_t j = 0; j < n_code; ++j) {
    const CompiledExpr::Instr& in = code[j];
    double* o = slots + size_t{in.dst} * kEvalBlockRows;
    const double* a = in.a_col ? in.a_col + begin : slots + size_t{in.a_slot} * kEvalBlockRows;
    const double* b = in.b_col ? in.b_col + begin : slots + size_t{in.b_slot} * kEvalBlockRows;
    switch (in.code) {
      case Code::AddVV:
        K::add_vv(o, a, b, count);
        break;
      case Code::AddVC:
        K::add_vc(o, a, in.k, count);
        break;
      case Code::AddCV:
        K::add_cv(o, in.k, b, count);
        break;
      case Code::SubVV:
        K::sub_vv(o, a, b, count);
        break;
      case Code::SubVC:
        K::sub_vc(o, a, in.k, count);
        break;
      case Code::SubCV:
        K::sub_cv(o, in.k, b, count);
        break;
      case Code::MulVV:
        K::mul_vv(o, a, b, count);
        break;
      case Code::MulVC:
        K::mul_vc(o, a, in.k, count);
        break;
      case Code::MulCV:
        K::mul_cv(o, in.k, b, count);
        break;
      case Code::DivVV:
        K::div_vv(o, a, b, count);
        break;
      case Code::DivVC:
        K::div_vc(o, a, in.k, count);
        break;
      case Code::DivCV:
        K::div_cv(o, in.k, b, count);
        break;
      case Code::Sqrt:
        K::sqrt(o, a, count);
        break;
      case Code::Exp:
        exp_block(o, a, count);
        break;
      case Code::Log:
        log_block(o, a, count);
        break;
      case Code::PowOne:
        K::pow_one(o, a, count);
        break;
      case Code::PowTwo:
        K::pow_two(o, a, count);
        break;
      case Code::PowMinusOne:
        K::pow_minus_one(o, a, count);
        break;
      case Code::PowMinusTwo:
        K::pow_minus_two(o, a, count);
        break;
      case Code::Pow:
        pow_block(o, a, in.exponent, count);
        break;
      case Code::Sin:
        function_block(Expr::Kind::Sin, o, a, count);
        break;
      case Code::Cos:
        function_block(Expr::Kind::Cos, o, a, count);
        break;
      case Code::Tanh:
        function_block(Expr::Kind::Tanh, o, a, count);
        break;
      case Code::Abs:
        function_block(Expr::Kind::Abs, o, a, count);
        break;
    }
  }
}

}  // namespace
}  // namespace eval_detail
}  // namespace quorvex
