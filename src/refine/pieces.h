#pragma once

// Pieces shaped like the laws of science: monomials (products of powers of
// distinct features, such as m·g·x/(k·T) or v²/c²) and the functions of them
// that laws are made of (exp(−M), 1/sqrt(1 − M), 1/(exp(M) − 1), cos(M),
// M1 − M2, sqrt(Δx² + Δy²)). Random trees and one-node edits reach a
// five-feature product inside a function too rarely for a search to find it.

#include <string>
#include <utility>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "expr/operators.h"
#include "rng/lcg.h"

namespace quorvex {

class LawPieces {
 public:
  // `sample`, if given, sets the starting constants of a piece from the
  // monomial's size on its rows (it must outlive the pieces).
  LawPieces(std::vector<std::string> features, const OperatorSet& ops,
            const Dataset* sample = nullptr);

  // Whether the set can build anything beyond a lone feature.
  bool usable() const noexcept { return !features_.empty() && (mul_ || div_); }

  // Features and exponents of a monomial the data suggest; monomial() draws
  // it or its inverse a third of the time.
  using Factors = std::vector<std::pair<std::string, int>>;
  void add_hint(Factors factors);
  // Features and whole exponents of the prefactor the data suggest (the
  // exponents of a fit in logs that come out whole); prefactor() draws it
  // two times in three, a monomial otherwise.
  void add_prefactor(Factors factors);
  Expr prefactor(Lcg& rng) const;
  // The product of powers `factors` within the operator set.
  Expr build(const Factors& factors) const;

  // The features positive on every training row: the bases a fitted power
  // (real_power.h) may have, where the set has real_powers().
  void set_positive(std::vector<std::string> features);
  bool real_powers() const noexcept { return real_ && !positive_.empty(); }

  // A product of powers (±1, sometimes ±2, or all doubled) of one to five
  // distinct features.
  Expr monomial(Lcg& rng) const;
  // A monomial or a function of one or two, within the operator set; with
  // fitted powers, also x^c, exp(c1·x^c2) (stretched exponentials, Weibull)
  // and x^c1/(c2 + x^c3) (Hill).
  Expr piece(Lcg& rng) const;
  // `part` replaced by a piece, or multiplied, divided or added to one.
  Expr attach(const Expr& part, Lcg& rng) const;

 private:
  Expr power(const std::string& name, int exponent) const;
  Expr product(std::vector<Expr> factors) const;
  Expr scaled(double c, Expr e) const;
  // A distance or a vector's length: the root of a sum of two or three
  // squares of features or differences of two.
  Expr length(Lcg& rng) const;
  // One of the fitted-power pieces, on a positive feature.
  Expr power_piece(Lcg& rng, double sign) const;
  // The median and the largest |m| on the sample's rows where m is finite
  // and non-zero; 1 and 1 without a sample or such rows.
  std::pair<double, double> size_of(const Expr& m) const;

  std::vector<std::string> features_;
  OperatorSet ops_;
  const Dataset* sample_ = nullptr;
  bool mul_ = false, div_ = false, add_ = false, pow_ = false, real_ = false;
  std::vector<std::string> positive_;
  std::vector<Expr::Kind> functions_;  // the set's one-child functions
  std::vector<Factors> hints_;
  Factors prefactor_;
};

}  // namespace quorvex
