#include "io/manifest_file.hpp"

#include "errors/messages.hpp"
#include "io/file_io.hpp"
#include "io/read_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/vfs.h>

namespace corvane::io {
namespace {

bool same_time(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

Result<ManifestDirectory> ManifestDirectory::open(std::string_view path,
                                                  const InterruptCheck &interrupt) {
    if (names_no_file(path))
        return file_not_found(path);
    auto slash = path.rfind('/');
    std::string directory =
        slash == std::string_view::npos ? "." : std::string(path.substr(0, slash + 1));
    std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
    FileDescriptor fd;
    while (!(fd = FileDescriptor::open_guarded(AT_FDCWD, directory.c_str(),
                                               O_RDONLY | O_DIRECTORY | O_NOCTTY)) &&
           errno == EINTR) {
        if (interrupt())
            return interrupted_error();
    }
    if (!fd) {
        int error = errno;
        struct stat manifest {};
        if (is_resource_error(error) ||
            (error == EACCES && ::stat(std::string(path).c_str(), &manifest) == 0 &&
             S_ISREG(manifest.st_mode)))
            return write_error(error);
        return file_not_found(path);
    }
    struct statfs found {};
    if (retry_interrupted(interrupt, [&] { return ::fstatfs(fd.get(), &found); }) != 0)
        return write_error(errno);
    return ManifestDirectory(std::move(fd), std::move(name), path,
                             file_system_of(static_cast<unsigned long>(found.f_type)), interrupt);
}

ConfigError replaced_outside_mount() {
    return ConfigError(ErrorKind::FileWrite, messages::kReplacedOutsideMount);
}

Result<ManifestText> read_manifest(const ManifestDirectory &directory) {
    // Without blocking, as a plain read opens it: a named pipe is refused
    // below, not waited for.
    FileDescriptor file(retry_interrupted(directory.interrupt(), [&] {
        return ::openat(directory.fd(), directory.name(),
                        O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    }));
    if (!file && errno == EINTR)
        return interrupted_error();
    if (!file)
        return is_resource_error(errno) ? write_error(errno) : file_not_found(directory.path());
    ManifestText read{};
    if (::fstat(file.get(), &read.read_as) != 0)
        return write_error(errno);
    if (!S_ISREG(read.read_as.st_mode) && !S_ISDIR(read.read_as.st_mode))
        return ConfigError(ErrorKind::FileWrite, messages::kNotRegularFile);
    if (S_ISREG(read.read_as.st_mode) && read.read_as.st_nlink == 0)
        return replaced_outside_mount();
    auto text = read_text(file.get(), read.read_as, directory.path(), directory.interrupt());
    if (!text)
        return std::move(text).error();
    read.text = std::move(text).value();
    return read;
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

Result<bool> still_as_read(const ManifestDirectory &directory, const struct stat &read_as) {
    struct stat now {};
    if (::fstatat(directory.fd(), directory.name(), &now, 0) != 0)
        return is_resource_error(errno) ? Result<bool>(write_error(errno)) : false;
    return same_file(now, read_as) && now.st_size == read_as.st_size &&
           same_time(now.st_mtim, read_as.st_mtim) && same_time(now.st_ctim, read_as.st_ctim);
}

} // namespace corvane::io
