#include "refine/separable.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "baselines/baselines.h"
#include "expr/read_json.h"
#include "refine/seeds.h"

namespace quorvex {

namespace {

// The additive model reads at most this many rows, each part's search fewer:
// a part has one feature, and its shape shows on a few hundred.
constexpr size_t kRows = 2000;
constexpr size_t kPartRows = 600;
constexpr size_t kMaxFeatures = 6;
constexpr size_t kKnots[] = {2, 4, 8, 16};
// The additive model's error on rows it was not fitted on must be below
// this share of what the search found: else the law is not separable, or
// the search has it already.
constexpr double kGain = 0.5;
// A part whose spread is below this share of the whole's is no part.
constexpr double kNoPart = 1e-10;
// Each part's search: small, short, one run.
constexpr size_t kPartPopulation = 300;
constexpr uint32_t kPartGenerations = 40;
constexpr uint32_t kPartPatience = 10;
// Under a time limit, a part search with less time left is not started.
constexpr double kLeastSeconds = 0.05;

enum class Transform { Identity, Log, Reciprocal };

bool all_finite(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

// A cubic spline in one feature: the powers of the feature scaled to [0, 1]
// and a truncated cube at each knot (quantiles of the rows).
struct Spline {
  double lo = 0.0;
  double scale = 0.0;
  std::vector<double> knots;

  size_t columns() const noexcept { return 3 + knots.size(); }
  void fill(double x, double* out) const noexcept {
    const double u = (x - lo) * scale;
    out[0] = u;
    out[1] = u * u;
    out[2] = u * u * u;
    for (size_t k = 0; k < knots.size(); ++k) {
      const double t = std::max(0.0, u - knots[k]);
      out[3 + k] = t * t * t;
    }
  }
};

Spline spline_of(std::vector<double> x, size_t knots) {
  Spline s;
  std::sort(x.begin(), x.end());
  s.lo = x.front();
  if (!(x.back() > x.front())) return s;
  s.scale = 1.0 / (x.back() - x.front());
  for (size_t k = 1; k <= knots; ++k) {
    const double u = (x[k * (x.size() - 1) / (knots + 1)] - s.lo) * s.scale;
    if (u > 0.0 && u < 1.0 && (s.knots.empty() || u > s.knots.back())) s.knots.push_back(u);
  }
  return s;
}

struct Additive {
  std::vector<Spline> splines;  // per feature; scale 0 for a constant one
  Eigen::VectorXd coef;         // the intercept, then each spline's columns
};

Eigen::MatrixXd design(const std::vector<Spline>& splines, const std::vector<const double*>& cols,
                       const std::vector<size_t>& at) {
  size_t m = 1;
  for (const Spline& s : splines) m += s.scale > 0.0 ? s.columns() : 0;
  Eigen::MatrixXd x(static_cast<Eigen::Index>(at.size()), static_cast<Eigen::Index>(m));
  std::vector<double> row(m);
  for (size_t r = 0; r < at.size(); ++r) {
    row[0] = 1.0;
    size_t c = 1;
    for (size_t f = 0; f < splines.size(); ++f) {
      if (!(splines[f].scale > 0.0)) continue;
      splines[f].fill(cols[f][at[r]], &row[c]);
      c += splines[f].columns();
    }
    for (size_t c2 = 0; c2 < m; ++c2)
      x(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c2)) = row[c2];
  }
  return x;
}

// Each feature's part on each of `at`, intercept left out: parts[f][r].
std::vector<std::vector<double>> parts_of(const Additive& a, const std::vector<const double*>& cols,
                                          const std::vector<size_t>& at) {
  std::vector<std::vector<double>> parts(a.splines.size(), std::vector<double>(at.size(), 0.0));
  std::vector<double> row;
  Eigen::Index c = 1;
  for (size_t f = 0; f < a.splines.size(); ++f) {
    const Spline& s = a.splines[f];
    if (!(s.scale > 0.0)) continue;
    row.resize(s.columns());
    for (size_t r = 0; r < at.size(); ++r) {
      s.fill(cols[f][at[r]], row.data());
      double v = 0.0;
      for (size_t k = 0; k < row.size(); ++k)
        v += a.coef[c + static_cast<Eigen::Index>(k)] * row[k];
      parts[f][r] = v;
    }
    c += static_cast<Eigen::Index>(s.columns());
  }
  return parts;
}

Additive fit_additive(const std::vector<const double*>& cols, const std::vector<double>& t,
                      const std::vector<size_t>& at, size_t knots) {
  Additive a;
  const size_t d = cols.size();
  for (size_t f = 0; f < d; ++f) {
    std::vector<double> x(at.size());
    for (size_t r = 0; r < at.size(); ++r) x[r] = cols[f][at[r]];
    a.splines.push_back(spline_of(std::move(x), knots));
  }
  const Eigen::MatrixXd x = design(a.splines, cols, at);
  Eigen::VectorXd y(static_cast<Eigen::Index>(at.size()));
  for (size_t r = 0; r < at.size(); ++r) y[static_cast<Eigen::Index>(r)] = t[at[r]];
  a.coef = x.colPivHouseholderQr().solve(y);
  return a;
}

double inverse(Transform tr, double v, double sign) {
  switch (tr) {
    case Transform::Log:
      return sign * std::exp(v);
    case Transform::Reciprocal:
      return 1.0 / v;
    case Transform::Identity:
      break;
  }
  return v;
}

// The additive model's error on y, fitted on the even rows and read on the
// odd ones.
double held_out_mse(Transform tr, double sign, const std::vector<const double*>& cols,
                    const std::vector<double>& t, const std::vector<double>& y, size_t knots) {
  std::vector<size_t> even, odd;
  for (size_t r = 0; r < y.size(); ++r) (r % 2 ? odd : even).push_back(r);
  const Additive a = fit_additive(cols, t, even, knots);
  const auto parts = parts_of(a, cols, odd);
  double sum = 0.0;
  for (size_t r = 0; r < odd.size(); ++r) {
    double v = a.coef[0];
    for (const auto& p : parts) v += p[r];
    const double e = inverse(tr, v, sign) - y[odd[r]];
    sum += e * e;
  }
  const double mse = sum / static_cast<double>(odd.size());
  return std::isfinite(mse) ? mse : std::numeric_limits<double>::infinity();
}

struct PartFound {
  Expr tree;
  bool exact = false;
  double relative = 0.0;  // its error, relative to the target's variance
};

// A search of its own for one part, on one feature.
std::optional<PartFound> part_formula(const std::string& name, const double* x,
                                      const std::vector<double>& target, const RefinedConfig& cfg,
                                      uint64_t seed, double seconds,
                                      const std::function<bool()>& pulse) {
  Dataset part("part");
  part.add_feature(name);
  const size_t n = std::min(kPartRows, target.size());
  part.reserve_rows(n);
  for (size_t r = 0; r < n; ++r) part.push_row(&x[r], target[r]);
  RefinedConfig sub;
  sub.population = std::min<size_t>(cfg.population, kPartPopulation);
  sub.generations = kPartGenerations;
  sub.patience = kPartPatience;
  sub.restarts = 0;
  sub.n_shuffles = 0;
  sub.test_fraction = 0.1;
  sub.seed = seed;
  sub.max_threads = cfg.max_threads;
  sub.operators = cfg.operators;
  sub.time_limit = seconds;
  bool stopped = false;
  RefineProgress progress = [&](const GenerationInfo&) {
    stopped = stopped || !pulse();
    return !stopped;
  };
  RefinedResult found = refine(part, sub, &progress);
  if (stopped) return std::nullopt;
  const bool exact = !found.front.empty() && found.report.mse_train <= found.mse_floor;
  const double var = const_predictor(found.train).second;
  const double relative = var > 0.0 ? found.report.mse_train / var : 0.0;
  return PartFound{std::move(found.best), exact, std::isfinite(relative) ? relative : 1.0};
}

}  // namespace

std::optional<Expr> separable_tree(const Dataset& rows, double best_mse, const RefinedConfig& cfg,
                                   const Deadline& deadline, const std::function<bool()>& pulse) {
  const std::vector<std::string> names = distinct_features(rows);
  const size_t n = std::min(kRows, rows.n_rows());
  if (names.size() < 2 || names.size() > kMaxFeatures || rows.weighted() || n < 20 ||
      !(best_mse > 0.0))
    return std::nullopt;
  std::vector<const double*> cols;
  for (const std::string& name : names) cols.push_back(rows.column(rows.find_column(name)).data());
  const std::vector<double> y(rows.targets().begin(),
                              rows.targets().begin() + static_cast<std::ptrdiff_t>(n));

  // One sign and no zero: y may be a product of parts, or a reciprocal of a sum.
  double sign = y[0] > 0.0 ? 1.0 : -1.0;
  for (double v : y) sign = v * sign > 0.0 ? sign : 0.0;
  Transform best = Transform::Identity;
  size_t best_knots = 0;
  double best_err = std::numeric_limits<double>::infinity();
  std::vector<double> best_t;
  for (Transform tr : {Transform::Identity, Transform::Log, Transform::Reciprocal}) {
    if (tr != Transform::Identity && sign == 0.0) continue;
    std::vector<double> t(n);
    for (size_t r = 0; r < n; ++r)
      t[r] = tr == Transform::Log          ? std::log(std::abs(y[r]))
             : tr == Transform::Reciprocal ? 1.0 / y[r]
                                           : y[r];
    // Sharp parts need many knots, few rows allow few: at most a column for
    // every two rows of the half the model is fitted on.
    for (size_t knots : kKnots) {
      if ((3 + knots) * names.size() * 4 > n) break;
      const double err = held_out_mse(tr, sign, cols, t, y, knots);
      if (err < best_err) {
        best = tr;
        best_err = err;
        best_knots = knots;
        best_t = t;
      }
    }
  }
  if (!(best_err < kGain * best_mse)) return std::nullopt;

  std::vector<size_t> all(n);
  for (size_t r = 0; r < n; ++r) all[r] = r;
  const Additive a = fit_additive(cols, best_t, all, best_knots);
  const auto parts = parts_of(a, cols, all);
  double spread_all = 0.0;
  std::vector<double> spread(parts.size(), 0.0);
  for (size_t f = 0; f < parts.size(); ++f) {
    double mean = 0.0;
    for (double v : parts[f]) mean += v;
    mean /= static_cast<double>(n);
    for (double v : parts[f]) spread[f] += (v - mean) * (v - mean);
    spread_all += spread[f];
  }

  std::vector<size_t> used;
  for (size_t f = 0; f < parts.size(); ++f)
    if (spread[f] > kNoPart * spread_all) used.push_back(f);
  const bool logs_too = best == Transform::Log && cfg.operators.has(Operator::Exp);
  size_t searches_left = (logs_too ? 2 : 1) * used.size();
  const auto search_part = [&](size_t f, const std::vector<double>& target) {
    double seconds = 0.0;
    if (const double left = deadline.seconds_left(); std::isfinite(left)) {
      seconds = left / static_cast<double>(searches_left + 1);
      if (!(seconds > kLeastSeconds)) return std::optional<PartFound>{};
    }
    if (searches_left) --searches_left;
    const uint64_t seed = cfg.seed * 0x9E3779B97F4A7C15ULL + 2 * f + 1;
    std::optional<PartFound> plain =
        part_formula(names[f], cols[f], target, cfg, seed, seconds, pulse);
    if (!logs_too || !plain || plain->exact) return plain;
    // A part of a product may be simpler in logs: exp(−(x − 1)²).
    if (searches_left) --searches_left;
    std::vector<double> logs(n);
    for (size_t r = 0; r < n; ++r) logs[r] = std::log(std::abs(target[r]));
    if (!all_finite(logs)) return plain;
    std::optional<PartFound> in_logs =
        part_formula(names[f], cols[f], logs, cfg, seed + 1, seconds, pulse);
    if (!in_logs || !(in_logs->relative < plain->relative)) return plain;
    in_logs->tree = Expr::exp(std::move(in_logs->tree));
    return in_logs;
  };
  // Each part is what the target holds once the others' splines are taken
  // out; the first takes the intercept, so that the parts join to the whole.
  std::vector<std::optional<PartFound>> found(parts.size());
  for (size_t f : used) {
    std::vector<double> target(n);
    for (size_t r = 0; r < n; ++r) {
      double others = f == used.front() ? 0.0 : a.coef[0];
      for (size_t g : used) others += g == f ? 0.0 : parts[g][r];
      target[r] = best == Transform::Log ? y[r] * std::exp(-others) : best_t[r] - others;
    }
    // Overflowed where the others' splines run wild: no part to search for.
    if (!all_finite(target)) return std::nullopt;
    found[f] = search_part(f, target);
    if (!found[f]) return std::nullopt;
  }
  std::optional<Expr> joined;
  for (size_t f : used) {
    // A part the search saw as constant is the others' scale or offset.
    if (expression_features(found[f]->tree).empty()) continue;
    const Op join = best == Transform::Log ? Op::Mul : Op::Add;
    joined = joined ? Expr::bin(join, std::move(*joined), std::move(found[f]->tree))
                    : std::move(found[f]->tree);
  }
  if (joined && best == Transform::Reciprocal)
    joined = Expr::bin(Op::Div, Expr::constant(1.0), std::move(*joined));
  return joined;
}

}  // namespace quorvex
