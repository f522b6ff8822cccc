#pragma once

#include <chrono>

namespace quorvex {

// When a refined search must hand back its best so far: checked within a
// generation and between the steps of the front's simplification, so that a
// time limit holds however long one generation takes.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  Deadline() = default;  // never passes
  // `seconds` after `start`; none for 0 or less, NaN, or more than a clock
  // can count (infinity included).
  Deadline(Clock::time_point start, double seconds) : set_(seconds > 0.0 && seconds < 1e9) {
    if (set_)
      at_ = start +
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

  bool passed() const noexcept { return set_ && Clock::now() >= at_; }

 private:
  bool set_ = false;
  Clock::time_point at_{};
};

}  // namespace quorvex
