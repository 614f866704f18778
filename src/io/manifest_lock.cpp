#include "io/manifest_lock.hpp"

#include "io/file_io.hpp"

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

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

enum class Attempt { Locked, Busy, Moved, Unlockable };

// The manifest file as opened by a waiting writer, with its place in line.
class WaitingWriter {
  public:
    // Only regular files are locked: opening a device or a pipe can have
    // effects of its own. Nothing to lock (false) when the path names no
    // regular file; the read that follows reports why.
    WaitingWriter(const std::string &name, std::uint64_t place)
        : name_(name), file_(open_regular(name, opened_)), line_(file_.get(), place) {}

    explicit operator bool() const { return bool(file_); }
    const WaitingLine &line() const { return line_; }
    FileDescriptor take() {
        line_.leave();
        return std::move(file_);
    }

    // One try without blocking, made only when `in_turn` (or when asked to
    // try out of turn). Whatever the outcome, the path must still name the
    // open file: the writer holding the lock renames a new manifest into
    // place when it is done, and the lock on the old file then guards
    // nothing.
    Attempt try_lock(bool in_turn) {
        if (in_turn && ::flock(file_.get(), LOCK_EX | LOCK_NB) == 0) {
            locked_ = true;
        } else if (in_turn && errno != EWOULDBLOCK && errno != EINTR) {
            return Attempt::Unlockable; // no flock here (ENOLCK, EOPNOTSUPP, EINVAL)
        }
        struct stat named {};
        if (::stat(name_.c_str(), &named) != 0)
            return locked_ ? Attempt::Locked : Attempt::Unlockable; // the path has gone
        if (!same_file(opened_, named))
            return Attempt::Moved;
        return locked_ ? Attempt::Locked : Attempt::Busy;
    }

  private:
    static FileDescriptor open_regular(const std::string &name, struct stat &opened) {
        FileDescriptor file(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (file && (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode)))
            file.reset();
        return file;
    }

    const std::string &name_;
    struct stat opened_ {};
    FileDescriptor file_;
    WaitingLine line_;
    bool locked_ = false;
};

} // namespace

Result<ManifestLock> ManifestLock::acquire(std::string_view path, const InterruptCheck &interrupt,
                                           std::chrono::milliseconds patience) {
    if (path.find('\0') != std::string_view::npos)
        return ManifestLock();
    const std::string name(path);
    const auto start = Clock::now();
    const auto deadline = start + patience;
    // The place in line is the moment of arrival, on the clock that all
    // processes of the machine share; it is kept when the file is replaced.
    const auto place = static_cast<std::uint64_t>(
        std::chrono::duration_cast<microseconds>(start.time_since_epoch()).count());
    auto next_check = start + kInterruptInterval;
    auto next_out_of_turn = start + kOutOfTurnAfter;

    std::optional<WaitingWriter> writer(std::in_place, name, place);
    // The file this writer waited for before it was replaced, kept open
    // while writers that came earlier still wait there: they move on to the
    // new file soon, and until they have, this one is not first.
    std::optional<WaitingWriter> replaced;
    while (*writer) {
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
            return ManifestLock(writer->take());
        case Attempt::Unlockable:
            return ManifestLock();
        case Attempt::Moved:
            replaced.reset();
            replaced.emplace(std::move(*writer));
            writer.emplace(name, place); // same place in the new file's line
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
    return ManifestLock();
}

} // namespace corvane::io
