#include "optimizer/score_memo.h"

#include <algorithm>
#include <utility>

namespace quorvex {

const double* ScoreMemo::find(const Expr& tree, uint64_t hash) const noexcept {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), hash,
                             [](const Entry& e, uint64_t h) { return e.hash < h; });
  for (; it != entries_.end() && it->hash == hash; ++it)
    if (it->tree == tree) return &it->score;
  return nullptr;
}

void ScoreMemo::replace(const std::vector<Expr>& population, const std::vector<uint64_t>& hashes,
                        const std::vector<double>& scores, const std::vector<size_t>& distinct) {
  // Trees already held are moved over, not copied again (a moved-from tree
  // must not be compared any more).
  std::vector<bool> moved(entries_.size(), false);
  std::vector<Entry> next;
  next.reserve(distinct.size());
  for (size_t i : distinct) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), hashes[i],
                               [](const Entry& e, uint64_t h) { return e.hash < h; });
    for (; it != entries_.end() && it->hash == hashes[i]; ++it) {
      const size_t k = static_cast<size_t>(it - entries_.begin());
      if (!moved[k] && it->tree == population[i]) {
        moved[k] = true;
        break;
      }
    }
    if (it != entries_.end() && it->hash == hashes[i]) {
      next.push_back({hashes[i], std::move(it->tree), scores[i]});
    } else {
      next.push_back({hashes[i], population[i], scores[i]});
    }
  }
  std::sort(next.begin(), next.end(),
            [](const Entry& a, const Entry& b) { return a.hash < b.hash; });
  entries_ = std::move(next);
}

}  // namespace quorvex
