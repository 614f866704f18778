#include "io/file_io.hpp"

#include "errors/messages.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace corvane::io {

ConfigError write_error(int error) {
    char buffer[256];
    // GNU strerror_r: returns the text, which may or may not be in buffer.
    const char *text = strerror_r(error, buffer, sizeof buffer);
    return ConfigError(ErrorKind::FileWrite,
                       std::string(text) + " (os error " + std::to_string(error) + ")");
}

Status write_all_at(int fd, std::string_view contents, off_t offset) {
    while (!contents.empty()) {
        ssize_t written = ::pwrite(fd, contents.data(), contents.size(), offset);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return write_error(errno);
        }
        if (written == 0)
            return ConfigError(ErrorKind::FileWrite, messages::kShortWrite);
        contents.remove_prefix(static_cast<std::size_t>(written));
        offset += written;
    }
    return success();
}

bool read_all_at(int fd, off_t offset, std::string &out) {
    char buffer[1 << 16];
    for (;;) {
        ssize_t count = ::pread(fd, buffer, sizeof buffer, offset);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (count == 0)
            return true;
        out.append(buffer, static_cast<std::size_t>(count));
        offset += count;
    }
}

Status sync_to_disk(int fd) {
    if (::fsync(fd) == 0 || errno == EINVAL || errno == EROFS)
        return success();
    return write_error(errno);
}

} // namespace corvane::io
