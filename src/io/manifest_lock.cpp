#include "io/manifest_lock.hpp"

#include "io/file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>

namespace corvane::io {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

// Waiting writers poll at most 1 ms apart (see poll_interval)...
constexpr microseconds kLongestPause{1000};
// ...so a writer that has just released a contended lock waits longer than
// that before it can come back for it.
constexpr microseconds kCourtesy{1500};

// flock does not serve waiters in order: whoever polls first after a release
// gets the lock. With many writers queueing, a writer could lose round after
// round until its patience runs out. Writers that have waited long poll more
// often, so they tend to win the next round and the longest waits stay short.
microseconds poll_interval(Clock::duration waited) {
    using std::chrono::seconds;
    if (waited < seconds(1))
        return kLongestPause;
    if (waited < seconds(2))
        return microseconds(200);
    return microseconds(50);
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Only regular files are locked: opening a device or a pipe can have effects
// of its own. No descriptor when there is nothing to lock; the read that
// follows reports any problem with the path.
FileDescriptor open_regular(const std::string &name) {
    struct stat found {};
    if (::stat(name.c_str(), &found) != 0 || !S_ISREG(found.st_mode))
        return FileDescriptor();
    return FileDescriptor(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
}

enum class Attempt { Locked, Busy, Moved, Unlockable };

// One non-blocking try. Whether or not the lock was free, the path must still
// name the open file: the writer holding the lock renames a new manifest into
// place when it is done, and the lock on the old file then guards nothing.
// Moving on to the new file as soon as it appears (rather than when the old
// lock is released) also keeps the waiting fair: a writer that has just
// finished has no head start on the next round.
Attempt try_lock(int fd, const std::string &name) {
    bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    // Any error but contention means the file system offers no flock
    // (ENOLCK, EOPNOTSUPP, EINVAL).
    if (!locked && errno != EWOULDBLOCK && errno != EINTR)
        return Attempt::Unlockable;
    struct stat open_file {
    }, named{};
    if (::fstat(fd, &open_file) != 0 || ::stat(name.c_str(), &named) != 0)
        return locked ? Attempt::Locked : Attempt::Unlockable; // the path has gone
    if (!same_file(open_file, named))
        return Attempt::Moved;
    return locked ? Attempt::Locked : Attempt::Busy;
}

} // namespace

Result<ManifestLock> ManifestLock::acquire(std::string_view path, const InterruptCheck &interrupt,
                                           std::chrono::milliseconds patience) {
    if (path.find('\0') != std::string_view::npos)
        return ManifestLock();
    const std::string name(path);
    const auto start = Clock::now();
    const auto deadline = start + patience;
    auto next_check = start + kInterruptInterval;
    // Short first pauses: a lock is usually held for milliseconds.
    microseconds pause{100};

    bool contended = false;
    for (FileDescriptor file = open_regular(name); file;) {
        switch (try_lock(file.get(), name)) {
        case Attempt::Locked:
            return ManifestLock(std::move(file), contended);
        case Attempt::Unlockable:
            return ManifestLock();
        case Attempt::Moved:
            file = open_regular(name);
            pause = microseconds(100);
            break;
        case Attempt::Busy:
            break;
        }
        contended = true;
        auto now = Clock::now();
        if (now >= deadline)
            return write_error(EAGAIN);
        if (now >= next_check) {
            if (interrupt())
                return interrupted_error();
            next_check = now + kInterruptInterval;
        }
        pause = std::min(pause, poll_interval(now - start));
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause *= 2;
    }
    return ManifestLock();
}

ManifestLock::~ManifestLock() {
    if (!file_)
        return;
    file_.reset(); // closing the last descriptor drops the lock
    // Waiting writers poll; one that has just let go would otherwise win the
    // next round on its very next call, again and again, and starve them past
    // their patience. After a contended turn, give them time to notice.
    if (contended_)
        std::this_thread::sleep_for(kCourtesy);
}

} // namespace corvane::io
