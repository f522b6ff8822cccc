#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "dataset/dataset.h"
#include "expr/compiled.h"
#include "expr/expr.h"

namespace quorvex {

// exp, log and powers applied straight to a feature column, computed once
// for all the trees of a search that contain them. Most of a population's
// library calls are of this kind (log(x), pow(x, -2), ...), and the same few
// recur in many trees and generations. The values come from the compiled
// evaluator itself, so a tree reading them gives the same bits as one that
// computes them.
class ColumnCache {
 public:
  // budget_bytes 0: max(8 MiB, min(64 MiB, the dataset's own size)).
  explicit ColumnCache(size_t budget_bytes = 0) noexcept : budget_bytes_(budget_bytes) {}

  // Counts the column functions in `trees` and decides which to compute: those
  // met at least twice, most frequent first, while the budget allows;
  // entries no tree of this call uses make room. Returns how many new ones
  // there are. Each is computed once, by fill(i) for i below that count or
  // by the first find() that asks for it, whichever comes first; these may
  // run on several threads at once (a thread asking for a column that
  // another is computing waits for it). plan() itself must not run
  // concurrently with anything else on the cache.
  size_t plan(const Expr* const* trees, size_t n_trees, const Dataset& data);
  void fill(size_t i);

  // The values of code(column) for every row, or null when not cached.
  const double* find(CompiledExpr::Code code, int32_t exponent, const double* column) const;

  size_t size() const noexcept { return entries_.size(); }
  size_t bytes() const noexcept { return bytes_; }

 private:
  struct Key {
    CompiledExpr::Code code;
    int32_t exponent;
    const double* column;
    bool operator==(const Key&) const = default;
  };
  struct Entry {
    Entry(const Key& k, uint64_t used, const Expr& node) : key(k), last_used(used), tree(node) {}
    Key key;
    uint64_t last_used;
    Expr tree;  // the function applied to the feature, compiled to fill `values`
    std::once_flag filled;
    std::vector<double> values;
  };
  void ensure_filled(Entry& entry) const;

  size_t budget_bytes_;
  size_t bytes_ = 0;
  uint64_t calls_ = 0;
  const Dataset* data_ = nullptr;
  size_t rows_ = 0;
  std::vector<std::unique_ptr<Entry>> entries_;
  std::vector<Entry*> pending_;  // planned by the last plan()
};

}  // namespace quorvex
