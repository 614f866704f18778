#pragma once

#include "errors/result.hpp"

#include <string>
#include <string_view>

namespace corvane {

// The whole file at `path` if it is readable and valid UTF-8; otherwise the
// FileNotFound error carrying the path as given. A path holding a NUL byte
// names no file.
Result<std::string> read_file_utf8(std::string_view path);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

} // namespace corvane
