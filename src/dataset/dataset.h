#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quorvex {

class Dataset;

// A view of one observation. Reading a name the row does not hold (an unknown
// name, or a feature added after the row was pushed) gives 0.0.
class Row {
 public:
  Row(const Dataset& dataset, size_t index) noexcept : dataset_(&dataset), index_(index) {}

  double value(std::string_view name) const noexcept;
  double target() const noexcept;

 private:
  const Dataset* dataset_;
  size_t index_;
};

// Named feature columns, a target column and rows, stored column-wise: one
// contiguous column per distinct feature name. The ordered feature list keeps
// duplicates; a duplicated name has one column holding the value given at the
// later position. Rows pushed before a feature existed hold 0.0 in its column,
// which is exactly what reading an absent feature gives.
class Dataset {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);

  explicit Dataset(std::string target_name = {});

  const std::string& target_name() const noexcept { return target_name_; }
  const std::vector<std::string>& features() const noexcept { return features_; }
  size_t n_rows() const noexcept { return targets_.size(); }

  void add_feature(std::string name);

  // values[i] is the value of features()[i]; exactly features().size() values
  // are read (none when there are no features, so values may then be anything).
  void push_row(const double* values, double target);
  void reserve_rows(size_t rows);

  // Distinct feature names, each with its own column, in first-seen order.
  size_t n_columns() const noexcept { return columns_.size(); }
  size_t find_column(std::string_view name) const noexcept;
  // The column that holds feature position `position` of features().
  size_t column_of_feature(size_t position) const noexcept { return position_column_[position]; }
  const std::vector<double>& column(size_t c) const noexcept { return columns_[c]; }
  const std::vector<double>& targets() const noexcept { return targets_; }

  // Row weights, frequency weights: a row of weight 2 counts as that row
  // twice. Empty when the rows are unweighted; rows pushed later weigh 1.
  const std::vector<double>& weights() const noexcept { return weights_; }
  bool weighted() const noexcept { return weighted_; }
  // `weights` holds n_rows() values, checked by the caller (finite, >= 0).
  void set_weights(std::vector<double> weights);
  void drop_weights() noexcept;
  // The weights' sum in row order, or the row count when unweighted: the n
  // of a weighted mean and of a weighted BIC.
  double weight_total() const noexcept {
    return weighted() ? weight_total_ : static_cast<double>(targets_.size());
  }

  double value(size_t row, std::string_view name) const noexcept;
  Row row(size_t i) const noexcept { return Row(*this, i); }

  // Seeded Fisher-Yates shuffle of the row positions, then the first n_train
  // shuffled rows go to train and the rest to test. Returns (train, test).
  std::pair<Dataset, Dataset> split(double test_fraction, uint64_t seed) const;
  // A copy whose targets are permuted by the same shuffle; features stay put.
  Dataset shuffled_target(uint64_t seed) const;
  // A copy holding rows positions[0..count) of this one, in that order.
  Dataset gather(const size_t* positions, size_t count) const;

 private:
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };

  std::string target_name_;
  std::vector<std::string> features_;
  std::vector<size_t> position_column_;
  std::vector<size_t> column_source_;  // the last feature position naming each column
  std::unordered_map<std::string, size_t, NameHash, std::equal_to<>> column_index_;
  std::vector<std::vector<double>> columns_;
  std::vector<double> targets_;
  std::vector<double> weights_;
  double weight_total_ = 0.0;
  bool weighted_ = false;
};

// A row's weight as loops read it, so that one loop serves both cases: the
// unit weights multiply by 1 (exact, so unweighted sums keep their bits).
struct UnitWeights {
  double operator[](size_t) const noexcept { return 1.0; }
};
struct RowWeights {
  const double* w;
  double operator[](size_t i) const noexcept { return w[i]; }
};
// f(UnitWeights{}) for unweighted data, else f(RowWeights{...}) starting at row
// `first`.
template <typename F>
decltype(auto) with_weights(const Dataset& data, F&& f, size_t first = 0) {
  if (data.weighted()) return f(RowWeights{data.weights().data() + first});
  return f(UnitWeights{});
}

inline double Row::target() const noexcept { return dataset_->targets()[index_]; }
inline double Row::value(std::string_view name) const noexcept {
  return dataset_->value(index_, name);
}

// The shuffle shared by split and shuffled_target: for i = n-1 down to 1,
// swap items i and below(i + 1). Draws nothing for fewer than two items.
template <typename T>
void seeded_shuffle(std::vector<T>& items, uint64_t seed);

// Training-row count (1 - test_fraction) * n, truncated toward zero and
// saturated: NaN or negative gives 0, too large gives the largest size_t.
size_t train_count(double test_fraction, size_t n) noexcept;

}  // namespace quorvex

#include "rng/lcg.h"

namespace quorvex {
template <typename T>
void seeded_shuffle(std::vector<T>& items, uint64_t seed) {
  const size_t n = items.size();
  if (n < 2) return;
  Lcg rng(seed);
  for (size_t i = n - 1; i >= 1; --i) {
    const size_t j = rng.below(i + 1);
    std::swap(items[i], items[j]);
  }
}
}  // namespace quorvex
