#include "predict.h"

#include <string>
#include <vector>

#include "csv.h"
#include "dataset/dataset.h"
#include "expr/parse.h"
#include "expr/read_json.h"

namespace quorvex::cli {
namespace {

Expr read_model(const std::string& model_file) {
  const std::string text = read_input(model_file);
  // Anything but a JSON object is a formula's text.
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos || text[first] != '{') {
    try {
      return parse_formula(text);
    } catch (const FormulaError& e) {
      throw CommandError(model_file + ": byte " + decimal(e.offset()) + ": " + e.what(),
                         kExitBadInput);
    }
  }
  try {
    return model_expression(text);
  } catch (const JsonError& e) {
    std::string where = model_file;
    if (e.offset() != JsonError::npos) where += ": byte " + decimal(e.offset());
    throw CommandError(where + ": " + e.what(), kExitBadInput);
  }
}

}  // namespace

void run_predict(const Options& opt) {
  const Expr expr = read_model(*opt.predict);
  const std::string text = read_input(opt.file);
  csv::CsvTable table;
  try {
    const csv::Header header = csv::parse_header(text, opt.separator);
    std::vector<size_t> columns;
    for (const std::string& name : expression_features(expr)) {
      size_t found = header.names.size();
      for (size_t c = 0; c < header.names.size(); ++c) {
        if (header.names[c] != name) continue;
        if (found != header.names.size())
          throw csv::CsvError("the formula reads " + csv::quoted_excerpt(name) +
                                  ", which names more than one column",
                              1, c + 1);
        found = c;
      }
      if (found == header.names.size())
        throw csv::CsvError("the formula reads " + csv::quoted_excerpt(name) +
                            ", which is not a column of the file");
      columns.push_back(found);
    }
    table = csv::parse_rows(text, header, columns);
  } catch (const csv::CsvError& e) {
    throw CommandError(csv::describe(shown_input(opt), e), kExitBadInput);
  }
  Dataset data;
  for (const std::string& column : table.header) data.add_feature(column);
  data.reserve_rows(table.n_rows());
  const double none = 0.0;  // a row of no cells still needs an address
  for (size_t r = 0; r < table.n_rows(); ++r)
    data.push_row(table.n_columns() == 0 ? &none : &table.cells[r * table.n_columns()], 0.0);
  std::string out = "prediction\n";
  for (size_t r = 0; r < data.n_rows(); ++r) out += shortest(expr.evaluate(data.row(r))) + "\n";
  write_stdout(out);
}

}  // namespace quorvex::cli
