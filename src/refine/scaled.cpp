#include "refine/scaled.h"

#include <cmath>
#include <vector>

#include "expr/compiled.h"

namespace quorvex {

uint32_t node_count(const Expr& tree) noexcept {
  switch (tree.kind()) {
    case Expr::Kind::Const:
    case Expr::Kind::Feature:
      return 1;
    case Expr::Kind::Bin:
      return 1 + node_count(tree.left()) + node_count(tree.right());
    default:
      return 1 + node_count(tree.child());
  }
}

double refined_bic(double mse, size_t n, uint32_t k, double floor) noexcept {
  if (!(mse >= 0.0) || !std::isfinite(mse)) return std::numeric_limits<double>::infinity();
  const double nd = static_cast<double>(n);
  return nd * std::log(std::max(mse, floor)) + static_cast<double>(k) * std::log(nd);
}

ScaledScore score_values(const double* f, const Dataset& train, uint32_t raw_nodes, double floor) {
  ScaledScore best;
  const std::vector<double>& y = train.targets();
  const size_t n = y.size();
  if (n == 0) return best;
  const double nd = static_cast<double>(n);
  double sf = 0.0, sy = 0.0;
  for (size_t i = 0; i < n; ++i) {
    if (!std::isfinite(f[i])) return best;
    sf += f[i];
    sy += y[i];
  }
  const double mf = sf / nd, my = sy / nd;
  double sff = 0.0, sfy = 0.0, sff0 = 0.0, sfy0 = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double df = f[i] - mf;
    sff += df * df;
    sfy += df * (y[i] - my);
    sff0 += f[i] * f[i];
    sfy0 += f[i] * y[i];
  }
  struct Candidate {
    ScaledScore::Form form;
    double a, b;
    uint32_t extra;
  };
  Candidate forms[4] = {{ScaledScore::Form::Plain, 0.0, 1.0, 0},
                        {ScaledScore::Form::Offset, my - mf, 1.0, 2},
                        {ScaledScore::Form::Scale, 0.0, sff0 > 0.0 ? sfy0 / sff0 : 0.0, 2},
                        {ScaledScore::Form::Affine, 0.0, sff > 0.0 ? sfy / sff : 0.0, 4}};
  forms[3].a = my - forms[3].b * mf;
  for (const Candidate& c : forms) {
    if (!std::isfinite(c.a) || !std::isfinite(c.b)) continue;
    double sse = 0.0;
    for (size_t i = 0; i < n; ++i) {
      const double e = y[i] - (c.a + c.b * f[i]);
      sse += e * e;
    }
    const double mse = sse / nd;
    const uint32_t k = raw_nodes + c.extra;
    const double s = refined_bic(mse, n, k, floor);
    if (s < best.score) best = ScaledScore{s, mse, c.a, c.b, c.form, k};
  }
  return best;
}

ScaledScore score_scaled(const Expr& raw, const Dataset& train, double floor) {
  thread_local CompiledExpr program;
  thread_local std::vector<double> f;
  program.compile(raw, train);
  f.resize(train.n_rows());
  evaluate_rows(program, train.n_rows(), f.data());
  return score_values(f.data(), train, node_count(raw), floor);
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
  }
  return raw;
}

}  // namespace quorvex
