#include "refine/sparse_line.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "refine/scaled.h"
#include "refine/seeds.h"

namespace quorvex {

namespace {

constexpr size_t kMaxFeatures = 24;

// Squared error of the least-squares fit on `cols` of the Gram matrix
// (column 0 the constant; `rhs` the products with y, `yy` y's own).
double sse_of(const Eigen::MatrixXd& gram, const Eigen::VectorXd& rhs, double yy,
              const std::vector<Eigen::Index>& cols, Eigen::VectorXd* beta = nullptr) {
  const auto k = static_cast<Eigen::Index>(cols.size());
  Eigen::MatrixXd g(k, k);
  Eigen::VectorXd r(k);
  for (Eigen::Index a = 0; a < k; ++a) {
    r[a] = rhs[cols[static_cast<size_t>(a)]];
    for (Eigen::Index b = 0; b < k; ++b)
      g(a, b) = gram(cols[static_cast<size_t>(a)], cols[static_cast<size_t>(b)]);
  }
  const Eigen::LDLT<Eigen::MatrixXd> ldlt(g);
  if (ldlt.info() != Eigen::Success) return std::numeric_limits<double>::infinity();
  Eigen::VectorXd b = ldlt.solve(r);
  if (!b.allFinite()) return std::numeric_limits<double>::infinity();
  const double sse = yy - r.dot(b);
  if (beta) *beta = std::move(b);
  // Rounding may take a near-exact fit's error below zero.
  return std::max(sse, 0.0);
}

}  // namespace

std::optional<Expr> sparse_line(const Dataset& train, double floor) {
  const std::vector<std::string> names = distinct_features(train);
  const size_t d = names.size(), n = train.n_rows();
  if (d < 2 || d > kMaxFeatures || n == 0) return {};
  std::vector<const double*> x;
  for (const std::string& name : names) x.push_back(train.column(train.find_column(name)).data());
  const std::vector<double>& y = train.targets();
  const double* w = train.weighted() ? train.weights().data() : nullptr;
  // Centred on the means, so that the normal equations keep their digits when
  // a feature's offset dwarfs its spread; the constant's column is then
  // orthogonal to the others.
  const double total = train.weight_total();
  std::vector<double> mean(d + 1, 0.0);
  for (size_t i = 0; i < n; ++i) {
    const double wi = w ? w[i] : 1.0;
    for (size_t j = 0; j < d; ++j) mean[j] += wi * x[j][i];
    mean[d] += wi * y[i];
  }
  for (double& m : mean) m /= total;
  const auto di = static_cast<Eigen::Index>(d);
  Eigen::MatrixXd gram = Eigen::MatrixXd::Zero(di + 1, di + 1);
  Eigen::VectorXd rhs = Eigen::VectorXd::Zero(di + 1);
  double yy = 0.0;
  std::vector<double> v(d);
  gram(0, 0) = total;
  for (size_t i = 0; i < n; ++i) {
    const double wi = w ? w[i] : 1.0;
    const double yc = y[i] - mean[d];
    for (size_t j = 0; j < d; ++j) v[j] = x[j][i] - mean[j];
    for (size_t j = 0; j < d; ++j) {
      const auto jj = static_cast<Eigen::Index>(j + 1);
      rhs[jj] += wi * v[j] * yc;
      for (size_t k = 0; k <= j; ++k) gram(jj, static_cast<Eigen::Index>(k + 1)) += wi * v[j] * v[k];
    }
    yy += wi * yc * yc;
  }
  gram.triangularView<Eigen::StrictlyUpper>() = gram.transpose();
  if (!gram.allFinite() || !rhs.allFinite() || !std::isfinite(yy)) return {};

  const auto bic = [&](double sse, size_t coefs) {
    return refined_bic(sse / total, total, static_cast<uint32_t>(coefs), floor);
  };
  std::vector<Eigen::Index> active;
  for (Eigen::Index c = 0; c <= di; ++c) active.push_back(c);
  double best = bic(sse_of(gram, rhs, yy, active), active.size());
  bool dropped = false;
  while (active.size() > 1) {
    size_t drop = 0;
    double least = std::numeric_limits<double>::infinity();
    for (size_t i = 1; i < active.size(); ++i) {
      std::vector<Eigen::Index> rest = active;
      rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i));
      const double b = bic(sse_of(gram, rhs, yy, rest), rest.size());
      if (b < least) {
        least = b;
        drop = i;
      }
    }
    if (!(least < best)) break;
    best = least;
    active.erase(active.begin() + static_cast<std::ptrdiff_t>(drop));
    dropped = true;
  }
  if (!dropped || active.size() < 2) return {};
  Eigen::VectorXd beta;
  if (!std::isfinite(sse_of(gram, rhs, yy, active, &beta))) return {};
  double intercept = mean[d];
  std::vector<Expr> terms;
  for (size_t a = 1; a < active.size(); ++a) {
    const auto j = static_cast<size_t>(active[a] - 1);
    const double slope = beta[static_cast<Eigen::Index>(a)];
    intercept -= slope * mean[j];
    terms.push_back(Expr::bin(Op::Mul, Expr::constant(slope), Expr::feature(names[j])));
  }
  Expr out = Expr::constant(intercept);
  for (Expr& t : terms) out = Expr::bin(Op::Add, std::move(out), std::move(t));
  return out;
}

}  // namespace quorvex
