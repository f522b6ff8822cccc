#include "refine/render.h"

#include <charconv>
#include <cmath>

#include "text/json.h"
#include "text/numbers.h"

namespace quorvex {

std::string refined_report_json(const RefinedResult& r) {
  const DiscoverReport& d = r.report;
  JsonWriter w(JsonWriter::Style::Pretty);
  w.begin_object();
  d.write_json_members(w);
  w.key("search");
  w.value_string("refined");
  w.key("rows_set_aside");
  w.value_uint(r.rows_set_aside);
  w.key("finite_share");
  w.value(r.finite_share);
  w.key("generations");
  w.value_uint(r.generations);
  w.key("stop_reason");
  w.value_string(stop_reason_name(r.stop));
  w.key("mse_floor");
  w.value(r.mse_floor);
  w.key("operators");
  w.value_string(r.operators.text());
  if (r.train.weighted()) {
    w.key("weight_sum");
    w.value(r.train.weight_total());
  }
  w.key("front");
  w.begin_array();
  for (const FrontEntry& e : r.front) {
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
  }
  w.end_array();
  w.key("constants");
  w.begin_array();
  for (const FittedConstant& c : r.constants) {
    w.begin_object();
    w.key("value");
    w.value(c.value);
    w.key("std_error");
    w.value(c.std_error);
    w.end_object();
  }
  w.end_array();
  w.key("domain_share");
  w.value(r.domain_share);
  w.end_object();
  return w.take();
}

namespace {

// Four significant digits: enough to judge an uncertainty, short on a line.
std::string short_number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0.0 ? "inf" : "-inf";
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 4);
  return std::string(buf, res.ptr);
}

}  // namespace

std::string constants_text(const RefinedResult& r) {
  std::string out;
  if (r.constants.empty()) out += "none";
  for (size_t i = 0; i < r.constants.size(); ++i) {
    const FittedConstant& c = r.constants[i];
    out += (i ? ", " : "") + short_number(c.value) + " ± " + short_number(c.std_error);
    if (c.interval_includes_zero()) out += " (interval includes 0)";
  }
  return out;
}

std::string refined_report_text(const RefinedResult& r, const std::string& simplified) {
  std::string out = r.report.to_pretty();
  if (simplified != r.report.formula) out += "simplified: " + simplified + "\n";
  out += "rows set aside : " + format_integer(r.rows_set_aside) +
         "   finite share : " + format_fixed(r.finite_share, 4) + "\n";
  out += "generations : " + format_integer(r.generations) + " (" + stop_reason_name(r.stop) + ")\n";
  out += "operators : " + r.operators.text() + "\n";
  out += "constants : " + constants_text(r) + "\n";
  out += "domain share : " + format_fixed(r.domain_share, 4) + " of the training data's box\n";
  if (r.train.weighted())
    out += "weights : " + format_fixed(r.train.weight_total(), 4) +
           " summed over the training rows (the n of every BIC)\n";
  out += "front   :\n";
  for (const FrontEntry& e : r.front)
    out += "  k=" + format_integer(e.complexity) + "  train=" + format_fixed(e.mse_train, 6) +
           "  test=" + format_fixed(e.mse_test, 6) + "  BIC=" + format_fixed(e.bic, 2) + "  " +
           e.tree.formula() + "\n";
  return out;
}

}  // namespace quorvex
