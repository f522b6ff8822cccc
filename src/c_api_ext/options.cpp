#include "c_api_ext/options.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "c_api_ext/handles.h"
#include "expr/read_json.h"
#include "refine/starts.h"
#include "resources/memory.h"
#include "text/numbers.h"

namespace quorvex::ext {

namespace {

// The bytes of a host's record this library reads: an older version's, or
// all it knows. A size inside a member is no version at all.
size_t known_size(size_t size, const char* what) {
  if (size < kOptionsSizeV1)
    fail(QVX_ERR_ARGUMENT, std::string(what) + " is " + std::to_string(size) +
                               ", smaller than any qvx_options (use qvx_options_init)");
  if (size != kOptionsSizeV1 && size != kOptionsSizeV2 && size != kOptionsSizeV3 &&
      size < sizeof(qvx_options))
    fail(QVX_ERR_ARGUMENT, std::string(what) + " is " + std::to_string(size) +
                               ", the size of no qvx_options (use qvx_options_init)");
  return std::min(size, sizeof(qvx_options));
}

OperatorSet read_operators(const char* text) {
  const std::string given = utf8_argument(text, "options->operators");
  try {
    return OperatorSet::parse(given);
  } catch (const std::invalid_argument& e) {
    fail(QVX_ERR_ARGUMENT, e.what());
  }
}

std::vector<Expr> read_start_from(const char* text) {
  const std::string given = utf8_argument(text, "options->start_from");
  try {
    return start_formulas(given);
  } catch (const JsonError& e) {
    fail(QVX_ERR_ARGUMENT, std::string("options->start_from: ") + e.what());
  }
}

// Settings whose memory can never be had would fail deep inside the engine,
// some by terminating the process: refuse them here, by the command's rule.
void refuse_what_cannot_fit(const qvx_options& o) {
  const MemoryLimit limit = memory_limit();
  if (auto refusal = population_refusal(o.population, o.max_depth, limit, "options->population"))
    fail(QVX_ERR_ARGUMENT, "options->population: " + *refusal);
  if (auto refusal = memory_refusal(
          "a baseline of " + format_integer(o.n_shuffles) + " shuffled targets", o.n_shuffles,
          kBytesPerShuffle, "shuffled target", "options->n_shuffles", limit))
    fail(QVX_ERR_ARGUMENT, "options->n_shuffles: " + *refusal);
}

}  // namespace

Settings read_options(const qvx_options* options) {
  if (options == nullptr) fail(QVX_ERR_ARGUMENT, "options is NULL");
  const size_t size = options->size;
  const size_t known = known_size(size, "options->size");
  // A newer host's record: its members this library does not know must be at
  // their default, 0, or the host would get a search it did not ask for.
  const auto* bytes = reinterpret_cast<const unsigned char*>(options);
  for (size_t i = sizeof(qvx_options); i < size; ++i)
    if (bytes[i] != 0)
      fail(QVX_ERR_ARGUMENT, "options has members this library version does not know");
  // An older host's record lacks the later members: they keep their defaults.
  qvx_options o{};
  std::memcpy(&o, options, known);

  Settings s;
  s.search = o.search;
  if (o.search != QVX_SEARCH_REFINED && o.search != QVX_SEARCH_CLASSIC)
    fail(QVX_ERR_ARGUMENT, "options->search is neither QVX_SEARCH_REFINED nor QVX_SEARCH_CLASSIC");
  if (o.generations == 0) fail(QVX_ERR_ARGUMENT, "options->generations must be at least 1");
  if (o.population == 0) fail(QVX_ERR_ARGUMENT, "options->population must be at least 1");
  if (o.max_depth == 0) fail(QVX_ERR_ARGUMENT, "options->max_depth must be at least 1");
  if (!(o.test_fraction > 0.0 && o.test_fraction < 1.0))
    fail(QVX_ERR_ARGUMENT, "options->test_fraction must lie strictly between 0 and 1");
  if (o.n_shuffles < 2) fail(QVX_ERR_ARGUMENT, "options->n_shuffles must be at least 2");
  if (!(o.time_limit >= 0.0))
    fail(QVX_ERR_ARGUMENT, "options->time_limit must be 0 or a positive number of seconds");
  refuse_what_cannot_fit(o);
  s.max_threads = o.max_threads;

  if (o.search == QVX_SEARCH_CLASSIC) {
    if (o.time_limit != 0.0 || o.patience != 0 || o.exact_patience != 0)
      fail(QVX_ERR_ARGUMENT,
           "the classic search has no time limit or patience: set them to 0 "
           "(qvx_options_init with QVX_SEARCH_CLASSIC does)");
    if (o.operators != nullptr)
      fail(QVX_ERR_ARGUMENT,
           "the classic search's operators are fixed: set options->operators to NULL "
           "(qvx_options_init with QVX_SEARCH_CLASSIC does)");
    if (o.start != 0)
      fail(QVX_ERR_ARGUMENT,
           "the classic search has one start: set options->start to 0 "
           "(qvx_options_init with QVX_SEARCH_CLASSIC does)");
    if (o.start_from != nullptr)
      fail(QVX_ERR_ARGUMENT,
           "the classic search has no warm start: set options->start_from to NULL "
           "(qvx_options_init with QVX_SEARCH_CLASSIC does)");
    // The settings quorvex_discover builds from its five arguments.
    s.classic = DiscoverConfig::from_c_arguments(o.generations, o.population, o.max_depth, o.seed,
                                                 o.test_fraction);
    s.classic.n_shuffles = o.n_shuffles;
  } else {
    RefinedConfig& r = s.refined;
    r.generations = o.generations;
    r.population = o.population;
    r.max_depth = o.max_depth;
    r.seed = o.seed;
    r.test_fraction = o.test_fraction;
    r.n_shuffles = o.n_shuffles;
    r.time_limit = o.time_limit;
    r.patience = o.patience;
    r.exact_patience = o.exact_patience;
    r.max_threads = o.max_threads;
    r.start = o.start;
    if (o.operators != nullptr) r.operators = read_operators(o.operators);
    if (o.start_from != nullptr) r.start_from = read_start_from(o.start_from);
  }
  return s;
}

void take_units(Settings& s, const DeclaredUnits& units) {
  if (!units.declared) return;
  if (s.search == QVX_SEARCH_CLASSIC)
    fail(QVX_ERR_ARGUMENT,
         "the classic search ignores units: use the refined search, or remove the units "
         "(qvx_dataset_set_units with NULL)");
  s.refined.units = units;
}

void refuse_classic_weights(const Settings& s, const Dataset& data) {
  if (s.search == QVX_SEARCH_CLASSIC && data.weighted())
    fail(QVX_ERR_ARGUMENT,
         "the classic search weighs every row alike: use the refined search for weighted rows, "
         "or remove the weights (qvx_dataset_set_weights with n_rows 0)");
}

}  // namespace quorvex::ext

extern "C" {

QVX_API int32_t qvx_options_init(qvx_options* options, size_t size, int32_t search) noexcept {
  using namespace quorvex::ext;
  return guarded_status([&] {
    if (options == nullptr) fail(QVX_ERR_ARGUMENT, "options is NULL");
    const size_t known = known_size(size, "size");
    if (search != QVX_SEARCH_REFINED && search != QVX_SEARCH_CLASSIC)
      fail(QVX_ERR_ARGUMENT, "search is neither QVX_SEARCH_REFINED nor QVX_SEARCH_CLASSIC");
    qvx_options o{};
    o.size = size;
    o.search = search;
    if (search == QVX_SEARCH_CLASSIC) {
      const quorvex::DiscoverConfig c;
      o.generations = c.generations;
      o.population = c.population;
      o.max_depth = c.max_depth;
      o.seed = c.seed;
      o.test_fraction = c.test_fraction;
      o.n_shuffles = c.n_shuffles;
    } else {
      const quorvex::RefinedConfig r;
      o.generations = r.generations;
      o.population = r.population;
      o.max_depth = r.max_depth;
      o.seed = r.seed;
      o.test_fraction = r.test_fraction;
      o.n_shuffles = r.n_shuffles;
      o.time_limit = r.time_limit;
      o.patience = r.patience;
      o.exact_patience = r.exact_patience;
      o.max_threads = r.max_threads;
    }
    std::memcpy(options, &o, known);
    std::memset(reinterpret_cast<unsigned char*>(options) + known, 0, size - known);
  });
}

}  // extern "C"
