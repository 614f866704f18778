#include "io/file_descriptor.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <unistd.h>
#include <vector>

namespace corvane::io {
namespace {

// The descriptors of open_guarded in this process. The mutex is held only
// while a descriptor is opened and entered, or taken out and closed, never
// while a call waits, so fork() (which takes it, see below) is never held
// up; while fork() holds it, no descriptor is between opening and entry.
class GuardedDescriptors {
  public:
    static GuardedDescriptors &instance() {
        // Never destroyed: a thread may still close a descriptor at exit.
        static auto *const registry = new GuardedDescriptors();
        return *registry;
    }

    int open(int directory, const char *name, int flags) {
        std::lock_guard hold(mutex_);
        int fd = ::openat(directory, name, flags | O_CLOEXEC);
        if (fd >= 0) {
            int saved = errno;
            try {
                fds_.push_back(fd);
            } catch (...) {
                ::close(fd);
                errno = ENOMEM;
                return -1;
            }
            errno = saved;
        }
        return fd;
    }

    int close(int fd) {
        std::lock_guard hold(mutex_);
        if (auto found = std::find(fds_.begin(), fds_.end(), fd); found != fds_.end()) {
            *found = fds_.back();
            fds_.pop_back();
        }
        return ::close(fd);
    }

  private:
    GuardedDescriptors() {
        ::pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                         [] { instance().forget_in_child(); });
    }

    // In the child only the forking thread lives, and it is in no call: the
    // copies are nobody's, and closing them lets the lock belong to the
    // parent alone (a lock lasts while any copy of its descriptor is open).
    void forget_in_child() {
        for (int fd : fds_)
            ::close(fd);
        fds_.clear();
        mutex_.unlock();
    }

    std::mutex mutex_;
    std::vector<int> fds_;
};

} // namespace

FileDescriptor FileDescriptor::open_guarded(int directory, const char *name, int flags) noexcept {
    FileDescriptor opened(GuardedDescriptors::instance().open(directory, name, flags));
    opened.guarded_ = bool(opened);
    return opened;
}

void FileDescriptor::reset(int fd) noexcept {
    if (fd_ >= 0)
        (void)close();
    fd_ = fd;
}

int FileDescriptor::close() noexcept {
    if (fd_ < 0)
        return 0;
    // Linux releases the descriptor even when close fails (EINTR included),
    // so it is never retried.
    int fd = std::exchange(fd_, -1);
    int result =
        std::exchange(guarded_, false) ? GuardedDescriptors::instance().close(fd) : ::close(fd);
    return result == 0 ? 0 : errno;
}

} // namespace corvane::io
