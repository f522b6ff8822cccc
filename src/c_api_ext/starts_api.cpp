#include <cmath>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "c_api_ext/handles.h"
#include "c_api_ext/options.h"
#include "expr/read_json.h"
#include "parallel/fp_state.h"
#include "refine/shared.h"
#include "refine/starts.h"

namespace {

using quorvex::JsonValue;
using quorvex::ext::fail;

[[noreturn]] void bad_report(size_t i, const std::string& why) {
  fail(QVX_ERR_DATA, "reports_json[" + std::to_string(i) + "]: " + why);
}

const JsonValue& member(const JsonValue& report, std::string_view key, JsonValue::Type type,
                        size_t i) {
  const JsonValue* v = report.find(key);
  if (v == nullptr || v->type != type)
    bad_report(i, "not a refined JSON report (no valid " + std::string(key) + " member)");
  return *v;
}

// A whole number from 0 to `most`, as the report writes counts.
uint64_t count_member(const JsonValue& report, std::string_view key, double most, size_t i) {
  const double v = member(report, key, JsonValue::Type::Number, i).number;
  if (!(v >= 0.0 && v <= most && std::floor(v) == v))
    bad_report(i, std::string(key) + " is not a count");
  return static_cast<uint64_t>(v);
}

quorvex::StopReason stop_of(const std::string& name, size_t i) {
  using quorvex::StopReason;
  for (StopReason r : {StopReason::Generations, StopReason::Patience, StopReason::Exact,
                       StopReason::TimeLimit, StopReason::Callback})
    if (name == quorvex::stop_reason_name(r)) return r;
  bad_report(i, "unknown stop reason \"" + name + "\"");
}

// What the merge takes from report i, checked against the rows and operators
// of the options: a report of another discovery cannot be merged.
quorvex::StartOutcome read_report(const std::string& text, size_t i, size_t n_train,
                                  double mse_floor, const std::string& operators) {
  JsonValue report;
  try {
    report = quorvex::parse_json(text);
  } catch (const quorvex::JsonError& e) {
    bad_report(i, e.what());
  }
  if (report.type != JsonValue::Type::Object) bad_report(i, "not a JSON object");
  if (member(report, "search", JsonValue::Type::String, i).text != "refined")
    bad_report(i, "not the report of a refined search");
  if (count_member(report, "n_train", 9007199254740992.0, i) != n_train ||
      member(report, "mse_floor", JsonValue::Type::Number, i).number != mse_floor)
    bad_report(i,
               "a discovery on other rows (its n_train or mse_floor differ): same dataset, "
               "seed and test_fraction needed");
  if (member(report, "operators", JsonValue::Type::String, i).text != operators)
    bad_report(i, "a discovery with other operators");
  quorvex::StartOutcome out;
  out.generations = static_cast<uint32_t>(count_member(report, "generations", 4294967295.0, i));
  out.wall_clock_ms = count_member(report, "wall_clock_ms", 9007199254740992.0, i);
  out.stop = stop_of(member(report, "stop_reason", JsonValue::Type::String, i).text, i);
  for (const JsonValue& entry : member(report, "front", JsonValue::Type::Array, i).items) {
    if (entry.type != JsonValue::Type::Object) bad_report(i, "a front entry is not an object");
    try {
      out.front.push_back(
          quorvex::model_expression(member(entry, "expr_json", JsonValue::Type::String, i).text));
    } catch (const quorvex::JsonError& e) {
      bad_report(i, std::string("a front formula: ") + e.what());
    }
  }
  return out;
}

}  // namespace

extern "C" {

QVX_API int32_t qvx_merge_starts(const qvx_dataset* ds, const qvx_options* options,
                                 const char* const* reports_json, size_t k,
                                 qvx_result** out) noexcept {
  return quorvex::ext::guarded_status([&] {
    if (ds == nullptr) fail(QVX_ERR_ARGUMENT, "ds is NULL");
    if (out == nullptr) fail(QVX_ERR_ARGUMENT, "out is NULL");
    quorvex::ext::Settings s = quorvex::ext::read_options(options);
    if (s.search != QVX_SEARCH_REFINED)
      fail(QVX_ERR_ARGUMENT, "only refined searches have starts to merge");
    quorvex::ext::take_units(s, ds->units);
    if (reports_json == nullptr) fail(QVX_ERR_ARGUMENT, "reports_json is NULL");
    if (k == 0) fail(QVX_ERR_ARGUMENT, "k is 0: no report to merge");
    std::vector<std::string> texts;
    for (size_t i = 0; i < k; ++i)
      texts.push_back(quorvex::ext::utf8_argument(
          reports_json[i], ("reports_json[" + std::to_string(i) + "]").c_str()));
    // The rows the reports must have been trained on: those of the options.
    quorvex::RefinedResult rows;
    {
      const quorvex::FpStateGuard fixed_state;  // the floor as the search computes it
      quorvex::prepare(ds->data, s.refined, rows);
    }
    std::vector<quorvex::StartOutcome> starts;
    for (size_t i = 0; i < k; ++i)
      starts.push_back(read_report(texts[i], i, rows.train.n_rows(), rows.mse_floor,
                                   s.refined.operators.text()));
    auto result = std::make_unique<qvx_result>();
    result->search = QVX_SEARCH_REFINED;
    result->result = quorvex::merge_starts(ds->data, s.refined, starts);
    result->simplified = result->result.report.formula;
    *out = result.release();
  });
}

}  // extern "C"
