#include "refine/rational.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "baselines/baselines.h"
#include "refine/scaled.h"
#include "refine/seeds.h"

namespace quorvex {

namespace {

// The fit reads at most this many rows: the structure, not the constants,
// is what it is for.
constexpr size_t kRows = 4000;
// Monomials per side at most: each costs a column in the numerator and one
// in the denominator.
constexpr size_t kMaxMonomials = 12;
// A polynomial alone has no column holding y: a wider basis costs little
// (6th degree on two features, 3rd on three, 2nd on four to six).
constexpr size_t kMaxPolynomialMonomials = 27;
constexpr int kMaxDegree = 6;
// What the scaling's rational form fits per side (P and Q), and beyond that
// the tree would be the search's business anyway.
constexpr size_t kMaxSideTerms = 4;
// And the terms of a sum it fits.
constexpr size_t kMaxPolynomialTerms = 8;
// A seed must explain this much more of the target than the straight line.
constexpr double kMinGain = 0.99;
// An error below this share of the target's variance is rounding.
constexpr double kExact = 1e-12;

// Exponents of one monomial, per feature.
using Powers = std::vector<int>;

// Every monomial of total degree 1..D over `d` features, lowest degree first,
// for the largest D (at most kMaxDegree) that keeps within kMaxMonomials.
std::vector<Powers> monomials(size_t d, size_t most) {
  std::vector<Powers> best;
  for (int degree = 1; degree <= kMaxDegree; ++degree) {
    // C(d + degree, degree) − 1 of them: counted first, since the odometer
    // below turns (degree + 1)^d times.
    size_t count = 1;
    for (int j = 1; j <= degree && count <= most + 1; ++j)
      count = count * (d + static_cast<size_t>(j)) / static_cast<size_t>(j);
    if (count - 1 > most) break;
    std::vector<Powers> all;
    Powers p(d, 0);
    // Odometer over exponents 0..degree, kept when the total is 1..degree.
    for (;;) {
      int total = 0;
      for (int e : p) total += e;
      if (total >= 1 && total <= degree) all.push_back(p);
      size_t i = 0;
      while (i < d && ++p[i] > degree) p[i++] = 0;
      if (i == d) break;
    }
    std::stable_sort(all.begin(), all.end(), [](const Powers& a, const Powers& b) {
      int ta = 0, tb = 0;
      for (int e : a) ta += e;
      for (int e : b) tb += e;
      return ta < tb;
    });
    best = std::move(all);
  }
  return best;
}

// The monomial's value on row i of the feature columns.
double monomial_at(const Powers& p, const std::vector<const double*>& cols, size_t i) {
  double v = 1.0;
  for (size_t f = 0; f < p.size(); ++f)
    for (int e = 0; e < p[f]; ++e) v *= cols[f][i];
  return v;
}

// Scales each column of `a` to unit norm (a zero column stays); the norms,
// 1 for a zero column.
Eigen::VectorXd unit_columns(Eigen::MatrixXd& a) {
  Eigen::VectorXd norms = Eigen::VectorXd::Ones(a.cols());
  for (Eigen::Index c = 0; c < a.cols(); ++c) {
    const double norm = a.col(c).norm();
    if (norm > 0.0) {
      a.col(c) /= norm;
      norms[c] = norm;
    }
  }
  return norms;
}

Expr monomial_tree(const Powers& p, const std::vector<std::string>& names) {
  std::optional<Expr> out;
  for (size_t j = 0; j < p.size(); ++j) {
    if (p[j] == 0) continue;
    Expr f = Expr::feature(names[j]);
    if (p[j] > 1) f = Expr::pow(std::move(f), p[j]);
    out = out ? Expr::bin(Op::Mul, std::move(*out), std::move(f)) : std::move(f);
  }
  return *out;
}

std::optional<Expr> sum_tree(const std::vector<size_t>& chosen, const std::vector<Powers>& mono,
                             const std::vector<std::string>& names) {
  std::optional<Expr> out;
  for (size_t j : chosen) {
    Expr t = monomial_tree(mono[j], names);
    out = out ? Expr::bin(Op::Add, std::move(*out), std::move(t)) : std::move(t);
  }
  return out;
}

// A model's columns of the Gram matrix.
using Cols = std::vector<Eigen::Index>;

Eigen::MatrixXd sub(const Eigen::MatrixXd& g, const Cols& cols) {
  const auto k = static_cast<Eigen::Index>(cols.size());
  Eigen::MatrixXd out(k, k);
  for (Eigen::Index a = 0; a < k; ++a)
    for (Eigen::Index b = 0; b < k; ++b) out(a, b) = g(cols[a], cols[b]);
  return out;
}

// Least squares of column `target` on `cols`, from the normal equations:
// their right-hand side and the coefficients; none when they cannot be solved.
struct Solved {
  Eigen::VectorXd rhs, beta;
};
std::optional<Solved> solve(const Eigen::MatrixXd& g, const Cols& cols, Eigen::Index target) {
  Solved out;
  out.rhs.resize(static_cast<Eigen::Index>(cols.size()));
  for (size_t i = 0; i < cols.size(); ++i) out.rhs[static_cast<Eigen::Index>(i)] = g(cols[i], target);
  const Eigen::LDLT<Eigen::MatrixXd> ldlt(sub(g, cols));
  if (ldlt.info() != Eigen::Success) return {};
  out.beta = ldlt.solve(out.rhs);
  return out;
}

// How badly the columns fit: the smallest eigenvalue of their Gram matrix
// (the homogeneous fit P − y·Q = 0), or, when `target` names a column, the
// squared error of least squares on it.
double misfit(const Eigen::MatrixXd& g, const Cols& cols, Eigen::Index target) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  if (target < 0) {
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> es(sub(g, cols), Eigen::EigenvaluesOnly);
    return es.info() == Eigen::Success ? es.eigenvalues()[0] : kInf;
  }
  const std::optional<Solved> s = solve(g, cols, target);
  if (!s) return kInf;
  const double sse = g(target, target) - s->rhs.dot(s->beta);
  return std::isfinite(sse) ? sse : kInf;
}

// Backward elimination from every column in `start`: each model on the way,
// biggest first, each dropping the column whose loss fits worst the least.
std::vector<Cols> backward_path(const Eigen::MatrixXd& g, Cols active, Eigen::Index target) {
  std::vector<Cols> path{active};
  while (active.size() > 1) {
    size_t drop = 0;
    double least = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < active.size(); ++i) {
      Cols rest = active;
      rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i));
      const double v = misfit(g, rest, target);
      if (v < least) {
        least = v;
        drop = i;
      }
    }
    active.erase(active.begin() + static_cast<std::ptrdiff_t>(drop));
    path.push_back(active);
  }
  return path;
}

// Forward selection from `start` over the columns of `pool`: each model on
// the way, each adding the column that fits best.
std::vector<Cols> forward_path(const Eigen::MatrixXd& g, Cols active, Cols pool,
                               Eigen::Index target, size_t max_size) {
  std::vector<Cols> path{active};
  while (!pool.empty() && active.size() < max_size) {
    size_t add = 0;
    double least = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < pool.size(); ++i) {
      Cols more = active;
      more.push_back(pool[i]);
      const double v = misfit(g, more, target);
      if (v < least) {
        least = v;
        add = i;
      }
    }
    active.push_back(pool[add]);
    pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(add));
    path.push_back(active);
  }
  return path;
}

// Every subset of `pool` of at most `most` members.
std::vector<Cols> subsets(const Cols& pool, size_t most) {
  std::vector<Cols> out{{}};
  for (Eigen::Index c : pool) {
    const size_t before = out.size();
    for (size_t i = 0; i < before; ++i)
      if (out[i].size() < most) {
        Cols more = out[i];
        more.push_back(c);
        out.push_back(std::move(more));
      }
  }
  return out;
}

// The columns' scale factors and the rows they were read from, to measure a
// model's error on y itself: regressing y on columns made of y rewards
// every column of the denominator, noise fitted by noise.
struct Design {
  Eigen::MatrixXd mono;     // n × m, unscaled monomials
  Eigen::VectorXd norms;    // per column of the normal equations
  Eigen::VectorXd y;
  size_t m = 0;
};

// Mean squared error of y − P/Q for the least-squares model on `model`
// (0, P's columns, Q's columns; Q's constant 1).
double true_mse(const Eigen::MatrixXd& g, const Design& d, const Cols& model,
                Eigen::Index target) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::optional<Solved> s = solve(g, model, target);
  if (!s) return kInf;
  const Eigen::VectorXd& beta = s->beta;
  const auto m = static_cast<Eigen::Index>(d.m);
  const Eigen::Index n = d.y.size();
  Eigen::VectorXd num = Eigen::VectorXd::Zero(n);
  Eigen::VectorXd den = Eigen::VectorXd::Constant(n, 1.0 / d.norms[target]);
  for (size_t i = 0; i < model.size(); ++i) {
    const Eigen::Index c = model[i];
    const double w = beta[static_cast<Eigen::Index>(i)] / d.norms[c];
    if (c == 0)
      num.array() += w;
    else if (c <= m)
      num += w * d.mono.col(c - 1);
    else
      den += w * d.mono.col(c - m - 2);
  }
  const double mse = (d.y.array() - num.array() / den.array()).square().mean();
  return std::isfinite(mse) ? mse : kInf;
}

// For one feature every P/Q the scaling's form can hold is tried, and the
// best few by a BIC of their error on y kept: the greedy paths go astray
// among the near-equal products P·S/Q·S.
std::vector<Cols> all_small(const Eigen::MatrixXd& g, const Design& d, const Cols& pool_p,
                            const Cols& pool_q, Eigen::Index target) {
  constexpr size_t kKeep = 8;
  std::vector<std::pair<double, Cols>> ranked;
  const std::vector<Cols> ps = subsets(pool_p, kMaxSideTerms);
  const std::vector<Cols> qs = subsets(pool_q, kMaxSideTerms);
  const auto rows = static_cast<double>(d.y.size());
  for (const Cols& p : ps)
    for (const Cols& q : qs) {
      if (q.empty()) continue;  // sums are the plain path's
      Cols model{0};
      model.insert(model.end(), p.begin(), p.end());
      model.insert(model.end(), q.begin(), q.end());
      const double mse = true_mse(g, d, model, target);
      if (!std::isfinite(mse)) continue;
      const double bic = rows * std::log(std::max(mse, 1e-300)) +
                         static_cast<double>(model.size()) * std::log(rows);
      ranked.emplace_back(bic, std::move(model));
    }
  const size_t keep = std::min(kKeep, ranked.size());
  std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep),
                    ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Cols> out;
  for (size_t i = 0; i < keep; ++i) out.push_back(std::move(ranked[i].second));
  return out;
}

// Sums of at most kMaxPolynomialTerms monomials chosen by least squares on y,
// backward and forward, over the columns of `cols` (one per feature).
void add_polynomials(const std::vector<std::string>& names, const std::vector<const double*>& cols,
                     const std::vector<double>& y, size_t n, std::vector<Expr>& trees) {
  const std::vector<Powers> mono = monomials(names.size(), kMaxPolynomialMonomials);
  const size_t m = mono.size();
  if (mono.empty() || n < 4 * (m + 2)) return;
  // Columns: 0 the constant, 1..m the monomials, m+1 y; each of unit norm.
  const auto k = static_cast<Eigen::Index>(m + 2), target = k - 1;
  Eigen::MatrixXd a(static_cast<Eigen::Index>(n), k);
  for (size_t i = 0; i < n; ++i) {
    const auto r = static_cast<Eigen::Index>(i);
    a(r, 0) = 1.0;
    a(r, target) = y[i];
    for (size_t j = 0; j < m; ++j) {
      const double v = monomial_at(mono[j], cols, i);
      a(r, static_cast<Eigen::Index>(1 + j)) = v;
    }
  }
  if (!a.allFinite()) return;
  (void)unit_columns(a);
  const Eigen::MatrixXd g = a.transpose() * a;
  Cols all, pool;
  for (Eigen::Index c = 0; c < target; ++c) all.push_back(c);
  pool.assign(all.begin() + 1, all.end());
  std::vector<Cols> models = backward_path(g, all, target);
  for (Cols& c : forward_path(g, {0}, pool, target, kMaxPolynomialTerms + 1))
    models.push_back(std::move(c));
  for (const Cols& model : models) {
    std::vector<size_t> p;
    for (Eigen::Index c : model)
      if (c > 0) p.push_back(static_cast<size_t>(c) - 1);
    if (!p.empty() && p.size() <= kMaxPolynomialTerms) trees.push_back(*sum_tree(p, mono, names));
  }
}

}  // namespace

std::optional<RationalSeed> rational_tree(const Dataset& train,
                                          const std::vector<double>& line_coef, double floor,
                                          const OperatorSet& ops) {
  if (!ops.has(Operator::Add) || !ops.has(Operator::Mul) || !ops.has(Operator::Div)) return {};
  const std::vector<std::string> names = distinct_features(train);
  if (names.empty()) return {};
  const std::vector<Powers> mono = monomials(names.size(), kMaxMonomials);
  if (mono.empty()) return {};
  const size_t n = std::min(train.n_rows(), kRows);
  const size_t m = mono.size();
  if (n < 4 * (2 * m + 3)) return {};
  const std::vector<double>& y = train.targets();

  // Columns: 0 the constant, 1..m the monomials (P's), m+1 −y, m+2..2m+1
  // −y times the monomials (Q's), 2m+2 y itself; each scaled to unit norm.
  const auto k = static_cast<Eigen::Index>(2 * m + 3);
  const auto q0 = static_cast<Eigen::Index>(m + 1), target = k - 1;
  Eigen::MatrixXd a(static_cast<Eigen::Index>(n), k);
  std::vector<const double*> cols;
  for (const std::string& name : names) cols.push_back(train.column(train.find_column(name)).data());
  for (size_t i = 0; i < n; ++i) {
    const auto r = static_cast<Eigen::Index>(i);
    a(r, 0) = 1.0;
    a(r, q0) = -y[i];
    a(r, target) = y[i];
    for (size_t j = 0; j < m; ++j) {
      const double v = monomial_at(mono[j], cols, i);
      a(r, static_cast<Eigen::Index>(1 + j)) = v;
      a(r, static_cast<Eigen::Index>(m + 2 + j)) = -y[i] * v;
    }
  }
  if (!a.allFinite()) return {};
  Design design;
  design.m = m;
  design.mono = a.block(0, 1, static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(m));
  design.y = a.col(target);
  design.norms = unit_columns(a);
  const Eigen::MatrixXd g = a.transpose() * a;

  // Two paths each way: P/Q homogeneous (any normalisation) and with Q's
  // constant 1 by least squares on y. The scaling's own fit judges each
  // model on the way that its forms can hold, and the polynomials'.
  Cols all_pq;
  for (Eigen::Index c = 0; c < target; ++c) all_pq.push_back(c);
  Cols all_pq1 = all_pq;
  all_pq1.erase(all_pq1.begin() + q0);
  std::vector<Cols> models = backward_path(g, all_pq, -1);
  const auto add = [&models](std::vector<Cols> more) {
    for (Cols& c : more) models.push_back(std::move(c));
  };
  add(backward_path(g, all_pq1, target));
  Cols pool_p, pool_q;
  for (Eigen::Index c = 1; c <= static_cast<Eigen::Index>(m); ++c) pool_p.push_back(c);
  for (Eigen::Index c = q0 + 1; c < target; ++c) pool_q.push_back(c);
  Cols pool_pq = pool_p;
  pool_pq.insert(pool_pq.end(), pool_q.begin(), pool_q.end());
  const size_t most = 2 * kMaxSideTerms + 2;
  add(forward_path(g, {0, q0}, pool_pq, -1, most));
  add(forward_path(g, {0}, pool_pq, target, most));
  if (names.size() == 1) add(all_small(g, design, pool_p, pool_q, target));

  // Judged on the rows fitted: on a large set the seed is a start, not a result.
  const Dataset rows = train.n_rows() > kRows ? first_rows(train, kRows) : Dataset{};
  const Dataset& judged = train.n_rows() > kRows ? rows : train;
  const ScaledScore line = score_scaled(linear_tree(train, line_coef), judged, floor, ops);
  std::optional<Expr> best;
  ScaledScore best_score = line;
  std::vector<Expr> trees;
  for (const Cols& model : models) {
    std::vector<size_t> p, q;
    for (Eigen::Index c : model) {
      const auto u = static_cast<size_t>(c);
      if (u >= 1 && u <= m) p.push_back(u - 1);
      if (u > m + 1) q.push_back(u - m - 2);
    }
    if (q.empty() || p.size() > kMaxSideTerms || q.size() > kMaxSideTerms) continue;
    std::optional<Expr> num = sum_tree(p, mono, names);
    trees.push_back(Expr::bin(Op::Div, num ? std::move(*num) : Expr::constant(1.0),
                              *sum_tree(q, mono, names)));
  }
  add_polynomials(names, cols, y, n, trees);
  for (Expr& tree : trees) {
    if (!ops.allows(tree)) continue;
    const ScaledScore s = score_scaled(tree, judged, floor, ops);
    if (s.score < best_score.score) {
      best_score = s;
      best = std::move(tree);
    }
  }
  if (!best) return {};
  // Far better than the line, or the seed only crowds the population.
  if (!(best_score.mse <= (1.0 - kMinGain) * line.mse)) return {};
  const double variance = const_predictor(judged).second;
  return RationalSeed{std::move(*best), best_score.mse <= kExact * variance};
}

}  // namespace quorvex
