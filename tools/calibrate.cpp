// quorvex_calibrate: measures how often the verdict says Strong, Weak or Noise
// on data with a known answer (pure noise, Nguyen, Feynman), how that relates
// to formulas undefined on part of the rows and to exact fits, and the error
// rate and power of the permutation test. Writes a markdown report.

#include "calibrate.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace quorvex::calibrate {
namespace {

int run(Settings s) {
  if (s.quick) make_quick(s);
  if (s.jobs == 0) s.jobs = 1;
  const std::vector<Problem> nguyen = nguyen_problems();
  const std::vector<Problem> feynman = feynman_problems();
  const std::vector<Task> tasks = make_tasks(s, nguyen, feynman);
  const std::vector<Outcome> out = run_all(tasks, s, nguyen, feynman);
  const std::string md =
      "# quorvex verdict calibration\n\n" + report(s, tasks, out, nguyen, feynman);

  std::FILE* f = s.out.empty() ? stdout : std::fopen(s.out.c_str(), "wb");
  if (f == nullptr) {
    const std::string msg =
        "calibrate: cannot write \"" + s.out + "\": " + std::strerror(errno) + "\n";
    std::fwrite(msg.data(), 1, msg.size(), stderr);
    return 1;
  }
  const bool written = std::fwrite(md.data(), 1, md.size(), f) == md.size();
  const bool closed = f == stdout ? std::fflush(f) == 0 : std::fclose(f) == 0;
  return written && closed ? 0 : 1;
}

}  // namespace
}  // namespace quorvex::calibrate

int main(int argc, char** argv) {
  quorvex::calibrate::Settings s;
  CLI::App app{
      "Measures the verdict of quorvex on pure noise and on benchmark laws, and the error rate "
      "and power of the permutation test; writes a markdown report.",
      "quorvex_calibrate"};
  app.add_flag("--quick", s.quick, "A tiny size for smoke tests (overrides the sizes below)");
  app.add_option("--jobs", s.jobs, "Discoveries run at once (results do not depend on it)")
      ->capture_default_str();
  app.add_option("--out", s.out, "Write the report here instead of standard output");
  app.add_option("--population", s.population, "Candidates per generation")->capture_default_str();
  app.add_option("--generations", s.generations, "Generations")->capture_default_str();
  app.add_option("--noise-sets", s.noise_sets, "Noise data sets per target distribution")
      ->capture_default_str();
  app.add_option("--repeats", s.repeats, "Data sets per benchmark problem and noise level")
      ->capture_default_str();
  app.add_option("--permutations", s.permutations, "Permutations per tested data set")
      ->capture_default_str();
  app.add_option("--perm-noise-sets", s.perm_noise_sets,
                 "Noise data sets per distribution given the permutation test")
      ->capture_default_str();
  app.add_option("--perm-repeats", s.perm_repeats,
                 "Benchmark data sets per problem and noise level given the permutation test")
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  return quorvex::calibrate::run(s);
}
