#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "optimizer/discover.h"

namespace quorvex {
namespace {

Dataset cubic(size_t n) {
  Dataset ds("y");
  ds.add_feature("x");
  for (size_t i = 0; i < n; ++i) {
    const double x = -1.5 + 3.0 * static_cast<double>(i) / static_cast<double>(n);
    ds.push_row(&x, x * x * x - x + 0.05 * std::sin(11.0 * x));
  }
  return ds;
}

std::string without_wall(DiscoverReport r) {
  r.wall_clock_ms = 0;
  return r.to_json();
}

struct Call {
  uint32_t generation;
  uint32_t generations;
  double best;
};

TEST(ProgressHook, SeesEveryGenerationAndChangesNothing) {
  DiscoverConfig config;
  config.population = 30;
  config.generations = 9;
  config.seed = 4;
  Discoverer plain(cubic(90), config);
  const std::string expected = without_wall(plain.run().report);

  Discoverer observed(cubic(90), config);
  std::vector<Call> calls;
  observed.set_progress_hook([&](uint32_t g, uint32_t total, double best) {
    calls.push_back({g, total, best});
  });
  const DiscoverReport report = observed.run().report;
  EXPECT_EQ(without_wall(report), expected);

  ASSERT_EQ(calls.size(), 9u);
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].generation, i + 1);
    EXPECT_EQ(calls[i].generations, 9u);
    // Elites are scored again on the same rows, so the best never gets worse.
    if (i > 0) {
      EXPECT_LE(calls[i].best, calls[i - 1].best);
    }
  }
  EXPECT_LE(report.bic, calls.back().best);
}

TEST(ProgressHook, NotCalledWithoutGenerations) {
  DiscoverConfig config;
  config.population = 5;
  config.generations = 0;
  Discoverer d(cubic(20), config);
  int calls = 0;
  d.set_progress_hook([&](uint32_t, uint32_t, double) { ++calls; });
  d.run();
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace quorvex
