#include "calibrate_suites.h"

#include <cmath>
#include <numbers>
#include <utility>

namespace quorvex::calibrate {

double Sampler::uniform01() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

double Sampler::uniform(double lo, double hi) { return lo + (hi - lo) * uniform01(); }

double Sampler::normal() {
  const double u1 = 1.0 - uniform01();  // (0, 1]: the logarithm stays finite
  const double u2 = uniform01();
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

double Sampler::student_t2() {
  // Z / sqrt(V / 2) with V chi-squared on 2 degrees of freedom, V = -2 ln U.
  const double z = normal();
  return z / std::sqrt(-std::log(1.0 - uniform01()));
}

double Sampler::cauchy() { return std::tan(std::numbers::pi * (uniform01() - 0.5)); }

const char* target_law_name(TargetLaw law) {
  switch (law) {
    case TargetLaw::Normal:
      return "normal";
    case TargetLaw::StudentT2:
      return "Student t, 2 dof";
    case TargetLaw::Cauchy:
      return "Cauchy";
  }
  return "";
}

Dataset noise_dataset(Sampler& sampler, size_t n, size_t d, TargetLaw law) {
  Dataset data("y");
  for (size_t j = 1; j <= d; ++j) {
    std::string name = std::to_string(j);  // "x" + ... trips a false -Wrestrict in GCC 12
    name.insert(name.begin(), 'x');
    data.add_feature(std::move(name));
  }
  data.reserve_rows(n);
  std::vector<double> values(d);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < d; ++j)
      values[j] = j % 2 == 0 ? sampler.normal() : sampler.uniform(0.5, 5.0);
    double y = 0.0;
    switch (law) {
      case TargetLaw::Normal:
        y = sampler.normal();
        break;
      case TargetLaw::StudentT2:
        y = sampler.student_t2();
        break;
      case TargetLaw::Cauchy:
        y = sampler.cauchy();
        break;
    }
    data.push_row(values.data(), y);
  }
  return data;
}

namespace {

// Short names for writing laws as trees.
Expr v(const char* name) { return Expr::feature(name); }
Expr c(double value) { return Expr::constant(value); }
Expr add(Expr a, Expr b) { return Expr::bin(Op::Add, std::move(a), std::move(b)); }
Expr sub(Expr a, Expr b) { return Expr::bin(Op::Sub, std::move(a), std::move(b)); }
Expr mul(Expr a, Expr b) { return Expr::bin(Op::Mul, std::move(a), std::move(b)); }
Expr div(Expr a, Expr b) { return Expr::bin(Op::Div, std::move(a), std::move(b)); }
Expr pw(Expr a, int32_t e) { return Expr::pow(std::move(a), e); }

// x + x^2 + ... + x^degree, as the sum is usually written (highest power first).
Expr power_sum(int32_t degree) {
  Expr sum = pw(v("x"), degree);
  for (int32_t e = degree - 1; e >= 2; --e) sum = add(std::move(sum), pw(v("x"), e));
  return add(std::move(sum), v("x"));
}

double power_sum(double x, int degree) {
  double sum = 0.0;
  for (int e = degree; e >= 1; --e) sum += std::pow(x, e);
  return sum;
}

using std::numbers::pi;
using Tree = std::optional<Expr>;
Tree none() { return std::nullopt; }

}  // namespace

// The classic definitions: 20 points, U[-1, 1] unless stated; Nguyen-7 on
// U[0, 2], Nguyen-8 on U[0, 4], the two-variable Nguyen-9..12 on U[0, 1]
// (which keeps x^y real).
std::vector<Problem> nguyen_problems() {
  const std::vector<Variable> x11 = {{"x", -1.0, 1.0}};
  const std::vector<Variable> xy01 = {{"x", 0.0, 1.0}, {"y", 0.0, 1.0}};
  return {
      {"Nguyen-1", "x^3 + x^2 + x", x11, 20, [](const double* a) { return power_sum(a[0], 3); },
       [] { return Tree(power_sum(3)); }},
      {"Nguyen-2", "x^4 + x^3 + x^2 + x", x11, 20,
       [](const double* a) { return power_sum(a[0], 4); }, [] { return Tree(power_sum(4)); }},
      {"Nguyen-3", "x^5 + ... + x", x11, 20, [](const double* a) { return power_sum(a[0], 5); },
       [] { return Tree(power_sum(5)); }},
      {"Nguyen-4", "x^6 + ... + x", x11, 20, [](const double* a) { return power_sum(a[0], 6); },
       [] { return Tree(power_sum(6)); }},
      {"Nguyen-5", "sin(x^2) cos(x) - 1", x11, 20,
       [](const double* a) { return std::sin(a[0] * a[0]) * std::cos(a[0]) - 1.0; }, none},
      {"Nguyen-6", "sin(x) + sin(x + x^2)", x11, 20,
       [](const double* a) { return std::sin(a[0]) + std::sin(a[0] + a[0] * a[0]); }, none},
      {"Nguyen-7",
       "log(x + 1) + log(x^2 + 1)",
       {{"x", 0.0, 2.0}},
       20,
       [](const double* a) { return std::log(a[0] + 1.0) + std::log(a[0] * a[0] + 1.0); },
       [] {
         return Tree(add(Expr::log(add(v("x"), c(1.0))), Expr::log(add(pw(v("x"), 2), c(1.0)))));
       }},
      {"Nguyen-8",
       "sqrt(x)",
       {{"x", 0.0, 4.0}},
       20,
       [](const double* a) { return std::sqrt(a[0]); },
       [] { return Tree(Expr::sqrt(v("x"))); }},
      {"Nguyen-9", "sin(x) + sin(y^2)", xy01, 20,
       [](const double* a) { return std::sin(a[0]) + std::sin(a[1] * a[1]); }, none},
      {"Nguyen-10", "2 sin(x) cos(y)", xy01, 20,
       [](const double* a) { return 2.0 * std::sin(a[0]) * std::cos(a[1]); }, none},
      {"Nguyen-11", "x^y", xy01, 20, [](const double* a) { return std::pow(a[0], a[1]); },
       [] { return Tree(Expr::exp(mul(v("y"), Expr::log(v("x"))))); }},
      {"Nguyen-12", "x^4 - x^3 + y^2/2 - y", xy01, 20,
       [](const double* a) {
         return std::pow(a[0], 4) - std::pow(a[0], 3) + a[1] * a[1] / 2.0 - a[1];
       },
       [] {
         return Tree(
             sub(add(sub(pw(v("x"), 4), pw(v("x"), 3)), div(pw(v("y"), 2), c(2.0))), v("y")));
       }},
  };
}

// Equations of the Feynman lectures with the variable ranges of the AI
// Feynman benchmark; 100 points each.
std::vector<Problem> feynman_problems() {
  const auto r15 = [](std::initializer_list<const char*> names) {
    std::vector<Variable> vars;
    for (const char* n : names) vars.push_back({n, 1.0, 5.0});
    return vars;
  };
  return {
      {"I.6.2a",
       "exp(-theta^2/2) / sqrt(2 pi)",
       {{"theta", 1.0, 3.0}},
       100,
       [](const double* a) { return std::exp(-a[0] * a[0] / 2.0) / std::sqrt(2.0 * pi); },
       [] {
         return Tree(div(Expr::exp(div(pw(v("theta"), 2), c(-2.0))), c(std::sqrt(2.0 * pi))));
       }},
      {"I.10.7",
       "m0 / sqrt(1 - v^2/c^2)",
       {{"m0", 1.0, 5.0}, {"v", 1.0, 2.0}, {"c", 3.0, 10.0}},
       100,
       [](const double* a) { return a[0] / std::sqrt(1.0 - a[1] * a[1] / (a[2] * a[2])); },
       [] {
         return Tree(div(v("m0"), Expr::sqrt(sub(c(1.0), div(pw(v("v"), 2), pw(v("c"), 2))))));
       }},
      {"I.12.1", "mu Nn", r15({"mu", "Nn"}), 100, [](const double* a) { return a[0] * a[1]; },
       [] { return Tree(mul(v("mu"), v("Nn"))); }},
      {"I.12.2", "q1 q2 / (4 pi epsilon r^2)", r15({"q1", "q2", "epsilon", "r"}), 100,
       [](const double* a) { return a[0] * a[1] / (4.0 * pi * a[2] * a[3] * a[3]); },
       [] {
         return Tree(
             div(mul(v("q1"), v("q2")), mul(mul(c(4.0 * pi), v("epsilon")), pw(v("r"), 2))));
       }},
      {"I.14.4", "k x^2 / 2", r15({"k", "x"}), 100,
       [](const double* a) { return a[0] * a[1] * a[1] / 2.0; },
       [] { return Tree(div(mul(v("k"), pw(v("x"), 2)), c(2.0))); }},
      {"I.18.4", "(m1 r1 + m2 r2) / (m1 + m2)", r15({"m1", "m2", "r1", "r2"}), 100,
       [](const double* a) { return (a[0] * a[2] + a[1] * a[3]) / (a[0] + a[1]); },
       [] {
         return Tree(div(add(mul(v("m1"), v("r1")), mul(v("m2"), v("r2"))), add(v("m1"), v("m2"))));
       }},
      {"I.25.13", "q / C", r15({"q", "C"}), 100, [](const double* a) { return a[0] / a[1]; },
       [] { return Tree(div(v("q"), v("C"))); }},
      {"I.27.6", "1 / (1/d1 + n/d2)", r15({"d1", "d2", "n"}), 100,
       [](const double* a) { return 1.0 / (1.0 / a[0] + a[2] / a[1]); },
       [] { return Tree(div(c(1.0), add(div(c(1.0), v("d1")), div(v("n"), v("d2"))))); }},
      {"I.29.4",
       "omega / c",
       {{"omega", 1.0, 10.0}, {"c", 1.0, 10.0}},
       100,
       [](const double* a) { return a[0] / a[1]; },
       [] { return Tree(div(v("omega"), v("c"))); }},
      {"I.34.27", "h omega / (2 pi)", r15({"h", "omega"}), 100,
       [](const double* a) { return a[0] * a[1] / (2.0 * pi); },
       [] { return Tree(div(mul(v("h"), v("omega")), c(2.0 * pi))); }},
      {"I.39.10", "3/2 pF V", r15({"pF", "V"}), 100,
       [](const double* a) { return 1.5 * a[0] * a[1]; },
       [] { return Tree(mul(mul(c(1.5), v("pF")), v("V"))); }},
      {"II.3.24", "P / (4 pi r^2)", r15({"P", "r"}), 100,
       [](const double* a) { return a[0] / (4.0 * pi * a[1] * a[1]); },
       [] { return Tree(div(v("P"), mul(c(4.0 * pi), pw(v("r"), 2)))); }},
      {"II.8.31", "epsilon Ef^2 / 2", r15({"epsilon", "Ef"}), 100,
       [](const double* a) { return a[0] * a[1] * a[1] / 2.0; },
       [] { return Tree(div(mul(v("epsilon"), pw(v("Ef"), 2)), c(2.0))); }},
      {"III.12.43", "n h / (2 pi)", r15({"n", "h"}), 100,
       [](const double* a) { return a[0] * a[1] / (2.0 * pi); },
       [] { return Tree(div(mul(v("n"), v("h")), c(2.0 * pi))); }},
  };
}

Dataset problem_dataset(const Problem& problem, Sampler& sampler, double noise_level,
                        bool exact_law) {
  const size_t d = problem.variables.size();
  Dataset data("f");
  for (const Variable& var : problem.variables) data.add_feature(var.name);
  std::vector<double> values(problem.rows * d);
  for (size_t i = 0; i < problem.rows; ++i)
    for (size_t j = 0; j < d; ++j)
      values[i * d + j] = sampler.uniform(problem.variables[j].lo, problem.variables[j].hi);

  std::vector<double> clean(problem.rows);
  std::optional<Expr> tree;
  if (exact_law) tree = problem.tree();
  if (tree) {
    // Evaluate through a dataset of the same rows, exactly as the search does.
    Dataset rows("f");
    for (const Variable& var : problem.variables) rows.add_feature(var.name);
    for (size_t i = 0; i < problem.rows; ++i) rows.push_row(&values[i * d], 0.0);
    for (size_t i = 0; i < problem.rows; ++i) clean[i] = tree->evaluate(rows.row(i));
  } else {
    for (size_t i = 0; i < problem.rows; ++i) clean[i] = problem.law(&values[i * d]);
  }

  double sd = 0.0;
  if (noise_level > 0.0) {
    double mean = 0.0;
    for (double y : clean) mean += y;
    mean /= static_cast<double>(clean.size());
    double ss = 0.0;
    for (double y : clean) ss += (y - mean) * (y - mean);
    sd = std::sqrt(ss / static_cast<double>(clean.size()));
  }
  data.reserve_rows(problem.rows);
  for (size_t i = 0; i < problem.rows; ++i) {
    const double y = noise_level > 0.0 ? clean[i] + noise_level * sd * sampler.normal() : clean[i];
    data.push_row(&values[i * d], y);
  }
  return data;
}

}  // namespace quorvex::calibrate
