#include "io/manifest_lock.hpp"

#include "io/file_io.hpp"
#include "io/manifest_file.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>

namespace corvane::io {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

// How often a writer tries the lock: the first in line often, so the lock
// is taken up soon after it is let go; the others seldom (a turn lasts as
// long as reading, changing and writing the manifest), to see whether they
// have moved up or the file has been replaced. A writer that has waited
// long also tries out of turn now and then, should the first in line have
// stopped without leaving (a stopped process keeps its place). Without a
// line, every writer tries at a middle pace.
constexpr microseconds kFirstPause{200};
constexpr microseconds kLinePause{5000};
constexpr microseconds kNoLinePause{1000};
constexpr auto kOutOfTurnAfter = std::chrono::seconds(2);
constexpr auto kOutOfTurnTry = std::chrono::milliseconds(50);

// Writers waiting for one manifest's lock, in the order they came (flock
// itself serves whoever asks first after a release, so under load a writer
// could lose round after round). Each writer holds a shared byte-range lock
// on one byte far past the end of any file, at its place in line (the
// moment it started waiting). The locks belong to the open file: they go
// when the writer closes it, or dies. The writer whose byte is lowest is
// first in line, and only it tries for the lock in earnest.
class WaitingLine {
  public:
    static constexpr off_t kStart = off_t{1} << 62;

    // Joins the line of the file open at `fd`. Without a line (an unknown
    // file system, or no byte-range locks), every writer counts as first.
    WaitingLine(int fd, bool keeps_locks_apart, std::uint64_t place)
        : fd_(fd), place_(static_cast<off_t>(place)) {
        if (!keeps_locks_apart)
            return;
        struct flock byte = range(F_RDLCK, kStart + place_, 1);
        joined_ = ::fcntl(fd, F_OFD_SETLK, &byte) == 0;
    }

    bool joined() const { return joined_; }

    // Steps out of the line, once the lock is taken: the next writer is
    // then first, and tries for the lock while this one holds it, so it
    // takes it up the moment it is let go.
    void leave() {
        if (!joined_)
            return;
        struct flock byte = range(F_UNLCK, kStart + place_, 1);
        (void)::fcntl(fd_, F_OFD_SETLK, &byte);
        joined_ = false;
    }

    // No writer that came earlier still waits (or holds the lock). Always
    // true without a line.
    bool first() const {
        if (!joined_)
            return true;
        struct flock earlier = range(F_WRLCK, kStart, place_);
        return ::fcntl(fd_, F_OFD_GETLK, &earlier) != 0 || earlier.l_type == F_UNLCK;
    }

  private:
    static struct flock range(short type, off_t start, off_t length) {
        struct flock range {};
        range.l_type = type;
        range.l_whence = SEEK_SET;
        range.l_start = start;
        range.l_len = length;
        return range;
    }

    int fd_;
    off_t place_;
    bool joined_ = false;
};

enum class Attempt { Locked, Busy, Moved, Unlockable, Failed };

// Whether a flock() error says only that this file system has no locks to
// give (the write then goes ahead without one). Never a resource error:
// ENOLCK on a local file system means the kernel ran out of locks.
bool locks_unsupported(int error, bool network) {
    return error == EOPNOTSUPP || error == ENOSYS || error == EINVAL ||
           (error == ENOLCK && network);
}

// Errors of opening the manifest that say the path names nothing this
// write could lock (the read that follows reports why); any other error
// says the write must not go on.
bool names_no_openable_file(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case ELOOP:
    case ENAMETOOLONG:
    case ENXIO:
    case ENODEV:
    case EISDIR:
        return true;
    default:
        return false;
    }
}

// A writer waiting for the directory's flock, with its place in line.
class DirectoryWaiter {
  public:
    DirectoryWaiter(const ManifestDirectory &directory, std::uint64_t place)
        : directory_(directory),
          line_(directory.fd(), directory.file_system().keeps_locks_apart, place) {}
    DirectoryWaiter(const DirectoryWaiter &) = delete;
    DirectoryWaiter &operator=(const DirectoryWaiter &) = delete;
    // Out of line however the wait ends (not in a child forked meanwhile:
    // the number is not the call's there).
    ~DirectoryWaiter() {
        if (directory_.descriptor().owned())
            line_.leave();
    }

    const WaitingLine &line() const { return line_; }
    int error() const { return error_; }

    // One try without blocking, made only when `in_turn`.
    Attempt try_lock(bool in_turn) {
        if (!in_turn)
            return Attempt::Busy;
        if (::flock(directory_.fd(), LOCK_EX | LOCK_NB) == 0) {
            line_.leave();
            return Attempt::Locked;
        }
        if (errno == EWOULDBLOCK || errno == EINTR)
            return Attempt::Busy;
        error_ = errno;
        return locks_unsupported(errno, false) ? Attempt::Unlockable : Attempt::Failed;
    }

  private:
    const ManifestDirectory &directory_;
    WaitingLine line_;
    int error_ = 0;
};

// What ends a wait for a lock at `now`: the deadline passed ("Resource
// temporarily unavailable"), or the caller's interrupt check, asked every
// kInterruptInterval.
std::optional<ConfigError> wait_ends(const ManifestDirectory &directory, Clock::time_point now,
                                     Clock::time_point deadline, Clock::time_point &next_check) {
    if (now >= deadline)
        return write_error(EAGAIN);
    if (now >= next_check) {
        if (directory.interrupt()())
            return interrupted_error();
        next_check = now + kInterruptInterval;
    }
    return std::nullopt;
}

// The directory's lock, in the order writers came. True when taken, false
// where this file system has no locks.
Result<bool> lock_directory(const ManifestDirectory &directory, Clock::time_point start,
                            Clock::time_point deadline) {
    // The place in line is the moment of arrival, on the clock that all
    // processes of the machine share.
    const auto place = static_cast<std::uint64_t>(
        std::chrono::duration_cast<microseconds>(start.time_since_epoch()).count());
    auto next_check = start + kInterruptInterval;
    auto next_out_of_turn = start + kOutOfTurnAfter;
    DirectoryWaiter waiter(directory, place);
    for (;;) {
        auto now = Clock::now();
        bool first = waiter.line().first();
        bool out_of_turn = now >= next_out_of_turn;
        if (out_of_turn)
            next_out_of_turn = now + kOutOfTurnTry;
        switch (waiter.try_lock(first || out_of_turn)) {
        case Attempt::Locked:
            return true;
        case Attempt::Unlockable:
            return false;
        case Attempt::Failed:
            return write_error(waiter.error());
        case Attempt::Busy:
        case Attempt::Moved:
            break;
        }
        if (std::optional<ConfigError> stop = wait_ends(directory, now, deadline, next_check))
            return std::move(*stop);
        auto pause = !waiter.line().joined() ? kNoLinePause : first ? kFirstPause : kLinePause;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    }
}

enum class Named { Same, Other, Gone };

// What the manifest's path names now, against the file `opened` describes.
// On a network file system the name is opened anew: that makes the client
// ask the server, where a cached stat could still show the replaced file.
Result<Named> path_names(const ManifestDirectory &directory, const struct stat &opened) {
    struct stat named {};
    int result;
    if (directory.network()) {
        FileDescriptor now(retry_interrupted(directory.interrupt(), [&] {
            return ::openat(directory.fd(), directory.name(),
                            O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        }));
        result = now ? ::fstat(now.get(), &named) : -1;
    } else {
        result = ::fstatat(directory.fd(), directory.name(), &named, 0);
    }
    if (result != 0) {
        if (errno == EINTR)
            return interrupted_error();
        if (!names_no_openable_file(errno))
            return write_error(errno);
        return Named::Gone;
    }
    return same_file(opened, named) ? Named::Same : Named::Other;
}

// Opens the manifest file to lock it: for writing where allowed (a write
// lock needs it), else for reading. Invalid where there is nothing to lock:
// no regular file at the path (opening a device or a pipe can have effects
// of its own), or one this process may not even read.
Result<FileDescriptor> open_to_lock(const ManifestDirectory &directory, struct stat &opened,
                                    short &type) {
    struct stat named {};
    if (::fstatat(directory.fd(), directory.name(), &named, 0) != 0) {
        if (names_no_openable_file(errno))
            return FileDescriptor();
        return write_error(errno);
    }
    if (!S_ISREG(named.st_mode))
        return FileDescriptor();
    int flags = O_RDWR;
    type = F_WRLCK;
    for (;;) {
        auto file = FileDescriptor::open_guarded(directory.fd(), directory.name(),
                                                 flags | O_NOCTTY | O_NONBLOCK);
        if (file) {
            if (::fstat(file.get(), &opened) != 0)
                return write_error(errno);
            if (!S_ISREG(opened.st_mode))
                return FileDescriptor();
            return file;
        }
        int error = errno;
        if (error == EINTR) {
            if (directory.interrupt()())
                return interrupted_error();
        } else if (flags == O_RDWR &&
                   (error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY)) {
            flags = O_RDONLY;
            type = F_RDLCK;
        } else if (names_no_openable_file(error)) {
            return FileDescriptor();
        } else {
            return write_error(error);
        }
    }
}

// The manifest file's own lock: an open file description lock over every
// byte. It is what every view of the file shares (a bind mount of the file
// alone shows another directory, never another inode), and the kind of lock
// an NFS server passes between its own processes and its clients. A writer
// that may only read the file takes a read lock, which still excludes every
// writer that takes the write lock. Whatever the outcome of a try, the file
// locked must still be the one the path names: a writer that held the lock
// may have renamed a new manifest into place, and the lock on the old file
// then guards nothing.
Result<FileDescriptor> lock_file(const ManifestDirectory &directory, Clock::time_point deadline) {
    auto next_check = Clock::now() + kInterruptInterval;
    for (;;) {
        struct stat opened {};
        short type = F_WRLCK;
        auto file = open_to_lock(directory, opened, type);
        if (!file || !file.value())
            return file;
        for (;;) {
            struct flock whole {};
            whole.l_type = type;
            whole.l_whence = SEEK_SET; // l_start 0, l_len 0: every byte, however far the file grows
            bool locked = ::fcntl(file->get(), F_OFD_SETLK, &whole) == 0;
            if (!locked && errno != EAGAIN && errno != EACCES && errno != EINTR) {
                if (locks_unsupported(errno, directory.network()))
                    return FileDescriptor();
                return write_error(errno);
            }
            auto named = path_names(directory, opened);
            if (!named)
                return std::move(named).error();
            if (named.value() == Named::Gone)
                return locked ? std::move(file) : Result<FileDescriptor>(FileDescriptor());
            if (named.value() == Named::Other)
                break; // take it on the file the path names now
            if (locked)
                return file;
            auto now = Clock::now();
            if (std::optional<ConfigError> stop = wait_ends(directory, now, deadline, next_check))
                return std::move(*stop);
            std::this_thread::sleep_for(std::min<Clock::duration>(kNoLinePause, deadline - now));
        }
    }
}

} // namespace

Result<ManifestLock> ManifestLock::acquire(const ManifestDirectory &directory,
                                           std::chrono::milliseconds patience) {
    const auto start = Clock::now();
    const auto deadline = start + patience;
    ManifestLock lock;
    // Always the directory first, then the file: no two writers can wait
    // for each other.
    if (!directory.network()) {
        auto locked = lock_directory(directory, start, deadline);
        if (!locked)
            return std::move(locked).error();
        if (locked.value())
            lock.directory_ = &directory.descriptor();
    }
    auto file = lock_file(directory, deadline);
    if (!file)
        return std::move(file).error();
    lock.file_ = std::move(file).value();
    return lock;
}

ManifestLock::~ManifestLock() {
    file_.reset(); // lets the file's lock go
    // The directory stays open for the rest of the call: let its lock go now
    // (not in a child forked during the call, where its number is not ours).
    if (directory_ != nullptr && directory_->owned())
        (void)::flock(directory_->get(), LOCK_UN);
}

} // namespace corvane::io
