#include "optimizer/score_memo.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <string_view>
#include <utility>

namespace quorvex {

namespace {

uint64_t mix(uint64_t h, uint64_t v) noexcept {
  // splitmix64's finaliser over the running value and the next word.
  uint64_t z = h ^ (v + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2));
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

uint64_t hash_node(const Expr& e, uint64_t h) noexcept {
  h = mix(h, static_cast<uint64_t>(e.kind()));
  switch (e.kind()) {
    case Expr::Kind::Const:
      return mix(h, std::bit_cast<uint64_t>(e.value()));
    case Expr::Kind::Feature:
      return mix(h, std::hash<std::string_view>{}(e.name()));
    case Expr::Kind::Bin:
      h = mix(h, static_cast<uint64_t>(e.op()));
      return hash_node(e.right(), hash_node(e.left(), h));
    case Expr::Kind::Pow:
      h = mix(h, static_cast<uint64_t>(static_cast<uint32_t>(e.exponent())));
      return hash_node(e.child(), h);
    default:
      return hash_node(e.child(), h);
  }
}

}  // namespace

uint64_t ScoreMemo::hash(const Expr& tree) noexcept { return hash_node(tree, 0); }

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
