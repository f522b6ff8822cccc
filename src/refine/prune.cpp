#include "refine/prune.h"

#include <cmath>
#include <cstddef>
#include <vector>

#include "assess/assess.h"
#include "expr/edit.h"
#include "expr/simplify.h"
#include "refine/fit.h"
#include "refine/scaled.h"

namespace quorvex {

namespace {

constexpr int kPruneRounds = 8;
constexpr uint32_t kPruneFitIterations = 30;
// Pruning tries every node: larger trees (a seeded line over many features)
// would cost more than the whole search.
constexpr uint32_t kMaxPrunedNodes = 45;

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

}  // namespace

// It removes what the search leaves behind in a found law, such as
// exp(x / 3e4) where a 1 would do.
void prune(FrontEntry& entry, const Dataset& train, double floor, const OperatorSet& ops,
           const Deadline& deadline, const UnitCheck* units) {
  const double n = train.weight_total();
  if (node_count(entry.tree) > kMaxPrunedNodes) return;
  for (int round = 0; round < kPruneRounds; ++round) {
    bool better = false;
    const uint32_t nodes = node_count(entry.tree);
    for (size_t target = 0; target < nodes && !better; ++target) {
      if (deadline.passed()) return;
      size_t index = 0;
      const Expr* node = node_at(entry.tree, target, index);
      if (!node || node->kind() == Expr::Kind::Const || node->kind() == Expr::Kind::Feature)
        continue;
      std::vector<Expr> options;
      double sum = 0.0;
      // The node's (weighted) mean over the rows; n is the weights' sum.
      for (size_t i = 0; i < train.n_rows(); ++i) {
        const double v = node->evaluate(train.row(i));
        sum += train.weighted() ? train.weights()[i] * v : v;
      }
      if (std::isfinite(sum)) options.push_back(Expr::constant(sum / n));
      if (node->kind() == Expr::Kind::Bin) {
        options.push_back(node->left());
        options.push_back(node->right());
      } else {
        options.push_back(node->child());
      }
      for (const Expr& with : options) {
        Expr tree = edit_at(entry.tree, target, [&](const Expr&) { return with; });
        if (units && !units->agrees(tree)) continue;
        FitOutcome fit = fit_constants(tree, train, kPruneFitIterations, false);
        if (fit.improved) tree = std::move(fit.tree);
        const double mse = all_rows_mse(tree, train);
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

}  // namespace quorvex
