#pragma once

#include "errors/result.hpp"
#include "io/interrupt.hpp"

#include <string>
#include <string_view>
#include <sys/stat.h>

namespace corvane {

// The longest text read: a longer one could not be parsed (the YAML layer
// indexes texts with 32 bits). Stopping here also ends reading an endless
// device such as /dev/zero.
inline constexpr std::size_t kLargestFile = (std::size_t{1} << 31) - 1;

// The whole file at `path` if it is readable and valid UTF-8; otherwise the
// FileNotFound error carrying the path as given, or the Serialization error
// "document too large" past kLargestFile. A path holding a NUL byte
// names no file. A pipe or device that has nothing to read yet is waited
// for, asking `interrupt` every few milliseconds (the Interrupted error when
// it says stop).
Result<std::string> read_file_utf8(std::string_view path, const io::InterruptCheck &interrupt = {});

// The whole text of the file open at `fd`, which `info` (its fstat) describes,
// with the errors of read_file_utf8 for `path`.
Result<std::string> read_text(int fd, const struct stat &info, std::string_view path,
                              const io::InterruptCheck &interrupt);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

} // namespace corvane
