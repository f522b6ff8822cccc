#include "text/json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "text/numbers.h"

namespace quorvex {

void append_json_number(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (value == 0.0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  // Shortest round-trip digits (nearest of the shortest), in scientific form:
  // "-d.ddde+XX" or "de-XX". Exact and locale-free.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const char* p = buf;
  const char* const end = res.ptr;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[32];
  int n = 0;
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  // p is at 'e'; the exponent has an explicit sign and at least two digits.
  ++p;
  const bool neg_exp = (*p == '-');
  ++p;
  int e = 0;
  for (; p != end; ++p) e = e * 10 + (*p - '0');
  if (neg_exp) e = -e;

  if (e >= -5 && e <= 15) {
    if (n - 1 <= e) {  // integral: digits, zeros, ".0"
      out.append(digits, static_cast<size_t>(n));
      out.append(static_cast<size_t>(e - n + 1), '0');
      out += ".0";
    } else if (e >= 0) {  // d.ddd with the point inside the digits
      out.append(digits, static_cast<size_t>(e + 1));
      out += '.';
      out.append(digits + e + 1, static_cast<size_t>(n - e - 1));
    } else {  // 0.000ddd
      out += "0.";
      out.append(static_cast<size_t>(-e - 1), '0');
      out.append(digits, static_cast<size_t>(n));
    }
    return;
  }
  out += digits[0];
  if (n > 1) {
    out += '.';
    out.append(digits + 1, static_cast<size_t>(n - 1));
  }
  out += neg_exp ? "e-" : "e+";
  char ebuf[8];
  const auto eres = std::to_chars(ebuf, ebuf + sizeof ebuf, std::abs(e));
  out.append(ebuf, eres.ptr);
}

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t run = 0;  // start of the pending run of bytes copied unchanged
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const char* esc = nullptr;
    switch (c) {
      case '"':
        esc = "\\\"";
        break;
      case '\\':
        esc = "\\\\";
        break;
      case '\b':
        esc = "\\b";
        break;
      case '\t':
        esc = "\\t";
        break;
      case '\n':
        esc = "\\n";
        break;
      case '\f':
        esc = "\\f";
        break;
      case '\r':
        esc = "\\r";
        break;
      default:
        if (c >= 0x20) continue;
        break;
    }
    out.append(text.data() + run, i - run);
    run = i + 1;
    if (esc != nullptr) {
      out += esc;
    } else {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  out.append(text.data() + run, text.size() - run);
  out += '"';
}

JsonWriter::JsonWriter(Style style, size_t initial_capacity) : style_(style) {
  out_.reserve(initial_capacity);
}

void JsonWriter::newline_indent() {
  out_ += '\n';
  out_.append(2 * counts_.size(), ' ');
}

// Separates a value from what precedes it: nothing after a key (the key wrote
// its own separator), otherwise a comma after an earlier item and, in pretty
// style, a new line at the container's indentation.
void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (counts_.empty()) return;  // the top-level value
  if (counts_.back() > 0) out_ += ',';
  if (style_ == Style::Pretty) newline_indent();
  ++counts_.back();
}

void JsonWriter::key(std::string_view name) {
  if (!counts_.empty()) {
    if (counts_.back() > 0) out_ += ',';
    ++counts_.back();
  }
  if (style_ == Style::Pretty) newline_indent();
  append_json_string(out_, name);
  out_ += style_ == Style::Pretty ? ": " : ":";
  after_key_ = true;
}

void JsonWriter::begin_object() {
  before_value();
  out_ += '{';
  counts_.push_back(0);
}

void JsonWriter::end_object() {
  const size_t items = counts_.back();
  counts_.pop_back();
  if (style_ == Style::Pretty && items > 0) newline_indent();
  out_ += '}';
}

void JsonWriter::begin_array() {
  before_value();
  out_ += '[';
  counts_.push_back(0);
}

void JsonWriter::end_array() {
  const size_t items = counts_.back();
  counts_.pop_back();
  if (style_ == Style::Pretty && items > 0) newline_indent();
  out_ += ']';
}

void JsonWriter::value(double v) {
  before_value();
  append_json_number(out_, v);
}

void JsonWriter::value_int(int64_t v) {
  before_value();
  out_ += format_integer(v);
}

void JsonWriter::value_uint(uint64_t v) {
  before_value();
  out_ += format_integer(v);
}

void JsonWriter::value_string(std::string_view s) {
  before_value();
  append_json_string(out_, s);
}

}  // namespace quorvex
