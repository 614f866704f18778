#include "io/manifest_lock.hpp"

#include "io/file_io.hpp"
#include "io/manifest_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
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

// File systems known to keep byte-range locks apart from flock, as Linux
// does for local files. Network file systems may build flock out of
// byte-range locks, and a line kept with them would block the lock itself.
bool keeps_locks_apart(int fd) {
    constexpr std::array<unsigned long, 10> kLocal{
        0xEF53,     // ext2, ext3, ext4
        0x58465342, // xfs
        0x9123683E, // btrfs
        0x01021994, // tmpfs
        0x858458F6, // ramfs
        0xF2F52010, // f2fs
        0x794C7630, // overlayfs
        0x2FC12FC1, // zfs
        0xCA451A4E, // bcachefs
        0x3153464A, // jfs
    };
    struct statfs found {};
    if (::fstatfs(fd, &found) != 0)
        return false;
    return std::find(kLocal.begin(), kLocal.end(), static_cast<unsigned long>(found.f_type)) !=
           kLocal.end();
}

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
    WaitingLine(int fd, std::uint64_t place) : fd_(fd), place_(static_cast<off_t>(place)) {
        if (!keeps_locks_apart(fd))
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

// What a waiting writer locks, with its place in line: the manifest's
// directory (the call's own descriptor, which no rename replaces), or the
// manifest file itself, opened anew.
// Errors of opening the manifest that say the path names nothing this
// writer can open: the read that follows reports them as such. Any other
// error (no descriptors, no memory, a full disk, I/O) leaves the file
// unlocked, so the write must not go on.
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

class WaitingWriter {
  public:
    WaitingWriter(const ManifestDirectory &directory, bool lock_file, std::uint64_t place)
        : directory_(directory), lock_file_(lock_file), file_(open_file()), line_(target(), place) {
    }

    // Nothing to wait for: the path names no regular file to lock (the read
    // that follows reports why), or opening it failed with `error()`.
    bool ready() const { return target() >= 0; }
    int error() const { return error_; }
    const WaitingLine &line() const { return line_; }
    FileDescriptor take() {
        line_.leave();
        return std::move(file_);
    }

    // One try without blocking, made only when `in_turn` (or when asked to
    // try out of turn). Whatever the outcome, a locked file must still be the
    // one the path names: the writer holding the lock may have renamed a new
    // manifest into place, and the lock on the old file then guards nothing.
    Attempt try_lock(bool in_turn) {
        if (in_turn) {
            if (::flock(target(), LOCK_EX | LOCK_NB) == 0) {
                locked_ = true;
            } else if (errno != EWOULDBLOCK && errno != EINTR) {
                error_ = errno;
                return locks_unsupported(errno, directory_.network()) ? Attempt::Unlockable
                                                                      : Attempt::Failed;
            }
        }
        if (!lock_file_)
            return locked_ ? Attempt::Locked : Attempt::Busy;
        struct stat named {};
        if (::fstatat(directory_.fd(), directory_.name(), &named, 0) != 0) {
            if (!names_no_openable_file(errno)) {
                error_ = errno;
                return Attempt::Failed;
            }
            return locked_ ? Attempt::Locked : Attempt::Unlockable; // the path has gone
        }
        if (!same_file(opened_, named))
            return Attempt::Moved;
        return locked_ ? Attempt::Locked : Attempt::Busy;
    }

  private:
    int target() const { return lock_file_ ? file_.get() : directory_.fd(); }

    // Only regular files are locked: opening a device or a pipe can have
    // effects of its own.
    FileDescriptor open_file() {
        if (!lock_file_)
            return {};
        FileDescriptor file;
        do {
            file = FileDescriptor::open_guarded(directory_.fd(), directory_.name(),
                                                O_RDONLY | O_NOCTTY | O_NONBLOCK);
        } while (!file && errno == EINTR);
        if (!file) {
            if (!names_no_openable_file(errno))
                error_ = errno;
        } else if (::fstat(file.get(), &opened_) != 0) {
            error_ = errno;
            file.reset();
        } else if (!S_ISREG(opened_.st_mode)) {
            file.reset();
        }
        return file;
    }

    const ManifestDirectory &directory_;
    bool lock_file_;
    int error_ = 0;
    struct stat opened_ {};
    FileDescriptor file_;
    WaitingLine line_;
    bool locked_ = false;
};

} // namespace

Result<ManifestLock> ManifestLock::acquire(const ManifestDirectory &directory, bool lock_file,
                                           const InterruptCheck &interrupt,
                                           std::chrono::milliseconds patience) {
    const auto start = Clock::now();
    const auto deadline = start + patience;
    // The place in line is the moment of arrival, on the clock that all
    // processes of the machine share; it is kept when the file is replaced.
    const auto place = static_cast<std::uint64_t>(
        std::chrono::duration_cast<microseconds>(start.time_since_epoch()).count());
    auto next_check = start + kInterruptInterval;
    auto next_out_of_turn = start + kOutOfTurnAfter;

    std::optional<WaitingWriter> writer(std::in_place, directory, lock_file, place);
    // The file this writer waited for before it was replaced, kept open
    // while writers that came earlier still wait there: they move on to the
    // new file soon, and until they have, this one is not first.
    std::optional<WaitingWriter> replaced;
    while (writer->ready()) {
        auto now = Clock::now();
        if (replaced && replaced->line().first())
            replaced.reset();
        bool first = !replaced && writer->line().first();
        bool out_of_turn = now >= next_out_of_turn;
        if (out_of_turn)
            next_out_of_turn = now + kOutOfTurnTry;
        bool moved = false;
        switch (writer->try_lock(first || out_of_turn)) {
        case Attempt::Locked:
            return ManifestLock(writer->take(), lock_file ? -1 : directory.fd());
        case Attempt::Unlockable:
            return ManifestLock();
        case Attempt::Failed:
            return write_error(writer->error());
        case Attempt::Moved:
            replaced.reset();
            replaced.emplace(std::move(*writer));
            writer.emplace(directory, lock_file, place); // same place in the new file's line
            moved = true;
            break;
        case Attempt::Busy:
            break;
        }
        if (now >= deadline)
            return write_error(EAGAIN);
        if (now >= next_check) {
            if (interrupt())
                return interrupted_error();
            next_check = now + kInterruptInterval;
        }
        if (moved)
            continue;
        auto pause = !writer->line().joined() ? kNoLinePause : first ? kFirstPause : kLinePause;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    }
    if (writer->error() != 0)
        return write_error(writer->error());
    return ManifestLock();
}

ManifestLock::~ManifestLock() {
    // The directory stays open for the rest of the call: let the lock go now.
    if (locked_directory_ >= 0)
        (void)::flock(locked_directory_, LOCK_UN);
}

} // namespace corvane::io
