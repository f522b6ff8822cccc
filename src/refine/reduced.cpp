#include "refine/reduced.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "units/check.h"
#include "units/groups.h"

namespace quorvex {

namespace {

Expr product(const Monomial& m, int sign) {
  std::optional<Expr> out;
  for (const auto& [name, p] : m) {
    if (p * sign <= 0) continue;
    Expr f = p * sign == 1 ? Expr::feature(name) : Expr::pow(Expr::feature(name), p * sign);
    out = out ? Expr::bin(Op::Mul, std::move(*out), std::move(f)) : std::move(f);
  }
  return out ? std::move(*out) : Expr::constant(1.0);
}

// A quotient of positive powers, as a law would be written.
Expr monomial_tree(const Monomial& m) {
  const bool up = std::any_of(m.begin(), m.end(), [](const auto& f) { return f.second > 0; });
  const bool down = std::any_of(m.begin(), m.end(), [](const auto& f) { return f.second < 0; });
  if (!down) return product(m, 1);
  if (!up) {
    Monomial inverse = m;
    for (auto& f : inverse) f.second = -f.second;
    return Expr::bin(Op::Div, Expr::constant(1.0), product(inverse, 1));
  }
  return Expr::bin(Op::Div, product(m, 1), product(m, -1));
}

double monomial_value(const Dataset& data, const std::vector<std::pair<size_t, int>>& cols,
                      size_t row) {
  double v = 1.0;
  for (const auto& [c, p] : cols) v *= std::pow(data.column(c)[row], p);
  return v;
}

std::vector<std::pair<size_t, int>> columns_of(const Dataset& data, const Monomial& m) {
  std::vector<std::pair<size_t, int>> out;
  for (const auto& [name, p] : m) out.emplace_back(data.find_column(name), p);
  return out;
}

Expr substitute(const Expr& e, const std::unordered_map<std::string, Expr>& groups) {
  switch (e.kind()) {
    case Expr::Kind::Const:
      return e;
    case Expr::Kind::Feature: {
      const auto it = groups.find(e.name());
      return it == groups.end() ? e : it->second;
    }
    case Expr::Kind::Bin:
      return Expr::bin(e.op(), substitute(e.left(), groups), substitute(e.right(), groups));
    case Expr::Kind::Pow:
      return Expr::pow(substitute(e.child(), groups), e.exponent());
    default:
      return Expr::function(e.kind(), substitute(e.child(), groups));
  }
}

}  // namespace

ReducedStart reduced_start(const Dataset& train, const RefinedConfig& cfg, double time_limit,
                           const RefineProgress* progress) {
  ReducedStart out;
  if (!cfg.units.declared || cfg.units.dimensional_constants > 0) return out;
  const std::optional<UnitGroups> groups = unit_groups(cfg.units);
  if (!groups || groups->groups.empty()) return out;
  for (const Monomial& m : groups->groups)
    for (const auto& f : m)
      if (train.find_column(f.first) == Dataset::npos) return out;
  for (const auto& f : groups->scale)
    if (train.find_column(f.first) == Dataset::npos) return out;

  // The training rows (the split shuffled them) in the groups, y / M the target.
  Dataset reduced(train.target_name());
  std::unordered_map<std::string, Expr> written;
  std::vector<std::vector<std::pair<size_t, int>>> cols;
  std::vector<Monomial> inputs = groups->groups;
  if (inputs.size() == 1) {
    // Which way up a lone group is written is arbitrary, and a law is often
    // simpler in one (exp(c/q) against exp(c·q)): both are offered.
    Monomial inverse = inputs[0];
    for (auto& f : inverse) f.second = -f.second;
    inputs.push_back(std::move(inverse));
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string name = "group" + std::to_string(i + 1);
    reduced.add_feature(name);
    written.emplace(name, monomial_tree(inputs[i]));
    cols.push_back(columns_of(train, inputs[i]));
  }
  const auto scale = columns_of(train, groups->scale);
  const size_t rows = std::min(train.n_rows(), kReducedRows);
  reduced.reserve_rows(rows);
  std::vector<double> values(cols.size());
  for (size_t r = 0; r < rows; ++r) {
    for (size_t i = 0; i < cols.size(); ++i) values[i] = monomial_value(train, cols[i], r);
    const double m = monomial_value(train, scale, r);
    reduced.push_row(values.data(), train.targets()[r] / (groups->scale_sqrt ? std::sqrt(m) : m));
  }
  if (train.weighted())
    reduced.set_weights(std::vector<double>(
        train.weights().begin(), train.weights().begin() + static_cast<ptrdiff_t>(rows)));

  RefinedConfig sub = cfg;
  sub.units = DeclaredUnits{};
  sub.start_from.clear();
  sub.n_shuffles = 0;
  sub.generations = std::max<uint32_t>(1, cfg.generations / 2);
  sub.time_limit = time_limit;
  RefinedResult found;
  try {
    found = refine(reduced, sub, progress);
  } catch (const std::invalid_argument&) {
    return out;  // too few usable rows in the groups
  }
  out.generations = found.generations;
  out.stopped = found.stop == StopReason::Callback;
  const UnitCheck check(cfg.units);
  const Expr m =
      groups->scale_sqrt ? Expr::sqrt(monomial_tree(groups->scale)) : monomial_tree(groups->scale);
  for (const FrontEntry& e : found.front) {
    Expr t = substitute(e.tree, written);
    if (!groups->scale.empty()) t = Expr::bin(Op::Mul, m, std::move(t));
    if (cfg.operators.allows(t) && check.agrees(t)) out.trees.push_back(std::move(t));
  }
  return out;
}

}  // namespace quorvex
