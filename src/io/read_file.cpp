#include "io/read_file.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

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

  private:
    int fd_;
};

// Past this the text could not be parsed anyway (events index it with 32
// bits); stopping here also ends reading an endless device such as /dev/zero.
constexpr std::size_t kLargestText = std::size_t{1} << 31;

bool read_all(int fd, std::string &out) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode))
        return false;
    if (S_ISREG(info.st_mode) && info.st_size > 0)
        out.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    for (;;) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (count == 0)
            return true;
        if (out.size() + static_cast<std::size_t>(count) > kLargestText)
            return false;
        out.append(buffer, static_cast<std::size_t>(count));
    }
}

} // namespace

bool is_valid_utf8(std::string_view text) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        // ASCII runs eight bytes at a time.
        while (size - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, 8);
            if (word & 0x8080808080808080ULL)
                break;
            i += 8;
        }
        if (i == size)
            break;
        unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0)
                low = 0xA0;
            if (lead == 0xED)
                high = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0)
                low = 0x90;
            if (lead == 0xF4)
                high = 0x8F;
        } else {
            return false;
        }
        if (size - i < length)
            return false;
        if (bytes[i + 1] < low || bytes[i + 1] > high)
            return false;
        for (std::size_t k = 2; k < length; ++k)
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

Result<std::string> read_file_utf8(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        return file_not_found(path);
    // Opened without blocking, so a named pipe that nobody writes to reads as
    // empty instead of holding the caller (and the interpreter) forever; reads
    // then block as usual for a pipe that has a writer.
    FileDescriptor file(
        ::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() >= 0) {
        int flags = ::fcntl(file.get(), F_GETFL);
        if (flags >= 0)
            ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    std::string text;
    if (file.get() < 0 || !read_all(file.get(), text) || !is_valid_utf8(text))
        return file_not_found(path);
    return text;
}

} // namespace corvane
