#include "optimizer/niche.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace quorvex {

namespace {

constexpr size_t kMaxNiches = 8;

void walk(const Expr& e, std::unordered_set<std::string_view>& names, uint64_t& flag) {
  switch (e.kind()) {
    case Expr::Kind::Const:
      return;
    case Expr::Kind::Feature:
      names.insert(e.name());
      return;
    case Expr::Kind::Bin:
      walk(e.left(), names, flag);
      walk(e.right(), names, flag);
      return;
    case Expr::Kind::Exp:
    case Expr::Kind::Log:
    case Expr::Kind::Sin:
    case Expr::Kind::Cos:
    case Expr::Kind::Tanh:
      flag = 1;
      walk(e.child(), names, flag);
      return;
    case Expr::Kind::Pow:
    case Expr::Kind::Sqrt:
    case Expr::Kind::Abs:
      walk(e.child(), names, flag);
      return;
  }
}

}  // namespace

uint64_t niche_key(const Expr& tree) {
  std::unordered_set<std::string_view> names;
  uint64_t flag = 0;
  walk(tree, names, flag);
  const uint64_t depth = tree.depth();
  return flag | (depth << 8) | (static_cast<uint64_t>(names.size()) << 16);
}

void append_niche_champions(const std::vector<Expr>& population, const std::vector<double>& scores,
                            std::vector<Expr>& next, size_t population_size) {
  struct Champion {
    size_t index;
    double score;
  };
  std::vector<Champion> champions;  // in order of first appearance
  std::unordered_map<uint64_t, size_t> slot;
  for (size_t i = 0; i < population.size(); ++i) {
    const auto [it, inserted] = slot.try_emplace(niche_key(population[i]), champions.size());
    if (inserted) {
      champions.push_back({i, scores[i]});
    } else if (champions[it->second].score > scores[i]) {
      champions[it->second] = {i, scores[i]};
    }
  }
  std::stable_sort(champions.begin(), champions.end(),
                   [](const Champion& a, const Champion& b) { return a.score < b.score; });
  const size_t take = std::min(champions.size(), kMaxNiches);
  for (size_t j = 0; j < take; ++j)
    if (next.size() < population_size) next.push_back(population[champions[j].index]);
}

}  // namespace quorvex
