#pragma once

// Cheap stand-ins for pow with the exponents 2, -1 and -2 that give pow's
// own bits, and a test that says when they may be used.
//
// pow(x, 2) and x * x (and pow(x, -1) and 1 / x) were found to differ only
// where the exact result lies within 0.0072 of a unit in the last place of a
// rounding midpoint: there, pow's last bit goes either way. The product and
// the quotient are correctly rounded, so where the exact result stays at
// least 0.05 of a unit from every midpoint both round to the same double.
// (glibc bounds pow's error by 0.54 units: at most 0.04 before its final
// rounding.)
// The exact residual comes from one fma. It is itself exact only while no
// partial product underflows, hence the floor of 2^-960 on the result.
// tests/expr/int_pow_test.cpp runs the rule against pow on millions of
// adversarial inputs.

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quorvex {

// Only glibc's pow was checked against the rule. mingw's (x87), musl's and
// Apple's are different functions: there every power calls pow.
#ifdef __GLIBC__
#define QUORVEX_INT_POW_SHORTCUTS 1
#else
#define QUORVEX_INT_POW_SHORTCUTS 0
#endif
inline constexpr bool kIntPowShortcuts = QUORVEX_INT_POW_SHORTCUTS != 0;

// The platform's pow, with an exponent the compiler cannot see: GCC turns
// pow(x, 2.0) into x * x and pow(x, -1.0) into 1 / x, which differ from the
// library's results next to rounding midpoints.
inline double platform_pow(double x, double e) noexcept {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  __asm__("" : "+x"(e));
#elif defined(__GNUC__)
  __asm__("" : "+m"(e));
#endif
  return std::pow(x, e);
}

inline constexpr double kIntPowMinResult = 0x1p-960;
// Largest residual accepted, in gaps between the result and the double below
// it (one unit in the last place, half of one at a power of two).
inline constexpr double kIntPowMaxResidual = 0.45;

// v positive, normal and finite.
inline double gap_below(double v) noexcept {
  return v - std::bit_cast<double>(std::bit_cast<uint64_t>(v) - 1);
}

// Stores pow(x, 2) in out and returns true when x * x is known to equal it.
inline bool try_square(double x, double& out) noexcept {
  const double p = x * x;
  if (!(p >= kIntPowMinResult && p < std::numeric_limits<double>::infinity())) return false;
  const double r = std::fma(x, x, -p);
  if (!(std::fabs(r) <= kIntPowMaxResidual * gap_below(p))) return false;
  out = p;
  return true;
}

// Stores pow(x, -1) in out and returns true when 1 / x is known to equal it.
// The exact residual 1 - x*q, divided by |x|, is the quotient's error; the
// comparison is scaled by |x| instead, which cannot underflow.
inline bool try_reciprocal(double x, double& out) noexcept {
  const double q = 1.0 / x;
  const double aq = std::fabs(q);
  if (!(aq >= kIntPowMinResult && aq < std::numeric_limits<double>::infinity())) return false;
  const double e = std::fma(-x, q, 1.0);
  if (!(std::fabs(e) <= kIntPowMaxResidual * (std::fabs(x) * gap_below(aq)))) return false;
  out = q;
  return true;
}

// Stores pow(x, -2) in out and returns true when the candidate below is
// known to equal it. 1 / (x * x) rounds twice, so the candidate is built
// from x^2 = p + r (exact, by fma) and one Newton step on 1 / p. Its
// residual 1 - c x^2 is then computed to about 2^-104, and c is taken when
// the exact value lies within 0.45 gaps of it, as above.
inline bool try_inverse_square(double x, double& out) noexcept {
  const double p = x * x;
  if (!(p >= kIntPowMinResult && p <= 1.0 / kIntPowMinResult)) return false;
  const double r = std::fma(x, x, -p);
  const double q = 1.0 / p;
  const double c = std::fma(q, std::fma(-q, p, 1.0) - q * r, q);
  const double residual = std::fma(-c, p, 1.0) - c * r;  // 1 - c x^2
  if (!(std::fabs(residual) * c <= kIntPowMaxResidual * gap_below(c))) return false;
  out = c;
  return true;
}

// pow(x, 1) is x for every x but a NaN, whose sign pow may change.
inline bool try_identity(double x, double& out) noexcept {
  if (x != x) return false;
  out = x;
  return true;
}

}  // namespace quorvex
