#pragma once

// The refined search: the building blocks of the classic one (dataset, split,
// baselines, generator and its variation, compiled evaluator, worker pool,
// renderings) with what a scientist needs on top. Every training row counts,
// an exact law beats every near-exact one, each candidate's output is scaled
// by least squares and the constants inside promising candidates are fitted,
// and the result is a front of the best formula for each complexity.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "assess/uncertainty.h"
#include "dataset/dataset.h"
#include "expr/expr.h"
#include "expr/operators.h"
#include "report/report.h"
#include "units/units.h"

namespace quorvex {

struct RefinedConfig {
  size_t population = 1000;
  uint32_t generations = 300;  // the cap, over all runs; most stop earlier
  uint32_t max_depth = 4;      // depth budget of generated and mutated subtrees
  uint64_t seed = 0;
  double test_fraction = 0.2;  // taken as it is: must lie in (0, 1)
  size_t n_shuffles = 30;
  // Seconds of wall clock after which the search returns its best so far;
  // 0 for none. A time limit makes the result depend on the machine's speed.
  double time_limit = 0.0;
  // Generations without an improvement of the front before the search stops;
  // 0 for never.
  uint32_t patience = 25;
  // Fresh runs, each started from the last one's front, after a run stalls
  // (see patience) short of an exact fit.
  uint32_t restarts = 1;
  // Once the best formula is exact (its error at the floor), generations
  // without a lower BIC before stopping; up to four times as many when that
  // formula fits more than 4 constants.
  uint32_t exact_patience = 8;
  // Threads that score, the caller included; 0 for the whole pool. Results
  // do not depend on it.
  size_t max_threads = 0;
  // Which independently seeded search of one discovery this is (see
  // refine/starts.h): 0 is the ordinary search; another start draws the
  // search's random choices from a stream of its own, with the same split,
  // baselines and error floor.
  uint32_t start = 0;
  // The operators formulas are built from and their complexity weights. The
  // least-squares scaling a + b·f is always available.
  OperatorSet operators = OperatorSet::defaults();
  // A warm start: formulas (an earlier front) that join the first population
  // and, scored again on the training rows, the final front.
  std::vector<Expr> start_from;
  // The units of the features and the target (undeclared: the search ignores
  // units). Declared, every formula the search scores, keeps or reports
  // agrees with them (units/check.h).
  DeclaredUnits units;
};

// Why a refined search ended.
enum class StopReason : uint8_t { Generations, Patience, Exact, TimeLimit, Callback };
const char* stop_reason_name(StopReason r) noexcept;

// The best formula of one complexity.
struct FrontEntry {
  uint32_t complexity = 0;  // of the tree, scaling included: see OperatorSet
  double mse_train = 0.0;
  double mse_test = 0.0;
  double bic = 0.0;
  Expr tree = Expr::constant(0.0);
  // The tree as displayed (refine/display.h), set once the front is judged:
  // the report's formula texts; the JSON keeps the tree's exact constants.
  std::string shown;
  std::string latex;
};

struct RefinedResult {
  // The same record as a classic discovery: the front's lowest-BIC formula,
  // simplified, with k its complexity, against baselines computed on the
  // same cleaned training rows.
  DiscoverReport report;
  Expr best = Expr::constant(0.0);
  // The rows the search trained and tested on: finite, split by the seed.
  Dataset train;
  Dataset test;
  std::vector<FrontEntry> front;  // by increasing complexity
  // Rows set aside before the split because the target or a feature value
  // is NaN or infinite.
  size_t rows_set_aside = 0;
  // Share of the cleaned training and test rows on which the best formula is
  // finite (training rows always are).
  double finite_share = 1.0;
  // The best formula's constants (its Const leaves in preorder) with their
  // standard errors on the training rows; empty for a classic result.
  std::vector<FittedConstant> constants;
  // Share of the box the training rows span (in the features the formula
  // reads) on which the best formula is finite: see domain_share. NaN for a
  // classic result.
  double domain_share = std::numeric_limits<double>::quiet_NaN();
  uint32_t generations = 0;  // generations run
  StopReason stop = StopReason::Generations;
  double mse_floor = 0.0;  // the error below which a fit counts as exact
  // The operators searched, with their weights.
  OperatorSet operators = OperatorSet::defaults();
  // The units searched with; declared, the best formula has the target's
  // unit and constant_units the unit of each of its constants.
  DeclaredUnits units;
  std::vector<Unit> constant_units;
};

struct GenerationInfo {
  uint32_t generation = 0;  // generations done
  double elapsed = 0.0;     // seconds
  double best_bic = 0.0;
  size_t front_size = 0;
  bool within_generation = false;  // a pulse within a long generation, not its end
  uint32_t start = 0;              // the start reporting, under refine_starts (refine/starts.h)
};

// Called on the search's thread after each generation, and at least once a
// second within a long one (with the generations done so far); returning
// false stops the search, which then returns its best so far as a normal
// result.
using RefineProgress = std::function<bool(const GenerationInfo&)>;

// The error floor, relative to the variance of the training targets: well
// above the rounding error of a correct formula, far below any measurement
// noise, so that every exact fit scores alike and parsimony decides.
inline constexpr double kRelativeMseFloor = 1e-18;

// The fewest rows a refined discovery accepts after setting rows aside.
inline constexpr size_t kMinRefineRows = 5;

// Positions of the rows a refined discovery keeps: those whose target and
// feature values are all finite and whose weight is not 0, in order.
std::vector<size_t> finite_rows(const Dataset& data);
// The rows whose weight is not 0 (all rows when unweighted): those left out
// of finite_rows for a value are the rows set aside.
size_t weighed_rows(const Dataset& data);

// Runs one refined discovery. Throws std::invalid_argument for settings it
// cannot run (population 0, a test fraction outside (0, 1)) and for data
// that leaves fewer than kMinRefineRows usable rows.
RefinedResult refine(const Dataset& data, const RefinedConfig& config,
                     const RefineProgress* progress = nullptr);

}  // namespace quorvex
