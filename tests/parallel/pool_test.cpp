#include "parallel/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quorvex {
namespace {

TEST(WorkerPool, EveryIndexRunsExactlyOnce) {
  for (size_t threads : {0, 1, 2, 3, 16}) {
    std::vector<std::atomic<int>> hits(1000);
    WorkerPool::instance().run(
        hits.size(), [&](size_t i) { hits[i].fetch_add(1); }, threads);
    for (auto& h : hits) ASSERT_EQ(h.load(), 1) << "threads " << threads;
  }
  WorkerPool::instance().run(0, [](size_t) { FAIL(); });
}

TEST(WorkerPool, OneThreadMeansTheCallerAlone) {
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> elsewhere{false};
  WorkerPool::instance().run(
      200, [&](size_t) { elsewhere = elsewhere || std::this_thread::get_id() != caller; }, 1);
  EXPECT_FALSE(elsewhere);
}

TEST(WorkerPool, ConcurrentCallersDoNotBlockEachOther) {
  std::vector<std::thread> hosts;
  std::atomic<size_t> total{0};
  for (int t = 0; t < 8; ++t)
    hosts.emplace_back([&] {
      for (int rep = 0; rep < 20; ++rep)
        WorkerPool::instance().run(50, [&](size_t) { total.fetch_add(1); });
    });
  for (auto& h : hosts) h.join();
  EXPECT_EQ(total.load(), 8u * 20u * 50u);
}

}  // namespace
}  // namespace quorvex
