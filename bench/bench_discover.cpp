// Whole discoveries with the default search (population 200, 40 generations,
// depth 4) on rows x features data sets, with 1 and 2 scoring threads. Each
// run copies the data first, as the C entry does, so the copy is part of the
// time. Reported per run: wall time, peak resident memory (reset before the
// data set is built) against the raw data (rows x (features + 1) doubles),
// and the time shares of copy + split, baselines, scoring and the rest.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "optimizer/discover.h"
#include "optimizer/phase_times.h"
#include "rng/lcg.h"

namespace {

using quorvex::Dataset;

// A product, a logarithm and noise; with many features, only every fifth
// counts.
Dataset make_data(size_t rows, size_t features) {
  Dataset ds("y");
  for (size_t j = 0; j < features; ++j) {
    std::string name = "x";
    name += std::to_string(j);  // not "x" + ...: a false -Wrestrict in GCC 12
    ds.add_feature(std::move(name));
  }
  ds.reserve_rows(rows);
  quorvex::Lcg rng(42);
  std::vector<double> v(features);
  for (size_t i = 0; i < rows; ++i) {
    for (double& x : v) x = 0.5 + 2.0 * rng.next_f64();
    double y = v[0] * v[1 % features] + std::log(v[2 % features]);
    for (size_t j = 5; j < features; j += 5) y += 0.1 * v[j];
    ds.push_row(v.data(), y + 0.05 * (rng.next_f64() - 0.5));
  }
  return ds;
}

// Resets the peak resident size to the current one (Linux).
void reset_peak_rss() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
}

double peak_rss_mib() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0.0;
}

void BM_Discover(benchmark::State& state) {
  const size_t rows = static_cast<size_t>(state.range(0));
  const size_t features = static_cast<size_t>(state.range(1));
  const size_t threads = static_cast<size_t>(state.range(2));
  reset_peak_rss();
  const Dataset data = make_data(rows, features);
  quorvex::DiscoverConfig config;  // the defaults: 200, 40, 4
  config.seed = 7;
  quorvex::PhaseTimes phases;
  double copy_s = 0.0, bic = 0.0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    Dataset copy = data;
    copy_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    quorvex::Discoverer d(std::move(copy), config);
    d.set_max_threads(threads);
    d.set_phase_times(&phases);
    bic = d.run().report.bic;
  }
  const double n = static_cast<double>(state.iterations());
  const double total = copy_s + phases.total;
  state.counters["peak_rss_mib"] = peak_rss_mib();
  state.counters["raw_mib"] =
      static_cast<double>(rows * (features + 1) * sizeof(double)) / (1024.0 * 1024.0);
  state.counters["copy_split_share"] = (copy_s + phases.split) / total;
  state.counters["baselines_share"] = phases.baselines / total;
  state.counters["scoring_share"] = phases.scoring / total;
  state.counters["rest_share"] =
      (phases.total - phases.split - phases.baselines - phases.scoring) / total;
  state.counters["seconds"] = total / n;
  state.counters["bic"] = bic;  // the same for every thread count
}

void configs(benchmark::internal::Benchmark* b) {
  for (int64_t rows : {1000, 10000, 100000})
    for (int64_t threads : {1, 2}) b->Args({rows, 3, threads});
  for (int64_t threads : {1, 2}) b->Args({10000, 50, threads});
}
BENCHMARK(BM_Discover)
    ->Apply(configs)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// A million rows: one run each, they take seconds.
BENCHMARK(BM_Discover)
    ->Args({1000000, 3, 1})
    ->Args({1000000, 3, 2})
    ->Iterations(1)
    ->Repetitions(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
