// Runs one discovery with an extreme argument through the C interface and
// prints what came out, for tests/stress/extremes.sh. Too slow or too big for
// CI; the cheap cases live in tests/c_api/extreme_test.cpp.
#include <sys/resource.h>

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "expr/generator.h"
#include "quorvex.h"

namespace {

// 0 asks for the C entry's defaults: 40 generations, 200 candidates, depth 4.
struct Setup {
  size_t rows = 100;
  size_t features = 2;
  size_t name_bytes = 1;  // length of each feature name
  uint32_t generations = 0;
  size_t population = 0;
  uint32_t max_depth = 0;
  double test_fraction = 0.25;
};

uint32_t depth_of(const nlohmann::json& e) {
  const std::string kind = e.begin().key();
  const auto& body = e.begin().value();
  if (kind == "Const" || kind == "Feature") return 1;
  if (kind == "Bin") return 1 + std::max(depth_of(body[1]), depth_of(body[2]));
  if (kind == "Pow") return 1 + depth_of(body[0]);
  return 1 + depth_of(body);
}

int run_discovery(const char* scenario, const Setup& s) {
  CDataset* ds = quorvex_dataset_new("y");
  for (size_t j = 0; j < s.features; ++j) {
    std::string name(s.name_bytes, static_cast<char>('a' + j % 26));
    name += std::to_string(j);
    quorvex_dataset_add_feature(ds, name.c_str());
  }
  std::vector<double> v(s.features + 1);
  for (size_t i = 0; i < s.rows; ++i) {
    for (size_t j = 0; j < s.features; ++j) v[j] = std::sin(0.7 * i + 1.3 * j) * (j + 1);
    quorvex_dataset_push_row(ds, v.data(), v[0] * v[0] + 0.5 * (s.features > 1 ? v[1] : 1.0));
  }
  const auto t0 = std::chrono::steady_clock::now();
  CReport* r = quorvex_discover(ds, s.generations, s.population, s.max_depth, 1, s.test_fraction);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  char* json = quorvex_report_json(r);
  const auto doc = nlohmann::ordered_json::parse(json);
  const std::string expr = doc["expr_json"].get<std::string>();
  const uint32_t depth = expr.empty() ? 0 : depth_of(nlohmann::json::parse(expr));
  char* formula = quorvex_report_formula(r);
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf(
      "%s (rows %zu, features %zu x %zu bytes, generations %u, population %zu, max_depth %u, "
      "test_fraction %g):\n  discover %lld ms, peak RSS %ld MiB, n_train %zu, n_test %zu, k %u, "
      "depth %u, formula %zu bytes, bic %s, verdict %s\n",
      scenario, s.rows, s.features, s.name_bytes, s.generations, s.population, s.max_depth,
      s.test_fraction, static_cast<long long>(ms), ru.ru_maxrss / 1024,
      doc["n_train"].get<size_t>(), doc["n_test"].get<size_t>(), doc["k"].get<uint32_t>(), depth,
      std::strlen(formula), doc["bic"].dump().c_str(), doc["verdict"].get<std::string>().c_str());
  quorvex_string_free(formula);
  quorvex_string_free(json);
  quorvex_report_free(r);
  quorvex_dataset_free(ds);
  return 0;
}

// The generator with a huge depth budget, directly: the largest trees that
// random and a chain of mutations build.
int probe_generator(uint32_t budget, size_t trees) {
  quorvex::ExprGen gen({"a", "b"}, quorvex::Lcg(7));
  uint32_t max_depth = 0, max_k = 0;
  double sum_k = 0.0;
  for (size_t i = 0; i < trees; ++i) {
    quorvex::Expr t = gen.random(budget);
    for (int m = 0; m < 3; ++m) t = gen.mutate(t, budget);
    max_depth = std::max(max_depth, t.depth());
    max_k = std::max(max_k, t.k());
    sum_k += t.k();
  }
  std::printf("generator budget %" PRIu32
              ": %zu trees, largest depth %u, largest k %u, mean k %.2f\n",
              budget, trees, max_depth, max_k, sum_k / static_cast<double>(trees));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  Setup s;
  if (what == "depth-1000") {
    s.max_depth = 1000;
  } else if (what == "depth-max") {
    s.max_depth = UINT32_MAX;
  } else if (what == "probe-1000") {
    return probe_generator(1000, 1000000);
  } else if (what == "probe-max") {
    return probe_generator(UINT32_MAX, 1000000);
  } else if (what == "population-1") {
    s.population = 1;
    s.generations = 1;
  } else if (what == "population-1e6") {
    s.population = 1000000;
    s.generations = 1;
  } else if (what == "generations-1e4") {
    s.population = 2;
    s.generations = 10000;
  } else if (what == "test-fraction-1e-300") {
    s.test_fraction = 1e-300;
  } else if (what == "test-fraction-0.9999999") {
    s.test_fraction = 0.9999999;
  } else if (what == "features-5000") {
    s.features = 5000;  // the linear baselines solve a 5001-square system
    s.rows = 40;
    s.generations = 10;
    s.population = 50;
  } else if (what == "rows-0") {
    s.rows = 0;
  } else if (what == "names-1MiB") {
    s.name_bytes = size_t{1} << 20;
  } else {
    std::fprintf(stderr, "usage: %s SCENARIO\n", argv[0]);
    return 2;
  }
  return run_discovery(what.c_str(), s);
}
