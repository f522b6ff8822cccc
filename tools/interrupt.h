#pragma once

namespace quorvex::cli {

// Whether Ctrl-C was pressed while an InterruptGuard was alive. The first
// Ctrl-C only sets this, so that a refined search can stop after its current
// generation; a second one ends the process as usual.
bool interrupted() noexcept;

// Overwrites the "^C" a terminal echoed where the cursor stood, so that
// the report after an interrupt starts on a clean line.
void erase_interrupt_echo() noexcept;

// Catches Ctrl-C while alive.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  void (*previous_)(int);
};

}  // namespace quorvex::cli
