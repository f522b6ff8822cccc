#pragma once

#include <cstddef>
#include <cstdint>

#include "dataset/dataset.h"
#include "report/report.h"

namespace quorvex {

struct DiscoverConfig {
  size_t population = 200;
  uint32_t generations = 40;
  uint32_t max_depth = 4;
  uint64_t seed = 0;
  double test_fraction = 0.2;
  size_t n_shuffles = 30;
  bool verbose = false;
  bool use_niches = true;
  bool restart_on_stagnation = true;
};

// Runs one discovery on `data` (taken over). population must be at least 1.
DiscoverReport discover(Dataset data, const DiscoverConfig& config);

}  // namespace quorvex
