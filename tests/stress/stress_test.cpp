// Many host threads at once through the C interface: discoveries on a shared
// dataset and on datasets of their own, reports read from many threads,
// datasets freed while their reports live. Every report must equal the one
// the same call gives on a single thread. Built for ThreadSanitizer too, so
// the data and searches stay small.
#include <gtest/gtest.h>

#include <array>
#include <barrier>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "../golden/golden_case.h"
#include "quorvex.h"

namespace {

constexpr int kThreads = 8;
constexpr int kPerThread = 25;

struct Call {
  uint32_t generations;
  size_t population;
  uint32_t max_depth;
  uint64_t seed;
  double test_fraction;
};

Call call(int i) {
  return {static_cast<uint32_t>(1 + i % 4), static_cast<size_t>(8 + 3 * (i % 5)),
          static_cast<uint32_t>(2 + i % 4), static_cast<uint64_t>(100 + i), 0.2 + 0.05 * (i % 3)};
}

// Two contents: the shared one, and the one each thread builds for itself
// (with a feature added after the first rows).
CDataset* make_dataset(bool own) {
  CDataset* ds = quorvex_dataset_new("y");
  quorvex_dataset_add_feature(ds, "x");
  quorvex_dataset_add_feature(ds, "z");
  for (int i = 0; i < 24; ++i) {
    if (own && i == 5) quorvex_dataset_add_feature(ds, "w");
    const double v[3] = {0.3 * i - 2.0, std::cos(i), 0.5 * i};
    const double y = own ? v[0] * v[1] + 1.0 : v[0] * v[0] - v[1];
    quorvex_dataset_push_row(ds, v, y);
  }
  return ds;
}

CReport* discover(const CDataset* ds, const Call& c) {
  return quorvex_discover(ds, c.generations, c.population, c.max_depth, c.seed, c.test_fraction);
}

std::string masked_json(const CReport* r) {
  return golden::mask_wall_json(golden::take(quorvex_report_json(r)));
}

bool on_shared(int thread, int i) { return (thread + i) % 2 == 0; }

TEST(Threads, ConcurrentDiscoveriesEqualTheirSequentialTwins) {
  std::array<std::array<std::string, kPerThread>, 2> twin;
  for (bool own : {false, true}) {
    CDataset* ds = make_dataset(own);
    for (int i = 0; i < kPerThread; ++i) {
      CReport* r = discover(ds, call(i));
      twin[own][i] = masked_json(r);
      quorvex_report_free(r);
    }
    quorvex_dataset_free(ds);
  }

  CDataset* shared = make_dataset(false);
  std::vector<std::array<CReport*, kPerThread>> reports(kThreads);
  std::vector<int> wrong_counts(kThreads, 0);
  std::barrier start(kThreads);
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t)
    hosts.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kPerThread; ++i) {
        CDataset* own = on_shared(t, i) ? nullptr : make_dataset(true);
        reports[t][i] = discover(own == nullptr ? shared : own, call(i));
        quorvex_dataset_free(own);  // the report outlives it
        wrong_counts[t] += quorvex_dataset_n_rows(shared) != 24;
      }
    });
  for (auto& h : hosts) h.join();
  quorvex_dataset_free(shared);
  EXPECT_EQ(wrong_counts, std::vector<int>(kThreads, 0));

  // Each thread's reports are read and freed by another thread.
  std::vector<int> mismatches(kThreads, 0);
  hosts.clear();
  for (int t = 0; t < kThreads; ++t)
    hosts.emplace_back([&, t] {
      const int from = (t + 1) % kThreads;
      for (int i = 0; i < kPerThread; ++i) {
        mismatches[t] += masked_json(reports[from][i]) != twin[!on_shared(from, i)][i];
        quorvex_report_free(reports[from][i]);
      }
    });
  for (auto& h : hosts) h.join();
  EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

TEST(Threads, OneReportReadByEightThreadsAtOnce) {
  CDataset* ds = make_dataset(false);
  CReport* r = discover(ds, {3, 20, 4, 77, 0.25});
  quorvex_dataset_free(ds);
  const std::string json = golden::take(quorvex_report_json(r));
  const std::string pretty = golden::take(quorvex_report_pretty(r));
  const std::string formula = golden::take(quorvex_report_formula(r));
  using Getter = double (*)(const CReport*);
  const Getter getters[] = {quorvex_report_mse_train,
                            quorvex_report_mse_test,
                            quorvex_report_bic,
                            quorvex_report_delta_bic_const,
                            quorvex_report_delta_bic_linear,
                            quorvex_report_z_vs_shuffled};
  std::array<uint64_t, 6> numbers;
  for (size_t k = 0; k < 6; ++k) numbers[k] = std::bit_cast<uint64_t>(getters[k](r));
  const int32_t verdict = quorvex_report_verdict(r);

  std::barrier start(kThreads);
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> readers;
  for (int t = 0; t < kThreads; ++t)
    readers.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < 40; ++i) {
        mismatches[t] += golden::take(quorvex_report_json(r)) != json;
        mismatches[t] += golden::take(quorvex_report_pretty(r)) != pretty;
        mismatches[t] += golden::take(quorvex_report_formula(r)) != formula;
        mismatches[t] += quorvex_report_verdict(r) != verdict;
        for (size_t k = 0; k < 6; ++k)
          mismatches[t] += std::bit_cast<uint64_t>(getters[k](r)) != numbers[k];
      }
    });
  for (auto& th : readers) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
  quorvex_report_free(r);
}

}  // namespace
