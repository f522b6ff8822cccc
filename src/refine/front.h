#pragma once

// The best formula of each complexity seen during a refined search.

#include <cstdint>
#include <map>
#include <vector>

#include "expr/expr.h"
#include "refine/refine.h"

namespace quorvex {

class Front {
 public:
  // True when (complexity, mse) beats the entry of that complexity, or there
  // is none: then the caller should offer() the tree.
  bool wants(uint32_t complexity, double mse) const;
  // Keeps the tree if it beats the entry of its complexity; returns whether it
  // improved the front noticeably (a new complexity that no simpler entry
  // matches, or a lower BIC by more than a rounding difference).
  bool offer(uint32_t complexity, double mse, double bic, const Expr& tree);
  // From now on an improvement is noticeable only when it lowers the error
  // term of the BIC (rows·ln MSE, the MSE at least `floor`; rows: their
  // weights' sum when weighted) by more than
  // `margin` below both the entry as last noticed and every simpler entry:
  // on noisy data the front otherwise creeps down for ever by fitting noise.
  void set_margin(double margin, double rows, double floor);

  // Keeps the entry if it beats the one of its complexity, or there is none.
  void keep(FrontEntry entry);
  // Removes the entry of that complexity, if any.
  void drop(uint32_t complexity) { entries_.erase(complexity); }

  // Entries no simpler entry matches or beats, by increasing complexity.
  std::vector<FrontEntry> pareto() const;
  // Every entry, by increasing complexity.
  std::vector<FrontEntry> entries() const;
  // The `count` entries of lowest BIC, lowest first (ties by complexity).
  std::vector<FrontEntry> lowest_bic(size_t count) const;
  double best_bic() const;
  double best_mse() const;
  size_t size() const noexcept { return entries_.size(); }

 private:
  std::map<uint32_t, FrontEntry> entries_;
  std::map<uint32_t, double> noticed_;  // each complexity's MSE when last noticed
  double factor_ = 1.0;                 // exp(-margin / rows)
  double floor_ = 0.0;
};

}  // namespace quorvex
