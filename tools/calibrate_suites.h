#pragma once

// Data sets of the calibration program: pure noise, the Nguyen benchmarks
// and a selection of Feynman equations. Every value comes from a seeded
// std::mt19937_64, never from the library's own random stream.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"

namespace quorvex::calibrate {

class Sampler {
 public:
  explicit Sampler(uint64_t seed) : engine_(seed) {}

  double uniform01();  // [0, 1), a multiple of 2^-53
  double uniform(double lo, double hi);
  double normal();      // Box-Muller
  double student_t2();  // Student t with 2 degrees of freedom: infinite variance
  double cauchy();

 private:
  std::mt19937_64 engine_;
};

enum class TargetLaw { Normal, StudentT2, Cauchy };
const char* target_law_name(TargetLaw law);

// Features and targets drawn independently: n rows, d features x1..xd, each
// feature N(0, 1) or U[0.5, 5] (alternating, to have both signed and positive
// inputs), target y from `law`.
Dataset noise_dataset(Sampler& sampler, size_t n, size_t d, TargetLaw law);

struct Variable {
  std::string name;
  double lo;
  double hi;
};

struct Problem {
  std::string name;                 // "Nguyen-1", "I.6.2a"
  std::string formula;              // the law as readers know it
  std::vector<Variable> variables;  // sampled uniformly on [lo, hi]
  size_t rows;
  std::function<double(const double*)> law;
  // The law in the library's operators, when they can write it (no sin or cos).
  std::function<std::optional<Expr>()> tree;
};

std::vector<Problem> nguyen_problems();
std::vector<Problem> feynman_problems();

// One data set of a problem. noise_level scales Gaussian noise by the
// standard deviation of the clean targets (0.01 is 1%). With `exact_law` the
// clean targets are the problem's tree evaluated by the library, so that the
// law written as a formula fits them with an error of exactly zero.
Dataset problem_dataset(const Problem& problem, Sampler& sampler, double noise_level,
                        bool exact_law = false);

}  // namespace quorvex::calibrate
