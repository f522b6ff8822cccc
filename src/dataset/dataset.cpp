#include "dataset/dataset.h"

#include <numeric>
#include <utility>

namespace quorvex {

Dataset::Dataset(std::string target_name) : target_name_(std::move(target_name)) {}

void Dataset::add_feature(std::string name) {
  const size_t position = features_.size();
  auto it = column_index_.find(std::string_view(name));
  size_t c;
  if (it == column_index_.end()) {
    c = columns_.size();
    columns_.emplace_back(targets_.size(), 0.0);
    column_source_.push_back(position);
    column_index_.emplace(name, c);
  } else {
    c = it->second;
    column_source_[c] = position;  // a later position wins
  }
  position_column_.push_back(c);
  features_.push_back(std::move(name));
}

void Dataset::push_row(const double* values, double target) {
  for (size_t c = 0; c < columns_.size(); ++c) columns_[c].push_back(values[column_source_[c]]);
  targets_.push_back(target);
  if (weighted()) {
    weights_.push_back(1.0);
    weight_total_ += 1.0;
  }
}

void Dataset::set_weights(std::vector<double> weights) {
  weights_ = std::move(weights);
  weighted_ = true;
  weight_total_ = 0.0;
  for (double w : weights_) weight_total_ += w;
}

void Dataset::drop_weights() noexcept {
  weights_ = {};
  weighted_ = false;
  weight_total_ = 0.0;
}

void Dataset::reserve_rows(size_t rows) {
  for (auto& col : columns_) col.reserve(rows);
  targets_.reserve(rows);
  if (weighted()) weights_.reserve(rows);
}

size_t Dataset::find_column(std::string_view name) const noexcept {
  auto it = column_index_.find(name);
  return it == column_index_.end() ? npos : it->second;
}

double Dataset::value(size_t row, std::string_view name) const noexcept {
  const size_t c = find_column(name);
  return c == npos ? 0.0 : columns_[c][row];
}

Dataset Dataset::gather(const size_t* positions, size_t count) const {
  Dataset out(target_name_);
  out.features_ = features_;
  out.position_column_ = position_column_;
  out.column_source_ = column_source_;
  out.column_index_ = column_index_;
  out.columns_.resize(columns_.size());
  for (size_t c = 0; c < columns_.size(); ++c) {
    auto& dst = out.columns_[c];
    const auto& src = columns_[c];
    dst.resize(count);
    for (size_t k = 0; k < count; ++k) dst[k] = src[positions[k]];
  }
  out.targets_.resize(count);
  for (size_t k = 0; k < count; ++k) out.targets_[k] = targets_[positions[k]];
  if (weighted()) {
    std::vector<double> w(count);
    for (size_t k = 0; k < count; ++k) w[k] = weights_[positions[k]];
    out.set_weights(std::move(w));
  }
  return out;
}

size_t train_count(double test_fraction, size_t n) noexcept {
  const double t = (1.0 - test_fraction) * static_cast<double>(n);
  if (!(t > 0.0)) return 0;  // NaN and negatives
  // 2^64 is the first double past the largest size_t; converting it is undefined.
  if (t >= 18446744073709551616.0) return static_cast<size_t>(-1);
  return static_cast<size_t>(t);
}

std::pair<Dataset, Dataset> Dataset::split(double test_fraction, uint64_t seed) const {
  const size_t n = n_rows();
  std::vector<size_t> p(n);
  std::iota(p.begin(), p.end(), size_t{0});
  seeded_shuffle(p, seed);
  const size_t n_train = std::min(train_count(test_fraction, n), n);
  return {gather(p.data(), n_train), gather(p.data() + n_train, n - n_train)};
}

Dataset Dataset::shuffled_target(uint64_t seed) const {
  Dataset out(*this);
  seeded_shuffle(out.targets_, seed);
  return out;
}

}  // namespace quorvex
