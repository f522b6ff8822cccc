#include "expr/derivatives.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace quorvex {

namespace {

constexpr double kGuardNaN = std::bit_cast<double>(0x7FF8000000000000ULL);

// x^e by multiplication: fitting needs no last-bit agreement with pow (the
// fitted tree is scored again by the compiled evaluator), and pow dominated
// the cost of every step.
double int_power(double x, int32_t e) {
  if (e < 0 || e > 8) return std::pow(x, static_cast<double>(e));
  double r = 1.0;
  for (int32_t i = 0; i < e; ++i) r *= x;
  return r;
}

void collect(const Expr& e, std::vector<double>& out) {
  switch (e.kind()) {
    case Expr::Kind::Const:
      out.push_back(e.value());
      return;
    case Expr::Kind::Feature:
      return;
    case Expr::Kind::Bin:
      collect(e.left(), out);
      collect(e.right(), out);
      return;
    default:
      collect(e.child(), out);
  }
}

Expr replace(const Expr& e, const double* values, size_t& next) {
  switch (e.kind()) {
    case Expr::Kind::Const:
      return Expr::constant(values[next++]);
    case Expr::Kind::Feature:
      return e;
    case Expr::Kind::Bin: {
      Expr left = replace(e.left(), values, next);
      Expr right = replace(e.right(), values, next);
      return Expr::bin(e.op(), std::move(left), std::move(right));
    }
    case Expr::Kind::Pow:
      return Expr::pow(replace(e.child(), values, next), e.exponent());
    case Expr::Kind::Exp:
      return Expr::exp(replace(e.child(), values, next));
    case Expr::Kind::Log:
      return Expr::log(replace(e.child(), values, next));
    case Expr::Kind::Sqrt:
      return Expr::sqrt(replace(e.child(), values, next));
  }
  return e;
}

}  // namespace

std::vector<double> constants_of(const Expr& tree) {
  std::vector<double> out;
  collect(tree, out);
  return out;
}

Expr with_constants(const Expr& tree, const double* values) {
  size_t next = 0;
  return replace(tree, values, next);
}

uint32_t DualProgram::emit(const Expr& e, const Dataset& data) {
  Instr in{e.kind(), Op::Add, false, 0, 0, 0, 0, nullptr};
  switch (e.kind()) {
    case Expr::Kind::Const:
      in.param = static_cast<uint32_t>(n_params_++);
      in.has_d = true;
      break;
    case Expr::Kind::Feature: {
      const size_t c = data.find_column(e.name());
      if (c != Dataset::npos) in.col = data.column(c).data();
      break;
    }
    case Expr::Kind::Bin:
      in.op = e.op();
      in.a = emit(e.left(), data);
      in.b = emit(e.right(), data);
      in.has_d = code_[in.a].has_d || code_[in.b].has_d;
      break;
    default:
      in.exponent = e.exponent();
      in.a = emit(e.child(), data);
      in.has_d = code_[in.a].has_d;
  }
  code_.push_back(in);
  return static_cast<uint32_t>(code_.size() - 1);
}

void DualProgram::compile(const Expr& tree, const Dataset& data) {
  code_.clear();
  n_params_ = 0;
  n_rows_ = data.n_rows();
  emit(tree, data);
  values_.assign(code_.size() * kBlock, 0.0);
  derivs_.assign(code_.size() * std::max<size_t>(n_params_, 1) * kBlock, 0.0);
}

void DualProgram::run(const double* theta, double* values, double* jac) const {
  const size_t np = n_params_;
  const size_t n = n_rows_;
  for (size_t start = 0; start < n; start += kBlock) {
    const size_t m = std::min(kBlock, n - start);
    for (size_t i = 0; i < code_.size(); ++i) {
      const Instr& in = code_[i];
      const bool want_d = jac != nullptr && in.has_d;
      double* v = &values_[i * kBlock];
      double* d = &derivs_[i * np * kBlock];
      const double* va = &values_[in.a * kBlock];
      const double* vb = &values_[in.b * kBlock];
      const double* da = &derivs_[in.a * np * kBlock];
      const double* db = &derivs_[in.b * np * kBlock];
      const bool ha = code_[in.a].has_d;
      const bool hb = code_[in.b].has_d;
      switch (in.kind) {
        case Expr::Kind::Const:
          std::fill(v, v + m, theta[in.param]);
          if (!want_d) break;
          std::fill(d, d + np * kBlock, 0.0);
          std::fill(d + in.param * kBlock, d + in.param * kBlock + m, 1.0);
          break;
        case Expr::Kind::Feature:
          if (in.col)
            std::copy(in.col + start, in.col + start + m, v);
          else
            std::fill(v, v + m, 0.0);
          break;
        case Expr::Kind::Bin:
          switch (in.op) {
            case Op::Add:
            case Op::Sub: {
              const double s = in.op == Op::Add ? 1.0 : -1.0;
              for (size_t r = 0; r < m; ++r)
                v[r] = in.op == Op::Add ? va[r] + vb[r] : va[r] - vb[r];
              if (!want_d) break;
              for (size_t p = 0; p < np; ++p)
                for (size_t r = 0; r < m; ++r)
                  d[p * kBlock + r] =
                      (ha ? da[p * kBlock + r] : 0.0) + s * (hb ? db[p * kBlock + r] : 0.0);
              break;
            }
            case Op::Mul:
              for (size_t r = 0; r < m; ++r) v[r] = va[r] * vb[r];
              if (!want_d) break;
              for (size_t p = 0; p < np; ++p)
                for (size_t r = 0; r < m; ++r)
                  d[p * kBlock + r] = (ha ? da[p * kBlock + r] * vb[r] : 0.0) +
                                      (hb ? va[r] * db[p * kBlock + r] : 0.0);
              break;
            case Op::Div:
              for (size_t r = 0; r < m; ++r)
                v[r] = std::fabs(vb[r]) < 1e-300 ? kGuardNaN : va[r] / vb[r];
              if (!want_d) break;
              for (size_t p = 0; p < np; ++p)
                for (size_t r = 0; r < m; ++r)
                  d[p * kBlock + r] =
                      ((ha ? da[p * kBlock + r] : 0.0) - v[r] * (hb ? db[p * kBlock + r] : 0.0)) /
                      vb[r];
              break;
          }
          break;
        case Expr::Kind::Pow: {
          const double e = static_cast<double>(in.exponent);
          for (size_t r = 0; r < m; ++r) {
            const double x = va[r];
            if (x == 0.0 && in.exponent < 0)
              v[r] = kGuardNaN;
            else if (in.exponent == -1)
              v[r] = 1.0 / x;
            else if (in.exponent == -2)
              v[r] = 1.0 / (x * x);
            else if (in.exponent == -3)
              v[r] = 1.0 / (x * x * x);
            else
              v[r] = int_power(x, in.exponent);
          }
          if (!want_d) break;
          for (size_t r = 0; r < m; ++r) {
            const double g = in.exponent == 0  ? 0.0
                             : in.exponent > 0 ? e * int_power(va[r], in.exponent - 1)
                                               : e * v[r] / va[r];
            for (size_t p = 0; p < np; ++p) d[p * kBlock + r] = g * da[p * kBlock + r];
          }
          break;
        }
        case Expr::Kind::Exp:
          for (size_t r = 0; r < m; ++r) v[r] = std::exp(va[r]);
          if (!want_d) break;
          for (size_t p = 0; p < np; ++p)
            for (size_t r = 0; r < m; ++r) d[p * kBlock + r] = v[r] * da[p * kBlock + r];
          break;
        case Expr::Kind::Log:
          for (size_t r = 0; r < m; ++r) v[r] = va[r] <= 0.0 ? kGuardNaN : std::log(va[r]);
          if (!want_d) break;
          for (size_t p = 0; p < np; ++p)
            for (size_t r = 0; r < m; ++r) d[p * kBlock + r] = da[p * kBlock + r] / va[r];
          break;
        case Expr::Kind::Sqrt:
          for (size_t r = 0; r < m; ++r) v[r] = va[r] < 0.0 ? kGuardNaN : std::sqrt(va[r]);
          if (!want_d) break;
          for (size_t p = 0; p < np; ++p)
            for (size_t r = 0; r < m; ++r) d[p * kBlock + r] = da[p * kBlock + r] / (2.0 * v[r]);
          break;
      }
    }
    const size_t last = code_.size() - 1;
    std::copy(&values_[last * kBlock], &values_[last * kBlock] + m, values + start);
    if (!jac) continue;
    for (size_t p = 0; p < np; ++p) {
      if (code_[last].has_d)
        std::copy(&derivs_[(last * np + p) * kBlock], &derivs_[(last * np + p) * kBlock] + m,
                  jac + p * n + start);
      else
        std::fill(jac + p * n + start, jac + p * n + start + m, 0.0);
    }
  }
}

}  // namespace quorvex
