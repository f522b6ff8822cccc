#include "refine/simplify_step.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <map>
#include <vector>

#include "expr/compiled.h"
#include "expr/derivatives.h"
#include "expr/edit.h"
#include "expr/simplify.h"
#include "refine/fit.h"
#include "refine/scaled.h"

namespace quorvex {

namespace {

constexpr uint32_t kPolishIterations = 100;
constexpr int kPruneRounds = 8;
constexpr uint32_t kPruneFitIterations = 30;
// Entries pruned, lowest BIC first: pruning costs a fit per node and option.
constexpr size_t kPrunedEntries = 3;
// Pruning tries every node: larger trees (a seeded line over many features)
// would cost more than the whole search.
constexpr uint32_t kMaxPrunedNodes = 45;
// Nor is a tree with many constants polished: each step costs their square.
constexpr size_t kMaxPolishedConstants = 24;

double plain_mse(const Expr& tree, const Dataset& train) {
  CompiledExpr program;
  program.compile(tree, train);
  std::vector<double> f(train.n_rows());
  evaluate_rows(program, train.n_rows(), f.data());
  double sse = 0.0;
  for (size_t i = 0; i < f.size(); ++i) {
    if (!std::isfinite(f[i])) return std::numeric_limits<double>::infinity();
    const double e = train.targets()[i] - f[i];
    sse += e * e;
  }
  return sse / static_cast<double>(f.size());
}

const Expr* node_at(const Expr& e, size_t target, size_t& index) {
  if (index++ == target) return &e;
  switch (e.kind()) {
    case Expr::Kind::Const:
    case Expr::Kind::Feature:
      return nullptr;
    case Expr::Kind::Bin: {
      const Expr* l = node_at(e.left(), target, index);
      return l ? l : node_at(e.right(), target, index);
    }
    default:
      return node_at(e.child(), target, index);
  }
}

// Greedy pruning: a subtree replaced by its mean value or by one of its
// operands, the constants fitted again, kept when the BIC drops. It removes
// what the search leaves behind in a found law, such as exp(x / 3e4) where
// a 1 would do.
void prune(FrontEntry& entry, const Dataset& train, double floor, const OperatorSet& ops) {
  const size_t n = train.n_rows();
  if (node_count(entry.tree) > kMaxPrunedNodes) return;
  for (int round = 0; round < kPruneRounds; ++round) {
    bool better = false;
    const uint32_t nodes = node_count(entry.tree);
    for (size_t target = 0; target < nodes && !better; ++target) {
      size_t index = 0;
      const Expr* node = node_at(entry.tree, target, index);
      if (!node || node->kind() == Expr::Kind::Const || node->kind() == Expr::Kind::Feature)
        continue;
      std::vector<Expr> options;
      double sum = 0.0;
      for (size_t i = 0; i < n; ++i) sum += node->evaluate(train.row(i));
      if (std::isfinite(sum)) options.push_back(Expr::constant(sum / static_cast<double>(n)));
      if (node->kind() == Expr::Kind::Bin) {
        options.push_back(node->left());
        options.push_back(node->right());
      } else {
        options.push_back(node->child());
      }
      for (const Expr& with : options) {
        Expr tree = edit_at(entry.tree, target, [&](const Expr&) { return with; });
        FitOutcome fit = fit_constants(tree, train, kPruneFitIterations, false);
        if (fit.improved) tree = std::move(fit.tree);
        const double mse = plain_mse(tree, train);
        const uint32_t k = ops.complexity(tree);
        const double bic = refined_bic(mse, n, k, floor);
        if (bic < entry.bic - 1e-9) {
          entry.tree = std::move(tree);
          entry.complexity = k;
          entry.mse_train = mse;
          entry.bic = bic;
          better = true;
          break;
        }
      }
    }
    if (!better) return;
  }
}

Expr cancel_factors(const Expr& e);

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

// A factor multiplied in and divided out again, as the t of (cos(b·t)·t/exp(a·t))/t.
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

// The entry's tree simplified, when that keeps its training error (beyond
// rounding) and its operators within the set.
void simplify_entry(FrontEntry& out, const Dataset& train, double floor, const OperatorSet& ops) {
  Expr simple = simplify(cancel_factors(out.tree), train);
  if (simple == out.tree || !ops.allows(simple)) return;
  const double mse = plain_mse(simple, train);
  const uint32_t k = ops.complexity(simple);
  // Rounding may move the error a little; a real change of value may not.
  const double slack = 1e-9 * out.mse_train + 1e-3 * floor;
  if (k <= out.complexity && mse <= out.mse_train + slack) {
    out.tree = std::move(simple);
    out.complexity = k;
    out.mse_train = mse;
    out.bic = refined_bic(mse, train.n_rows(), k, floor);
  }
}

bool nice(double v) { return std::round(v * 2.0) / 2.0 == v; }

size_t count_nice(const std::vector<double>& c) {
  size_t n = 0;
  for (double v : c) n += nice(v) ? 1 : 0;
  return n;
}

// Constants a hair from a whole or half number, as fitting leaves the 1 or
// the 0.5 of a law, put on it where the error stays at the floor or does not
// grow: 1.0000e0 * x reads as x, and the text shows the law.
bool round_constants(FrontEntry& e, const Dataset& train, double floor) {
  std::vector<double> c = constants_of(e.tree);
  bool changed = false;
  for (double& v : c) {
    const double was = v;
    const double r = std::round(was * 2.0) / 2.0;
    if (r == was || !(std::fabs(r - was) <= 1e-6 * std::max(1.0, std::fabs(was)))) continue;
    v = r;
    Expr tree = with_constants(e.tree, c.data());
    const double mse = plain_mse(tree, train);
    if (mse <= floor || mse <= e.mse_train) {
      e.tree = std::move(tree);
      e.mse_train = mse;
      e.bic = refined_bic(mse, train.n_rows(), e.complexity, floor);
      changed = true;
    } else {
      v = was;
    }
  }
  return changed;
}

// An exact formula with a direction its error does not see, such as
// c1·x/(c2 + c3·y), fits with its constants anywhere along it: each odd
// constant in turn is held at ±1 and the others refitted, kept when the fit
// stays exact and more constants come out whole.
bool level_constants(FrontEntry& e, const Dataset& train, double floor) {
  if (!(e.mse_train <= floor)) return false;
  bool changed = false;
  const size_t count = constants_of(e.tree).size();
  for (size_t i = 0; i < count; ++i) {
    std::vector<double> c = constants_of(e.tree);
    if (nice(c[i]) || c[i] == 0.0) continue;
    c[i] = std::copysign(1.0, c[i]);
    FrontEntry trial = e;
    trial.tree = with_constants(e.tree, c.data());
    FitOutcome fit = fit_constants(trial.tree, train, 50, false, i);
    if (fit.improved) trial.tree = std::move(fit.tree);
    trial.mse_train = plain_mse(trial.tree, train);
    if (!(trial.mse_train <= floor)) continue;
    trial.bic = refined_bic(trial.mse_train, train.n_rows(), trial.complexity, floor);
    round_constants(trial, train, floor);
    if (count_nice(constants_of(trial.tree)) <= count_nice(constants_of(e.tree))) continue;
    e = std::move(trial);
    changed = true;
  }
  return changed;
}

void snap_constants(FrontEntry& e, const Dataset& train, double floor, const OperatorSet& ops) {
  const bool rounded = round_constants(e, train, floor);
  const bool levelled = level_constants(e, train, floor);
  if (rounded || levelled) simplify_entry(e, train, floor, ops);
}

// The entry, unless one of its complexity has a lower training error.
void keep(std::map<uint32_t, FrontEntry>& by_complexity, FrontEntry e) {
  auto it = by_complexity.find(e.complexity);
  if (it == by_complexity.end() || e.mse_train < it->second.mse_train)
    by_complexity[e.complexity] = std::move(e);
}

}  // namespace

std::vector<FrontEntry> simplify_front(const std::vector<FrontEntry>& front, const Dataset& train,
                                       double floor, const OperatorSet& ops, bool thorough) {
  std::map<uint32_t, FrontEntry> by_complexity;
  for (const FrontEntry& e : front) {
    FrontEntry out = e;
    // Scored the same way as the entry itself, so that the two compare.
    out.mse_train = plain_mse(e.tree, train);
    out.bic = refined_bic(out.mse_train, train.n_rows(), e.complexity, floor);
    simplify_entry(out, train, floor, ops);
    // A last, longer fit of the constants: the search's fits stop early.
    FitOutcome polished = thorough && constants_of(out.tree).size() <= kMaxPolishedConstants
                              ? fit_constants(out.tree, train, kPolishIterations, false)
                              : FitOutcome{};
    if (polished.improved) {
      const double mse = plain_mse(polished.tree, train);
      if (mse < out.mse_train) {
        out.tree = std::move(polished.tree);
        out.mse_train = mse;
        out.bic = refined_bic(mse, train.n_rows(), out.complexity, floor);
      }
    }
    if (!std::isfinite(out.bic)) continue;
    keep(by_complexity, std::move(out));
  }
  std::vector<FrontEntry*> by_bic;
  for (auto& [c, e] : by_complexity) by_bic.push_back(&e);
  std::stable_sort(by_bic.begin(), by_bic.end(),
                   [](const FrontEntry* a, const FrontEntry* b) { return a->bic < b->bic; });
  std::vector<FrontEntry> pruned;
  for (size_t i = 0; thorough && i < by_bic.size() && i < kPrunedEntries; ++i) {
    FrontEntry e = *by_bic[i];
    prune(e, train, floor, ops);
    // Pruning leaves constants that now meet, as in c1·(c2·x) / (c3·y).
    simplify_entry(e, train, floor, ops);
    if (e.complexity < by_bic[i]->complexity) pruned.push_back(std::move(e));
  }
  for (FrontEntry& e : pruned) {
    keep(by_complexity, std::move(e));
  }
  std::vector<FrontEntry> snapped;
  for (auto& [c, e] : by_complexity) {
    if (thorough) snap_constants(e, train, floor, ops);
    snapped.push_back(std::move(e));
  }
  by_complexity.clear();
  for (FrontEntry& e : snapped) {
    keep(by_complexity, std::move(e));
  }
  std::vector<FrontEntry> result;
  double best = std::numeric_limits<double>::infinity();
  for (auto& [c, e] : by_complexity) {
    if (e.mse_train < best) {
      best = e.mse_train;
      result.push_back(std::move(e));
    }
  }
  return result;
}

}  // namespace quorvex
