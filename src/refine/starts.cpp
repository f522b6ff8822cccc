#include "refine/starts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

#include "assess/assess.h"
#include "baselines/baselines.h"
#include "expr/read_json.h"
#include "parallel/fp_state.h"
#include "refine/front.h"
#include "refine/scaled.h"
#include "refine/shared.h"

namespace quorvex {

namespace {

using Clock = std::chrono::steady_clock;

uint64_t mix(uint64_t z) noexcept {
  z += 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

template <typename T>
T saturating_add(T a, T b) noexcept {
  return a > std::numeric_limits<T>::max() - b ? std::numeric_limits<T>::max() : a + b;
}

// Lower is less conclusive: the merged search is as finished as its least
// finished start.
int conclusiveness(StopReason r) noexcept {
  switch (r) {
    case StopReason::Callback:
      return 0;
    case StopReason::TimeLimit:
      return 1;
    case StopReason::Generations:
      return 2;
    case StopReason::Patience:
      return 3;
    case StopReason::Exact:
      return 4;
  }
  return 0;
}

struct Scored {
  FrontEntry entry;
  std::string key;  // the formula's JSON, which orders equal errors
};

void check_features(const Expr& tree, const Dataset& train) {
  for (const std::string& name : expression_features(tree))
    if (train.find_column(name) == Dataset::npos)
      throw std::invalid_argument("a formula to merge reads the feature \"" + name +
                                  "\", which the data lacks");
}

}  // namespace

uint64_t start_seed(uint64_t seed, uint32_t start) noexcept {
  return start == 0 ? seed : mix(seed ^ mix(start));
}

std::vector<Expr> start_formulas(std::string_view json) {
  const JsonValue doc = parse_json(json);
  const JsonValue* front = doc.type == JsonValue::Type::Object ? doc.find("front") : nullptr;
  if (front == nullptr) return {model_expression(json)};
  if (front->type != JsonValue::Type::Array)
    throw JsonError("the report's front is not an array", JsonError::npos);
  std::vector<Expr> out;
  for (const JsonValue& entry : front->items) {
    const JsonValue* e = entry.type == JsonValue::Type::Object ? entry.find("expr_json") : nullptr;
    if (e == nullptr || e->type != JsonValue::Type::String)
      throw JsonError("a front entry without an expr_json string", JsonError::npos);
    out.push_back(model_expression(e->text));
  }
  return out;
}

StartOutcome outcome_of(const RefinedResult& result) {
  StartOutcome out;
  for (const FrontEntry& e : result.front) out.front.push_back(e.tree);
  out.generations = result.generations;
  out.stop = result.stop;
  out.wall_clock_ms = result.report.wall_clock_ms;
  return out;
}

RefinedResult merge_starts(const Dataset& data, const RefinedConfig& cfg,
                           const std::vector<StartOutcome>& starts) {
  FpStateGuard fixed_state;
  const auto begin = Clock::now();
  if (starts.empty()) throw std::invalid_argument("no start to merge");
  RefinedResult result;
  result.operators = cfg.operators;
  prepare(data, cfg, result);
  const Dataset& train = result.train;
  const double floor = result.mse_floor;
  const BaselinesReport baselines =
      refined_baselines(train, cfg.n_shuffles, cfg.seed, floor, linear_predictor(train).second);

  // Scored as the end of a search scores its front, so that one start
  // merged alone keeps its own numbers.
  std::vector<Scored> scored;
  uint64_t wall_clock_ms = 0;
  result.stop = StopReason::Exact;
  for (const StartOutcome& s : starts) {
    for (const Expr& tree : s.front) {
      check_features(tree, train);
      FrontEntry e;
      e.tree = tree;
      e.complexity = cfg.operators.complexity(tree);
      e.mse_train = all_rows_mse(tree, train);
      e.bic = refined_bic(e.mse_train, train.weight_total(), e.complexity, floor);
      if (std::isfinite(e.bic)) scored.push_back({std::move(e), tree.to_json()});
    }
    result.generations = saturating_add(result.generations, s.generations);
    wall_clock_ms = saturating_add(wall_clock_ms, s.wall_clock_ms);
    if (conclusiveness(s.stop) < conclusiveness(result.stop)) result.stop = s.stop;
  }
  std::sort(scored.begin(), scored.end(), [](const Scored& a, const Scored& b) {
    return std::tie(a.entry.complexity, a.entry.mse_train, a.key) <
           std::tie(b.entry.complexity, b.entry.mse_train, b.key);
  });
  Front front;
  for (Scored& s : scored) front.keep(std::move(s.entry));
  result.front = front.pareto();
  judge_front(result, baselines, cfg.seed);
  const auto own = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
  result.report.wall_clock_ms = saturating_add(wall_clock_ms, static_cast<uint64_t>(own.count()));
  return result;
}

RefinedResult refine_starts(const Dataset& data, const RefinedConfig& config, uint32_t count,
                            size_t parallel, const RefineProgress* progress) {
  if (count <= 1) return refine(data, config, progress);
  std::vector<StartOutcome> outcomes(count);
  std::vector<std::exception_ptr> failures(count);
  std::atomic<uint32_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex calling;
  const auto work = [&] {
    for (uint32_t i = next++; i < count; i = next++) {
      if (stop.load()) {
        // Stopped before it began: the starts that ran make the report.
        outcomes[i].stop = StopReason::Callback;
        continue;
      }
      RefinedConfig cfg = config;
      cfg.start = i;
      const RefineProgress hook = [&, i](const GenerationInfo& info) {
        const std::lock_guard<std::mutex> one_at_a_time(calling);
        if (stop.load()) return false;
        GenerationInfo mine = info;
        mine.start = i;
        if (!(*progress)(mine)) stop.store(true);
        return !stop.load();
      };
      try {
        outcomes[i] = outcome_of(refine(data, cfg, progress && *progress ? &hook : nullptr));
      } catch (...) {
        failures[i] = std::current_exception();
      }
    }
  };
  // The calling thread takes starts too; a thread the system refuses leaves
  // more of them to the others.
  const size_t threads = std::clamp<size_t>(parallel, 1, count);
  std::vector<std::thread> helpers;
  helpers.reserve(threads - 1);  // so that only the threads themselves can fail
  try {
    for (size_t t = 1; t < threads; ++t) helpers.emplace_back(work);
  } catch (const std::system_error&) {
  }
  work();
  for (std::thread& t : helpers) t.join();
  for (const std::exception_ptr& f : failures)
    if (f) std::rethrow_exception(f);
  return merge_starts(data, config, outcomes);
}

}  // namespace quorvex
