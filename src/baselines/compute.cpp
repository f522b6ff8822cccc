#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "baselines/baselines.h"
#include "baselines/eliminate.h"

namespace quorvex {
namespace {

// Rows gathered from the columns per block: small enough to stay in cache.
constexpr size_t kBlockRows = 128;
// Upper bound on the shuffled targets held at once (doubles); larger sets are
// fitted in groups of nulls, re-drawing each group's shuffles for the error pass.
constexpr size_t kTargetBudget = size_t{1} << 22;

std::pair<double, double> mean_and_std(const std::vector<double>& values) {
  const double m = static_cast<double>(std::max<size_t>(values.size(), 1));
  double sum = -0.0;
  for (double b : values) sum = sum + b;
  const double mean = sum / m;
  double sq = -0.0;
  for (double b : values) {
    const double d = b - mean;
    sq = sq + d * d;
  }
  return {mean, std::sqrt(sq / m)};
}

// The feature columns of a dataset in list order, gathered into row-major
// blocks with the intercept column in front.
class DesignBlocks {
 public:
  explicit DesignBlocks(const Dataset& data)
      : v_(data.features().size() + 1), buf_(kBlockRows * v_) {
    cols_.reserve(v_ - 1);
    for (size_t j = 0; j + 1 < v_; ++j)
      cols_.push_back(data.column(data.column_of_feature(j)).data());
  }

  size_t width() const noexcept { return v_; }

  // Fills rows [begin, begin + count) and returns them, row-major.
  const double* gather(size_t begin, size_t count) {
    for (size_t i = 0; i < count; ++i) buf_[i * v_] = 1.0;
    for (size_t j = 1; j < v_; ++j) {
      const double* col = cols_[j - 1] + begin;
      for (size_t i = 0; i < count; ++i) buf_[i * v_ + j] = col[i];
    }
    return buf_.data();
  }

 private:
  size_t v_;
  std::vector<const double*> cols_;
  std::vector<double> buf_;
};

// The right-hand sides of a group of fits r0 .. r0+g-1, gathered into
// row-major blocks like the design: fit 0 is the training target, fit s > 0
// the target shuffled with seed + s, exactly as Dataset::shuffled_target
// permutes it.
class TargetBlocks {
 public:
  TargetBlocks(const std::vector<double>& y, uint64_t seed, size_t group)
      : y_(y), seed_(seed), shuffled_(group), cols_(group), buf_(kBlockRows * group) {}

  void fill(size_t r0, size_t g) {
    g_ = g;
    for (size_t r = 0; r < g; ++r) {
      const size_t s = r0 + r;
      if (s == 0) {
        cols_[r] = y_.data();
        continue;
      }
      shuffled_[r] = y_;
      seeded_shuffle(shuffled_[r], seed_ + static_cast<uint64_t>(s));
      cols_[r] = shuffled_[r].data();
    }
  }

  // Rows [begin, begin + count), row-major with width g.
  const double* gather(size_t begin, size_t count) {
    for (size_t r = 0; r < g_; ++r) {
      const double* col = cols_[r] + begin;
      for (size_t i = 0; i < count; ++i) buf_[i * g_ + r] = col[i];
    }
    return buf_.data();
  }

 private:
  const std::vector<double>& y_;
  uint64_t seed_;
  size_t g_ = 0;
  std::vector<std::vector<double>> shuffled_;
  std::vector<const double*> cols_;
  std::vector<double> buf_;
};

// Adds R rows of the design block x (row-major, width v) and of the targets y
// (row-major, width g) into the upper triangle of a (skipped when null) and
// into b (row stride `stride`). Each sum stays in a register across the R
// rows, and every entry still adds its rows one by one in row order. The left
// factor of each product is read from xl: x itself, or its rows times their
// weights.
template <size_t R>
void accumulate_rows(const double* xl, const double* x, const double* y, size_t v, size_t g,
                     double* a, double* b, size_t stride) {
  for (size_t j = 0; j < v; ++j) {
    double xj[R];
    for (size_t q = 0; q < R; ++q) xj[q] = xl[q * v + j];
    double* bj = b + j * stride;
    for (size_t r = 0; r < g; ++r) {
      double sum = bj[r];
      for (size_t q = 0; q < R; ++q) sum = xj[q] * y[q * g + r] + sum;
      bj[r] = sum;
    }
    if (a == nullptr) continue;
    double* aj = a + j * v;
    for (size_t k = j; k < v; ++k) {
      double sum = aj[k];
      for (size_t q = 0; q < R; ++q) sum = xj[q] * x[q * v + k] + sum;
      aj[k] = sum;
    }
  }
}

void accumulate_block(const double* xl, const double* x, const double* y, size_t count, size_t v,
                      size_t g, double* a, double* b, size_t stride) {
  size_t i = 0;
  for (; i + 4 <= count; i += 4)
    accumulate_rows<4>(xl + i * v, x + i * v, y + i * g, v, g, a, b, stride);
  for (; i < count; ++i) accumulate_rows<1>(xl + i * v, x + i * v, y + i * g, v, g, a, b, stride);
}

// The rows of a design block times their weights.
const double* weighted_rows(const double* x, const double* w, size_t count, size_t v,
                            std::vector<double>& out) {
  out.resize(count * v);
  for (size_t i = 0; i < count; ++i)
    for (size_t j = 0; j < v; ++j) out[i * v + j] = w[i] * x[i * v + j];
  return out.data();
}

// Lanes of predictions kept in registers while the features are added.
constexpr size_t kLanes = 8;

// Adds the squared errors of one row, times its weight wi, to sse[0..g): the
// predictions c0 + x1*c1 + ... left to right, kLanes fits at a time.
void add_row_errors(const double* xi, const double* yi, double wi, size_t v, size_t g,
                    const double* coef, size_t stride, double* sse) {
  for (size_t r0 = 0; r0 < g; r0 += kLanes) {
    double pred[kLanes];
    for (size_t q = 0; q < kLanes; ++q) pred[q] = coef[r0 + q];
    for (size_t j = 1; j < v; ++j) {
      const double xj = xi[j];
      const double* cj = coef + j * stride + r0;
      for (size_t q = 0; q < kLanes; ++q) pred[q] = pred[q] + xj * cj[q];
    }
    const size_t lanes = std::min(kLanes, g - r0);
    for (size_t q = 0; q < lanes; ++q) {
      const double e = yi[r0 + q] - pred[q];
      sse[r0 + q] = sse[r0 + q] + wi * (e * e);
    }
  }
}

// Mean squared errors of the linear fit to the training target (entry 0) and
// to each of the n_shuffles shuffled targets. All fits share XᵀX, the ridge
// and the elimination; only the right-hand sides and the errors are per fit.
std::vector<double> linear_errors(const Dataset& train, size_t n_shuffles, uint64_t seed) {
  const size_t n = train.n_rows();
  const size_t fits = n_shuffles + 1;
  if (n == 0) return std::vector<double>(fits, std::numeric_limits<double>::infinity());

  DesignBlocks design(train);
  const size_t v = design.width();
  const std::vector<double>& y = train.targets();
  const size_t group = std::clamp<size_t>(kTargetBudget / n, 1, fits);

  std::vector<double> a(v * v, 0.0);     // upper triangle only; A is symmetric bit for bit
  std::vector<double> b(v * fits, 0.0);  // b[j * fits + r]
  TargetBlocks targets(y, seed, group);
  // Weights stay with their rows; the shuffles move the targets alone.
  const double* weights = train.weighted() ? train.weights().data() : nullptr;
  std::vector<double> scaled;

  for (size_t r0 = 0; r0 < fits; r0 += group) {
    const size_t g = std::min(group, fits - r0);
    targets.fill(r0, g);
    for (size_t begin = 0; begin < n; begin += kBlockRows) {
      const size_t count = std::min(kBlockRows, n - begin);
      const double* x = design.gather(begin, count);
      const double* xl = weights ? weighted_rows(x, weights + begin, count, v, scaled) : x;
      accumulate_block(xl, x, targets.gather(begin, count), count, v, g,
                       r0 == 0 ? a.data() : nullptr, &b[r0], fits);
    }
  }

  double trace = a[0];
  for (size_t j = 1; j < v; ++j) trace = trace + a[j * v + j];
  const double lambda = (trace * 1e-8) / static_cast<double>(v);

  const size_t w = v + fits;
  std::vector<double> m(v * w);
  for (size_t j = 0; j < v; ++j) {
    for (size_t k = 0; k < v; ++k) m[j * w + k] = k >= j ? a[j * v + k] : a[k * v + j];
    m[j * w + j] = m[j * w + j] + lambda;
    for (size_t r = 0; r < fits; ++r) m[j * w + v + r] = b[j * fits + r];
  }
  eliminate(m, v, w);

  // coef[j * padded + r]: a group's last lanes may run up to kLanes - 1 past
  // its end, into the next group or the zero padding; those lanes are unused.
  const size_t padded = fits + kLanes;
  std::vector<double> coef(v * padded, 0.0);
  for (size_t j = 0; j < v; ++j) {
    for (size_t r = 0; r < fits; ++r) coef[j * padded + r] = m[j * w + v + r];
  }

  std::vector<double> sse(fits, 0.0);
  for (size_t r0 = 0; r0 < fits; r0 += group) {
    const size_t g = std::min(group, fits - r0);
    if (group != fits) targets.fill(r0, g);
    for (size_t begin = 0; begin < n; begin += kBlockRows) {
      const size_t count = std::min(kBlockRows, n - begin);
      const double* x = design.gather(begin, count);
      const double* t = targets.gather(begin, count);
      for (size_t i = 0; i < count; ++i) {
        const double wi = weights ? weights[begin + i] : 1.0;
        add_row_errors(x + i * v, t + i * g, wi, v, g, &coef[r0], padded, &sse[r0]);
      }
    }
  }

  const double nd = train.weight_total();
  for (double& s : sse) s = s / nd;
  return sse;
}

// The BIC of an error on the rows of `train`: n their count, or their weights' sum.
double bic_on(const Dataset& train, double mse, uint32_t k) {
  return train.weighted() ? weighted_bic(mse, train.weight_total(), k)
                          : bic(mse, train.n_rows(), k);
}

}  // namespace

BaselinesReport compute(const Dataset& train, size_t n_shuffles, uint64_t seed) {
  const auto k = static_cast<uint32_t>(train.features().size() + 1);
  const std::vector<double> mse = linear_errors(train, n_shuffles, seed);

  BaselinesReport out;
  out.bic_const = bic_on(train, const_predictor(train).second, 1);
  out.bic_linear = bic_on(train, mse[0], k);
  std::vector<double> nulls(n_shuffles);
  for (size_t s = 0; s < n_shuffles; ++s) nulls[s] = bic_on(train, mse[s + 1], k);
  std::tie(out.bic_shuffled_mean, out.bic_shuffled_std) = mean_and_std(nulls);
  return out;
}

BaselinesReport compute_reference(const Dataset& train, size_t n_shuffles, uint64_t seed) {
  const auto k = static_cast<uint32_t>(train.features().size() + 1);

  BaselinesReport out;
  out.bic_const = bic_on(train, const_predictor(train).second, 1);
  out.bic_linear = bic_on(train, linear_predictor(train).second, k);
  std::vector<double> nulls;
  for (size_t i = 1; i <= n_shuffles; ++i) {
    const Dataset shuffled = train.shuffled_target(seed + static_cast<uint64_t>(i));
    nulls.push_back(bic_on(train, linear_predictor(shuffled).second, k));
  }
  std::tie(out.bic_shuffled_mean, out.bic_shuffled_std) = mean_and_std(nulls);
  return out;
}

}  // namespace quorvex
