#include "io/atomic_write.hpp"

#include "errors/messages.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::io {
namespace {

// The system's text for an error number, as shown in FileWrite messages.
ConfigError write_error(int error) {
    char buffer[256];
    // GNU strerror_r: returns the text, which may or may not be in buffer.
    const char *text = strerror_r(error, buffer, sizeof buffer);
    return ConfigError(ErrorKind::FileWrite,
                       std::string(text) + " (os error " + std::to_string(error) + ")");
}

// Closes the descriptor on every way out of a scope.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    int get() const { return fd_; }
    // Closes now; the result is ignored as a close after fsync reports nothing
    // that the data depends on.
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

Status write_all(int fd, std::string_view contents) {
    while (!contents.empty()) {
        ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return write_error(errno);
        }
        if (written == 0)
            return ConfigError(ErrorKind::FileWrite, messages::kShortWrite);
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
    return success();
}

// A new file beside `path` that nobody else can have opened: created with
// O_EXCL under a random name and the given permission bits (minus the umask).
struct TempFile {
    std::string name;
    int fd = -1;
};

std::optional<TempFile> create_temp_beside(const std::string &path, mode_t mode) {
    auto slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // Keep the name within the usual 255-byte limit whatever the base.
    constexpr std::size_t kBaseKept = 100;
    if (base.size() > kBaseKept)
        base.resize(kBaseKept);

    for (int attempt = 0; attempt < 16; ++attempt) {
        std::uint64_t random = 0;
        if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            random ^= static_cast<std::uint64_t>(::getpid()) << 20 ^ static_cast<unsigned>(attempt);
        char suffix[17];
        for (int i = 0; i < 16; ++i)
            suffix[i] = "0123456789abcdef"[(random >> (4 * i)) & 0xf];
        suffix[16] = '\0';

        std::string name = directory + "." + base + "." + suffix + ".tmp";
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0)
            return TempFile{std::move(name), fd};
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
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

enum class Route { Done, InPlace };

// The atomic route. Result: Done (replaced, or failed with the error
// returned), or InPlace when the file system refuses this route.
Result<Route> replace_by_rename(const std::string &path, std::string_view contents) {
    // Follows a symbolic link: the permissions that matter are those of the
    // file whose contents are being replaced.
    struct stat old {};
    bool replacing = ::stat(path.c_str(), &old) == 0;
    // Owner-only until the old file's bits are applied, so a private
    // manifest's text is never readable by others on the way; a new file gets
    // the usual 0o666 minus the umask.
    auto temp = create_temp_beside(path, replacing ? 0600 : 0666);
    if (!temp)
        return Route::InPlace;
    FileDescriptor fd(temp->fd);
    auto discard = [&] {
        fd.close();
        ::unlink(temp->name.c_str());
    };

    if (auto written = write_all(fd.get(), contents); !written) {
        discard();
        return std::move(written).error();
    }
    if (replacing)
        copy_metadata(fd.get(), old);
    if (::fsync(fd.get()) != 0 && errno != EINVAL) {
        int error = errno;
        discard();
        return write_error(error);
    }
    fd.close();

    if (::rename(temp->name.c_str(), path.c_str()) != 0) {
        ::unlink(temp->name.c_str());
        return Route::InPlace;
    }
    return Route::Done;
}

} // namespace

Status write_in_place(std::string_view path, std::string_view contents) {
    std::string name(path);
    FileDescriptor fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0)
        return file_not_found(path);
    return write_all(fd.get(), contents);
}

Status replace_file(std::string_view path, std::string_view contents) {
    if (path.find('\0') != std::string_view::npos)
        return file_not_found(path); // names no file
    std::string name(path);
    auto route = replace_by_rename(name, contents);
    if (!route)
        return std::move(route).error();
    if (route.value() == Route::InPlace)
        return write_in_place(path, contents);
    return success();
}

} // namespace corvane::io
