#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "rng/lcg.h"
#include "text/numbers.h"

namespace quorvex {
namespace {

TEST(FormatSci5, ExamplesOfTheRule) {
  EXPECT_EQ(format_sci5(2.5), "2.5000e0");
  EXPECT_EQ(format_sci5(-0.031), "-3.1000e-2");
  EXPECT_EQ(format_sci5(123.456), "1.2346e2");
  EXPECT_EQ(format_sci5(1e-300), "1.0000e-300");
  EXPECT_EQ(format_sci5(1.0), "1.0000e0");
  EXPECT_EQ(format_sci5(-1234.5678), "-1.2346e3");
  EXPECT_EQ(format_sci5(-0.22927392795445214), "-2.2927e-1");
  EXPECT_EQ(format_sci5(6.97371889353926), "6.9737e0");
  EXPECT_EQ(format_sci5(10.0), "1.0000e1");
  EXPECT_EQ(format_sci5(1e100), "1.0000e100");
  EXPECT_EQ(format_sci5(1.7976931348623157e308), "1.7977e308");
  EXPECT_EQ(format_sci5(5e-324), "4.9407e-324");
}

TEST(FormatSci5, NonFiniteAndZero) {
  EXPECT_EQ(format_sci5(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(format_sci5(-std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(format_sci5(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(format_sci5(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(format_sci5(0.0), "0.0000e0");
  EXPECT_EQ(format_sci5(-0.0), "-0.0000e0");
}

TEST(FormatSci5, ExactTiesGoToEven) {
  // 1.03125 = 1 + 1/32 is exactly representable: a tie between 1.0312 and 1.0313.
  EXPECT_EQ(format_sci5(1.03125), "1.0312e0");
  EXPECT_EQ(format_sci5(-1.03125), "-1.0312e0");
  EXPECT_EQ(format_sci5(1.09375), "1.0938e0");   // exact tie, 7 is odd: up to 8
  EXPECT_EQ(format_sci5(1.21875), "1.2188e0");   // exact tie, 7 odd: up
  EXPECT_EQ(format_sci5(1.40625), "1.4062e0");   // exact tie, 2 even: stays
  EXPECT_EQ(format_sci5(12.5625), "1.2562e1");   // exact tie, 2 even: stays
  EXPECT_EQ(format_sci5(12.5675), "1.2568e1");   // stored just above the tie
  EXPECT_EQ(format_sci5(100005.0), "1.0000e5");  // exact tie, 0 even
  EXPECT_EQ(format_sci5(100015.0), "1.0002e5");  // exact tie, 1 odd: up
  EXPECT_EQ(format_sci5(999995.0), "1.0000e6");  // tie that carries into the exponent
  EXPECT_EQ(format_sci5(99999.5), "1.0000e5");   // 9 odd: up, carrying
}

TEST(FormatSci5, NotATieRoundsByTheExactBinaryValue) {
  // 2.00005 is stored as 2.000049999999999883... so it rounds down.
  EXPECT_EQ(format_sci5(2.00005), "2.0000e0");
  // 1.00015 is stored as 1.000150000000000094... so it rounds up.
  EXPECT_EQ(format_sci5(1.00015), "1.0002e0");
}

TEST(FormatSci5, AgreesWithGlibcPrintfOnRandomValues) {
  // glibc's printf is exact with ties to even in the default rounding mode.
  Lcg rng(99);
  for (int i = 0; i < 100000; ++i) {
    const double v = std::bit_cast<double>(rng.next_u64());
    if (!std::isfinite(v)) continue;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4e", v);
    std::string s(buf);
    const size_t e = s.find('e');
    const std::string mant = s.substr(0, e);
    const int ex = std::stoi(s.substr(e + 1));
    ASSERT_EQ(format_sci5(v), mant + "e" + std::to_string(ex)) << s;
  }
}

}  // namespace
}  // namespace quorvex
