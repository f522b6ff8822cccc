#include "refine/render.h"

#include "text/json.h"

namespace quorvex {

std::string refined_report_json(const RefinedResult& r) {
  const DiscoverReport& d = r.report;
  JsonWriter w(JsonWriter::Style::Pretty);
  w.begin_object();
  w.key("formula");
  w.value_string(d.formula);
  w.key("expr_json");
  w.value_string(d.expr_json);
  w.key("k");
  w.value_uint(d.k);
  w.key("mse_train");
  w.value(d.mse_train);
  w.key("mse_test");
  w.value(d.mse_test);
  w.key("bic");
  w.value(d.bic);
  w.key("baselines");
  w.begin_object();
  w.key("bic_const");
  w.value(d.baselines.bic_const);
  w.key("bic_linear");
  w.value(d.baselines.bic_linear);
  w.key("bic_shuffled_mean");
  w.value(d.baselines.bic_shuffled_mean);
  w.key("bic_shuffled_std");
  w.value(d.baselines.bic_shuffled_std);
  w.end_object();
  w.key("delta_bic_const");
  w.value(d.delta_bic_const);
  w.key("delta_bic_linear");
  w.value(d.delta_bic_linear);
  w.key("z_vs_shuffled");
  w.value(d.z_vs_shuffled);
  w.key("verdict");
  w.value_string(verdict_name(d.verdict));
  w.key("verdict_reason");
  w.value_string(d.verdict_reason);
  w.key("n_train");
  w.value_uint(d.n_train);
  w.key("n_test");
  w.value_uint(d.n_test);
  w.key("wall_clock_ms");
  w.value_uint(d.wall_clock_ms);
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
  w.end_object();
  return w.take();
}

}  // namespace quorvex
