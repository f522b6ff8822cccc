#include "interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define QUORVEX_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define QUORVEX_ISATTY(fd) isatty(fd)
#endif

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

void erase_interrupt_echo() noexcept {
  if (!interrupted()) return;
  // The terminal is the same for both streams when either is one.
  std::FILE* terminal = QUORVEX_ISATTY(2) ? stderr : QUORVEX_ISATTY(1) ? stdout : nullptr;
  if (terminal == nullptr) return;
  std::fputs("\r  \r", terminal);
  std::fflush(terminal);
}

InterruptGuard::InterruptGuard() { previous_ = std::signal(SIGINT, on_interrupt); }

InterruptGuard::~InterruptGuard() {
  std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_);
}

}  // namespace quorvex::cli
