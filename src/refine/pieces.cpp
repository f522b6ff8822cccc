#include "refine/pieces.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <utility>

#include "expr/real_power.h"

namespace quorvex {

namespace {

constexpr size_t kMaxMonomialFeatures = 5;

}  // namespace

LawPieces::LawPieces(std::vector<std::string> features, const OperatorSet& ops,
                     const Dataset* sample)
    : features_(std::move(features)),
      ops_(ops),
      sample_(sample),
      mul_(ops.has(Operator::Mul)),
      div_(ops.has(Operator::Div)),
      add_(ops.has(Operator::Add)),
      pow_(ops.has(Operator::Pow)),
      real_(ops.real_powers()) {
  for (Expr::Kind k : {Expr::Kind::Exp, Expr::Kind::Log, Expr::Kind::Sqrt, Expr::Kind::Sin,
                       Expr::Kind::Cos, Expr::Kind::Tanh, Expr::Kind::Abs})
    if (ops.has(operator_of(k))) functions_.push_back(k);
}

Expr LawPieces::power(const std::string& name, int exponent) const {
  Expr x = Expr::feature(name);
  if (exponent == 1) return x;
  if (pow_) return Expr::pow(std::move(x), exponent);
  Expr out = x;  // build() asks for a higher power only with a product
  for (int i = 1; i < exponent; ++i) out = Expr::bin(Op::Mul, std::move(out), x);
  return out;
}

Expr LawPieces::product(std::vector<Expr> factors) const {
  Expr out = std::move(factors[0]);
  for (size_t i = 1; i < factors.size(); ++i)
    out = Expr::bin(Op::Mul, std::move(out), std::move(factors[i]));
  return out;
}

Expr LawPieces::scaled(double c, Expr e) const {
  return mul_ ? Expr::bin(Op::Mul, Expr::constant(c), std::move(e)) : e;
}

void LawPieces::set_positive(std::vector<std::string> features) { positive_ = std::move(features); }

void LawPieces::add_hint(Factors factors) {
  if (factors.empty() || std::find(hints_.begin(), hints_.end(), factors) != hints_.end()) return;
  hints_.push_back(std::move(factors));
}

void LawPieces::add_prefactor(Factors factors) { prefactor_ = std::move(factors); }

Expr LawPieces::prefactor(Lcg& rng) const {
  if (!prefactor_.empty() && rng.below(3) != 0) return build(prefactor_);
  return monomial(rng);
}

Expr LawPieces::build(const Factors& factors) const {
  std::vector<Expr> up, down;
  for (const auto& [name, exponent] : factors) {
    const int magnitude = exponent < 0 ? -exponent : exponent;
    // Without a product there is only one factor to keep.
    if (!mul_ && !(up.empty() && down.empty())) break;
    if (magnitude >= 2 && !pow_ && !mul_) continue;
    const bool inverse = exponent < 0 && (div_ || pow_);
    (inverse ? down : up).push_back(power(name, magnitude));
  }
  if (up.empty() && down.empty()) return Expr::feature(features_.front());
  if (down.empty()) return product(std::move(up));
  Expr den = mul_ ? product(std::move(down)) : std::move(down[0]);
  if (up.empty() || !div_)
    return div_ ? Expr::bin(Op::Div, Expr::constant(1.0), std::move(den))
                : Expr::pow(std::move(den), -1);
  return Expr::bin(Op::Div, product(std::move(up)), std::move(den));
}

std::pair<double, double> LawPieces::size_of(const Expr& m) const {
  std::vector<double> sizes;
  if (sample_) {
    sizes.reserve(sample_->n_rows());
    for (size_t i = 0; i < sample_->n_rows(); ++i) {
      const double v = std::fabs(m.evaluate(sample_->row(i)));
      if (std::isfinite(v) && v > 0.0) sizes.push_back(v);
    }
  }
  if (sizes.empty()) return {1.0, 1.0};
  const auto mid = sizes.begin() + static_cast<std::ptrdiff_t>(sizes.size() / 2);
  std::nth_element(sizes.begin(), mid, sizes.end());
  return {*mid, *std::max_element(sizes.begin(), sizes.end())};
}

Expr LawPieces::monomial(Lcg& rng) const {
  Factors f;
  if (!hints_.empty() && rng.below(3) == 0) {
    f = hints_[rng.below(hints_.size())];
    if (rng.below(2) == 0)
      for (auto& factor : f) factor.second = -factor.second;
  } else {
    std::vector<size_t> order(features_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    const size_t count = 1 + rng.below(std::min(order.size(), kMaxMonomialFeatures));
    for (size_t i = 0; i < count; ++i) {
      std::swap(order[i], order[i + rng.below(order.size() - i)]);
      const int magnitude = rng.below(6) == 0 ? 2 : 1;
      f.emplace_back(features_[order[i]], rng.below(2) == 0 ? -magnitude : magnitude);
    }
  }
  // A ratio squared, as v²/c² is: too rare when each exponent is drawn alone.
  if (rng.below(4) == 0)
    for (auto& factor : f)
      if (factor.second == 1 || factor.second == -1) factor.second *= 2;
  return build(f);
}

Expr LawPieces::piece(Lcg& rng) const {
  Expr m = monomial(rng);
  const double sign = rng.below(2) == 0 ? 1.0 : -1.0;
  // Starting constants in the right basin: c·M of order one inside exp, sin
  // and cos, and 1 − c·M positive on every row under a root.
  const auto [median, largest] = size_of(m);
  const double unit = 1.0 / median;
  const double shrink = sign < 0.0 ? std::min(1.0, 0.9 / largest) : 1.0;
  Expr out = m;
  switch (rng.below(real_powers() ? 8 : 7)) {
    case 0:
      break;
    case 1:  // f(c·M): a rate or a frequency for the fit to move
      if (!functions_.empty()) {
        const Expr::Kind k = functions_[rng.below(functions_.size())];
        const bool periodic = k == Expr::Kind::Sin || k == Expr::Kind::Cos;
        const double c = k == Expr::Kind::Exp ? sign * unit : periodic ? unit : 1.0;
        out = Expr::function(k, scaled(c, m));
        // An intensity goes as sin²(c·M).
        if (periodic && pow_ && rng.below(3) == 0) out = Expr::pow(std::move(out), 2);
      }
      break;
    case 2:    // sqrt(1 ± M), sometimes inverted
    case 3: {  // 1/(1 ± M)
      Expr inner = Expr::bin(Op::Add, Expr::constant(1.0), scaled(sign * shrink, m));
      if (rng.below(2) == 0 || rng.below(2) == 0) inner = Expr::sqrt(std::move(inner));
      out = rng.below(2) == 0 ? Expr::pow(std::move(inner), -1) : std::move(inner);
      break;
    }
    case 4: {  // 1/(exp(±M) ± 1), or 1/(exp(M) + exp(−M)) as for two levels
      Expr e = Expr::exp(scaled(sign * unit, m));
      const size_t other = rng.below(3);
      Expr addend =
          other == 2 ? Expr::exp(scaled(-sign * unit, m)) : Expr::constant(other == 0 ? 1.0 : -1.0);
      out = Expr::pow(Expr::bin(Op::Add, std::move(e), std::move(addend)), -1);
      break;
    }
    case 5:
      out = length(rng);
      break;
    case 7:
      out = power_piece(rng, sign);
      break;
    default: {  // M1 ± M2, sometimes under a root or inverted
      out = Expr::bin(Op::Add, m, scaled(sign, monomial(rng)));
      const size_t wrap = rng.below(3);
      if (wrap == 1) out = Expr::sqrt(std::move(out));
      if (wrap == 2) out = Expr::pow(std::move(out), -1);
      break;
    }
  }
  // A law's prefactor, as the n0 of n0·exp(−E/kT).
  if (!(out == m) && mul_ && rng.below(4) == 0)
    out = Expr::bin(Op::Mul, prefactor(rng), std::move(out));
  return ops_.allows(out) ? out : m;
}

Expr LawPieces::power_piece(Lcg& rng, double sign) const {
  // Starting exponents away from 1 and the half numbers, which other pieces
  // and seeds already write; the fit moves them.
  static constexpr double kStarts[] = {0.7, 1.3, 1.7, 2.5, -0.7};
  const std::string& name = positive_[rng.below(positive_.size())];
  const double c = kStarts[rng.below(std::size(kStarts))];
  Expr p = real_power(Expr::feature(name), c);
  const double unit = 1.0 / size_of(p).first;
  switch (rng.below(3)) {
    case 0:
      return p;
    case 1:
      return Expr::exp(scaled(sign * unit, std::move(p)));
    default:  // a half-saturation constant of the order of x^c
      if (!add_ || !div_) return p;
      return Expr::bin(Op::Div, p, Expr::bin(Op::Add, Expr::constant(1.0 / unit), p));
  }
}

Expr LawPieces::length(Lcg& rng) const {
  std::vector<size_t> order(features_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  size_t used = 0;
  auto draw = [&] {
    std::swap(order[used], order[used + rng.below(order.size() - used)]);
    return Expr::feature(features_[order[used++]]);
  };
  // Each feature once: a feature or a difference of two, squared.
  auto square = [&] {
    Expr u = draw();
    if (used < order.size() && rng.below(2) == 0) u = Expr::bin(Op::Sub, std::move(u), draw());
    return pow_ ? Expr::pow(std::move(u), 2) : Expr::bin(Op::Mul, u, u);
  };
  const size_t terms = 2 + rng.below(2);
  Expr sum = square();
  for (size_t t = 1; t < terms && used < order.size(); ++t)
    sum = Expr::bin(Op::Add, std::move(sum), square());
  return Expr::sqrt(std::move(sum));
}

Expr LawPieces::attach(const Expr& part, Lcg& rng) const {
  Expr p = piece(rng);
  const size_t how = rng.below(4);
  if (how == 1 && mul_) return Expr::bin(Op::Mul, part, std::move(p));
  if (how == 2 && div_) return Expr::bin(Op::Div, part, std::move(p));
  if (how == 3 && add_) return Expr::bin(Op::Add, part, std::move(p));
  return p;
}

}  // namespace quorvex
