// The compiled evaluator against the reference Expr::evaluate, bit for bit:
// every prediction and every score, on both machine paths, over random and
// hand-built trees and data full of NaN, infinities, signed zeros,
// subnormals and values on the guards' boundaries.
#include "expr/compiled.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "expr/column_cache.h"
#include "expr/generator.h"
#include "optimizer/discover.h"
#include "optimizer/score_memo.h"
#include "assess/assess.h"
#include "optimizer/scoring.h"
#include "rng/lcg.h"

namespace quorvex {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kRandomTrees = 400;
#else
constexpr size_t kRandomTrees = 4000;
#endif

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }
double from_bits(uint64_t b) { return std::bit_cast<double>(b); }

const double kInf = std::numeric_limits<double>::infinity();

// Values that sit on or next to a guard, or that break arithmetic.
std::vector<double> special_values() {
  return {0.0,
          -0.0,
          1e-300,
          -1e-300,
          1e-301,
          -1e-301,
          std::nextafter(1e-300, 0.0),
          std::nextafter(1e-300, 1.0),
          5e-324,
          -5e-324,
          2.2250738585072014e-308,
          1e300,
          -1e300,
          1.7976931348623157e308,
          kInf,
          -kInf,
          from_bits(0x7FF8000000000000ULL),  // quiet NaN
          from_bits(0xFFF8000000000000ULL),  // the x86 default NaN
          from_bits(0x7FF4000000000001ULL),  // signalling NaN with a payload
          1.0,
          -1.0,
          2.0,
          -2.0,
          0.5,
          3.0,
          1.0 + 0x1p-52,
          1.4142135623730951,
          0x1p-480,
          0x1p-481,
          0x1p512,
          0x1p-960,
          700.0,
          710.0,
          -745.0};
}

// Rows mixing the special values with ordinary ones. n is no multiple of 4
// or of the block size, so that every kernel's tail runs.
Dataset mixed_data(size_t n, uint64_t seed) {
  Dataset ds("t");
  ds.add_feature("x");
  ds.add_feature("y");
  ds.add_feature("z");
  const std::vector<double> specials = special_values();
  Lcg rng(seed);
  auto draw = [&]() {
    const double u = rng.next_f64();
    if (u < 0.3) return specials[rng.below(specials.size())];
    const double mag = std::pow(10.0, 8.0 * rng.next_f64() - 4.0);
    return rng.next_f64() < 0.3 ? -mag : mag;
  };
  for (size_t i = 0; i < n; ++i) {
    const double v[3] = {draw(), draw(), draw()};
    ds.push_row(v, rng.next_f64() < 0.05 ? specials[rng.below(specials.size())] : draw());
  }
  return ds;
}

// A feature added after some rows: those rows read 0.0 from it.
Dataset late_feature_data() {
  Dataset ds("t");
  ds.add_feature("x");
  for (int i = 0; i < 5; ++i) {
    const double v[1] = {static_cast<double>(i) - 2.0};
    ds.push_row(v, 1.0);
  }
  ds.add_feature("y");
  for (int i = 0; i < 6; ++i) {
    const double v[2] = {static_cast<double>(i) * 0.5, -static_cast<double>(i)};
    ds.push_row(v, 2.0);
  }
  return ds;
}

Expr c(double v) { return Expr::constant(v); }
Expr f(const char* name) { return Expr::feature(name); }
Expr bin(Op op, Expr a, Expr b) { return Expr::bin(op, std::move(a), std::move(b)); }

// Every instruction form: each operator with block/constant operands on
// either side, each power, guards on columns and on computed blocks,
// constant subtrees, missing features, lone leaves at the root, a deep chain.
std::vector<Expr> hand_built() {
  std::vector<Expr> out;
  for (int op = 0; op < 4; ++op) {
    const Op o = static_cast<Op>(op);
    out.push_back(bin(o, f("x"), f("y")));
    out.push_back(bin(o, f("x"), c(1e-300)));
    out.push_back(bin(o, f("x"), c(1e-301)));
    out.push_back(bin(o, c(-0.0), f("y")));
    out.push_back(bin(o, bin(Op::Mul, f("x"), f("z")), f("y")));
    out.push_back(bin(o, f("z"), bin(Op::Sub, f("x"), f("y"))));
    out.push_back(bin(o, bin(Op::Add, f("x"), f("y")), bin(Op::Div, f("z"), f("x"))));
    out.push_back(bin(o, f("x"), f("missing")));
    out.push_back(bin(o, c(2.0), c(0.0)));
  }
  for (int32_t e : {-3, -2, -1, 0, 1, 2, 3, 7, -8}) {
    out.push_back(Expr::pow(f("x"), e));
    out.push_back(Expr::pow(bin(Op::Sub, f("x"), f("y")), e));
    out.push_back(Expr::pow(f("missing"), e));
    out.push_back(Expr::pow(c(-2.0), e));
  }
  for (auto make :
       {&Expr::exp, &Expr::log, &Expr::sqrt, &Expr::sin, &Expr::cos, &Expr::tanh, &Expr::abs}) {
    out.push_back(make(f("x")));
    out.push_back(make(bin(Op::Mul, f("x"), f("y"))));
    out.push_back(make(c(-1.0)));
    out.push_back(make(f("missing")));
  }
  out.push_back(f("x"));
  out.push_back(f("missing"));
  out.push_back(c(3.5));
  out.push_back(c(std::numeric_limits<double>::quiet_NaN()));
  Expr chain = f("x");
  for (int d = 0; d < 12; ++d)
    chain = d % 2 == 0 ? bin(Op::Add, f("y"), std::move(chain))
                       : bin(Op::Div, std::move(chain), f("z"));
  out.push_back(std::move(chain));
  Expr wide = f("z");
  for (int d = 0; d < 6; ++d)
    wide = bin(Op::Mul, std::move(wide), Expr::log(bin(Op::Sub, f("x"), f("z"))));
  out.push_back(std::move(wide));
  return out;
}

std::vector<Expr> random_trees(size_t n, uint64_t seed, const OperatorSet* ops = nullptr) {
  ExprGen gen = ops ? ExprGen({"x", "y", "z", "missing"}, Lcg(seed), *ops)
                    : ExprGen({"x", "y", "z", "missing"}, Lcg(seed));
  std::vector<Expr> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    Expr t = gen.random(1 + static_cast<uint32_t>(i % 7));
    if (i % 3 == 0) t = gen.mutate(t, 5);  // brings in exponents of +-3
    if (i % 5 == 0 && !out.empty()) t = gen.crossover(t, out[i / 2]);
    out.push_back(std::move(t));
  }
  return out;
}

std::vector<EvalPath> paths() {
  std::vector<EvalPath> out = {EvalPath::Portable};
  if (eval_path_available(EvalPath::Avx2)) out.push_back(EvalPath::Avx2);
  return out;
}

const char* name(EvalPath p) { return p == EvalPath::Portable ? "portable" : "avx2"; }

// Restores the automatic choice when a test ends.
class CompiledPaths : public ::testing::Test {
 protected:
  void TearDown() override {
    set_eval_path(eval_path_available(EvalPath::Avx2) ? EvalPath::Avx2 : EvalPath::Portable);
  }
};

// Whether an addition or product may meet two NaNs: which one it keeps is the
// compiler's choice of operand order (also in the reference, whose code
// commutes them), so only there do two NaN predictions count as equal.
bool may_add_two_nans(const Expr& e) {
  switch (e.kind()) {
    case Expr::Kind::Const:
    case Expr::Kind::Feature:
      return false;
    case Expr::Kind::Bin:
      if ((e.op() == Op::Add || e.op() == Op::Mul) && e.left().kind() != Expr::Kind::Const &&
          e.right().kind() != Expr::Kind::Const)
        return true;
      return may_add_two_nans(e.left()) || may_add_two_nans(e.right());
    default:
      return may_add_two_nans(e.child());
  }
}

bool same(double got, double want, bool nan_is_nan) {
  return bits(got) == bits(want) || (nan_is_nan && std::isnan(got) && std::isnan(want));
}

// Every prediction and both scores of every tree, on every path, and with
// cached column functions (a budget of a few columns, so that entries are
// also evicted and replaced).
void expect_same_bits(const std::vector<Expr>& trees, const Dataset& data) {
  CompiledExpr program;
  std::vector<double> got(data.n_rows());
  std::vector<const Expr*> pointers;
  for (const Expr& t : trees) pointers.push_back(&t);
  for (EvalPath path : paths()) {
    ASSERT_TRUE(set_eval_path(path));
    ColumnCache cache(5 * data.n_rows() * sizeof(double));
    for (size_t t = 0; t < trees.size(); ++t) {
      const Expr& tree = trees[t];
      if (t % 64 == 0) {
        const size_t end = std::min(trees.size(), t + 64);
        const size_t n = cache.plan(pointers.data() + t, end - t, data);
        for (size_t i = 0; i < n; ++i) cache.fill(i);
      }
      program.compile(tree, data, t % 2 == 0 ? &cache : nullptr);
      evaluate_rows(program, data.n_rows(), got.data());
      const bool nan_is_nan = may_add_two_nans(tree);
      size_t wrong = 0;
      for (size_t i = 0; i < data.n_rows(); ++i) {
        const double want = tree.evaluate(data.row(i));
        if (!same(got[i], want, nan_is_nan) && wrong++ < 3)
          ADD_FAILURE() << name(path) << " " << tree.formula() << " row " << i << ": got " << got[i]
                        << " (0x" << std::hex << bits(got[i]) << ") want " << want << " (0x"
                        << bits(want) << std::dec << ")";
      }
      ASSERT_EQ(wrong, 0u) << name(path) << " " << tree.formula();
      ASSERT_EQ(bits(candidate_score(tree, data)), bits(candidate_score_reference(tree, data)))
          << name(path) << " " << tree.formula();
      // A NaN target makes the sum NaN; which of two NaNs an addition keeps is
      // the compiler's choice of operand order, in the reference as well.
      ASSERT_TRUE(same(finite_row_mse(tree, data), finite_row_mse_reference(tree, data), true))
          << name(path) << " " << tree.formula();
    }
  }
}

TEST_F(CompiledPaths, HandBuiltTreesMatchTheReference) {
  const std::vector<Expr> trees = hand_built();
  expect_same_bits(trees, mixed_data(2 * kEvalBlockRows + 37, 1));
  expect_same_bits(trees, mixed_data(3, 2));
  expect_same_bits(trees, late_feature_data());
}

TEST_F(CompiledPaths, GeneratedTreesMatchTheReference) {
  expect_same_bits(random_trees(kRandomTrees, 7), mixed_data(kEvalBlockRows + 45, 3));
  // sin, cos, tanh and abs too (the refined search's trees).
  const OperatorSet all = OperatorSet::all();
  expect_same_bits(random_trees(kRandomTrees, 8, &all), mixed_data(kEvalBlockRows + 45, 4));
}

TEST_F(CompiledPaths, EmptyDatasetAndFeaturelessTrees) {
  const Dataset empty("t");
  for (EvalPath path : paths()) {
    ASSERT_TRUE(set_eval_path(path));
    for (const Expr& tree : hand_built()) {
      EXPECT_EQ(candidate_score(tree, empty), kInf);
      EXPECT_TRUE(std::isnan(finite_row_mse(tree, empty)));
    }
  }
}

TEST_F(CompiledPaths, LeavesAreReadInPlaceAndConstantsFolded) {
  const Dataset data = mixed_data(10, 4);
  CompiledExpr program;
  // log(2) + x: the constant subtree is one operand, x is read from its column.
  program.compile(bin(Op::Add, Expr::log(c(2.0)), f("x")), data);
  ASSERT_EQ(program.code().size(), 1u);
  EXPECT_EQ(program.code()[0].code, CompiledExpr::Code::AddCV);
  EXPECT_EQ(program.code()[0].k, std::log(2.0));
  EXPECT_EQ(program.code()[0].b_col, data.column(data.find_column("x")).data());
  EXPECT_EQ(program.slots(), 1u);
  // A missing feature is the constant 0.0.
  program.compile(bin(Op::Mul, f("y"), f("nowhere")), data);
  ASSERT_EQ(program.code().size(), 1u);
  EXPECT_EQ(program.code()[0].code, CompiledExpr::Code::MulVC);
  EXPECT_EQ(bits(program.code()[0].k), 0u);
  // (x*y) + (y*z) needs two slots, then one.
  program.compile(bin(Op::Add, bin(Op::Mul, f("x"), f("y")), bin(Op::Mul, f("y"), f("z"))), data);
  EXPECT_EQ(program.code().size(), 3u);
  EXPECT_EQ(program.slots(), 2u);
}

TEST_F(CompiledPaths, MemoAndDuplicatesGiveTheSameScores) {
  const Dataset data = mixed_data(300, 5);
  std::vector<Expr> population = random_trees(60, 11);
  for (size_t i = 0; i < 20; ++i) population.push_back(population[i * 2]);  // duplicates
  const std::vector<double> plain = fitness_population(population, data, 1);
  ScoreMemo memo;
  ColumnCache columns;
  EXPECT_EQ(fitness_population(population, data, 2, &memo, &columns), plain);
  EXPECT_GT(columns.size(), 0u);
  EXPECT_LE(memo.size(), 60u);
  // A second call finds every tree in the memo, also in another order.
  std::reverse(population.begin(), population.end());
  std::vector<double> reversed = plain;
  std::reverse(reversed.begin(), reversed.end());
  EXPECT_EQ(fitness_population(population, data, 0, &memo, &columns), reversed);
  for (size_t i = 0; i < population.size(); ++i)
    ASSERT_NE(memo.find(population[i], ScoreMemo::hash(population[i])), nullptr);
}

TEST_F(CompiledPaths, WholeDiscoveriesAreTheSameOnEveryPath) {
  Dataset data("y");
  data.add_feature("x");
  data.add_feature("z");
  Lcg rng(8);
  for (int i = 0; i < 300; ++i) {
    const double v[2] = {0.1 + 3.0 * rng.next_f64(), rng.next_f64() - 0.5};
    data.push_row(v, std::log(v[0]) * 2.0 + v[1] * v[1] + 0.01 * rng.next_f64());
  }
  DiscoverConfig config;
  config.population = 60;
  config.generations = 12;
  config.seed = 3;
  std::vector<std::string> reports;
  for (EvalPath path : paths()) {
    ASSERT_TRUE(set_eval_path(path));
    DiscoverReport r = Discoverer(data, config).run().report;
    r.wall_clock_ms = 0;
    reports.push_back(r.to_json());
  }
  for (const std::string& r : reports) EXPECT_EQ(r, reports[0]);
}

TEST(ColumnCache, CachesFunctionsOfColumnsMetTwiceWithinItsBudget) {
  const Dataset data = mixed_data(100, 6);
  const size_t column = 100 * sizeof(double);
  ColumnCache cache(column);  // room for one column
  auto plan = [&](const std::vector<Expr>& trees) {
    std::vector<const Expr*> pointers;
    for (const Expr& t : trees) pointers.push_back(&t);
    const size_t n = cache.plan(pointers.data(), pointers.size(), data);
    for (size_t i = 0; i < n; ++i) cache.fill(i);
    return n;
  };
  const double* x = data.column(data.find_column("x")).data();
  const double* y = data.column(data.find_column("y")).data();
  using Code = CompiledExpr::Code;

  // log(x) twice, exp(y) once, sqrt(x) (cheaper than a cached read) twice.
  EXPECT_EQ(plan({Expr::log(f("x")), bin(Op::Add, Expr::log(f("x")), Expr::exp(f("y"))),
                  Expr::sqrt(f("x")), Expr::sqrt(f("x"))}),
            1u);
  const double* log_x = cache.find(Code::Log, 0, x);
  ASSERT_NE(log_x, nullptr);
  for (size_t i = 0; i < data.n_rows(); ++i)
    ASSERT_EQ(bits(log_x[i]), bits(Expr::log(f("x")).evaluate(data.row(i))));
  EXPECT_EQ(cache.find(Code::Exp, 0, y), nullptr);
  EXPECT_EQ(cache.find(Code::Sqrt, 0, x), nullptr);

  // Still in use: the budget keeps pow(y, -2) out.
  EXPECT_EQ(plan({Expr::log(f("x")), Expr::pow(f("y"), -2), Expr::pow(f("y"), -2)}), 0u);
  EXPECT_EQ(cache.find(Code::PowMinusTwo, -2, y), nullptr);
  // No longer used: it makes room.
  EXPECT_EQ(plan({Expr::pow(f("y"), -2), Expr::pow(f("y"), -2)}), 1u);
  EXPECT_EQ(cache.find(Code::Log, 0, x), nullptr);
  EXPECT_NE(cache.find(Code::PowMinusTwo, -2, y), nullptr);
  EXPECT_EQ(cache.bytes(), column);

  // Other data: everything is dropped.
  const Dataset other = mixed_data(100, 7);
  const std::vector<Expr> none = {f("x")};
  const Expr* p = &none[0];
  EXPECT_EQ(cache.plan(&p, 1, other), 0u);
  EXPECT_EQ(cache.size(), 0u);
}

TEST(ScoreMemo, HashSeparatesWhatEqualityDoesAndTheMemoChecksEquality) {
  EXPECT_NE(ScoreMemo::hash(c(0.0)), ScoreMemo::hash(c(-0.0)));
  EXPECT_NE(ScoreMemo::hash(bin(Op::Sub, f("x"), f("y"))),
            ScoreMemo::hash(bin(Op::Sub, f("y"), f("x"))));
  EXPECT_NE(ScoreMemo::hash(Expr::pow(f("x"), 2)), ScoreMemo::hash(Expr::pow(f("x"), -2)));
  EXPECT_NE(ScoreMemo::hash(Expr::exp(f("x"))), ScoreMemo::hash(Expr::log(f("x"))));
  EXPECT_EQ(ScoreMemo::hash(bin(Op::Add, f("x"), c(1.5))),
            ScoreMemo::hash(bin(Op::Add, f("x"), c(1.5))));

  // Two different trees filed under one hash: each finds only itself.
  ScoreMemo memo;
  const std::vector<Expr> trees = {f("x"), f("y"), c(1.0)};
  memo.replace(trees, {42, 42, 7}, {1.0, 2.0, 3.0}, {0, 1, 2});
  ASSERT_NE(memo.find(f("x"), 42), nullptr);
  EXPECT_EQ(*memo.find(f("x"), 42), 1.0);
  EXPECT_EQ(*memo.find(f("y"), 42), 2.0);
  EXPECT_EQ(memo.find(f("z"), 42), nullptr);
  EXPECT_EQ(memo.find(f("x"), 7), nullptr);
  memo.replace(trees, {1, 2, 3}, {1.0, 2.0, 3.0}, {2});
  EXPECT_EQ(memo.size(), 1u);
  EXPECT_EQ(memo.find(f("x"), 1), nullptr);
}

}  // namespace
}  // namespace quorvex
