#include "units/groups.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <numeric>
#include <string>
#include <utility>

namespace quorvex {

namespace {

using Column = std::array<Rational, Unit::kBase>;

Column column_of(const Unit& u) {
  Column c{};
  for (size_t i = 0; i < Unit::kBase; ++i) c[i] = u.exponent(i);
  return c;
}

// Reduced row echelon form of the matrix whose columns are `cols`: the
// pivot columns, and in `m` the reduced rows. nullopt when a value leaves
// Rational's range.
struct Echelon {
  std::vector<std::vector<Rational>> m;
  std::vector<size_t> pivots;
};

std::optional<Echelon> echelon(const std::vector<Column>& cols) {
  const size_t n = cols.size();
  Echelon out;
  out.m.assign(Unit::kBase, std::vector<Rational>(n));
  for (size_t r = 0; r < Unit::kBase; ++r)
    for (size_t c = 0; c < n; ++c) out.m[r][c] = cols[c][r];
  auto& m = out.m;
  size_t row = 0;
  for (size_t c = 0; c < n && row < Unit::kBase; ++c) {
    size_t p = row;
    while (p < Unit::kBase && m[p][c].zero()) ++p;
    if (p == Unit::kBase) continue;
    std::swap(m[p], m[row]);
    const auto inv = Rational::make(m[row][c].den, m[row][c].num);
    if (!inv) return std::nullopt;
    for (Rational& x : m[row]) {
      const auto y = x * *inv;
      if (!y) return std::nullopt;
      x = *y;
    }
    for (size_t i = 0; i < Unit::kBase; ++i) {
      if (i == row || m[i][c].zero()) continue;
      const Rational f{-m[i][c].num, m[i][c].den};
      for (size_t k = 0; k < n; ++k) {
        const auto t = m[row][k] * f;
        const auto s = t ? m[i][k] + *t : std::nullopt;
        if (!s) return std::nullopt;
        m[i][k] = *s;
      }
    }
    out.pivots.push_back(c);
    ++row;
  }
  return out;
}

// The exponents a with Σ a_i·basis_i = want, when the basis is independent
// and `want` lies in what it spans.
std::optional<std::vector<Rational>> express(std::vector<Column> basis, const Column& want) {
  const size_t r = basis.size();
  basis.push_back(want);
  const auto e = echelon(basis);
  if (!e || e->pivots.size() != r) return std::nullopt;
  for (size_t i = 0; i < r; ++i)
    if (e->pivots[i] != i) return std::nullopt;
  std::vector<Rational> a(r);
  for (size_t i = 0; i < r; ++i) a[i] = e->m[i][r];
  return a;
}

// `a` scaled to whole numbers, the first factor `lead` (> 0) times the
// denominators' least common multiple; nullopt past kMaxGroupPower.
std::optional<std::vector<int>> whole(const std::vector<Rational>& a, int64_t lead) {
  int64_t d = 1;
  for (const Rational& x : a) {
    d = std::lcm(d, x.den);
    if (d * lead > kMaxGroupPower) return std::nullopt;
  }
  std::vector<int> out;
  out.push_back(static_cast<int>(d * lead));
  for (const Rational& x : a) {
    const int64_t v = x.num * (d / x.den);
    if (std::llabs(v) > kMaxGroupPower) return std::nullopt;
    out.push_back(static_cast<int>(v));
  }
  return out;
}

}  // namespace

std::optional<UnitGroups> unit_groups(const DeclaredUnits& declared) {
  std::vector<std::pair<std::string, Unit>> dimensioned;
  std::vector<std::string> pure;
  for (const auto& [name, unit] : declared.features) {
    bool seen = false;
    for (const auto& [n, u] : dimensioned) seen = seen || n == name;
    for (const std::string& n : pure) seen = seen || n == name;
    if (seen) continue;
    if (unit.dimensionless()) {
      pure.push_back(name);
    } else {
      dimensioned.emplace_back(name, unit);
    }
  }
  const size_t n = dimensioned.size();
  if (n == 0 || n > kMaxDimensioned) return std::nullopt;
  std::vector<Column> cols;
  for (const auto& [name, unit] : dimensioned) cols.push_back(column_of(unit));
  const auto all = echelon(cols);
  if (!all) return std::nullopt;
  const size_t rank = all->pivots.size();
  const Column target = column_of(declared.target);

  std::optional<UnitGroups> best;
  int best_cost = INT_MAX;
  // Each choice of `rank` repeating features, in lexicographic order: the
  // first of the cheapest wins.
  std::vector<size_t> pick(rank);
  std::iota(pick.begin(), pick.end(), size_t{0});
  for (;;) {
    std::vector<Column> basis;
    std::vector<bool> repeating(n, false);
    for (size_t i : pick) basis.push_back(cols[i]), repeating[i] = true;
    UnitGroups g;
    int cost = 0;
    bool ok = false;
    if (const auto b = express(basis, target)) {
      // Whole or half exponents: a half makes the scale a square root.
      ok = std::all_of(b->begin(), b->end(), [](const Rational& x) { return x.den <= 2; });
      g.scale_sqrt =
          std::any_of(b->begin(), b->end(), [](const Rational& x) { return x.den == 2; });
      const int64_t times = g.scale_sqrt ? 2 : 1;
      for (size_t i = 0; i < rank && ok; ++i) {
        const int64_t p = (*b)[i].num * times / (*b)[i].den;
        ok = std::llabs(p) <= kMaxGroupPower;
        if (ok && p != 0) {
          g.scale.emplace_back(dimensioned[pick[i]].first, static_cast<int>(p));
          cost += static_cast<int>(std::llabs(p));
        }
      }
      for (size_t j = 0; j < n && ok; ++j) {
        if (repeating[j]) continue;
        const auto a = express(basis, cols[j]);
        // x_j^d / Π x_i^(d·a_i): a pure number.
        std::vector<Rational> minus;
        if (a)
          for (const Rational& x : *a) minus.push_back(Rational{-x.num, x.den});
        const auto w = a ? whole(minus, 1) : std::nullopt;
        ok = w.has_value();
        if (!ok) break;
        Monomial m{{dimensioned[j].first, (*w)[0]}};
        for (size_t i = 0; i < rank; ++i)
          if ((*w)[i + 1] != 0) m.emplace_back(dimensioned[pick[i]].first, (*w)[i + 1]);
        for (const auto& [name, power] : m) cost += std::abs(power);
        g.groups.push_back(std::move(m));
      }
    }
    if (ok && cost < best_cost) {
      best_cost = cost;
      for (const std::string& name : pure) g.groups.push_back(Monomial{{name, 1}});
      best = std::move(g);
    }
    size_t i = rank;
    while (i > 0 && pick[i - 1] == n - rank + i - 1) --i;
    if (i == 0) break;
    ++pick[i - 1];
    for (size_t j = i; j < rank; ++j) pick[j] = pick[j - 1] + 1;
  }
  return best;
}

}  // namespace quorvex
