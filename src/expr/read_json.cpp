#include "expr/read_json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

#include "text/utf8.h"

namespace quorvex {
namespace {

constexpr int kMaxNesting = 2000;

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  JsonValue document() {
    if (!is_valid_utf8(s_)) throw JsonError("the text is not valid UTF-8", JsonError::npos);
    skip_blanks();
    JsonValue v = value(0);
    skip_blanks();
    if (pos_ != s_.size()) fail("unexpected text after the JSON value");
    return v;
  }

 private:
  [[noreturn]] void fail(const std::string& message) const { throw JsonError(message, pos_); }

  void skip_blanks() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
      ++pos_;
  }

  bool take(char c) {
    skip_blanks();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  void expect(char c) {
    if (!take(c)) fail(std::string("expected '") + c + "'");
  }

  bool take_word(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  JsonValue value(int depth) {
    if (depth > kMaxNesting) fail("the JSON is nested too deeply");
    skip_blanks();
    if (pos_ >= s_.size()) fail("unexpected end of the text");
    JsonValue v;
    const char c = s_[pos_];
    if (c == '{') {
      ++pos_;
      v.type = JsonValue::Type::Object;
      if (take('}')) return v;
      do {
        skip_blanks();
        if (pos_ >= s_.size() || s_[pos_] != '"') fail("expected a member name");
        std::string key = string();
        expect(':');
        v.members.emplace_back(std::move(key), value(depth + 1));
      } while (take(','));
      expect('}');
    } else if (c == '[') {
      ++pos_;
      v.type = JsonValue::Type::Array;
      if (take(']')) return v;
      do v.items.push_back(value(depth + 1));
      while (take(','));
      expect(']');
    } else if (c == '"') {
      v.type = JsonValue::Type::String;
      v.text = string();
    } else if (take_word("null")) {
      v.type = JsonValue::Type::Null;
    } else if (take_word("true")) {
      v.type = JsonValue::Type::Bool;
      v.boolean = true;
    } else if (take_word("false")) {
      v.type = JsonValue::Type::Bool;
    } else {
      number(v);
    }
    return v;
  }

  void number(JsonValue& v) {
    const size_t start = pos_;
    auto digits = [&] {
      const size_t from = pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
      return pos_ - from;
    };
    if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
    const size_t int_start = pos_;
    const size_t int_digits = digits();
    if (int_digits == 0) fail("expected a JSON value");
    if (int_digits > 1 && s_[int_start] == '0') fail("a number with a leading zero");
    if (pos_ < s_.size() && s_[pos_] == '.') {
      ++pos_;
      if (digits() == 0) fail("expected digits after the decimal point");
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      if (digits() == 0) fail("expected digits in the exponent");
    }
    v.type = JsonValue::Type::Number;
    v.text.assign(s_.substr(start, pos_ - start));
    const auto res = std::from_chars(v.text.data(), v.text.data() + v.text.size(), v.number);
    if (res.ec != std::errc() || res.ptr != v.text.data() + v.text.size()) {
      pos_ = start;
      fail("the number " + v.text + " is out of the range of a double");
    }
  }

  uint32_t hex4() {
    if (pos_ + 4 > s_.size()) fail("a \\u escape needs four hexadecimal digits");
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        v |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v |= static_cast<uint32_t>(c - 'A' + 10);
      else
        fail("a \\u escape needs four hexadecimal digits");
    }
    return v;
  }

  static void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::string string() {
    ++pos_;  // the opening quote
    std::string out;
    for (;;) {
      if (pos_ >= s_.size()) fail("the string is not closed");
      const char c = s_[pos_];
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (static_cast<unsigned char>(c) < 0x20) fail("a control character inside a string");
      if (c != '\\') {
        out += c;
        ++pos_;
        continue;
      }
      ++pos_;
      if (pos_ >= s_.size()) fail("the string is not closed");
      const char e = s_[pos_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t cp = hex4();
          if (cp >= 0xDC00 && cp <= 0xDFFF) fail("a lone low surrogate in a \\u escape");
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (!take_word("\\u")) fail("a high surrogate without its low half");
            const uint32_t low = hex4();
            if (low < 0xDC00 || low > 0xDFFF) fail("a high surrogate without its low half");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          append_utf8(out, cp);
          break;
        }
        default:
          --pos_;
          fail(std::string("an unknown escape \\") + e);
      }
    }
  }

  std::string_view s_;
  size_t pos_ = 0;
};

[[noreturn]] void bad_node(const std::string& why) {
  throw JsonError("not an expression: " + why, JsonError::npos);
}

const JsonValue& only_member(const JsonValue& v, std::string& kind) {
  if (v.type != JsonValue::Type::Object || v.members.size() != 1)
    bad_node("every node is an object with exactly one member");
  kind = v.members[0].first;
  return v.members[0].second;
}

Expr node(const JsonValue& v) {
  std::string kind;
  const JsonValue& payload = only_member(v, kind);
  using T = JsonValue::Type;
  if (kind == "Const") {
    if (payload.type == T::Null) return Expr::constant(std::numeric_limits<double>::quiet_NaN());
    if (payload.type != T::Number) bad_node("a Const holds a number");
    return Expr::constant(payload.number);
  }
  if (kind == "Feature") {
    if (payload.type != T::String) bad_node("a Feature holds a name");
    return Expr::feature(payload.text);
  }
  if (kind == "Bin") {
    if (payload.type != T::Array || payload.items.size() != 3 || payload.items[0].type != T::String)
      bad_node("a Bin holds [operator, left, right]");
    const std::string& name = payload.items[0].text;
    Op op;
    if (name == "Add")
      op = Op::Add;
    else if (name == "Sub")
      op = Op::Sub;
    else if (name == "Mul")
      op = Op::Mul;
    else if (name == "Div")
      op = Op::Div;
    else
      bad_node("unknown operator \"" + name + "\"");
    return Expr::bin(op, node(payload.items[1]), node(payload.items[2]));
  }
  if (kind == "Pow") {
    if (payload.type != T::Array || payload.items.size() != 2 || payload.items[1].type != T::Number)
      bad_node("a Pow holds [base, exponent]");
    const std::string& literal = payload.items[1].text;
    int32_t exponent = 0;
    const auto res = std::from_chars(literal.data(), literal.data() + literal.size(), exponent);
    if (res.ec != std::errc() || res.ptr != literal.data() + literal.size())
      bad_node("a Pow exponent is a 32-bit integer, not " + literal);
    return Expr::pow(node(payload.items[0]), exponent);
  }
  if (kind == "Exp") return Expr::exp(node(payload));
  if (kind == "Log") return Expr::log(node(payload));
  if (kind == "Sqrt") return Expr::sqrt(node(payload));
  if (kind == "Sin") return Expr::sin(node(payload));
  if (kind == "Cos") return Expr::cos(node(payload));
  if (kind == "Tanh") return Expr::tanh(node(payload));
  if (kind == "Abs") return Expr::abs(node(payload));
  bad_node("unknown node \"" + kind + "\"");
}

void collect_features(const Expr& e, std::vector<std::string>& names) {
  switch (e.kind()) {
    case Expr::Kind::Const:
      return;
    case Expr::Kind::Feature:
      for (const std::string& n : names)
        if (n == e.name()) return;
      names.push_back(e.name());
      return;
    case Expr::Kind::Bin:
      collect_features(e.left(), names);
      collect_features(e.right(), names);
      return;
    default:
      collect_features(e.child(), names);
  }
}

}  // namespace

const JsonValue* JsonValue::find(std::string_view key) const noexcept {
  for (const auto& [name, value] : members)
    if (name == key) return &value;
  return nullptr;
}

JsonValue parse_json(std::string_view text) { return Parser(text).document(); }

Expr expression_from_json(const JsonValue& value) { return node(value); }

Expr model_expression(std::string_view text) {
  const JsonValue doc = parse_json(text);
  const JsonValue* inner = doc.find("expr_json");
  if (inner == nullptr) {
    if (doc.type == JsonValue::Type::Object && doc.members.size() > 1)
      throw JsonError("neither a JSON report (it has no \"expr_json\") nor an expression",
                      JsonError::npos);
    return expression_from_json(doc);
  }
  if (inner->type != JsonValue::Type::String)
    throw JsonError("the report's \"expr_json\" is not a string", JsonError::npos);
  if (inner->text.empty()) throw JsonError("the report's \"expr_json\" is empty", JsonError::npos);
  try {
    return expression_from_json(parse_json(inner->text));
  } catch (const JsonError& e) {
    throw JsonError(std::string("in the report's \"expr_json\": ") + e.what(), JsonError::npos);
  }
}

std::vector<std::string> expression_features(const Expr& expr) {
  std::vector<std::string> names;
  collect_features(expr, names);
  return names;
}

}  // namespace quorvex
