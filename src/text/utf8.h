#pragma once

#include <cstddef>
#include <string_view>

namespace quorvex {

// Strict UTF-8 as the Unicode standard defines it: no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequences.
bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace quorvex
