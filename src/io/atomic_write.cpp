#include "io/atomic_write.hpp"

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
Status copy_metadata(int fd, const struct stat &old) {
    struct stat now {};
    if (::fstat(fd, &now) != 0)
        return write_error(errno);
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
        ::fchown(fd, old.st_uid, old.st_gid) != 0)
        return write_error(errno);
    if (::fchmod(fd, old.st_mode & 07777) != 0)
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
    auto created = TempFile::create_beside(directory.fd(), directory.name(), 0600);
    if (auto *error = std::get_if<int>(&created)) {
        if (directory_refuses_entries(*error))
            return Written::InPlace;
        return write_error(*error);
    }
    auto &temp = std::get<TempFile>(created);
    if (auto written = write_all_at(temp.fd(), contents, 0); !written)
        return std::move(written).error();
    if (auto copied = copy_metadata(temp.fd(), read.read_as); !copied)
        return std::move(copied).error();
    if (auto synced = sync_to_disk(temp.fd()); !synced)
        return std::move(synced).error();
    if (auto checked = changed_or(directory, read, Written::Done);
        !checked || checked.value() != Written::Done)
        return checked;
    if (int error = temp.rename_over(directory.name())) {
        if (rename_impossible(error))
            return Written::InPlace;
        return write_error(error);
    }
    if (auto synced = sync_to_disk(directory.fd()); !synced)
        return std::move(synced).error();
    return Written::Done;
}

// Makes room for `length` bytes without changing the file's size or bytes,
// also when it fails (which plain posix_fallocate does not promise).
Status reserve(int fd, std::size_t length) {
    if (length == 0)
        return success();
    int result;
    do {
        result = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    // EOPNOTSUPP, ENOSYS: this file system cannot reserve; writing goes ahead.
    if (result == 0 || errno == EOPNOTSUPP || errno == ENOSYS)
        return success();
    return write_error(errno);
}

// Overwrites the whole file with `contents`: write, cut, flush.
Status overwrite(int fd, std::string_view contents) {
    if (auto written = write_all_at(fd, contents, 0); !written)
        return written;
    if (::ftruncate(fd, static_cast<off_t>(contents.size())) != 0)
        return write_error(errno);
    return sync_to_disk(fd);
}

// The in-place route. The old bytes to put back are the text that was read:
// the file is checked to be unchanged since.
Result<Written> write_in_place(const ManifestDirectory &directory, const ManifestText &read,
                               std::string_view contents) {
    FileDescriptor file(::openat(directory.fd(), directory.name(), O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!file)
        return is_resource_error(errno) ? write_error(errno) : file_not_found(directory.path());
    struct stat opened {};
    if (::fstat(file.get(), &opened) != 0)
        return write_error(errno);
    if (!same_file(opened, read.read_as))
        return Written::Changed;
    if (auto checked = changed_or(directory, read, Written::Done);
        !checked || checked.value() != Written::Done)
        return checked;
    if (auto reserved = reserve(file.get(), contents.size()); !reserved)
        return std::move(reserved).error();
    if (auto written = overwrite(file.get(), contents); !written) {
        (void)overwrite(file.get(), read.text); // best effort; the first error is the one reported
        return std::move(written).error();
    }
    // The new text is on disk (flushed above): a failing close cannot undo
    // that, and reporting it would say the manifest was not written.
    (void)file.close();
    return Written::Done;
}

// How often a writer reads again because another program changed the
// manifest under it before it gives up.
constexpr int kReadAttempts = 16;

} // namespace

Status rewrite_manifest(std::string_view path, const InterruptCheck &interrupt,
                        const ManifestChange &change) {
    auto directory = ManifestDirectory::open(path);
    if (!directory)
        return std::move(directory).error();
    const bool bind_mounted = is_mount_point(directory.value());
    const bool lock_file = bind_mounted || directory->network();
    std::optional<ManifestLock> lock;
    for (int attempt = 1;; ++attempt) {
        if (!lock) {
            auto acquired = ManifestLock::acquire(directory.value(), lock_file, interrupt);
            if (!acquired)
                return std::move(acquired).error();
            lock.emplace(std::move(acquired).value());
        }
        auto read = read_manifest(directory.value(), interrupt);
        if (!read)
            return std::move(read).error();
        auto text = change(read->text);
        if (!text)
            return std::move(text).error();
        auto written = bind_mounted
                           ? write_in_place(directory.value(), read.value(), text.value())
                           : replace_by_rename(directory.value(), read.value(), text.value());
        if (written && written.value() == Written::InPlace)
            written = write_in_place(directory.value(), read.value(), text.value());
        if (!written)
            return std::move(written).error();
        if (written.value() == Written::Done)
            return success();
        if (attempt == kReadAttempts)
            return write_error(EAGAIN);
        if (lock_file)
            lock.reset(); // the lock was on the file replaced: take it on the new one
    }
}

} // namespace corvane::io
