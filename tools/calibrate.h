#pragma once

// The pieces of quorvex_calibrate: the tasks and their scheduler
// (calibrate_tasks.cpp), the markdown tables (calibrate_report.cpp) and the
// exact-fit experiment (calibrate_exact.cpp).

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "calibrate_suites.h"
#include "diagnostics.h"
#include "optimizer/discover.h"
#include "optimizer/permutation.h"
#include "report/report.h"

namespace quorvex::calibrate {

struct Settings {
  bool quick = false;
  size_t jobs = 1;
  std::string out;
  size_t population = 200;
  uint32_t generations = 40;
  size_t noise_sets = 1000;      // data sets per target distribution
  size_t repeats = 50;           // data sets per benchmark problem and noise level
  size_t permutations = 99;      // permuted discoveries per tested data set
  size_t perm_noise_sets = 300;  // of the noise data sets, per distribution
  size_t perm_repeats = 5;       // of the benchmark data sets, per problem and noise level
};

enum class Suite { Noise, Nguyen, Feynman };

struct Task {
  Suite suite = Suite::Noise;
  TargetLaw law = TargetLaw::Normal;  // Noise
  size_t n = 0, d = 0;                // Noise
  size_t problem = 0;                 // Nguyen, Feynman
  double noise_level = 0.0;           // Nguyen, Feynman
  uint64_t data_seed = 0;
  uint64_t search_seed = 0;
  size_t permutations = 0;
};

struct Outcome {
  Verdict verdict = Verdict::Noise;
  cli::FiniteRows train_rows;
  bool exact_fit = false;  // training error exactly zero
  double p_value = std::numeric_limits<double>::quiet_NaN();
};

inline constexpr size_t kNoiseRows[] = {30, 50, 100, 200, 300};
inline constexpr TargetLaw kLaws[] = {TargetLaw::Normal, TargetLaw::StudentT2, TargetLaw::Cauchy};
inline constexpr double kNoiseLevels[] = {0.0, 0.01, 0.1};

// The seed of data set b of stream a: independent streams from one 64-bit mixer.
inline uint64_t mix(uint64_t a, uint64_t b) { return permutation_seed(a, b + 1); }

// The quick size: seconds even under the sanitizers.
void make_quick(Settings& s);

// The settings of every discovery: depth and test fraction at their defaults.
DiscoverConfig config_of(const Settings& s, uint64_t seed);

// Every data set of the run, noise first, then Nguyen, then Feynman.
std::vector<Task> make_tasks(const Settings& s, const std::vector<Problem>& nguyen,
                             const std::vector<Problem>& feynman);

// Runs every task on s.jobs threads, with a progress line on stderr; each
// result lands in its own slot, so the outcome does not depend on the number
// of jobs.
std::vector<Outcome> run_all(const std::vector<Task>& tasks, const Settings& s,
                             const std::vector<Problem>& nguyen,
                             const std::vector<Problem>& feynman);

// 95% Wilson score interval of k successes in n trials; [0, 1] for n = 0.
std::pair<double, double> wilson(size_t k, size_t n);

// "k/n".
std::string fraction(size_t k, size_t n);

// The exact-fit section: each law written exactly and with one rounding
// error, what the search makes of the same noiseless data, and a constant target.
std::string exact_fit_section(const Settings& s, const std::vector<Problem>& nguyen,
                              const std::vector<Problem>& feynman);

// The whole markdown report but its title.
std::string report(const Settings& s, const std::vector<Task>& tasks,
                   const std::vector<Outcome>& out, const std::vector<Problem>& nguyen,
                   const std::vector<Problem>& feynman);

}  // namespace quorvex::calibrate
