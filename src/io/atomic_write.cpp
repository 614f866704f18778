#include "io/atomic_write.hpp"

#include "io/file_descriptor.hpp"
#include "io/file_io.hpp"
#include "io/temp_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::io {
namespace {

// Whether `name` is itself a mount point (a file bind-mounted over another,
// as into a container): no rename can replace it. The device numbers of
// file and directory do not tell, as a bind mount within one file system
// keeps its device.
bool is_mount_point(const std::string &name) {
    struct statx found {};
    if (::statx(AT_FDCWD, name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS,
                &found) != 0)
        return false;
    return (found.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
           (found.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Gives the new file the owner and permission bits of the file it replaces (a
// manifest made private stays private). Best effort: a process that may not
// change the owner still keeps the permission bits.
void copy_metadata(int fd, const struct stat &old) {
    struct stat now {};
    if (::fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid))
        (void)!::fchown(fd, old.st_uid, old.st_gid);
    (void)::fchmod(fd, old.st_mode & 07777);
}

// Flushes the directory entry of a rename. A directory that cannot be opened
// for reading cannot be flushed; the rename stands all the same.
Status sync_directory_of(const std::string &name) {
    FileDescriptor fd(::open(directory_of(name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return success();
    return sync_to_disk(fd.get());
}

bool directory_refuses_entries(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

bool rename_impossible(int error) {
    return error == EBUSY || error == EXDEV;
}

enum class Route { Done, InPlace };

// The rename route. Done (replaced, or failed with the error returned) or
// InPlace when renaming over `name` cannot work.
Result<Route> replace_by_rename(const std::string &name, std::string_view contents) {
    // Follows a symbolic link: the permissions that matter are those of the
    // file whose contents are being replaced.
    struct stat old {};
    bool replacing = ::stat(name.c_str(), &old) == 0;
    // Owner-only until the old file's bits are applied, so a private
    // manifest's text is never readable by others on the way; a new file gets
    // the usual 0o666 minus the umask.
    auto created = TempFile::create_beside(name, replacing ? 0600 : 0666);
    if (auto *error = std::get_if<int>(&created)) {
        if (directory_refuses_entries(*error))
            return Route::InPlace;
        return write_error(*error);
    }
    auto &temp = std::get<TempFile>(created);
    if (auto written = write_all_at(temp.fd(), contents, 0); !written)
        return std::move(written).error();
    if (replacing)
        copy_metadata(temp.fd(), old);
    if (auto synced = sync_to_disk(temp.fd()); !synced)
        return std::move(synced).error();
    if (int error = temp.rename_over(name)) {
        if (rename_impossible(error))
            return Route::InPlace;
        return write_error(error);
    }
    if (auto synced = sync_directory_of(name); !synced)
        return std::move(synced).error();
    return Route::Done;
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

} // namespace

Status write_in_place(std::string_view path, std::string_view contents) {
    std::string name(path);
    // Read and write: the old bytes are kept to put them back if need be.
    FileDescriptor file(::open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!file)
        return file_not_found(path);
    std::string old;
    if (!read_all_at(file.get(), 0, old))
        return write_error(errno);
    if (auto reserved = reserve(file.get(), contents.size()); !reserved)
        return reserved;
    if (auto written = overwrite(file.get(), contents); !written) {
        (void)overwrite(file.get(), old); // best effort; the first error is the one reported
        return written;
    }
    if (int error = file.close())
        return write_error(error);
    return success();
}

Status replace_file(std::string_view path, std::string_view contents) {
    if (path.find('\0') != std::string_view::npos)
        return file_not_found(path); // names no file
    std::string name(path);
    if (is_mount_point(name))
        return write_in_place(path, contents);
    auto route = replace_by_rename(name, contents);
    if (!route)
        return std::move(route).error();
    if (route.value() == Route::InPlace)
        return write_in_place(path, contents);
    return success();
}

} // namespace corvane::io
