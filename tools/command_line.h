#pragma once

#include <optional>

#include "command.h"

namespace quorvex::cli {

// Reads the options into `opt`; the exit code when the command ends here
// (help, version, errors, already reported on stdout or stderr).
std::optional<int> parse_command_line(int argc, char** argv, Options& opt);

}  // namespace quorvex::cli
