#include "assess/uncertainty.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "expr/compiled.h"
#include "expr/derivatives.h"
#include "rng/lcg.h"

namespace quorvex {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// Rows per pass of the Jacobian: its p columns stay a few MiB however many
// rows there are.
constexpr size_t kChunkRows = 16384;
// An eigenvalue of the scaled JᵀJ below this share of the largest counts as
// zero; a constant whose weight in its eigenvector exceeds kInvolved is
// taken as not resolved.
constexpr double kRelativeEigen = 1e-12;
constexpr double kInvolved = 1e-6;
// Keeps the draws apart from the split's stream of the same seed.
constexpr uint64_t kDomainSalt = 0xD0A15EED00000001ULL;

double dot(const double* a, const double* b, size_t n) {
  double s = 0.0;
  for (size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

// Names of the features `tree` reads, without recursion: a tree read from
// JSON may be deep.
std::vector<std::string> features_read(const Expr& tree) {
  std::vector<std::string> names;
  std::vector<const Expr*> todo{&tree};
  while (!todo.empty()) {
    const Expr* e = todo.back();
    todo.pop_back();
    switch (e->kind()) {
      case Expr::Kind::Const:
        break;
      case Expr::Kind::Feature:
        names.push_back(e->name());
        break;
      case Expr::Kind::Bin:
        todo.push_back(&e->left());
        todo.push_back(&e->right());
        break;
      default:
        todo.push_back(&e->child());
    }
  }
  return names;
}

}  // namespace

bool FittedConstant::interval_includes_zero() const noexcept {
  return std::fabs(value) <= 1.96 * std_error;
}

std::vector<FittedConstant> constant_errors(const Expr& tree, const Dataset& train) {
  const std::vector<double> theta = constants_of(tree);
  std::vector<FittedConstant> out;
  for (double v : theta) out.push_back({v, kNaN});
  const size_t p = theta.size();
  const size_t n = train.n_rows();
  if (p == 0 || n <= p) return out;

  const auto ip = static_cast<Eigen::Index>(p);
  Eigen::MatrixXd normal = Eigen::MatrixXd::Zero(ip, ip);
  double sse = 0.0;
  DualProgram program;
  std::vector<double> values, jac;
  std::vector<size_t> rows_at;
  for (size_t begin = 0; begin < n; begin += kChunkRows) {
    const size_t m = std::min(kChunkRows, n - begin);
    Dataset chunk;
    if (m < n) {
      rows_at.resize(m);
      std::iota(rows_at.begin(), rows_at.end(), begin);
      chunk = train.gather(rows_at.data(), m);
    }
    const Dataset& rows = m < n ? chunk : train;
    program.compile(tree, rows);
    values.assign(m, 0.0);
    jac.assign(p * m, 0.0);
    program.run(theta.data(), values.data(), jac.data());
    const double* y = rows.targets().data();
    for (size_t i = 0; i < m; ++i) sse += (y[i] - values[i]) * (y[i] - values[i]);
    for (size_t a = 0; a < p; ++a)
      for (size_t b = 0; b <= a; ++b)
        normal(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b)) +=
            dot(&jac[a * m], &jac[b * m], m);
  }
  if (!std::isfinite(sse) || !normal.allFinite()) return out;
  const double s2 = sse / static_cast<double>(n - p);

  // Each column scaled to unit length, so that constants of very different
  // magnitudes do not pass for a singular system. A constant the values do
  // not depend on at all is not resolved.
  std::vector<size_t> kept;
  for (size_t a = 0; a < p; ++a) {
    const auto ia = static_cast<Eigen::Index>(a);
    if (normal(ia, ia) > 0.0)
      kept.push_back(a);
    else
      out[a].std_error = kInf;
  }
  if (kept.empty()) return out;
  const auto k = static_cast<Eigen::Index>(kept.size());
  Eigen::MatrixXd scaled(k, k);
  for (Eigen::Index i = 0; i < k; ++i)
    for (Eigen::Index j = 0; j <= i; ++j) {
      const auto a = static_cast<Eigen::Index>(kept[static_cast<size_t>(i)]);
      const auto b = static_cast<Eigen::Index>(kept[static_cast<size_t>(j)]);
      const double v = normal(a, b) / (std::sqrt(normal(a, a)) * std::sqrt(normal(b, b)));
      scaled(i, j) = scaled(j, i) = v;
    }
  if (!scaled.allFinite()) return out;
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(scaled);
  if (eigen.info() != Eigen::Success) return out;
  const Eigen::VectorXd& lambda = eigen.eigenvalues();  // increasing
  const Eigen::MatrixXd& vectors = eigen.eigenvectors();
  const double tiny = kRelativeEigen * lambda(k - 1);
  for (Eigen::Index i = 0; i < k; ++i) {
    double inverse = 0.0;  // of the scaled matrix's diagonal
    bool resolved = true;
    for (Eigen::Index e = 0; e < k; ++e) {
      const double w = vectors(i, e);
      if (lambda(e) > tiny)
        inverse += w * w / lambda(e);
      else if (std::fabs(w) > kInvolved)
        resolved = false;
    }
    const auto a = kept[static_cast<size_t>(i)];
    const auto ia = static_cast<Eigen::Index>(a);
    out[a].std_error = resolved ? std::sqrt(s2 * inverse / normal(ia, ia)) : kInf;
  }
  return out;
}

double domain_share(const Expr& tree, const Dataset& train, uint64_t seed) {
  const size_t n = train.n_rows();
  if (n == 0) return kNaN;
  std::vector<std::string> read = features_read(tree);
  // The columns the tree reads, in the order of the training data's columns,
  // each with its name and the range of its finite values.
  std::vector<std::string> names(train.n_columns());
  for (size_t j = 0; j < train.features().size(); ++j)
    names[train.column_of_feature(j)] = train.features()[j];
  Dataset sample;
  std::vector<double> lo, hi;
  for (size_t c = 0; c < train.n_columns(); ++c) {
    if (std::find(read.begin(), read.end(), names[c]) == read.end()) continue;
    double a = kInf, b = -kInf;
    for (double v : train.column(c))
      if (std::isfinite(v)) {
        a = std::min(a, v);
        b = std::max(b, v);
      }
    if (a > b) a = b = kNaN;  // no finite value: neither is the formula
    sample.add_feature(names[c]);
    lo.push_back(a);
    hi.push_back(b);
  }
  Lcg rng(seed ^ kDomainSalt);
  sample.reserve_rows(kDomainPoints);
  std::vector<double> point(lo.size());
  for (size_t i = 0; i < kDomainPoints; ++i) {
    for (size_t c = 0; c < lo.size(); ++c) {
      const double u = rng.next_f64();
      // Interpolated, not lo + u·(hi − lo), which overflows for a box wider
      // than the largest double; clamped against rounding past either end.
      point[c] = std::clamp(lo[c] * (1.0 - u) + hi[c] * u, lo[c], hi[c]);
    }
    sample.push_row(point.data(), 0.0);
  }
  CompiledExpr program;
  program.compile(tree, sample);
  std::vector<double> y(kDomainPoints);
  evaluate_rows(program, kDomainPoints, y.data());
  const auto finite = std::count_if(y.begin(), y.end(), [](double v) { return std::isfinite(v); });
  return static_cast<double>(finite) / static_cast<double>(kDomainPoints);
}

}  // namespace quorvex
