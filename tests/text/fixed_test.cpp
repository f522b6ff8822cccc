#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "text/numbers.h"

namespace quorvex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

TEST(FormatFixed, ExactTiesGoToEvenDigit) {
  EXPECT_EQ(format_fixed(45.25, 1), "45.2");
  EXPECT_EQ(format_fixed(45.75, 1), "45.8");
  EXPECT_EQ(format_fixed(0.125, 2), "0.12");
  EXPECT_EQ(format_fixed(0.375, 2), "0.38");
  EXPECT_EQ(format_fixed(2.5, 0), "2");
  EXPECT_EQ(format_fixed(3.5, 0), "4");
  EXPECT_EQ(format_fixed(-45.25, 1), "-45.2");
}

TEST(FormatFixed, RoundsTheExactBinaryValue) {
  // None is a tie: 1.015 and 2.675 are stored below, 0.135 and 8.345 above.
  EXPECT_EQ(format_fixed(1.015, 2), "1.01");
  EXPECT_EQ(format_fixed(2.675, 2), "2.67");
  EXPECT_EQ(format_fixed(0.135, 2), "0.14");
  EXPECT_EQ(format_fixed(8.345, 2), "8.35");
  EXPECT_EQ(format_fixed(118.734, 2), "118.73");
  EXPECT_EQ(format_fixed(-123.456, 1), "-123.5");
  EXPECT_EQ(format_fixed(0.1, 20), "0.10000000000000000555");
  EXPECT_EQ(format_fixed(0.5, 6), "0.500000");
  EXPECT_EQ(format_fixed(0.9999996, 6), "1.000000");
}

TEST(FormatFixed, IntegerPartIsWrittenInFull) {
  EXPECT_EQ(format_fixed(1e20, 2), "100000000000000000000.00");
  const std::string max = format_fixed(std::numeric_limits<double>::max(), 6);
  EXPECT_EQ(max.size(), 309u + 7u);
  EXPECT_EQ(max.substr(0, 6), "179769");
  EXPECT_EQ(max.substr(max.size() - 7), ".000000");
  EXPECT_EQ(format_fixed(-std::numeric_limits<double>::max(), 0).size(), 310u);
}

TEST(FormatFixed, EveryNegativeKeepsItsSign) {
  EXPECT_EQ(format_fixed(-0.04, 1), "-0.0");
  EXPECT_EQ(format_fixed(-0.0, 2), "-0.00");
  EXPECT_EQ(format_fixed(-0.0, 0), "-0");
  EXPECT_EQ(format_fixed(-std::numeric_limits<double>::denorm_min(), 2), "-0.00");
  EXPECT_EQ(format_fixed(0.0, 2), "0.00");
  EXPECT_EQ(format_fixed(std::numeric_limits<double>::denorm_min(), 2), "0.00");
}

TEST(FormatFixed, NonFiniteIgnoresPrecision) {
  for (int d : {0, 1, 2, 6}) {
    EXPECT_EQ(format_fixed(kNaN, d), "NaN");
    EXPECT_EQ(format_fixed(-kNaN, d), "NaN");
    EXPECT_EQ(format_fixed(kInf, d), "inf");
    EXPECT_EQ(format_fixed(-kInf, d), "-inf");
  }
}

TEST(FormatSignedFixed, SignOnEverythingButNaN) {
  EXPECT_EQ(format_signed_fixed(5.5, 2), "+5.50");
  EXPECT_EQ(format_signed_fixed(-3.25, 2), "-3.25");
  EXPECT_EQ(format_signed_fixed(0.0, 2), "+0.00");
  EXPECT_EQ(format_signed_fixed(-0.0, 2), "-0.00");
  EXPECT_EQ(format_signed_fixed(-0.001, 2), "-0.00");
  EXPECT_EQ(format_signed_fixed(0.004, 2), "+0.00");
  EXPECT_EQ(format_signed_fixed(kInf, 2), "+inf");
  EXPECT_EQ(format_signed_fixed(-kInf, 2), "-inf");
  EXPECT_EQ(format_signed_fixed(kNaN, 2), "NaN");
  EXPECT_EQ(format_signed_fixed(-kNaN, 2), "NaN");
}

}  // namespace
}  // namespace quorvex
