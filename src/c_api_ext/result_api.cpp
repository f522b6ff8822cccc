#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "c_api_ext/handles.h"
#include "refine/render.h"
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
  if (index >= r.result.front.size())
    fail(QVX_ERR_ARGUMENT, "front index " + std::to_string(index) + " is not below the front's " +
                               std::to_string(r.result.front.size()) + " entries");
  return r.result.front[index];
}

// The LaTeX of the reported entry of a refined front.
std::string chosen_latex(const quorvex::RefinedResult& r) {
  for (const quorvex::FrontEntry& e : r.front)
    if (e.complexity == r.report.k && e.bic == r.report.bic) return e.latex;
  return {};
}

}  // namespace

extern "C" {

QVX_API int32_t qvx_result_verdict(const qvx_result* result) noexcept {
  return guarded<int32_t>(
      -1, [&] { return 2 - static_cast<int32_t>(live(result).result.report.verdict); });
}

QVX_API double qvx_result_number(const qvx_result* result, int32_t field) noexcept {
  return guarded<double>(kNaN, [&] {
    const qvx_result& r = live(result);
    const quorvex::DiscoverReport& d = r.result.report;
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
        return r.result.finite_share;
      case QVX_MSE_FLOOR:
        return r.result.mse_floor;
      case QVX_DOMAIN_SHARE:
        return r.result.domain_share;
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
        return r.result.report.k;
      case QVX_N_TRAIN:
        return r.result.report.n_train;
      case QVX_N_TEST:
        return r.result.report.n_test;
      case QVX_ROWS_SET_ASIDE:
        return r.result.rows_set_aside;
      case QVX_GENERATIONS:
        return r.result.generations;
      case QVX_FRONT_SIZE:
        return r.result.front.size();
      case QVX_WALL_CLOCK_MS:
        return r.result.report.wall_clock_ms;
      case QVX_STOP_REASON:
        return static_cast<uint64_t>(r.result.stop);
      case QVX_N_CONSTANTS:
        return r.result.constants.size();
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
        text = r.result.report.formula;
        break;
      case QVX_EXPR_JSON:
        text = r.result.report.expr_json;
        break;
      case QVX_SIMPLIFIED:
        text = r.simplified;
        break;
      case QVX_PRETTY:
        text = classic ? r.result.report.to_pretty()
                       : quorvex::refined_report_text(r.result, r.simplified);
        break;
      case QVX_JSON:
        text = classic ? r.result.report.to_json() : quorvex::refined_report_json(r.result);
        break;
      case QVX_VERDICT_REASON:
        text = r.result.report.verdict_reason;
        break;
      case QVX_STOP_NAME:
        text = quorvex::stop_reason_name(r.result.stop);
        break;
      case QVX_LATEX:
        text = classic ? r.latex : chosen_latex(r.result);
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

QVX_API double qvx_constant_number(const qvx_result* result, size_t index, int32_t field) noexcept {
  return guarded<double>(kNaN, [&] {
    const std::vector<quorvex::FittedConstant>& all = live(result).result.constants;
    if (index >= all.size())
      fail(QVX_ERR_ARGUMENT, "constant index " + std::to_string(index) +
                                 " is not below the formula's " + std::to_string(all.size()) +
                                 " constants");
    switch (field) {
      case QVX_CONSTANT_VALUE:
        return all[index].value;
      case QVX_CONSTANT_STD_ERROR:
        return all[index].std_error;
    }
    unknown_field(field);
  });
}

QVX_API char* qvx_front_text(const qvx_result* result, size_t index, int32_t field) noexcept {
  return guarded<char*>(nullptr, [&] {
    const quorvex::FrontEntry& e = front_entry(live(result), index);
    if (field == QVX_FORMULA)
      return quorvex::ext::to_c_string(e.shown.empty() ? e.tree.formula() : e.shown);
    if (field == QVX_LATEX) return quorvex::ext::to_c_string(e.latex);
    if (field == QVX_EXPR_JSON) return quorvex::ext::to_c_string(e.tree.to_json());
    unknown_field(field);
  });
}

}  // extern "C"
