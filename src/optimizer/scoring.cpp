#include "optimizer/scoring.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "assess/assess.h"
#include "baselines/baselines.h"
#include "expr/column_cache.h"
#include "expr/compiled.h"
#include "expr/hash.h"
#include "optimizer/score_memo.h"
#include "parallel/pool.h"

namespace quorvex {

namespace {

// Trees evaluated together: they share each block of rows while it is in
// cache, and their sums of squares run as independent dependency chains.
constexpr size_t kGroup = 8;

struct SquaredErrors {
  double sse = 0.0;
  size_t m = 0;
};

SquaredErrors reference_squared_errors(const Expr& tree, const Dataset& data) {
  SquaredErrors acc;
  const auto& targets = data.targets();
  for (size_t i = 0; i < data.n_rows(); ++i) {
    const double y = tree.evaluate(data.row(i));
    if (!std::isfinite(y)) continue;
    const double d = targets[i] - y;
    acc.sse += d * d;
    ++acc.m;
  }
  return acc;
}

// sse[c] += q[c][i] for i = 0, 1, ... in row order: per tree exactly the
// sequential sum of the reference, eight chains at a time.
void add_in_row_order(const double* const* q, size_t count, double* sse) {
  double s0 = sse[0], s1 = sse[1], s2 = sse[2], s3 = sse[3];
  double s4 = sse[4], s5 = sse[5], s6 = sse[6], s7 = sse[7];
  const double *q0 = q[0], *q1 = q[1], *q2 = q[2], *q3 = q[3];
  const double *q4 = q[4], *q5 = q[5], *q6 = q[6], *q7 = q[7];
  for (size_t i = 0; i < count; ++i) {
    s0 += q0[i];
    s1 += q1[i];
    s2 += q2[i];
    s3 += q3[i];
    s4 += q4[i];
    s5 += q5[i];
    s6 += q6[i];
    s7 += q7[i];
  }
  sse[0] = s0, sse[1] = s1, sse[2] = s2, sse[3] = s3;
  sse[4] = s4, sse[5] = s5, sse[6] = s6, sse[7] = s7;
}
static_assert(kGroup == 8, "add_in_row_order keeps eight chains");

struct GroupScratch {
  CompiledExpr programs[kGroup];
  EvalBuffer buffer;
};

// The finite rows' squared errors of g <= kGroup trees, each summed in row
// order (skipped rows add +0.0, which leaves a sum of squares unchanged).
void group_squared_errors(const Expr* const* trees, size_t g, const Dataset& data,
                          const ColumnCache* columns, SquaredErrors* out) {
  thread_local GroupScratch scratch;  // kept by the pool's threads for their lifetime
  size_t slots = 0;
  for (size_t c = 0; c < g; ++c) {
    scratch.programs[c].compile(*trees[c], data, columns);
    slots = std::max(slots, scratch.programs[c].slots());
  }
  double* slot_base = scratch.buffer.get((slots + kGroup + 1) * kEvalBlockRows);
  double* sq = slot_base + slots * kEvalBlockRows;
  double* zeros = sq + kGroup * kEvalBlockRows;
  std::fill(zeros, zeros + kEvalBlockRows, 0.0);
  const double* rows[kGroup];
  for (size_t c = 0; c < kGroup; ++c) rows[c] = c < g ? sq + c * kEvalBlockRows : zeros;

  double sse[kGroup] = {};
  size_t m[kGroup] = {};
  const double* targets = data.targets().data();
  const size_t n = data.n_rows();
  for (size_t begin = 0; begin < n; begin += kEvalBlockRows) {
    const size_t count = std::min(kEvalBlockRows, n - begin);
    for (size_t c = 0; c < g; ++c) {
      const double* y = scratch.programs[c].run(begin, count, slot_base);
      m[c] += finite_squared_errors(y, targets + begin, count, sq + c * kEvalBlockRows);
    }
    add_in_row_order(rows, count, sse);
  }
  for (size_t c = 0; c < g; ++c) out[c] = {sse[c], m[c]};
}

// Rough cost of evaluating a tree per row, in additions: library calls
// dominate, then division.
uint32_t cost(const Expr& e) {
  switch (e.kind()) {
    case Expr::Kind::Const:
    case Expr::Kind::Feature:
      return 0;
    case Expr::Kind::Bin:
      return (e.op() == Op::Div ? 4 : 1) + cost(e.left()) + cost(e.right());
    case Expr::Kind::Sqrt:
      return 3 + cost(e.child());
    case Expr::Kind::Pow:
      return (e.exponent() == 1                         ? 1
              : e.exponent() >= -2 && e.exponent() <= 2 ? 6
                                                        : 40) +
             cost(e.child());
    default:
      return 20 + cost(e.child());
  }
}

double score_of(const SquaredErrors& acc, size_t n, uint32_t k) {
  if (acc.m < std::max<size_t>(n / 2, 2)) return std::numeric_limits<double>::infinity();
  return bic(acc.sse / static_cast<double>(acc.m), n, k);
}

double mse_of(const SquaredErrors& acc) {
  if (acc.m == 0) return std::numeric_limits<double>::quiet_NaN();
  return acc.sse / static_cast<double>(acc.m);
}

}  // namespace

double candidate_score(const Expr& tree, const Dataset& data) {
  // One tree: the finite-row sums of assess.h, which match the grouped path bit for bit.
  const FiniteErrors e = finite_errors(tree, data);
  return score_of({e.sse, e.finite}, data.n_rows(), tree.k());
}

double candidate_score_reference(const Expr& tree, const Dataset& data) {
  return score_of(reference_squared_errors(tree, data), data.n_rows(), tree.k());
}

double finite_row_mse_reference(const Expr& tree, const Dataset& data) {
  return mse_of(reference_squared_errors(tree, data));
}

namespace {

// Which trees of a population must be evaluated. With a memo: one
// representative per set of equal trees (`source` maps each tree to its
// own), whose score the memo may already hold.
struct Triage {
  std::vector<size_t> pending;   // representatives to evaluate
  std::vector<size_t> source;    // with a memo: the representative of each tree
  std::vector<uint64_t> hashes;  // with a memo: each tree's hash
  std::vector<size_t> distinct;  // with a memo: every representative
};

Triage triage(const std::vector<Expr>& population, const ScoreMemo* memo,
              std::vector<double>& scores) {
  const size_t p = population.size();
  Triage t;
  if (memo == nullptr) {
    t.pending.resize(p);
    for (size_t i = 0; i < p; ++i) t.pending[i] = i;
    return t;
  }
  t.hashes.resize(p);
  t.source.resize(p);
  std::vector<std::pair<uint64_t, size_t>> order(p);
  for (size_t i = 0; i < p; ++i) {
    t.hashes[i] = structural_hash(population[i]);
    order[i] = {t.hashes[i], i};
  }
  std::sort(order.begin(), order.end());
  for (size_t run = 0; run < p;) {  // runs of equal hashes
    size_t end = run;
    while (end < p && order[end].first == order[run].first) ++end;
    const size_t first_rep = t.distinct.size();
    for (size_t j = run; j < end; ++j) {
      const size_t i = order[j].second;
      size_t r = first_rep;
      while (r < t.distinct.size() && !(population[t.distinct[r]] == population[i])) ++r;
      if (r < t.distinct.size()) {
        t.source[i] = t.distinct[r];
        continue;
      }
      t.source[i] = i;
      t.distinct.push_back(i);
      if (const double* s = memo->find(population[i], t.hashes[i])) {
        scores[i] = *s;
      } else {
        t.pending.push_back(i);
      }
    }
    run = end;
  }
  return t;
}

// Groups of about equal cost, so that the pool's threads finish together:
// the trees, costliest first, are dealt out to the groups in turn. At least
// eight groups, also for few trees, to keep every thread busy. Group gi
// holds dealt[gi * kGroup + c] for c < group_size(gi).
struct Groups {
  size_t count = 0;
  size_t trees = 0;
  std::vector<size_t> dealt;
  size_t size(size_t gi) const { return (trees - gi + count - 1) / count; }
};

Groups deal(const std::vector<Expr>& population, const std::vector<size_t>& pending) {
  Groups g;
  g.trees = pending.size();
  g.count = std::max((g.trees + kGroup - 1) / kGroup, std::min(g.trees, kGroup));
  std::vector<std::pair<uint32_t, size_t>> by_cost(g.trees);
  for (size_t j = 0; j < g.trees; ++j) by_cost[j] = {~cost(population[pending[j]]), pending[j]};
  std::sort(by_cost.begin(), by_cost.end());
  g.dealt.resize(g.count * kGroup);
  for (size_t j = 0; j < g.trees; ++j)
    g.dealt[(j % g.count) * kGroup + j / g.count] = by_cost[j].second;
  return g;
}

}  // namespace

std::vector<double> fitness_population(const std::vector<Expr>& population, const Dataset& data,
                                       size_t max_threads, ScoreMemo* memo, ColumnCache* columns) {
  std::vector<double> scores(population.size());
  const Triage t = triage(population, memo, scores);
  const Groups groups = deal(population, t.pending);

  // One job: first the new cached columns (a group that needs one still being
  // computed waits for it), then the groups. A job of its own for the
  // columns would cost one more wake-up of the pool's threads per call.
  size_t to_fill = 0;
  if (columns != nullptr) {
    std::vector<const Expr*> trees(t.pending.size());
    for (size_t j = 0; j < t.pending.size(); ++j) trees[j] = &population[t.pending[j]];
    to_fill = columns->plan(trees.data(), trees.size(), data);
  }
  WorkerPool::instance().run(
      to_fill + groups.count,
      [&](size_t task) {
        if (task < to_fill) return columns->fill(task);
        const size_t gi = task - to_fill;
        const size_t* members = groups.dealt.data() + gi * kGroup;
        const size_t g = groups.size(gi);
        const Expr* trees[kGroup] = {};
        SquaredErrors acc[kGroup];
        for (size_t c = 0; c < g; ++c) trees[c] = &population[members[c]];
        group_squared_errors(trees, g, data, columns, acc);
        for (size_t c = 0; c < g; ++c)
          scores[members[c]] = score_of(acc[c], data.n_rows(), trees[c]->k());
      },
      max_threads);

  if (memo != nullptr) {
    for (size_t i = 0; i < population.size(); ++i)
      if (t.source[i] != i) scores[i] = scores[t.source[i]];
    memo->replace(population, t.hashes, scores, t.distinct);
  }
  return scores;
}

}  // namespace quorvex
