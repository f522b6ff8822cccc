#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvex {

// The library's only random source. Every stream is a pure function of its
// seed, so another implementation of the same rules draws the same values.
class Lcg {
 public:
  explicit Lcg(uint64_t seed) noexcept : state_(seed + 0x9E3779B97F4A7C15ULL) {}

  uint64_t next_u64() noexcept {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return state_;
  }

  // A multiple of 2^-53 in [0, 1).
  double next_f64() noexcept {
    return static_cast<double>(next_u64() >> 11) * 0x1.0p-53;
  }

  // Plain modulo of the top 31 bits, no rejection: the bias is part of the
  // stream. n must not be 0.
  size_t below(size_t n) noexcept {
    return static_cast<size_t>((next_u64() >> 33) % static_cast<uint64_t>(n));
  }

  uint64_t state() const noexcept { return state_; }

 private:
  uint64_t state_;
};

}  // namespace quorvex
