#pragma once

#include <cstdint>
#include <string>

namespace quorvex::cli {

// A one-line progress bar on standard error, redrawn in place after each
// generation and erased when the search is over.
class ProgressBar {
 public:
  // Whether standard error is a terminal: a bar only makes sense there.
  static bool stderr_is_terminal() noexcept;

  // `elapsed` (seconds) is shown when not negative.
  void update(uint32_t generation, uint32_t generations, double best, double elapsed = -1.0);
  void finish();

  // The bar's text for one state, without the carriage return.
  static std::string line(uint32_t generation, uint32_t generations, double best,
                          double elapsed = -1.0);

 private:
  size_t drawn_ = 0;  // width of the line on screen, to erase it
};

}  // namespace quorvex::cli
