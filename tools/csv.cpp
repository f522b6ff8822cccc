#include "csv.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "text/numbers.h"
#include "text/utf8.h"

namespace quorvex::csv {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_blank_line(std::string_view line) {
  for (char c : line)
    if (!is_blank(c)) return false;
  return true;
}

bool equals_ignoring_case(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// A cell quoted for a message: shortened, control bytes made visible.
std::string quoted_excerpt(std::string_view cell) {
  constexpr size_t kMaxBytes = 40;
  bool cut = false;
  if (cell.size() > kMaxBytes) {
    size_t end = kMaxBytes;
    // Do not split a UTF-8 sequence.
    while (end > 0 && (static_cast<unsigned char>(cell[end]) & 0xC0) == 0x80) --end;
    cell = cell.substr(0, end);
    cut = true;
  }
  std::string out = "\"";
  for (char c : cell) out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
  out += cut ? "...\"" : "\"";
  return out;
}

// Splits one line into cells, one call per cell.
class CellScanner {
 public:
  CellScanner(std::string_view line, size_t line_no) : line_(line), line_no_(line_no) {}

  // The next cell, or false when the line has no more. The view stays valid
  // until the next call.
  bool next(std::string_view& cell) {
    if (done_) return false;
    ++column_;
    size_t pos = pos_;
    while (pos < line_.size() && is_blank(line_[pos])) ++pos;
    if (pos < line_.size() && line_[pos] == '"') {
      cell = quoted(pos + 1);
      return true;
    }
    const size_t comma = line_.find(',', pos);
    const size_t end = comma == std::string_view::npos ? line_.size() : comma;
    std::string_view text = line_.substr(pos, end - pos);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    if (text.find('"') != std::string_view::npos)
      throw CsvError("a quote inside a cell that does not start with one", line_no_, column_);
    finish_at(end);
    cell = text;
    return true;
  }

  size_t column() const noexcept { return column_; }

 private:
  std::string_view quoted(size_t pos) {
    buffer_.clear();
    for (;;) {
      const size_t quote = line_.find('"', pos);
      if (quote == std::string_view::npos)
        throw CsvError("the quoted cell is not closed on this line", line_no_, column_);
      buffer_.append(line_.substr(pos, quote - pos));
      if (quote + 1 < line_.size() && line_[quote + 1] == '"') {
        buffer_ += '"';
        pos = quote + 2;
        continue;
      }
      pos = quote + 1;
      break;
    }
    while (pos < line_.size() && is_blank(line_[pos])) ++pos;
    if (pos < line_.size() && line_[pos] != ',')
      throw CsvError("unexpected text after the closing quote", line_no_, column_);
    finish_at(pos);
    return buffer_;
  }

  // `end` is the separator ending the current cell, or the end of the line.
  void finish_at(size_t end) {
    if (end >= line_.size()) {
      done_ = true;
      pos_ = line_.size();
    } else {
      pos_ = end + 1;
    }
  }

  std::string_view line_;
  size_t line_no_;
  size_t pos_ = 0;
  size_t column_ = 0;
  bool done_ = false;
  std::string buffer_;
};

std::string cell_count_message(size_t cells, size_t expected) {
  return "the row has " + format_integer(cells) + (cells == 1 ? " cell" : " cells") +
         " but the header has " + format_integer(expected);
}

}  // namespace

NumberStatus parse_number(std::string_view cell, double& value) noexcept {
  std::string_view body = cell;
  bool negative = false;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (body.empty()) return NumberStatus::kNotANumber;
  if (equals_ignoring_case(body, "nan")) {
    value = std::numeric_limits<double>::quiet_NaN();
    return NumberStatus::kOk;
  }
  if (equals_ignoring_case(body, "inf")) {
    value = negative ? -std::numeric_limits<double>::infinity()
                     : std::numeric_limits<double>::infinity();
    return NumberStatus::kOk;
  }
  // from_chars would also take "infinity", "nan(...)" and a second sign.
  if (!((body[0] >= '0' && body[0] <= '9') || body[0] == '.')) return NumberStatus::kNotANumber;
  double parsed = 0.0;
  const auto res = std::from_chars(body.data(), body.data() + body.size(), parsed);
  if (res.ptr != body.data() + body.size()) return NumberStatus::kNotANumber;
  if (res.ec == std::errc::result_out_of_range) return NumberStatus::kOutOfRange;
  if (res.ec != std::errc()) return NumberStatus::kNotANumber;
  value = negative ? -parsed : parsed;
  return NumberStatus::kOk;
}

CsvTable parse(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  // Physical lines without their terminators; a final line feed ends the last
  // line rather than starting an empty one.
  std::vector<std::string_view> lines;
  for (size_t pos = 0; pos < text.size();) {
    size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos) lf = text.size();
    std::string_view line = text.substr(pos, lf - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    pos = lf + 1;
  }
  while (!lines.empty() && is_blank_line(lines.back())) lines.pop_back();
  if (lines.empty()) throw CsvError("the file is empty");

  CsvTable table;
  {
    CellScanner scanner(lines[0], 1);
    std::string_view cell;
    while (scanner.next(cell)) {
      const size_t column = scanner.column();
      if (cell.empty()) throw CsvError("a column name is empty", 1, column);
      if (cell.find('\0') != std::string_view::npos)
        throw CsvError("a column name holds a NUL byte", 1, column);
      if (!is_valid_utf8(cell)) throw CsvError("a column name is not valid UTF-8", 1, column);
      table.header.emplace_back(cell);
    }
  }
  const size_t n_columns = table.header.size();
  if (lines.size() == 1) throw CsvError("the file has a header but no rows");

  table.cells.reserve((lines.size() - 1) * n_columns);
  for (size_t i = 1; i < lines.size(); ++i) {
    const size_t line_no = i + 1;
    if (is_blank_line(lines[i])) throw CsvError("a blank line between rows", line_no);
    CellScanner scanner(lines[i], line_no);
    std::string_view cell;
    size_t count = 0;
    while (scanner.next(cell)) {
      ++count;
      if (count > n_columns) {
        // Count them all so the message says how many there are.
        while (scanner.next(cell)) ++count;
        throw CsvError(cell_count_message(count, n_columns), line_no, n_columns + 1);
      }
      double value = 0.0;
      switch (parse_number(cell, value)) {
        case NumberStatus::kOk:
          break;
        case NumberStatus::kNotANumber:
          throw CsvError(quoted_excerpt(cell) + " in column " +
                             quoted_excerpt(table.header[count - 1]) + " is not a number",
                         line_no, count);
        case NumberStatus::kOutOfRange:
          throw CsvError(quoted_excerpt(cell) + " in column " +
                             quoted_excerpt(table.header[count - 1]) +
                             " is out of the range of a double",
                         line_no, count);
      }
      table.cells.push_back(value);
    }
    if (count < n_columns) throw CsvError(cell_count_message(count, n_columns), line_no, count + 1);
  }
  return table;
}

size_t target_column(const std::vector<std::string>& header,
                     const std::optional<std::string>& name) {
  if (header.empty()) throw CsvError("the header has no columns");
  if (!name) return header.size() - 1;
  size_t found = header.size();
  for (size_t c = 0; c < header.size(); ++c) {
    if (header[c] != *name) continue;
    if (found != header.size())
      throw CsvError("the target " + quoted_excerpt(*name) +
                         " names more than one column (columns " + format_integer(found + 1) +
                         " and " + format_integer(c + 1) + ")",
                     1, c + 1);
    found = c;
  }
  if (found == header.size()) {
    constexpr size_t kListed = 10;
    std::string names;
    for (size_t c = 0; c < header.size() && c < kListed; ++c)
      names += (c == 0 ? "" : ", ") + quoted_excerpt(header[c]);
    if (header.size() > kListed) names += ", ...";
    throw CsvError("no column is named " + quoted_excerpt(*name) + " (columns: " + names + ")", 1);
  }
  return found;
}

std::string describe(std::string_view file, const CsvError& error) {
  std::string out(file);
  if (error.line() != 0) {
    out += ':' + format_integer(error.line());
    if (error.column() != 0) out += ':' + format_integer(error.column());
  }
  out += ": ";
  out += error.what();
  return out;
}

}  // namespace quorvex::csv
