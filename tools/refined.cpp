#include "refined.h"

#include "refine/render.h"
#include "text/numbers.h"

namespace quorvex::cli {
namespace {

std::string stop_text(const RefinedResult& result, bool interrupted) {
  if (interrupted && result.stop == StopReason::Callback) return "interrupted (Ctrl-C)";
  return stop_reason_name(result.stop);
}

}  // namespace

std::string search_line(const RefinedResult& result, bool interrupted, uint32_t starts) {
  const bool many = starts > 1;
  return "search  : refined, " + (many ? format_integer(starts) + " starts, " : std::string()) +
         format_integer(result.generations) +
         (result.generations == 1 ? " generation" : " generations") + " in " +
         format_fixed(static_cast<double>(result.report.wall_clock_ms) / 1000.0, 2) +
         (many ? " s (summed), stopped: " : " s, stopped: ") + stop_text(result, interrupted);
}

std::string operators_line(const RefinedResult& result) {
  return "operators: " + result.operators.text();
}

}  // namespace quorvex::cli
