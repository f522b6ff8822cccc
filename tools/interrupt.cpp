#include "interrupt.h"

#include <atomic>
#include <csignal>

namespace quorvex::cli {
namespace {

std::atomic<bool> interrupted_flag{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void on_interrupt(int) {
  interrupted_flag.store(true);
  std::signal(SIGINT, SIG_DFL);
}

}  // namespace

bool interrupted() noexcept { return interrupted_flag.load(); }

InterruptGuard::InterruptGuard() { previous_ = std::signal(SIGINT, on_interrupt); }

InterruptGuard::~InterruptGuard() {
  std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_);
}

}  // namespace quorvex::cli
