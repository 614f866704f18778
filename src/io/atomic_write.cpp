#include "io/atomic_write.hpp"

#include "errors/messages.hpp"
#include "io/file_descriptor.hpp"
#include "io/file_io.hpp"
#include "io/manifest_file.hpp"
#include "io/manifest_lock.hpp"
#include "io/temp_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::io {
namespace {

// Whether the manifest is itself a mount point (a file bind-mounted over
// another, as into a container): no rename can replace it. The device
// numbers of file and directory do not tell, as a bind mount within one file
// system keeps its device.
bool is_mount_point(const ManifestDirectory &directory) {
    struct statx found {};
    if (::statx(directory.fd(), directory.name(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                STATX_BASIC_STATS, &found) != 0)
        return false;
    return (found.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
           (found.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Gives the new file the owner and permission bits of the file it replaces (a
// manifest made private stays private). Failing either fails the write: the
// manifest must not change hands or open up.
Status copy_metadata(int fd, const struct stat &old, const InterruptCheck &interrupt) {
    struct stat now {};
    if (::fstat(fd, &now) != 0)
        return write_error(errno);
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        retry_interrupted(interrupt, [&] { return ::fchown(fd, old.st_uid, old.st_gid); }) != 0)
        return write_error(errno);
    if (retry_interrupted(interrupt, [&] { return ::fchmod(fd, old.st_mode & 07777); }) != 0)
        return write_error(errno);
    return success();
}

bool directory_refuses_entries(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

bool rename_impossible(int error) {
    return error == EBUSY || error == EXDEV;
}

// How a write ended when it did not fail: the new text is in place, the
// manifest is no longer what was read (read again), or renaming cannot
// work here (rewrite in place).
enum class Written { Done, Changed, InPlace };

// The check made just before the manifest is replaced.
Result<Written> changed_or(const ManifestDirectory &directory, const ManifestText &read,
                           Written otherwise) {
    auto same = still_as_read(directory, read.read_as);
    if (!same)
        return std::move(same).error();
    return same.value() ? otherwise : Written::Changed;
}

Result<Written> replace_by_rename(const ManifestDirectory &directory, const ManifestText &read,
                                  std::string_view contents) {
    // Owner-only until the old file's bits are applied, so a private
    // manifest's text is never readable by others on the way.
    const InterruptCheck &interrupt = directory.interrupt();
    auto created =
        TempFile::create_beside(directory.descriptor(), directory.name(), 0600, interrupt);
    if (auto *error = std::get_if<int>(&created)) {
        if (directory_refuses_entries(*error))
            return Written::InPlace;
        return write_error(*error);
    }
    auto &temp = std::get<TempFile>(created);
    if (auto written = write_all_at(temp.fd(), contents, 0, interrupt); !written)
        return std::move(written).error();
    if (auto copied = copy_metadata(temp.fd(), read.read_as, interrupt); !copied)
        return std::move(copied).error();
    if (auto synced = sync_to_disk(temp.fd(), interrupt); !synced)
        return std::move(synced).error();
    if (auto checked = changed_or(directory, read, Written::Done);
        !checked || checked.value() != Written::Done)
        return checked;
    if (int error = temp.rename_over(directory.name())) {
        if (rename_impossible(error))
            return Written::InPlace;
        return write_error(error);
    }
    if (auto synced = sync_to_disk(directory.fd(), interrupt); !synced)
        return std::move(synced).error();
    return Written::Done;
}

// Makes room for `length` bytes without changing the file's size or bytes,
// also when it fails (which plain posix_fallocate does not promise).
Status reserve(int fd, std::size_t length, const InterruptCheck &interrupt) {
    if (length == 0)
        return success();
    int result = retry_interrupted(interrupt, [&] {
        return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
    });
    // EOPNOTSUPP, ENOSYS: this file system cannot reserve; writing goes ahead.
    if (result == 0 || errno == EOPNOTSUPP || errno == ENOSYS)
        return success();
    return write_error(errno);
}

// Overwrites the whole file with `contents`: write, cut, flush.
Status overwrite(int fd, std::string_view contents, const InterruptCheck &interrupt) {
    if (auto written = write_all_at(fd, contents, 0, interrupt); !written)
        return written;
    if (retry_interrupted(
            interrupt, [&] { return ::ftruncate(fd, static_cast<off_t>(contents.size())); }) != 0)
        return write_error(errno);
    return sync_to_disk(fd, interrupt);
}

// The in-place route. The old bytes to put back are the text that was read:
// the file is checked to be unchanged since.
Result<Written> write_in_place(const ManifestDirectory &directory, const ManifestText &read,
                               std::string_view contents) {
    const InterruptCheck &interrupt = directory.interrupt();
    FileDescriptor file(retry_interrupted(interrupt, [&] {
        return ::openat(directory.fd(), directory.name(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    }));
    if (!file)
        return is_resource_error(errno) || errno == EINTR ? write_error(errno)
                                                          : file_not_found(directory.path());
    struct stat opened {};
    if (::fstat(file.get(), &opened) != 0)
        return write_error(errno);
    if (!same_file(opened, read.read_as))
        return Written::Changed;
    if (auto checked = changed_or(directory, read, Written::Done);
        !checked || checked.value() != Written::Done)
        return checked;
    if (auto reserved = reserve(file.get(), contents.size(), interrupt); !reserved)
        return std::move(reserved).error();
    if (auto written = overwrite(file.get(), contents, interrupt); !written) {
        // Best effort; the first error is the one reported.
        (void)overwrite(file.get(), read.text, interrupt);
        return std::move(written).error();
    }
    // Replaced meanwhile by a rename this view cannot see: the text went
    // into a file no name points to, and is lost. (A failing fstat says
    // nothing against the text now on disk.)
    if (::fstat(file.get(), &opened) == 0 && opened.st_nlink == 0)
        return replaced_outside_mount();
    // The new text is on disk (flushed above): a failing close cannot undo
    // that, and reporting it would say the manifest was not written.
    (void)file.close();
    return Written::Done;
}

// How often a writer reads again because another program changed the
// manifest under it before it gives up.
constexpr int kReadAttempts = 16;

// The call's interrupt check, which also stops the call in a child that a
// signal handler forked while the call ran: the child has closed the
// descriptors the call holds, and their numbers may name other files by now.
class ForkWatch {
  public:
    explicit ForkWatch(const InterruptCheck &interrupt)
        : interrupt_(interrupt), generation_(fork_generation()) {}

    InterruptCheck check() { return {&stop, this}; }
    bool forked() const { return fork_generation() != generation_; }

  private:
    static bool stop(void *self) {
        auto &watch = *static_cast<ForkWatch *>(self);
        return watch.interrupt_() || watch.forked();
    }

    const InterruptCheck &interrupt_;
    unsigned generation_;
};

ConfigError forked_error() {
    return ConfigError(ErrorKind::FileWrite, messages::kForkedDuringCall);
}

// Whether the file the lock holds is the one read: a program that renamed
// another file into place between the two leaves the lock on a file that no
// longer matters (the read itself refuses a file with no name left).
Result<bool> locked_as_read(const ManifestLock &lock, const ManifestText &read) {
    if (!lock.file())
        return true;
    struct stat locked {};
    if (::fstat(lock.file().get(), &locked) != 0)
        return write_error(errno);
    return same_file(locked, read.read_as);
}

Status rewrite_in_turn(const ManifestDirectory &directory, const ManifestChange &change) {
    const bool bind_mounted = is_mount_point(directory);
    std::optional<ManifestLock> lock;
    for (int attempt = 1;; ++attempt) {
        if (!lock) {
            auto acquired = ManifestLock::acquire(directory);
            if (!acquired)
                return std::move(acquired).error();
            lock.emplace(std::move(acquired).value());
        }
        auto read = read_manifest(directory);
        if (!read)
            return std::move(read).error();
        auto as_read = locked_as_read(*lock, read.value());
        if (!as_read)
            return std::move(as_read).error();
        Result<Written> written = Written::Changed;
        if (as_read.value()) {
            auto text = change(read->text);
            if (!text)
                return std::move(text).error();
            // EBUSY from the rename says the same as the mount-root
            // attribute, where statx cannot report it: the in-place route,
            // under the file's lock as well.
            written = bind_mounted ? write_in_place(directory, read.value(), text.value())
                                   : replace_by_rename(directory, read.value(), text.value());
            if (written && written.value() == Written::InPlace)
                written = write_in_place(directory, read.value(), text.value());
            if (!written)
                return std::move(written).error();
            if (written.value() == Written::Done)
                return success();
        }
        if (attempt == kReadAttempts)
            return write_error(EAGAIN);
        lock.reset(); // the lock may be on the file replaced: take it on the new one
    }
}

} // namespace

Status rewrite_manifest(std::string_view path, const InterruptCheck &interrupt,
                        const ManifestChange &change) {
    ForkWatch watch(interrupt);
    const InterruptCheck check = watch.check();
    Status done = [&]() -> Status {
        auto directory = ManifestDirectory::open(path, check);
        if (!directory)
            return std::move(directory).error();
        return rewrite_in_turn(directory.value(), change);
    }();
    if (watch.forked())
        return forked_error();
    return done;
}

} // namespace corvane::io
