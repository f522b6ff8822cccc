#include "parallel/pool.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "parallel/fp_state.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace quorvex {

namespace {

struct Job {
  size_t n = 0;
  const std::function<void(size_t)>* body = nullptr;
  size_t next = 0;           // first unclaimed index
  size_t finished = 0;       // indices completed
  size_t helpers = 0;        // workers currently inside this job
  size_t max_helpers = 0;    // workers allowed besides the caller
  std::exception_ptr error;  // the first thrown; the rest of the job is skipped
  std::condition_variable done;
};

}  // namespace

struct WorkerPool::Impl {
  std::mutex mutex;
  std::condition_variable work;
  std::deque<Job*> jobs;  // jobs with unclaimed indices, oldest first

  Job* find_job() {
    for (Job* job : jobs)
      if (job->next < job->n && job->helpers < job->max_helpers) return job;
    return nullptr;
  }

  // Claims and runs indices of `job` until none is left; called with `lock`
  // held and returns with it held.
  void drain(Job* job, std::unique_lock<std::mutex>& lock) {
    while (job->next < job->n) {
      const size_t i = job->next++;
      if (job->next == job->n) {
        auto it = std::find(jobs.begin(), jobs.end(), job);
        if (it != jobs.end()) jobs.erase(it);
      }
      const bool skip = job->error != nullptr;
      lock.unlock();
      std::exception_ptr error;
      if (!skip) {
        try {
          (*job->body)(i);
        } catch (...) {
          error = std::current_exception();
        }
      }
      lock.lock();
      if (error && !job->error) job->error = error;
      ++job->finished;
    }
  }

  [[noreturn]] void worker_loop() {
    FpStateGuard fixed_state;  // workers evaluate in one fixed floating-point state
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      Job* job = nullptr;
      work.wait(lock, [&] { return (job = find_job()) != nullptr; });
      ++job->helpers;
      drain(job, lock);
      --job->helpers;
      if (job->finished == job->n && job->helpers == 0) job->done.notify_all();
    }
  }
};

WorkerPool& WorkerPool::instance() {
  // Leaked on purpose: see the class comment.
  static WorkerPool* pool = new WorkerPool();
  return *pool;
}

WorkerPool::WorkerPool()
    : impl_(new Impl()), workers_(std::max(1u, std::thread::hardware_concurrency())) {
#ifdef _WIN32
  // Keep the DLL loaded while the detached workers run its code.
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&WorkerPool::instance), &self);
#endif
  for (size_t i = 0; i < workers_; ++i)
    std::thread([impl = impl_] { impl->worker_loop(); }).detach();
}

void WorkerPool::run(size_t n, const std::function<void(size_t)>& body, size_t max_threads) {
  if (n == 0) return;
  FpStateGuard fixed_state;  // the caller helps; its own state comes back on return
  Job job;
  job.n = n;
  job.body = &body;
  // By default the caller and workers_ - 1 workers: one thread per logical
  // processor; the remaining worker serves concurrent callers.
  const size_t threads = max_threads == 0 ? std::max<size_t>(workers_, 2) : max_threads;
  job.max_helpers = n > 1 ? std::min(threads - 1, workers_) : 0;
  std::unique_lock<std::mutex> lock(impl_->mutex);
  if (job.max_helpers > 0) {
    impl_->jobs.push_back(&job);
    impl_->work.notify_all();
  }
  impl_->drain(&job, lock);
  job.done.wait(lock, [&] { return job.finished == job.n && job.helpers == 0; });
  if (job.error) std::rethrow_exception(job.error);
}

}  // namespace quorvex
