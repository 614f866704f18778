#pragma once

#include "errors/result.hpp"
#include "io/file_descriptor.hpp"

#include <chrono>
#include <utility>

namespace corvane::io {

class ManifestDirectory;

// The writers' lock of a manifest, held while the manifest is read, changed
// and replaced, so that writers do not overwrite each other's additions. Two
// threads of one process exclude each other as two processes do. Readers
// take no lock: the replace is atomic.
//
// Two locks, always taken in this order, by every writer on every route:
//  - the manifest's directory (the call's descriptor), with flock, on local
//    file systems: no rename of the manifest replaces it, so writers queued
//    behind a turn stay queued, in the order they came;
//  - the manifest file itself, with an open file description lock
//    (F_OFD_SETLK) over every byte: the one object that every view of the
//    file shares (a container that bind-mounts the file alone sees another
//    directory, but the same inode), and a lock NFS servers see, so that a
//    writer on the server's own disk and writers on its clients exclude each
//    other. Where the file cannot be opened for writing, a read lock, which
//    still excludes every writer that can write it.
// A writer that got the file's lock on a file another writer has meanwhile
// replaced takes it again on the file the path names now.
class ManifestLock {
  public:
    static constexpr std::chrono::milliseconds kPatience{10000};

    // Waits for both locks at most `patience` in all, asking the directory's
    // interrupt check every few milliseconds. Errors: FileWrite with EAGAIN's
    // text when the locks are not free in time, or with the system's text for
    // a resource error (EMFILE, ENFILE, ENOMEM, EIO, and ENOLCK on a local
    // file system); the Interrupted error when the check says so. Comes back
    // without a lock, and without an error, where there is nothing to lock
    // (no regular file at the path, which the read that follows reports) or
    // the file system has no locks (EOPNOTSUPP, ENOSYS, EINVAL; ENOLCK on a
    // network file system).
    static Result<ManifestLock> acquire(const ManifestDirectory &directory,
                                        std::chrono::milliseconds patience = kPatience);

    ManifestLock(ManifestLock &&other) noexcept
        : file_(std::move(other.file_)), directory_(std::exchange(other.directory_, nullptr)) {}
    ManifestLock &operator=(ManifestLock &&) = delete;
    ManifestLock(const ManifestLock &) = delete;
    ManifestLock &operator=(const ManifestLock &) = delete;
    ~ManifestLock(); // the file's lock goes first, then the directory's

    // The manifest file locked (invalid where none is).
    const FileDescriptor &file() const { return file_; }

  private:
    ManifestLock() = default;

    FileDescriptor file_;
    const FileDescriptor *directory_ = nullptr; // the call's, locked; borrowed
};

} // namespace corvane::io
