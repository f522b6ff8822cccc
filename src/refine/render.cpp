#include "refine/render.h"

#include <charconv>
#include <cmath>

#include "assess/assess.h"
#include "baselines/baselines.h"
#include "refine/display.h"
#include "refine/scaled.h"
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
  if (r.units.declared) {
    w.key("units");
    w.value_string(r.units.target.text());
    w.key("dimensional_constants");
    w.value_uint(r.units.dimensional_constants);
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
    w.value_string(e.shown.empty() ? e.tree.formula() : e.shown);
    w.key("latex");
    w.value_string(e.latex);
    w.key("expr_json");
    w.value_string(e.tree.to_json());
    w.end_object();
  }
  w.end_array();
  w.key("constants");
  w.begin_array();
  for (size_t i = 0; i < r.constants.size(); ++i) {
    const FittedConstant& c = r.constants[i];
    w.begin_object();
    w.key("value");
    w.value(c.value);
    w.key("std_error");
    w.value(c.std_error);
    if (i < r.constant_units.size()) {
      w.key("units");
      w.value_string(r.constant_units[i].text());
    }
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

std::string units_text(const RefinedResult& r) {
  std::string out = r.units.target.text();
  if (r.constant_units.empty()) return out;
  out += " (constants:";
  for (size_t i = 0; i < r.constant_units.size(); ++i)
    out += (i ? ", " : " ") + r.constant_units[i].text();
  return out + ")";
}

std::string refined_report_text(const RefinedResult& r, const std::string& simplified) {
  std::string out = r.report.to_pretty();
  if (simplified != r.report.formula) out += "simplified: " + simplified + "\n";
  out += "rows set aside : " + format_integer(r.rows_set_aside) +
         "   finite share : " + format_fixed(r.finite_share, 4) + "\n";
  out += "generations : " + format_integer(r.generations) + " (" + stop_reason_name(r.stop) + ")\n";
  out += "operators : " + r.operators.text() + "\n";
  out += "constants : " + constants_text(r) + "\n";
  if (r.units.declared) out += "units : " + units_text(r) + "\n";
  out += "domain share : " + format_fixed(r.domain_share, 4) + " of the training data's box\n";
  if (r.train.weighted())
    out += "weights : " + format_fixed(r.train.weight_total(), 4) +
           " summed over the training rows (the n of every BIC)\n";
  for (const std::string& line : front_table(r)) out += line + "\n";
  return out;
}

namespace {

std::string padded(std::string s, size_t width) {
  if (s.size() < width) s.insert(0, width - s.size(), ' ');
  return s;
}

// The mean of the training targets, as the search's own constant model.
FrontEntry constant_entry(const RefinedResult& r) {
  FrontEntry e;
  e.tree = Expr::constant(const_predictor(r.train).first);
  e.complexity = 1;
  e.mse_train = finite_row_mse(e.tree, r.train);
  e.mse_test = finite_row_mse(e.tree, r.test);
  e.bic = refined_bic(e.mse_train, r.train.n_rows(), 1, r.mse_floor);
  e.shown = shown_number(e.tree.value());
  e.latex = e.shown;
  return e;
}

}  // namespace

std::vector<std::string> front_table(const RefinedResult& r, bool latex) {
  std::vector<std::string> lines;
  lines.push_back("front   : the best formula of each complexity (* the one reported)");
  lines.push_back("  complexity   MSE train    MSE test           BIC  formula");
  const auto line = [&](const FrontEntry& e, bool chosen) {
    const std::string& f = latex ? e.latex : e.shown;
    lines.push_back((chosen ? "* " : "  ") + padded(format_integer(e.complexity), 10) + "  " +
                    padded(format_sci5(e.mse_train), 10) + "  " +
                    padded(format_sci5(e.mse_test), 10) + "  " +
                    padded(format_fixed(e.bic, 3), 12) + "  " + (f.empty() ? e.tree.formula() : f));
  };
  const bool has_constant = !r.front.empty() && r.front[0].tree.kind() == Expr::Kind::Const;
  if (!has_constant && r.train.n_rows() > 0) line(constant_entry(r), false);
  const double noise =
      2.0 * std::sqrt(2.0 / static_cast<double>(std::max<size_t>(r.train.n_rows(), 1)));
  const FrontEntry* kept = nullptr;
  bool past_chosen = false;
  size_t trimmed = 0;
  for (const FrontEntry& e : r.front) {
    const bool chosen = e.complexity == r.report.k && e.bic == r.report.bic;
    if (kept && !chosen &&
        (e.mse_train >= kept->mse_train * (1.0 - 1e-12) ||
         (!e.shown.empty() && e.shown == kept->shown)))
      continue;
    if (trimmed > 0 || (past_chosen && !(e.mse_train < kept->mse_train * (1.0 - noise)))) {
      ++trimmed;
      continue;
    }
    line(e, chosen);
    kept = &e;
    past_chosen = past_chosen || chosen;
  }
  if (trimmed > 0)
    lines.push_back("  (" + format_integer(trimmed) + " more complex " +
                    (trimmed == 1 ? "entry" : "entries") +
                    " no better beyond the noise: in the JSON report)");
  return lines;
}

}  // namespace quorvex
