#pragma once

#include "errors/result.hpp"
#include "io/file_descriptor.hpp"
#include "io/file_system.hpp"
#include "io/interrupt.hpp"

#include <string>
#include <string_view>
#include <sys/stat.h>

namespace corvane::io {

// The directory of a manifest path, opened once per call. Every later step
// names the manifest relative to this descriptor, so a chdir() in another
// thread, or the directory being renamed meanwhile, changes nothing about
// which files the call touches. The descriptor is also what the writers'
// lock is taken on (local file systems) and what is flushed after a rename.
class ManifestDirectory {
  public:
    // Errors: FileNotFound(path) when the path cannot name a file in a
    // directory that exists (a NUL byte, a missing directory, no final
    // name); FileWrite with the system's text for a resource error, or when
    // the directory cannot be opened for reading (it could be neither locked
    // nor flushed) while the manifest in it exists.
    // `interrupt` is asked whenever a signal interrupts a system call of the
    // call (which is then made again), and must outlive the directory.
    static Result<ManifestDirectory> open(std::string_view path, const InterruptCheck &interrupt);

    int fd() const { return fd_.get(); }
    const FileDescriptor &descriptor() const { return fd_; }
    const InterruptCheck &interrupt() const { return *interrupt_; }
    // The manifest's name within the directory.
    const char *name() const { return name_.c_str(); }
    // The path as the caller gave it, for messages.
    std::string_view path() const { return path_; }
    // The directory's file system, asked once per call.
    const FileSystem &file_system() const { return file_system_; }
    bool network() const { return file_system_.network; }

  private:
    ManifestDirectory(FileDescriptor fd, std::string name, std::string_view path,
                      FileSystem file_system, const InterruptCheck &interrupt)
        : fd_(std::move(fd)), name_(std::move(name)), path_(path), file_system_(file_system),
          interrupt_(&interrupt) {}

    FileDescriptor fd_;
    std::string name_;
    std::string_view path_;
    FileSystem file_system_;
    const InterruptCheck *interrupt_;
};

// A manifest's text as one read found it, with the file's fstat then.
struct ManifestText {
    std::string text;
    struct stat read_as;
};

// Reads the manifest. Errors: those of read_file_utf8 for the path; FileWrite
// for a resource error, for a file that is neither regular nor a directory
// (a named pipe, a device: add never replaces one), and for a file no name
// points to any more (see replaced_outside_mount).
Result<ManifestText> read_manifest(const ManifestDirectory &directory);

// The FileWrite error for a manifest file with no name left (st_nlink 0): a
// rename replaced it where this view cannot see it, as a bind mount of the
// file itself keeps showing the old file. Writing into it would be lost.
[[gnu::cold]] ConfigError replaced_outside_mount();

// Whether two stats describe one file (device and inode).
bool same_file(const struct stat &a, const struct stat &b);

// Whether the directory still names the file `read_as` describes, unchanged
// since (size, modification and change times): no other program replaced or
// edited it. False with an error only for a resource error.
Result<bool> still_as_read(const ManifestDirectory &directory, const struct stat &read_as);

} // namespace corvane::io
