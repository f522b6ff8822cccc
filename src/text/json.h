#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex {

// A double as JSON: null for NaN and infinities, 0.0 / -0.0, otherwise the
// shortest round-trip digits, plain with ".0" on integral values when the
// decimal exponent is in [-5, 15], else d.ddde+X / d.ddde-X.
void append_json_number(std::string& out, double value);
// A string as JSON: \" \\ \b \t \n \f \r, \u00xx (lowercase) for the other
// bytes below 0x20, everything else copied byte for byte.
void append_json_string(std::string& out, std::string_view text);

// Writes JSON text either compactly (no whitespace at all) or indented by two
// spaces per level with "key": value members, one per line.
class JsonWriter {
 public:
  enum class Style { Compact, Pretty };
  explicit JsonWriter(Style style, size_t initial_capacity = 128);

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  void key(std::string_view name);  // inside an object, before each value
  void value(double v);
  void value_int(int64_t v);
  void value_uint(uint64_t v);
  void value_string(std::string_view s);

  const std::string& str() const noexcept { return out_; }
  std::string take() noexcept { return std::move(out_); }

 private:
  void before_value();
  void newline_indent();

  Style style_;
  std::string out_;
  // Per open container: number of items written so far.
  std::vector<size_t> counts_;
  bool after_key_ = false;
};

}  // namespace quorvex
