#include "optimizer/discover.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "assess/assess.h"
#include "baselines/baselines.h"
#include "expr/column_cache.h"
#include "expr/generator.h"
#include "optimizer/fp_state.h"
#include "optimizer/niche.h"
#include "optimizer/score_memo.h"
#include "optimizer/scoring.h"
#include "text/numbers.h"

namespace quorvex {

namespace {

constexpr double kStallTolerance = 0.001;
constexpr uint32_t kStallLimit = 5;

struct Ranked {
  size_t index;
  double score;
};

void pad_left(std::string& out, const std::string& s, size_t width) {
  if (s.size() < width) out.append(width - s.size(), ' ');
  out += s;
}

void write_progress(uint32_t generation, uint32_t generations, double best) {
  std::string line = "[quorvex] gen ";
  pad_left(line, format_integer(generation), 3);
  line += '/';
  const std::string total = format_integer(generations);
  line += total;
  if (total.size() < 3) line.append(3 - total.size(), ' ');
  line += "  best_BIC = ";
  pad_left(line, format_fixed(best, 3), 12);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// Size-3 tournament over ranked positions; only a strictly lower score
// replaces the current winner.
size_t tournament(Lcg& select, const std::vector<Ranked>& ranked) {
  const size_t p = ranked.size();
  const size_t a = select.below(p);
  const size_t b = select.below(p);
  const size_t c = select.below(p);
  size_t w = a;
  if (ranked[w].score > ranked[b].score) w = b;
  if (ranked[w].score > ranked[c].score) w = c;
  return ranked[w].index;
}

}  // namespace

DiscoverConfig DiscoverConfig::from_c_arguments(uint32_t generations, size_t population,
                                                uint32_t max_depth, uint64_t seed,
                                                double test_fraction) noexcept {
  DiscoverConfig config;
  if (generations != 0) config.generations = generations;
  if (population != 0) config.population = population;
  if (max_depth != 0) config.max_depth = max_depth;
  config.seed = seed;
  if (test_fraction > 0.0 && test_fraction < 1.0) config.test_fraction = test_fraction;
  return config;
}

Discoverer::Discoverer(Dataset data, const DiscoverConfig& config)
    : data_(std::move(data)), config_(config) {
  if (config_.population == 0) throw std::invalid_argument("population must be at least 1");
}

DiscoverResult Discoverer::run() const {
  // The caller's thread evaluates too (baselines, the winner's errors): give it
  // the workers' floating-point state, and the host its own back on return.
  FpStateGuard fixed_state;
  const auto start = std::chrono::steady_clock::now();
  const DiscoverConfig& cfg = config_;
  const size_t p = cfg.population;

  PhaseClock clock(phase_times_);
  auto [train, test] = data_.split(cfg.test_fraction, cfg.seed);
  clock.mark(&PhaseTimes::split);
  const BaselinesReport baselines = compute(train, cfg.n_shuffles, cfg.seed);
  clock.mark(&PhaseTimes::baselines);

  ExprGen gen(train.features(), Lcg(cfg.seed));
  Lcg select(cfg.seed);

  std::vector<Expr> population;
  population.reserve(p);
  for (size_t i = 0; i < p; ++i) population.push_back(gen.random(cfg.max_depth));

  const size_t elites =
      std::clamp(static_cast<size_t>(std::round(0.1 * static_cast<double>(p))), size_t{1}, p);
  const size_t restarts = 3 * p / 10;
  double reference = std::numeric_limits<double>::infinity();
  uint32_t stalled = 0;

  std::vector<Ranked> ranked(p);
  ScoreMemo memo;       // scores of the last population: elites and copies are not evaluated again
  ColumnCache columns;  // exp, log and powers of training columns shared by many trees
  for (uint32_t generation = 0; generation < cfg.generations;) {
    clock.skip();
    const std::vector<double> scores =
        quorvex::fitness_population(population, train, max_threads_, &memo, &columns);
    clock.mark(&PhaseTimes::scoring);
    for (size_t i = 0; i < p; ++i) ranked[i] = {i, scores[i]};
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const Ranked& a, const Ranked& b) { return a.score < b.score; });

    std::vector<Expr> next;
    next.reserve(p);
    for (size_t j = 0; j < elites; ++j) next.push_back(population[ranked[j].index]);
    if (cfg.use_niches) append_niche_champions(population, scores, next, p);

    while (next.size() < p) {
      const double r = select.next_f64();
      if (r < 0.5) {
        const size_t first = tournament(select, ranked);
        const size_t second = tournament(select, ranked);
        next.push_back(gen.crossover(population[first], population[second]));
      } else if (r < 0.9) {
        const size_t parent = tournament(select, ranked);
        next.push_back(gen.mutate(population[parent], cfg.max_depth));
      } else {
        next.push_back(gen.random(cfg.max_depth));
      }
    }

    const double best = ranked[0].score;
    if (cfg.restart_on_stagnation) {
      const double d = std::fabs(reference - best);
      if (d < kStallTolerance) {
        ++stalled;
      } else {
        stalled = 0;
        reference = best;
      }
      if (stalled >= kStallLimit) {
        for (size_t slot = p - restarts; slot < p; ++slot) {
          Expr t = gen.random(cfg.max_depth);
          for (int m = 0; m < 3; ++m) t = gen.mutate(t, cfg.max_depth);
          next[slot] = std::move(t);
        }
        stalled = 0;
      }
    }

    ++generation;
    population = std::move(next);
    if (cfg.verbose) write_progress(generation, cfg.generations, best);
    if (progress_hook_) progress_hook_(generation, cfg.generations, best);
  }

  clock.skip();
  const std::vector<double> scores =
      quorvex::fitness_population(population, train, max_threads_, &memo, &columns);
  clock.mark(&PhaseTimes::scoring);
  size_t best_index = 0;
  for (size_t i = 1; i < p; ++i)
    if (scores[i] < scores[best_index]) best_index = i;
  const Expr& best = population[best_index];

  DiscoverReport report = assess(best, scores[best_index], best.k(), train, test, baselines);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  report.wall_clock_ms =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
  return {std::move(report), std::move(population[best_index]), std::move(train), std::move(test)};
}

DiscoverResult discover(Dataset data, const DiscoverConfig& config) {
  Discoverer discoverer(std::move(data), config);
  return discoverer.run();
}

}  // namespace quorvex
