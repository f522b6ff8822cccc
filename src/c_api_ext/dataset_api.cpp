#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "c_api_ext/handles.h"

using quorvex::ext::fail;
using quorvex::ext::guarded;
using quorvex::ext::guarded_status;
using quorvex::ext::utf8_argument;

extern "C" {

QVX_API qvx_dataset* qvx_dataset_new(const char* target_name) noexcept {
  return guarded<qvx_dataset*>(nullptr, [&] {
    return new qvx_dataset{quorvex::Dataset(utf8_argument(target_name, "target_name")), {}};
  });
}

QVX_API qvx_dataset* qvx_dataset_from_columns(const char* target_name, size_t n_features,
                                              const char* const* names,
                                              const double* const* columns, const double* target,
                                              size_t n_rows) noexcept {
  return guarded<qvx_dataset*>(nullptr, [&] {
    if (n_features > 0 && names == nullptr) fail(QVX_ERR_ARGUMENT, "names is NULL");
    if (n_features > 0 && columns == nullptr) fail(QVX_ERR_ARGUMENT, "columns is NULL");
    if (n_rows > 0 && target == nullptr) fail(QVX_ERR_ARGUMENT, "target is NULL");
    auto ds = std::make_unique<qvx_dataset>(
        qvx_dataset{quorvex::Dataset(utf8_argument(target_name, "target_name")), {}});
    for (size_t j = 0; j < n_features; ++j) {
      const std::string what = "names[" + std::to_string(j) + "]";
      ds->data.add_feature(utf8_argument(names[j], what.c_str()));
      if (n_rows > 0 && columns[j] == nullptr)
        fail(QVX_ERR_ARGUMENT, "columns[" + std::to_string(j) + "] is NULL");
    }
    ds->data.reserve_rows(n_rows);
    std::vector<double> row(n_features);
    for (size_t i = 0; i < n_rows; ++i) {
      for (size_t j = 0; j < n_features; ++j) row[j] = columns[j][i];
      ds->data.push_row(row.data(), target[i]);
    }
    return ds.release();
  });
}

QVX_API int32_t qvx_dataset_add_feature(qvx_dataset* ds, const char* name) noexcept {
  return guarded_status([&] {
    if (ds == nullptr) fail(QVX_ERR_ARGUMENT, "ds is NULL");
    ds->data.add_feature(utf8_argument(name, "name"));
  });
}

QVX_API int32_t qvx_dataset_push_row(qvx_dataset* ds, const double* values,
                                     double target) noexcept {
  return guarded_status([&] {
    if (ds == nullptr) fail(QVX_ERR_ARGUMENT, "ds is NULL");
    if (values == nullptr) fail(QVX_ERR_ARGUMENT, "values is NULL");
    ds->data.push_row(values, target);
  });
}

QVX_API size_t qvx_dataset_n_rows(const qvx_dataset* ds) noexcept {
  return guarded<size_t>(0, [&] {
    if (ds == nullptr) fail(QVX_ERR_ARGUMENT, "ds is NULL");
    return ds->data.n_rows();
  });
}

QVX_API size_t qvx_dataset_n_features(const qvx_dataset* ds) noexcept {
  return guarded<size_t>(0, [&] {
    if (ds == nullptr) fail(QVX_ERR_ARGUMENT, "ds is NULL");
    return ds->data.features().size();
  });
}

QVX_API int32_t qvx_dataset_set_weights(qvx_dataset* ds, const double* weights,
                                        size_t n_rows) noexcept {
  return guarded_status([&] {
    if (ds == nullptr) fail(QVX_ERR_ARGUMENT, "ds is NULL");
    if (n_rows == 0) {
      ds->data.drop_weights();
      return;
    }
    if (n_rows != ds->data.n_rows())
      fail(QVX_ERR_ARGUMENT, "n_rows is " + std::to_string(n_rows) + " but the dataset has " +
                                 std::to_string(ds->data.n_rows()) + " rows");
    if (weights == nullptr) fail(QVX_ERR_ARGUMENT, "weights is NULL");
    for (size_t i = 0; i < n_rows; ++i)
      if (!(weights[i] >= 0.0) || !std::isfinite(weights[i]))
        fail(QVX_ERR_ARGUMENT, "weights[" + std::to_string(i) + "] is " +
                                   (std::isnan(weights[i])   ? std::string("NaN")
                                    : std::isinf(weights[i]) ? std::string("infinite")
                                                             : std::string("negative")) +
                                   ": weights must be finite and at least 0");
    ds->data.set_weights(std::vector<double>(weights, weights + n_rows));
  });
}

QVX_API int32_t qvx_dataset_set_units(qvx_dataset* ds, const char* const* feature_units,
                                      size_t n_units, const char* target_unit,
                                      uint32_t dimensional_constants) noexcept {
  return guarded_status([&] {
    if (ds == nullptr) fail(QVX_ERR_ARGUMENT, "ds is NULL");
    if (feature_units == nullptr && target_unit == nullptr) {
      ds->units = quorvex::DeclaredUnits{};
      return;
    }
    const std::vector<std::string>& names = ds->data.features();
    if (n_units != names.size())
      fail(QVX_ERR_ARGUMENT, "n_units is " + std::to_string(n_units) + " but the dataset has " +
                                 std::to_string(names.size()) + " features");
    if (n_units > 0 && feature_units == nullptr) fail(QVX_ERR_ARGUMENT, "feature_units is NULL");
    if (dimensional_constants > quorvex::kMaxDimensionalConstants)
      fail(QVX_ERR_ARGUMENT, "dimensional_constants is " + std::to_string(dimensional_constants) +
                                 ": at most " + std::to_string(quorvex::kMaxDimensionalConstants));
    // A feature added twice (names may repeat) needs one unit.
    std::vector<std::pair<std::string, std::string>> units;
    std::vector<std::string> distinct;
    for (size_t i = 0; i < n_units; ++i) {
      const std::string text =
          utf8_argument(feature_units[i], ("feature_units[" + std::to_string(i) + "]").c_str());
      bool seen = false;
      for (const auto& [name, unit] : units) {
        if (name != names[i]) continue;
        seen = true;
        if (quorvex::parse_unit(unit) != quorvex::parse_unit(text))
          fail(QVX_ERR_ARGUMENT, "the feature \"" + name + "\" is given two units");
      }
      if (!seen) units.emplace_back(names[i], text), distinct.push_back(names[i]);
    }
    quorvex::DeclaredUnits declared;
    try {
      declared = quorvex::read_units(distinct, units, ds->data.target_name(),
                                     target_unit ? utf8_argument(target_unit, "target_unit") : "");
    } catch (const std::invalid_argument& e) {
      fail(QVX_ERR_ARGUMENT, e.what());
    }
    declared.dimensional_constants = dimensional_constants;
    ds->units = std::move(declared);
  });
}

QVX_API void qvx_dataset_free(qvx_dataset* ds) noexcept { delete ds; }

}  // extern "C"
