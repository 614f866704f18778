#include "io/manifest_lock.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace corvane::io {
namespace {

using Clock = std::chrono::steady_clock;

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Polls for the lock until the deadline: a writer stuck elsewhere must not
// freeze this process for longer than that.
bool lock_before(int fd, Clock::time_point deadline) {
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        auto now = Clock::now();
        if (now >= deadline)
            return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(8));
    }
}

} // namespace

ManifestLock ManifestLock::acquire(std::string_view path, std::chrono::milliseconds patience) {
    if (path.find('\0') != std::string_view::npos)
        return ManifestLock(-1);
    const std::string name(path);
    const auto deadline = Clock::now() + patience;
    for (;;) {
        // Only regular files are locked: opening a device or a pipe can have
        // effects of its own.
        struct stat found {};
        if (::stat(name.c_str(), &found) != 0 || !S_ISREG(found.st_mode))
            return ManifestLock(-1); // the read that follows reports any problem
        int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            return ManifestLock(-1);
        if (!lock_before(fd, deadline)) {
            ::close(fd);
            return ManifestLock(-1);
        }
        // A writer that held the lock before us may have renamed a new file
        // into place: the lock then guards a file nobody will read again.
        struct stat locked {
        }, named{};
        if (::fstat(fd, &locked) != 0 || ::stat(name.c_str(), &named) != 0 ||
            same_file(locked, named))
            return ManifestLock(fd);
        ::close(fd);
    }
}

ManifestLock &ManifestLock::operator=(ManifestLock &&other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

ManifestLock::~ManifestLock() {
    release();
}

void ManifestLock::release() {
    if (fd_ >= 0)
        ::close(fd_); // closing the last descriptor drops the lock
    fd_ = -1;
}

} // namespace corvane::io
