#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex::csv {

// A malformed input. line and column are 1-based; 0 means "not applicable"
// (a whole-file or header-wide problem). The column is the cell position.
class CsvError : public std::runtime_error {
 public:
  CsvError(std::string message, size_t line = 0, size_t column = 0)
      : std::runtime_error(std::move(message)), line_(line), column_(column) {}
  size_t line() const noexcept { return line_; }
  size_t column() const noexcept { return column_; }

 private:
  size_t line_;
  size_t column_;
};

// A header of column names and the numeric cells below it.
struct CsvTable {
  std::vector<std::string> header;
  std::vector<double> cells;  // row-major, header.size() cells per row
  size_t rows = 0;            // counted apart: a table may keep no column

  size_t n_columns() const noexcept { return header.size(); }
  size_t n_rows() const noexcept { return rows; }
  double at(size_t row, size_t column) const noexcept {
    return cells[row * header.size() + column];
  }
  // Row r stands on this line of the file: the header is line 1 and rows
  // cannot be separated by blank lines.
  static size_t line_of(size_t row) noexcept { return row + 2; }
};

// The file's first line.
//  - Separator: the one given, else whichever of ',' ';' and tab occurs most
//    often in the header outside quotes (',' on a tie or when none occurs).
//  - Lines end in LF, CRLF or a lone CR; the last line end is optional, blank
//    lines after the last row are ignored, a leading UTF-8 BOM is skipped.
//  - Any cell may be enclosed in double quotes ("" stands for one quote), which
//    lets a name hold the separator or keep surrounding blanks; a quoted cell
//    cannot span lines. Spaces (and tabs, unless tab separates) around
//    unquoted cells are dropped.
//  - Names must be valid UTF-8 and free of NUL; empty and duplicate names are
//    kept here and judged by select_columns, once it is known which are used.
struct Header {
  std::vector<std::string> names;
  char separator = ',';
};
Header parse_header(std::string_view text, std::optional<char> separator = std::nullopt);

// The rows below the header, each with exactly one cell per header name;
// only `columns` (header positions) are kept, in that order. Numbers are
// decimal or exponent notation with an optional sign, "nan" and "inf" (either
// case, optionally signed); an empty cell and the usual spellings of a missing
// value (NA, N/A, #N/A, NULL, None, ...) read as NaN. `target` (a header
// position) and whether it is the default one only change the advice given
// for a text cell, which names every column in use holding text on its line.
// Throws CsvError on the first problem found.
CsvTable parse_rows(std::string_view text, const Header& header, const std::vector<size_t>& columns,
                    std::optional<size_t> target = std::nullopt, bool target_by_default = false);

// Every column, all names non-empty.
CsvTable parse(std::string_view text, std::optional<char> separator = std::nullopt);

// The number a cell holds, or nothing when it is not one.
enum class NumberStatus { kOk, kNotANumber, kOutOfRange };
NumberStatus parse_number(std::string_view cell, double& value) noexcept;

// Which columns a discovery reads.
struct Selection {
  std::optional<std::string> target;  // default: the last column
  std::vector<std::string> features;  // default: every other column not excluded
  std::vector<std::string> exclude;
  std::optional<std::string> weights;  // a column of row weights, never a feature
};
struct Columns {
  std::vector<size_t> features;
  size_t target = 0;
  std::optional<size_t> weights;
};
// Throws CsvError for an unknown, empty or repeated name among the columns
// used: a formula could not tell two equal names apart.
Columns select_columns(const std::vector<std::string>& names, const Selection& selection);

// The position of the target column: the last one when `name` is absent,
// otherwise the column carrying that name, which must be unique.
size_t target_column(const std::vector<std::string>& header,
                     const std::optional<std::string>& name);

// Values no search can use: NaN (missing cells included), infinities and
// magnitudes above this, whose squares summed over the rows would overflow.
inline constexpr double kLargestUsable = 1e100;
bool is_usable(double value) noexcept;

// "file:line:column: message", leaving out the parts that do not apply.
std::string describe(std::string_view file, const CsvError& error);

// A name as messages show it: quoted, shortened, control bytes made visible.
std::string quoted_excerpt(std::string_view cell);

}  // namespace quorvex::csv
