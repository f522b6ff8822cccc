#pragma once

#include <chrono>
#include <limits>

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
  // Infinity when none is set.
  double seconds_left() const noexcept {
    if (!set_) return std::numeric_limits<double>::infinity();
    return std::chrono::duration<double>(at_ - Clock::now()).count();
  }

 private:
  bool set_ = false;
  Clock::time_point at_{};
};

}  // namespace quorvex
