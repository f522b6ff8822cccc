#pragma once

#include <chrono>

namespace quorvex {

// Where the time of one run goes, in seconds; for benchmarks. Each field
// accumulates, so several runs can share one record.
struct PhaseTimes {
  double split = 0.0;      // the train/test split
  double baselines = 0.0;  // the constant, linear and shuffled-target baselines
  double scoring = 0.0;    // every population scoring, the final one included
  double total = 0.0;      // the whole run
};

// Charges the time since the previous mark to one field. Without a record it
// reads no clock at all.
class PhaseClock {
 public:
  explicit PhaseClock(PhaseTimes* times) noexcept : times_(times) {
    if (times_ != nullptr) start_ = last_ = std::chrono::steady_clock::now();
  }

  void mark(double PhaseTimes::*field) noexcept {
    if (times_ == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    times_->*field += std::chrono::duration<double>(now - last_).count();
    last_ = now;
  }
  // Restarts the interval without charging it.
  void skip() noexcept {
    if (times_ != nullptr) last_ = std::chrono::steady_clock::now();
  }

  ~PhaseClock() {
    if (times_ != nullptr)
      times_->total +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

  PhaseClock(const PhaseClock&) = delete;
  PhaseClock& operator=(const PhaseClock&) = delete;

 private:
  PhaseTimes* times_;
  std::chrono::steady_clock::time_point start_, last_;
};

}  // namespace quorvex
