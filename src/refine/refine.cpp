#include "refine/refine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include "assess/assess.h"
#include "baselines/baselines.h"
#include "expr/derivatives.h"
#include "expr/parse.h"
#include "expr/read_json.h"
#include "parallel/fp_state.h"
#include "refine/display.h"
#include "refine/fit.h"
#include "refine/front.h"
#include "refine/front_simplify.h"
#include "refine/reduced.h"
#include "refine/scaled.h"
#include "refine/search.h"
#include "refine/seeds.h"
#include "refine/separable.h"
#include "refine/shared.h"
#include "refine/sparse_line.h"
#include "refine/starts.h"
#include "units/check.h"

namespace quorvex {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

// The baselines, with an exact constant or linear fit scored at the floor
// like every other model of this search (the plain score calls it +inf).
BaselinesReport refined_baselines(const Dataset& train, size_t n_shuffles, uint64_t seed,
                                  double floor, double line_mse) {
  BaselinesReport b = compute(train, n_shuffles, seed);
  const double n = train.weight_total();
  if (!std::isfinite(b.bic_const))
    b.bic_const = refined_bic(const_predictor(train).second, n, 1, floor);
  if (!std::isfinite(b.bic_linear)) {
    const auto k = static_cast<uint32_t>(train.features().size() + 1);
    b.bic_linear = refined_bic(line_mse, n, k, floor);
  }
  return b;
}

std::vector<size_t> finite_rows(const Dataset& data) {
  std::vector<size_t> columns;
  for (size_t j = 0; j < data.features().size(); ++j) columns.push_back(data.column_of_feature(j));
  std::sort(columns.begin(), columns.end());
  columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
  std::vector<size_t> keep;
  keep.reserve(data.n_rows());
  for (size_t i = 0; i < data.n_rows(); ++i) {
    // A row of weight 0 is no row at all.
    if (data.weighted() && data.weights()[i] == 0.0) continue;
    bool ok = std::isfinite(data.targets()[i]);
    for (size_t c : columns) ok = ok && std::isfinite(data.column(c)[i]);
    if (ok) keep.push_back(i);
  }
  return keep;
}

size_t weighed_rows(const Dataset& data) {
  if (!data.weighted()) return data.n_rows();
  size_t count = 0;
  for (double w : data.weights()) count += w != 0.0;
  return count;
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

// A fit at the floor with more fitted constants than this is as often a
// series fitted in range (a Laurent series of 1/(e^x − 1)) as the law: the
// search waits longer for a simpler exact formula before it trusts one.
constexpr size_t kTrustedConstants = 4;
constexpr uint32_t kMaxExactWait = 4;  // times exact_patience

uint32_t exact_wait(const Front& front, uint32_t patience) {
  const std::vector<FrontEntry> best = front.lowest_bic(1);
  const size_t n = best.empty() ? 0 : constants_of(best[0].tree).size();
  const size_t extra = n > kTrustedConstants ? n - kTrustedConstants : 0;
  return patience * static_cast<uint32_t>(1 + std::min<size_t>(kMaxExactWait - 1, extra));
}

// Breeds until the front is exact and no simpler, stalls, reaches the
// generation cap or the time limit, or the caller stops it.
StopReason run_search(Search& search, const RefinedConfig& cfg, double floor,
                      const Deadline& deadline, Clock::time_point start,
                      const RefineProgress* progress, RefinedResult& result,
                      const std::function<void(Search&)>& bred) {
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
    if (search.stopped()) return StopReason::Callback;
    GenerationInfo info;
    info.generation = result.generations;
    info.elapsed = seconds_since(start);
    info.best_bic = bic;
    info.front_size = search.front().size();
    const bool exact = search.front().best_mse() <= floor;
    if (progress && *progress && !(*progress)(info)) return StopReason::Callback;
    if (exact && best_stalled >= cfg.exact_patience &&
        best_stalled >= exact_wait(search.front(), cfg.exact_patience))
      return StopReason::Exact;
    if (deadline.passed()) return StopReason::TimeLimit;
    if (result.generations >= cfg.generations) return StopReason::Generations;
    if (cfg.patience && stalled >= cfg.patience) return StopReason::Patience;
    search.breed();
    bred(search);
  }
}

}  // namespace

namespace {

void check_units(const DeclaredUnits& units, const Dataset& data) {
  if (!units.declared) return;
  if (units.dimensional_constants > kMaxDimensionalConstants)
    throw std::invalid_argument("at most " + std::to_string(kMaxDimensionalConstants) +
                                " dimensional constants");
  for (const std::string& name : data.features()) {
    bool found = false;
    for (const auto& [n, u] : units.features) found = found || n == name;
    if (!found) throw std::invalid_argument("no unit for the feature \"" + name + "\"");
  }
}

}  // namespace

void prepare(const Dataset& data, const RefinedConfig& cfg, RefinedResult& result) {
  if (cfg.population == 0) throw std::invalid_argument("population must be at least 1");
  check_units(cfg.units, data);
  result.units = cfg.units;
  if (!(cfg.test_fraction > 0.0 && cfg.test_fraction < 1.0))
    throw std::invalid_argument("test fraction must lie strictly between 0 and 1");
  const std::vector<size_t> keep = finite_rows(data);
  result.rows_set_aside = weighed_rows(data) - keep.size();
  if (keep.size() < kMinRefineRows) {
    const std::string usable = std::string("a finite target and finite feature values") +
                               (data.weighted() ? " and a weight above 0" : "");
    throw std::invalid_argument(keep.empty()
                                    ? "no row has " + usable
                                    : "too few rows with " + usable + " (at least 5 needed)");
  }
  auto [train, test] = data.gather(keep.data(), keep.size()).split(cfg.test_fraction, cfg.seed);
  if (train.n_rows() < 3) throw std::invalid_argument("too few training rows (at least 3 needed)");
  result.train = std::move(train);
  result.test = std::move(test);
  const double var = const_predictor(result.train).second;
  result.mse_floor = var > 0.0 ? kRelativeMseFloor * var : std::numeric_limits<double>::min();
}

namespace {

// The search scores and fits on at most this many training rows, the first
// ones (the split shuffled them): a formula's rank among others settles long
// before its error's last digits do, and a generation's cost grows with the
// rows. Grown fourfold when all rows rank the front differently.
constexpr size_t kSearchRows = 2000;
// Training rows the displayed formulas are checked on, at most.
constexpr size_t kShownRows = 20000;
constexpr size_t kRowGrowth = 4;
// Runs with units are cheaper (most candidates are refused unscored): a
// stalled one is followed by this many more fresh runs than without.
constexpr uint32_t kUnitRestarts = 1;
// Share of the search's time limit the search in pure-number groups may take.
constexpr double kReducedShare = 0.5;
// Generations a search runs before it looks for a separable law.
constexpr uint32_t kSeparableAfter = 30;
// How much lower a BIC on all rows must be to overrule the sample's choice.
constexpr double kChoiceMargin = 6.0;
// The time a search leaves for simplifying and scoring its front on all rows:
// this many reads of every row by a straight line, at most this share of the
// time limit.
constexpr double kFinishingReads = 200.0;
constexpr double kFinishingShare = 0.25;
// Of that time, what the judgement needs after the polish (every front entry
// scored on all training and test rows, the verdict, the constants' errors).
constexpr double kJudgingReads = 80.0;
constexpr double kJudgingShare = 0.1;
// A step before the first generation or after the last that ends later than
// this after the caller last heard from the call is followed by a pulse.
constexpr std::chrono::milliseconds kQuietSetup{400};

// Whether all training rows pick the same entry of a front found on fewer.
// Each entry's linear constants are fitted again on all rows first: those
// fitted on the sample carry its noise, an error that over many rows outweighs
// a node's cost and would favour whichever entry has a constant more. So do
// differences within the noise margin.
bool same_choice_on_all_rows(const std::vector<FrontEntry>& front, const Dataset& train,
                             double floor, const OperatorSet& ops, const UnitCheck* units) {
  size_t on_sample = 0;
  double best_all = std::numeric_limits<double>::infinity();
  std::vector<double> bic(front.size());
  for (size_t i = 0; i < front.size(); ++i) {
    if (front[i].bic < front[on_sample].bic) on_sample = i;
    bic[i] = score_scaled(front[i].tree, train, floor, ops, units).score;
    best_all = std::min(best_all, bic[i]);
  }
  return front.empty() || !(bic[on_sample] > best_all + kChoiceMargin);
}

// The front of the last run, and in `rows` the training rows it was found on.
// A run that stalls short of an exact fit is followed by a fresh one that
// starts from its front: a population that has settled on a near miss rarely
// leaves it, and a new one often finds the law elsewhere.
std::vector<FrontEntry> search_front(const RefinedConfig& cfg, const Seeds& seeds,
                                     Clock::time_point start, const Deadline& deadline,
                                     const RefineProgress* progress, bool stop_asked,
                                     RefinedResult& result, Dataset& rows, const UnitCheck* units) {
  const double floor = result.mse_floor;
  const Dataset& train = result.train;
  rows = first_rows(train, kSearchRows);
  // A warm start's formulas join the first population as a front would.
  std::vector<FrontEntry> carried(cfg.start_from.size());
  for (size_t i = 0; i < carried.size(); ++i) carried[i].tree = cfg.start_from[i];
  uint32_t restarts = 0;
  // What the caller hears within a generation.
  const auto within = [&](const Search& search) {
    GenerationInfo info;
    info.generation = result.generations;
    info.elapsed = seconds_since(start);
    info.best_bic = search.front().best_bic();
    info.front_size = search.front().size();
    info.within_generation = true;
    return info;
  };
  // A separable law a run has not found by then: each feature's part is
  // searched for on its own, once per discovery, and the parts joined.
  bool separated = units != nullptr;
  auto separate = [&](Search& search) -> std::optional<Expr> {
    if (separated) return std::nullopt;
    separated = true;
    auto pulse = [&] {
      if (progress && *progress && !(*progress)(within(search))) search.stop();
      return !search.stopped();
    };
    std::optional<Expr> tree =
        separable_tree(rows, search.front().best_mse(), cfg, deadline, pulse);
    if (tree && cfg.operators.allows(*tree)) return tree;
    return std::nullopt;
  };
  auto bred = [&](Search& search) {
    if (result.generations < kSeparableAfter || search.front().best_mse() <= floor) return;
    if (std::optional<Expr> tree = separate(search)) search.inject(std::move(*tree));
  };
  for (uint32_t run = 0;; ++run) {
    RefinedConfig run_cfg = cfg;
    run_cfg.seed = start_seed(cfg.seed, cfg.start) + run * 0xD1B54A32D192ED03ULL;
    Search search(rows, run_cfg, floor, seeds, deadline);
    if (progress && *progress) search.set_pulse([&] { return (*progress)(within(search)); });
    if (stop_asked) search.stop();
    // Powers with fitted exponents once a run has stalled, or where the fit
    // in logs asks for them: most laws are found without them, and their
    // pieces would dilute the others' draws.
    if (restarts > 0 || seeds.logs.real_exponents()) search.widen();
    if (restarts > 0) search.restarting();
    search.seed_population(carried);
    result.stop = run_search(search, cfg, floor, deadline, start, progress, result, bred);
    carried = search.front().pareto();
    if (result.stop != StopReason::Patience && result.stop != StopReason::Exact) return carried;
    if (rows.n_rows() < train.n_rows() &&
        !same_choice_on_all_rows(carried, train, floor, cfg.operators, units)) {
      rows = first_rows(train, rows.n_rows() * kRowGrowth);
      continue;
    }
    if (result.stop != StopReason::Patience ||
        restarts >= cfg.restarts + kUnitRestarts * cfg.units.declared ||
        search.front().best_mse() <= floor)
      return carried;
    ++restarts;
    if (std::optional<Expr> tree = separate(search)) {
      FrontEntry e;
      e.tree = std::move(*tree);
      carried.push_back(std::move(e));
    }
  }
}

// Fitting iterations for a seed offered to a front at the end.
constexpr uint32_t kSeedPolishIterations = 100;

// The rational seeds a run was not handed (or lost) offered to its front once
// it ends short of an exact fit, their constants fitted first: on noisy rows
// a seed of the law's own form (a ratio, a log of one) is not exact, so it
// waits for a restart or is never offered, and a population that settled
// elsewhere does not take it up. On the front it only competes by BIC, so it
// cannot draw the search away from a law the search finds.
std::vector<FrontEntry> with_seeds(std::vector<FrontEntry> found, const Seeds& seeds,
                                   const Dataset& rows, double floor, const OperatorSet& ops,
                                   const UnitCheck* units, const Deadline& deadline) {
  double best = std::numeric_limits<double>::infinity();
  for (const FrontEntry& e : found) best = std::min(best, e.mse_train);
  if (!(best > floor) || units != nullptr) return found;
  Front front;
  for (FrontEntry& e : found) front.keep(std::move(e));
  for (const std::optional<RationalSeed>* seed : {&seeds.rational, &seeds.rational_inside}) {
    if (!*seed || (*seed)->exact || !ops.allows((*seed)->tree) || deadline.passed()) continue;
    const ScaledScore first = score_scaled((*seed)->tree, rows, floor, ops);
    if (!std::isfinite(first.score)) continue;
    Expr tree = scaled_tree((*seed)->tree, first);
    FitOutcome fit = fit_constants(tree, rows, kSeedPolishIterations, false, kHoldNone, &deadline);
    if (fit.improved) tree = std::move(fit.tree);
    const ScaledScore s = score_scaled(tree, rows, floor, ops);
    if (!std::isfinite(s.score)) continue;
    FrontEntry e;
    e.tree = scaled_tree(tree, s);
    e.complexity = s.complexity;
    e.mse_train = s.mse;
    e.bic = s.score;
    front.keep(std::move(e));
  }
  return front.pareto();
}

// Nothing finite on every training row: the mean is the model.
FrontEntry constant_model(const Dataset& train, double floor) {
  FrontEntry e;
  e.tree = Expr::constant(const_predictor(train).first);
  e.complexity = 1;
  e.mse_train = finite_row_mse(e.tree, train);
  e.bic = refined_bic(e.mse_train, train.weight_total(), 1, floor);
  return e;
}

// A warm start's formulas scored on all training rows as the front is, and
// kept where they beat what the search found: a search never ends worse than
// where it started.
std::vector<FrontEntry> keep_earlier(std::vector<FrontEntry> found, const RefinedConfig& cfg,
                                     const Dataset& train, double floor, const UnitCheck* units) {
  Front merged;
  for (FrontEntry& e : found) merged.keep(std::move(e));
  for (const Expr& tree : cfg.start_from) {
    if (!cfg.operators.allows(tree) || (units && !units->agrees(tree))) continue;
    FrontEntry e;
    e.tree = tree;
    e.complexity = cfg.operators.complexity(tree);
    e.mse_train = all_rows_mse(tree, train);
    e.bic = refined_bic(e.mse_train, train.weight_total(), e.complexity, floor);
    if (std::isfinite(e.bic)) merged.keep(std::move(e));
  }
  return merged.pareto();
}

void check_start_features(const RefinedConfig& cfg, const Dataset& data) {
  for (const Expr& tree : cfg.start_from)
    for (const std::string& name : expression_features(tree))
      if (data.find_column(name) == Dataset::npos)
        throw std::invalid_argument("a formula to start from reads the feature \"" + name +
                                    "\", which the data lacks");
}

}  // namespace

namespace {

// The least-squares line over every feature, charged as the linear baseline
// is: one per coefficient. Written out it has four nodes per feature, a price
// at which the search could never prefer it to a shorter, worse formula.
FrontEntry line_entry(const Dataset& train, double floor, double baseline_bic) {
  const std::vector<double> coef = linear_predictor(train).first;
  FrontEntry e;
  e.tree = Expr::bin(Op::Add, Expr::constant(std::isfinite(coef[0]) ? coef[0] : 0.0),
                     linear_tree(train, coef));
  e.complexity = static_cast<uint32_t>(coef.size());
  e.mse_train = all_rows_mse(e.tree, train);
  // It is the linear baseline's model: its BIC, to the bit.
  e.bic = !std::isfinite(e.mse_train) ? e.mse_train
          : std::isfinite(baseline_bic)
              ? baseline_bic
              : refined_bic(e.mse_train, train.weight_total(), e.complexity, floor);
  return e;
}

// Whether a formula fits fewer constants than there are training rows: with
// as many it can pass through every row whatever they hold.
bool fewer_constants_than_rows(const Expr& tree, size_t rows) {
  return constants_of(tree).size() < rows;
}

}  // namespace

void judge_front(RefinedResult& result, const BaselinesReport& baselines, uint64_t seed) {
  const Dataset& train = result.train;
  std::optional<UnitCheck> units;
  if (result.units.declared) units.emplace(result.units);
  // What cannot agree with the units is never reported: the constant model,
  // dimensioned like the target, always can.
  std::erase_if(result.front, [&](const FrontEntry& e) {
    return !fewer_constants_than_rows(e.tree, train.n_rows()) || (units && !units->agrees(e.tree));
  });
  if (result.front.empty()) result.front.push_back(constant_model(train, result.mse_floor));
  auto lowest_bic = [&] {
    return static_cast<size_t>(
        std::min_element(result.front.begin(), result.front.end(),
                         [](const FrontEntry& a, const FrontEntry& b) { return a.bic < b.bic; }) -
        result.front.begin());
  };
  FrontEntry line = line_entry(train, result.mse_floor, baselines.bic_linear);
  if (line.bic < result.front[lowest_bic()].bic)
    if (std::optional<Expr> sparse = sparse_line(train, result.mse_floor)) {
      FrontEntry e;
      e.tree = std::move(*sparse);
      e.complexity = static_cast<uint32_t>(constants_of(e.tree).size());
      e.mse_train = all_rows_mse(e.tree, train);
      e.bic = refined_bic(e.mse_train, train.weight_total(), e.complexity, result.mse_floor);
      if (e.bic < line.bic) line = std::move(e);
    }
  size_t best = lowest_bic();
  if (line.bic < result.front[best].bic && fewer_constants_than_rows(line.tree, train.n_rows()) &&
      (!units || units->agrees(line.tree))) {
    // The line takes its place on the front, and what it outdoes leaves.
    std::erase_if(result.front, [&](const FrontEntry& e) {
      return e.complexity >= line.complexity && e.mse_train >= line.mse_train;
    });
    const auto at =
        std::find_if(result.front.begin(), result.front.end(), [&](const FrontEntry& e) {
          return e.complexity > line.complexity ||
                 (e.complexity == line.complexity && e.mse_train > line.mse_train);
        });
    result.front.insert(at, line);
    best = lowest_bic();
  }
  // The displayed text is checked on a sample (the split shuffled the rows):
  // on a million rows, checking every one took a second per front entry,
  // outside the time limit.
  const Dataset shown_rows = first_rows(train, kShownRows);
  for (FrontEntry& e : result.front) {
    e.mse_test = finite_row_mse(e.tree, result.test);
    ShownFormula shown = show_formula(e.tree, shown_rows);
    e.shown = std::move(shown.text);
    e.latex = std::move(shown.latex);
  }
  const FrontEntry& chosen = result.front[best];
  result.best = chosen.tree;
  result.report = assess(chosen.tree, chosen.bic, chosen.complexity, train, result.test, baselines);
  std::optional<Expr> shown;
  try {
    shown = parse_formula(chosen.shown);
  } catch (const FormulaError&) {
    // Judged on the tree alone.
  }
  confirm_verdict(result.report, chosen.tree, line.tree, train, result.test, result.mse_floor,
                  shown ? &*shown : nullptr);
  result.finite_share = finite_share(chosen.tree, train, result.test);
  result.constants = constant_errors(chosen.tree, train);
  if (units)
    result.constant_units = units->constant_units(chosen.tree).value_or(std::vector<Unit>{});
  result.domain_share = domain_share(chosen.tree, train, seed);
  result.report.formula = chosen.shown;
}

RefinedResult refine(const Dataset& data, const RefinedConfig& cfg,
                     const RefineProgress* progress) {
  FpStateGuard fixed_state;
  const auto start = Clock::now();
  RefinedResult result;
  result.operators = cfg.operators;
  check_start_features(cfg, data);
  // Before the first generation (the split, the fit in logs, the baselines:
  // seconds at a million rows) and after the last, the caller still hears
  // from a long call between its steps, and may stop the search before it
  // starts. Short calls stay as they were: one call per generation.
  bool stop_asked = false;
  auto heard = start;
  auto pulse = [&] {
    if (!progress || !*progress || stop_asked) return;
    const auto now = Clock::now();
    if (now - heard < kQuietSetup) return;
    heard = now;
    GenerationInfo info;
    info.generation = result.generations;
    info.elapsed = seconds_since(start);
    info.best_bic = std::numeric_limits<double>::infinity();
    for (const FrontEntry& e : result.front) info.best_bic = std::min(info.best_bic, e.bic);
    info.front_size = result.front.size();
    info.within_generation = true;
    stop_asked = !(*progress)(info);
  };
  pulse();
  prepare(data, cfg, result);
  pulse();
  const Dataset& train = result.train;
  const double floor = result.mse_floor;
  Seeds seeds;
  double line_mse = 0.0;
  std::tie(seeds.line, line_mse) = linear_predictor(train);
  seeds.logs = log_fit(train);
  seeds.positive = positive_features(train);
  seeds.rational = rational_tree(train, seeds.line, floor, cfg.operators);
  seeds.rational_inside = rational_inside_tree(train, seeds.line, floor, cfg.operators);
  pulse();
  const BaselinesReport baselines =
      refined_baselines(train, cfg.n_shuffles, cfg.seed, floor, line_mse);
  pulse();

  // The search leaves time within the limit for what follows it, which reads
  // every row: its share is measured on a formula read on all of them (the
  // fastest of three: the first read of a large set is often slow). The
  // polish stops early enough to leave the judgement its own share.
  double search_limit = cfg.time_limit;
  double polish_limit = cfg.time_limit;
  if (cfg.time_limit > 0.0) {
    const Expr line = linear_tree(train, seeds.line);
    double read = std::numeric_limits<double>::infinity();
    for (int i = 0; i < 3; ++i) {
      const auto before = Clock::now();
      (void)all_rows_mse(line, train);
      read = std::min(read, seconds_since(before));
    }
    search_limit -= std::min(kFinishingShare * cfg.time_limit, kFinishingReads * read);
    polish_limit -= std::min(kJudgingShare * cfg.time_limit, kJudgingReads * read);
  }
  const Deadline deadline(start, polish_limit);
  std::optional<UnitCheck> units;
  if (cfg.units.declared) units.emplace(cfg.units);
  const UnitCheck* check = units ? &*units : nullptr;
  // With units, the law in pure-number groups first: its front starts the
  // search as a warm start's would, and its generations count.
  RefinedConfig run_cfg = cfg;
  const double reduced_limit =
      cfg.time_limit > 0.0 ? kReducedShare * (search_limit - seconds_since(start)) : 0.0;
  if (check && !stop_asked && (cfg.time_limit <= 0.0 || reduced_limit > 0.0)) {
    ReducedStart reduced = reduced_start(train, cfg, reduced_limit, progress);
    result.generations = reduced.generations;
    stop_asked = reduced.stopped;
    for (Expr& t : reduced.trees) run_cfg.start_from.push_back(std::move(t));
  }
  Dataset rows;
  const std::vector<FrontEntry> found =
      search_front(run_cfg, seeds, start, Deadline(start, search_limit), progress, stop_asked,
                   result, rows, check);
  heard = Clock::now();  // the last generation's own call

  // Simplify the front on the rows it was found on, then score it on all.
  const bool thorough = result.stop != StopReason::Callback;
  result.front = simplify_front(
      thorough ? with_seeds(found, seeds, rows, floor, cfg.operators, check, deadline) : found,
      rows, floor, cfg.operators, thorough, deadline, check);
  pulse();
  if (rows.n_rows() < train.n_rows()) {
    result.front = settle_front(result.front, train, floor, thorough, deadline);
    pulse();
  }
  if (!run_cfg.start_from.empty())
    result.front = keep_earlier(std::move(result.front), run_cfg, train, floor, check);
  judge_front(result, baselines, cfg.seed);
  result.report.wall_clock_ms = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  return result;
}

}  // namespace quorvex
