#include "refine/front.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace quorvex {

namespace {
constexpr double kBicTolerance = 1e-6;
}

bool Front::wants(uint32_t complexity, double mse) const {
  const auto it = entries_.find(complexity);
  return it == entries_.end() || mse < it->second.mse_train;
}

bool Front::offer(uint32_t complexity, double mse, double bic, const Expr& tree) {
  const auto it = entries_.find(complexity);
  if (it != entries_.end() && !(mse < it->second.mse_train)) return false;
  bool noticeable = it == entries_.end() || bic < it->second.bic - kBicTolerance;
  if (factor_ < 1.0) {
    double reference = std::numeric_limits<double>::infinity();
    if (const auto n = noticed_.find(complexity); n != noticed_.end()) reference = n->second;
    for (const auto& [c, e] : entries_) {
      if (c >= complexity) break;
      reference = std::min(reference, e.mse_train);
    }
    noticeable = std::max(mse, floor_) < reference * factor_;
    if (noticeable) noticed_[complexity] = mse;
  } else if (noticeable) {
    // A new complexity counts only if no simpler entry is at least as good.
    for (const auto& [c, e] : entries_) {
      if (c >= complexity) break;
      if (e.mse_train <= mse) {
        noticeable = false;
        break;
      }
    }
  }
  FrontEntry entry;
  entry.complexity = complexity;
  entry.mse_train = mse;
  entry.bic = bic;
  entry.tree = tree;
  entries_[complexity] = std::move(entry);
  return noticeable;
}

void Front::set_margin(double margin, double rows, double floor) {
  factor_ = rows > 0.0 ? std::exp(-margin / rows) : 1.0;
  floor_ = floor;
}

void Front::keep(FrontEntry entry) {
  const auto it = entries_.find(entry.complexity);
  if (it == entries_.end() || entry.mse_train < it->second.mse_train)
    entries_[entry.complexity] = std::move(entry);
}

std::vector<FrontEntry> Front::entries() const {
  std::vector<FrontEntry> out;
  out.reserve(entries_.size());
  for (const auto& [c, e] : entries_) out.push_back(e);
  return out;
}

std::vector<FrontEntry> Front::lowest_bic(size_t count) const {
  std::vector<FrontEntry> out = entries();
  std::stable_sort(out.begin(), out.end(),
                   [](const FrontEntry& a, const FrontEntry& b) { return a.bic < b.bic; });
  if (out.size() > count) out.resize(count);
  return out;
}

std::vector<FrontEntry> Front::pareto() const {
  std::vector<FrontEntry> out;
  double best = std::numeric_limits<double>::infinity();
  for (const auto& [c, e] : entries_) {
    if (e.mse_train < best) {
      out.push_back(e);
      best = e.mse_train;
    }
  }
  return out;
}

double Front::best_mse() const {
  double best = std::numeric_limits<double>::infinity();
  for (const auto& [c, e] : entries_)
    if (e.mse_train < best) best = e.mse_train;
  return best;
}

double Front::best_bic() const {
  double best = std::numeric_limits<double>::infinity();
  for (const auto& [c, e] : entries_)
    if (e.bic < best) best = e.bic;
  return best;
}

}  // namespace quorvex
