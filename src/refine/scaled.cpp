#include "refine/scaled.h"

#include <Eigen/Dense>
#include <cmath>
#include <vector>

#include "expr/compiled.h"

namespace quorvex {

double refined_bic(double mse, double n, uint32_t k, double floor) noexcept {
  if (!(mse >= 0.0) || !std::isfinite(mse)) return std::numeric_limits<double>::infinity();
  return n * std::log(std::max(mse, floor)) + static_cast<double>(k) * std::log(n);
}

namespace {

// The weight of an operator the scaling adds: 1 when outside the set.
uint32_t added(const OperatorSet& ops, Operator op) {
  const uint32_t w = ops.weight(op);
  return w == 0 ? 1 : w;
}

}  // namespace

namespace {

// Each term of a sum times its row's weight, the unit weight leaving it as
// it is: the unweighted sums keep their bits.
template <typename W>
AffineFit weighted_affine_fit(const double* f, const double* y, size_t n, W w, double total) {
  AffineFit out;
  double sf = 0.0, sy = 0.0;
  for (size_t i = 0; i < n; ++i) sf += w[i] * f[i], sy += w[i] * y[i];
  out.mean_f = sf / total;
  out.mean_y = sy / total;
  double sff = 0.0, sfy = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double df = f[i] - out.mean_f;
    sff += w[i] * (df * df);
    sfy += w[i] * (df * (y[i] - out.mean_y));
  }
  out.b = sff > 0.0 ? sfy / sff : 0.0;
  out.a = out.mean_y - out.b * out.mean_f;
  return out;
}

}  // namespace

AffineFit affine_fit(const double* f, const double* y, size_t n, const double* weights,
                     double total) {
  if (weights != nullptr) return weighted_affine_fit(f, y, n, RowWeights{weights}, total);
  return weighted_affine_fit(f, y, n, UnitWeights{}, static_cast<double>(n));
}

namespace {

template <typename W>
ScaledScore score_values_w(const double* f, const Dataset& train, uint32_t raw_complexity,
                           double floor, const OperatorSet& ops, unsigned forms_allowed, W w) {
  ScaledScore best;
  const std::vector<double>& y = train.targets();
  const size_t n = y.size();
  if (n == 0) return best;
  const double nd = train.weight_total();
  for (size_t i = 0; i < n; ++i)
    if (!std::isfinite(f[i])) return best;
  const AffineFit line = weighted_affine_fit(f, y.data(), n, w, nd);
  // b·f alone: through the origin.
  double sff0 = 0.0, sfy0 = 0.0;
  for (size_t i = 0; i < n; ++i) {
    sff0 += w[i] * (f[i] * f[i]);
    sfy0 += w[i] * (f[i] * y[i]);
  }
  struct Candidate {
    ScaledScore::Form form;
    double a, b;
    uint32_t extra;
  };
  const uint32_t plus = 1 + added(ops, Operator::Add), times = 1 + added(ops, Operator::Mul);
  Candidate forms[4] = {{ScaledScore::Form::Plain, 0.0, 1.0, 0},
                        {ScaledScore::Form::Offset, line.mean_y - line.mean_f, 1.0, plus},
                        {ScaledScore::Form::Scale, 0.0, sff0 > 0.0 ? sfy0 / sff0 : 0.0, times},
                        {ScaledScore::Form::Affine, line.a, line.b, plus + times}};
  for (const Candidate& c : forms) {
    if (!std::isfinite(c.a) || !std::isfinite(c.b)) continue;
    const bool scaled = c.form == ScaledScore::Form::Scale || c.form == ScaledScore::Form::Affine;
    if (!(forms_allowed & (scaled ? kScaledForms : kPlainForms))) continue;
    double sse = 0.0;
    for (size_t i = 0; i < n; ++i) {
      const double e = y[i] - (c.a + c.b * f[i]);
      sse += w[i] * (e * e);
    }
    const double mse = sse / nd;
    const uint32_t k = raw_complexity + c.extra;
    const double s = refined_bic(mse, nd, k, floor);
    if (s < best.score) best = ScaledScore{s, mse, c.a, c.b, c.form, k, {}, {}};
  }
  return best;
}

}  // namespace

ScaledScore score_values(const double* f, const Dataset& train, uint32_t raw_complexity,
                         double floor, const OperatorSet& ops, unsigned forms) {
  return with_weights(train, [&](auto w) {
    return score_values_w(f, train, raw_complexity, floor, ops, forms, w);
  });
}

namespace {

constexpr size_t kMaxTerms = 8;

// Least squares of target(i) on the columns col(j, i), j < m, through the
// normal equations (each sum in row order) and LDLT; empty when not finite.
template <typename Col, typename Target, typename W>
Eigen::VectorXd least_squares(size_t m, size_t n, const Col& col, const Target& target, W w) {
  const auto mi = static_cast<Eigen::Index>(m);
  Eigen::MatrixXd normal = Eigen::MatrixXd::Zero(mi, mi);
  Eigen::VectorXd rhs = Eigen::VectorXd::Zero(mi);
  for (size_t j = 0; j < m; ++j) {
    const auto jj = static_cast<Eigen::Index>(j);
    double s = 0.0;
    for (size_t i = 0; i < n; ++i) s += w[i] * (col(j, i) * target(i));
    rhs[jj] = s;
    for (size_t k = 0; k <= j; ++k) {
      double t = 0.0;
      for (size_t i = 0; i < n; ++i) t += w[i] * (col(j, i) * col(k, i));
      normal(jj, static_cast<Eigen::Index>(k)) = normal(static_cast<Eigen::Index>(k), jj) = t;
    }
  }
  if (!normal.allFinite() || !rhs.allFinite()) return {};
  Eigen::VectorXd beta = normal.ldlt().solve(rhs);
  if (!beta.allFinite()) return {};
  return beta;
}

bool reads_feature(const Expr& e) {
  switch (e.kind()) {
    case Expr::Kind::Const:
      return false;
    case Expr::Kind::Feature:
      return true;
    case Expr::Kind::Bin:
      return reads_feature(e.left()) || reads_feature(e.right());
    default:
      return reads_feature(e.child());
  }
}

void collect_terms(const Expr& e, std::vector<const Expr*>& out) {
  if (e.kind() == Expr::Kind::Bin && (e.op() == Op::Add || e.op() == Op::Sub)) {
    collect_terms(e.left(), out);
    collect_terms(e.right(), out);
  } else if (reads_feature(e)) {
    out.push_back(&e);
  }
}

// a + Σ b_j·t_j by least squares over the terms' values (column-major,
// n rows each); the normal equations' sums run in row order.
template <typename W>
ScaledScore score_terms(const std::vector<const Expr*>& terms, const double* values,
                        const Dataset& train, double floor, const OperatorSet& ops, W w) {
  ScaledScore out;
  const std::vector<double>& y = train.targets();
  const size_t n = y.size(), m = terms.size() + 1;
  auto col = [&](size_t j, size_t i) { return j == 0 ? 1.0 : values[(j - 1) * n + i]; };
  const Eigen::VectorXd beta = least_squares(
      m, n, col, [&](size_t i) { return y[i]; }, w);
  if (beta.size() == 0) return out;
  double sse = 0.0;
  for (size_t i = 0; i < n; ++i) {
    double p = beta[0];
    for (size_t j = 1; j < m; ++j) p += beta[static_cast<Eigen::Index>(j)] * col(j, i);
    const double e = y[i] - p;
    sse += w[i] * (e * e);
  }
  const uint32_t per_term = 1 + added(ops, Operator::Mul) + added(ops, Operator::Add);  // b_j, ·, +
  uint32_t nodes = 1;                                                                   // a
  for (const Expr* t : terms) nodes += ops.complexity(*t) + per_term;
  out.mse = sse / train.weight_total();
  out.score = refined_bic(out.mse, train.weight_total(), nodes, floor);
  out.form = ScaledScore::Form::Terms;
  out.a = beta[0];
  out.complexity = nodes;
  for (size_t j = 1; j < m; ++j) out.coef.push_back(beta[static_cast<Eigen::Index>(j)]);
  return out;
}

constexpr size_t kMaxRationalTerms = 4;

// The terms of P and Q when raw is P / Q, each a sum of at most a few terms
// that read a feature (constants are the fit's business).
bool rational_parts(const Expr& raw, std::vector<const Expr*>& p, std::vector<const Expr*>& q) {
  if (raw.kind() != Expr::Kind::Bin || raw.op() != Op::Div) return false;
  p.clear();
  q.clear();
  collect_terms(raw.left(), p);
  collect_terms(raw.right(), q);
  return !q.empty() && p.size() <= kMaxRationalTerms && q.size() <= kMaxRationalTerms;
}

// y ≈ (a + Σ c_i·p_i) / (b + q_1 + Σ d_j·q_j), linear in its constants once
// multiplied out: y·q_1 = a + Σ c_i·p_i − b·y − Σ d_j·y·q_j. Least squares on
// that equation (not on y itself: a start that the front's last fit refines).
template <typename W>
ScaledScore score_rational(const std::vector<const Expr*>& p, const std::vector<const Expr*>& q,
                           const Dataset& train, double floor, const OperatorSet& ops, W w) {
  ScaledScore out;
  const std::vector<double>& y = train.targets();
  const size_t n = y.size();
  thread_local CompiledExpr program;
  thread_local std::vector<double> pv, qv;
  pv.resize(p.size() * n);
  qv.resize(q.size() * n);
  for (size_t j = 0; j < p.size(); ++j) {
    program.compile(*p[j], train);
    evaluate_rows(program, n, &pv[j * n]);
  }
  for (size_t j = 0; j < q.size(); ++j) {
    program.compile(*q[j], train);
    evaluate_rows(program, n, &qv[j * n]);
  }
  // Columns: 1, p_1.., -y, -y·q_2..; target y·q_1.
  const size_t np = p.size(), nq = q.size(), m = 1 + np + nq;
  auto col = [&](size_t j, size_t i) {
    if (j == 0) return 1.0;
    if (j <= np) return pv[(j - 1) * n + i];
    if (j == np + 1) return -y[i];
    return -y[i] * qv[(j - np - 1) * n + i];
  };
  const Eigen::VectorXd beta = least_squares(
      m, n, col, [&](size_t i) { return y[i] * qv[i]; }, w);
  if (beta.size() == 0) return out;
  double sse = 0.0;
  for (size_t i = 0; i < n; ++i) {
    double num = beta[0];
    for (size_t j = 0; j < np; ++j) num += beta[static_cast<Eigen::Index>(1 + j)] * pv[j * n + i];
    double den = beta[static_cast<Eigen::Index>(1 + np)] + qv[i];
    for (size_t j = 1; j < nq; ++j)
      den += beta[static_cast<Eigen::Index>(1 + np + j)] * qv[j * n + i];
    if (!(std::fabs(den) >= 1e-300)) return out;
    const double e = y[i] - num / den;
    sse += w[i] * (e * e);
  }
  if (!std::isfinite(sse)) return out;
  const uint32_t per_term = 1 + added(ops, Operator::Mul) + added(ops, Operator::Add);
  // ÷, a, b and +
  uint32_t nodes =
      added(ops, Operator::Div) + 2 + added(ops, Operator::Add) + ops.complexity(*q[0]);
  for (const Expr* t : p) nodes += ops.complexity(*t) + per_term;
  for (size_t j = 1; j < nq; ++j) nodes += ops.complexity(*q[j]) + per_term;
  out.mse = sse / train.weight_total();
  out.score = refined_bic(out.mse, train.weight_total(), nodes, floor);
  out.form = ScaledScore::Form::Rational;
  out.complexity = nodes;
  out.a = beta[0];
  out.b = beta[static_cast<Eigen::Index>(1 + np)];
  for (size_t j = 0; j < np; ++j) out.coef.push_back(beta[static_cast<Eigen::Index>(1 + j)]);
  for (size_t j = 1; j < nq; ++j) out.coef2.push_back(beta[static_cast<Eigen::Index>(1 + np + j)]);
  return out;
}

}  // namespace

std::vector<const Expr*> sum_terms(const Expr& raw) {
  std::vector<const Expr*> terms;
  if (raw.kind() != Expr::Kind::Bin || (raw.op() != Op::Add && raw.op() != Op::Sub)) return terms;
  collect_terms(raw, terms);
  if (terms.size() < 2 || terms.size() > kMaxTerms) terms.clear();
  return terms;
}

namespace {

// The scaled tree of a form, its constants' values left at 1: what the
// units check reads.
Expr form_shape(const Expr& raw, ScaledScore::Form form, size_t n_coef, size_t n_coef2) {
  ScaledScore s;
  s.form = form;
  s.coef.assign(n_coef, 1.0);
  s.coef2.assign(n_coef2, 1.0);
  return scaled_tree(raw, s);
}

// Which forms agree with the units: bits of kAllForms, and whether the
// split into terms and the rational form do.
struct FormsAllowed {
  unsigned affine = kAllForms;
  bool terms = true;
  bool rational = true;
  bool any() const { return affine != 0 || terms || rational; }
};

FormsAllowed forms_allowed(const Expr& raw, const UnitCheck* units) {
  FormsAllowed out;
  if (units == nullptr) return out;
  out.affine = (units->agrees(raw) ? kPlainForms : 0u) |
               (units->agrees(form_shape(raw, ScaledScore::Form::Scale, 0, 0)) ? kScaledForms : 0u);
  std::vector<const Expr*> p, q;
  out.rational = rational_parts(raw, p, q) &&
                 units->agrees(form_shape(raw, ScaledScore::Form::Rational, p.size(),
                                          q.empty() ? 0 : q.size() - 1));
  const size_t n_terms = sum_terms(raw).size();
  out.terms = n_terms > 0 && units->agrees(form_shape(raw, ScaledScore::Form::Terms, n_terms, 0));
  return out;
}

}  // namespace

bool units_allow(const Expr& raw, const UnitCheck& units) {
  return forms_allowed(raw, &units).any();
}

ScaledScore score_scaled(const Expr& raw, const Dataset& train, double floor,
                         const OperatorSet& ops, const UnitCheck* units) {
  const FormsAllowed allowed = forms_allowed(raw, units);
  if (!allowed.any()) return ScaledScore{};
  thread_local CompiledExpr program;
  thread_local std::vector<double> f;
  const size_t n = train.n_rows();
  program.compile(raw, train);
  f.resize(n);
  evaluate_rows(program, n, f.data());
  ScaledScore best = score_values(f.data(), train, ops.complexity(raw), floor, ops, allowed.affine);
  if (allowed.affine == kAllForms) {
    if (!std::isfinite(best.score)) return best;
  } else {
    // Not finite on some row: no form can be.
    for (size_t i = 0; i < n; ++i)
      if (!std::isfinite(f[i])) return best;
  }
  thread_local std::vector<const Expr*> p, q;
  if (rational_parts(raw, p, q)) {
    if (!allowed.rational) return best;
    ScaledScore r =
        with_weights(train, [&](auto w) { return score_rational(p, q, train, floor, ops, w); });
    if (r.score < best.score) best = std::move(r);
    return best;
  }
  const std::vector<const Expr*> terms = sum_terms(raw);
  if (terms.empty() || !allowed.terms) return best;
  thread_local std::vector<double> values;
  values.resize(terms.size() * n);
  for (size_t j = 0; j < terms.size(); ++j) {
    program.compile(*terms[j], train);
    evaluate_rows(program, n, &values[j * n]);
  }
  ScaledScore split = with_weights(
      train, [&](auto w) { return score_terms(terms, values.data(), train, floor, ops, w); });
  if (split.score < best.score) best = std::move(split);
  return best;
}

Expr scaled_tree(const Expr& raw, const ScaledScore& s) {
  switch (s.form) {
    case ScaledScore::Form::Plain:
      return raw;
    case ScaledScore::Form::Offset:
      return Expr::bin(Op::Add, Expr::constant(s.a), raw);
    case ScaledScore::Form::Scale:
      return Expr::bin(Op::Mul, Expr::constant(s.b), raw);
    case ScaledScore::Form::Affine:
      return Expr::bin(Op::Add, Expr::constant(s.a), Expr::bin(Op::Mul, Expr::constant(s.b), raw));
    case ScaledScore::Form::Rational: {
      std::vector<const Expr*> p, q;
      if (!rational_parts(raw, p, q) || p.size() != s.coef.size() || q.size() != s.coef2.size() + 1)
        return raw;
      Expr num = Expr::constant(s.a);
      for (size_t j = 0; j < p.size(); ++j)
        num = Expr::bin(Op::Add, std::move(num),
                        Expr::bin(Op::Mul, Expr::constant(s.coef[j]), *p[j]));
      Expr den = Expr::bin(Op::Add, Expr::constant(s.b), *q[0]);
      for (size_t j = 1; j < q.size(); ++j)
        den = Expr::bin(Op::Add, std::move(den),
                        Expr::bin(Op::Mul, Expr::constant(s.coef2[j - 1]), *q[j]));
      return Expr::bin(Op::Div, std::move(num), std::move(den));
    }
    case ScaledScore::Form::Terms: {
      const std::vector<const Expr*> terms = sum_terms(raw);
      if (terms.size() != s.coef.size()) return raw;
      Expr sum = Expr::constant(s.a);
      for (size_t j = 0; j < terms.size(); ++j)
        sum = Expr::bin(Op::Add, std::move(sum),
                        Expr::bin(Op::Mul, Expr::constant(s.coef[j]), *terms[j]));
      return sum;
    }
  }
  return raw;
}

}  // namespace quorvex
