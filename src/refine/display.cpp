// The display works on a tree of its own: n-ary sums, products of powers with
// any real exponent (so x^1.7 and sqrt are one kind), and functions. Every
// node carries its values on the rows, so each rewrite is judged against
// what it replaces before it is kept.
#include "refine/display.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "expr/parse.h"

namespace quorvex {

namespace {

// A rewrite must agree with what it replaces this closely on every row.
constexpr double kRewriteTolerance = 1e-9;
// The text read back must agree with the tree this closely: constants of 6
// significant digits are within 5e-6.
constexpr double kShownTolerance = 1e-5;

constexpr uint32_t kMaxShownDepth = 64;
constexpr uint32_t kMaxShownNodes = 512;
// Nested rewrite calls, a few per level of a tree that deep.
constexpr int kMaxRewriteNesting = 8 * static_cast<int>(kMaxShownDepth);

enum class FK : uint8_t { Num, Var, Sum, Prod, Fn, Power };

struct Form;
using FP = std::shared_ptr<const Form>;

struct Factor {
  FP base;
  double e = 1.0;
};

struct Form {
  FK kind = FK::Num;
  double num = 0.0;  // Num: the value; Prod: the coefficient
  std::string name;  // Var
  Expr::Kind fn = Expr::Kind::Exp;
  std::vector<FP> terms;        // Sum
  std::vector<Factor> factors;  // Prod: num * product of base^e
  FP a;                         // Fn: the argument; Power: the base
  FP b;                         // Power: the exponent
  std::vector<double> v;        // the value on each row
};

bool negative(const Form& f) {
  return (f.kind == FK::Num || f.kind == FK::Prod) && std::signbit(f.num) && f.num != 0.0;
}

bool same(const Form& x, const Form& y) {
  if (&x == &y) return true;
  if (x.kind != y.kind) return false;
  switch (x.kind) {
    case FK::Num:
      return std::bit_cast<uint64_t>(x.num) == std::bit_cast<uint64_t>(y.num);
    case FK::Var:
      return x.name == y.name;
    case FK::Sum:
      if (x.terms.size() != y.terms.size()) return false;
      for (size_t i = 0; i < x.terms.size(); ++i)
        if (!same(*x.terms[i], *y.terms[i])) return false;
      return true;
    case FK::Prod:
      if (x.factors.size() != y.factors.size() || x.num != y.num) return false;
      for (size_t i = 0; i < x.factors.size(); ++i)
        if (x.factors[i].e != y.factors[i].e || !same(*x.factors[i].base, *y.factors[i].base))
          return false;
      return true;
    case FK::Fn:
      return x.fn == y.fn && same(*x.a, *y.a);
    case FK::Power:
      return same(*x.a, *y.a) && same(*x.b, *y.b);
  }
  return false;
}

// Nodes as written: numbers, names, operators and calls; a leading minus is
// one, the minus of a term after the first is its sum's operator.
uint32_t size_abs(const Form& f);
uint32_t size(const Form& f) { return size_abs(f) + (negative(f) ? 1 : 0); }
uint32_t size_abs(const Form& f) {
  switch (f.kind) {
    case FK::Num:
    case FK::Var:
      return 1;
    case FK::Sum: {
      uint32_t n = size(*f.terms[0]);
      for (size_t i = 1; i < f.terms.size(); ++i) n += 1 + size_abs(*f.terms[i]);
      return n;
    }
    case FK::Prod: {
      const bool coef = std::fabs(f.num) != 1.0;
      bool numerator = coef;
      uint32_t items = coef ? 1 : 0;
      uint32_t n = items;
      for (const Factor& x : f.factors) {
        const double e = std::fabs(x.e);
        n += size(*x.base) + (e == 1.0 ? 0 : e == 0.5 ? 1 : 2);
        numerator = numerator || x.e > 0;
        ++items;
      }
      if (!numerator) ++items, ++n;  // the 1 of 1/x
      return n + items - 1;
    }
    case FK::Fn:
      return 1 + size(*f.a);
    case FK::Power:
      return 1 + size(*f.a) + size(*f.b);
  }
  return 1;
}

bool agree(const std::vector<double>& x, const std::vector<double>& y, double tol) {
  double squares = 0.0;
  size_t finite = 0;
  for (const double a : x)
    if (std::isfinite(a)) squares += a * a, ++finite;
  const double floor = finite ? tol * 1e-3 * std::sqrt(squares / static_cast<double>(finite)) : 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double a = x[i];
    const double b = y[i];
    if (a == b || (std::isnan(a) && std::isnan(b))) continue;
    if (!std::isfinite(a) || !std::isfinite(b)) return false;
    if (std::fabs(a - b) > tol * std::max(std::fabs(a), std::fabs(b)) + floor) return false;
  }
  return true;
}

double power_of(double x, double e) {
  if (e == 1.0) return x;
  if (e == 0.5) return std::sqrt(x);
  return std::pow(x, e);
}

double function_of(Expr::Kind k, double x) {
  switch (k) {
    case Expr::Kind::Exp:
      return std::exp(x);
    case Expr::Kind::Log:
      return x > 0 ? std::log(x) : std::nan("");
    case Expr::Kind::Sin:
      return std::sin(x);
    case Expr::Kind::Cos:
      return std::cos(x);
    case Expr::Kind::Tanh:
      return std::tanh(x);
    case Expr::Kind::Abs:
      return std::fabs(x);
    default:
      return std::sqrt(x);
  }
}

class Display {
 public:
  explicit Display(const Dataset& rows) : rows_(rows), n_(rows.n_rows()) {}

  FP from(const Expr& e) {
    switch (e.kind()) {
      case Expr::Kind::Const:
        return num(e.value());
      case Expr::Kind::Feature:
        return var(e.name());
      case Expr::Kind::Bin: {
        FP l = from(e.left());
        FP r = from(e.right());
        switch (e.op()) {
          case Op::Add:
            return sum_of({l, r});
          case Op::Sub:
            return sum_of({l, scale(-1.0, r)});
          case Op::Mul:
            return prod_of(1.0, {{l, 1.0}, {r, 1.0}});
          case Op::Div:
            return prod_of(1.0, {{l, 1.0}, {r, -1.0}});
        }
        return l;
      }
      case Expr::Kind::Pow:
        return prod_of(1.0, {{from(e.child()), static_cast<double>(e.exponent())}});
      case Expr::Kind::Sqrt:
        return prod_of(1.0, {{from(e.child()), 0.5}});
      default:
        return fn_of(e.kind(), from(e.child()));
    }
  }

 private:
  // ---- plain nodes, their values computed from their children's ----

  FP num(double c) const {
    auto f = std::make_shared<Form>();
    f->num = c;
    f->v.assign(n_, c);
    return f;
  }
  FP var(const std::string& name) const {
    auto f = std::make_shared<Form>();
    f->kind = FK::Var;
    f->name = name;
    const size_t c = rows_.find_column(name);
    if (c == Dataset::npos) {
      f->v.assign(n_, 0.0);
    } else {
      f->v = rows_.column(c);
    }
    return f;
  }
  FP sum(std::vector<FP> terms) const {
    if (terms.size() == 1) return terms[0];
    auto f = std::make_shared<Form>();
    f->kind = FK::Sum;
    f->v.assign(n_, 0.0);
    for (const FP& t : terms)
      for (size_t i = 0; i < n_; ++i) f->v[i] += t->v[i];
    f->terms = std::move(terms);
    return f;
  }
  FP prod(double c, std::vector<Factor> factors) const {
    if (factors.empty()) return num(c);
    if (c == 1.0 && factors.size() == 1 && factors[0].e == 1.0) return factors[0].base;
    auto f = std::make_shared<Form>();
    f->kind = FK::Prod;
    f->num = c;
    f->v.assign(n_, c);
    for (const Factor& x : factors)
      for (size_t i = 0; i < n_; ++i) f->v[i] *= power_of(x.base->v[i], x.e);
    f->factors = std::move(factors);
    return f;
  }
  FP fn(Expr::Kind k, FP a) const {
    auto f = std::make_shared<Form>();
    f->kind = FK::Fn;
    f->fn = k;
    f->v.resize(n_);
    for (size_t i = 0; i < n_; ++i) f->v[i] = function_of(k, a->v[i]);
    f->a = std::move(a);
    return f;
  }
  FP power(FP a, FP b) const {
    auto f = std::make_shared<Form>();
    f->kind = FK::Power;
    f->v.resize(n_);
    for (size_t i = 0; i < n_; ++i)
      f->v[i] = std::exp(b->v[i] * function_of(Expr::Kind::Log, a->v[i]));
    f->a = std::move(a);
    f->b = std::move(b);
    return f;
  }

  // `candidate` where it agrees with `current` and is no longer (shorter,
  // when `strictly`).
  static FP better(const FP& current, const FP& candidate, bool strictly = false) {
    if (!candidate) return current;
    const uint32_t a = size(*candidate);
    const uint32_t b = size(*current);
    if (strictly ? a >= b : a > b) return current;
    return agree(current->v, candidate->v, kRewriteTolerance) ? candidate : current;
  }

  // ---- normal forms ----

  // k·t, the coefficient merged into a product or a number.
  FP scale(double k, const FP& t) {
    if (t->kind == FK::Num) return num(k * t->num);
    if (t->kind == FK::Prod) return prod_of(k * t->num, t->factors);
    return prod_of(k, {{t, 1.0}});
  }

  // (coefficient, the rest) of a term.
  std::pair<double, FP> split(const FP& t) const {
    if (t->kind != FK::Prod) return {1.0, t};
    return {t->num, prod(1.0, t->factors)};
  }

  FP sum_of(std::vector<FP> given) {
    const FP plain = sum(given);
    const Nested nested(*this);
    if (nested.too_deep()) return plain;
    std::vector<FP> flat;
    for (const FP& t : given) {
      if (t->kind == FK::Sum) {
        flat.insert(flat.end(), t->terms.begin(), t->terms.end());
      } else {
        flat.push_back(t);
      }
    }
    // Like terms merged, numbers summed.
    double constant = 0.0;
    std::vector<std::pair<double, FP>> parts;
    for (const FP& t : flat) {
      if (t->kind == FK::Num) {
        constant += t->num;
        continue;
      }
      // Plain names: clang 14 cannot capture structured bindings.
      const auto split_term = split(t);
      const double k = split_term.first;
      const FP rest = split_term.second;
      auto it = std::find_if(parts.begin(), parts.end(),
                             [&](const auto& p) { return same(*p.second, *rest); });
      if (it == parts.end()) {
        parts.emplace_back(k, rest);
      } else {
        it->first += k;
      }
    }
    std::vector<FP> terms;
    for (const auto& [k, rest] : parts)
      if (k != 0.0) terms.push_back(k == 1.0 ? rest : scale(k, rest));
    // A positive term leads, the constant comes last, unless it is the only
    // positive one: 1 - x^5, cos(t) - 1.
    const auto lead =
        std::find_if(terms.begin(), terms.end(), [](const FP& t) { return !negative(*t); });
    if (lead != terms.end()) std::rotate(terms.begin(), lead, lead + 1);
    if (constant != 0.0) {
      if (lead == terms.end() && constant > 0) {
        terms.insert(terms.begin(), num(constant));
      } else {
        terms.push_back(num(constant));
      }
    }
    FP out = terms.empty() ? num(0.0) : sum(std::move(terms));
    if (!agree(plain->v, out->v, kRewriteTolerance)) return plain;
    // Equal length is enough: the repeated part is written once.
    if (out->kind == FK::Sum) out = better(out, common_factor(*out));
    return out;
  }

  // A factor every term shares taken out: q·E + q·B·v -> q·(E + B·v).
  FP common_factor(const Form& s) {
    std::vector<std::pair<double, std::vector<Factor>>> terms;
    for (const FP& t : s.terms) {
      if (t->kind == FK::Prod) {
        terms.emplace_back(t->num, t->factors);
      } else if (t->kind == FK::Num) {
        terms.emplace_back(t->num, std::vector<Factor>{});
      } else {
        terms.emplace_back(1.0, std::vector<Factor>{{t, 1.0}});
      }
    }
    std::vector<Factor> common;
    for (const Factor& f : terms[0].second) {
      double e = f.e;
      bool everywhere = true;
      for (size_t i = 1; i < terms.size() && everywhere; ++i) {
        everywhere = false;
        for (const Factor& g : terms[i].second) {
          if ((g.e > 0) != (f.e > 0) || !same(*g.base, *f.base)) continue;
          e = f.e > 0 ? std::min(e, g.e) : std::max(e, g.e);
          everywhere = true;
        }
      }
      if (everywhere) common.push_back({f.base, e});
    }
    double k = std::fabs(terms[0].first);
    for (const auto& t : terms)
      if (std::fabs(t.first) != k) k = 1.0;
    if (common.empty() && k == 1.0) return nullptr;
    std::vector<FP> inner;
    for (auto& [c, factors] : terms) {
      for (const Factor& f : common)
        for (Factor& g : factors)
          if ((g.e > 0) == (f.e > 0) && same(*g.base, *f.base)) g.e -= f.e;
      std::erase_if(factors, [](const Factor& g) { return g.e == 0.0; });
      inner.push_back(prod_of(c / k, factors));
    }
    common.push_back({sum_of(std::move(inner)), 1.0});
    return prod_of(k, std::move(common));
  }

  FP prod_of(double coef, const std::vector<Factor>& given) {
    if (coef == 1.0 && given.size() == 1 && given[0].e == 1.0) return given[0].base;
    const FP plain = prod(coef, given);
    const Nested nested(*this);
    if (nested.too_deep()) return plain;
    double c = coef;
    std::vector<Factor> fs;
    for (const Factor& x : given) {
      const FP& base = x.base;
      const bool whole = x.e == std::floor(x.e);
      if (base->kind == FK::Num && std::isfinite(std::pow(base->num, x.e))) {
        c *= std::pow(base->num, x.e);
      } else if (base->kind == FK::Prod && (whole || base->num > 0)) {
        c *= std::pow(base->num, x.e);
        for (const Factor& y : base->factors) fs.push_back({y.base, y.e * x.e});
      } else {
        fs.push_back(x);
      }
    }
    // exp(u)^k -> exp(k·u), then exp(a)·exp(b) -> exp(a + b).
    std::vector<FP> exponents;
    for (Factor& x : fs)
      if (x.base->kind == FK::Fn && x.base->fn == Expr::Kind::Exp) {
        exponents.push_back(x.e == 1.0 ? x.base->a : scale(x.e, x.base->a));
        x.e = 0.0;
      }
    // Powers of one base merged.
    for (size_t i = 0; i < fs.size(); ++i)
      for (size_t j = i + 1; j < fs.size(); ++j)
        if (fs[i].e != 0.0 && fs[j].e != 0.0 && same(*fs[i].base, *fs[j].base)) {
          fs[i].e += fs[j].e;
          fs[j].e = 0.0;
        }
    std::erase_if(fs, [](const Factor& x) { return x.e == 0.0; });
    if (!exponents.empty()) {
      FP e = exponents.size() == 1 ? exponents[0] : sum_of(std::move(exponents));
      fs.push_back({fn_of(Expr::Kind::Exp, e), 1.0});
    }
    FP out = prod(c, fs);
    if (!agree(plain->v, out->v, kRewriteTolerance)) return plain;
    if (out->kind != FK::Prod) return out;
    out = distribute_sign(out);
    if (out->kind != FK::Prod) return out;
    out = better(out, clear_negative_powers(*out));
    if (out->kind != FK::Prod) return out;
    return better(out, monic(*out));
  }

  // -(a - b) -> b - a; -x/(a - b) -> x/(b - a); 2/(-a - 1) -> -2/(a + 1).
  FP distribute_sign(const FP& p) {
    for (size_t i = 0; i < p->factors.size(); ++i) {
      const Factor& x = p->factors[i];
      if (x.base->kind != FK::Sum || std::fabs(x.e) != 1.0) continue;
      const auto& terms = x.base->terms;
      const bool all_negative = negative(*terms[0]);
      const bool some_negative =
          std::any_of(terms.begin(), terms.end(), [](const FP& t) { return negative(*t); });
      if (!all_negative && !(negative(*p) && some_negative)) continue;
      std::vector<FP> flipped;
      for (const FP& t : x.base->terms) flipped.push_back(scale(-1.0, t));
      std::vector<Factor> fs = p->factors;
      fs[i].base = sum_of(std::move(flipped));
      return better(p, prod_of(-p->num, fs), negative(*p) && p->factors.size() > 1);
    }
    return p;
  }

  // c/(a + 1/S) -> c·S/(a·S + 1): a sum's negative powers of one base
  // multiplied out.
  FP clear_negative_powers(const Form& p) {
    for (size_t i = 0; i < p.factors.size(); ++i) {
      const Factor& x = p.factors[i];
      if (x.base->kind != FK::Sum || std::fabs(x.e) != 1.0) continue;
      const FP* base = nullptr;
      double m = 0.0;
      for (const FP& t : x.base->terms) {
        if (t->kind != FK::Prod) continue;
        for (const Factor& f : t->factors)
          if (f.e < 0 && (!base || same(**base, *f.base))) {
            base = &f.base;
            m = std::max(m, -f.e);
          }
      }
      if (!base) continue;
      std::vector<FP> terms;
      for (const FP& t : x.base->terms) {
        auto [k, rest] = split(t);
        terms.push_back(prod_of(k, {{rest, 1.0}, {*base, m}}));
      }
      std::vector<Factor> fs = p.factors;
      fs[i].base = sum_of(std::move(terms));
      fs.push_back({*base, -m * x.e});
      return prod_of(p.num, fs);
    }
    return nullptr;
  }

  // Vmax·S/(Km + S): a denominator with a constant term gets a first term
  // of coefficient 1.
  FP monic(const Form& p) {
    for (size_t i = 0; i < p.factors.size(); ++i) {
      const Factor& x = p.factors[i];
      if (x.base->kind != FK::Sum || x.e != -1.0) continue;
      const auto& terms = x.base->terms;
      if (std::none_of(terms.begin(), terms.end(), [](const FP& t) { return t->kind == FK::Num; }))
        continue;
      const auto first =
          std::find_if(terms.begin(), terms.end(), [](const FP& t) { return t->kind != FK::Num; });
      const double a = split(*first).first;
      if (!(a > 0) || a == 1.0) continue;
      std::vector<FP> divided;
      for (const FP& t : terms) divided.push_back(scale(1.0 / a, t));
      std::vector<Factor> fs = p.factors;
      fs[i].base = sum_of(std::move(divided));
      return prod_of(p.num / a, fs);
    }
    return nullptr;
  }

  FP fn_of(Expr::Kind k, const FP& a) {
    FP out = fn(k, a);
    const Nested nested(*this);
    if (nested.too_deep()) return out;
    const auto keep = [&](const FP& candidate) { out = better(out, candidate); };
    switch (k) {
      case Expr::Kind::Exp:
        if (a->kind == FK::Fn && a->fn == Expr::Kind::Log) keep(a->a);
        if (a->kind == FK::Prod) keep(exp_of_log(*a));
        // exp(-2·(u - 0.8)) -> 5·exp(-2·u) below
        if (a->kind == FK::Prod && a->factors.size() == 1 && a->factors[0].e == 1.0 &&
            a->factors[0].base->kind == FK::Sum) {
          // A plain sum: sum_of would take the factor out again.
          std::vector<FP> terms;
          for (const FP& t : a->factors[0].base->terms) terms.push_back(scale(a->num, t));
          keep(fn_of(k, sum(std::move(terms))));
        }
        if (a->kind == FK::Sum && a->terms.back()->kind == FK::Num) {
          std::vector<FP> rest(a->terms.begin(), a->terms.end() - 1);
          const double c = std::exp(a->terms.back()->num);
          if (std::isfinite(c) && c != 0.0) keep(prod_of(c, {{fn_of(k, sum_of(rest)), 1.0}}));
        }
        break;
      case Expr::Kind::Log:
        if (a->kind == FK::Fn && a->fn == Expr::Kind::Exp) keep(a->a);
        break;
      case Expr::Kind::Sin:
      case Expr::Kind::Tanh:
        if (negative(*a)) keep(scale(-1.0, fn_of(k, scale(-1.0, a))));
        if (k == Expr::Kind::Sin) {
          keep(shifted(k, *a));
          keep(within_turn(k, *a));
        }
        break;
      case Expr::Kind::Cos:
        if (negative(*a)) keep(fn_of(k, scale(-1.0, a)));
        keep(shifted(k, *a));
        keep(within_turn(k, *a));
        break;
      default:
        break;
    }
    return out;
  }

  // exp(c·y·log x) -> x^(c·y).
  FP exp_of_log(const Form& p) {
    for (size_t i = 0; i < p.factors.size(); ++i) {
      const Factor& x = p.factors[i];
      if (x.e != 1.0 || x.base->kind != FK::Fn || x.base->fn != Expr::Kind::Log) continue;
      std::vector<Factor> rest = p.factors;
      rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i));
      const FP e = prod_of(p.num, rest);
      if (e->kind == FK::Num) return prod_of(1.0, {{x.base->a, e->num}});
      return power(x.base->a, e);
    }
    return nullptr;
  }

  // A fit may leave a phase many turns away (cos(θ - 9308.54)); within
  // (-π, π] it reads as what it is (cos(θ - 3.1416), i.e. -cos(θ)).
  FP within_turn(Expr::Kind k, const Form& a) {
    if (a.kind != FK::Sum || a.terms.back()->kind != FK::Num) return nullptr;
    const double c = a.terms.back()->num;
    if (!std::isfinite(c) || std::fabs(c) <= std::numbers::pi) return nullptr;
    std::vector<FP> terms(a.terms.begin(), a.terms.end() - 1);
    const double r = std::remainder(c, 2 * std::numbers::pi);
    if (r != 0.0) terms.push_back(num(r));
    return fn_of(k, sum_of(std::move(terms)));
  }

  // sin(u + k·π/2) and cos(u + k·π/2) as ±sin(u) or ±cos(u).
  FP shifted(Expr::Kind k, const Form& a) {
    if (a.kind != FK::Sum || a.terms.back()->kind != FK::Num) return nullptr;
    const double q = a.terms.back()->num / (std::numbers::pi / 2);
    const double turns = std::round(q);
    if (!std::isfinite(q) || std::fabs(q - turns) > 1e-6 || turns == 0.0) return nullptr;
    std::vector<FP> rest(a.terms.begin(), a.terms.end() - 1);
    // cos(u) = sin(u + π/2): count quarter turns from sin.
    const int quarter =
        static_cast<int>(std::fmod(turns + (k == Expr::Kind::Cos ? 1 : 0), 4.0) + 4) % 4;
    const FP u = sum_of(std::move(rest));
    const FP f = fn_of(quarter % 2 == 0 ? Expr::Kind::Sin : Expr::Kind::Cos, u);
    return quarter >= 2 ? scale(-1.0, f) : f;
  }

  // Rewrites call one another; should some pair ever undo each other, this
  // bounds the recursion and keeps the forms reached.
  struct Nested {
    explicit Nested(Display& d) : d_(d) { ++d_.depth_; }
    ~Nested() { --d_.depth_; }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;
    bool too_deep() const { return d_.depth_ > kMaxRewriteNesting; }
    Display& d_;
  };

  const Dataset& rows_;
  size_t n_;
  int depth_ = 0;
};

// ---- writing ----

// Appends in turn: g++ 12 warns falsely of an overlap in "literal" + string.
template <typename... T>
std::string cat(const T&... parts) {
  std::string s;
  ((s += parts), ...);
  return s;
}

enum Level : int { kSum = 1, kProduct = 2, kPower = 4, kAtom = 5 };

struct Writer {
  int digits;
  bool latex;

  std::string number(double v) const {
    std::string s = shown_number(v, digits);
    if (!latex) return s;
    const size_t e = s.find('e');
    if (e == std::string::npos) return s;
    return cat(s.substr(0, e), " \\cdot 10^{", s.substr(e + 1), "}");
  }

  std::string name(const std::string& n) const {
    if (!latex) return n;
    static constexpr const char* kGreek[] = {
        "alpha", "beta",   "gamma",  "delta", "epsilon", "zeta",  "eta",   "theta",
        "iota",  "kappa",  "lambda", "mu",    "nu",      "xi",    "pi",    "rho",
        "sigma", "tau",    "phi",    "chi",   "psi",     "omega", "Gamma", "Delta",
        "Theta", "Lambda", "Xi",     "Pi",    "Sigma",   "Phi",   "Psi",   "Omega"};
    const size_t cut = n.find('_');
    const std::string head = n.substr(0, cut);
    std::string tail = cut == std::string::npos ? "" : n.substr(cut + 1);
    std::string shown;
    for (const char* g : kGreek)
      if (head == g) shown = cat("\\", head);
    if (shown.empty() && head.size() == 1) shown = head;
    // x1 -> x_{1}
    if (shown.empty() && cut == std::string::npos && head.size() > 1 &&
        std::all_of(head.begin() + 1, head.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
        !(head[0] >= '0' && head[0] <= '9'))
      return cat(head.substr(0, 1), "_{", head.substr(1), "}");
    if (shown.empty()) return cat("\\mathrm{", escaped(n), "}");
    if (tail.empty()) return shown;
    return cat(shown, "_{", tail.size() == 1 ? tail : cat("\\mathrm{", escaped(tail), "}"), "}");
  }

  static std::string escaped(const std::string& s) {
    std::string out;
    for (const char c : s) {
      if (c == '_' || c == '&' || c == '%' || c == '$' || c == '#' || c == '{' || c == '}')
        out += '\\';
      out += c;
    }
    return out;
  }

  std::string open() const { return latex ? "\\left(" : "("; }
  std::string close() const { return latex ? "\\right)" : ")"; }

  static int level(const Form& f) {
    if (negative(f)) return kProduct;
    switch (f.kind) {
      case FK::Sum:
        return kSum;
      case FK::Prod:
        return kProduct;
      case FK::Power:
        return kPower;
      default:
        return kAtom;
    }
  }

  std::string at(const Form& f, int need) const {
    std::string s;
    if (negative(f)) s += '-';
    s += magnitude(f);
    if (level(f) >= need) return s;
    std::string wrapped = open();
    wrapped += s;
    wrapped += close();
    return wrapped;
  }

  std::string magnitude(const Form& f) const {
    switch (f.kind) {
      case FK::Num:
        return number(std::fabs(f.num));
      case FK::Var:
        return name(f.name);
      case FK::Sum: {
        std::string s = at(*f.terms[0], kSum);
        for (size_t i = 1; i < f.terms.size(); ++i)
          s += (negative(*f.terms[i]) ? " - " : " + ") + magnitude(*f.terms[i]);
        return s;
      }
      case FK::Prod:
        return product(f);
      case FK::Fn:
        return function(f);
      case FK::Power:
        if (latex) return cat(at(*f.a, kAtom), "^{", at(*f.b, 0), "}");
        return cat(at(*f.a, kAtom), "^",
                   f.b->kind == FK::Num || f.b->kind == FK::Var || f.b->kind == FK::Fn
                       ? at(*f.b, 0)
                       : cat(open(), at(*f.b, 0), close()));
    }
    return "";
  }

  std::string function(const Form& f) const {
    const char* names[] = {"exp", "log", "sqrt", "sin", "cos", "tanh", "abs"};
    const auto index = static_cast<int>(f.fn) - static_cast<int>(Expr::Kind::Exp);
    const std::string arg = at(*f.a, 0);
    if (!latex) return cat(names[index], "(", arg, ")");
    if (f.fn == Expr::Kind::Exp) return cat("e^{", arg, "}");
    if (f.fn == Expr::Kind::Abs) return cat("\\left|", arg, "\\right|");
    if (f.fn == Expr::Kind::Sqrt) return cat("\\sqrt{", arg, "}");
    return cat("\\", names[index], open(), arg, close());
  }

  // One factor with a positive exponent.
  std::string factor(const Form& base, double e) const {
    if (e == 1.0) return at(base, kPower);
    if (e == 0.5) return latex ? cat("\\sqrt{", at(base, 0), "}") : cat("sqrt(", at(base, 0), ")");
    // e^{...} and x^{...} take no second exponent unbracketed.
    const int need = latex && base.kind == FK::Fn && base.fn == Expr::Kind::Exp ? kAtom + 1 : kAtom;
    return latex ? cat(at(base, need), "^{", number(e), "}") : cat(at(base, need), "^", number(e));
  }

  std::string join(const std::vector<std::string>& parts) const {
    std::string s;
    for (const std::string& p : parts) {
      if (!s.empty()) {
        const bool digit_next = !p.empty() && (p[0] >= '0' && p[0] <= '9');
        s += latex ? (digit_next ? " \\cdot " : " ") : "*";
      }
      s += p;
    }
    return s;
  }

  std::string product(const Form& f) const {
    std::vector<std::string> top;
    std::vector<std::string> bottom;
    if (std::fabs(f.num) != 1.0) top.push_back(number(std::fabs(f.num)));
    // Square roots written as one: sqrt(a*b/c), not sqrt(a)*sqrt(b)/sqrt(c).
    Form roots;
    roots.kind = FK::Prod;
    roots.num = 1.0;
    for (const Factor& x : f.factors)
      if (std::fabs(x.e) == 0.5) roots.factors.push_back({x.base, 2 * x.e});
    const bool joined = roots.factors.size() > 1;
    bool roots_written = false;
    for (const Factor& x : f.factors) {
      if (joined && std::fabs(x.e) == 0.5) {
        if (!roots_written)
          top.push_back(latex ? cat("\\sqrt{", product(roots), "}")
                              : cat("sqrt(", product(roots), ")"));
        roots_written = true;
      } else if (x.e > 0) {
        top.push_back(factor(*x.base, x.e));
      } else {
        bottom.push_back(factor(*x.base, -x.e));
      }
    }
    std::string num = top.empty() ? "1" : join(top);
    if (bottom.empty()) return num;
    if (latex) {
      // A fraction's bar groups: a lone sum above or below it needs no brackets.
      const auto lone = [&](bool above) -> const Form* {
        const Form* one = nullptr;
        size_t count = above && std::fabs(f.num) != 1.0 ? 1 : 0;
        for (const Factor& x : f.factors)
          if ((x.e > 0) == above) ++count, one = std::fabs(x.e) == 1.0 ? x.base.get() : nullptr;
        return count == 1 ? one : nullptr;
      };
      const Form* above = lone(true);
      const Form* below = lone(false);
      return cat("\\frac{", above ? at(*above, 0) : num, "}{", below ? at(*below, 0) : join(bottom),
                 "}");
    }
    // A lone factor keeps the parentheses factor() gave it.
    if (bottom.size() == 1) return cat(num, "/", bottom[0]);
    return cat(num, "/(", join(bottom), ")");
  }
};

std::string written(const Form& f, int digits, bool latex) {
  return Writer{digits, latex}.at(f, 0);
}

bool reads_back(const std::string& text, const Expr& tree, const Dataset& rows) {
  Expr back = Expr::constant(0.0);
  try {
    back = parse_formula(text);
  } catch (const FormulaError&) {
    return false;
  }
  std::vector<double> want(rows.n_rows());
  std::vector<double> got(rows.n_rows());
  for (size_t i = 0; i < rows.n_rows(); ++i) {
    const Row row = rows.row(i);
    want[i] = tree.evaluate(row);
    got[i] = back.evaluate(row);
  }
  return agree(want, got, kShownTolerance);
}

}  // namespace

std::string shown_number(double value, int digits) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0.0) return "0";
  digits = std::clamp(digits, 1, 17);
  // The fewest significant digits that give the value back within 1e-6
  // (with more digits allowed, within 10^-digits; 17 give it exactly).
  const double tol = digits >= 17 ? 0.0 : std::pow(10.0, -std::max(digits, 6));
  char buf[64];
  int p = 1;
  for (; p < digits; ++p) {
    const auto r =
        std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, p - 1);
    double back = 0.0;
    std::from_chars(buf, r.ptr, back);
    if (std::fabs(back - value) <= tol * std::fabs(value)) break;
  }
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, p - 1);
  const std::string sci(buf, r.ptr);
  const size_t e = sci.find('e');
  int exponent = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                  exponent);
  std::string mantissa;
  for (const char c : sci.substr(0, e))
    if (c != '.' && c != '-') mantissa += c;
  while (mantissa.size() > 1 && mantissa.back() == '0') mantissa.pop_back();
  const std::string sign = value < 0 ? "-" : "";
  const double size = std::fabs(value);
  if (size < 1e-4 || size >= 1e6) {
    std::string m = mantissa.substr(0, 1);
    if (mantissa.size() > 1) m = cat(m, ".", mantissa.substr(1));
    char ebuf[16];
    const auto er = std::to_chars(ebuf, ebuf + sizeof ebuf, exponent);
    return cat(sign, m, "e", std::string(ebuf, er.ptr));
  }
  std::string s;
  if (exponent < 0) {
    s = cat("0.", std::string(static_cast<size_t>(-exponent - 1), '0'), mantissa);
  } else if (static_cast<size_t>(exponent) + 1 >= mantissa.size()) {
    s = cat(mantissa, std::string(static_cast<size_t>(exponent) + 1 - mantissa.size(), '0'));
  } else {
    s = cat(mantissa.substr(0, static_cast<size_t>(exponent) + 1), ".",
            mantissa.substr(static_cast<size_t>(exponent) + 1));
  }
  return cat(sign, s);
}

ShownFormula show_formula(const Expr& tree, const Dataset& rows) {
  // The search's trees are far smaller; one read from a merged report may be
  // deep enough to exhaust the stack of these recursive rewrites.
  if (tree.depth() > kMaxShownDepth || node_count(tree) > kMaxShownNodes)
    return {tree.formula(), {}};
  Display d(rows);
  const FP form = d.from(tree);
  for (const int digits : {6, 9, 12, 17}) {
    std::string text = written(*form, digits, false);
    if (reads_back(text, tree, rows)) return {std::move(text), written(*form, digits, true)};
  }
  return {tree.formula(), written(*form, 17, true)};
}

}  // namespace quorvex
