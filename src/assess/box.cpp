#include "assess/box.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "expr/functions.h"

namespace quorvex {

namespace {

constexpr double kPi = std::numbers::pi;
// Deeper formulas are left undecided rather than walked on the stack.
constexpr int kMaxDepth = 200;

// An enclosure of a formula's values; `bad` when it may be undefined or
// unbounded somewhere in the box.
struct Interval {
  double lo = 0.0;
  double hi = 0.0;
  bool bad = false;
};

Interval bad() { return {0.0, 0.0, true}; }

Interval checked(double lo, double hi) {
  if (!std::isfinite(lo) || !std::isfinite(hi) || lo > hi) return bad();
  return {lo, hi, false};
}

Interval mul(Interval a, Interval b) {
  const double p[4] = {a.lo * b.lo, a.lo * b.hi, a.hi * b.lo, a.hi * b.hi};
  return checked(*std::min_element(p, p + 4), *std::max_element(p, p + 4));
}

// x^n for a whole n >= 0.
Interval power(Interval a, int32_t n) {
  if (n == 0) return {1.0, 1.0, false};
  const double lo = std::pow(a.lo, n);
  const double hi = std::pow(a.hi, n);
  if (n % 2 == 1 || a.lo >= 0.0) return checked(std::min(lo, hi), std::max(lo, hi));
  if (a.hi <= 0.0) return checked(hi, lo);
  return checked(0.0, std::max(lo, hi));
}

// sin over [lo, hi]: the ends, and ±1 where a crest or trough lies within.
Interval sine(Interval a) {
  if (a.hi - a.lo >= 2.0 * kPi) return {-1.0, 1.0, false};
  double lo = std::min(std::sin(a.lo), std::sin(a.hi));
  double hi = std::max(std::sin(a.lo), std::sin(a.hi));
  if (std::ceil((a.lo - kPi / 2) / (2 * kPi)) * 2 * kPi + kPi / 2 <= a.hi) hi = 1.0;
  if (std::ceil((a.lo + kPi / 2) / (2 * kPi)) * 2 * kPi - kPi / 2 <= a.hi) lo = -1.0;
  return checked(lo, hi);
}

struct Box {
  std::vector<double> lo, hi;
};

class Checker {
 public:
  Checker(const Expr& tree, const Dataset& train, double spread) {
    const auto& names = train.features();
    for (size_t j = 0; j < names.size(); ++j) {
      const auto& col = train.column(train.column_of_feature(j));
      const auto [mn, mx] = std::minmax_element(col.begin(), col.end());
      names_.push_back(names[j]);
      lo_.push_back(col.empty() ? 0.0 : *mn);
      hi_.push_back(col.empty() ? 0.0 : *mx);
    }
    used_.assign(names_.size(), false);
    mark_used(tree, 0);
    const auto& y = train.targets();
    double sum = 0.0;
    for (double v : y) sum += v;
    centre_ = y.empty() ? 0.0 : sum / static_cast<double>(y.size());
    const auto [ymn, ymx] = std::minmax_element(y.begin(), y.end());
    const double range = y.empty() ? 0.0 : *ymx - *ymn;
    // A constant target still allows formulas near its value.
    bound_ = spread * std::max(range, 1e-12 * std::max(1.0, std::fabs(centre_)));
  }

  void mark_used(const Expr& e, int depth) {
    if (depth > kMaxDepth) return;
    if (e.kind() == Expr::Kind::Feature) {
      const size_t j = index_of(e.name());
      if (j < used_.size()) used_[j] = true;
    } else if (e.kind() == Expr::Kind::Bin) {
      mark_used(e.left(), depth + 1);
      mark_used(e.right(), depth + 1);
    } else if (e.kind() != Expr::Kind::Const) {
      mark_used(e.child(), depth + 1);
    }
  }

  size_t index_of(const std::string& name) const {
    return static_cast<size_t>(std::find(names_.begin(), names_.end(), name) - names_.begin());
  }

  Interval bounds(const Expr& e, const Box& box, int depth) const {
    if (depth > kMaxDepth) return bad();
    switch (e.kind()) {
      case Expr::Kind::Const:
        return checked(e.value(), e.value());
      case Expr::Kind::Feature: {
        const size_t j = index_of(e.name());
        if (j >= names_.size()) return bad();
        return checked(box.lo[j], box.hi[j]);
      }
      case Expr::Kind::Bin: {
        const Interval a = bounds(e.left(), box, depth + 1);
        const Interval b = bounds(e.right(), box, depth + 1);
        if (a.bad || b.bad) return bad();
        switch (e.op()) {
          case Op::Add:
            return checked(a.lo + b.lo, a.hi + b.hi);
          case Op::Sub:
            return checked(a.lo - b.hi, a.hi - b.lo);
          case Op::Mul:
            return mul(a, b);
          case Op::Div:
            if (b.lo <= 0.0 && b.hi >= 0.0) return bad();
            return mul(a, checked(1.0 / b.hi, 1.0 / b.lo));
        }
        return bad();
      }
      default:
        break;
    }
    const Interval a = bounds(e.child(), box, depth + 1);
    if (a.bad) return a;
    switch (e.kind()) {
      case Expr::Kind::Pow: {
        const int32_t n = e.exponent();
        if (n >= 0) return power(a, n);
        if (a.lo <= 0.0 && a.hi >= 0.0) return bad();
        const Interval p = power(a, -n);
        if (p.bad || (p.lo <= 0.0 && p.hi >= 0.0)) return bad();
        return checked(1.0 / p.hi, 1.0 / p.lo);
      }
      case Expr::Kind::Exp:
        return checked(std::exp(a.lo), std::exp(a.hi));
      case Expr::Kind::Log:
        return a.lo <= 0.0 ? bad() : checked(std::log(a.lo), std::log(a.hi));
      case Expr::Kind::Sqrt:
        return a.lo < 0.0 ? bad() : checked(std::sqrt(a.lo), std::sqrt(a.hi));
      case Expr::Kind::Sin:
        return sine(a);
      case Expr::Kind::Cos:
        return sine({a.lo + kPi / 2, a.hi + kPi / 2, false});
      case Expr::Kind::Tanh:
        return checked(std::tanh(a.lo), std::tanh(a.hi));
      case Expr::Kind::Abs:
        if (a.lo >= 0.0) return a;
        if (a.hi <= 0.0) return checked(-a.hi, -a.lo);
        return checked(0.0, std::max(-a.lo, a.hi));
      default:
        return bad();
    }
  }

  // The formula's value at `point`, with the same guards as on the rows.
  double value(const Expr& e, const std::vector<double>& point, int depth) const {
    if (depth > kMaxDepth) return std::numeric_limits<double>::quiet_NaN();
    switch (e.kind()) {
      case Expr::Kind::Const:
        return e.value();
      case Expr::Kind::Feature: {
        const size_t j = index_of(e.name());
        return j < point.size() ? point[j] : std::numeric_limits<double>::quiet_NaN();
      }
      case Expr::Kind::Bin:
        return apply_node(e.kind(), e.op(), e.exponent(), value(e.left(), point, depth + 1),
                          value(e.right(), point, depth + 1));
      default:
        return apply_node(e.kind(), e.op(), e.exponent(), value(e.child(), point, depth + 1), 0.0);
    }
  }

  bool within(Interval v) const {
    return !v.bad && v.lo >= centre_ - bound_ && v.hi <= centre_ + bound_;
  }
  bool point_fails(double v) const { return !(std::fabs(v - centre_) <= bound_); }

  BoxCheck run(const Expr& tree, size_t budget) const {
    std::vector<Box> stack{{lo_, hi_}};
    std::vector<double> centre(lo_.size());
    size_t used = 0;
    while (!stack.empty()) {
      if (used++ >= budget) return BoxCheck::Undecided;
      Box box = std::move(stack.back());
      stack.pop_back();
      const Interval v = bounds(tree, box, 0);
      if (within(v)) continue;
      for (size_t j = 0; j < centre.size(); ++j) centre[j] = 0.5 * (box.lo[j] + box.hi[j]);
      if (point_fails(value(tree, centre, 0))) return BoxCheck::Fails;
      // Split the side widest relative to the whole box. A box too narrow to
      // split whose bounds still fail holds a pole or an edge of the domain:
      // at that width no looseness of the bounds is left to blame.
      size_t widest = centre.size();
      double width = 0.0;
      for (size_t j = 0; j < centre.size(); ++j) {
        const double whole = hi_[j] - lo_[j];
        const double w = whole > 0.0 ? (box.hi[j] - box.lo[j]) / whole : 0.0;
        if (used_[j] && w > width && centre[j] > box.lo[j] && centre[j] < box.hi[j]) {
          width = w;
          widest = j;
        }
      }
      if (widest == centre.size()) {
        if (v.bad) return BoxCheck::Fails;
        continue;
      }
      Box upper = box;
      upper.lo[widest] = centre[widest];
      box.hi[widest] = centre[widest];
      stack.push_back(std::move(upper));
      stack.push_back(std::move(box));
    }
    return BoxCheck::Holds;
  }

 private:
  std::vector<std::string> names_;
  std::vector<bool> used_;
  std::vector<double> lo_, hi_;
  double centre_ = 0.0;
  double bound_ = 0.0;
};

}  // namespace

BoxCheck check_on_box(const Expr& tree, const Dataset& train, double spread, size_t budget) {
  if (train.n_rows() == 0) return BoxCheck::Undecided;
  return Checker(tree, train, spread).run(tree, budget);
}

}  // namespace quorvex
