// The baselines of a 100,000-row, 50-feature training set with 30 shuffled
// nulls: compute (one XᵀX and one elimination shared by every fit) against
// the plain way (one linear_predictor per shuffled copy), in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "baselines/baselines.h"
#include "rng/lcg.h"
#include "text/numbers.h"

namespace {

constexpr size_t kRows = 100000;
constexpr size_t kFeatures = 50;
constexpr size_t kNulls = 30;
constexpr uint64_t kSeed = 42;

const quorvex::Dataset& training_set() {
  static const quorvex::Dataset data = [] {
    quorvex::Dataset ds("y");
    for (size_t j = 0; j < kFeatures; ++j) {
      std::string name = "x";
      name += std::to_string(j);
      ds.add_feature(std::move(name));
    }
    ds.reserve_rows(kRows);
    quorvex::Lcg rng(1);
    std::vector<double> row(kFeatures);
    for (size_t i = 0; i < kRows; ++i) {
      double y = rng.next_f64();
      for (size_t j = 0; j < kFeatures; ++j) {
        row[j] = 2.0 * rng.next_f64() - 1.0;
        if (j % 5 == 0) y += row[j];
      }
      ds.push_row(row.data(), y);
    }
    return ds;
  }();
  return data;
}

void BM_ComputeShared(benchmark::State& state) {
  const quorvex::Dataset& ds = training_set();
  for (auto _ : state) benchmark::DoNotOptimize(quorvex::compute(ds, kNulls, kSeed));
}
BENCHMARK(BM_ComputeShared)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ComputeOneFitAtATime(benchmark::State& state) {
  const quorvex::Dataset& ds = training_set();
  for (auto _ : state) benchmark::DoNotOptimize(quorvex::compute_reference(ds, kNulls, kSeed));
}
BENCHMARK(BM_ComputeOneFitAtATime)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps the real time per iteration of each benchmark for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times_[run.benchmark_name()] = run.GetAdjustedRealTime();
      }
    }
  }
  const std::map<std::string, double>& times() const { return times_; }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  training_set();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto& t = reporter.times();
  const auto shared = t.find("BM_ComputeShared/real_time");
  const auto plain = t.find("BM_ComputeOneFitAtATime/real_time");
  if (shared != t.end() && plain != t.end() && shared->second > 0.0) {
    const double ratio = plain->second / shared->second;
    std::string line = "one-fit-at-a-time / shared = ";
    line += quorvex::format_fixed(ratio, 1);
    line += "x (";
    line += quorvex::format_fixed(plain->second, 1);
    line += " ms vs ";
    line += quorvex::format_fixed(shared->second, 1);
    line += " ms)\n";
    std::fputs(line.c_str(), stdout);
  }
  return 0;
}
