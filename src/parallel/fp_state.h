#pragma once

#include <cstdint>

namespace quorvex {

// Puts the thread in one fixed floating-point state while it evaluates and
// restores the previous state afterwards. On mingw, exp, log and pow run on
// the x87 unit, whose precision setting differs between runtime threads and
// threads a host made (CreateThread, MSVC programs); their last bits would
// follow it. On any x86-64 system a host may have changed the SSE rounding
// mode or set flush-to-zero (fesetround, code built with fast-math): results
// would then change, and depend on which thread evaluated which candidate.
class FpStateGuard {
 public:
#if defined(__GNUC__) && defined(__x86_64__)
  // x87: 64-bit precision, round to nearest, all exceptions masked (what the
  // mingw runtime gives its own threads). SSE: round to nearest, all masked.
  static constexpr uint16_t kX87ControlWord = 0x37F;
  static constexpr uint32_t kMxcsr = 0x1F80;

  // The "memory" clobbers keep the compiler from moving the surrounding
  // evaluation across the switches.
  FpStateGuard() noexcept {
    __asm__ volatile("fnstcw %0" : "=m"(saved_cw_));
    __asm__ volatile("stmxcsr %0" : "=m"(saved_csr_));
    const uint16_t cw = kX87ControlWord;
    const uint32_t csr = kMxcsr;
    __asm__ volatile("fldcw %0" : : "m"(cw) : "memory");
    __asm__ volatile("ldmxcsr %0" : : "m"(csr) : "memory");
  }
  ~FpStateGuard() {
    __asm__ volatile("fldcw %0" : : "m"(saved_cw_) : "memory");
    __asm__ volatile("ldmxcsr %0" : : "m"(saved_csr_) : "memory");
  }

 private:
  uint16_t saved_cw_ = 0;
  uint32_t saved_csr_ = 0;
#else
  FpStateGuard() noexcept {}
#endif
  FpStateGuard(const FpStateGuard&) = delete;
  FpStateGuard& operator=(const FpStateGuard&) = delete;
};

}  // namespace quorvex
