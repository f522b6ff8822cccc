#include "refined.h"

#include "refine/render.h"
#include "text/numbers.h"

namespace quorvex::cli {
namespace {

std::string stop_text(const RefinedResult& result, bool interrupted) {
  if (interrupted && result.stop == StopReason::Callback) return "interrupted (Ctrl-C)";
  return stop_reason_name(result.stop);
}

std::string padded(std::string s, size_t width) {
  if (s.size() < width) s.insert(0, width - s.size(), ' ');
  return s;
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

std::vector<std::string> front_table(const RefinedResult& result) {
  std::vector<std::string> lines;
  lines.push_back("front   : the best formula of each complexity (* the one reported)");
  lines.push_back("  complexity   MSE train    MSE test           BIC  formula");
  for (const FrontEntry& e : result.front) {
    const bool chosen = e.complexity == result.report.k && e.bic == result.report.bic;
    lines.push_back((chosen ? "* " : "  ") + padded(format_integer(e.complexity), 10) + "  " +
                    padded(format_sci5(e.mse_train), 10) + "  " +
                    padded(format_sci5(e.mse_test), 10) + "  " +
                    padded(format_fixed(e.bic, 3), 12) + "  " + e.tree.formula());
  }
  return lines;
}

}  // namespace quorvex::cli
