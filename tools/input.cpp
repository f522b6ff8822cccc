#include "input.h"

#include <utility>
#include <vector>

#include "csv.h"
#include "files.h"

namespace quorvex::cli {
namespace {

// The chosen columns, features first, then the weights (--weights), the
// target last.
csv::CsvTable read_table(const Options& opt, const std::string& text,
                         const csv::Selection& selection) {
  try {
    const csv::Header header = csv::parse_header(text, opt.separator);
    const csv::Columns chosen = csv::select_columns(header.names, selection);
    std::vector<size_t> columns = chosen.features;
    if (chosen.weights) columns.push_back(*chosen.weights);
    columns.push_back(chosen.target);
    return csv::parse_rows(text, header, columns, chosen.target, !selection.target);
  } catch (const csv::CsvError& e) {
    throw CommandError(csv::describe(shown_input(opt), e), kExitBadInput);
  }
}

// "lines 4, 9, 12" for the first few rows, then how many more.
std::string line_list(const std::vector<size_t>& rows) {
  constexpr size_t kShown = 5;
  std::string out = rows.size() == 1 ? "line " : "lines ";
  for (size_t i = 0; i < rows.size() && i < kShown; ++i)
    out += (i == 0 ? "" : ", ") + decimal(csv::CsvTable::line_of(rows[i]));
  if (rows.size() > kShown) out += " and " + decimal(rows.size() - kShown) + " more";
  return out;
}

// A NaN, an infinity or a huge value would make every formula score +inf on
// its row and the baselines meaningless: stop, or set such rows aside when
// asked. Returns the note saying how many were set aside (empty if none).
std::string set_aside_unusable_rows(csv::CsvTable& table, const Options& opt) {
  const size_t width = table.n_columns();
  std::vector<size_t> bad_rows;
  std::vector<size_t> bad_in_column(width, 0);
  for (size_t r = 0; r < table.n_rows(); ++r) {
    bool bad = false;
    for (size_t c = 0; c < width; ++c)
      if (!csv::is_usable(table.at(r, c))) {
        ++bad_in_column[c];
        bad = true;
      }
    if (bad) bad_rows.push_back(r);
  }
  if (bad_rows.empty()) return {};
  const std::string what = decimal(bad_rows.size()) + " of " + decimal(table.n_rows()) +
                           (table.n_rows() == 1 ? " row" : " rows");
  if (!opt.drop_missing) {
    std::string columns;
    for (size_t c = 0; c < width; ++c)
      if (bad_in_column[c] > 0)
        columns += (columns.empty() ? "" : ", ") + csv::quoted_excerpt(table.header[c]) + " in " +
                   decimal(bad_in_column[c]) + (bad_in_column[c] == 1 ? " row" : " rows");
    throw CommandError(
        shown_input(opt) + ": " + what + (bad_rows.size() == 1 ? " has" : " have") +
            " a missing or unusable value (empty, NA, NaN, inf, or beyond ±1e100): " +
            line_list(bad_rows) + " (columns " + columns +
            "); --drop-missing sets these rows aside, --exclude leaves a column out",
        kExitBadInput);
  }
  if (bad_rows.size() == table.n_rows())
    throw CommandError(shown_input(opt) +
                           ": every row has a missing or unusable value; no row "
                           "is left to search",
                       kExitBadInput);
  std::vector<double> kept;
  kept.reserve((table.n_rows() - bad_rows.size()) * width);
  for (size_t r = 0, b = 0; r < table.n_rows(); ++r) {
    if (b < bad_rows.size() && bad_rows[b] == r) {
      ++b;
      continue;
    }
    kept.insert(kept.end(), table.cells.begin() + r * width, table.cells.begin() + (r + 1) * width);
  }
  table.cells = std::move(kept);
  table.rows -= bad_rows.size();
  return "dropped : " + what + " with a missing or unusable value (" + line_list(bad_rows) + ")";
}

// Features in table order, the target from the last column, the weights
// from the one before it when `weighted`.
Dataset to_dataset(const csv::CsvTable& table, bool weighted) {
  const size_t target = table.n_columns() - 1;
  const size_t n_features = weighted ? target - 1 : target;
  Dataset data(table.header[target]);
  for (size_t c = 0; c < n_features; ++c) data.add_feature(table.header[c]);
  data.reserve_rows(table.n_rows());
  for (size_t r = 0; r < table.n_rows(); ++r)
    data.push_row(&table.cells[r * table.n_columns()], table.at(r, target));
  if (!weighted) return data;
  std::vector<double> weights(table.n_rows());
  for (size_t r = 0; r < table.n_rows(); ++r) weights[r] = table.at(r, n_features);
  data.set_weights(std::move(weights));
  return data;
}

// A negative weight stops the command; missing ones are unusable values like
// any other (see set_aside_unusable_rows).
void refuse_negative_weights(const csv::CsvTable& table, const Options& opt) {
  const size_t column = table.n_columns() - 2;
  std::vector<size_t> negative;
  for (size_t r = 0; r < table.n_rows(); ++r)
    if (table.at(r, column) < 0.0) negative.push_back(r);
  if (!negative.empty())
    throw CommandError(shown_input(opt) + ": --weights " +
                           csv::quoted_excerpt(table.header[column]) +
                           ": weights must be at least 0, and " + line_list(negative) +
                           (negative.size() == 1 ? " has" : " have") + " a negative one",
                       kExitBadInput);
}

}  // namespace

// The text and the table go before the search starts; only the dataset stays.
Dataset read_dataset(const Options& opt, std::string& dropped_note) {
  csv::CsvTable table =
      read_table(opt, read_input(opt.file), {opt.target, opt.features, opt.exclude, opt.weights});
  if (opt.weights) refuse_negative_weights(table, opt);
  dropped_note = set_aside_unusable_rows(table, opt);
  return to_dataset(table, opt.weights.has_value());
}

void check_outputs(const Options& opt) {
  if (!opt.plot) return;
  if (opt.file != "-" && same_file(*opt.plot, opt.file))
    throw CommandError("--plot \"" + *opt.plot + "\" is the input file; choose another name",
                       kExitBadInput);
  try {
    check_writable(*opt.plot, "the plot");
  } catch (const FileError& e) {
    throw CommandError(e.what(), kExitBadInput);
  }
}

}  // namespace quorvex::cli
