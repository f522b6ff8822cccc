#include "refine/seeds.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_set>
#include <utility>

#include "baselines/baselines.h"
#include "expr/real_power.h"

namespace quorvex {

std::vector<std::string> distinct_features(const Dataset& data) {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  for (const std::string& f : data.features())
    if (seen.insert(f).second) out.push_back(f);
  return out;
}

// The baselines, with an exact constant or linear fit scored at the floor

Expr linear_tree(const Dataset& train, const std::vector<double>& coef) {
  std::vector<Expr> terms;
  std::unordered_set<std::string> seen;
  const auto& names = train.features();
  // A duplicated name reads one column: its slopes add up.
  for (size_t j = 0; j < names.size(); ++j) {
    if (!seen.insert(names[j]).second) continue;
    double slope = 0.0;
    for (size_t i = j; i < names.size(); ++i)
      if (names[i] == names[j]) slope += coef[i + 1];
    if (!std::isfinite(slope)) slope = 0.0;
    terms.push_back(Expr::bin(Op::Mul, Expr::constant(slope), Expr::feature(names[j])));
  }
  if (terms.empty()) return Expr::constant(0.0);
  // Summed in pairs: a tree of logarithmic depth whatever the feature count,
  // so that no walk over it recurses deeply.
  while (terms.size() > 1) {
    std::vector<Expr> pairs;
    for (size_t i = 0; i + 1 < terms.size(); i += 2)
      pairs.push_back(Expr::bin(Op::Add, std::move(terms[i]), std::move(terms[i + 1])));
    if (terms.size() % 2 == 1) pairs.push_back(std::move(terms.back()));
    terms = std::move(pairs);
  }
  return std::move(terms[0]);
}

Dataset first_rows(const Dataset& data, size_t count) {
  std::vector<size_t> positions(std::min(count, data.n_rows()));
  for (size_t i = 0; i < positions.size(); ++i) positions[i] = i;
  return data.gather(positions.data(), positions.size());
}

namespace {

// x^e for a multiple e of 1/2: integer powers, and half powers as sqrt(x^2e).
Expr power_of(const std::string& name, double e) {
  const auto twice = static_cast<int32_t>(std::lround(2.0 * e));
  if (twice % 2 != 0) {
    Expr inner = twice == 1 ? Expr::feature(name) : Expr::pow(Expr::feature(name), twice);
    return Expr::sqrt(std::move(inner));
  }
  const int32_t whole = twice / 2;
  return whole == 1 ? Expr::feature(name) : Expr::pow(Expr::feature(name), whole);
}

// Fitted exponents beyond this size are taken for a fit in logs gone astray.
constexpr double kMaxFittedExponent = 5.0;

}  // namespace

std::vector<std::string> positive_features(const Dataset& data) {
  std::vector<std::string> out;
  for (const std::string& f : distinct_features(data)) {
    const std::vector<double>& c = data.column(data.find_column(f));
    if (std::all_of(c.begin(), c.end(), [](double v) { return v > 0.0; })) out.push_back(f);
  }
  return out;
}

LogFit log_fit(const Dataset& train) {
  LogFit out;
  const std::vector<double>& y = train.targets();
  bool positive = true, negative = true;
  for (double v : y) positive = positive && v > 0.0, negative = negative && v < 0.0;
  if (!positive && !negative) return out;
  Dataset logs("y");
  std::vector<const double*> cols;
  out.names = positive_features(train);
  for (const std::string& f : out.names) {
    cols.push_back(train.column(train.find_column(f)).data());
    logs.add_feature(f);
  }
  if (out.names.empty() || out.names.size() > 8) return LogFit{};
  std::vector<double> row(out.names.size());
  for (size_t i = 0; i < y.size(); ++i) {
    for (size_t j = 0; j < out.names.size(); ++j) row[j] = std::log(cols[j][i]);
    logs.push_row(row.data(), std::log(std::fabs(y[i])));
  }
  if (train.weighted()) logs.set_weights(train.weights());
  const auto [coef, mse] = linear_predictor(logs);
  out.exponents.assign(coef.begin() + 1, coef.end());
  const double var = const_predictor(logs).second;
  out.r2 = var > 0.0 ? 1.0 - mse / var : 0.0;
  return out;
}

bool LogFit::real_exponents() const noexcept {
  // Power laws with 1% noise explain 99.96% of log|y| or more; laws that
  // merely look like one (x·exp(−x), log(x + 1)) 99.95% or less. Their
  // exponents come within a few thousandths of the law's.
  constexpr double kTight = 0.9996, kAway = 0.05;
  if (!(r2 >= kTight)) return false;
  for (double e : exponents)
    if (std::isfinite(e) && std::fabs(e) <= kMaxFittedExponent &&
        std::fabs(2.0 * e - std::round(2.0 * e)) > 2.0 * kAway)
      return true;
  return false;
}

// Products of powers of the features with the fit's exponents rounded to
// whole and to half numbers: laws like q1·q2/(ε·r²) or sqrt(γ·p/ρ) are
// straight lines in logs, and the search then starts from them.
std::vector<Expr> power_law_trees(const LogFit& fit) {
  std::vector<Expr> out;
  for (double step : {1.0, 0.5}) {
    Expr product = Expr::constant(1.0);
    bool any = false;
    for (size_t j = 0; j < fit.names.size(); ++j) {
      const double e = std::round(fit.exponents[j] / step) * step;
      if (!std::isfinite(e) || e == 0.0 || std::fabs(e) > 3.0) continue;
      Expr term = power_of(fit.names[j], e);
      product = any ? Expr::bin(Op::Mul, std::move(product), std::move(term)) : std::move(term);
      any = true;
    }
    if (any && (out.empty() || !(out.back() == product))) out.push_back(std::move(product));
  }
  return out;
}

Expr fitted_power_law(const LogFit& fit) {
  std::vector<Expr> factors;
  for (size_t j = 0; j < fit.names.size(); ++j) {
    const double e = fit.exponents[j];
    if (!std::isfinite(e) || std::fabs(e) < 0.05 || std::fabs(e) > kMaxFittedExponent) continue;
    factors.push_back(real_power(Expr::feature(fit.names[j]), e));
  }
  if (factors.empty()) return Expr::constant(1.0);
  Expr out = std::move(factors[0]);
  for (size_t i = 1; i < factors.size(); ++i)
    out = Expr::bin(Op::Mul, std::move(out), std::move(factors[i]));
  return out;
}

// The directions the fit sees: each clearly non-zero exponent's sign, once
// for every such feature and once for those whose exponent is not whole
// (a whole one belongs to a prefactor; the rest to a function's argument,
// as in n·exp(−m·g·x/(k·T))).
void add_log_fit_hints(const LogFit& fit, LawPieces& pieces) {
  LawPieces::Factors all, inner, whole;
  for (size_t j = 0; j < fit.names.size(); ++j) {
    const double e = fit.exponents[j];
    if (!std::isfinite(e) || std::fabs(e) < 0.25) continue;
    const int sign = e < 0.0 ? -1 : 1;
    all.emplace_back(fit.names[j], sign);
    const double rounded = std::round(e);
    if (std::fabs(e - rounded) > 0.05)
      inner.emplace_back(fit.names[j], sign);
    else if (std::fabs(rounded) <= 5.0)
      whole.emplace_back(fit.names[j], static_cast<int>(rounded));
  }
  pieces.add_hint(std::move(all));
  pieces.add_hint(std::move(inner));
  pieces.add_prefactor(std::move(whole));
}

}  // namespace quorvex
