#include "refine/fit.h"

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <vector>

#include "expr/derivatives.h"

namespace quorvex {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Sum of squared residuals of a + b·f; +inf when any value is not finite.
double scaled_sse(const std::vector<double>& f, const std::vector<double>& y, double a, double b) {
  double sse = 0.0;
  for (size_t i = 0; i < y.size(); ++i) {
    if (!std::isfinite(f[i])) return kInf;
    const double e = y[i] - (a + b * f[i]);
    sse += e * e;
  }
  return std::isfinite(sse) ? sse : kInf;
}

// Σ a[i]·b[i] in row order; a null operand is a column of ones.
double dot(const double* a, const double* b, size_t n) {
  double s = 0.0;
  if (!b) {
    for (size_t i = 0; i < n; ++i) s += a[i];
  } else if (!a) {
    for (size_t i = 0; i < n; ++i) s += b[i];
  } else {
    for (size_t i = 0; i < n; ++i) s += a[i] * b[i];
  }
  return s;
}

// Least-squares a and b for a given f.
void best_affine(const std::vector<double>& f, const std::vector<double>& y, double& a, double& b) {
  const double n = static_cast<double>(y.size());
  double sf = 0.0, sy = 0.0;
  for (size_t i = 0; i < y.size(); ++i) sf += f[i], sy += y[i];
  const double mf = sf / n, my = sy / n;
  double sff = 0.0, sfy = 0.0;
  for (size_t i = 0; i < y.size(); ++i) {
    const double df = f[i] - mf;
    sff += df * df;
    sfy += df * (y[i] - my);
  }
  b = sff > 0.0 ? sfy / sff : 0.0;
  a = my - b * mf;
}

}  // namespace

FitOutcome fit_constants(const Expr& raw, const Dataset& train, uint32_t max_iterations,
                         bool scaled, size_t hold) {
  const auto affine = [&](const std::vector<double>& f, const std::vector<double>& y, double& a,
                          double& b) {
    if (scaled) {
      best_affine(f, y, a, b);
    } else {
      a = 0.0;
      b = 1.0;
    }
  };
  FitOutcome out;
  out.tree = raw;
  thread_local DualProgram program;  // its buffers outlive the call
  program.compile(raw, train);
  const size_t np = program.n_params();
  const size_t n = train.n_rows();
  const std::vector<double>& y = train.targets();
  std::vector<double> theta = constants_of(raw);
  std::vector<double> f(n), jac(np * n), f_try(n);
  program.run(theta.data(), f.data(), jac.data());
  double a = 0.0, b = 1.0;
  affine(f, y, a, b);
  double sse = scaled_sse(f, y, a, b);
  out.sse_before = out.sse = sse;
  if (np == 0 || !std::isfinite(sse) || n == 0) return out;

  // Parameters: a, b, then theta.
  const size_t m = np + 2;
  Eigen::MatrixXd normal(m, m);
  Eigen::VectorXd gradient(m);
  std::vector<double> residual(n);
  double lambda = 1e-3;
  bool have_jac = true;
  bool converged = false;
  for (uint32_t it = 0; it < max_iterations && !converged; ++it) {
    ++out.iterations;
    if (!have_jac) {
      program.run(theta.data(), f.data(), jac.data());
      have_jac = true;
    }
    // Columns of the Jacobian of a + b·f: 1, f, b·∂f/∂θ. Each entry of the
    // normal equations is one dot product, summed in row order.
    std::vector<const double*> cols(m);
    cols[0] = nullptr;
    cols[1] = f.data();
    for (size_t p = 0; p < np; ++p) {
      double* c = &jac[p * n];
      for (size_t i = 0; i < n; ++i) c[i] *= b;
      cols[p + 2] = c;
    }
    for (size_t i = 0; i < n; ++i) residual[i] = y[i] - (a + b * f[i]);
    normal.setZero();
    normal(0, 0) = static_cast<double>(n);
    for (size_t j = 0; j < m; ++j) {
      const auto jj = static_cast<Eigen::Index>(j);
      gradient[jj] = dot(cols[j], residual.data(), n);
      for (size_t k = 1; k <= j; ++k)
        normal(jj, static_cast<Eigen::Index>(k)) = dot(cols[j], cols[k], n);
      if (j > 0) normal(jj, 0) = dot(cols[j], nullptr, n);
    }
    if (!normal.allFinite() || !gradient.allFinite()) break;
    normal.triangularView<Eigen::StrictlyUpper>() = normal.transpose();
    if (!scaled) {
      // a and b held at 0 and 1: their rows and columns decouple.
      for (Eigen::Index j = 0; j < 2; ++j) {
        normal.row(j).setZero();
        normal.col(j).setZero();
        normal(j, j) = 1.0;
        gradient[j] = 0.0;
      }
    }
    if (hold < np) {
      const auto h = static_cast<Eigen::Index>(hold + 2);
      normal.row(h).setZero();
      normal.col(h).setZero();
      normal(h, h) = 1.0;
      gradient[h] = 0.0;
    }
    bool accepted = false;
    for (int attempt = 0; attempt < 8 && !accepted; ++attempt) {
      Eigen::MatrixXd damped = normal;
      for (size_t j = 0; j < m; ++j) {
        const auto jj = static_cast<Eigen::Index>(j);
        damped(jj, jj) += lambda * (normal(jj, jj) + 1e-12);
      }
      const Eigen::VectorXd step = damped.ldlt().solve(gradient);
      if (!step.allFinite()) {
        lambda *= 10.0;
        continue;
      }
      std::vector<double> trial(theta);
      for (size_t p = 0; p < np; ++p) trial[p] += step[static_cast<Eigen::Index>(p + 2)];
      program.run(trial.data(), f_try.data(), nullptr);
      double ta = 0.0, tb = 1.0;
      affine(f_try, y, ta, tb);
      const double trial_sse = scaled_sse(f_try, y, ta, tb);
      if (trial_sse < sse) {
        const double gain = sse - trial_sse;
        theta.swap(trial);
        a = ta;
        b = tb;
        sse = trial_sse;
        lambda = std::max(lambda / 3.0, 1e-12);
        accepted = true;
        have_jac = false;
        converged = gain <= 1e-13 * sse;
      } else {
        lambda *= 4.0;
      }
    }
    if (!accepted) break;
  }
  if (sse < out.sse_before) {
    out.tree = with_constants(raw, theta.data());
    out.sse = sse;
    out.improved = true;
  }
  return out;
}

}  // namespace quorvex
