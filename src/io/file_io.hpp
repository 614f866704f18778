#pragma once

#include "errors/result.hpp"
#include "io/interrupt.hpp"

#include <cerrno>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace corvane::io {

// The FileWrite error for a system error number: the system's text followed
// by " (os error N)". EINTR, which reaches here only from a call that
// retry_interrupted() gave up on, is the Interrupted error.
[[gnu::cold]] ConfigError write_error(int error);

// Runs `call` (a system call returning -1 with errno on failure) again as
// long as a signal interrupts it (EINTR) and `interrupt` lets the call go on:
// the signal's handlers run first, as Python's own calls do it. Returns the
// last result; errno is EINTR after it only when `interrupt` said stop.
template <class Call> auto retry_interrupted(const InterruptCheck &interrupt, Call call) {
    for (;;) {
        auto result = call();
        if (result != -1 || errno != EINTR)
            return result;
        if (interrupt()) {
            errno = EINTR; // the check may have run code that set it
            return result;
        }
    }
}

// Writes all of `contents` at `offset` and on, repeating partial writes and
// writes interrupted by a signal.
Status write_all_at(int fd, std::string_view contents, off_t offset,
                    const InterruptCheck &interrupt);

// A path holding a NUL byte names no file: the system could not be given it.
inline bool names_no_file(std::string_view path) {
    return path.find('\0') != std::string_view::npos;
}

// The errors that say "not now, not here" about the process or the machine
// (no descriptor, no memory, an I/O error) rather than about the file: they
// fail a write with their own text and are never taken as "no lock here" or
// "no such file".
bool is_resource_error(int error);

// fsync, with the errors that only say "this file system cannot sync"
// (EINVAL, EROFS) taken as success.
Status sync_to_disk(int fd, const InterruptCheck &interrupt);

} // namespace corvane::io
