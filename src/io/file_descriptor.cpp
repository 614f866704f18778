#include "io/file_descriptor.hpp"

#include <cerrno>
#include <unistd.h>

namespace corvane::io {

void FileDescriptor::reset(int fd) noexcept {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

int FileDescriptor::close() noexcept {
    if (fd_ < 0)
        return 0;
    // Linux releases the descriptor even when close fails (EINTR included),
    // so it is never retried.
    int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
}

} // namespace corvane::io
