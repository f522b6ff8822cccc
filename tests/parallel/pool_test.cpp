#include "parallel/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
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

// An allocation failure in a worker must reach the caller, not terminate the
// process, and leave the pool usable.
TEST(WorkerPool, AThrowingBodyReachesTheCaller) {
  for (size_t threads : {1, 0}) {
    std::atomic<int> ran{0};
    EXPECT_THROW(WorkerPool::instance().run(
                     500,
                     [&](size_t i) {
                       ++ran;
                       if (i % 7 == 3) throw std::bad_alloc();
                     },
                     threads),
                 std::bad_alloc);
    EXPECT_LT(ran.load(), 500);
  }
  std::atomic<int> after{0};
  WorkerPool::instance().run(100, [&](size_t) { ++after; });
  EXPECT_EQ(after.load(), 100);
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
