#include "expr/derivatives.h"

#include <algorithm>
#include <cmath>

#include "expr/functions.h"

namespace quorvex {

namespace {

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
    default:
      return Expr::function(e.kind(), replace(e.child(), values, next));
  }
}

// sin x and cos x for about the price of one: glibc's sincos gives exactly
// the bits of its sin and cos.
void sin_cos(double x, double& s, double& c) {
#if defined(__GLIBC__)
  ::sincos(x, &s, &c);
#else
  s = std::sin(x);
  c = std::cos(x);
#endif
}

// A unary node's value v from its child's va and, with want_d, its local
// derivative g = dv/dva, row by row over m rows.
void unary_value_and_slope(Expr::Kind kind, int32_t e, const double* va, size_t m, bool want_d,
                           double* v, double* g) {
  switch (kind) {
    case Expr::Kind::Pow: {
      for (size_t r = 0; r < m; ++r) {
        const double x = va[r];
        if (x == 0.0 && e < 0)
          v[r] = kGuardNaN;
        else if (e == -1)
          v[r] = 1.0 / x;
        else if (e == -2)
          v[r] = 1.0 / (x * x);
        else if (e == -3)
          v[r] = 1.0 / (x * x * x);
        else
          v[r] = int_power(x, e);
      }
      if (!want_d) break;
      const double ed = static_cast<double>(e);
      for (size_t r = 0; r < m; ++r)
        g[r] = e == 0 ? 0.0 : e > 0 ? ed * int_power(va[r], e - 1) : ed * v[r] / va[r];
      break;
    }
    case Expr::Kind::Exp:
      for (size_t r = 0; r < m; ++r) v[r] = std::exp(va[r]);
      if (want_d) std::copy(v, v + m, g);
      break;
    case Expr::Kind::Log:
      for (size_t r = 0; r < m; ++r) v[r] = va[r] <= 0.0 ? kGuardNaN : std::log(va[r]);
      if (want_d)
        for (size_t r = 0; r < m; ++r) g[r] = 1.0 / va[r];
      break;
    case Expr::Kind::Sqrt:
      for (size_t r = 0; r < m; ++r) v[r] = va[r] < 0.0 ? kGuardNaN : std::sqrt(va[r]);
      if (want_d)
        for (size_t r = 0; r < m; ++r) g[r] = 0.5 / v[r];
      break;
    case Expr::Kind::Sin:
      if (!want_d) {
        for (size_t r = 0; r < m; ++r) v[r] = sin_guarded(va[r]);
        break;
      }
      for (size_t r = 0; r < m; ++r) {
        sin_cos(va[r], v[r], g[r]);
        if (!std::isfinite(va[r])) v[r] = kGuardNaN;
      }
      break;
    case Expr::Kind::Cos:
      if (!want_d) {
        for (size_t r = 0; r < m; ++r) v[r] = cos_guarded(va[r]);
        break;
      }
      for (size_t r = 0; r < m; ++r) {
        double s = 0.0;
        sin_cos(va[r], s, v[r]);
        g[r] = -s;
        if (!std::isfinite(va[r])) v[r] = kGuardNaN;
      }
      break;
    case Expr::Kind::Tanh:
      for (size_t r = 0; r < m; ++r) v[r] = std::tanh(va[r]);
      if (want_d)
        for (size_t r = 0; r < m; ++r) g[r] = 1.0 - v[r] * v[r];
      break;
    default:  // Abs
      for (size_t r = 0; r < m; ++r) v[r] = std::fabs(va[r]);
      if (want_d)
        for (size_t r = 0; r < m; ++r) g[r] = va[r] < 0.0 ? -1.0 : 1.0;
      break;
  }
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
  Instr in{e.kind(), Op::Add, 0, 0, 0, 0, 0, nullptr};
  in.lo = in.hi = static_cast<uint32_t>(n_params_);
  switch (e.kind()) {
    case Expr::Kind::Const:
      in.hi = static_cast<uint32_t>(++n_params_);
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
      in.hi = code_[in.b].hi;
      break;
    default:
      in.exponent = e.exponent();
      in.a = emit(e.child(), data);
      in.hi = code_[in.a].hi;
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
  grad_.assign(kBlock, 0.0);
}

// A subtree's constants are consecutive in preorder: each instruction keeps
// the derivatives of its own range [lo, hi) only, the others being zero.
void DualProgram::run(const double* theta, double* values, double* jac) const {
  const size_t np = n_params_;
  const size_t n = n_rows_;
  for (size_t start = 0; start < n; start += kBlock) {
    const size_t m = std::min(kBlock, n - start);
    for (size_t i = 0; i < code_.size(); ++i) step(i, theta, start, m, jac != nullptr);
    const size_t last = code_.size() - 1;
    std::copy(&values_[last * kBlock], &values_[last * kBlock] + m, values + start);
    if (!jac) continue;
    // The root's range holds every constant.
    for (size_t p = 0; p < np; ++p)
      std::copy(&derivs_[(last * np + p) * kBlock], &derivs_[(last * np + p) * kBlock] + m,
                jac + p * n + start);
  }
}

void DualProgram::step(size_t i, const double* theta, size_t start, size_t m, bool jac) const {
  const Instr& in = code_[i];
  const bool want_d = jac && in.lo < in.hi;
  double* v = &values_[i * kBlock];
  double* d = &derivs_[i * n_params_ * kBlock];
  switch (in.kind) {
    case Expr::Kind::Const:
      std::fill(v, v + m, theta[in.lo]);
      if (want_d) std::fill(d + in.lo * kBlock, d + in.lo * kBlock + m, 1.0);
      break;
    case Expr::Kind::Feature:
      if (in.col)
        std::copy(in.col + start, in.col + start + m, v);
      else
        std::fill(v, v + m, 0.0);
      break;
    case Expr::Kind::Bin:
      binary_step(i, m, want_d);
      break;
    default: {
      // Unary: value, then the chain rule with the local derivative g.
      double* g = grad_.data();
      unary_value_and_slope(in.kind, in.exponent, &values_[in.a * kBlock], m, want_d, v, g);
      if (!want_d) break;
      const Instr& ia = code_[in.a];
      const double* da = &derivs_[in.a * n_params_ * kBlock];
      for (size_t p = ia.lo; p < ia.hi; ++p)
        for (size_t r = 0; r < m; ++r) d[p * kBlock + r] = g[r] * da[p * kBlock + r];
    }
  }
}

void DualProgram::binary_step(size_t i, size_t m, bool want_d) const {
  const Instr& in = code_[i];
  const size_t np = n_params_;
  double* v = &values_[i * kBlock];
  double* d = &derivs_[i * np * kBlock];
  const double* va = &values_[in.a * kBlock];
  const double* vb = &values_[in.b * kBlock];
  const double* da = &derivs_[in.a * np * kBlock];
  const double* db = &derivs_[in.b * np * kBlock];
  const Instr& ia = code_[in.a];
  const Instr& ib = code_[in.b];
  switch (in.op) {
    case Op::Add:
      for (size_t r = 0; r < m; ++r) v[r] = va[r] + vb[r];
      if (!want_d) break;
      for (size_t p = ia.lo; p < ia.hi; ++p)
        for (size_t r = 0; r < m; ++r) d[p * kBlock + r] = da[p * kBlock + r];
      for (size_t p = ib.lo; p < ib.hi; ++p)
        for (size_t r = 0; r < m; ++r) d[p * kBlock + r] = db[p * kBlock + r];
      break;
    case Op::Sub:
      for (size_t r = 0; r < m; ++r) v[r] = va[r] - vb[r];
      if (!want_d) break;
      for (size_t p = ia.lo; p < ia.hi; ++p)
        for (size_t r = 0; r < m; ++r) d[p * kBlock + r] = da[p * kBlock + r];
      for (size_t p = ib.lo; p < ib.hi; ++p)
        for (size_t r = 0; r < m; ++r) d[p * kBlock + r] = -db[p * kBlock + r];
      break;
    case Op::Mul:
      for (size_t r = 0; r < m; ++r) v[r] = va[r] * vb[r];
      if (!want_d) break;
      for (size_t p = ia.lo; p < ia.hi; ++p)
        for (size_t r = 0; r < m; ++r) d[p * kBlock + r] = da[p * kBlock + r] * vb[r];
      for (size_t p = ib.lo; p < ib.hi; ++p)
        for (size_t r = 0; r < m; ++r) d[p * kBlock + r] = va[r] * db[p * kBlock + r];
      break;
    case Op::Div:
      for (size_t r = 0; r < m; ++r) v[r] = std::fabs(vb[r]) < 1e-300 ? kGuardNaN : va[r] / vb[r];
      if (!want_d) break;
      for (size_t p = ia.lo; p < ia.hi; ++p)
        for (size_t r = 0; r < m; ++r) d[p * kBlock + r] = da[p * kBlock + r] / vb[r];
      for (size_t p = ib.lo; p < ib.hi; ++p)
        for (size_t r = 0; r < m; ++r) d[p * kBlock + r] = -v[r] * db[p * kBlock + r] / vb[r];
      break;
  }
}

}  // namespace quorvex
