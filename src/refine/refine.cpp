#include "refine/refine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "baselines/baselines.h"
#include "expr/derivatives.h"
#include "expr/edit.h"
#include "expr/generator.h"
#include "expr/simplify.h"
#include "parallel/fp_state.h"
#include "parallel/pool.h"
#include "refine/fit.h"
#include "refine/front.h"
#include "refine/pieces.h"
#include "refine/scaled.h"
#include "refine/simplify_step.h"

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
// Front formulas carried into each new population.
constexpr size_t kFrontParents = 12;
constexpr uint32_t kQuickFitIterations = 3;
// Quick fits only need the right basin: they read at most this many of the
// (already shuffled) training rows.
constexpr size_t kQuickFitRows = 128;
// Full fits read at most this many: constants fitted on a few hundred rows
// are as good as final for ranking; the front is polished on all rows.
constexpr size_t kFitRows = 320;

struct Candidate {
  explicit Candidate(Expr t) : tree(std::move(t)) {}
  Expr tree;
  ScaledScore score;
  bool scored = false;
  uint8_t fitted = 0;  // 1: a few steps, 2: fully
};

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> distinct_features(const Dataset& data) {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  for (const std::string& f : data.features())
    if (seen.insert(f).second) out.push_back(f);
  return out;
}

// The baselines, with an exact constant or linear fit scored at the floor
// like every other model of this search (the plain score calls it +inf).
BaselinesReport refined_baselines(const Dataset& train, size_t n_shuffles, uint64_t seed,
                                  double floor) {
  BaselinesReport b = compute(train, n_shuffles, seed);
  const size_t n = train.n_rows();
  if (!std::isfinite(b.bic_const))
    b.bic_const = refined_bic(const_predictor(train).second, n, 1, floor);
  if (!std::isfinite(b.bic_linear)) {
    const auto k = static_cast<uint32_t>(train.features().size() + 1);
    b.bic_linear = refined_bic(linear_predictor(train).second, n, k, floor);
  }
  return b;
}

// Σ b_j·x_j over the distinct features with the least-squares slopes; the
// scaling adds the intercept.
Expr linear_tree(const Dataset& train) {
  const std::vector<double> coef = linear_predictor(train).first;
  std::vector<Expr> terms;
  std::unordered_set<std::string> seen;
  const auto& names = train.features();
  // A duplicated name reads one column: its slopes add up.
  for (size_t j = 0; j < names.size(); ++j) {
    if (!seen.insert(names[j]).second) continue;
    double slope = 0.0;
    for (size_t i = j; i < names.size(); ++i)
      if (names[i] == names[j]) slope += coef[i + 1];
    if (!std::isfinite(slope)) slope = 0.0;
    terms.push_back(Expr::bin(Op::Mul, Expr::constant(slope), Expr::feature(names[j])));
  }
  if (terms.empty()) return Expr::constant(0.0);
  // Summed in pairs: a tree of logarithmic depth whatever the feature count,
  // so that no walk over it recurses deeply.
  while (terms.size() > 1) {
    std::vector<Expr> pairs;
    for (size_t i = 0; i + 1 < terms.size(); i += 2)
      pairs.push_back(Expr::bin(Op::Add, std::move(terms[i]), std::move(terms[i + 1])));
    if (terms.size() % 2 == 1) pairs.push_back(std::move(terms.back()));
    terms = std::move(pairs);
  }
  return std::move(terms[0]);
}

Dataset first_rows(const Dataset& data, size_t count) {
  std::vector<size_t> positions(std::min(count, data.n_rows()));
  for (size_t i = 0; i < positions.size(); ++i) positions[i] = i;
  return data.gather(positions.data(), positions.size());
}

// x^e for a multiple e of 1/2: integer powers, and half powers as sqrt(x^2e).
Expr power_of(const std::string& name, double e) {
  const auto twice = static_cast<int32_t>(std::lround(2.0 * e));
  if (twice % 2 != 0) {
    Expr inner = twice == 1 ? Expr::feature(name) : Expr::pow(Expr::feature(name), twice);
    return Expr::sqrt(std::move(inner));
  }
  const int32_t whole = twice / 2;
  return whole == 1 ? Expr::feature(name) : Expr::pow(Expr::feature(name), whole);
}

// A least-squares fit of log|y| on the logs of the features that are
// positive on every training row; empty when y changes sign or is zero.
struct LogFit {
  std::vector<std::string> names;
  std::vector<double> exponents;
};

LogFit log_fit(const Dataset& train) {
  LogFit out;
  const std::vector<double>& y = train.targets();
  bool positive = true, negative = true;
  for (double v : y) positive = positive && v > 0.0, negative = negative && v < 0.0;
  if (!positive && !negative) return out;
  Dataset logs("y");
  std::vector<const double*> cols;
  for (const std::string& f : distinct_features(train)) {
    const std::vector<double>& c = train.column(train.find_column(f));
    bool ok = true;
    for (double v : c) ok = ok && v > 0.0;
    if (!ok) continue;
    out.names.push_back(f);
    cols.push_back(c.data());
    logs.add_feature(f);
  }
  if (out.names.empty() || out.names.size() > 8) return LogFit{};
  std::vector<double> row(out.names.size());
  for (size_t i = 0; i < y.size(); ++i) {
    for (size_t j = 0; j < out.names.size(); ++j) row[j] = std::log(cols[j][i]);
    logs.push_row(row.data(), std::log(std::fabs(y[i])));
  }
  const std::vector<double> coef = linear_predictor(logs).first;
  out.exponents.assign(coef.begin() + 1, coef.end());
  return out;
}

// Products of powers of the features with the fit's exponents rounded to
// whole and to half numbers: laws like q1·q2/(ε·r²) or sqrt(γ·p/ρ) are
// straight lines in logs, and the search then starts from them.
std::vector<Expr> power_law_trees(const LogFit& fit) {
  std::vector<Expr> out;
  for (double step : {1.0, 0.5}) {
    Expr product = Expr::constant(1.0);
    bool any = false;
    for (size_t j = 0; j < fit.names.size(); ++j) {
      const double e = std::round(fit.exponents[j] / step) * step;
      if (!std::isfinite(e) || e == 0.0 || std::fabs(e) > 3.0) continue;
      Expr term = power_of(fit.names[j], e);
      product = any ? Expr::bin(Op::Mul, std::move(product), std::move(term)) : std::move(term);
      any = true;
    }
    if (any && (out.empty() || !(out.back() == product))) out.push_back(std::move(product));
  }
  return out;
}

// The directions the fit sees: each clearly non-zero exponent's sign, once
// for every such feature and once for those whose exponent is not whole
// (a whole one belongs to a prefactor; the rest to a function's argument,
// as in n·exp(−m·g·x/(k·T))).
void add_log_fit_hints(const LogFit& fit, LawPieces& pieces) {
  LawPieces::Factors all, inner, whole;
  for (size_t j = 0; j < fit.names.size(); ++j) {
    const double e = fit.exponents[j];
    if (!std::isfinite(e) || std::fabs(e) < 0.25) continue;
    const int sign = e < 0.0 ? -1 : 1;
    all.emplace_back(fit.names[j], sign);
    const double rounded = std::round(e);
    if (std::fabs(e - rounded) > 0.05)
      inner.emplace_back(fit.names[j], sign);
    else if (std::fabs(rounded) <= 5.0)
      whole.emplace_back(fit.names[j], static_cast<int>(rounded));
  }
  pieces.add_hint(std::move(all));
  pieces.add_hint(std::move(inner));
  pieces.add_prefactor(std::move(whole));
}

size_t tournament(Lcg& rng, const std::vector<Candidate>& pop) {
  size_t w = rng.below(pop.size());
  for (int t = 0; t < 2; ++t) {
    const size_t c = rng.below(pop.size());
    if (pop[c].score.score < pop[w].score.score) w = c;
  }
  return w;
}

class Search {
 public:
  // A function a part of a tree can be wrapped in.
  struct Wrap {
    Expr::Kind kind = Expr::Kind::Sqrt;
    int32_t exponent = 0;
  };

  Search(const Dataset& train, const RefinedConfig& cfg, double floor)
      : train_(train),
        cfg_(cfg),
        floor_(floor),
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
  }

  // `carried`: the front of an earlier run, kept whole.
  void seed_population(const std::vector<FrontEntry>& carried) {
    pop_.clear();
    pop_.reserve(cfg_.population);
    for (const FrontEntry& e : carried)
      if (pop_.size() + 1 < cfg_.population) pop_.emplace_back(e.tree);
    const OperatorSet& ops = cfg_.operators;
    if (!train_.features().empty() && cfg_.population > 1 && ops.has(Operator::Add) &&
        ops.has(Operator::Mul))
      pop_.emplace_back(linear_tree(train_));
    const LogFit logs = log_fit(train_);
    add_log_fit_hints(logs, pieces_);
    for (Expr& t : power_law_trees(logs))
      if (pop_.size() + 1 < cfg_.population && ops.allows(t)) pop_.emplace_back(std::move(t));
    const size_t seeded = pop_.size();
    while (pop_.size() < cfg_.population) {
      // A tenth of the rest: law-shaped pieces, alone or on a power-law seed.
      if (pieces_.usable() && select_.below(10) == 0) {
        const Expr& base = pop_[select_.below(std::max<size_t>(seeded, 1))].tree;
        pop_.emplace_back(seeded ? pieces_.attach(base, select_) : pieces_.piece(select_));
      } else {
        pop_.emplace_back(gen_.random(cfg_.max_depth));
      }
    }
  }

  void score() {
    WorkerPool::instance().run(
        pop_.size(),
        [this](size_t i) {
          Candidate& c = pop_[i];
          if (c.scored) return;
          c.scored = true;
          c.score = score_scaled(c.tree, train_, floor_, cfg_.operators);
        },
        cfg_.max_threads);
  }

  // Fits the inner constants: a few steps for every new candidate that has
  // constants (a good structure with poor random constants would otherwise
  // never rank), many steps for the best ones.
  void fit() {
    std::vector<size_t> order = ranking();
    std::vector<size_t> chosen;
    std::vector<uint32_t> steps;
    for (size_t i : order) {
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
      bool duplicate = false;
      // Equal trees score alike: the cheap comparison first.
      for (size_t j : chosen)
        duplicate = duplicate || (pop_[j].score.score == c.score.score && pop_[j].tree == c.tree);
      if (duplicate) continue;
      c.fitted = top ? 2 : 1;
      chosen.push_back(i);
      steps.push_back(top ? kFitIterations : kQuickFitIterations);
    }
    WorkerPool::instance().run(
        chosen.size(),
        [&](size_t j) {
          Candidate& c = pop_[chosen[j]];
          const bool quick = steps[j] == kQuickFitIterations;
          FitOutcome fit = fit_constants(c.tree, quick ? sample_ : fit_rows_, steps[j]);
          if (!fit.improved) return;
          const ScaledScore s = score_scaled(fit.tree, train_, floor_, cfg_.operators);
          if (s.score <= c.score.score || !std::isfinite(c.score.score)) {
            c.tree = std::move(fit.tree);
            c.score = s;
          }
        },
        cfg_.max_threads);
  }

  // Offers every scored candidate to the front; true when it improved.
  bool update_front() {
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

  void breed() {
    const std::vector<size_t> order = ranking();
    const size_t p = cfg_.population;
    const size_t elites = std::max<size_t>(1, p / 20);
    std::vector<Candidate> next;
    next.reserve(p);
    for (size_t i : order) {
      if (next.size() == elites) break;
      bool duplicate = false;
      for (const Candidate& e : next)
        duplicate = duplicate || (e.score.score == pop_[i].score.score && e.tree == pop_[i].tree);
      if (duplicate) continue;
      next.push_back(pop_[i]);
      // Folding redundant constants makes the next fit well-conditioned:
      // c1·(c2·x) has a flat direction that slows the fit to a crawl.
      Candidate& elite = next.back();
      Expr simple = simplify(elite.tree, sample_);
      if (node_count(simple) < node_count(elite.tree) && cfg_.operators.allows(simple)) {
        elite.tree = std::move(simple);
        elite.scored = false;
        elite.fitted = 0;
      }
    }
    // The front's formulas stay in the population: small good structures
    // are what crossover builds laws from, and the big ones would crowd them out.
    for (const FrontEntry& e : front_.pareto()) {
      if (next.size() + 1 >= p || next.size() >= elites + kFrontParents) break;
      next.emplace_back(e.tree);
      next.back().fitted = 2;
    }
    while (next.size() < p) {
      const double r = select_.next_f64();
      Expr child = Expr::constant(0.0);
      if (r < 0.35) {
        const size_t a = tournament(select_, pop_);
        const size_t b = tournament(select_, pop_);
        child = gen_.crossover(pop_[a].tree, pop_[b].tree);
      } else if (r < 0.6) {
        child = gen_.mutate(pop_[tournament(select_, pop_)].tree, cfg_.max_depth);
      } else if (r < 0.82) {
        // Grows a term or a factor onto a part of a good tree, or wraps that
        // part in a function: how sums like x^4 + x^3 + x^2 + x and nestings
        // like m/sqrt(1 - v^2/c^2) are built one piece at a time.
        const Expr& parent = pop_[tournament(select_, pop_)].tree;
        const size_t at = select_.below(node_count(parent));
        const bool grow = r < 0.72 ? !growths_.empty() : wraps_.empty();
        const Op op = growths_.empty() ? Op::Add : growths_[select_.below(growths_.size())];
        const Wrap wrap = wraps_.empty() ? Wrap{} : wraps_[select_.below(wraps_.size())];
        Expr addition = grow ? gen_.random(2) : Expr::constant(0.0);
        if (growths_.empty() && wraps_.empty()) {
          child = gen_.random(cfg_.max_depth);
        } else {
          child = edit_at(parent, at, [&](const Expr& part) {
            if (grow) return Expr::bin(op, part, addition);
            if (wrap.kind == Expr::Kind::Pow) return Expr::pow(part, wrap.exponent);
            // A frequency for fitting to find.
            if (wrap.kind == Expr::Kind::Sin || wrap.kind == Expr::Kind::Cos)
              return Expr::function(wrap.kind, Expr::bin(Op::Mul, Expr::constant(1.0), part));
            return Expr::function(wrap.kind, part);
          });
        }
      } else if (r < 0.92 && pieces_.usable()) {
        const Expr& parent = pop_[tournament(select_, pop_)].tree;
        const size_t at = select_.below(node_count(parent));
        child =
            edit_at(parent, at, [&](const Expr& part) { return pieces_.attach(part, select_); });
      } else {
        child = gen_.random(cfg_.max_depth);
      }
      if (node_count(child) > kMaxNodes) child = gen_.random(cfg_.max_depth);
      next.emplace_back(std::move(child));
    }
    pop_ = std::move(next);
  }

  const Front& front() const noexcept { return front_; }

 private:
  std::vector<size_t> ranking() const {
    std::vector<size_t> order(pop_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [this](size_t a, size_t b) {
      return pop_[a].score.score < pop_[b].score.score;
    });
    return order;
  }

  const Dataset& train_;
  const RefinedConfig& cfg_;
  double floor_;
  Dataset sample_;
  Dataset fit_rows_;
  ExprGen gen_;
  LawPieces pieces_;
  std::vector<Op> growths_;  // the binary operators of the set
  std::vector<Wrap> wraps_;
  Lcg select_;
  std::vector<Candidate> pop_;
  Front front_;
};

// Mean squared error over the rows where the tree is finite, and how many.
std::pair<double, size_t> finite_errors(const Expr& tree, const Dataset& data) {
  size_t m = 0;
  double sse = 0.0;
  for (size_t i = 0; i < data.n_rows(); ++i) {
    const double y = tree.evaluate(data.row(i));
    if (!std::isfinite(y)) continue;
    const double e = data.targets()[i] - y;
    sse += e * e;
    ++m;
  }
  return {m ? sse / static_cast<double>(m) : std::numeric_limits<double>::quiet_NaN(), m};
}

}  // namespace

std::vector<size_t> finite_rows(const Dataset& data) {
  std::vector<size_t> columns;
  for (size_t j = 0; j < data.features().size(); ++j) columns.push_back(data.column_of_feature(j));
  std::sort(columns.begin(), columns.end());
  columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
  std::vector<size_t> keep;
  keep.reserve(data.n_rows());
  for (size_t i = 0; i < data.n_rows(); ++i) {
    bool ok = std::isfinite(data.targets()[i]);
    for (size_t c : columns) ok = ok && std::isfinite(data.column(c)[i]);
    if (ok) keep.push_back(i);
  }
  return keep;
}

const char* stop_reason_name(StopReason r) noexcept {
  switch (r) {
    case StopReason::Generations:
      return "generations";
    case StopReason::Patience:
      return "no improvement";
    case StopReason::Exact:
      return "exact fit";
    case StopReason::TimeLimit:
      return "time limit";
    case StopReason::Callback:
      return "stopped by caller";
  }
  return "generations";
}

namespace {

// Breeds until the front is exact and no simpler, stalls, reaches the
// generation cap or the time limit, or the caller stops it.
StopReason run_search(Search& search, const RefinedConfig& cfg, double floor,
                      Clock::time_point start, const RefineProgress* progress,
                      RefinedResult& result) {
  uint32_t stalled = 0;
  // Once a fit is exact only a simpler exact formula matters: errors below
  // the floor improving elsewhere on the front do not hold the search.
  uint32_t best_stalled = 0;
  double best_bic = std::numeric_limits<double>::infinity();
  for (;;) {
    search.score();
    search.fit();
    stalled = search.update_front() ? 0 : stalled + 1;
    const double bic = search.front().best_bic();
    best_stalled = bic < best_bic ? 0 : best_stalled + 1;
    best_bic = std::min(best_bic, bic);
    ++result.generations;
    GenerationInfo info;
    info.generation = result.generations;
    info.elapsed = seconds_since(start);
    info.best_bic = bic;
    info.front_size = search.front().size();
    const bool exact = search.front().best_mse() <= floor;
    if (progress && *progress && !(*progress)(info)) return StopReason::Callback;
    if (exact && best_stalled >= cfg.exact_patience) return StopReason::Exact;
    if (cfg.time_limit > 0.0 && info.elapsed >= cfg.time_limit) return StopReason::TimeLimit;
    if (result.generations >= cfg.generations) return StopReason::Generations;
    if (cfg.patience && stalled >= cfg.patience) return StopReason::Patience;
    search.breed();
  }
}

}  // namespace

RefinedResult refine(const Dataset& data, const RefinedConfig& cfg,
                     const RefineProgress* progress) {
  if (cfg.population == 0) throw std::invalid_argument("population must be at least 1");
  if (!(cfg.test_fraction > 0.0 && cfg.test_fraction < 1.0))
    throw std::invalid_argument("test fraction must lie strictly between 0 and 1");
  FpStateGuard fixed_state;
  const auto start = Clock::now();

  RefinedResult result;
  result.operators = cfg.operators;
  const std::vector<size_t> keep = finite_rows(data);
  result.rows_set_aside = data.n_rows() - keep.size();
  if (keep.size() < kMinRefineRows)
    throw std::invalid_argument(
        keep.empty()
            ? "no row has a finite target and finite feature values"
            : "too few rows with a finite target and finite feature values (at least 5 needed)");
  const Dataset clean = data.gather(keep.data(), keep.size());
  auto [train, test] = clean.split(cfg.test_fraction, cfg.seed);
  if (train.n_rows() < 3) throw std::invalid_argument("too few training rows (at least 3 needed)");

  const double var = const_predictor(train).second;
  const double floor = var > 0.0 ? kRelativeMseFloor * var : std::numeric_limits<double>::min();
  result.mse_floor = floor;
  const BaselinesReport baselines = refined_baselines(train, cfg.n_shuffles, cfg.seed, floor);

  // A run that stalls short of an exact fit is followed by a fresh one that
  // starts from its front: a population that has settled on a near miss
  // rarely leaves it, and a new one often finds the law elsewhere.
  std::vector<FrontEntry> carried;
  std::optional<RefinedConfig> run_cfg;
  std::optional<Search> search;
  for (uint32_t run = 0;; ++run) {
    run_cfg = cfg;
    run_cfg->seed = cfg.seed + run * 0xD1B54A32D192ED03ULL;
    search.emplace(train, *run_cfg, floor);
    search->seed_population(carried);
    const StopReason stop = run_search(*search, cfg, floor, start, progress, result);
    result.stop = stop;
    if (stop != StopReason::Patience || run >= cfg.restarts || search->front().best_mse() <= floor)
      break;
    carried = search->front().pareto();
  }

  // Simplify the front, score it again, and report its lowest BIC.
  result.front = simplify_front(search->front().pareto(), train, floor, cfg.operators,
                                result.stop != StopReason::Callback);
  for (FrontEntry& e : result.front) e.mse_test = finite_errors(e.tree, test).first;
  size_t best = 0;
  for (size_t i = 1; i < result.front.size(); ++i)
    if (result.front[i].bic < result.front[best].bic) best = i;

  DiscoverReport& r = result.report;
  if (result.front.empty()) {
    // Nothing finite on every training row: the mean is the model.
    FrontEntry e;
    e.tree = Expr::constant(const_predictor(train).first);
    e.complexity = 1;
    e.mse_train = const_predictor(train).second;
    e.mse_test = finite_errors(e.tree, test).first;
    e.bic = refined_bic(e.mse_train, train.n_rows(), 1, floor);
    result.front.push_back(e);
  }
  const FrontEntry& chosen = result.front[best];
  result.best = chosen.tree;
  r.formula = chosen.tree.formula();
  r.expr_json = chosen.tree.to_json();
  r.k = chosen.complexity;
  r.mse_train = chosen.mse_train;
  r.mse_test = chosen.mse_test;
  r.bic = chosen.bic;
  r.baselines = baselines;
  r.delta_bic_const = r.bic - baselines.bic_const;
  r.delta_bic_linear = r.bic - baselines.bic_linear;
  r.z_vs_shuffled = baselines.bic_shuffled_std > 1e-9
                        ? (r.bic - baselines.bic_shuffled_mean) / baselines.bic_shuffled_std
                        : 0.0;
  r.n_train = train.n_rows();
  r.n_test = test.n_rows();
  r.classify();
  const size_t finite_test = finite_errors(chosen.tree, test).second;
  result.finite_share = static_cast<double>(train.n_rows() + finite_test) /
                        static_cast<double>(train.n_rows() + test.n_rows());
  r.wall_clock_ms = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  return result;
}

}  // namespace quorvex
