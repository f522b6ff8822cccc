#include "expr/column_cache.h"

#include <algorithm>

namespace quorvex {

namespace {

constexpr size_t kMiB = size_t{1} << 20;

// Functions worth caching: library calls per value, or pow behind a residual
// test. sqrt and pow(x, 1) cost less than reading a cached column.
bool worth_caching(CompiledExpr::Code code) {
  using Code = CompiledExpr::Code;
  return code == Code::Exp || code == Code::Log || code == Code::Pow || code == Code::PowTwo ||
         code == Code::PowMinusOne || code == Code::PowMinusTwo;
}

}  // namespace

size_t ColumnCache::plan(const Expr* const* trees, size_t n_trees, const Dataset& data) {
  pending_.clear();
  ++calls_;
  if (&data != data_ || data.n_rows() != rows_) {
    entries_.clear();
    bytes_ = 0;
    data_ = &data;
    rows_ = data.n_rows();
  }
  if (rows_ == 0) return 0;

  struct Use {
    Key key;
    size_t count;
    const Expr* node;
  };
  std::vector<Use> uses;
  auto walk = [&](auto& self, const Expr& e) -> void {
    switch (e.kind()) {
      case Expr::Kind::Const:
      case Expr::Kind::Feature:
        return;
      case Expr::Kind::Bin:
        self(self, e.left());
        self(self, e.right());
        return;
      default:
        break;
    }
    const Expr& child = e.child();
    if (child.kind() != Expr::Kind::Feature) return self(self, child);
    const int32_t exponent = e.kind() == Expr::Kind::Pow ? e.exponent() : 0;
    const CompiledExpr::Code code = CompiledExpr::unary_code(e.kind(), exponent);
    const size_t c = data.find_column(child.name());
    if (!worth_caching(code) || c == Dataset::npos) return;
    const Key key{code, exponent, data.column(c).data()};
    for (Use& u : uses) {
      if (u.key == key) {
        ++u.count;
        return;
      }
    }
    uses.push_back({key, 1, &e});
  };
  for (size_t t = 0; t < n_trees; ++t) walk(walk, *trees[t]);

  for (const Use& u : uses)
    for (auto& entry : entries_)
      if (entry->key == u.key) entry->last_used = calls_;

  std::stable_sort(uses.begin(), uses.end(),
                   [](const Use& a, const Use& b) { return a.count > b.count; });
  const size_t data_bytes = rows_ * (data.n_columns() + 1) * sizeof(double);
  const size_t budget =
      budget_bytes_ != 0 ? budget_bytes_ : std::max(8 * kMiB, std::min(64 * kMiB, data_bytes));
  const size_t column_bytes = rows_ * sizeof(double);
  for (const Use& u : uses) {
    if (u.count < 2) break;  // computing it costs as much as one use
    if (find(u.key.code, u.key.exponent, u.key.column) != nullptr) continue;
    while (bytes_ + column_bytes > budget) {
      auto idle = std::find_if(entries_.begin(), entries_.end(),
                               [&](const auto& entry) { return entry->last_used != calls_; });
      if (idle == entries_.end()) break;
      entries_.erase(idle);
      bytes_ -= column_bytes;
    }
    if (bytes_ + column_bytes > budget) break;
    entries_.push_back(std::make_unique<Entry>(u.key, calls_, *u.node));
    bytes_ += column_bytes;
    pending_.push_back(entries_.back().get());
  }
  return pending_.size();
}

void ColumnCache::ensure_filled(Entry& entry) const {
  std::call_once(entry.filled, [&] {
    entry.values.resize(rows_);
    CompiledExpr program;
    program.compile(entry.tree, *data_);
    evaluate_rows(program, rows_, entry.values.data());
  });
}

void ColumnCache::fill(size_t i) { ensure_filled(*pending_[i]); }

const double* ColumnCache::find(CompiledExpr::Code code, int32_t exponent,
                                const double* column) const {
  const Key key{code, exponent, column};
  for (const auto& entry : entries_) {
    if (entry->key == key) {
      ensure_filled(*entry);
      return entry->values.data();
    }
  }
  return nullptr;
}

}  // namespace quorvex
