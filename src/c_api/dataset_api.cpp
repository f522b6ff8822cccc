#include <cstring>
#include <memory>
#include <string>

#include "c_api/handles.h"
#include "text/utf8.h"
#include "quorvex.h"

namespace {

// Copies a C string if it is valid UTF-8.
bool decode(const char* s, std::string& out) {
  const std::string_view bytes(s, std::strlen(s));
  if (!quorvex::is_valid_utf8(bytes)) return false;
  out.assign(bytes);
  return true;
}

}  // namespace

extern "C" {

QUORVEX_API CDataset* quorvex_dataset_new(const char* target_name) noexcept {
  if (target_name == nullptr) return nullptr;
  std::string name;
  if (!decode(target_name, name)) return nullptr;
  auto dataset = std::make_unique<quorvex::Dataset>(std::move(name));
  return new CDataset{std::move(dataset)};
}

QUORVEX_API int32_t quorvex_dataset_add_feature(CDataset* ds, const char* name) noexcept {
  if (ds == nullptr || name == nullptr) return -1;
  std::string copy;
  if (!decode(name, copy)) return -1;
  ds->dataset->add_feature(std::move(copy));
  return 0;
}

QUORVEX_API int32_t quorvex_dataset_push_row(CDataset* ds, const double* values,
                                             double target) noexcept {
  if (ds == nullptr || values == nullptr) return -1;
  ds->dataset->push_row(values, target);
  return 0;
}

QUORVEX_API size_t quorvex_dataset_n_rows(const CDataset* ds) noexcept {
  return ds == nullptr ? 0 : ds->dataset->n_rows();
}

QUORVEX_API void quorvex_dataset_free(CDataset* ds) noexcept { delete ds; }

}  // extern "C"
