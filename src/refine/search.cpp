#include "refine/search.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <unordered_map>
#include <utility>
#include <vector>

#include "expr/derivatives.h"
#include "expr/edit.h"
#include "expr/hash.h"
#include "expr/simplify.h"
#include "parallel/pool.h"
#include "refine/fit.h"
#include "refine/seeds.h"

namespace quorvex {

namespace {

// Larger children are not kept: BIC would reject them anyway on any data set
// of realistic size, and they slow every generation. (The seeded straight
// line may be larger: it is there whatever the number of features.)
constexpr uint32_t kMaxNodes = 40;
// Candidates whose inner constants are fitted each generation, best first.
constexpr size_t kFitsPerGeneration = 12;
constexpr uint32_t kFitIterations = 25;
// Fits of trees with more constants than this are skipped: such trees are
// bloat, and their fits cost the square of the count.
constexpr size_t kMaxFittedConstants = 12;
// What an improvement of the front must gain in the BIC's error term to count
// as progress (see patience): a fit to noisy data otherwise keeps improving by
// fitting the noise, and runs to the generation cap. (On the rows searched,
// 6 is a 0.3% lower error at 2000 rows, 2% at 300.)
constexpr double kNoiseMargin = 6.0;
// Front formulas carried into each new population.
constexpr size_t kFrontParents = 12;
constexpr uint32_t kQuickFitIterations = 3;
// Quick fits only need the right basin: they read at most this many of the
// (already shuffled) training rows.
constexpr size_t kQuickFitRows = 128;
// Once a fit is near exact, a quick fit that cut the error this much is
// still on its way down (a rate started far from its value: 1/(exp(c·x) − 1)
// with c six times too large) and goes on as a full fit; otherwise it ranks
// behind the near misses (series that approximate the law in range) and is
// never fitted again. On noisy data such fits drew the search to
// approximants of their own.
constexpr double kStillFalling = 0.1;
// Near exact: an error this many times the exact floor (R² above 1 − 1e-6);
// data with 1% noise stay a hundred times above it.
constexpr double kNearExact = 1e12;
// Full fits read at most this many: constants fitted on a few hundred rows
// are as good as final for ranking; the front is polished on all rows.
constexpr size_t kFitRows = 320;
// With units, a child whose units cannot agree is drawn again, at most this
// many times (then kept, to be refused unscored): cheaper than scoring it.
constexpr int kUnitDraws = 8;
// Monomials of the target's unit seeded, and pure-number ones given to the
// pieces, at most.
constexpr size_t kUnitSeeds = 12;
// A law of several features can need more than the usual degree 6 (q²a²/(ε·c³)
// is 8): searched this far only when nothing simpler has the unit, so what
// the simpler monomials seed is unchanged. Noise hides such a law from the
// fit in logs, and random trees rarely agree.
constexpr int kDeepUnitDegree = 12;

size_t tournament(Lcg& rng, const std::vector<Candidate>& pop) {
  size_t w = rng.below(pop.size());
  for (int t = 0; t < 2; ++t) {
    const size_t c = rng.below(pop.size());
    if (pop[c].score.score < pop[w].score.score) w = c;
  }
  return w;
}

bool same_candidate(const Candidate& a, const Candidate& b) {
  // Equal trees score alike: the cheap comparison first.
  return a.score.score == b.score.score && a.tree == b.tree;
}

// Candidates already taken, found by hash: comparing a large population
// pairwise would cost more than scoring it.
class Taken {
 public:
  bool contains(const Candidate& c) const {
    const auto it = by_hash_.find(structural_hash(c.tree));
    if (it == by_hash_.end()) return false;
    for (const Candidate* t : it->second)
      if (same_candidate(*t, c)) return true;
    return false;
  }
  // `c` must stay where it is while this lives.
  void add(const Candidate& c) { by_hash_[structural_hash(c.tree)].push_back(&c); }

 private:
  std::unordered_map<uint64_t, std::vector<const Candidate*>> by_hash_;
};

}  // namespace

Search::Search(const Dataset& train, const RefinedConfig& cfg, double floor, const Seeds& seeds,
               Deadline deadline)
    : train_(train),
      cfg_(cfg),
      floor_(floor),
      seeds_(seeds),
      deadline_(deadline),
      sample_(first_rows(train, kQuickFitRows)),
      fit_rows_(first_rows(train, kFitRows)),
      gen_(distinct_features(train), Lcg(cfg.seed), cfg.operators),
      pieces_(distinct_features(train), cfg.operators, &sample_),
      select_(cfg.seed ^ 0x9E3779B97F4A7C15ULL) {
  static constexpr Expr::Kind kFunctions[] = {Expr::Kind::Sqrt, Expr::Kind::Exp, Expr::Kind::Log,
                                              Expr::Kind::Sin,  Expr::Kind::Cos, Expr::Kind::Tanh,
                                              Expr::Kind::Abs};
  const OperatorSet& ops = cfg.operators;
  for (const Op op : {Op::Add, Op::Sub, Op::Mul, Op::Div})
    if (ops.has(operator_of(op))) growths_.push_back(op);
  if (ops.has(Operator::Pow)) {
    wraps_.push_back({Expr::Kind::Pow, -1});
    wraps_.push_back({Expr::Kind::Pow, 2});
  }
  for (Expr::Kind k : kFunctions)
    if (ops.has(operator_of(k))) wraps_.push_back({k, 0});
  front_.set_margin(kNoiseMargin, train.weight_total(), floor);
  if (cfg.units.declared) units_.emplace(cfg.units);
}

void Search::inject(Expr tree) {
  if (pop_.empty()) return;
  pop_.back() = Candidate(std::move(tree));
}

void Search::widen() { pieces_.set_positive(seeds_.positive); }

void Search::seed_population(const std::vector<FrontEntry>& carried) {
  pop_.clear();
  pop_.reserve(cfg_.population);
  const OperatorSet& ops = cfg_.operators;
  // A front's tree carries its scaling, whose + and * the set may lack.
  for (const FrontEntry& e : carried)
    if (pop_.size() + 1 < cfg_.population && ops.allows(e.tree)) pop_.emplace_back(e.tree);
  if (!train_.features().empty() && cfg_.population > 1 && ops.has(Operator::Add) &&
      ops.has(Operator::Mul))
    pop_.emplace_back(linear_tree(train_, seeds_.line));
  add_log_fit_hints(seeds_.logs, pieces_);
  // An inexact one waits for the restart, as fitted powers do: in a first
  // run it drew the search away from laws it approximates.
  const std::optional<RationalSeed>& rational = seeds_.rational;
  if (rational && (rational->exact || restart_) && pop_.size() + 1 < cfg_.population &&
      ops.allows(rational->tree))
    pop_.emplace_back(rational->tree);
  // Inside log or sqrt, only where exact: offered at the restart too, it
  // lost five laws at 1% noise and one at noise 0 for one it gave.
  const std::optional<RationalSeed>& inside = seeds_.rational_inside;
  if (inside && inside->exact && pop_.size() + 1 < cfg_.population && ops.allows(inside->tree))
    pop_.emplace_back(inside->tree);
  for (Expr& t : power_law_trees(seeds_.logs))
    if (pop_.size() + 1 < cfg_.population && ops.allows(t)) pop_.emplace_back(std::move(t));
  if (pieces_.real_powers() && !seeds_.logs.names.empty() && pop_.size() + 1 < cfg_.population)
    pop_.emplace_back(fitted_power_law(seeds_.logs));
  if (units_ && pieces_.usable()) {
    // Where units leave few formulas, random trees rarely hit one: the
    // monomials of the target's unit start the population, and pure-number
    // ones go inside the pieces' functions.
    std::vector<Monomial> shaped = unit_monomials(cfg_.units, cfg_.units.target, kUnitSeeds);
    if (shaped.empty())
      shaped = unit_monomials(cfg_.units, cfg_.units.target, kUnitSeeds, kDeepUnitDegree);
    for (const Monomial& m : shaped)
      if (pop_.size() + 1 < cfg_.population) pop_.emplace_back(pieces_.build(m));
    if (!shaped.empty()) pieces_.add_prefactor(shaped.front());
    for (Monomial& m : unit_monomials(cfg_.units, Unit{}, kUnitSeeds))
      pieces_.add_hint(std::move(m));
  }
  const size_t seeded = pop_.size();
  while (pop_.size() < cfg_.population) {
    // A tenth of the rest: law-shaped pieces, alone or on a power-law seed.
    const bool piece = pieces_.usable() && select_.below(10) == 0;
    const Expr* base = piece ? &pop_[select_.below(std::max<size_t>(seeded, 1))].tree : nullptr;
    for (int draw = 0;; ++draw) {
      Expr t = !piece   ? gen_.random(cfg_.max_depth)
               : seeded ? pieces_.attach(*base, select_)
                        : pieces_.piece(select_);
      if (draw + 1 >= kUnitDraws || may_agree(t)) {
        pop_.emplace_back(std::move(t));
        break;
      }
    }
  }
}

bool Search::halted() {
  if (stop_.load(std::memory_order_relaxed) || deadline_.passed()) return true;
  // Only the search's own thread calls the caller back: it takes its share
  // of the candidates while the workers take theirs.
  if (pulse_ && std::this_thread::get_id() == owner_) {
    const auto now = Deadline::Clock::now();
    if (now - last_pulse_ >= pulse_interval_) {
      last_pulse_ = now;
      if (!pulse_()) stop_.store(true, std::memory_order_relaxed);
    }
  }
  return stop_.load(std::memory_order_relaxed);
}

void Search::score() {
  last_pulse_ = Deadline::Clock::now();  // the generation's own report was just given
  WorkerPool::instance().run(
      pop_.size(),
      [this](size_t i) {
        Candidate& c = pop_[i];
        if (c.scored || halted()) return;
        c.scored = true;
        c.score = score_scaled(c.tree, train_, floor_, cfg_.operators, units());
      },
      cfg_.max_threads);
}

void Search::fit() {
  std::vector<size_t> chosen;
  std::vector<uint32_t> steps;
  Taken taken;
  const bool near_exact = front_.best_mse() <= kNearExact * floor_;
  for (size_t i : ranking()) {
    Candidate& c = pop_[i];
    if (!std::isfinite(c.score.score) && c.fitted) continue;
    if (c.fitted == 2) continue;
    const bool top = chosen.size() < kFitsPerGeneration && std::isfinite(c.score.score);
    if (!top && c.fitted) continue;
    const size_t n_constants = constants_of(c.tree).size();
    if (n_constants == 0 || n_constants > kMaxFittedConstants) {
      c.fitted = 2;
      continue;
    }
    if (taken.contains(c)) continue;
    taken.add(c);
    c.fitted = top ? 2 : 1;
    chosen.push_back(i);
    steps.push_back(top ? kFitIterations : kQuickFitIterations);
  }
  WorkerPool::instance().run(
      chosen.size(),
      [&](size_t j) {
        Candidate& c = pop_[chosen[j]];
        if (halted()) return;
        const bool quick = steps[j] == kQuickFitIterations;
        FitOutcome fit = fit_constants(c.tree, quick ? sample_ : fit_rows_, steps[j]);
        if (!fit.improved) return;
        if (quick && near_exact && fit.sse < kStillFalling * fit.sse_before) {
          FitOutcome more = fit_constants(fit.tree, fit_rows_, kFitIterations);
          if (more.improved) fit.tree = std::move(more.tree);
        }
        const ScaledScore s = score_scaled(fit.tree, train_, floor_, cfg_.operators, units());
        if (s.score <= c.score.score || !std::isfinite(c.score.score)) {
          c.tree = std::move(fit.tree);
          c.score = s;
        }
      },
      cfg_.max_threads);
}

bool Search::update_front() {
  bool improved = false;
  for (const Candidate& c : pop_) {
    if (!std::isfinite(c.score.score)) continue;
    if (!front_.wants(c.score.complexity, c.score.mse)) continue;
    improved = front_.offer(c.score.complexity, c.score.mse, c.score.score,
                            scaled_tree(c.tree, c.score)) ||
               improved;
  }
  return improved;
}

void Search::keep_elites(const std::vector<size_t>& order, std::vector<Candidate>& next) {
  const size_t elites = std::max<size_t>(1, cfg_.population / 20);
  Taken taken;  // `next` has room for the population: its elements stay put
  for (size_t i : order) {
    if (next.size() == elites) break;
    if (taken.contains(pop_[i])) continue;
    next.push_back(pop_[i]);
    // Folding redundant constants makes the next fit well-conditioned:
    // c1·(c2·x) has a flat direction that slows the fit to a crawl.
    Candidate& elite = next.back();
    Expr simple = simplify(elite.tree, sample_);
    if (node_count(simple) < node_count(elite.tree) && cfg_.operators.allows(simple) &&
        may_agree(simple)) {
      elite.tree = std::move(simple);
      elite.scored = false;
      elite.fitted = 0;
    }
    taken.add(elite);
  }
}

Expr Search::wrapped(const Expr& part, const Wrap& wrap) const {
  if (wrap.kind == Expr::Kind::Pow) return Expr::pow(part, wrap.exponent);
  // A frequency for fitting to find, where the set can write one.
  if ((wrap.kind == Expr::Kind::Sin || wrap.kind == Expr::Kind::Cos) &&
      cfg_.operators.has(Operator::Mul))
    return Expr::function(wrap.kind, Expr::bin(Op::Mul, Expr::constant(1.0), part));
  return Expr::function(wrap.kind, part);
}

// Grows a term or a factor onto a part of a good tree, or wraps that part in
// a function: how sums like x^4 + x^3 + x^2 + x and nestings like
// m/sqrt(1 - v^2/c^2) are built one piece at a time.
Expr Search::grown_or_wrapped(double r) {
  const Expr& parent = pop_[tournament(select_, pop_)].tree;
  const size_t at = select_.below(node_count(parent));
  const bool grow = r < 0.72 ? !growths_.empty() : wraps_.empty();
  const Op op = growths_.empty() ? Op::Add : growths_[select_.below(growths_.size())];
  const Wrap wrap = wraps_.empty() ? Wrap{} : wraps_[select_.below(wraps_.size())];
  Expr addition = grow ? gen_.random(2) : Expr::constant(0.0);
  if (growths_.empty() && wraps_.empty()) return gen_.random(cfg_.max_depth);
  return edit_at(parent, at, [&](const Expr& part) {
    return grow ? Expr::bin(op, part, addition) : wrapped(part, wrap);
  });
}

void Search::breed() {
  const size_t p = cfg_.population;
  const size_t elites = std::max<size_t>(1, p / 20);
  std::vector<Candidate> next;
  next.reserve(p);
  keep_elites(ranking(), next);
  // The front's formulas stay in the population: small good structures
  // are what crossover builds laws from, and the big ones would crowd them out.
  for (const FrontEntry& e : front_.pareto()) {
    if (next.size() + 1 >= p || next.size() >= elites + kFrontParents) break;
    if (!cfg_.operators.allows(e.tree)) continue;
    next.emplace_back(e.tree);
    next.back().fitted = 2;
  }
  while (next.size() < p) {
    Expr c = child();
    for (int draw = 1; draw < kUnitDraws && !may_agree(c); ++draw) c = child();
    next.emplace_back(std::move(c));
  }
  pop_ = std::move(next);
}

Expr Search::child() {
  const double r = select_.next_f64();
  Expr child = Expr::constant(0.0);
  if (r < 0.35) {
    const size_t a = tournament(select_, pop_);
    const size_t b = tournament(select_, pop_);
    child = gen_.crossover(pop_[a].tree, pop_[b].tree);
  } else if (r < 0.6) {
    child = gen_.mutate(pop_[tournament(select_, pop_)].tree, cfg_.max_depth);
  } else if (r < 0.82) {
    child = grown_or_wrapped(r);
  } else if (r < 0.92 && pieces_.usable()) {
    const Expr& parent = pop_[tournament(select_, pop_)].tree;
    const size_t at = select_.below(node_count(parent));
    child = edit_at(parent, at, [&](const Expr& part) { return pieces_.attach(part, select_); });
  } else {
    child = gen_.random(cfg_.max_depth);
  }
  if (node_count(child) > kMaxNodes) child = gen_.random(cfg_.max_depth);
  return child;
}

std::vector<size_t> Search::ranking() const {
  std::vector<size_t> order(pop_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [this](size_t a, size_t b) {
    return pop_[a].score.score < pop_[b].score.score;
  });
  return order;
}

}  // namespace quorvex
