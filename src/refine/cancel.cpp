#include "refine/cancel.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace quorvex {

namespace {

bool is_chain(const Expr& e) {
  return e.kind() == Expr::Kind::Bin && (e.op() == Op::Mul || e.op() == Op::Div);
}

// The factors of a chain of products and quotients, above and below the line.
void factors(const Expr& e, bool above, std::vector<Expr>& num, std::vector<Expr>& den) {
  if (is_chain(e)) {
    factors(e.left(), above, num, den);
    factors(e.right(), e.op() == Op::Mul ? above : !above, num, den);
    return;
  }
  (above ? num : den).push_back(e);
}

// A chain with nothing to cancel (nor has any part of it), its factors' insides
// cancelled.
Expr within(const Expr& e) {
  if (is_chain(e)) return Expr::bin(e.op(), within(e.left()), within(e.right()));
  return cancel_factors(e);
}

Expr product_of(const std::vector<Expr>& f) {
  if (f.empty()) return Expr::constant(1.0);
  Expr out = cancel_factors(f[0]);
  for (size_t i = 1; i < f.size(); ++i)
    out = Expr::bin(Op::Mul, std::move(out), cancel_factors(f[i]));
  return out;
}

}  // namespace

// Only the front's trees get it, so that the search's draws stay as they are;
// the caller keeps it where the error is unchanged (the factor is non-zero on
// every training row, or the entry would not be finite).
Expr cancel_factors(const Expr& e) {
  switch (e.kind()) {
    case Expr::Kind::Const:
    case Expr::Kind::Feature:
      return e;
    case Expr::Kind::Pow:
      return Expr::pow(cancel_factors(e.child()), e.exponent());
    case Expr::Kind::Bin:
      break;
    default:
      return Expr::function(e.kind(), cancel_factors(e.child()));
  }
  if (e.op() == Op::Add || e.op() == Op::Sub)
    return Expr::bin(e.op(), cancel_factors(e.left()), cancel_factors(e.right()));
  std::vector<Expr> num, den;
  factors(e, true, num, den);
  bool cancelled = false;
  for (size_t i = 0; i < num.size();) {
    const auto same = std::find(den.begin(), den.end(), num[i]);
    if (same == den.end()) {
      ++i;
      continue;
    }
    den.erase(same);
    num.erase(num.begin() + static_cast<std::ptrdiff_t>(i));
    cancelled = true;
  }
  if (!cancelled) return within(e);
  if (den.empty()) return product_of(num);
  return Expr::bin(Op::Div, product_of(num), product_of(den));
}

}  // namespace quorvex
