#pragma once

// One run of the refined search: a population scored with least-squares
// scaling, the inner constants of its best candidates fitted, the best
// formula of each complexity kept on a front, and the next population bred
// from both.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "expr/generator.h"
#include "refine/deadline.h"
#include "refine/front.h"
#include "refine/pieces.h"
#include "refine/refine.h"
#include "refine/scaled.h"
#include "refine/seeds.h"
#include "rng/lcg.h"
#include "units/check.h"

namespace quorvex {

struct Candidate {
  explicit Candidate(Expr t) : tree(std::move(t)) {}
  Expr tree;
  ScaledScore score;
  bool scored = false;
  uint8_t fitted = 0;  // 1: a few steps, 2: fully
};

class Search {
 public:
  // `train`, `cfg` and `seeds` must outlive the search. Past the deadline,
  // candidates are no longer scored or fitted: the generation ends at once.
  Search(const Dataset& train, const RefinedConfig& cfg, double floor, const Seeds& seeds,
         Deadline deadline = {});

  // Offers powers with fitted exponents (real_power.h) on the positive
  // features, as pieces and as the fit in logs' seed; before seed_population.
  void widen();
  // A run after one that stalled: the seeds held back from a first run
  // (a rational seed that is not exact) join; before seed_population.
  void restarting() noexcept { restart_ = true; }
  // `carried`: the front of an earlier run, kept whole.
  void seed_population(const std::vector<FrontEntry>& carried);
  void score();
  // Fits the inner constants: a few steps for every new candidate that has
  // constants (a good structure with poor random constants would otherwise
  // never rank), many steps for the best ones.
  void fit();
  // Offers every scored candidate to the front; true when it improved.
  bool update_front();
  void breed();
  // Puts a tree in the bred population in place of its last child.
  void inject(Expr tree);

  // Called on the constructing thread at least once every `interval` while a
  // generation is scored and fitted; false stops the search, which then ends
  // the generation at once (see stopped()).
  void set_pulse(std::function<bool()> pulse,
                 Deadline::Clock::duration interval = std::chrono::seconds(1)) {
    pulse_ = std::move(pulse);
    pulse_interval_ = interval;
  }
  bool stopped() const noexcept { return stop_.load(std::memory_order_relaxed); }
  // As if the pulse had said stop: the next generation ends at once.
  void stop() noexcept { stop_.store(true, std::memory_order_relaxed); }

  const Front& front() const noexcept { return front_; }
  const std::vector<Candidate>& population() const noexcept { return pop_; }

 private:
  // A function a part of a tree can be wrapped in.
  struct Wrap {
    Expr::Kind kind = Expr::Kind::Sqrt;
    int32_t exponent = 0;
  };

  std::vector<size_t> ranking() const;
  // Whether the candidates left in this generation are to be skipped.
  bool halted();
  void keep_elites(const std::vector<size_t>& order, std::vector<Candidate>& next);
  Expr grown_or_wrapped(double r);
  // A child bred from the population (or a new tree).
  Expr child();
  // Whether a tree could be a formula for the target: always without units.
  bool may_agree(const Expr& tree) const { return !units_ || units_allow(tree, *units_); }
  const UnitCheck* units() const { return units_ ? &*units_ : nullptr; }
  Expr wrapped(const Expr& part, const Wrap& wrap) const;

  const Dataset& train_;
  const RefinedConfig& cfg_;
  double floor_;
  const Seeds& seeds_;
  Deadline deadline_;
  std::function<bool()> pulse_;
  std::thread::id owner_ = std::this_thread::get_id();
  Deadline::Clock::time_point last_pulse_{};
  Deadline::Clock::duration pulse_interval_{};
  std::atomic<bool> stop_{false};
  Dataset sample_;
  Dataset fit_rows_;
  ExprGen gen_;
  LawPieces pieces_;
  std::vector<Op> growths_;  // the binary operators of the set
  std::vector<Wrap> wraps_;
  Lcg select_;
  std::optional<UnitCheck> units_;
  bool restart_ = false;
  std::vector<Candidate> pop_;
  Front front_;
};

}  // namespace quorvex
