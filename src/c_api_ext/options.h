#pragma once

#include <cstddef>

#include "optimizer/discover.h"
#include "quorvex_ext.h"
#include "refine/refine.h"

namespace quorvex::ext {

// The first version of qvx_options (up to max_threads): the smallest record
// a host may pass. Hosts built before `operators` pass this size.
inline constexpr size_t kOptionsSizeV1 = offsetof(qvx_options, operators);
// Where pointers take 8 bytes, that is the first version's sizeof, with no
// tail padding the new member could have reused.
static_assert(sizeof(void*) != 8 || kOptionsSizeV1 == 80);
// The second version (up to operators): hosts built before `start`.
inline constexpr size_t kOptionsSizeV2 = offsetof(qvx_options, start);
static_assert(sizeof(void*) != 8 || kOptionsSizeV2 == 88);
// The third version (up to start): hosts built before `start_from`.
inline constexpr size_t kOptionsSizeV3 = offsetof(qvx_options, start_from);
static_assert(sizeof(void*) != 8 || kOptionsSizeV3 == 96);

// A host's options, checked, as the engine's settings for its search.
struct Settings {
  int32_t search = QVX_SEARCH_REFINED;
  DiscoverConfig classic;
  RefinedConfig refined;
  size_t max_threads = 0;
};

// Throws Failure(QVX_ERR_ARGUMENT) naming the first setting out of range.
Settings read_options(const qvx_options* options);

// Throws Failure(QVX_ERR_ARGUMENT) for weighted rows given to the classic
// search, which would otherwise ignore the weights.
void refuse_classic_weights(const Settings& s, const Dataset& data);

// The dataset's units (qvx_dataset_set_units) into the refined settings;
// throws Failure(QVX_ERR_ARGUMENT) for units given to the classic search.
void take_units(Settings& s, const DeclaredUnits& units);

}  // namespace quorvex::ext
