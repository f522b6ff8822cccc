// The AVX2 + FMA kernels of the compiled evaluator, chosen at run time when
// the CPU has both. Only this file is built for that target (by a pragma,
// after every header it shares with the rest of the library), so the
// library itself still runs on any x86-64. Built by GCC and by clang (so that
// the fuzzing build reaches these kernels too). Not on Windows: mingw cannot
// keep the stack aligned for spilled 32-byte registers. Only where the
// integer-power shortcuts hold, since these kernels take them throughout.
#include "expr/compiled.h"
#include "expr/compiled_kernels.h"
#include "expr/int_pow.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32) && QUORVEX_INT_POW_SHORTCUTS
#define QUORVEX_EVAL_AVX2 1
#endif

#ifdef QUORVEX_EVAL_AVX2

#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#ifdef __clang__
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

#include "expr/compiled_interpreter.h"

namespace quorvex {
namespace eval_detail {
namespace {

inline __m256d abs4(__m256d v) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v); }

// The gap below each lane's positive normal value (see gap_below).
inline __m256d gap_below4(__m256d v) {
  const __m256i prev = _mm256_sub_epi64(_mm256_castpd_si256(v), _mm256_set1_epi64x(1));
  return _mm256_sub_pd(v, _mm256_castsi256_pd(prev));
}

// Lanes where lo <= v < +inf (false for NaN).
inline __m256d in_range4(__m256d v, double lo) {
  return _mm256_and_pd(_mm256_cmp_pd(v, _mm256_set1_pd(lo), _CMP_GE_OQ),
                       _mm256_cmp_pd(v, _mm256_set1_pd(INFINITY), _CMP_LT_OQ));
}

struct AddOp {
  static __m256d v(__m256d a, __m256d b) { return _mm256_add_pd(a, b); }
  static double s(double a, double b) { return a + b; }
};
struct SubOp {
  static __m256d v(__m256d a, __m256d b) { return _mm256_sub_pd(a, b); }
  static double s(double a, double b) { return a - b; }
};
struct MulOp {
  static __m256d v(__m256d a, __m256d b) { return _mm256_mul_pd(a, b); }
  static double s(double a, double b) { return a * b; }
};
struct DivOp {
  static __m256d v(__m256d a, __m256d b) {
    const __m256d tiny = _mm256_cmp_pd(abs4(b), _mm256_set1_pd(1e-300), _CMP_LT_OQ);
    return _mm256_blendv_pd(_mm256_div_pd(a, b), _mm256_set1_pd(kGuardNaN), tiny);
  }
  static double s(double a, double b) { return div_guarded(a, b); }
};

// Columns are read unaligned; slots (every output) are 64-byte aligned and
// blocks start at multiples of 4 rows.
template <class Op>
void vv(double* o, const double* a, const double* b, size_t n) {
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    _mm256_store_pd(o + i, Op::v(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i)));
  for (; i < n; ++i) o[i] = Op::s(a[i], b[i]);
}
template <class Op>
void vc(double* o, const double* a, double k, size_t n) {
  const __m256d kv = _mm256_set1_pd(k);
  size_t i = 0;
  for (; i + 4 <= n; i += 4) _mm256_store_pd(o + i, Op::v(_mm256_loadu_pd(a + i), kv));
  for (; i < n; ++i) o[i] = Op::s(a[i], k);
}
template <class Op>
void cv(double* o, double k, const double* b, size_t n) {
  const __m256d kv = _mm256_set1_pd(k);
  size_t i = 0;
  for (; i + 4 <= n; i += 4) _mm256_store_pd(o + i, Op::v(kv, _mm256_loadu_pd(b + i)));
  for (; i < n; ++i) o[i] = Op::s(k, b[i]);
}

// A shortcut for four lanes: `fast` holds the candidate results, `ok` the
// lanes where they are proven equal to pow; the others call pow.
inline void store_or_pow(double* o, __m256d x, __m256d fast, __m256d ok, int32_t e) {
  _mm256_store_pd(o, fast);
  int miss = ~_mm256_movemask_pd(ok) & 0xF;
  if (miss == 0) return;
  alignas(32) double xs[4];
  _mm256_store_pd(xs, x);
  do {
    const int j = std::countr_zero(static_cast<unsigned>(miss));
    o[j] = pow_guarded(xs[j], e);
    miss &= miss - 1;
  } while (miss != 0);
}

struct Avx2 {
  static void add_vv(double* o, const double* a, const double* b, size_t n) {
    vv<AddOp>(o, a, b, n);
  }
  static void add_vc(double* o, const double* a, double k, size_t n) { vc<AddOp>(o, a, k, n); }
  static void add_cv(double* o, double k, const double* b, size_t n) { cv<AddOp>(o, k, b, n); }
  static void sub_vv(double* o, const double* a, const double* b, size_t n) {
    vv<SubOp>(o, a, b, n);
  }
  static void sub_vc(double* o, const double* a, double k, size_t n) { vc<SubOp>(o, a, k, n); }
  static void sub_cv(double* o, double k, const double* b, size_t n) { cv<SubOp>(o, k, b, n); }
  static void mul_vv(double* o, const double* a, const double* b, size_t n) {
    vv<MulOp>(o, a, b, n);
  }
  static void mul_vc(double* o, const double* a, double k, size_t n) { vc<MulOp>(o, a, k, n); }
  static void mul_cv(double* o, double k, const double* b, size_t n) { cv<MulOp>(o, k, b, n); }
  static void div_vv(double* o, const double* a, const double* b, size_t n) {
    vv<DivOp>(o, a, b, n);
  }
  static void div_vc(double* o, const double* a, double k, size_t n) { vc<DivOp>(o, a, k, n); }
  static void div_cv(double* o, double k, const double* b, size_t n) { cv<DivOp>(o, k, b, n); }

  static void sqrt(double* o, const double* a, size_t n) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const __m256d x = _mm256_loadu_pd(a + i);
      const __m256d neg = _mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_LT_OQ);
      // Negative lanes take the square root of 0, not of x: clang treats every
      // NaN as the same and would otherwise keep sqrt's own NaN for them.
      const __m256d root = _mm256_sqrt_pd(_mm256_andnot_pd(neg, x));
      _mm256_store_pd(o + i, _mm256_blendv_pd(root, _mm256_set1_pd(kGuardNaN), neg));
    }
    for (; i < n; ++i) o[i] = sqrt_guarded(a[i]);
  }

  static void pow_one(double* o, const double* a, size_t n) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const __m256d x = _mm256_loadu_pd(a + i);
      store_or_pow(o + i, x, x, _mm256_cmp_pd(x, x, _CMP_ORD_Q), 1);
    }
    for (; i < n; ++i) {
      double v;
      o[i] = try_identity(a[i], v) ? v : platform_pow(a[i], 1.0);
    }
  }

  static void pow_two(double* o, const double* a, size_t n) {
    const __m256d limit = _mm256_set1_pd(kIntPowMaxResidual);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const __m256d x = _mm256_loadu_pd(a + i);
      const __m256d p = _mm256_mul_pd(x, x);
      const __m256d r = _mm256_fmsub_pd(x, x, p);  // exact: x*x - p
      const __m256d close = _mm256_cmp_pd(abs4(r), _mm256_mul_pd(limit, gap_below4(p)), _CMP_LE_OQ);
      store_or_pow(o + i, x, p, _mm256_and_pd(in_range4(p, kIntPowMinResult), close), 2);
    }
    for (; i < n; ++i) {
      double v;
      o[i] = try_square(a[i], v) ? v : platform_pow(a[i], 2.0);
    }
  }

  static void pow_minus_one(double* o, const double* a, size_t n) {
    const __m256d limit = _mm256_set1_pd(kIntPowMaxResidual);
    const __m256d one = _mm256_set1_pd(1.0);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const __m256d x = _mm256_loadu_pd(a + i);
      const __m256d q = _mm256_div_pd(one, x);
      const __m256d aq = abs4(q);
      const __m256d e = _mm256_fnmadd_pd(x, q, one);  // exact: 1 - x*q
      const __m256d close = _mm256_cmp_pd(
          abs4(e), _mm256_mul_pd(limit, _mm256_mul_pd(abs4(x), gap_below4(aq))), _CMP_LE_OQ);
      // Zero bases fail the range test (1/0 is infinite) and take the guard.
      store_or_pow(o + i, x, q, _mm256_and_pd(in_range4(aq, kIntPowMinResult), close), -1);
    }
    for (; i < n; ++i) {
      double v;
      o[i] = try_reciprocal(a[i], v) ? v : pow_guarded(a[i], -1);
    }
  }

  // try_inverse_square, four lanes at a time.
  static void pow_minus_two(double* o, const double* a, size_t n) {
    const __m256d limit = _mm256_set1_pd(kIntPowMaxResidual);
    const __m256d one = _mm256_set1_pd(1.0);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const __m256d x = _mm256_loadu_pd(a + i);
      const __m256d p = _mm256_mul_pd(x, x);
      const __m256d in_range =
          _mm256_and_pd(_mm256_cmp_pd(p, _mm256_set1_pd(kIntPowMinResult), _CMP_GE_OQ),
                        _mm256_cmp_pd(p, _mm256_set1_pd(1.0 / kIntPowMinResult), _CMP_LE_OQ));
      const __m256d r = _mm256_fmsub_pd(x, x, p);
      const __m256d q = _mm256_div_pd(one, p);
      const __m256d r0 = _mm256_sub_pd(_mm256_fnmadd_pd(q, p, one), _mm256_mul_pd(q, r));
      const __m256d c = _mm256_fmadd_pd(q, r0, q);
      const __m256d residual = _mm256_sub_pd(_mm256_fnmadd_pd(c, p, one), _mm256_mul_pd(c, r));
      const __m256d close = _mm256_cmp_pd(_mm256_mul_pd(abs4(residual), c),
                                          _mm256_mul_pd(limit, gap_below4(c)), _CMP_LE_OQ);
      store_or_pow(o + i, x, c, _mm256_and_pd(in_range, close), -2);
    }
    for (; i < n; ++i) {
      double v;
      o[i] = try_inverse_square(a[i], v) ? v : pow_guarded(a[i], -2);
    }
  }
};

size_t avx2_finite_squared_errors(const double* y, const double* t, size_t count, double* sq) {
  const __m256d inf = _mm256_set1_pd(INFINITY);
  size_t m = 0;
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m256d yv = _mm256_loadu_pd(y + i);  // a slot or a column
    const __m256d finite = _mm256_cmp_pd(abs4(yv), inf, _CMP_LT_OQ);
    const __m256d d = _mm256_sub_pd(_mm256_loadu_pd(t + i), yv);
    _mm256_store_pd(sq + i, _mm256_and_pd(_mm256_mul_pd(d, d), finite));
    m += static_cast<size_t>(std::popcount(static_cast<unsigned>(_mm256_movemask_pd(finite))));
  }
  for (; i < count; ++i) {
    const double d = t[i] - y[i];
    const bool finite = std::isfinite(y[i]);
    sq[i] = finite ? d * d : 0.0;
    m += finite;
  }
  return m;
}

constexpr Kernels kAvx2 = {&interpret<Avx2>, &avx2_finite_squared_errors};

}  // namespace
}  // namespace eval_detail
}  // namespace quorvex

#ifdef __clang__
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace quorvex::eval_detail {
// Outside the AVX2 region: this runs on every CPU.
const Kernels* avx2_kernels() noexcept {
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return supported ? &kAvx2 : nullptr;
}
}  // namespace quorvex::eval_detail

#else

namespace quorvex::eval_detail {
const Kernels* avx2_kernels() noexcept { return nullptr; }
}  // namespace quorvex::eval_detail

#endif
