#pragma once

#include "command.h"

namespace quorvex::cli {

// --predict: the saved formula on every row of the data, one CSV column. A
// row with a missing value gets "nan".
void run_predict(const Options& opt);

}  // namespace quorvex::cli
