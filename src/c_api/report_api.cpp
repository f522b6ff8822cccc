#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "c_api/handles.h"
#include "optimizer/discover.h"
#include "quorvex.h"

namespace {

// Hands a text to the host in a buffer quorvex_string_free releases; a text
// holding a NUL byte cannot be a C string and gives NULL.
char* to_c_string(const std::string& text) {
  if (text.find('\0') != std::string::npos) return nullptr;
  char* out = static_cast<char*>(std::malloc(text.size() + 1));
  if (out == nullptr) std::abort();  // out of memory ends the process
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return out;
}

}  // namespace

extern "C" {

QUORVEX_API CReport* quorvex_discover(const CDataset* ds, uint32_t generations, size_t population,
                                      uint32_t max_depth, uint64_t seed,
                                      double test_fraction) noexcept {
  if (ds == nullptr) return nullptr;
  const auto config = quorvex::DiscoverConfig::from_c_arguments(generations, population, max_depth,
                                                                seed, test_fraction);
  auto report = std::make_unique<quorvex::DiscoverReport>(
      quorvex::discover(quorvex::Dataset(*ds->dataset), config).report);
  return new CReport{std::move(report)};
}

QUORVEX_API char* quorvex_report_formula(const CReport* report) noexcept {
  return report == nullptr ? nullptr : to_c_string(report->report->formula);
}

QUORVEX_API char* quorvex_report_pretty(const CReport* report) noexcept {
  return report == nullptr ? nullptr : to_c_string(report->report->to_pretty());
}

QUORVEX_API char* quorvex_report_json(const CReport* report) noexcept {
  return report == nullptr ? nullptr : to_c_string(report->report->to_json());
}

QUORVEX_API int32_t quorvex_report_verdict(const CReport* report) noexcept {
  if (report == nullptr) return 0;
  return 2 - static_cast<int32_t>(report->report->verdict);
}

QUORVEX_API double quorvex_report_mse_train(const CReport* report) noexcept {
  return report == nullptr ? 0.0 : report->report->mse_train;
}

QUORVEX_API double quorvex_report_mse_test(const CReport* report) noexcept {
  return report == nullptr ? 0.0 : report->report->mse_test;
}

QUORVEX_API double quorvex_report_bic(const CReport* report) noexcept {
  return report == nullptr ? 0.0 : report->report->bic;
}

QUORVEX_API double quorvex_report_delta_bic_const(const CReport* report) noexcept {
  return report == nullptr ? 0.0 : report->report->delta_bic_const;
}

QUORVEX_API double quorvex_report_delta_bic_linear(const CReport* report) noexcept {
  return report == nullptr ? 0.0 : report->report->delta_bic_linear;
}

QUORVEX_API double quorvex_report_z_vs_shuffled(const CReport* report) noexcept {
  return report == nullptr ? 0.0 : report->report->z_vs_shuffled;
}

QUORVEX_API void quorvex_report_free(CReport* report) noexcept { delete report; }

QUORVEX_API void quorvex_string_free(char* s) noexcept { std::free(s); }

}  // extern "C"
