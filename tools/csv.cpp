#include "csv.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "text/numbers.h"
#include "text/utf8.h"

namespace quorvex::csv {
namespace {

bool equals_ignoring_case(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// How spreadsheets, R and pandas write a missing value.
bool is_missing_marker(std::string_view cell) {
  if (cell.empty()) return true;
  for (std::string_view m : {"na", "n/a", "#n/a", "null", "none", "<na>", "missing"})
    if (equals_ignoring_case(cell, m)) return true;
  return false;
}

// Physical lines without their terminators (LF, CRLF or a lone CR); a final
// terminator ends the last line rather than starting an empty one.
std::vector<std::string_view> split_lines(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<std::string_view> lines;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
  }
  return lines;
}

// Splits one line into cells, one call per cell.
class CellScanner {
 public:
  CellScanner(std::string_view line, size_t line_no, char separator)
      : line_(line), line_no_(line_no), separator_(separator) {}

  // The next cell, or false when the line has no more. The view stays valid
  // until the next call.
  bool next(std::string_view& cell) {
    if (done_) return false;
    ++column_;
    size_t pos = pos_;
    while (pos < line_.size() && is_blank(line_[pos])) ++pos;
    if (pos < line_.size() && line_[pos] == '"') {
      cell = quoted_cell(pos + 1);
      return true;
    }
    const size_t sep = line_.find(separator_, pos);
    const size_t end = sep == std::string_view::npos ? line_.size() : sep;
    std::string_view text = line_.substr(pos, end - pos);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    if (text.find('"') != std::string_view::npos)
      throw CsvError("a quote inside a cell that does not start with one", line_no_, column_);
    finish_at(end);
    cell = text;
    return true;
  }

  size_t column() const noexcept { return column_; }

  bool is_blank(char c) const noexcept { return c == ' ' || (c == '\t' && separator_ != '\t'); }

 private:
  std::string_view quoted_cell(size_t pos) {
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
    if (pos < line_.size() && line_[pos] != separator_)
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
  char separator_;
  size_t pos_ = 0;
  size_t column_ = 0;
  bool done_ = false;
  std::string buffer_;
};

bool is_blank_line(std::string_view line) {
  for (char c : line)
    if (c != ' ' && c != '\t') return false;
  return true;
}

// The most frequent candidate outside quotes; ',' wins ties.
char detect_separator(std::string_view header) {
  size_t counts[3] = {0, 0, 0};
  const char candidates[3] = {',', ';', '\t'};
  bool in_quotes = false;
  for (char c : header) {
    if (c == '"') in_quotes = !in_quotes;
    if (in_quotes) continue;
    for (int i = 0; i < 3; ++i) counts[i] += c == candidates[i];
  }
  int best = 0;
  for (int i = 1; i < 3; ++i)
    if (counts[i] > counts[best]) best = i;
  return candidates[best];
}

std::string cell_count_message(size_t cells, size_t expected) {
  return "the row has " + format_integer(cells) + (cells == 1 ? " cell" : " cells") +
         " but the header has " + format_integer(expected);
}

// Every column in use whose cell on this line is text, in header order, so
// that one run names them all; a cell the scanner cannot read ends the search.
std::vector<size_t> text_columns(std::string_view line, size_t line_no, const Header& header,
                                 const std::vector<size_t>& slot) {
  std::vector<size_t> found;
  try {
    CellScanner scanner(line, line_no, header.separator);
    std::string_view cell;
    double ignored = 0.0;
    for (size_t c = 0; c < header.names.size() && scanner.next(cell); ++c)
      if (slot[c] != std::string::npos && !is_missing_marker(cell) &&
          parse_number(cell, ignored) == NumberStatus::kNotANumber)
        found.push_back(c);
  } catch (const CsvError&) {
  }
  return found;
}

std::string not_a_number_message(std::string_view cell, const std::string& name, char separator,
                                 const std::vector<size_t>& text, const Header& header,
                                 std::optional<size_t> target, bool target_by_default) {
  std::string m = quoted_excerpt(cell) + " in column " + quoted_excerpt(name) + " is not a number";
  double ignored = 0.0;
  std::string pointed(cell);
  for (char& c : pointed)
    if (c == ',') c = '.';
  if (separator != ',' && pointed != cell && parse_number(pointed, ignored) == NumberStatus::kOk)
    return m + " (a decimal comma? write numbers with a decimal point)";
  std::vector<size_t> features;
  bool target_text = false;
  for (size_t c : text) {
    if (target && c == *target)
      target_text = true;
    else
      features.push_back(c);
  }
  if (target_text && target_by_default)
    m += "; the target is the last column unless --target NAME names another, and this one "
         "holds text";
  if (features.size() == 1) {
    m += "; if the column holds text, leave it out with --exclude " +
         quoted_excerpt(header.names[features[0]]);
  } else if (features.size() > 1) {
    std::string names, list;
    for (size_t c : features) {
      names += (names.empty() ? "" : ", ") + quoted_excerpt(header.names[c]);
      list += (list.empty() ? "" : ",") + header.names[c];
    }
    m += "; columns " + names + " hold text on this line: leave them out with --exclude " +
         quoted_excerpt(list);
  }
  return m;
}

}  // namespace

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

Header parse_header(std::string_view text, std::optional<char> separator) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos)
    throw CsvError("the file is empty");
  const std::vector<std::string_view> lines =
      split_lines(text.substr(0, text.find_first_of("\r\n")));
  if (lines.empty() || is_blank_line(lines[0])) throw CsvError("the header line is blank", 1);
  Header header;
  header.separator = separator ? *separator : detect_separator(lines[0]);
  CellScanner scanner(lines[0], 1, header.separator);
  std::string_view cell;
  while (scanner.next(cell)) {
    const size_t column = scanner.column();
    if (cell.find('\0') != std::string_view::npos)
      throw CsvError("a column name holds a NUL byte", 1, column);
    if (!is_valid_utf8(cell)) throw CsvError("a column name is not valid UTF-8", 1, column);
    header.names.emplace_back(cell);
  }
  return header;
}

CsvTable parse_rows(std::string_view text, const Header& header, const std::vector<size_t>& columns,
                    std::optional<size_t> target, bool target_by_default) {
  std::vector<std::string_view> lines = split_lines(text);
  while (!lines.empty() && is_blank_line(lines.back())) lines.pop_back();
  if (lines.size() <= 1) throw CsvError("the file has a header but no rows");

  const size_t n_columns = header.names.size();
  // Where each header position goes in a row of the table, or npos.
  std::vector<size_t> slot(n_columns, std::string::npos);
  for (size_t i = 0; i < columns.size(); ++i) slot[columns[i]] = i;

  CsvTable table;
  for (size_t c : columns) table.header.push_back(header.names[c]);
  table.cells.reserve((lines.size() - 1) * columns.size());
  std::vector<double> row(columns.size());
  for (size_t i = 1; i < lines.size(); ++i) {
    const size_t line_no = i + 1;
    if (is_blank_line(lines[i])) throw CsvError("a blank line between rows", line_no);
    CellScanner scanner(lines[i], line_no, header.separator);
    std::string_view cell;
    size_t count = 0;
    while (scanner.next(cell)) {
      ++count;
      if (count > n_columns) {
        // Count them all so the message says how many there are.
        while (scanner.next(cell)) ++count;
        throw CsvError(cell_count_message(count, n_columns), line_no, n_columns + 1);
      }
      const size_t at = slot[count - 1];
      if (at == std::string::npos) continue;
      double value = std::numeric_limits<double>::quiet_NaN();
      if (is_missing_marker(cell)) {
        row[at] = value;
        continue;
      }
      const std::string& name = header.names[count - 1];
      switch (parse_number(cell, value)) {
        case NumberStatus::kOk:
          break;
        case NumberStatus::kNotANumber:
          throw CsvError(not_a_number_message(cell, name, header.separator,
                                              text_columns(lines[i], line_no, header, slot), header,
                                              target, target_by_default),
                         line_no, count);
        case NumberStatus::kOutOfRange:
          throw CsvError(quoted_excerpt(cell) + " in column " + quoted_excerpt(name) +
                             " is out of the range of a double",
                         line_no, count);
      }
      row[at] = value;
    }
    if (count < n_columns) throw CsvError(cell_count_message(count, n_columns), line_no, count + 1);
    table.cells.insert(table.cells.end(), row.begin(), row.end());
    ++table.rows;
  }
  return table;
}

CsvTable parse(std::string_view text, std::optional<char> separator) {
  const Header header = parse_header(text, separator);
  std::vector<size_t> all(header.names.size());
  for (size_t c = 0; c < all.size(); ++c) {
    if (header.names[c].empty()) throw CsvError("a column name is empty", 1, c + 1);
    all[c] = c;
  }
  return parse_rows(text, header, all);
}

namespace {

std::string listed_names(const std::vector<std::string>& names) {
  constexpr size_t kListed = 10;
  std::string out;
  for (size_t c = 0; c < names.size() && c < kListed; ++c)
    out += (c == 0 ? "" : ", ") + quoted_excerpt(names[c]);
  if (names.size() > kListed) out += ", ...";
  return out;
}

size_t find_named(const std::vector<std::string>& names, const std::string& name,
                  const char* option) {
  for (size_t c = 0; c < names.size(); ++c)
    if (names[c] == name) return c;
  throw CsvError(std::string(option) + " names " + quoted_excerpt(name) +
                     ", which is not a column (columns: " + listed_names(names) + ")",
                 1);
}

}  // namespace

Columns select_columns(const std::vector<std::string>& names, const Selection& selection) {
  Columns chosen;
  chosen.target = target_column(names, selection.target);
  std::vector<bool> excluded(names.size(), false);
  for (const std::string& name : selection.exclude) {
    find_named(names, name, "--exclude");
    for (size_t c = 0; c < names.size(); ++c) excluded[c] = excluded[c] || names[c] == name;
  }
  if (excluded[chosen.target])
    throw CsvError("--exclude names the target " + quoted_excerpt(names[chosen.target]), 1,
                   chosen.target + 1);
  if (selection.weights) {
    const size_t w = find_named(names, *selection.weights, "--weights");
    if (w == chosen.target)
      throw CsvError("--weights names the target " + quoted_excerpt(names[w]) +
                         " (the default target is the last column; choose another with --target)",
                     1, w + 1);
    for (const std::string& name : selection.features)
      if (name == names[w])
        throw CsvError("--features names the weights column " + quoted_excerpt(name), 1, w + 1);
    excluded[w] = true;
    chosen.weights = w;
  }
  if (selection.features.empty()) {
    for (size_t c = 0; c < names.size(); ++c)
      if (c != chosen.target && !excluded[c]) chosen.features.push_back(c);
  } else {
    for (const std::string& name : selection.features) {
      const size_t c = find_named(names, name, "--features");
      if (c == chosen.target)
        throw CsvError("--features names the target " + quoted_excerpt(name), 1, c + 1);
      // Every column of that name, so that a repeated name is refused below.
      for (size_t d = c; d < names.size(); ++d)
        if (names[d] == name &&
            std::find(chosen.features.begin(), chosen.features.end(), d) == chosen.features.end())
          chosen.features.push_back(d);
    }
  }
  std::vector<size_t> used = chosen.features;
  used.push_back(chosen.target);
  if (chosen.weights) used.push_back(*chosen.weights);
  for (size_t i = 0; i < used.size(); ++i) {
    const size_t c = used[i];
    if (names[c].empty()) {
      if (c == 0)
        throw CsvError(
            "the first column has no name: it looks like an index column (pandas' to_csv writes "
            "one); leave it out with --exclude '' or write the file with index=False",
            1, 1);
      throw CsvError("column " + format_integer(c + 1) +
                         " has no name; name it or leave it out with --exclude ''",
                     1, c + 1);
    }
    for (size_t j = 0; j < i; ++j)
      if (names[used[j]] == names[c]) {
        const size_t first = std::min(used[j], c), second = std::max(used[j], c);
        throw CsvError("the name " + quoted_excerpt(names[c]) + " is given to columns " +
                           format_integer(first + 1) + " and " + format_integer(second + 1) +
                           ": a formula could not tell them apart; rename one",
                       1, second + 1);
      }
  }
  return chosen;
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
  if (found == header.size())
    throw CsvError(
        "no column is named " + quoted_excerpt(*name) + " (columns: " + listed_names(header) + ")",
        1);
  return found;
}

bool is_usable(double value) noexcept { return std::fabs(value) <= kLargestUsable; }

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
