#include "refined.h"

#include <cmath>

#include "text/json.h"
#include "text/numbers.h"

namespace quorvex::cli {
namespace {

std::string stop_text(const RefinedResult& result, bool interrupted) {
  if (interrupted && result.stop == StopReason::Callback) return "interrupted (Ctrl-C)";
  return stop_reason_name(result.stop);
}

// The names of the extended C interface's refined JSON, so that every host
// writes the same document.
const char* json_stop_name(StopReason r) {
  switch (r) {
    case StopReason::Generations:
      return "generations";
    case StopReason::Patience:
      return "patience";
    case StopReason::Exact:
      return "exact";
    case StopReason::TimeLimit:
      return "time limit";
    case StopReason::Callback:
      return "stopped by caller";
  }
  return "generations";
}

std::string padded(std::string s, size_t width) {
  if (s.size() < width) s.insert(0, width - s.size(), ' ');
  return s;
}

}  // namespace

RefinedSplit refined_split(const Dataset& data, const RefinedConfig& config) {
  std::vector<size_t> keep;
  for (size_t i = 0; i < data.n_rows(); ++i) {
    bool finite = std::isfinite(data.targets()[i]);
    for (size_t c = 0; c < data.n_columns(); ++c)
      finite = finite && std::isfinite(data.column(c)[i]);
    if (finite) keep.push_back(i);
  }
  auto [train, test] =
      data.gather(keep.data(), keep.size()).split(config.test_fraction, config.seed);
  return {std::move(train), std::move(test)};
}

std::string search_line(const RefinedResult& result, bool interrupted) {
  return "search  : refined, " + format_integer(result.generations) +
         (result.generations == 1 ? " generation" : " generations") + " in " +
         format_fixed(static_cast<double>(result.report.wall_clock_ms) / 1000.0, 2) +
         " s, stopped: " + stop_text(result, interrupted);
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

std::string refined_json(const RefinedResult& result) {
  std::string out = result.report.to_json();
  // The report's object stays as it is; the added members go before its end.
  while (!out.empty() && out.back() != '}') out.pop_back();
  if (!out.empty()) out.pop_back();
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  auto member = [&](const char* key) {
    out += ",\n  ";
    append_json_string(out, key);
    out += ": ";
  };
  member("search");
  append_json_string(out, "refined");
  member("rows_set_aside");
  out += format_integer(result.rows_set_aside);
  member("finite_share");
  append_json_number(out, result.finite_share);
  member("generations");
  out += format_integer(result.generations);
  member("stop_reason");
  append_json_string(out, json_stop_name(result.stop));
  member("mse_floor");
  append_json_number(out, result.mse_floor);
  member("front");
  out += "[";
  for (size_t i = 0; i < result.front.size(); ++i) {
    const FrontEntry& e = result.front[i];
    JsonWriter w(JsonWriter::Style::Compact);
    w.begin_object();
    w.key("complexity");
    w.value_uint(e.complexity);
    w.key("mse_train");
    w.value(e.mse_train);
    w.key("mse_test");
    w.value(e.mse_test);
    w.key("bic");
    w.value(e.bic);
    w.key("formula");
    w.value_string(e.tree.formula());
    w.key("expr_json");
    w.value_string(e.tree.to_json());
    w.end_object();
    out += (i == 0 ? "\n    " : ",\n    ") + w.str();
  }
  out += result.front.empty() ? "]" : "\n  ]";
  out += "\n}";
  return out;
}

}  // namespace quorvex::cli
