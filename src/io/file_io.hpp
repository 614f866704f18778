#pragma once

#include "errors/result.hpp"

#include <string>
#include <string_view>
#include <sys/types.h>

namespace corvane::io {

// The FileWrite error for a system error number: the system's text followed
// by " (os error N)".
[[gnu::cold]] ConfigError write_error(int error);

// Writes all of `contents` at `offset` and on, repeating partial writes and
// writes interrupted by a signal.
Status write_all_at(int fd, std::string_view contents, off_t offset);

// Everything from `offset` to the end of the file. False with errno set when
// a read fails.
bool read_all_at(int fd, off_t offset, std::string &out);

// fsync, with the errors that only say "this file system cannot sync"
// (EINVAL, EROFS) taken as success.
Status sync_to_disk(int fd);

} // namespace corvane::io
