#include "io/file_io.hpp"

#include "errors/messages.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace corvane::io {

ConfigError write_error(int error) {
    if (error == EINTR)
        return interrupted_error();
    char buffer[256];
    // GNU strerror_r: returns the text, which may or may not be in buffer.
    const char *text = strerror_r(error, buffer, sizeof buffer);
    return ConfigError(ErrorKind::FileWrite,
                       std::string(text) + " (os error " + std::to_string(error) + ")");
}

Status write_all_at(int fd, std::string_view contents, off_t offset,
                    const InterruptCheck &interrupt) {
    while (!contents.empty()) {
        ssize_t written = retry_interrupted(
            interrupt, [&] { return ::pwrite(fd, contents.data(), contents.size(), offset); });
        if (written < 0)
            return write_error(errno);
        if (written == 0)
            return ConfigError(ErrorKind::FileWrite, messages::kShortWrite);
        contents.remove_prefix(static_cast<std::size_t>(written));
        offset += written;
    }
    return success();
}

bool is_resource_error(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM || error == EIO;
}

Status sync_to_disk(int fd, const InterruptCheck &interrupt) {
    if (retry_interrupted(interrupt, [&] { return ::fsync(fd); }) == 0 || errno == EINVAL ||
        errno == EROFS)
        return success();
    return write_error(errno);
}

} // namespace corvane::io
