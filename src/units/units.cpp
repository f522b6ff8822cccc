#include "units/units.h"

#include <cctype>
#include <numeric>

namespace quorvex {

std::optional<Rational> Rational::make(int64_t num, int64_t den) noexcept {
  if (den == 0) return std::nullopt;
  // Both within 2^62 here (products of values within kLimit): negation is safe.
  if (den < 0) num = -num, den = -den;
  const int64_t g = std::gcd(num, den);
  num /= g, den /= g;
  if (num >= kLimit || num <= -kLimit || den >= kLimit) return std::nullopt;
  return Rational{num, den};
}

std::optional<Rational> operator+(Rational a, Rational b) noexcept {
  return Rational::make(a.num * b.den + b.num * a.den, a.den * b.den);
}

std::optional<Rational> operator*(Rational a, Rational b) noexcept {
  return Rational::make(a.num * b.num, a.den * b.den);
}

namespace {

constexpr const char* kBaseNames[Unit::kBase] = {"kg", "m", "s", "A", "K", "mol", "cd"};

struct Derived {
  const char* name;
  std::array<int, Unit::kBase> e;  // kg m s A K mol cd
};
constexpr Derived kDerived[] = {
    {"Hz", {0, 0, -1, 0, 0, 0, 0}},   {"N", {1, 1, -2, 0, 0, 0, 0}},
    {"Pa", {1, -1, -2, 0, 0, 0, 0}},  {"J", {1, 2, -2, 0, 0, 0, 0}},
    {"W", {1, 2, -3, 0, 0, 0, 0}},    {"C", {0, 0, 1, 1, 0, 0, 0}},
    {"V", {1, 2, -3, -1, 0, 0, 0}},   {"F", {-1, -2, 4, 2, 0, 0, 0}},
    {"Ohm", {1, 2, -3, -2, 0, 0, 0}}, {"S", {-1, -2, 3, 2, 0, 0, 0}},
    {"Wb", {1, 2, -2, -1, 0, 0, 0}},  {"T", {1, 0, -2, -1, 0, 0, 0}},
    {"H", {1, 2, -2, -2, 0, 0, 0}},
};

// The largest exponent a unit text may write: more is a typing error.
constexpr int64_t kMaxExponent = 1000;

}  // namespace

const char* Unit::base_name(size_t i) noexcept { return i < kBase ? kBaseNames[i] : ""; }

Unit Unit::base(size_t i) noexcept {
  Unit u;
  if (i < kBase) u.e_[i] = Rational{1, 1};
  return u;
}

bool Unit::dimensionless() const noexcept {
  for (const Rational& r : e_)
    if (!r.zero()) return false;
  return true;
}

std::optional<Unit> Unit::times(const Unit& other) const noexcept {
  Unit out;
  for (size_t i = 0; i < kBase; ++i) {
    const auto s = e_[i] + other.e_[i];
    if (!s) return std::nullopt;
    out.e_[i] = *s;
  }
  return out;
}

std::optional<Unit> Unit::over(const Unit& other) const noexcept {
  const auto inverse = other.pow(Rational{-1, 1});
  if (!inverse) return std::nullopt;
  return times(*inverse);
}

std::optional<Unit> Unit::pow(Rational p) const noexcept {
  Unit out;
  for (size_t i = 0; i < kBase; ++i) {
    const auto s = e_[i] * p;
    if (!s) return std::nullopt;
    out.e_[i] = *s;
  }
  return out;
}

namespace {

void append_factor(std::string& out, size_t i, Rational e) {
  out += kBaseNames[i];
  if (e.num == 1 && e.den == 1) return;
  out += '^';
  if (e.den == 1) {
    out += std::to_string(e.num);
  } else {
    out += '(';
    out += std::to_string(e.num);
    out += '/';
    out += std::to_string(e.den);
    out += ')';
  }
}

}  // namespace

std::string Unit::text() const {
  std::string num, den;
  for (size_t i = 0; i < kBase; ++i) {
    const Rational& e = e_[i];
    if (e.num > 0) {
      if (!num.empty()) num += '*';
      append_factor(num, i, e);
    } else if (e.num < 0) {
      den += '/';
      append_factor(den, i, Rational{-e.num, e.den});
    }
  }
  // A pure number, or only divisors: "1", "1/s".
  return (num.empty() ? std::string(1, '1') : num) + den;
}

namespace {

class UnitReader {
 public:
  explicit UnitReader(std::string_view text) : t_(text) {}

  Unit read() {
    skip_spaces();
    if (at_end()) fail("empty unit (write 1 for a dimensionless quantity)");
    Unit u;
    bool divide = false;
    for (;;) {
      const Unit f = factor();
      const auto next = divide ? u.over(f) : u.times(f);
      if (!next) fail("exponent too large");
      u = bounded(*next);
      const size_t before = i_;
      skip_spaces();
      if (at_end()) return u;
      if (peek() == '*' && !(i_ + 1 < t_.size() && t_[i_ + 1] == '*')) {
        divide = false;
        ++i_;
      } else if (peek() == '/') {
        divide = true;
        ++i_;
      } else if (i_ > before) {
        divide = false;  // a space multiplies
      } else {
        fail(std::string("unexpected '") + peek() + "'");
      }
      skip_spaces();
      if (at_end()) fail("a unit is missing after the operator");
    }
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw UnitError(what + " at position " + std::to_string(i_ + 1), i_ + 1);
  }
  // A unit whose exponents no text may write (N^1000 is s^-2000) is refused,
  // so every unit read has a text that reads back.
  Unit bounded(const Unit& u) const {
    for (size_t b = 0; b < Unit::kBase; ++b) {
      const Rational& r = u.exponent(b);
      if (r.num > kMaxExponent || r.num < -kMaxExponent || r.den > kMaxExponent)
        fail("exponent above " + std::to_string(kMaxExponent));
    }
    return u;
  }
  bool at_end() const { return i_ >= t_.size(); }
  char peek() const { return t_[i_]; }
  void skip_spaces() {
    while (!at_end() && (peek() == ' ' || peek() == '\t')) ++i_;
  }
  static bool letter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
  static bool digit(char c) { return c >= '0' && c <= '9'; }

  Unit factor() {
    if (peek() == '1' && !(i_ + 1 < t_.size() && digit(t_[i_ + 1]))) {
      ++i_;
      return Unit{};
    }
    const size_t start = i_;
    while (!at_end() && letter(peek())) ++i_;
    if (i_ == start) fail("expected a unit name");
    const std::string_view name = t_.substr(start, i_ - start);
    Unit u = named(name, start);
    if (!at_end() &&
        (peek() == '^' || (peek() == '*' && i_ + 1 < t_.size() && t_[i_ + 1] == '*'))) {
      i_ += peek() == '^' ? 1 : 2;
      const auto p = u.pow(exponent());
      if (!p) fail("exponent too large");
      u = bounded(*p);
    }
    return u;
  }

  Unit named(std::string_view name, size_t start) {
    for (size_t b = 0; b < Unit::kBase; ++b)
      if (name == kBaseNames[b]) return Unit::base(b);
    for (const Derived& d : kDerived) {
      if (name != d.name) continue;
      Unit u;
      for (size_t b = 0; b < Unit::kBase; ++b) {
        const auto p = Unit::base(b).pow(Rational{d.e[b], 1});
        u = *u.times(*p);  // small integers: cannot overflow
      }
      return u;
    }
    i_ = start;
    fail("unknown unit '" + std::string(name) +
         "' (known: kg m s A K mol cd Hz N Pa J W C V F Ohm S Wb T H)");
  }

  int64_t integer() {
    bool negative = false;
    if (!at_end() && (peek() == '-' || peek() == '+')) negative = peek() == '-', ++i_;
    if (at_end() || !digit(peek())) fail("expected a whole number");
    int64_t v = 0;
    while (!at_end() && digit(peek())) {
      v = v * 10 + (peek() - '0');
      if (v > kMaxExponent) fail("exponent above " + std::to_string(kMaxExponent));
      ++i_;
    }
    return negative ? -v : v;
  }

  Rational exponent() {
    if (at_end()) fail("expected an exponent");
    if (peek() != '(') return Rational{integer(), 1};
    ++i_;
    skip_spaces();
    const int64_t num = integer();
    int64_t den = 1;
    skip_spaces();
    if (!at_end() && peek() == '/') {
      ++i_;
      skip_spaces();
      const size_t at = i_;
      den = integer();
      if (den <= 0) {
        i_ = at;
        fail("an exponent's denominator must be above 0");
      }
      skip_spaces();
    }
    if (at_end() || peek() != ')') fail("expected ')'");
    ++i_;
    return *Rational::make(num, den);
  }

  std::string_view t_;
  size_t i_ = 0;
};

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

Unit read_column_unit(const std::string& role, const std::string& text) {
  try {
    return parse_unit(text);
  } catch (const UnitError& e) {
    throw UnitError("unit " + quoted(text) + " of " + role + ": " + e.what(), e.position());
  }
}

}  // namespace

Unit parse_unit(std::string_view text) { return UnitReader(text).read(); }

DeclaredUnits read_units(const std::vector<std::string>& names,
                         const std::vector<std::pair<std::string, std::string>>& units,
                         const std::string& target_name, const std::string& target_unit) {
  DeclaredUnits out;
  out.declared = true;
  for (const auto& [name, text] : units) {
    bool known = false;
    for (const std::string& n : names) known = known || n == name;
    if (!known)
      throw std::invalid_argument("a unit is given for " + quoted(name) +
                                  ", which is not a feature of the data");
    for (const auto& [seen, u] : out.features)
      if (seen == name) throw std::invalid_argument("two units are given for " + quoted(name));
    out.features.emplace_back(name, read_column_unit("the column " + quoted(name), text));
  }
  for (const std::string& n : names) {
    bool found = false;
    for (const auto& [seen, u] : out.features) found = found || seen == n;
    if (!found)
      throw std::invalid_argument("no unit for the feature " + quoted(n) +
                                  " (every feature needs one once units are given; 1 for none)");
  }
  if (target_unit.empty())
    throw std::invalid_argument("no unit for the target " + quoted(target_name) +
                                " (needed once units are given; 1 for none)");
  out.target = read_column_unit("the target " + quoted(target_name), target_unit);
  return out;
}

}  // namespace quorvex
