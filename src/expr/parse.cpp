#include "expr/parse.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace quorvex {

namespace {

// Deeper nesting is refused rather than risking the stack.
constexpr int kMaxNesting = 2000;

bool name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9') || c == '.'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}

  Expr whole() {
    Expr e = sum();
    blanks();
    if (i_ != s_.size()) fail("unexpected '" + std::string(1, s_[i_]) + "'");
    return e;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const { throw FormulaError(what, i_); }

  void blanks() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  bool eat(char c) {
    blanks();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }

  struct Depth {
    explicit Depth(Reader& r) : r_(r) {
      if (++r_.depth_ > kMaxNesting) r_.fail("the formula is nested too deeply");
    }
    ~Depth() { --r_.depth_; }
    Reader& r_;
  };

  Expr sum() {
    Depth d(*this);
    Expr e = product();
    for (;;) {
      if (eat('+')) {
        e = Expr::bin(Op::Add, std::move(e), product());
      } else if (eat('-')) {
        e = Expr::bin(Op::Sub, std::move(e), product());
      } else {
        return e;
      }
    }
  }

  Expr product() {
    Expr e = unary();
    for (;;) {
      if (eat('*')) {
        e = Expr::bin(Op::Mul, std::move(e), unary());
      } else if (eat('/')) {
        e = Expr::bin(Op::Div, std::move(e), unary());
      } else {
        return e;
      }
    }
  }

  Expr unary() {
    Depth d(*this);
    if (eat('-')) {
      Expr e = unary();
      if (e.kind() == Expr::Kind::Const) return Expr::constant(-e.value());
      return Expr::bin(Op::Mul, Expr::constant(-1.0), std::move(e));
    }
    if (eat('+')) return unary();
    return power();
  }

  Expr power() {
    Expr base = atom();
    if (!eat('^')) return base;
    Expr ex = unary();
    if (ex.kind() == Expr::Kind::Const) {
      const double v = ex.value();
      if (v == std::floor(v) && std::fabs(v) <= std::numeric_limits<int32_t>::max())
        return Expr::pow(std::move(base), static_cast<int32_t>(v));
    }
    return Expr::exp(Expr::bin(Op::Mul, std::move(ex), Expr::log(std::move(base))));
  }

  Expr atom() {
    blanks();
    if (i_ >= s_.size()) fail("the formula ends early");
    const char c = s_[i_];
    if (c == '(') {
      ++i_;
      Expr e = sum();
      if (!eat(')')) fail("')' expected");
      return e;
    }
    if (digit(c) || c == '.') return number();
    if (!name_start(c)) fail("unexpected '" + std::string(1, c) + "'");
    const size_t from = i_;
    while (i_ < s_.size() && name_char(s_[i_])) ++i_;
    std::string name(s_.substr(from, i_ - from));
    if (!eat('(')) return Expr::feature(std::move(name));
    Expr arg = sum();
    if (!eat(')')) fail("')' expected");
    static constexpr std::pair<const char*, Expr::Kind> kFunctions[] = {
        {"exp", Expr::Kind::Exp}, {"log", Expr::Kind::Log}, {"sqrt", Expr::Kind::Sqrt},
        {"sin", Expr::Kind::Sin}, {"cos", Expr::Kind::Cos}, {"tanh", Expr::Kind::Tanh},
        {"abs", Expr::Kind::Abs}};
    for (const auto& [fn, kind] : kFunctions)
      if (name == fn) return Expr::function(kind, std::move(arg));
    i_ = from;
    fail("unknown function '" + name + "'");
  }

  Expr number() {
    const size_t from = i_;
    while (i_ < s_.size() && (digit(s_[i_]) || s_[i_] == '.')) ++i_;
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      size_t j = i_ + 1;
      if (j < s_.size() && (s_[j] == '+' || s_[j] == '-')) ++j;
      if (j < s_.size() && digit(s_[j])) {
        i_ = j;
        while (i_ < s_.size() && digit(s_[i_])) ++i_;
      }
    }
    double v = 0.0;
    const auto res = std::from_chars(s_.data() + from, s_.data() + i_, v);
    if (res.ec == std::errc::result_out_of_range) {
      i_ = from;
      fail("a number out of the range of a double");
    }
    if (res.ec != std::errc() || res.ptr != s_.data() + i_) {
      i_ = from;
      fail("not a number");
    }
    return Expr::constant(v);
  }

  std::string_view s_;
  size_t i_ = 0;
  int depth_ = 0;
};

}  // namespace

Expr parse_formula(std::string_view text) { return Reader(text).whole(); }

}  // namespace quorvex
