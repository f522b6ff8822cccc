#pragma once

#include <string>

#include "command.h"
#include "dataset/dataset.h"

namespace quorvex::cli {

// The chosen columns of the CSV input as a dataset, features first. Rows
// with an unusable value stop the command, or are set aside with
// --drop-missing: `dropped_note` then says how many (empty if none).
Dataset read_dataset(const Options& opt, std::string& dropped_note);

// Outputs are written only after success, but a path that cannot be
// written should fail now rather than after the search.
void check_outputs(const Options& opt);

}  // namespace quorvex::cli
