#pragma once

#include <utility>

namespace corvane::io {

// The one owner of an open file descriptor: closed when the owner goes, on
// every way out of a scope. Moves hand the descriptor on; nothing copies it.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept
        : fd_(std::exchange(other.fd_, -1)), guarded_(std::exchange(other.guarded_, false)),
          generation_(other.generation_) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
            guarded_ = std::exchange(other.guarded_, false);
            generation_ = other.generation_;
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() { reset(); }

    // openat(2) of a descriptor that holds or waits for the writers' lock. A
    // child forked while it is open closes its copy at once, so that the
    // child never keeps the lock (the parent's stays); the number then is no
    // longer this owner's in the child (see owned()). Invalid, with errno
    // set, when the open fails (EINTR included: the caller decides whether
    // to try again).
    static FileDescriptor open_guarded(int directory, const char *name, int flags) noexcept;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // False in a child forked since a guarded descriptor was opened: the
    // child closed its copy, and the number may name another file by now.
    // Such a descriptor is never used or closed again.
    bool owned() const;

    // Closes the descriptor held (if any) and takes `fd` instead. A close
    // error is not seen here: where it matters, use close().
    void reset(int fd = -1) noexcept;

    // Closes now and returns 0 or the error number of close(2): data written
    // through a descriptor is only known to have reached the file when the
    // close succeeds as well. A guarded descriptor lets its locks go first.
    int close() noexcept;

  private:
    int fd_ = -1;
    bool guarded_ = false;    // in the registry of open_guarded
    unsigned generation_ = 0; // the process's fork count when opened
};

// How many times this process is a forked child of the process that opened
// the guarded descriptors it knows of: a call that sees this change while it
// runs has been forked (by a signal handler it ran) and must stop.
unsigned fork_generation() noexcept;

} // namespace corvane::io
