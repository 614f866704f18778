#pragma once

#include "errors/result.hpp"
#include "io/file_descriptor.hpp"
#include "io/interrupt.hpp"

#include <chrono>
#include <utility>

namespace corvane::io {

class ManifestDirectory;

// The writers' lock of a manifest: an exclusive advisory lock (flock) held
// while the manifest is read, changed and replaced, so that writers do not
// overwrite each other's additions. Two threads of one process exclude each
// other as two processes do. Waiting writers get the lock in the order they
// came (on local file systems). Readers take no lock: the replace is atomic.
//
// What is locked: the manifest's directory (the call's descriptor), which no
// rename of the manifest replaces; or, where asked (`lock_file`: a network
// file system, where a directory lock excludes only writers on the same
// machine, or a manifest that is a mount point of its own and so has a
// different directory in every container), the manifest file itself. A lock
// on the file guards nothing once another program replaces the file: the
// writer checks before it writes that the file is still the one it read.
class ManifestLock {
  public:
    static constexpr std::chrono::milliseconds kPatience{10000};

    // Waits for the lock at most `patience`, asking `interrupt` every few
    // milliseconds. Errors: FileWrite with EAGAIN's text when the lock is
    // not free in time, or with the system's text for a resource error
    // (EMFILE, ENFILE, ENOMEM, EIO, and ENOLCK on a local file system); the
    // Interrupted error when `interrupt` says so. Comes back without a lock,
    // and without an error, where there is nothing to lock (the file to lock
    // is no regular file: the read that follows reports why) or the file
    // system has no locks (EOPNOTSUPP, ENOSYS, EINVAL; ENOLCK on a network
    // file system).
    static Result<ManifestLock> acquire(const ManifestDirectory &directory, bool lock_file,
                                        const InterruptCheck &interrupt,
                                        std::chrono::milliseconds patience = kPatience);

    ManifestLock(ManifestLock &&other) noexcept
        : file_(std::move(other.file_)),
          locked_directory_(std::exchange(other.locked_directory_, -1)) {}
    ManifestLock &operator=(ManifestLock &&) = delete;
    ManifestLock(const ManifestLock &) = delete;
    ManifestLock &operator=(const ManifestLock &) = delete;
    ~ManifestLock(); // closing the file, or unlocking the directory, lets the lock go

  private:
    ManifestLock() = default;
    ManifestLock(FileDescriptor file, int locked_directory)
        : file_(std::move(file)), locked_directory_(locked_directory) {}

    FileDescriptor file_;
    int locked_directory_ = -1; // borrowed from the call's ManifestDirectory
};

} // namespace corvane::io
