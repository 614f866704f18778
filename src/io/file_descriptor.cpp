#include "io/file_descriptor.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace corvane::io {
namespace {

// The descriptors of open_guarded in this process. The mutex is held only
// to enter a descriptor or take it out, never across a system call, so
// fork() (which takes it, see below) is never held up by a slow file system.
//
// What keeps a child from keeping a copy nobody closes: a fork while a
// descriptor is being opened is seen (forks_ changed) and the descriptor is
// opened again, as the child may hold an unlisted copy; and a descriptor's
// locks are let go before it leaves the list, so a copy a child gets in the
// instant before the close holds none.
class GuardedDescriptors {
  public:
    static GuardedDescriptors &instance() {
        // Never destroyed: a thread may still close a descriptor at exit.
        static auto *const registry = new GuardedDescriptors();
        return *registry;
    }

    int open(int directory, const char *name, int flags) {
        for (;;) {
            const unsigned forks = forks_.load();
            int fd = ::openat(directory, name, flags | O_CLOEXEC);
            if (fd < 0)
                return fd;
            bool entered = false;
            bool forked = false;
            {
                std::lock_guard hold(mutex_);
                forked = forks_.load() != forks;
                if (!forked) {
                    try {
                        fds_.push_back(fd);
                        entered = true;
                    } catch (...) {
                    }
                }
            }
            if (entered)
                return fd;
            ::close(fd);
            if (!forked) {
                errno = ENOMEM;
                return -1;
            }
        }
    }

    int close(int fd) {
        release_locks(fd);
        {
            std::lock_guard hold(mutex_);
            if (auto found = std::find(fds_.begin(), fds_.end(), fd); found != fds_.end()) {
                *found = fds_.back();
                fds_.pop_back();
            }
        }
        return ::close(fd);
    }

    unsigned generation() const { return generation_.load(std::memory_order_relaxed); }

  private:
    GuardedDescriptors() {
        ::pthread_atfork([] { instance().mutex_.lock(); },
                         [] {
                             instance().forks_.fetch_add(1);
                             instance().mutex_.unlock();
                         },
                         [] { instance().forget_in_child(); });
    }

    // Both kinds the writers take (flock and open file description locks),
    // on the whole file and the waiting line past its end.
    static void release_locks(int fd) {
        (void)::flock(fd, LOCK_UN);
        struct flock all {};
        all.l_type = F_UNLCK;
        all.l_whence = SEEK_SET;
        (void)::fcntl(fd, F_OFD_SETLK, &all);
    }

    // In the child only the forking thread lives. Its copies are closed
    // without letting their locks go (that would free the parent's), so the
    // lock belongs to the parent alone. If the forking thread was inside a
    // call (a signal handler forked), the call sees generation() change.
    void forget_in_child() {
        for (int fd : fds_)
            ::close(fd);
        fds_.clear();
        generation_.fetch_add(1, std::memory_order_relaxed);
        mutex_.unlock();
    }

    std::mutex mutex_;
    std::vector<int> fds_;
    std::atomic<unsigned> forks_{0};      // forks the parent made
    std::atomic<unsigned> generation_{0}; // forks this process is a child of
};

} // namespace

FileDescriptor FileDescriptor::open_guarded(int directory, const char *name, int flags) noexcept {
    auto &registry = GuardedDescriptors::instance();
    FileDescriptor opened(registry.open(directory, name, flags));
    opened.guarded_ = bool(opened);
    opened.generation_ = registry.generation();
    return opened;
}

bool FileDescriptor::owned() const {
    return !guarded_ || generation_ == GuardedDescriptors::instance().generation();
}

unsigned fork_generation() noexcept {
    return GuardedDescriptors::instance().generation();
}

void FileDescriptor::reset(int fd) noexcept {
    if (fd_ >= 0)
        (void)close();
    fd_ = fd;
}

int FileDescriptor::close() noexcept {
    if (fd_ < 0)
        return 0;
    int fd = std::exchange(fd_, -1);
    if (!owned()) {
        guarded_ = false; // closed by the fork; the number is someone else's now
        return 0;
    }
    // Linux releases the descriptor even when close fails (EINTR included),
    // so it is never retried.
    int result =
        std::exchange(guarded_, false) ? GuardedDescriptors::instance().close(fd) : ::close(fd);
    return result == 0 ? 0 : errno;
}

} // namespace corvane::io
