// The integer-power shortcuts against the platform's pow, bit for bit, on
// millions of inputs built to be hard: squares, reciprocals and inverse
// squares that lie on,
// or within a hair of, a rounding midpoint, and the same at the edges of the
// rule's range (2^-960, overflow, subnormals), with both signs. Checked both
// through the scalar rule and through the compiled evaluator on every path.
#include "expr/int_pow.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "dataset/dataset.h"
#include "expr/compiled.h"
#include "rng/lcg.h"

namespace quorvex {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kScale = 1;
#else
constexpr size_t kScale = 12;
#endif
constexpr size_t kPerFamily = 64000 * kScale;  // a few million inputs per exponent

// glibc's pow differs from the plain product, quotient or x near midpoints and
// on NaNs, which is what the rule guards against. mingw's pow returns them
// as they are for these exponents (but for NaN payloads), so the coverage of
// those differences is checked on glibc only.
#ifdef __GLIBC__
constexpr bool kGlibcPow = true;
#else
constexpr bool kGlibcPow = false;
#endif

__extension__ typedef unsigned __int128 U128;

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

uint64_t isqrt(U128 t) {
  uint64_t r = static_cast<uint64_t>(std::sqrt(static_cast<double>(t)));
  while (static_cast<U128>(r) * r > t) --r;
  while (static_cast<U128>(r + 1) * (r + 1) <= t) ++r;
  return r;
}

// A power of two 2^s, s in [lo, hi], times a random sign.
double scale(Lcg& rng, int lo, int hi) {
  const int s = lo + static_cast<int>(rng.below(static_cast<size_t>(hi - lo + 1)));
  const double m = std::ldexp(1.0, s);
  return rng.next_f64() < 0.5 ? -m : m;
}

// Exponent ranges: mostly well inside the rule's range, some across its
// lower edge, some near overflow.
double wide_scale(Lcg& rng, int floor_edge) {
  const double u = rng.next_f64();
  if (u < 0.7) return scale(rng, -200, 200);
  if (u < 0.85) return scale(rng, floor_edge - 8, floor_edge + 8);
  return scale(rng, 500, 1023);
}

// x = (2^52 + k) 2^-52 has x^2 = 1 + 2k 2^-52 + k^2 2^-104: its distance
// from the grid of doubles, in units in the last place, is the fraction of
// k^2 / 2^52. k is chosen to put that fraction at a target f near the
// rule's limit or near the midpoint 0.5.
std::vector<double> square_inputs(Lcg& rng) {
  std::vector<double> out;
  const U128 two52 = U128{1} << 52;
  for (size_t i = 0; i < kPerFamily; ++i) {
    const double f = 0.35 + 0.3 * rng.next_f64();
    const U128 j = rng.next_u64() % ((two52 * 17) / 100);
    const uint64_t k = isqrt(j * two52 + static_cast<U128>(f * 0x1p52));
    for (uint64_t kk : {k, k + 1}) {
      const double x = static_cast<double>((uint64_t{1} << 52) + kk) * 0x1p-52;
      out.push_back(x * wide_scale(rng, -480));
    }
  }
  // Exact midpoints: an odd 27-bit integer squared has exactly 54 bits.
  for (size_t i = 0; i < kPerFamily; ++i) {
    const uint64_t odd = (uint64_t{1} << 26) | (rng.next_u64() & ((uint64_t{1} << 26) - 1)) | 1;
    out.push_back(static_cast<double>(odd) * scale(rng, -500, 480));
  }
  return out;
}

// X = 2^53 - k gives 2^105 / X = 2^52 + k/2 + k^2/2^54 + ...: for odd k
// the reciprocal sits half a unit off the grid plus k^2/2^54, for even k
// just k^2/2^54. Small k puts 1/X right next to a midpoint; k near
// sqrt((j + f) 2^54) puts it at the distance f. X = 2^52 + k likewise.
std::vector<double> reciprocal_inputs(Lcg& rng) {
  std::vector<double> out;
  for (size_t i = 0; i < kPerFamily; ++i) {
    const double f = rng.next_f64();
    const U128 j = rng.next_u64() % 64;
    const uint64_t k = isqrt((j << 54) + static_cast<U128>(f * 0x1p54));
    for (uint64_t kk : {k, k + 1}) {
      if (kk == 0) continue;
      out.push_back(static_cast<double>((uint64_t{1} << 53) - kk) * wide_scale(rng, 960 - 53));
      out.push_back(static_cast<double>((uint64_t{1} << 52) + kk) * wide_scale(rng, 960 - 52));
    }
    const uint64_t small = 1 + rng.below(1u << 20);
    out.push_back(static_cast<double>((uint64_t{1} << 53) - small) * scale(rng, -1100, 900));
  }
  return out;
}

// x = (2^52 + k) 2^-52 has 2^53 / x^2 = 2^53 - 4k + 3k^2/2^51 - ..., and
// x = (2^53 - k) 2^-53 has 2^52 / x^2 = 2^52 + k + 3k^2/2^54 + ...: k near
// sqrt((j + f) 2^51 / 3), or 2^54 / 3, puts 1 / x^2 at the distance f from
// the grid, f near the rule's limit or near a midpoint. Scaled into the
// middle of the rule's range and across both of its edges.
std::vector<double> inverse_square_inputs(Lcg& rng) {
  std::vector<double> out;
  auto scaled = [&](double x) {
    const double u = rng.next_f64();
    if (u < 0.7) return x * scale(rng, -200, 200);
    if (u < 0.85) return x * scale(rng, -490, -470);
    return x * scale(rng, 470, 490);
  };
  for (size_t i = 0; i < kPerFamily; ++i) {
    const double f = 0.35 + 0.3 * rng.next_f64();
    const U128 j = rng.next_u64() % 64;
    const uint64_t k1 = isqrt(((j << 51) + static_cast<U128>(f * 0x1p51)) / 3);
    const uint64_t k2 = isqrt(((j << 54) + static_cast<U128>(f * 0x1p54)) / 3);
    for (uint64_t d : {0, 1}) {
      out.push_back(scaled(static_cast<double>((uint64_t{1} << 52) + k1 + d) * 0x1p-52));
      out.push_back(scaled(static_cast<double>((uint64_t{1} << 53) - k2 - d) * 0x1p-53));
    }
  }
  return out;
}

// Random bit patterns: every exponent, subnormals, infinities, NaNs.
std::vector<double> random_bit_patterns(Lcg& rng) {
  std::vector<double> out;
  for (size_t i = 0; i < kPerFamily; ++i) out.push_back(std::bit_cast<double>(rng.next_u64()));
  for (double v : {0.0, -0.0, 5e-324, -5e-324, 0x1p-1022, 0x1p-960, 0x1p-480, 0x1p512, 0x1p1023,
                   std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity(), std::nan(""), -std::nan("")})
    out.push_back(v);
  return out;
}

struct Coverage {
  size_t shortcut = 0;       // inputs the rule accepted
  size_t near_limit = 0;     // accepted with a residual in [0.40, 0.45] units
  size_t near_midpoint = 0;  // residual within 0.01 of a midpoint
  size_t naive_wrong = 0;    // where the plain product or quotient is not pow's result
};

// Residual of the exact result from the double r, in gaps below r.
double square_residual(double x, double p) { return std::fabs(std::fma(x, x, -p)) / gap_below(p); }
double reciprocal_residual(double x, double q) {
  return std::fabs(std::fma(-x, q, 1.0)) / (std::fabs(x) * gap_below(std::fabs(q)));
}

// Distance of the exact result from the rule's candidate, in gaps; NaN
// where the rule's range excludes x.
double residual_units(double x, int32_t e) {
  if (e == -2) {  // the candidate of try_inverse_square
    const double p = x * x;
    if (!(p >= kIntPowMinResult && p <= 1.0 / kIntPowMinResult)) return NAN;
    const double r = std::fma(x, x, -p);
    const double q = 1.0 / p;
    const double c = std::fma(q, std::fma(-q, p, 1.0) - q * r, q);
    return std::fabs(std::fma(-c, p, 1.0) - c * r) * c / gap_below(c);
  }
  const double c = e == 2 ? x * x : 1.0 / x;
  if (!(std::isfinite(c) && std::fabs(c) >= kIntPowMinResult)) return NAN;
  return e == 2 ? square_residual(x, c) : reciprocal_residual(x, c);
}

bool try_rule(double x, int32_t e, double& got) {
  switch (e) {
    case 1:
      return try_identity(x, got);
    case 2:
      return try_square(x, got);
    case -1:
      return try_reciprocal(x, got);
    default:
      return try_inverse_square(x, got);
  }
}

void check_rule(const std::vector<double>& xs, int32_t e, Coverage& cov) {
  for (double x : xs) {
    if (e < 0 && x == 0.0) continue;  // the evaluator's guard decides there
    const double want = platform_pow(x, e);
    const double naive = e == 1 ? x : e == 2 ? x * x : e == -1 ? 1.0 / x : 1.0 / (x * x);
    cov.naive_wrong += bits(naive) != bits(want);
    const double units = e == 1 ? NAN : residual_units(x, e);
    double got;
    if (!try_rule(x, e, got)) {
      cov.near_midpoint += std::fabs(units - 0.5) <= 0.01;
      continue;
    }
    ++cov.shortcut;
    ASSERT_EQ(bits(got), bits(want)) << "pow(" << x << ", " << e << ")";
    cov.near_limit += units >= 0.40;
  }
}

// The same inputs through the compiled evaluator: the vector kernels, their
// tails and the guard.
void check_evaluator(const std::vector<double>& xs, int32_t e) {
  Dataset ds("t");
  ds.add_feature("x");
  ds.reserve_rows(xs.size());
  for (double x : xs) ds.push_row(&x, 0.0);
  const Expr tree = Expr::pow(Expr::feature("x"), e);
  std::vector<double> got(xs.size());
  CompiledExpr program;
  program.compile(tree, ds);
  for (EvalPath path : {EvalPath::Portable, EvalPath::Avx2}) {
    if (!set_eval_path(path)) continue;
    evaluate_rows(program, xs.size(), got.data());
    for (size_t i = 0; i < xs.size(); ++i) {
      const double want = tree.evaluate(ds.row(i));
      ASSERT_EQ(bits(got[i]), bits(want))
          << "path " << static_cast<int>(path) << " pow(" << xs[i] << ", " << e << ")";
    }
  }
  set_eval_path(eval_path_available(EvalPath::Avx2) ? EvalPath::Avx2 : EvalPath::Portable);
}

TEST(IntPow, SquareMatchesPowOnAdversarialInputs) {
  Lcg rng(1);
  std::vector<double> xs = square_inputs(rng);
  const std::vector<double> noise = random_bit_patterns(rng);
  xs.insert(xs.end(), noise.begin(), noise.end());
  Coverage cov;
  check_rule(xs, 2, cov);
  // The inputs must reach the rule's limit and the midpoints, where the
  // plain product is not pow's result.
  EXPECT_GT(cov.shortcut, xs.size() / 2);
  EXPECT_GT(cov.near_limit, 1000 * kScale);
  EXPECT_GT(cov.near_midpoint, 1000 * kScale);
  if (kGlibcPow) {
    EXPECT_GT(cov.naive_wrong, 50 * kScale);
  }
  check_evaluator(xs, 2);
}

TEST(IntPow, ReciprocalMatchesPowOnAdversarialInputs) {
  Lcg rng(2);
  std::vector<double> xs = reciprocal_inputs(rng);
  const std::vector<double> noise = random_bit_patterns(rng);
  xs.insert(xs.end(), noise.begin(), noise.end());
  Coverage cov;
  check_rule(xs, -1, cov);
  EXPECT_GT(cov.shortcut, xs.size() / 2);
  EXPECT_GT(cov.near_limit, 1000 * kScale);
  EXPECT_GT(cov.near_midpoint, 1000 * kScale);
  if (kGlibcPow) {
    EXPECT_GT(cov.naive_wrong, 50 * kScale);
  }
  check_evaluator(xs, -1);
}

TEST(IntPow, InverseSquareMatchesPowOnAdversarialInputs) {
  Lcg rng(4);
  std::vector<double> xs = inverse_square_inputs(rng);
  const std::vector<double> noise = random_bit_patterns(rng);
  xs.insert(xs.end(), noise.begin(), noise.end());
  // Checked against glibc's pow only: Windows keeps calling pow for -2.
  if (kIntPowShortcuts) {
    Coverage cov;
    check_rule(xs, -2, cov);
    EXPECT_GT(cov.shortcut, xs.size() / 2);
    EXPECT_GT(cov.near_limit, 1000 * kScale);
    EXPECT_GT(cov.near_midpoint, 1000 * kScale);
    // 1 / (x * x) rounds twice: it is wrong far more often than near midpoints.
    EXPECT_GT(cov.naive_wrong, xs.size() / 10);
  }
  check_evaluator(xs, -2);
}

TEST(IntPow, IdentityMatchesPowExceptForNaNs) {
  Lcg rng(3);
  std::vector<double> xs = random_bit_patterns(rng);
  const std::vector<double> more = square_inputs(rng);
  xs.insert(xs.end(), more.begin(), more.begin() + static_cast<std::ptrdiff_t>(more.size() / 4));
  Coverage cov;
  check_rule(xs, 1, cov);
  EXPECT_GT(cov.shortcut, xs.size() * 9 / 10);
  // pow(x, 1) flips the sign of a negative NaN: NaNs must go to pow.
  if (kGlibcPow) {
    EXPECT_NE(bits(platform_pow(-std::nan(""), 1.0)), bits(-std::nan("")));
  }
  check_evaluator(xs, 1);
}

}  // namespace
}  // namespace quorvex
