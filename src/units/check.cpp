#include "units/check.h"

#include <algorithm>
#include <array>

namespace quorvex {

namespace {

constexpr size_t kFree = kMaxDimensionalConstants;
constexpr size_t kWidth = kFree + Unit::kBase;
// A unit that may hold unknowns: the coefficients of the free constants'
// units, then the known exponents. A constraint is such a vector equal to 0.
using Vec = std::array<Rational, kWidth>;
// Deeper trees are refused rather than walked: derivation recurses.
constexpr int kMaxDepth = 4096;

Vec vec_of(const Unit& u) {
  Vec v{};
  for (size_t i = 0; i < Unit::kBase; ++i) v[kFree + i] = u.exponent(i);
  return v;
}

bool is_sum(const Expr& e) {
  return e.kind() == Expr::Kind::Bin && (e.op() == Op::Add || e.op() == Op::Sub);
}

class Deriver {
 public:
  // slot[i]: the unknown of constant i, -1 for a pure number, -2 for an
  // offset (a constant term of a sum).
  Deriver(const std::unordered_map<std::string, Unit>& features, const std::vector<int>& slot)
      : features_(features), slot_(slot) {}

  // Constraints of `tree` as a formula for `target`; false when one fails
  // without unknowns to take it up.
  bool run(const Expr& tree, const Unit& target) {
    const Vec want = vec_of(target);
    if (is_sum(tree) || tree.kind() == Expr::Kind::Const) {
      sum(tree, 0, &want);
    } else {
      equal(derive(tree, 0), want);
    }
    return ok_;
  }
  std::vector<Vec>& rows() { return rows_; }
  // The unit of each offset (a constant term of a sum) by its preorder
  // number, unknowns included.
  const std::vector<std::pair<size_t, Vec>>& offsets() const { return offsets_; }

 private:
  // The terms of a chain of + and -, in preorder: each constant's number in
  // `constants`, the first other term's unit in `first`, every other one
  // equal to it.
  void chain(const Expr& e, int depth, std::vector<size_t>& constants, std::optional<Vec>& first) {
    if (!ok_ || depth > kMaxDepth) {
      ok_ = false;
      return;
    }
    if (is_sum(e)) {
      chain(e.left(), depth + 1, constants, first);
      chain(e.right(), depth + 1, constants, first);
    } else if (e.kind() == Expr::Kind::Const) {
      constants.push_back(next_++);
    } else {
      const Vec v = derive(e, depth + 1);
      if (first) {
        equal(*first, v);
      } else {
        first = v;
      }
    }
  }

  // A sum's unit: that of its terms, which its constants (offsets) share; a
  // sum of constants alone is a pure number. `want`, if given, is the unit
  // the sum must have.
  Vec sum(const Expr& e, int depth, const Vec* want) {
    std::vector<size_t> constants;
    std::optional<Vec> first;
    chain(e, depth, constants, first);
    if (want) {
      if (first) equal(*first, *want);
      first = *want;
    }
    const Vec unit = first.value_or(Vec{});
    for (size_t c : constants) offsets_.emplace_back(c, unit);
    return unit;
  }

  Vec add(const Vec& a, const Vec& b, Rational sb) {
    Vec out{};
    for (size_t i = 0; i < kWidth && ok_; ++i) {
      const auto t = b[i] * sb;
      const auto s = t ? a[i] + *t : std::nullopt;
      if (s) {
        out[i] = *s;
      } else {
        ok_ = false;
      }
    }
    return out;
  }
  Vec scale(const Vec& a, Rational r) { return add(Vec{}, a, r); }

  // A dimensioned base takes only an exponent known exactly as a fraction:
  // a fitted real exponent (nullopt) needs a pure-number base.
  Vec power(const Vec& base, std::optional<Rational> exponent) {
    if (exponent) return scale(base, *exponent);
    equal(base, Vec{});
    return {};
  }

  void equal(const Vec& a, const Vec& b) {
    if (!ok_) return;
    const Vec d = add(a, b, Rational{-1, 1});
    bool unknowns = false, known = false;
    for (size_t i = 0; i < kWidth; ++i) (i < kFree ? unknowns : known) |= !d[i].zero();
    if (unknowns) {
      rows_.push_back(d);
    } else if (known) {
      ok_ = false;
    }
  }

  Vec derive(const Expr& e, int depth) {
    if (!ok_ || depth > kMaxDepth) {
      ok_ = false;
      return {};
    }
    switch (e.kind()) {
      case Expr::Kind::Const: {
        const int s = next_ < slot_.size() ? slot_[next_] : -1;
        ++next_;
        Vec v{};
        if (s >= 0) v[static_cast<size_t>(s)] = Rational{1, 1};
        return v;
      }
      case Expr::Kind::Feature: {
        const auto it = features_.find(e.name());
        if (it == features_.end()) {
          ok_ = false;
          return {};
        }
        return vec_of(it->second);
      }
      case Expr::Kind::Bin: {
        if (is_sum(e)) return sum(e, depth, nullptr);
        const Vec l = derive(e.left(), depth + 1);
        const Vec r = derive(e.right(), depth + 1);
        switch (e.op()) {
          case Op::Add:
          case Op::Sub:
            return l;  // not reached: sums go through sum()
          case Op::Mul:
            return add(l, r, Rational{1, 1});
          case Op::Div:
            return add(l, r, Rational{-1, 1});
        }
        return l;
      }
      case Expr::Kind::Pow:
        return power(derive(e.child(), depth + 1), Rational{e.exponent(), 1});
      case Expr::Kind::Sqrt:
        return scale(derive(e.child(), depth + 1), Rational{1, 2});
      case Expr::Kind::Abs:
        return derive(e.child(), depth + 1);
      case Expr::Kind::Exp:
      case Expr::Kind::Log:
      case Expr::Kind::Sin:
      case Expr::Kind::Cos:
      case Expr::Kind::Tanh:
        equal(derive(e.child(), depth + 1), Vec{});
        return {};
    }
    ok_ = false;
    return {};
  }

  const std::unordered_map<std::string, Unit>& features_;
  const std::vector<int>& slot_;
  size_t next_ = 0;
  std::vector<Vec> rows_;
  std::vector<std::pair<size_t, Vec>> offsets_;
  bool ok_ = true;
};

// Reduced row echelon form over the unknowns' columns; the units of the
// unknowns (those no constraint fixes are pure numbers) when consistent.
std::optional<std::array<Vec, kFree>> solve(std::vector<Vec> rows, size_t unknowns) {
  size_t r = 0;
  std::array<int, kFree> pivot_row;
  pivot_row.fill(-1);
  for (size_t c = 0; c < unknowns && r < rows.size(); ++c) {
    size_t p = r;
    while (p < rows.size() && rows[p][c].zero()) ++p;
    if (p == rows.size()) continue;
    std::swap(rows[p], rows[r]);
    const auto inv = Rational::make(rows[r][c].den, rows[r][c].num);
    if (!inv) return std::nullopt;
    for (Rational& x : rows[r]) {
      const auto y = x * *inv;
      if (!y) return std::nullopt;
      x = *y;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
      if (i == r || rows[i][c].zero()) continue;
      const Rational f{-rows[i][c].num, rows[i][c].den};
      for (size_t k = 0; k < kWidth; ++k) {
        const auto t = rows[r][k] * f;
        const auto s = t ? rows[i][k] + *t : std::nullopt;
        if (!s) return std::nullopt;
        rows[i][k] = *s;
      }
    }
    pivot_row[c] = static_cast<int>(r);
    ++r;
  }
  for (size_t i = r; i < rows.size(); ++i)
    for (size_t k = kFree; k < kWidth; ++k)
      if (!rows[i][k].zero()) return std::nullopt;
  std::array<Vec, kFree> out{};
  for (size_t c = 0; c < unknowns; ++c) {
    if (pivot_row[c] < 0) continue;
    // x_c + (free columns, taken as 0) + known = 0.
    for (size_t k = kFree; k < kWidth; ++k) {
      const Rational v = rows[static_cast<size_t>(pivot_row[c])][k];
      out[c][k] = Rational{-v.num, v.den};
    }
  }
  return out;
}

// False for a tree deeper than kMaxDepth.
bool count_constants(const Expr& e, std::vector<int>& slot, bool offset, int depth = 0) {
  if (depth > kMaxDepth) return false;
  switch (e.kind()) {
    case Expr::Kind::Const:
      slot.push_back(offset ? -2 : -1);
      return true;
    case Expr::Kind::Feature:
      return true;
    case Expr::Kind::Bin:
      return count_constants(e.left(), slot, is_sum(e), depth + 1) &&
             count_constants(e.right(), slot, is_sum(e), depth + 1);
    default:
      return count_constants(e.child(), slot, false, depth + 1);
  }
}

// Calls f with every choice of at most `count` of the pure-number slots made
// unknowns (numbered in order), fewest first, then in preorder; stops at the
// first that returns true.
template <typename F>
bool each_choice(std::vector<int>& slot, size_t from, uint32_t count, int next, F& f) {
  if (count == 0) return f(static_cast<size_t>(next));
  for (size_t i = from; i < slot.size(); ++i) {
    if (slot[i] != -1) continue;
    slot[i] = next;
    const bool done = each_choice(slot, i + 1, count - 1, next + 1, f);
    slot[i] = -1;
    if (done) return true;
  }
  return false;
}

}  // namespace

UnitCheck::UnitCheck(const DeclaredUnits& declared)
    : target_(declared.target),
      free_(std::min(declared.dimensional_constants, kMaxDimensionalConstants)) {
  for (const auto& [name, unit] : declared.features) features_.emplace(name, unit);
}

std::optional<std::vector<Unit>> UnitCheck::constant_units(const Expr& tree) const {
  std::vector<int> slot;
  if (!count_constants(tree, slot, true)) return std::nullopt;
  std::optional<std::vector<Unit>> found;
  auto attempt = [&](size_t unknowns) {
    Deriver d(features_, slot);
    if (!d.run(tree, target_)) return false;
    std::optional<std::array<Vec, kFree>> x;
    if (unknowns == 0) {
      x.emplace();
    } else {
      x = solve(std::move(d.rows()), unknowns);
    }
    if (!x) return false;
    // x_j = its known part; a unit with unknowns is its known part plus
    // Σ coefficient_j · x_j.
    auto resolve = [&](const Vec& v) -> std::optional<Unit> {
      std::array<Rational, Unit::kBase> e{};
      for (size_t k = 0; k < Unit::kBase; ++k) {
        std::optional<Rational> s = v[kFree + k];
        for (size_t j = 0; j < unknowns && s; ++j) {
          const auto t = v[j] * (*x)[j][kFree + k];
          s = t ? *s + *t : std::nullopt;
        }
        if (!s) return std::nullopt;
        e[k] = *s;
      }
      return Unit(e);
    };
    std::vector<Unit> units(slot.size());
    for (size_t i = 0; i < slot.size(); ++i) {
      if (slot[i] < 0) continue;
      Vec v{};
      v[static_cast<size_t>(slot[i])] = Rational{1, 1};
      const auto u = resolve(v);
      if (!u) return false;
      units[i] = *u;
    }
    for (const auto& [index, vec] : d.offsets()) {
      const auto u = resolve(vec);
      if (!u || index >= units.size()) return false;
      units[index] = *u;
    }
    found = std::move(units);
    return true;
  };
  for (uint32_t count = 0; count <= free_; ++count)
    if (each_choice(slot, 0, count, 0, attempt)) return found;
  return std::nullopt;
}

namespace {

// Every way of spreading `degree` over the features from `at` on, each
// power within ±3; f sees each complete choice and returns false to stop.
template <typename F>
bool spread(std::vector<int>& powers, size_t at, int degree, size_t& budget, F& f) {
  if (budget == 0) return false;
  --budget;
  if (degree == 0) return f(powers);
  if (at == powers.size()) return true;
  for (int p = 0; p <= 3 && p <= degree; ++p)
    for (int sign : {1, -1}) {
      if (p == 0 && sign < 0) continue;
      powers[at] = sign * p;
      const bool more = spread(powers, at + 1, degree - p, budget, f);
      powers[at] = 0;
      if (!more) return false;
    }
  return true;
}

// Choices looked at, at most: wide data get the simplest monomials only.
constexpr size_t kMonomialBudget = 200000;

}  // namespace

std::vector<Monomial> unit_monomials(const DeclaredUnits& declared, const Unit& want, size_t count,
                                     int max_degree) {
  std::vector<std::pair<std::string, Unit>> dimensioned;
  for (const auto& [name, unit] : declared.features) {
    bool seen = false;
    for (const auto& [n, u] : dimensioned) seen = seen || n == name;
    if (!seen && !unit.dimensionless()) dimensioned.emplace_back(name, unit);
  }
  std::vector<Monomial> out;
  if (dimensioned.empty() || count == 0) return out;
  std::vector<int> powers(dimensioned.size(), 0);
  size_t budget = kMonomialBudget;
  auto take = [&](const std::vector<int>& p) {
    std::optional<Unit> u = Unit{};
    for (size_t j = 0; j < p.size() && u; ++j) {
      if (p[j] == 0) continue;
      const auto f = dimensioned[j].second.pow(Rational{p[j], 1});
      u = f ? u->times(*f) : std::nullopt;
    }
    if (u && *u == want) {
      Monomial m;
      for (size_t j = 0; j < p.size(); ++j)
        if (p[j] != 0) m.emplace_back(dimensioned[j].first, p[j]);
      out.push_back(std::move(m));
    }
    return out.size() < count;
  };
  for (int degree = 1; degree <= max_degree; ++degree)
    if (!spread(powers, 0, degree, budget, take)) break;
  return out;
}

}  // namespace quorvex
