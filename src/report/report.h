#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvex {

class JsonWriter;

enum class Verdict : uint8_t { Strong = 0, Weak = 1, Noise = 2 };

const char* verdict_name(Verdict v) noexcept;  // "Strong", "Weak", "Noise"

struct BaselinesReport {
  double bic_const = 0.0;
  double bic_linear = 0.0;
  double bic_shuffled_mean = 0.0;
  double bic_shuffled_std = 0.0;
};

// How many standard deviations `bic` lies from the mean of the shuffled-target
// nulls (below is better); 0 when the nulls hardly vary.
double z_score(double bic, const BaselinesReport& baselines) noexcept;

// The result of one discovery. Fields in record order (the JSON order).
struct DiscoverReport {
  std::string formula;
  std::string expr_json;
  uint32_t k = 0;
  double mse_train = 0.0;
  double mse_test = 0.0;
  double bic = 0.0;
  BaselinesReport baselines;
  double delta_bic_const = 0.0;
  double delta_bic_linear = 0.0;
  double z_vs_shuffled = 0.0;
  Verdict verdict = Verdict::Noise;
  std::string verdict_reason;
  size_t n_train = 0;
  size_t n_test = 0;
  // Whole milliseconds; 64 bits hold every reachable duration.
  uint64_t wall_clock_ms = 0;

  // Sets verdict and verdict_reason from the three comparisons.
  void classify();
  // The thirteen-line text report.
  std::string to_pretty() const;
  // The JSON document: two-space indentation, no trailing line feed.
  std::string to_json() const;
  // Its members, into an object `w` has open (so that a longer document can
  // start with them).
  void write_json_members(JsonWriter& w) const;
};

}  // namespace quorvex
