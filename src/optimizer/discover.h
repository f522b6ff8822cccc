#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "optimizer/phase_times.h"
#include "report/report.h"

namespace quorvex {

// The settings of one discovery, taken as they are. The member defaults are
// also what the C entry's zero and out-of-range arguments stand for.
struct DiscoverConfig {
  size_t population = 200;
  uint32_t generations = 40;
  uint32_t max_depth = 4;
  uint64_t seed = 0;
  double test_fraction = 0.2;
  size_t n_shuffles = 30;
  bool verbose = false;  // one progress line per generation on standard error
  bool use_niches = true;
  bool restart_on_stagnation = true;

  // The settings behind the C entry's five arguments: 0 generations,
  // population or depth, or a test fraction outside (0, 1), mean the default.
  static DiscoverConfig from_c_arguments(uint32_t generations, size_t population,
                                         uint32_t max_depth, uint64_t seed,
                                         double test_fraction) noexcept;
};

// A discovery's report with what a host needs beside it: the best tree itself
// and the rows it was trained and tested on (the search's own split), so that
// nothing has to be parsed back from the report's strings or split again.
struct DiscoverResult {
  DiscoverReport report;
  Expr best;
  Dataset train;
  Dataset test;
};

// A dataset paired with its settings. run() only reads both, so a Discoverer
// can be run again with the same result.
//
// Every discovery is reproducible bit for bit: equal data, settings and seed
// give the same report (apart from wall_clock_ms) on every run and whatever
// the number of threads. Equally scored niches are taken in the order in
// which each first appears in the population.
class Discoverer {
 public:
  // Throws std::invalid_argument when config.population is 0: no population
  // can be scored and no best candidate reported.
  Discoverer(Dataset data, const DiscoverConfig& config);

  DiscoverResult run() const;

  // Threads that score populations, the caller included; 0 means one per
  // logical processor. Results do not depend on it.
  void set_max_threads(size_t threads) noexcept { max_threads_ = threads; }

  // Called on the search's thread after each generation step with the steps
  // done so far, the configured total and that generation's best score. It
  // only observes: the search runs the same with or without it.
  using ProgressHook = std::function<void(uint32_t generation, uint32_t generations, double best)>;
  void set_progress_hook(ProgressHook hook) { progress_hook_ = std::move(hook); }

  // Benchmarks: when set, run() adds the time of its phases to *times.
  void set_phase_times(PhaseTimes* times) noexcept { phase_times_ = times; }

  const Dataset& data() const noexcept { return data_; }
  const DiscoverConfig& config() const noexcept { return config_; }

 private:
  Dataset data_;
  DiscoverConfig config_;
  size_t max_threads_ = 0;
  ProgressHook progress_hook_;
  PhaseTimes* phase_times_ = nullptr;
};

// Runs one discovery on `data` (taken over). Throws std::invalid_argument
// when config.population is 0.
DiscoverResult discover(Dataset data, const DiscoverConfig& config);

}  // namespace quorvex
