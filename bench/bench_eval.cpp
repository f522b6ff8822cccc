// Node-row evaluations per second on one core: the compiled evaluator (on the
// machine path chosen at run time, and on the portable one) against the
// reference Expr::evaluate, on the same trees and rows. Three families of
// trees: arithmetic only, a third of the nodes exp/log/pow, and trees drawn
// by the generator with the default depth 4. "Eval" fills a buffer of
// predictions; "Score" computes candidate scores (predictions, squared
// errors and their row-order sums) through the population scoring on one
// thread, and the reference rule tree by tree.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "expr/column_cache.h"
#include "expr/compiled.h"
#include "expr/generator.h"
#include "expr/int_pow.h"
#include "optimizer/scoring.h"
#include "rng/lcg.h"

namespace {

using quorvex::Dataset;
using quorvex::Expr;
using quorvex::Lcg;
using quorvex::Op;

// The training rows of the 10,000-row discovery.
constexpr size_t kRows = 8000;
constexpr size_t kTrees = 96;

enum Family { kArithmetic = 0, kTranscendental = 1, kGenerated = 2 };

struct Workload {
  Dataset data;
  std::vector<Expr> trees;
  double nodes = 0;        // nodes over all trees
  double heavy_nodes = 0;  // exp, log and pow nodes
};

void count(const Expr& e, Workload& w) {
  w.nodes += 1;
  switch (e.kind()) {
    case Expr::Kind::Const:
    case Expr::Kind::Feature:
      return;
    case Expr::Kind::Bin:
      count(e.left(), w);
      count(e.right(), w);
      return;
    case Expr::Kind::Sqrt:
      count(e.child(), w);
      return;
    default:
      w.heavy_nodes += 1;
      count(e.child(), w);
  }
}

Expr leaf(Lcg& rng) {
  static const char* const kNames[] = {"x0", "x1", "x2"};
  if (rng.next_f64() < 0.25) return Expr::constant(0.5 + 2.0 * rng.next_f64());
  return Expr::feature(kNames[rng.below(3)]);
}

Expr arithmetic(Lcg& rng, int depth) {
  if (depth <= 1 || rng.next_f64() < 0.1) return leaf(rng);
  const Op op = static_cast<Op>(rng.below(4));
  Expr a = arithmetic(rng, depth - 1);
  return Expr::bin(op, std::move(a), arithmetic(rng, depth - 1));
}

// Inner nodes are unary (exp, log, pow) as often as binary, so that about a
// third of all nodes (leaves included) are exp, log or pow.
Expr transcendental(Lcg& rng, int depth) {
  if (depth <= 1 || rng.next_f64() < 0.1) return leaf(rng);
  if (rng.next_f64() < 0.5) {
    Expr c = transcendental(rng, depth - 1);
    switch (rng.below(3)) {
      case 0:
        return Expr::exp(std::move(c));
      case 1:
        return Expr::log(std::move(c));
      default: {
        static const int32_t kExponents[] = {-2, -1, 1, 1, 2};
        return Expr::pow(std::move(c), kExponents[rng.below(5)]);
      }
    }
  }
  const Op op = static_cast<Op>(rng.below(4));
  Expr a = transcendental(rng, depth - 1);
  return Expr::bin(op, std::move(a), transcendental(rng, depth - 1));
}

const Workload& workload(Family family) {
  static Workload loads[3];
  static bool ready = false;
  if (!ready) {
    for (Workload& w : loads) {
      w.data = Dataset("y");
      for (const char* n : {"x0", "x1", "x2"}) w.data.add_feature(n);
      Lcg rng(5);
      w.data.reserve_rows(kRows);
      for (size_t i = 0; i < kRows; ++i) {
        const double v[3] = {0.5 + 2.0 * rng.next_f64(), 0.5 + 2.0 * rng.next_f64(),
                             0.5 + 2.0 * rng.next_f64()};
        w.data.push_row(v, v[0] * v[1] + std::log(v[2]) + 0.1 * rng.next_f64());
      }
    }
    Lcg rng(9);
    quorvex::ExprGen gen({"x0", "x1", "x2"}, Lcg(9));
    for (size_t i = 0; i < kTrees; ++i) {
      loads[kArithmetic].trees.push_back(arithmetic(rng, 5));
      loads[kTranscendental].trees.push_back(transcendental(rng, 6));
      loads[kGenerated].trees.push_back(gen.random(4));
    }
    for (Workload& w : loads)
      for (const Expr& t : w.trees) count(t, w);
    ready = true;
  }
  return loads[family];
}

enum Path { kReference = 0, kFast = 1, kPortable = 2 };

bool use_path(benchmark::State& state, Path path) {
  const quorvex::EvalPath p =
      path == kPortable || !quorvex::eval_path_available(quorvex::EvalPath::Avx2)
          ? quorvex::EvalPath::Portable
          : quorvex::EvalPath::Avx2;
  if (!quorvex::set_eval_path(p)) {
    state.SkipWithError("path unavailable");
    return false;
  }
  return true;
}

// node_rows: per iteration, for rates against CPU time (per core) or real time.
void report(benchmark::State& state, const Workload& w) {
  state.counters["node_rows_per_s"] = benchmark::Counter(
      w.nodes * static_cast<double>(kRows) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["node_rows"] = w.nodes * static_cast<double>(kRows);
  state.counters["heavy_share"] = w.heavy_nodes / w.nodes;
}

void BM_Eval(benchmark::State& state) {
  const Workload& w = workload(static_cast<Family>(state.range(0)));
  const Path path = static_cast<Path>(state.range(1));
  if (path != kReference && !use_path(state, path)) return;
  std::vector<double> out(kRows);
  quorvex::CompiledExpr program;
  std::vector<const Expr*> trees;
  for (const Expr& t : w.trees) trees.push_back(&t);
  for (auto _ : state) {
    // A fresh cache of column functions every time, as in a search's first
    // generation; building it is part of the time.
    quorvex::ColumnCache cache;
    if (path != kReference) {
      const size_t n = cache.plan(trees.data(), trees.size(), w.data);
      for (size_t i = 0; i < n; ++i) cache.fill(i);
    }
    for (const Expr& tree : w.trees) {
      if (path == kReference) {
        for (size_t i = 0; i < kRows; ++i) out[i] = tree.evaluate(w.data.row(i));
      } else {
        program.compile(tree, w.data, &cache);
        quorvex::evaluate_rows(program, kRows, out.data());
      }
      benchmark::DoNotOptimize(out.data());
      benchmark::ClobberMemory();
    }
  }
  report(state, w);
}

void BM_Score(benchmark::State& state) {
  const Workload& w = workload(static_cast<Family>(state.range(0)));
  const Path path = static_cast<Path>(state.range(1));
  if (path != kReference && !use_path(state, path)) return;
  for (auto _ : state) {
    if (path == kReference) {
      for (const Expr& tree : w.trees)
        benchmark::DoNotOptimize(quorvex::candidate_score_reference(tree, w.data));
    } else {
      quorvex::ColumnCache cache;
      benchmark::DoNotOptimize(quorvex::fitness_population(w.trees, w.data, 1, nullptr, &cache));
    }
  }
  report(state, w);
}

void families(benchmark::internal::Benchmark* b) {
  for (int f : {kArithmetic, kTranscendental, kGenerated})
    for (int p : {kReference, kFast, kPortable}) b->Args({f, p});
}
BENCHMARK(BM_Eval)->Apply(families)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Score)->Apply(families)->UseRealTime()->Unit(benchmark::kMillisecond);

// What the integer-power shortcuts save, per value: pow against the
// residual-checked product, with fma as a library call (what a build without
// FMA instructions pays) and, on the AVX2 path, inside the vector kernel.
std::vector<double> pow_inputs() {
  Lcg rng(3);
  std::vector<double> xs(4096);
  for (double& x : xs) x = (rng.next_f64() - 0.5) * 1e3;
  return xs;
}

void BM_PowTwoLibrary(benchmark::State& state) {
  const std::vector<double> xs = pow_inputs();
  for (auto _ : state)
    for (double x : xs) benchmark::DoNotOptimize(quorvex::platform_pow(x, 2.0));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(xs.size()));
}
BENCHMARK(BM_PowTwoLibrary);

__attribute__((noinline)) double fma_call(double a, double b, double c) {
  return std::fma(a, b, c);
}

void BM_PowTwoScalarRule(benchmark::State& state) {
  const std::vector<double> xs = pow_inputs();
  for (auto _ : state)
    for (double x : xs) {
      double v;
      benchmark::DoNotOptimize(quorvex::try_square(x, v) ? v : quorvex::platform_pow(x, 2.0));
    }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(xs.size()));
}
BENCHMARK(BM_PowTwoScalarRule);

void BM_FmaLibraryCall(benchmark::State& state) {
  const std::vector<double> xs = pow_inputs();
  for (auto _ : state)
    for (double x : xs) benchmark::DoNotOptimize(fma_call(x, x, -x));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(xs.size()));
}
BENCHMARK(BM_FmaLibraryCall);

void BM_PowTwoKernel(benchmark::State& state) {
  const Path path = static_cast<Path>(state.range(0));
  if (!use_path(state, path)) return;
  const std::vector<double> xs = pow_inputs();
  Dataset ds("y");
  ds.add_feature("x");
  for (double x : xs) ds.push_row(&x, 0.0);
  quorvex::CompiledExpr program;
  program.compile(Expr::pow(Expr::feature("x"), 2), ds);
  std::vector<double> out(xs.size());
  for (auto _ : state) {
    quorvex::evaluate_rows(program, xs.size(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(xs.size()));
}
BENCHMARK(BM_PowTwoKernel)->Arg(kFast)->Arg(kPortable);

}  // namespace

BENCHMARK_MAIN();
