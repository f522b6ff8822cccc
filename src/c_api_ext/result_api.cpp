#include <cmath>
#include <limits>
#include <string>

#include "c_api_ext/handles.h"
#include "text/json.h"
#include "text/numbers.h"

namespace {

using quorvex::ext::fail;
using quorvex::ext::guarded;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const qvx_result& live(const qvx_result* r) {
  if (r == nullptr) fail(QVX_ERR_ARGUMENT, "result is NULL");
  return *r;
}

[[noreturn]] void unknown_field(int32_t field) {
  fail(QVX_ERR_ARGUMENT, "unknown field " + std::to_string(field));
}

const quorvex::FrontEntry& front_entry(const qvx_result& r, size_t index) {
  if (index >= r.front.size())
    fail(QVX_ERR_ARGUMENT, "front index " + std::to_string(index) + " is not below the front's " +
                               std::to_string(r.front.size()) + " entries");
  return r.front[index];
}

// The refined text report: the classic lines, then what the refined search adds.
std::string refined_pretty(const qvx_result& r) {
  using quorvex::format_fixed;
  using quorvex::format_integer;
  std::string out = r.report.to_pretty();
  if (r.simplified != r.report.formula) out += "simplified: " + r.simplified + "\n";
  out += "rows set aside : " + format_integer(r.rows_set_aside) +
         "   finite share : " + format_fixed(r.finite_share, 4) + "\n";
  out += "generations : " + format_integer(r.generations) + " (" +
         quorvex::stop_reason_name(r.stop) + ")\n";
  out += "front   :\n";
  for (const quorvex::FrontEntry& e : r.front)
    out += "  k=" + format_integer(e.complexity) + "  train=" + format_fixed(e.mse_train, 6) +
           "  test=" + format_fixed(e.mse_test, 6) + "  BIC=" + format_fixed(e.bic, 2) + "  " +
           e.tree.formula() + "\n";
  return out;
}

// The refined JSON report: the classic members in their order, then the
// refined ones (the header documents the schema).
std::string refined_json(const qvx_result& r) {
  const quorvex::DiscoverReport& d = r.report;
  quorvex::JsonWriter w(quorvex::JsonWriter::Style::Pretty);
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
  w.value_string(quorvex::verdict_name(d.verdict));
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
  w.value_string(quorvex::stop_reason_name(r.stop));
  w.key("mse_floor");
  w.value(r.mse_floor);
  w.key("front");
  w.begin_array();
  for (const quorvex::FrontEntry& e : r.front) {
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

}  // namespace

extern "C" {

QVX_API int32_t qvx_result_verdict(const qvx_result* result) noexcept {
  return guarded<int32_t>(-1,
                          [&] { return 2 - static_cast<int32_t>(live(result).report.verdict); });
}

QVX_API double qvx_result_number(const qvx_result* result, int32_t field) noexcept {
  return guarded<double>(kNaN, [&] {
    const qvx_result& r = live(result);
    const quorvex::DiscoverReport& d = r.report;
    switch (field) {
      case QVX_MSE_TRAIN:
        return d.mse_train;
      case QVX_MSE_TEST:
        return d.mse_test;
      case QVX_BIC:
        return d.bic;
      case QVX_DELTA_BIC_CONST:
        return d.delta_bic_const;
      case QVX_DELTA_BIC_LINEAR:
        return d.delta_bic_linear;
      case QVX_Z_VS_SHUFFLED:
        return d.z_vs_shuffled;
      case QVX_BIC_CONST:
        return d.baselines.bic_const;
      case QVX_BIC_LINEAR:
        return d.baselines.bic_linear;
      case QVX_BIC_SHUFFLED_MEAN:
        return d.baselines.bic_shuffled_mean;
      case QVX_BIC_SHUFFLED_STD:
        return d.baselines.bic_shuffled_std;
      case QVX_FINITE_SHARE:
        return r.finite_share;
      case QVX_MSE_FLOOR:
        return r.mse_floor;
    }
    unknown_field(field);
  });
}

QVX_API uint64_t qvx_result_count(const qvx_result* result, int32_t field) noexcept {
  return guarded<uint64_t>(0, [&]() -> uint64_t {
    const qvx_result& r = live(result);
    switch (field) {
      case QVX_SEARCH:
        return static_cast<uint64_t>(r.search);
      case QVX_K:
        return r.report.k;
      case QVX_N_TRAIN:
        return r.report.n_train;
      case QVX_N_TEST:
        return r.report.n_test;
      case QVX_ROWS_SET_ASIDE:
        return r.rows_set_aside;
      case QVX_GENERATIONS:
        return r.generations;
      case QVX_FRONT_SIZE:
        return r.front.size();
      case QVX_WALL_CLOCK_MS:
        return r.report.wall_clock_ms;
      case QVX_STOP_REASON:
        return static_cast<uint64_t>(r.stop);
    }
    unknown_field(field);
  });
}

QVX_API char* qvx_result_text(const qvx_result* result, int32_t field) noexcept {
  return guarded<char*>(nullptr, [&] {
    const qvx_result& r = live(result);
    const bool classic = r.search == QVX_SEARCH_CLASSIC;
    std::string text;
    switch (field) {
      case QVX_FORMULA:
        text = r.report.formula;
        break;
      case QVX_EXPR_JSON:
        text = r.report.expr_json;
        break;
      case QVX_SIMPLIFIED:
        text = r.simplified;
        break;
      case QVX_PRETTY:
        text = classic ? r.report.to_pretty() : refined_pretty(r);
        break;
      case QVX_JSON:
        text = classic ? r.report.to_json() : refined_json(r);
        break;
      case QVX_VERDICT_REASON:
        text = r.report.verdict_reason;
        break;
      case QVX_STOP_NAME:
        text = quorvex::stop_reason_name(r.stop);
        break;
      default:
        unknown_field(field);
    }
    return quorvex::ext::to_c_string(text);
  });
}

QVX_API double qvx_front_number(const qvx_result* result, size_t index, int32_t field) noexcept {
  return guarded<double>(kNaN, [&] {
    const quorvex::FrontEntry& e = front_entry(live(result), index);
    switch (field) {
      case QVX_FRONT_COMPLEXITY:
        return static_cast<double>(e.complexity);
      case QVX_FRONT_MSE_TRAIN:
        return e.mse_train;
      case QVX_FRONT_MSE_TEST:
        return e.mse_test;
      case QVX_FRONT_BIC:
        return e.bic;
    }
    unknown_field(field);
  });
}

QVX_API char* qvx_front_text(const qvx_result* result, size_t index, int32_t field) noexcept {
  return guarded<char*>(nullptr, [&] {
    const quorvex::FrontEntry& e = front_entry(live(result), index);
    if (field == QVX_FORMULA) return quorvex::ext::to_c_string(e.tree.formula());
    if (field == QVX_EXPR_JSON) return quorvex::ext::to_c_string(e.tree.to_json());
    unknown_field(field);
  });
}

}  // extern "C"
