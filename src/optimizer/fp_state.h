#pragma once

#include <cstdint>

namespace quorvex {

// Puts the thread in one fixed floating-point state while it evaluates and
// restores the previous state afterwards. On mingw, exp, log and pow run on
// the x87 unit, whose precision setting differs between runtime threads and
// threads a host made (CreateThread, MSVC programs); their last bits would
// follow it. Elsewhere the state is already uniform and this does nothing.
class FpStateGuard {
 public:
#if defined(_WIN32) && defined(__GNUC__) && defined(__x86_64__)
  FpStateGuard() noexcept {
    __asm__ volatile("fnstcw %0" : "=m"(saved_cw_));
    __asm__ volatile("stmxcsr %0" : "=m"(saved_csr_));
    const uint16_t cw = 0x37F;
    const uint32_t csr = 0x1F80;
    __asm__ volatile("fldcw %0" : : "m"(cw));
    __asm__ volatile("ldmxcsr %0" : : "m"(csr));
  }
  ~FpStateGuard() {
    __asm__ volatile("fldcw %0" : : "m"(saved_cw_));
    __asm__ volatile("ldmxcsr %0" : : "m"(saved_csr_));
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
