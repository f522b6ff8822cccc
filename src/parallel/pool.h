#pragma once

#include <cstddef>
#include <functional>

namespace quorvex {

// The process-wide worker pool that scores populations. Created on first use,
// never destroyed: its threads are detached and live as long as the process
// (joining them while a DLL unloads deadlocks, and destroying it from a static
// destructor races with other threads still scoring).
//
// Each call is its own job that the calling thread works on too, so calls from
// several host threads at once neither deadlock nor oversubscribe.
class WorkerPool {
 public:
  static WorkerPool& instance();

  // Runs body(i) once for every i in [0, n) and returns when all are done.
  // At most `max_threads` threads work on this call, the caller included
  // (0: one per logical processor, so that one worker stays free for other
  // callers). When body throws, the indices not yet started are skipped and
  // the first exception is rethrown on the caller once every thread is out.
  void run(size_t n, const std::function<void(size_t)>& body, size_t max_threads = 0);

 private:
  WorkerPool();
  struct Impl;
  Impl* impl_;
  size_t workers_;
};

}  // namespace quorvex
