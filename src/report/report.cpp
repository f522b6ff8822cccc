#include "report/report.h"

#include <charconv>
#include <string_view>

#include "text/json.h"
#include "text/numbers.h"

namespace quorvex {

const char* verdict_name(Verdict v) noexcept {
  switch (v) {
    case Verdict::Strong:
      return "Strong";
    case Verdict::Weak:
      return "Weak";
    case Verdict::Noise:
      return "Noise";
  }
  return "Noise";
}

double z_score(double bic, const BaselinesReport& baselines) noexcept {
  return baselines.bic_shuffled_std > 1e-9
             ? (bic - baselines.bic_shuffled_mean) / baselines.bic_shuffled_std
             : 0.0;
}

void DiscoverReport::classify() {
  // Strict comparisons: a NaN fails every test.
  verdict = Verdict::Noise;
  if (delta_bic_const < -10.0) {
    verdict = Verdict::Weak;
    if (delta_bic_linear < -10.0 && z_vs_shuffled < -2.0) verdict = Verdict::Strong;
  }
  std::string reason = "ΔBIC vs const = ";
  reason += format_fixed(delta_bic_const, 1);
  reason += ", vs linear = ";
  reason += format_fixed(delta_bic_linear, 1);
  reason += ", z vs shuffled = ";
  reason += format_fixed(z_vs_shuffled, 2);
  verdict_reason = std::move(reason);
}

std::string DiscoverReport::to_pretty() const {
  std::string out;
  out.reserve(512 + formula.size() + verdict_reason.size());
  out += "─── quorvex discovery report ";
  for (int i = 0; i < 28; ++i) out += "─";
  out += "\nformula : ";
  out += formula;
  out += "\nk       : ";
  out += format_integer(k);
  out += "\nMSE     : train=";
  out += format_fixed(mse_train, 6);
  out += " test=";
  out += format_fixed(mse_test, 6);
  out += "\nBIC     : ";
  out += format_fixed(bic, 2);
  out += "\nbaselines:\n  F=const           BIC = ";
  out += format_fixed(baselines.bic_const, 2);
  out += "\n  F=linear          BIC = ";
  out += format_fixed(baselines.bic_linear, 2);
  out += "\n  F=shuffled-target BIC = ";
  out += format_fixed(baselines.bic_shuffled_mean, 2);
  out += " ± ";
  out += format_fixed(baselines.bic_shuffled_std, 2);
  out += "\nΔBIC    : vs const = ";
  out += format_signed_fixed(delta_bic_const, 2);
  out += "   vs linear = ";
  out += format_signed_fixed(delta_bic_linear, 2);
  out += "   z vs shuffled = ";
  out += format_signed_fixed(z_vs_shuffled, 2);
  out += "\nverdict : ";
  out += verdict_name(verdict);
  out += "\nreason  : ";
  out += verdict_reason;
  out += "\nn_train = ";
  out += format_integer(n_train);
  out += "  n_test = ";
  out += format_integer(n_test);
  out += "  wall = ";
  out += format_integer(wall_clock_ms);
  out += " ms\n";
  return out;
}

std::string DiscoverReport::to_json() const {
  JsonWriter w(JsonWriter::Style::Pretty);
  w.begin_object();
  write_json_members(w);
  w.end_object();
  return w.take();
}

void DiscoverReport::write_json_members(JsonWriter& w) const {
  w.key("formula");
  w.value_string(formula);
  w.key("expr_json");
  w.value_string(expr_json);
  w.key("k");
  w.value_uint(k);
  w.key("mse_train");
  w.value(mse_train);
  w.key("mse_test");
  w.value(mse_test);
  w.key("bic");
  w.value(bic);
  w.key("baselines");
  w.begin_object();
  w.key("bic_const");
  w.value(baselines.bic_const);
  w.key("bic_linear");
  w.value(baselines.bic_linear);
  w.key("bic_shuffled_mean");
  w.value(baselines.bic_shuffled_mean);
  w.key("bic_shuffled_std");
  w.value(baselines.bic_shuffled_std);
  w.end_object();
  w.key("delta_bic_const");
  w.value(delta_bic_const);
  w.key("delta_bic_linear");
  w.value(delta_bic_linear);
  w.key("z_vs_shuffled");
  w.value(z_vs_shuffled);
  w.key("verdict");
  w.value_string(verdict_name(verdict));
  w.key("verdict_reason");
  w.value_string(verdict_reason);
  w.key("n_train");
  w.value_uint(n_train);
  w.key("n_test");
  w.value_uint(n_test);
  w.key("wall_clock_ms");
  w.value_uint(wall_clock_ms);
}

}  // namespace quorvex
