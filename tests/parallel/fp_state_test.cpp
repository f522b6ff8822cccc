// The fixed floating-point state of evaluation on Windows: mingw's exp, log
// and pow follow the x87 precision setting, which a host thread may have
// changed (53-bit precision is the default of threads made by CreateThread).
#include "parallel/fp_state.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "parallel/pool.h"

namespace quorvex {
namespace {

#if defined(_WIN32) && defined(__x86_64__)

uint16_t x87_control_word() {
  uint16_t cw;
  __asm__ volatile("fnstcw %0" : "=m"(cw));
  return cw;
}
void set_x87_control_word(uint16_t cw) { __asm__ volatile("fldcw %0" : : "m"(cw)); }
uint32_t mxcsr() {
  uint32_t csr;
  __asm__ volatile("stmxcsr %0" : "=m"(csr));
  return csr;
}
void set_mxcsr(uint32_t csr) { __asm__ volatile("ldmxcsr %0" : : "m"(csr)); }

constexpr uint16_t kHostCw = 0x27F;     // 53-bit precision
constexpr uint32_t kHostCsr = 0x7F80;   // round toward zero
constexpr uint16_t kFixedCw = 0x37F;    // 64-bit precision, all masked
constexpr uint32_t kFixedCsr = 0x1F80;  // round to nearest, all masked

// Puts the thread in a host's state for one test and back afterwards.
class ForeignState : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_cw_ = x87_control_word();
    saved_csr_ = mxcsr();
    set_x87_control_word(kHostCw);
    set_mxcsr(kHostCsr);
  }
  void TearDown() override {
    set_x87_control_word(saved_cw_);
    set_mxcsr(saved_csr_);
  }

 private:
  uint16_t saved_cw_ = 0;
  uint32_t saved_csr_ = 0;
};

TEST_F(ForeignState, GuardFixesTheStateAndRestoresTheHostsOnExit) {
  {
    FpStateGuard outer;
    EXPECT_EQ(x87_control_word(), kFixedCw);
    EXPECT_EQ(mxcsr() & ~0x3Fu, kFixedCsr);  // bits 0-5 are sticky flags
    {
      FpStateGuard inner;
      EXPECT_EQ(x87_control_word(), kFixedCw);
    }
    EXPECT_EQ(x87_control_word(), kFixedCw);
    EXPECT_EQ(mxcsr() & ~0x3Fu, kFixedCsr);
  }
  EXPECT_EQ(x87_control_word(), kHostCw);
  EXPECT_EQ(mxcsr() & ~0x3Fu, kHostCsr);
}

TEST_F(ForeignState, EveryThreadOfAPoolCallEvaluatesInTheFixedState) {
  // The caller works on its own job too, so its indices must see the fixed
  // state as well as the workers' ones.
  constexpr size_t kN = 256;
  std::vector<uint16_t> cw(kN);
  std::vector<uint32_t> csr(kN);
  WorkerPool::instance().run(kN, [&](size_t i) {
    cw[i] = x87_control_word();
    csr[i] = mxcsr() & ~0x3Fu;
  });
  for (size_t i = 0; i < kN; ++i) {
    EXPECT_EQ(cw[i], kFixedCw) << i;
    EXPECT_EQ(csr[i], kFixedCsr) << i;
  }
  EXPECT_EQ(x87_control_word(), kHostCw);
  EXPECT_EQ(mxcsr() & ~0x3Fu, kHostCsr);
}

#endif  // elsewhere threads share one floating-point state: nothing to test

}  // namespace
}  // namespace quorvex
