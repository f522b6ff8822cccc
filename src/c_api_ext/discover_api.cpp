#include <chrono>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "assess/assess.h"
#include "c_api_ext/handles.h"
#include "c_api_ext/options.h"
#include "expr/simplify.h"
#include "optimizer/discover.h"
#include "optimizer/permutation.h"
#include "parallel/fp_state.h"
#include "refine/display.h"
#include "refine/refine.h"
#include "refine/refined_permutation.h"
#include "resources/memory.h"
#include "text/numbers.h"

namespace {

using quorvex::ext::fail;
using quorvex::ext::guarded_status;
using quorvex::ext::read_options;
using quorvex::ext::refuse_classic_weights;
using quorvex::ext::Settings;
using quorvex::ext::StopRequest;

std::unique_ptr<qvx_result> run_classic(const quorvex::Dataset& data, const Settings& s,
                                        qvx_progress_fn progress, void* user) {
  quorvex::Discoverer discoverer(quorvex::Dataset(data), s.classic);
  discoverer.set_max_threads(s.max_threads);
  const auto start = std::chrono::steady_clock::now();
  if (progress != nullptr) {
    // The hook only observes the classic loop; a stop request leaves it by
    // unwinding, so the loop itself stays as it is.
    discoverer.set_progress_hook([&](uint32_t generation, uint32_t generations, double best) {
      const double elapsed =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (progress(user, generation, generations, elapsed, best) != 0) throw StopRequest{};
    });
  }
  quorvex::DiscoverResult r = discoverer.run();
  auto out = std::make_unique<qvx_result>();
  out->search = QVX_SEARCH_CLASSIC;
  out->simplified = quorvex::simplify(r.best, r.train).formula();
  {
    const quorvex::FpStateGuard fixed_state;
    out->latex = quorvex::show_formula(r.best, r.train).latex;
  }
  {
    // The host's thread evaluates here, after the search has given back its state.
    const quorvex::FpStateGuard fixed_state;
    out->result.finite_share = quorvex::finite_share(r.best, r.train, r.test);
  }
  out->result.generations = s.classic.generations;
  out->result.report = std::move(r.report);
  out->result.best = std::move(r.best);
  return out;
}

std::unique_ptr<qvx_result> run_refined(const quorvex::Dataset& data, const Settings& s,
                                        qvx_progress_fn progress, void* user) {
  const uint32_t cap = s.refined.generations;
  const quorvex::RefineProgress hook = [&](const quorvex::GenerationInfo& info) {
    return progress(user, info.generation, cap, info.elapsed, info.best_bic) == 0;
  };
  quorvex::RefinedResult r = quorvex::refine(data, s.refined, progress ? &hook : nullptr);
  auto out = std::make_unique<qvx_result>();
  out->search = QVX_SEARCH_REFINED;
  out->simplified = r.report.formula;  // the refined search simplifies its front
  out->result = std::move(r);
  return out;
}

}  // namespace

extern "C" {

QVX_API int32_t qvx_discover(const qvx_dataset* ds, const qvx_options* options,
                             qvx_progress_fn progress, void* user, qvx_result** out) noexcept {
  return guarded_status([&] {
    if (ds == nullptr) fail(QVX_ERR_ARGUMENT, "ds is NULL");
    if (out == nullptr) fail(QVX_ERR_ARGUMENT, "out is NULL");
    Settings s = read_options(options);
    refuse_classic_weights(s, ds->data);
    quorvex::ext::take_units(s, ds->units);
    try {
      auto result = s.search == QVX_SEARCH_CLASSIC ? run_classic(ds->data, s, progress, user)
                                                   : run_refined(ds->data, s, progress, user);
      *out = result.release();
    } catch (const StopRequest&) {
      fail(QVX_STOPPED,
           "stopped by the progress callback: a classic search cut short gives no "
           "result");
    }
  });
}

QVX_API int32_t qvx_permutation_test(const qvx_dataset* ds, const qvx_options* options,
                                     double real_bic, size_t n_permutations,
                                     qvx_permutation_fn progress, void* user, double* null_bics,
                                     double* p_value) noexcept {
  return guarded_status([&] {
    if (ds == nullptr) fail(QVX_ERR_ARGUMENT, "ds is NULL");
    if (p_value == nullptr) fail(QVX_ERR_ARGUMENT, "p_value is NULL");
    Settings s = read_options(options);
    refuse_classic_weights(s, ds->data);
    quorvex::ext::take_units(s, ds->units);
    if (!s.refined.start_from.empty())
      fail(QVX_ERR_ARGUMENT,
           "a permutation test starts every discovery afresh: set options->start_from to NULL");
    if (auto refusal = quorvex::memory_refusal(
            "a test of " + quorvex::format_integer(n_permutations) + " permutations",
            n_permutations, quorvex::kBytesPerPermutation, "permutation", "n_permutations",
            quorvex::memory_limit()))
      fail(QVX_ERR_ARGUMENT, "n_permutations: " + *refusal);
    // A nonzero answer of the callback ends the test without a p-value.
    bool stop_asked = false;
    quorvex::PermutationProgress hook;
    quorvex::PermutationStop stop;
    if (progress != nullptr) {
      hook = [&](size_t done, size_t total) { stop_asked = progress(user, done, total) != 0; };
      stop = [&] { return stop_asked; };
    }
    const quorvex::PermutationResult r =
        s.search == QVX_SEARCH_CLASSIC
            ? quorvex::permutation_test(ds->data, s.classic, real_bic, n_permutations,
                                        s.max_threads, hook, stop)
            : quorvex::refined_permutation_test(ds->data, s.refined, real_bic, n_permutations, hook,
                                                stop);
    if (r.stopped)
      fail(QVX_STOPPED, "stopped by the progress callback before the last permutation");
    if (null_bics != nullptr)
      for (size_t i = 0; i < r.null_bics.size(); ++i) null_bics[i] = r.null_bics[i];
    *p_value = r.p_value;
  });
}

QVX_API qvx_dataset* qvx_permuted_dataset(const qvx_dataset* ds, const qvx_options* options,
                                          size_t permutation) noexcept {
  return quorvex::ext::guarded<qvx_dataset*>(nullptr, [&]() -> qvx_dataset* {
    if (ds == nullptr) fail(QVX_ERR_ARGUMENT, "ds is NULL");
    const Settings s = read_options(options);
    if (permutation == 0) fail(QVX_ERR_ARGUMENT, "permutation counts from 1");
    // The rows and the shuffle of the permutation tests above.
    const uint64_t seed = s.search == QVX_SEARCH_CLASSIC ? s.classic.seed : s.refined.seed;
    const uint64_t shuffle = quorvex::permutation_seed(seed, permutation);
    if (s.search == QVX_SEARCH_CLASSIC)
      return new qvx_dataset{ds->data.shuffled_target(shuffle), ds->units};
    const std::vector<size_t> keep = quorvex::finite_rows(ds->data);
    return new qvx_dataset{ds->data.gather(keep.data(), keep.size()).shuffled_target(shuffle),
                           ds->units};
  });
}

QVX_API void qvx_result_free(qvx_result* result) noexcept { delete result; }

}  // extern "C"
