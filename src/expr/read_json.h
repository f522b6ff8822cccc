#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "expr/expr.h"

namespace quorvex {

// A document that is not the JSON a formula is read from. offset is the byte
// position of the problem in the text, or npos when no one position applies.
class JsonError : public std::runtime_error {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);

  JsonError(std::string message, size_t offset)
      : std::runtime_error(std::move(message)), offset_(offset) {}
  size_t offset() const noexcept { return offset_; }

 private:
  size_t offset_;
};

struct JsonMember;

// A parsed JSON value. Numbers keep their literal text as well, so that an
// integer can be told from a number with a fraction or an exponent.
struct JsonValue {
  enum class Type { Null, Bool, Number, String, Array, Object };

  JsonValue() = default;
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(JsonValue&& other) noexcept;
  // Frees nested values without recursion, so that a deep document costs no
  // stack in proportion to its depth.
  ~JsonValue();

  Type type = Type::Null;
  bool boolean = false;
  double number = 0.0;
  std::string text;  // String: the decoded text; Number: the literal
  std::vector<JsonValue> items;
  // In document order. (Not std::pair: a pair of an incomplete type cannot
  // be instantiated here, and clang refuses it.)
  std::vector<JsonMember> members;

  // The first member named `key`, or nullptr.
  const JsonValue* find(std::string_view key) const noexcept;
};

struct JsonMember {
  JsonMember(std::string name, JsonValue v) : first(std::move(name)), second(std::move(v)) {}
  std::string first;
  JsonValue second;
};

// RFC 8259 JSON in strict UTF-8, one value with optional surrounding blanks.
// Nesting deeper than 2000 levels is refused. Reading, converting and freeing
// use no recursion: a document at the limit needs no more stack than a flat one.
JsonValue parse_json(std::string_view text);

// The tree of an expression's JSON form: {"Const":2.5}, {"Feature":"x"},
// {"Bin":["Add",l,r]}, {"Pow":[b,-2]}, and {"Exp":c} for each one-child kind
// (Exp, Log, Sqrt, Sin, Cos, Tanh, Abs).
// A null constant (how non-finite constants are written) reads as NaN.
Expr expression_from_json(const JsonValue& value);

// The expression of a saved model: a JSON report (its "expr_json" member) or
// an expression's JSON form itself.
Expr model_expression(std::string_view text);

// The feature names an expression reads, in first-use order, each once.
std::vector<std::string> expression_features(const Expr& expr);

}  // namespace quorvex
