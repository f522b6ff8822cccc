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

  size_t n_columns() const noexcept { return header.size(); }
  size_t n_rows() const noexcept { return header.empty() ? 0 : cells.size() / header.size(); }
  double at(size_t row, size_t column) const noexcept {
    return cells[row * header.size() + column];
  }
};

// Parses a whole file's content. The first line is the header; every further
// line is a row with exactly one number per header name.
//  - Separator ','; lines end in LF or CRLF; the last line feed is optional,
//    blank lines after the last row are ignored, a leading UTF-8 BOM is skipped.
//  - Any cell may be enclosed in double quotes ("" stands for one quote), which
//    lets a name hold commas or keep surrounding blanks; a quoted cell cannot
//    span lines. Spaces and tabs around unquoted cells are dropped.
//  - Names must be non-empty, valid UTF-8 and free of NUL; duplicates are kept.
//  - Numbers: decimal or exponent notation with an optional sign, plus "nan",
//    "inf" (either case, optionally signed).
// Throws CsvError on the first problem found.
CsvTable parse(std::string_view text);

// The number a cell holds, or nothing when it is not one.
enum class NumberStatus { kOk, kNotANumber, kOutOfRange };
NumberStatus parse_number(std::string_view cell, double& value) noexcept;

// The position of the target column: the last one when `name` is absent,
// otherwise the column carrying that name, which must be unique.
size_t target_column(const std::vector<std::string>& header,
                     const std::optional<std::string>& name);

// "file:line:column: message", leaving out the parts that do not apply.
std::string describe(std::string_view file, const CsvError& error);

}  // namespace quorvex::csv
