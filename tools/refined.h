#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "refine/refine.h"

namespace quorvex::cli {

// "search  : refined, 23 generations in 0.41 s, stopped: no improvement";
// `interrupted` names Ctrl-C as the reason the caller's callback gave. Of
// several starts: "refined, 3 starts, 61 generations in 1.20 s (summed), ...".
std::string search_line(const RefinedResult& result, bool interrupted, uint32_t starts = 1);

// "operators: +,-,*,/,pow,exp,log,sqrt,sin,cos": the set searched, weights
// other than 1 after a colon.
std::string operators_line(const RefinedResult& result);

}  // namespace quorvex::cli
