// The simplifier works on its own tree of shared, immutable terms that carry
// their values on every row: a rewrite is built from existing parts without
// copying them, its values come from its children's in one sweep, and a
// refused rewrite costs nothing else.
#include "expr/simplify.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "expr/functions.h"

namespace quorvex {

namespace {

// Each rewrite must agree with the subtree it replaces this closely; the
// rounding of several rewrites, and what their parents make of it, is then
// checked once against kSimplifyTolerance on the whole tree.
constexpr double kStepTolerance = 1e-14;

// Safety caps: the rules move constants only up and left and otherwise
// remove nodes, so a fixed point comes long before either.
constexpr int kMaxPasses = 64;
constexpr int kMaxLocalSteps = 256;

using Kind = Expr::Kind;

bool close(double x, double y, double rel_tol) {
  if (x == y || (std::isnan(x) && std::isnan(y))) return true;
  if (!std::isfinite(x) || !std::isfinite(y)) return false;
  return std::fabs(x - y) <= rel_tol * std::max(std::fabs(x), std::fabs(y));
}

struct Term;
using TermP = std::shared_ptr<const Term>;

struct Term {
  Kind kind = Kind::Const;
  Op op = Op::Add;
  int32_t exponent = 0;
  double value = 0.0;  // a Const's value; for any term reading no feature, its value
  std::string name;
  TermP a;
  TermP b;
  std::vector<double> v;  // the value on each row
  bool reads_feature = false;
  uint32_t nodes = 1;
};

bool same_tree(const Term& x, const Term& y) {
  if (&x == &y) return true;
  if (x.kind != y.kind || x.nodes != y.nodes) return false;
  switch (x.kind) {
    case Kind::Const:
      return std::bit_cast<uint64_t>(x.value) == std::bit_cast<uint64_t>(y.value);
    case Kind::Feature:
      return x.name == y.name;
    case Kind::Bin:
      return x.op == y.op && same_tree(*x.a, *y.a) && same_tree(*x.b, *y.b);
    case Kind::Pow:
      return x.exponent == y.exponent && same_tree(*x.a, *y.a);
    default:
      return same_tree(*x.a, *y.a);
  }
}

bool is_const(const TermP& t) { return t->kind == Kind::Const; }
bool is_const(const TermP& t, double c) { return t->kind == Kind::Const && t->value == c; }
bool is_bin(const TermP& t, Op op) { return t->kind == Kind::Bin && t->op == op; }

class Builder {
 public:
  explicit Builder(const Dataset& rows) : rows_(rows), n_(rows.n_rows()) {}

  TermP constant(double c) const {
    auto t = std::make_shared<Term>();
    t->kind = Kind::Const;
    t->value = c;
    t->v.assign(n_, c);
    return t;
  }

  TermP feature(const std::string& name) const {
    auto t = std::make_shared<Term>();
    t->kind = Kind::Feature;
    t->name = name;
    t->reads_feature = true;
    // An unknown name reads 0.0 on every row, as Row::value does.
    const size_t c = rows_.find_column(name);
    if (c == Dataset::npos) {
      t->v.assign(n_, 0.0);
    } else {
      t->v = rows_.column(c);
    }
    return t;
  }

  TermP bin(Op op, TermP a, TermP b) const {
    auto t = std::make_shared<Term>();
    t->kind = Kind::Bin;
    t->op = op;
    t->v.resize(n_);
    for (size_t i = 0; i < n_; ++i) t->v[i] = apply_node(Kind::Bin, op, 0, a->v[i], b->v[i]);
    t->reads_feature = a->reads_feature || b->reads_feature;
    if (!t->reads_feature) t->value = apply_node(Kind::Bin, op, 0, a->value, b->value);
    t->nodes = 1 + a->nodes + b->nodes;
    t->a = std::move(a);
    t->b = std::move(b);
    return t;
  }

  TermP unary(Kind kind, TermP a, int32_t exponent = 0) const {
    auto t = std::make_shared<Term>();
    t->kind = kind;
    t->exponent = exponent;
    t->v.resize(n_);
    for (size_t i = 0; i < n_; ++i) t->v[i] = apply_node(kind, Op::Add, exponent, a->v[i], 0.0);
    t->reads_feature = a->reads_feature;
    if (!t->reads_feature) t->value = apply_node(kind, Op::Add, exponent, a->value, 0.0);
    t->nodes = 1 + a->nodes;
    t->a = std::move(a);
    return t;
  }

  TermP from_expr(const Expr& e) const {
    switch (e.kind()) {
      case Kind::Const:
        return constant(e.value());
      case Kind::Feature:
        return feature(e.name());
      case Kind::Bin:
        return bin(e.op(), from_expr(e.left()), from_expr(e.right()));
      default:
        return unary(e.kind(), from_expr(e.child()), e.exponent());
    }
  }

 private:
  const Dataset& rows_;
  size_t n_;
};

Expr to_expr(const Term& t) {
  switch (t.kind) {
    case Kind::Const:
      return Expr::constant(t.value);
    case Kind::Feature:
      return Expr::feature(t.name);
    case Kind::Bin:
      return Expr::bin(t.op, to_expr(*t.a), to_expr(*t.b));
    case Kind::Pow:
      return Expr::pow(to_expr(*t.a), t.exponent);
    case Kind::Exp:
      return Expr::exp(to_expr(*t.a));
    case Kind::Log:
      return Expr::log(to_expr(*t.a));
    case Kind::Sqrt:
      return Expr::sqrt(to_expr(*t.a));
    case Kind::Sin:
    case Kind::Cos:
    case Kind::Tanh:
    case Kind::Abs:
      return Expr::function(t.kind, to_expr(*t.a));
  }
  return Expr::constant(kGuardNaN);  // unreachable: every kind is handled
}

// Sums and products share their constant-collecting rules: `plus` is the
// associative operator, `minus` its inverse.
struct Group {
  Op plus;
  Op minus;
  double combine(double x, double y) const { return plus == Op::Add ? x + y : x * y; }
  double uncombine(double x, double y) const { return plus == Op::Add ? x - y : x / y; }
  double inverse(double c) const { return plus == Op::Add ? -c : 1.0 / c; }
};

constexpr Group kSum{Op::Add, Op::Sub};
constexpr Group kProduct{Op::Mul, Op::Div};

// The rewrites of one node whose children are already simplified, in order of
// preference among those of equal size.
class Rules {
 public:
  Rules(const Builder& build, std::vector<TermP>& out) : b_(build), out_(out) {}

  void collect(const TermP& t) {
    if (t->kind != Kind::Const && !t->reads_feature && std::isfinite(t->value)) {
      out_.push_back(b_.constant(t->value));
      return;
    }
    switch (t->kind) {
      case Kind::Bin:
        binary(t);
        break;
      case Kind::Pow:
        power(t);
        break;
      case Kind::Exp:
        if (t->a->kind == Kind::Log) out_.push_back(t->a->a);
        break;
      case Kind::Log:
        if (t->a->kind == Kind::Exp) out_.push_back(t->a->a);
        break;
      case Kind::Sqrt:
        if (t->a->kind == Kind::Pow && t->a->exponent % 2 == 0) {
          out_.push_back(pow(t->a->a, t->a->exponent / 2));
        }
        break;
      case Kind::Abs:
        // |x| of what cannot be negative: abs, x^2k, sqrt, exp.
        if (t->a->kind == Kind::Abs || t->a->kind == Kind::Sqrt || t->a->kind == Kind::Exp ||
            (t->a->kind == Kind::Pow && t->a->exponent % 2 == 0))
          out_.push_back(t->a);
        break;
      case Kind::Sin:
      case Kind::Cos:
      case Kind::Tanh:
      case Kind::Const:
      case Kind::Feature:
        break;
    }
  }

 private:
  TermP k(double c) const { return b_.constant(c); }
  TermP bin(Op op, TermP x, TermP y) const { return b_.bin(op, std::move(x), std::move(y)); }
  TermP pow(TermP x, int64_t e) const {
    if (e == 1) return x;
    if (e == 0) return k(1.0);
    return b_.unary(Kind::Pow, std::move(x), static_cast<int32_t>(e));
  }
  void add(TermP t) { out_.push_back(std::move(t)); }
  // A folded constant is offered only when finite.
  void add_with(double c, Op op, TermP x, bool constant_left = true) {
    if (!std::isfinite(c)) return;
    add(constant_left ? bin(op, k(c), std::move(x)) : bin(op, std::move(x), k(c)));
  }

  static bool fits(int64_t e) {
    return e >= std::numeric_limits<int32_t>::min() && e <= std::numeric_limits<int32_t>::max();
  }

  void power(const TermP& t) {
    const int64_t e = t->exponent;
    const TermP& x = t->a;
    if (e == 1 || e == 0) add(pow(x, e));
    if (x->kind == Kind::Pow && fits(e * x->exponent)) add(pow(x->a, e * x->exponent));
    if (x->kind == Kind::Sqrt && e % 2 == 0) add(pow(x->a, e / 2));
  }

  // x^m as (x, m): a power's base and exponent, or x itself with 1.
  static std::pair<const TermP*, int64_t> as_power(const TermP& t) {
    if (t->kind == Kind::Pow) return {&t->a, t->exponent};
    return {&t, 1};
  }

  void binary(const TermP& t) {
    const TermP& l = t->a;
    const TermP& r = t->b;
    const Op op = t->op;
    if (is_const(l) && is_const(r)) return;  // folded, or kept when the fold is not finite
    const bool sum = op == Op::Add || op == Op::Sub;
    const double identity = sum ? 0.0 : 1.0;

    // Identities.
    if ((op == Op::Add || op == Op::Mul) && is_const(l, identity)) add(r);
    if (is_const(r, identity)) add(l);
    if ((op == Op::Mul || op == Op::Div) && is_const(l, 0.0)) add(k(0.0));
    if (op == Op::Mul && is_const(r, 0.0)) add(k(0.0));
    if (same_tree(*l, *r)) {
      if (op == Op::Sub) add(k(0.0));
      if (op == Op::Div) add(k(1.0));
      if (op == Op::Add) add(bin(Op::Mul, k(2.0), l));
    }
    if (sum) {
      signs(t);
    } else {
      powers(t);
    }
    chain(t, sum ? kSum : kProduct);
  }

  // Negation written as a factor of -1, and absorbed where it meets a sum.
  void signs(const TermP& t) {
    const TermP& l = t->a;
    const TermP& r = t->b;
    const auto negated = [](const TermP& x) { return is_bin(x, Op::Mul) && is_const(x->a, -1.0); };
    if (t->op == Op::Add) {
      if (negated(r)) add(bin(Op::Sub, l, r->b));
      if (negated(l)) add(bin(Op::Sub, r, l->b));
    } else {
      if (negated(r)) add(bin(Op::Add, l, r->b));
      if (is_const(l, 0.0)) add(bin(Op::Mul, k(-1.0), r));
    }
  }

  void powers(const TermP& t) {
    const auto [lb, lm] = as_power(t->a);
    const auto [rb, rm] = as_power(t->b);
    if (same_tree(**lb, **rb)) {
      const int64_t e = t->op == Op::Mul ? lm + rm : lm - rm;
      if (fits(e)) add(pow(*lb, e));
    }
    if (t->op == Op::Div && is_const(t->a, 1.0)) add(pow(t->b, -1));
  }

  // Constants collected at the head of a chain of one group's operators.
  void chain(const TermP& t, const Group& g) {
    const TermP& l = t->a;
    const TermP& r = t->b;
    const bool lc = is_const(l);
    const bool rc = is_const(r);
    const auto head = [&](const TermP& x, Op op) { return is_bin(x, op) && is_const(x->a); };
    const auto tail = [&](const TermP& x, Op op) { return is_bin(x, op) && is_const(x->b); };
    const Op plus = g.plus;
    const Op minus = g.minus;
    if (t->op == plus) {
      if (lc) {
        const double a = l->value;
        if (head(r, plus)) add_with(g.combine(a, r->a->value), plus, r->b);
        if (head(r, minus)) add_with(g.combine(a, r->a->value), minus, r->b);
        if (tail(r, minus)) add_with(g.uncombine(a, r->b->value), plus, r->a);
        return;
      }
      if (rc) add(bin(plus, r, l));
      // Hoists: the constant moves to the head of the chain.
      if (head(l, plus)) add(bin(plus, l->a, bin(plus, l->b, r)));
      if (head(r, plus)) add(bin(plus, r->a, bin(plus, l, r->b)));
      if (head(l, minus)) add(bin(plus, l->a, bin(minus, r, l->b)));
      if (head(r, minus)) add(bin(plus, r->a, bin(minus, l, r->b)));
      return;
    }
    if (lc) {
      const double a = l->value;
      if (head(r, plus)) add_with(g.uncombine(a, r->a->value), minus, r->b);
      if (head(r, minus)) add_with(g.uncombine(a, r->a->value), plus, r->b);
      if (tail(r, minus)) add_with(g.combine(a, r->b->value), minus, r->a);
      return;
    }
    if (rc) {
      const double c = r->value;
      if (head(l, plus)) add_with(g.uncombine(l->a->value, c), plus, l->b);
      if (head(l, minus)) add_with(g.uncombine(l->a->value, c), minus, l->b);
      if (tail(l, minus)) add_with(g.combine(l->b->value, c), minus, l->a, false);
      // x - c = x + (-c) exactly; x / c is kept, 1/c would round.
      if (plus == Op::Add) add_with(-c, plus, l);
      return;
    }
    if (head(l, plus)) add(bin(plus, l->a, bin(minus, l->b, r)));
    if (head(l, minus)) add(bin(minus, l->a, bin(plus, l->b, r)));
    if (head(r, plus)) add_with(g.inverse(r->a->value), plus, bin(minus, l, r->b));
    if (head(r, minus)) add_with(g.inverse(r->a->value), plus, bin(plus, l, r->b));
  }

  const Builder& b_;
  std::vector<TermP>& out_;
};

bool agrees(const std::vector<double>& x, const std::vector<double>& y, double rel_tol) {
  for (size_t i = 0; i < x.size(); ++i) {
    if (!close(x[i], y[i], rel_tol)) return false;
  }
  return true;
}

class Simplifier {
 public:
  Simplifier(const Builder& build, double rel_tol) : b_(build), tol_(rel_tol) {}

  TermP pass(const TermP& t) {
    TermP n = t;
    if (t->kind == Kind::Bin) {
      TermP l = pass(t->a);
      TermP r = pass(t->b);
      if (l != t->a || r != t->b) n = b_.bin(t->op, std::move(l), std::move(r));
    } else if (t->kind != Kind::Const && t->kind != Kind::Feature) {
      TermP c = pass(t->a);
      if (c != t->a) n = b_.unary(t->kind, std::move(c), t->exponent);
    }
    return local(std::move(n));
  }

 private:
  // The smallest agreeing rewrite, the earliest among equals, until none is
  // left. A rewrite of equal size only moves a constant up or left.
  TermP local(TermP t) {
    std::vector<TermP> candidates;
    for (int step = 0; step < kMaxLocalSteps; ++step) {
      candidates.clear();
      Rules(b_, candidates).collect(t);
      const TermP* best = nullptr;
      for (const TermP& c : candidates) {
        if (c->nodes > t->nodes || (best && c->nodes >= (*best)->nodes)) continue;
        if (c->nodes == t->nodes && same_tree(*c, *t)) continue;
        if (agrees(c->v, t->v, tol_)) best = &c;
      }
      if (!best) break;
      t = *best;
    }
    return t;
  }

  const Builder& b_;
  double tol_;
};

TermP run(const Builder& build, const TermP& root, double rel_tol) {
  Simplifier s(build, rel_tol);
  TermP t = root;
  for (int i = 0; i < kMaxPasses; ++i) {
    TermP next = s.pass(t);
    const bool fixed = same_tree(*next, *t);
    t = std::move(next);
    if (fixed) break;
  }
  return t;
}

}  // namespace

Expr simplify(const Expr& tree, const Dataset& rows) {
  const Builder build(rows);
  const TermP root = build.from_expr(tree);
  // Rewrites that agree within rounding, checked on the whole tree; where
  // the parents amplify that rounding too much, only exact rewrites, whose
  // values agree at every node and so at the root.
  for (const double step : {kStepTolerance, 0.0}) {
    Expr out = to_expr(*run(build, root, step));
    if (same_values(tree, out, rows, step == 0.0 ? 0.0 : kSimplifyTolerance)) return out;
  }
  return tree;
}

bool same_values(const Expr& a, const Expr& b, const Dataset& rows, double rel_tol) {
  for (size_t i = 0; i < rows.n_rows(); ++i) {
    const Row row = rows.row(i);
    if (!close(a.evaluate(row), b.evaluate(row), rel_tol)) return false;
  }
  return true;
}

}  // namespace quorvex
