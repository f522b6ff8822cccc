#include <string>
#include <vector>

#include "c_api_ext/handles.h"
#include "expr/compiled.h"
#include "expr/read_json.h"
#include "parallel/fp_state.h"

using quorvex::ext::fail;
using quorvex::ext::guarded_status;
using quorvex::ext::utf8_argument;

extern "C" {

QVX_API int32_t qvx_predict(const char* formula_json, size_t n_features, const char* const* names,
                            const double* const* columns, size_t n_rows, double* out) noexcept {
  return guarded_status([&] {
    const std::string text = utf8_argument(formula_json, "formula_json");
    if (n_features > 0 && names == nullptr) fail(QVX_ERR_ARGUMENT, "names is NULL");
    if (n_features > 0 && columns == nullptr) fail(QVX_ERR_ARGUMENT, "columns is NULL");
    if (n_rows > 0 && out == nullptr) fail(QVX_ERR_ARGUMENT, "out is NULL");
    std::vector<std::string> given(n_features);
    for (size_t j = 0; j < n_features; ++j) {
      given[j] = utf8_argument(names[j], ("names[" + std::to_string(j) + "]").c_str());
      if (n_rows > 0 && columns[j] == nullptr)
        fail(QVX_ERR_ARGUMENT, "columns[" + std::to_string(j) + "] is NULL");
    }
    quorvex::Expr tree = quorvex::Expr::constant(0.0);
    try {
      tree = quorvex::model_expression(text);
    } catch (const quorvex::JsonError& e) {
      fail(QVX_ERR_DATA, std::string("formula_json: ") + e.what());
    }
    // Only the columns the formula reads are copied; a repeated name reads
    // its later column, as in a dataset.
    quorvex::Dataset data;
    std::vector<const double*> sources;
    for (const std::string& name : quorvex::expression_features(tree)) {
      size_t j = n_features;
      while (j > 0 && given[j - 1] != name) --j;
      if (j == 0)
        fail(QVX_ERR_DATA,
             "the formula reads the feature \"" + name + "\", which is not among the names");
      data.add_feature(name);
      sources.push_back(columns[j - 1]);
    }
    if (n_rows == 0) return;
    data.reserve_rows(n_rows);
    std::vector<double> row(sources.size());
    for (size_t i = 0; i < n_rows; ++i) {
      for (size_t c = 0; c < sources.size(); ++c) row[c] = sources[c][i];
      data.push_row(row.data(), 0.0);
    }
    // The state the search evaluated in, so that the values are its own.
    const quorvex::FpStateGuard fixed_state;
    quorvex::CompiledExpr program;
    program.compile(tree, data);
    quorvex::evaluate_rows(program, n_rows, out);
  });
}

}  // extern "C"
