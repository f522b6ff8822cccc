#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "expr/generator.h"
#include "rng/lcg.h"

#if defined(__linux__)
#include <pthread.h>
#endif

namespace quorvex {
namespace {

const double kInf = std::numeric_limits<double>::infinity();

Expr c(double v) { return Expr::constant(v); }
Expr f(std::string name) { return Expr::feature(std::move(name)); }

// ---- formula text ----

TEST(Formula, Leaves) {
  EXPECT_EQ(f("x").formula(), "x");
  EXPECT_EQ(c(2.5).formula(), "2.5000e0");
  EXPECT_EQ(c(1.0).formula(), "1.0000e0");
  EXPECT_EQ(c(-0.031).formula(), "-3.1000e-2");
  EXPECT_EQ(c(123.456).formula(), "1.2346e2");
  EXPECT_EQ(c(1e-300).formula(), "1.0000e-300");
  EXPECT_EQ(c(1.03125).formula(), "1.0312e0");
  EXPECT_EQ(c(-1234.5678).formula(), "-1.2346e3");
  EXPECT_EQ(c(kInf).formula(), "inf");
  EXPECT_EQ(c(-kInf).formula(), "-inf");
  EXPECT_EQ(c(std::numeric_limits<double>::quiet_NaN()).formula(), "NaN");
}

TEST(Formula, Examples) {
  EXPECT_EQ(Expr::bin(Op::Add, f("x"), c(2.5)).formula(), "(x + 2.5000e0)");
  EXPECT_EQ(Expr::pow(f("x"), -2).formula(), "(x^-2)");
  EXPECT_EQ(Expr::pow(f("x"), -3).formula(), "(x^-3)");
  EXPECT_EQ(Expr::pow(f("x"), 2).formula(), "(x^2)");
  EXPECT_EQ(Expr::sqrt(Expr::bin(Op::Mul, c(-0.031), f("temp"))).formula(),
            "sqrt((-3.1000e-2 * temp))");
  EXPECT_EQ(Expr::log(Expr::exp(f("x"))).formula(), "log(exp(x))");
  EXPECT_EQ(Expr::bin(Op::Add, f("x"), c(-2.5)).formula(), "(x + -2.5000e0)");
  EXPECT_EQ(Expr::bin(Op::Sub, f("x"), c(-2.5)).formula(), "(x - -2.5000e0)");
  EXPECT_EQ(Expr::bin(Op::Div, f("a"), Expr::bin(Op::Mul, f("b"), f("c"))).formula(),
            "(a / (b * c))");
}

TEST(Formula, NamesAreWrittenUnescaped) {
  EXPECT_EQ(f("a\"b").formula(), "a\"b");
  EXPECT_EQ(f("a\\b").formula(), "a\\b");
  EXPECT_EQ(f("tab\there").formula(), "tab\there");
  EXPECT_EQ(f("\xce\x94x").formula(), "\xce\x94x");
}

// ---- JSON form ----

TEST(ExprJson, Leaves) {
  EXPECT_EQ(f("x").to_json(), R"({"Feature":"x"})");
  EXPECT_EQ(c(1.0).to_json(), R"({"Const":1.0})");
  EXPECT_EQ(c(-1234.5678).to_json(), R"({"Const":-1234.5678})");
  EXPECT_EQ(c(1e16).to_json(), R"({"Const":1e+16})");
  EXPECT_EQ(c(1e15).to_json(), R"({"Const":1000000000000000.0})");
  EXPECT_EQ(c(1e-5).to_json(), R"({"Const":0.00001})");
  EXPECT_EQ(c(1e-6).to_json(), R"({"Const":1e-6})");
  EXPECT_EQ(c(0.0).to_json(), R"({"Const":0.0})");
  EXPECT_EQ(c(-0.0).to_json(), R"({"Const":-0.0})");
  EXPECT_EQ(c(kInf).to_json(), R"({"Const":null})");
  EXPECT_EQ(c(-kInf).to_json(), R"({"Const":null})");
  EXPECT_EQ(c(std::numeric_limits<double>::quiet_NaN()).to_json(), R"({"Const":null})");
}

TEST(ExprJson, Example) {
  const Expr e = Expr::bin(Op::Add, f("x"), Expr::pow(c(2.5), -1));
  EXPECT_EQ(e.to_json(), R"({"Bin":["Add",{"Feature":"x"},{"Pow":[{"Const":2.5},-1]}]})");
}

TEST(ExprJson, EveryKindAndOperator) {
  EXPECT_EQ(Expr::bin(Op::Sub, f("a"), f("b")).to_json(),
            R"({"Bin":["Sub",{"Feature":"a"},{"Feature":"b"}]})");
  EXPECT_EQ(Expr::bin(Op::Mul, f("a"), f("b")).to_json(),
            R"({"Bin":["Mul",{"Feature":"a"},{"Feature":"b"}]})");
  EXPECT_EQ(Expr::bin(Op::Div, f("a"), f("b")).to_json(),
            R"({"Bin":["Div",{"Feature":"a"},{"Feature":"b"}]})");
  EXPECT_EQ(Expr::pow(f("x"), -3).to_json(), R"({"Pow":[{"Feature":"x"},-3]})");
  EXPECT_EQ(Expr::exp(f("x")).to_json(), R"({"Exp":{"Feature":"x"}})");
  EXPECT_EQ(Expr::log(f("x")).to_json(), R"({"Log":{"Feature":"x"}})");
  EXPECT_EQ(Expr::sqrt(f("x")).to_json(), R"({"Sqrt":{"Feature":"x"}})");
  EXPECT_EQ(Expr::sin(f("x")).to_json(), R"({"Sin":{"Feature":"x"}})");
  EXPECT_EQ(Expr::cos(f("x")).to_json(), R"({"Cos":{"Feature":"x"}})");
  EXPECT_EQ(Expr::tanh(f("x")).to_json(), R"({"Tanh":{"Feature":"x"}})");
  EXPECT_EQ(Expr::abs(f("x")).to_json(), R"({"Abs":{"Feature":"x"}})");
  EXPECT_EQ(Expr::abs(Expr::sin(f("x"))).formula(), "abs(sin(x))");
  EXPECT_EQ(Expr::tanh(Expr::cos(f("x"))).formula(), "tanh(cos(x))");
}

TEST(ExprJson, NamesAreEscaped) {
  EXPECT_EQ(f("a\"b").to_json(), R"({"Feature":"a\"b"})");
  EXPECT_EQ(f("a\\b").to_json(), R"({"Feature":"a\\b"})");
  EXPECT_EQ(f("tab\there").to_json(), R"({"Feature":"tab\there"})");
  EXPECT_EQ(f("\x01").to_json(), R"({"Feature":"\u0001"})");
  EXPECT_EQ(f("\xce\x94").to_json(), "{\"Feature\":\"\xce\x94\"}");
}

// Rebuilds a tree from its parsed JSON form, so that the text can be checked
// against the tree it came from.
Expr from_json(const nlohmann::json& j) {
  EXPECT_TRUE(j.is_object());
  EXPECT_EQ(j.size(), 1u);
  const auto it = j.begin();
  const std::string key = it.key();
  const nlohmann::json& v = it.value();
  if (key == "Const") return c(v.is_null() ? kInf : v.get<double>());
  if (key == "Feature") return f(v.get<std::string>());
  if (key == "Bin") {
    const std::string op = v.at(0).get<std::string>();
    const Op o = op == "Add" ? Op::Add : op == "Sub" ? Op::Sub : op == "Mul" ? Op::Mul : Op::Div;
    return Expr::bin(o, from_json(v.at(1)), from_json(v.at(2)));
  }
  if (key == "Pow") return Expr::pow(from_json(v.at(0)), v.at(1).get<int32_t>());
  if (key == "Sin") return Expr::sin(from_json(v));
  if (key == "Cos") return Expr::cos(from_json(v));
  if (key == "Tanh") return Expr::tanh(from_json(v));
  if (key == "Abs") return Expr::abs(from_json(v));
  if (key == "Exp") return Expr::exp(from_json(v));
  if (key == "Log") return Expr::log(from_json(v));
  if (key == "Sqrt") return Expr::sqrt(from_json(v));
  ADD_FAILURE() << "unknown key " << key;
  return c(0);
}

TEST(ExprJson, RandomTreesParseBackToTheSameTree) {
  ExprGen gen({"x", "y\"q", "tab\t", "\xce\x94"}, Lcg(2024));
  ExprGen every({"x", "y"}, Lcg(2025), OperatorSet::all());
  for (int i = 0; i < 3000; ++i) {
    const Expr e = i % 2 ? gen.random(6) : every.random(6);
    const std::string text = e.to_json();
    EXPECT_EQ(text.find_first_of(" \n\t"), std::string::npos) << text;
    EXPECT_EQ(from_json(nlohmann::json::parse(text)), e) << text;
  }
}

// ---- trees at the depth bound ----

// Every walk over one tree: evaluate, k, depth, copy, formula, to_json and
// destruction (of the copy). Returns the depth.
uint32_t walk_all(const Expr& e, const Dataset& ds) {
  const double v = e.evaluate(ds.row(0));
  (void)v;
  const uint32_t k = e.k();
  const uint32_t d = e.depth();
  {
    Expr copy = e;
    EXPECT_EQ(copy, e);
    EXPECT_EQ(copy.k(), k);
  }  // copy destroyed here
  const std::string formula = e.formula();
  const std::string json = e.to_json();
  EXPECT_FALSE(formula.empty());
  EXPECT_EQ(from_json(nlohmann::json::parse(json)), e);
  return d;
}

Dataset xy_row() {
  Dataset ds("t");
  ds.add_feature("x");
  ds.add_feature("y");
  const double v[] = {0.5, 1.5};
  ds.push_row(v, 0.0);
  return ds;
}

// A chain of exactly `depth` levels that cycles through every inner kind.
Expr chain(uint32_t depth) {
  Expr e = f("x");
  for (uint32_t level = 2; level <= depth; ++level) {
    switch (level % 5) {
      case 0:
        e = Expr::bin(static_cast<Op>(level % 4), std::move(e), c(0.5));
        break;
      case 1:
        e = Expr::pow(std::move(e), (level % 2) ? 2 : -1);
        break;
      case 2:
        e = Expr::exp(std::move(e));
        break;
      case 3:
        e = Expr::log(std::move(e));
        break;
      default:
        e = Expr::sqrt(std::move(e));
        break;
    }
  }
  return e;
}

// The deepest tree among many grown with the maximal budget.
Expr deepest_random_tree() {
  ExprGen gen({"x", "y"}, Lcg(64));
  Expr best = gen.random(ExprGen::kMaxBudget);
  for (int i = 0; i < 4000; ++i) {
    Expr e = gen.random(ExprGen::kMaxBudget);
    if (e.depth() > best.depth()) best = std::move(e);
  }
  return best;
}

TEST(DepthBound, EveryWalkOnATreeOfDepth64) {
  const Dataset ds = xy_row();
  const Expr e = chain(ExprGen::kMaxBudget);
  EXPECT_EQ(walk_all(e, ds), ExprGen::kMaxBudget);
  const Expr wide = Expr::bin(Op::Add, chain(63), chain(63));
  EXPECT_EQ(walk_all(wide, ds), 64u);
}

TEST(DepthBound, RandomTreesWithAHugeBudgetStayWithinTheBound) {
  const Dataset ds = xy_row();
  const Expr deepest = deepest_random_tree();
  EXPECT_LE(walk_all(deepest, ds), ExprGen::kMaxBudget);
  EXPECT_GT(deepest.depth(), 10u);  // the search did reach deep trees
  ExprGen gen({"x", "y"}, Lcg(1));
  Expr e = gen.random(UINT32_MAX);
  for (int i = 0; i < 2000; ++i) {
    e = gen.mutate(e, UINT32_MAX);
    ASSERT_LE(e.depth(), ExprGen::kMaxBudget);
  }
  walk_all(e, ds);
}

#if defined(__linux__)
// The same walks on a thread with a 1 MiB stack, the default of a Windows
// thread.
TEST(DepthBound, WalksFitInAOneMebibyteStack) {
  struct Job {
    std::string text;
    uint64_t value_bits = 0;
    uint32_t depth = 0;
    bool copy_equal = false;
  } job;
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 1 << 20), 0);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    Job& out = *static_cast<Job*>(arg);
    const Dataset ds = xy_row();
    const Expr e = Expr::bin(Op::Mul, chain(63), chain(63));
    const Expr copy = e;
    out.copy_equal = copy == e;
    out.text = e.to_json() + e.formula();
    out.value_bits = std::bit_cast<uint64_t>(e.evaluate(ds.row(0)));
    out.depth = e.depth() + 0 * e.k();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, &job), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
  const Dataset ds = xy_row();
  const Expr e = Expr::bin(Op::Mul, chain(63), chain(63));
  EXPECT_TRUE(job.copy_equal);
  EXPECT_EQ(job.depth, 64u);
  EXPECT_EQ(job.text, e.to_json() + e.formula());
  EXPECT_EQ(job.value_bits, std::bit_cast<uint64_t>(e.evaluate(ds.row(0))));
}
#endif

}  // namespace
}  // namespace quorvex
