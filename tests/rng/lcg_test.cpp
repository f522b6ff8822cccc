#include "rng/lcg.h"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

TEST(Lcg, StreamFromSeedZero) {
  Lcg rng(0);
  EXPECT_EQ(rng.state(), 0x9E3779B97F4A7C15ULL);
  EXPECT_EQ(rng.next_u64(), 0x2CEAEE21BF46BC00ULL);
  EXPECT_EQ(rng.next_u64(), 0xAA80754D1A1A8D4FULL);
  EXPECT_EQ(rng.next_u64(), 0xB3C4904A6D278932ULL);
}

TEST(Lcg, UnitDoubles) {
  Lcg rng(0);
  EXPECT_EQ(rng.next_f64(), 0.17545975040345752);
  EXPECT_EQ(rng.next_f64(), 0.6660226166951394);
  EXPECT_EQ(rng.next_f64(), 0.7022180730538407);
}

TEST(Lcg, BelowIsPlainModulo) {
  Lcg rng(0);
  const size_t expected[] = {4, 8, 9, 3, 6, 7, 2, 0};
  for (size_t e : expected) EXPECT_EQ(rng.below(10), e);
}

TEST(Lcg, SeedThatWrapsToStateZero) {
  Lcg rng(7046029254386353131ULL);
  EXPECT_EQ(rng.state(), 0u);
  EXPECT_EQ(rng.next_u64(), 1442695040888963407ULL);
}

TEST(Lcg, BelowOneStillAdvances) {
  Lcg a(5), b(5);
  EXPECT_EQ(a.below(1), 0u);
  b.next_u64();
  EXPECT_EQ(a.state(), b.state());
}

TEST(Lcg, BelowAbove31BitsIsTheRawValue) {
  Lcg a(9), b(9);
  const size_t big = size_t{1} << 40;
  EXPECT_EQ(a.below(big), b.next_u64() >> 33);
}

}  // namespace
}  // namespace quorvex
