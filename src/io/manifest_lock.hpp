#pragma once

#include "errors/result.hpp"
#include "io/file_descriptor.hpp"
#include "io/interrupt.hpp"

#include <chrono>
#include <string_view>

namespace corvane::io {

// An exclusive advisory lock (flock) on the file a manifest path names, held
// while the manifest is read, changed and replaced, so that writers do not
// overwrite each other's additions. Two threads of one process exclude each
// other as two processes do (each opens the file anew). Waiting writers get
// the lock in the order they came (on local file systems). Readers take no
// lock: the replace is atomic.
class ManifestLock {
  public:
    static constexpr std::chrono::milliseconds kPatience{10000};

    // Waits for the lock at most `patience`, asking `interrupt` every few
    // milliseconds. Errors: FileWrite with EAGAIN's text when the lock is
    // not free in time; the Interrupted error when `interrupt` says so.
    // Comes back without a lock, and without an error, where there is
    // nothing to lock (the path names no regular file: the read that follows
    // reports why) or the file system cannot lock at all.
    static Result<ManifestLock> acquire(std::string_view path, const InterruptCheck &interrupt,
                                        std::chrono::milliseconds patience = kPatience);

    ManifestLock(ManifestLock &&) noexcept = default;
    ManifestLock &operator=(ManifestLock &&) = delete;
    ManifestLock(const ManifestLock &) = delete;
    ManifestLock &operator=(const ManifestLock &) = delete;
    ~ManifestLock() = default; // closing the descriptor lets the lock go

  private:
    ManifestLock() = default;
    explicit ManifestLock(FileDescriptor file) : file_(std::move(file)) {}

    FileDescriptor file_;
};

} // namespace corvane::io
