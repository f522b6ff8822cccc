#include "refine/fit.h"

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "expr/derivatives.h"
#include "refine/scaled.h"

namespace quorvex {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Sum of (weighted) squared residuals of a + b·f; +inf when any value is not
// finite. A null `w` weighs every row 1.
template <typename W>
double scaled_sse(const std::vector<double>& f, const std::vector<double>& y, double a, double b,
                  W w) {
  double sse = 0.0;
  for (size_t i = 0; i < y.size(); ++i) {
    if (!std::isfinite(f[i])) return kInf;
    const double e = y[i] - (a + b * f[i]);
    sse += w[i] * (e * e);
  }
  return std::isfinite(sse) ? sse : kInf;
}

double scaled_sse(const std::vector<double>& f, const std::vector<double>& y, double a, double b,
                  const double* w) {
  return w ? scaled_sse(f, y, a, b, RowWeights{w}) : scaled_sse(f, y, a, b, UnitWeights{});
}

// The lower triangle of the normal equations of the columns 1, cols[1..m)
// and the gradient against r, in one pass over the rows: each entry keeps
// its own sum in row order (the bits of one dot product per entry), and the
// independent sums run side by side instead of one latency chain each.
// `sums` holds entry (j, k) at j·(j+1)/2 + k, then the gradient.
template <typename W>
void normal_sums(const std::vector<const double*>& cols, const double* r, size_t n, W w,
                 std::vector<double>& sums, std::vector<double>& row) {
  const size_t m = cols.size();
  const size_t tri = m * (m + 1) / 2;
  sums.assign(tri + m, 0.0);
  row.resize(m);
  double* s = sums.data();
  double* g = s + tri;
  double* v = row.data();
  for (size_t i = 0; i < n; ++i) {
    const double wi = w[i];
    for (size_t j = 1; j < m; ++j) v[j] = cols[j][i];
    g[0] += wi * r[i];
    for (size_t j = 1; j < m; ++j) {
      double* sj = s + j * (j + 1) / 2;
      sj[0] += wi * v[j];
      for (size_t k = 1; k <= j; ++k) sj[k] += wi * (v[j] * v[k]);
      g[j] += wi * (v[j] * r[i]);
    }
  }
}

// A parameter's row and column of the normal equations replaced by the
// identity's: the step leaves it where it is.
void pin(Eigen::MatrixXd& normal, Eigen::VectorXd& gradient, Eigen::Index j) {
  normal.row(j).setZero();
  normal.col(j).setZero();
  normal(j, j) = 1.0;
  gradient[j] = 0.0;
}

// Levenberg–Marquardt over the parameters a, b, then the tree's constants θ.
class Fit {
 public:
  Fit(const Expr& raw, const Dataset& train, bool scaled, std::vector<size_t> held)
      : n_(train.n_rows()),
        y_(train.targets()),
        w_(train.weighted() ? train.weights().data() : nullptr),
        total_(train.weight_total()),
        scaled_(scaled),
        held_(std::move(held)) {
    program_.compile(raw, train);
    np_ = program_.n_params();
    theta_ = constants_of(raw);
    f_.resize(n_);
    f_try_.resize(n_);
    jac_.resize(np_ * n_);
    residual_.resize(n_);
    program_.run(theta_.data(), f_.data(), jac_.data());
    affine(f_, a_, b_);
    sse_ = scaled_sse(f_, y_, a_, b_, w_);
  }

  size_t n_params() const noexcept { return np_; }
  double sse() const noexcept { return sse_; }
  const std::vector<double>& theta() const noexcept { return theta_; }

  // One step; false when none lowers the error (or the equations are not
  // finite). Sets `converged` when the gain is within rounding.
  bool step(bool& converged) {
    if (!have_jac_) {
      program_.run(theta_.data(), f_.data(), jac_.data());
      have_jac_ = true;
    }
    if (!assemble()) return false;
    const size_t m = np_ + 2;
    for (int attempt = 0; attempt < 8; ++attempt) {
      Eigen::MatrixXd damped = normal_;
      for (size_t j = 0; j < m; ++j) {
        const auto jj = static_cast<Eigen::Index>(j);
        damped(jj, jj) += lambda_ * (normal_(jj, jj) + 1e-12);
      }
      const Eigen::VectorXd step = damped.ldlt().solve(gradient_);
      if (!step.allFinite()) {
        lambda_ *= 10.0;
        continue;
      }
      if (try_step(step, converged)) return true;
      lambda_ *= 4.0;
    }
    return false;
  }

 private:
  // The least-squares scaling of f, or none for a tree that holds its own.
  void affine(const std::vector<double>& f, double& a, double& b) const {
    if (!scaled_) {
      a = 0.0;
      b = 1.0;
      return;
    }
    const AffineFit line = affine_fit(f.data(), y_.data(), y_.size(), w_, total_);
    a = line.a;
    b = line.b;
  }

  // The normal equations of the Jacobian of a + b·f, whose columns are 1, f
  // and b·∂f/∂θ: each entry one dot product, summed in row order.
  bool assemble() {
    const size_t m = np_ + 2;
    std::vector<const double*> cols(m);
    cols[0] = nullptr;
    cols[1] = f_.data();
    for (size_t p = 0; p < np_; ++p) {
      double* c = &jac_[p * n_];
      for (size_t i = 0; i < n_; ++i) c[i] *= b_;
      cols[p + 2] = c;
    }
    for (size_t i = 0; i < n_; ++i) residual_[i] = y_[i] - (a_ + b_ * f_[i]);
    if (w_)
      normal_sums(cols, residual_.data(), n_, RowWeights{w_}, sums_, row_);
    else
      normal_sums(cols, residual_.data(), n_, UnitWeights{}, sums_, row_);
    const auto mi = static_cast<Eigen::Index>(m);
    normal_.resize(mi, mi);
    gradient_.resize(mi);
    normal_.setZero();
    for (size_t j = 0; j < m; ++j) {
      const auto jj = static_cast<Eigen::Index>(j);
      gradient_[jj] = sums_[m * (m + 1) / 2 + j];
      for (size_t k = 0; k <= j; ++k)
        normal_(jj, static_cast<Eigen::Index>(k)) = sums_[j * (j + 1) / 2 + k];
    }
    normal_(0, 0) = total_;
    if (!normal_.allFinite() || !gradient_.allFinite()) return false;
    normal_.triangularView<Eigen::StrictlyUpper>() = normal_.transpose();
    if (!scaled_) {
      // a and b held at 0 and 1: their rows and columns decouple.
      pin(normal_, gradient_, 0);
      pin(normal_, gradient_, 1);
    }
    for (size_t h : held_)
      if (h < np_) pin(normal_, gradient_, static_cast<Eigen::Index>(h + 2));
    return true;
  }

  bool try_step(const Eigen::VectorXd& step, bool& converged) {
    std::vector<double> trial(theta_);
    for (size_t p = 0; p < np_; ++p) trial[p] += step[static_cast<Eigen::Index>(p + 2)];
    program_.run(trial.data(), f_try_.data(), nullptr);
    double ta = 0.0, tb = 1.0;
    affine(f_try_, ta, tb);
    const double trial_sse = scaled_sse(f_try_, y_, ta, tb, w_);
    if (!(trial_sse < sse_)) return false;
    const double gain = sse_ - trial_sse;
    theta_.swap(trial);
    a_ = ta;
    b_ = tb;
    sse_ = trial_sse;
    lambda_ = std::max(lambda_ / 3.0, 1e-12);
    have_jac_ = false;
    converged = gain <= 1e-13 * sse_;
    return true;
  }

  static thread_local DualProgram program_;  // its buffers outlive the fit
  size_t n_;
  const std::vector<double>& y_;
  const double* w_;  // null: unweighted
  double total_;
  bool scaled_;
  std::vector<size_t> held_;
  size_t np_ = 0;
  std::vector<double> theta_, f_, f_try_, jac_, residual_, sums_, row_;
  double a_ = 0.0, b_ = 1.0;
  double sse_ = kInf;
  double lambda_ = 1e-3;
  bool have_jac_ = true;
  Eigen::MatrixXd normal_;
  Eigen::VectorXd gradient_;
};

thread_local DualProgram Fit::program_;

}  // namespace

FitOutcome fit_constants(const Expr& raw, const Dataset& train, uint32_t max_iterations,
                         bool scaled, size_t hold, const Deadline* deadline) {
  return fit_constants_holding(raw, train, max_iterations, scaled,
                               hold == kHoldNone ? std::vector<size_t>{} : std::vector<size_t>{hold},
                               deadline);
}

FitOutcome fit_constants_holding(const Expr& raw, const Dataset& train, uint32_t max_iterations,
                                 bool scaled, std::vector<size_t> held, const Deadline* deadline) {
  FitOutcome out;
  out.tree = raw;
  Fit fit(raw, train, scaled, std::move(held));
  out.sse_before = out.sse = fit.sse();
  if (fit.n_params() == 0 || !std::isfinite(fit.sse()) || train.n_rows() == 0) return out;
  bool converged = false;
  for (uint32_t it = 0; it < max_iterations && !converged; ++it) {
    if (deadline && it > 0 && deadline->passed()) break;
    ++out.iterations;
    if (!fit.step(converged)) break;
  }
  if (fit.sse() < out.sse_before) {
    out.tree = with_constants(raw, fit.theta().data());
    out.sse = fit.sse();
    out.improved = true;
  }
  return out;
}

}  // namespace quorvex
