#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "calibrate.h"
#include "progress.h"
#include "text/numbers.h"

namespace quorvex::calibrate {
namespace {

Outcome run_task(const Task& t, const Settings& s, const std::vector<Problem>& nguyen,
                 const std::vector<Problem>& feynman, size_t max_threads) {
  Sampler sampler(t.data_seed);
  Dataset data = t.suite == Suite::Noise
                     ? noise_dataset(sampler, t.n, t.d, t.law)
                     : problem_dataset((t.suite == Suite::Nguyen ? nguyen : feynman)[t.problem],
                                       sampler, t.noise_level);
  const DiscoverConfig config = config_of(s, t.search_seed);
  Discoverer discoverer(std::move(data), config);
  discoverer.set_max_threads(max_threads);
  const DiscoverResult result = discoverer.run();
  const DiscoverReport& report = result.report;

  Outcome o;
  o.verdict = report.verdict;
  o.exact_fit = report.mse_train == 0.0;
  o.train_rows = cli::count_finite_rows(result.best, result.train);
  if (t.permutations > 0)
    o.p_value = permutation_test(discoverer.data(), config, report.bic, t.permutations, max_threads)
                    .p_value;
  return o;
}

}  // namespace

void make_quick(Settings& s) {
  s.population = 20;
  s.generations = 3;
  s.noise_sets = 10;
  s.repeats = 1;
  s.permutations = 4;
  s.perm_noise_sets = 2;
  s.perm_repeats = 1;
}

DiscoverConfig config_of(const Settings& s, uint64_t seed) {
  return DiscoverConfig::from_c_arguments(s.generations, s.population, 0, seed, 0.0);
}

std::vector<Task> make_tasks(const Settings& s, const std::vector<Problem>& nguyen,
                             const std::vector<Problem>& feynman) {
  std::vector<Task> tasks;
  // Noise: n and d cycle through every pairing (25 data sets per cycle).
  for (size_t l = 0; l < 3; ++l) {
    for (size_t j = 0; j < s.noise_sets; ++j) {
      Task t;
      t.suite = Suite::Noise;
      t.law = kLaws[l];
      t.n = kNoiseRows[j % 5];
      t.d = 1 + j / 5 % 5;
      t.data_seed = mix(100 + l, j);
      t.search_seed = j;
      t.permutations = j < s.perm_noise_sets ? s.permutations : 0;
      tasks.push_back(t);
    }
  }
  const auto add_problems = [&](Suite suite, size_t count, uint64_t stream) {
    for (size_t p = 0; p < count; ++p)
      for (size_t lvl = 0; lvl < 3; ++lvl)
        for (size_t r = 0; r < s.repeats; ++r) {
          Task t;
          t.suite = suite;
          t.problem = p;
          t.noise_level = kNoiseLevels[lvl];
          t.data_seed = mix(stream + 100 * p + lvl, r);
          t.search_seed = r;
          t.permutations = r < s.perm_repeats ? s.permutations : 0;
          tasks.push_back(t);
        }
  };
  add_problems(Suite::Nguyen, nguyen.size(), 1000);
  add_problems(Suite::Feynman, feynman.size(), 5000);
  return tasks;
}

std::vector<Outcome> run_all(const std::vector<Task>& tasks, const Settings& s,
                             const std::vector<Problem>& nguyen,
                             const std::vector<Problem>& feynman) {
  std::vector<Outcome> out(tasks.size());
  // Weight of a task in the progress figure: its number of discoveries.
  size_t total = 0;
  for (const Task& t : tasks) total += 1 + t.permutations;
  std::atomic<size_t> next{0};
  std::mutex progress_lock;
  size_t done = 0;
  const bool terminal = cli::ProgressBar::stderr_is_terminal();
  const auto start = std::chrono::steady_clock::now();
  size_t last_percent = 0;
  // One job uses the worker pool for each population; several run their
  // discoveries on their own threads.
  const size_t max_threads = s.jobs > 1 ? 1 : 0;

  const auto work = [&] {
    for (size_t i = next++; i < tasks.size(); i = next++) {
      out[i] = run_task(tasks[i], s, nguyen, feynman, max_threads);
      std::lock_guard<std::mutex> lock(progress_lock);
      done += 1 + tasks[i].permutations;
      const size_t percent = done * 100 / total;
      if (terminal || percent / 10 != last_percent / 10) {
        last_percent = percent;
        const auto secs = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
        std::string line = "calibrate: " + format_integer(done) + "/" + format_integer(total) +
                           " discoveries (" + format_integer(percent) + "%), " +
                           format_integer(static_cast<size_t>(secs)) + " s";
        line = terminal ? "\r" + line : line + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
      }
    }
  };
  std::vector<std::thread> threads;
  for (size_t j = 1; j < s.jobs; ++j) threads.emplace_back(work);
  work();
  for (std::thread& th : threads) th.join();
  if (terminal) std::fwrite("\n", 1, 1, stderr);
  return out;
}

}  // namespace quorvex::calibrate
