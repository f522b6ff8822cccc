#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "baselines/baselines.h"

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

// Right-hand sides r0 .. r0+g-1 as an n x g row-major block: r = 0 is the
// training target, r = s > 0 the target shuffled with seed + s, exactly as
// Dataset::shuffled_target permutes it.
void fill_targets(const std::vector<double>& y, uint64_t seed, size_t r0, size_t g,
                  std::vector<double>& out, std::vector<double>& scratch) {
  const size_t n = y.size();
  out.resize(n * g);
  for (size_t r = 0; r < g; ++r) {
    const size_t s = r0 + r;
    const double* src = y.data();
    if (s > 0) {
      scratch = y;
      seeded_shuffle(scratch, seed + static_cast<uint64_t>(s));
      src = scratch.data();
    }
    for (size_t i = 0; i < n; ++i) out[i * g + r] = src[i];
  }
}

// Gauss-Jordan with partial pivoting on a v x w row-major matrix whose first
// v columns are the system and the rest are right-hand sides. Pivots and
// multipliers come from the system part only, so each right-hand side sees
// exactly the operations a fit of its own would apply.
void eliminate(std::vector<double>& m, size_t v, size_t w) {
  for (size_t o = 0; o < v; ++o) {
    size_t best = o;
    double best_abs = std::fabs(m[o * w + o]);
    for (size_t r = o + 1; r < v; ++r) {
      const double cand = std::fabs(m[r * w + o]);
      if (cand > best_abs) {  // ties keep the earlier row; NaN never wins
        best = r;
        best_abs = cand;
      }
    }
    if (best != o) std::swap_ranges(&m[o * w], &m[o * w] + w, &m[best * w]);
    const double piv = m[o * w + o];
    if (std::fabs(piv) < 1e-14) continue;  // a NaN pivot is not skipped
    double* row_o = &m[o * w];
    for (size_t c = 0; c < w; ++c) row_o[c] = row_o[c] / piv;
    for (size_t r = 0; r < v; ++r) {
      if (r == o) continue;
      double* row_r = &m[r * w];
      const double f = row_r[o];
      if (f == 0.0) continue;
      for (size_t c = 0; c < w; ++c) row_r[c] = row_r[c] - row_o[c] * f;
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
  std::vector<double> targets, scratch, acc(group);

  for (size_t r0 = 0; r0 < fits; r0 += group) {
    const size_t g = std::min(group, fits - r0);
    fill_targets(y, seed, r0, g, targets, scratch);
    for (size_t begin = 0; begin < n; begin += kBlockRows) {
      const size_t count = std::min(kBlockRows, n - begin);
      const double* x = design.gather(begin, count);
      for (size_t i = 0; i < count; ++i) {
        const double* xi = x + i * v;
        const double* yi = &targets[(begin + i) * g];
        for (size_t j = 0; j < v; ++j) {
          const double xj = xi[j];
          double* bj = &b[j * fits + r0];
          for (size_t r = 0; r < g; ++r) bj[r] = xj * yi[r] + bj[r];
          if (r0 != 0) continue;
          double* aj = &a[j * v];
          for (size_t k = j; k < v; ++k) aj[k] = xj * xi[k] + aj[k];
        }
      }
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

  std::vector<double> coef(v * fits);  // coef[j * fits + r]
  for (size_t j = 0; j < v; ++j) {
    for (size_t r = 0; r < fits; ++r) coef[j * fits + r] = m[j * w + v + r];
  }

  std::vector<double> sse(fits, 0.0);
  for (size_t r0 = 0; r0 < fits; r0 += group) {
    const size_t g = std::min(group, fits - r0);
    if (group != fits) fill_targets(y, seed, r0, g, targets, scratch);
    for (size_t begin = 0; begin < n; begin += kBlockRows) {
      const size_t count = std::min(kBlockRows, n - begin);
      const double* x = design.gather(begin, count);
      for (size_t i = 0; i < count; ++i) {
        const double* xi = x + i * v;
        const double* yi = &targets[(begin + i) * g];
        const double* c0 = &coef[r0];
        for (size_t r = 0; r < g; ++r) acc[r] = c0[r];
        for (size_t j = 1; j < v; ++j) {
          const double xj = xi[j];
          const double* cj = &coef[j * fits + r0];
          for (size_t r = 0; r < g; ++r) acc[r] = acc[r] + xj * cj[r];
        }
        double* s = &sse[r0];
        for (size_t r = 0; r < g; ++r) {
          const double e = yi[r] - acc[r];
          s[r] = s[r] + e * e;
        }
      }
    }
  }

  const double nd = static_cast<double>(n);
  for (double& s : sse) s = s / nd;
  return sse;
}

}  // namespace

BaselinesReport compute(const Dataset& train, size_t n_shuffles, uint64_t seed) {
  const size_t n = train.n_rows();
  const auto k = static_cast<uint32_t>(train.features().size() + 1);
  const std::vector<double> mse = linear_errors(train, n_shuffles, seed);

  BaselinesReport out;
  out.bic_const = bic(const_predictor(train).second, n, 1);
  out.bic_linear = bic(mse[0], n, k);
  std::vector<double> nulls(n_shuffles);
  for (size_t s = 0; s < n_shuffles; ++s) nulls[s] = bic(mse[s + 1], n, k);
  std::tie(out.bic_shuffled_mean, out.bic_shuffled_std) = mean_and_std(nulls);
  return out;
}

BaselinesReport compute_reference(const Dataset& train, size_t n_shuffles, uint64_t seed) {
  const size_t n = train.n_rows();
  const auto k = static_cast<uint32_t>(train.features().size() + 1);

  BaselinesReport out;
  out.bic_const = bic(const_predictor(train).second, n, 1);
  out.bic_linear = bic(linear_predictor(train).second, n, k);
  std::vector<double> nulls;
  for (size_t i = 1; i <= n_shuffles; ++i) {
    const Dataset shuffled = train.shuffled_target(seed + static_cast<uint64_t>(i));
    nulls.push_back(bic(linear_predictor(shuffled).second, n, k));
  }
  std::tie(out.bic_shuffled_mean, out.bic_shuffled_std) = mean_and_std(nulls);
  return out;
}

}  // namespace quorvex
