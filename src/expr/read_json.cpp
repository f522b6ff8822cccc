#include "expr/read_json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

#include "text/utf8.h"

namespace quorvex {
namespace {

constexpr size_t kMaxNesting = 2000;

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  JsonValue document() {
    if (!is_valid_utf8(s_)) throw JsonError("the text is not valid UTF-8", JsonError::npos);
    skip_blanks();
    JsonValue v = value();
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

  // Reads one value without recursion: the arrays and objects still open are
  // kept in `open`, innermost last, so any depth the limit allows fits any
  // thread's stack.
  JsonValue value() {
    std::vector<JsonValue> open;
    for (;;) {
      // The value about to be read lies open.size() levels down.
      if (open.size() > kMaxNesting) fail("the JSON is nested too deeply");
      skip_blanks();
      if (pos_ >= s_.size()) fail("unexpected end of the text");
      JsonValue v;
      const char c = s_[pos_];
      if (c == '{' || c == '[') {
        ++pos_;
        v.type = c == '{' ? JsonValue::Type::Object : JsonValue::Type::Array;
        if (!take(c == '{' ? '}' : ']')) {
          if (c == '{') member_name(v);
          open.push_back(std::move(v));
          continue;
        }
      } else {
        scalar(v);
      }
      // Place the value, closing every container that ends after it.
      for (;;) {
        if (open.empty()) return v;
        JsonValue& parent = open.back();
        const bool object = parent.type == JsonValue::Type::Object;
        if (object)
          parent.members.back().second = std::move(v);
        else
          parent.items.push_back(std::move(v));
        if (take(',')) {
          if (object) member_name(parent);
          break;
        }
        expect(object ? '}' : ']');
        v = std::move(parent);
        open.pop_back();
      }
    }
  }

  // Opens the next member of `object`: its name and the colon.
  void member_name(JsonValue& object) {
    skip_blanks();
    if (pos_ >= s_.size() || s_[pos_] != '"') fail("expected a member name");
    std::string key = string();
    expect(':');
    object.members.emplace_back(std::move(key), JsonValue());
  }

  void scalar(JsonValue& v) {
    if (s_[pos_] == '"') {
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

// One node of an expression's JSON, checked: a leaf ready built, or the
// kind of an inner node with its children's JSON in order.
struct Decoded {
  std::vector<Expr>* leaves;  // where a leaf goes
  Expr::Kind kind = Expr::Kind::Const;
  Op op = Op::Add;
  int32_t exponent = 0;
  const JsonValue* children[2] = {nullptr, nullptr};
  int n_children = 0;
};

Op bin_operator(const std::string& name) {
  if (name == "Add") return Op::Add;
  if (name == "Sub") return Op::Sub;
  if (name == "Mul") return Op::Mul;
  if (name == "Div") return Op::Div;
  bad_node("unknown operator \"" + name + "\"");
}

Expr::Kind function_kind(const std::string& kind) {
  using K = Expr::Kind;
  if (kind == "Exp") return K::Exp;
  if (kind == "Log") return K::Log;
  if (kind == "Sqrt") return K::Sqrt;
  if (kind == "Sin") return K::Sin;
  if (kind == "Cos") return K::Cos;
  if (kind == "Tanh") return K::Tanh;
  if (kind == "Abs") return K::Abs;
  bad_node("unknown node \"" + kind + "\"");
}

void decode(const JsonValue& v, Decoded& d) {
  std::string kind;
  const JsonValue& payload = only_member(v, kind);
  using T = JsonValue::Type;
  if (kind == "Const") {
    if (payload.type == T::Null) {
      d.leaves->push_back(Expr::constant(std::numeric_limits<double>::quiet_NaN()));
      return;
    }
    if (payload.type != T::Number) bad_node("a Const holds a number");
    d.leaves->push_back(Expr::constant(payload.number));
  } else if (kind == "Feature") {
    if (payload.type != T::String) bad_node("a Feature holds a name");
    d.leaves->push_back(Expr::feature(payload.text));
  } else if (kind == "Bin") {
    if (payload.type != T::Array || payload.items.size() != 3 || payload.items[0].type != T::String)
      bad_node("a Bin holds [operator, left, right]");
    d.kind = Expr::Kind::Bin;
    d.op = bin_operator(payload.items[0].text);
    d.children[0] = &payload.items[1];
    d.children[1] = &payload.items[2];
    d.n_children = 2;
  } else if (kind == "Pow") {
    if (payload.type != T::Array || payload.items.size() != 2 || payload.items[1].type != T::Number)
      bad_node("a Pow holds [base, exponent]");
    const std::string& literal = payload.items[1].text;
    const auto res = std::from_chars(literal.data(), literal.data() + literal.size(), d.exponent);
    if (res.ec != std::errc() || res.ptr != literal.data() + literal.size())
      bad_node("a Pow exponent is a 32-bit integer, not " + literal);
    d.kind = Expr::Kind::Pow;
    d.children[0] = &payload.items[0];
    d.n_children = 1;
  } else {
    d.kind = function_kind(kind);
    d.children[0] = &payload;
    d.n_children = 1;
  }
}

// Builds the tree without recursion: nodes are checked in document order
// (so the first fault found is the one a recursive reader would find) and
// built once their children are.
Expr node(const JsonValue& root) {
  struct Task {
    const JsonValue* json;  // to check and expand; null once expanded
    Decoded d;
  };
  std::vector<Expr> built;
  std::vector<Task> tasks;
  tasks.push_back({&root, {&built}});
  while (!tasks.empty()) {
    Task t = tasks.back();
    tasks.pop_back();
    if (t.json != nullptr) {
      decode(*t.json, t.d);
      if (t.d.n_children == 0) continue;
      tasks.push_back({nullptr, t.d});
      for (int i = t.d.n_children; i-- > 0;) tasks.push_back({t.d.children[i], {&built}});
      continue;
    }
    Expr a = std::move(built.back());
    built.pop_back();
    if (t.d.kind == Expr::Kind::Bin) {
      Expr left = std::move(built.back());
      built.pop_back();
      built.push_back(Expr::bin(t.d.op, std::move(left), std::move(a)));
    } else if (t.d.kind == Expr::Kind::Pow) {
      built.push_back(Expr::pow(std::move(a), t.d.exponent));
    } else {
      built.push_back(Expr::function(t.d.kind, std::move(a)));
    }
  }
  return std::move(built.back());
}

// In first-use order: a preorder walk, left before right, without recursion.
void collect_features(const Expr& root, std::vector<std::string>& names) {
  std::vector<const Expr*> stack{&root};
  while (!stack.empty()) {
    const Expr& e = *stack.back();
    stack.pop_back();
    switch (e.kind()) {
      case Expr::Kind::Const:
        break;
      case Expr::Kind::Feature:
        if (std::find(names.begin(), names.end(), e.name()) == names.end())
          names.push_back(e.name());
        break;
      case Expr::Kind::Bin:
        stack.push_back(&e.right());
        stack.push_back(&e.left());
        break;
      default:
        stack.push_back(&e.child());
    }
  }
}

}  // namespace

JsonValue::JsonValue(JsonValue&& other) noexcept = default;
JsonValue& JsonValue::operator=(JsonValue&& other) noexcept = default;

JsonValue::~JsonValue() {
  if (items.empty() && members.empty()) return;
  // Each value moved out here is left without children, so its own
  // destructor returns at once.
  std::vector<JsonValue> pending;
  const auto adopt = [&pending](JsonValue& v) {
    for (JsonValue& item : v.items)
      if (!item.items.empty() || !item.members.empty()) pending.push_back(std::move(item));
    for (JsonMember& m : v.members)
      if (!m.second.items.empty() || !m.second.members.empty())
        pending.push_back(std::move(m.second));
  };
  adopt(*this);
  while (!pending.empty()) {
    JsonValue v = std::move(pending.back());
    pending.pop_back();
    adopt(v);
  }
}

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
