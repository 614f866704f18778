#include "io/read_file.hpp"

#include "errors/messages.hpp"
#include "io/file_descriptor.hpp"
#include "io/file_io.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

enum class ReadEnd { Complete, Failed, TooLarge, Interrupted };

// Waits until a pipe or device has something to read (or its writer has
// gone), asking `interrupt` between short polls.
ReadEnd wait_readable(int fd, const io::InterruptCheck &interrupt) {
    pollfd waiting{fd, POLLIN, 0};
    const int timeout = static_cast<int>(io::kInterruptInterval.count());
    for (;;) {
        int ready = ::poll(&waiting, 1, timeout);
        if (ready > 0)
            return ReadEnd::Complete;
        if (ready < 0 && errno != EINTR)
            return ReadEnd::Failed;
        if (interrupt())
            return ReadEnd::Interrupted;
    }
}

ReadEnd read_all(int fd, const struct stat &info, std::string &out,
                 const io::InterruptCheck &interrupt) {
    if (S_ISDIR(info.st_mode))
        return ReadEnd::Failed;
    if (S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) > kLargestFile)
        return ReadEnd::TooLarge; // refused unread
    if (S_ISREG(info.st_mode) && info.st_size > 0)
        out.reserve(static_cast<std::size_t>(info.st_size));
    // On the heap: a thread may run with a stack of 32 KiB.
    constexpr std::size_t kChunk = 1 << 16;
    auto buffer = std::make_unique_for_overwrite<char[]>(kChunk);
    for (;;) {
        ssize_t count =
            io::retry_interrupted(interrupt, [&] { return ::read(fd, buffer.get(), kChunk); });
        if (count < 0) {
            if (errno == EINTR)
                return ReadEnd::Interrupted;
            if (errno != EAGAIN)
                return ReadEnd::Failed;
            if (ReadEnd waited = wait_readable(fd, interrupt); waited != ReadEnd::Complete)
                return waited;
            continue;
        }
        if (count == 0)
            return ReadEnd::Complete;
        if (out.size() + static_cast<std::size_t>(count) > kLargestFile)
            return ReadEnd::TooLarge;
        out.append(buffer.get(), static_cast<std::size_t>(count));
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

Result<std::string> read_file_utf8(std::string_view path, const io::InterruptCheck &interrupt) {
    if (io::names_no_file(path))
        return file_not_found(path);
    // Opened without blocking, so a named pipe that nobody writes to reads as
    // empty instead of holding the caller forever; a pipe whose writer has
    // nothing to say yet is waited for in short polls that can be
    // interrupted.
    const std::string name(path);
    io::FileDescriptor file(io::retry_interrupted(interrupt, [&] {
        return ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    }));
    if (!file && errno == EINTR)
        return io::interrupted_error();
    struct stat info {};
    if (!file || ::fstat(file.get(), &info) != 0)
        return file_not_found(path);
    return read_text(file.get(), info, path, interrupt);
}

Result<std::string> read_text(int fd, const struct stat &info, std::string_view path,
                              const io::InterruptCheck &interrupt) {
    std::string text;
    switch (read_all(fd, info, text, interrupt)) {
    case ReadEnd::Interrupted:
        return io::interrupted_error();
    case ReadEnd::Failed:
        return file_not_found(path);
    case ReadEnd::TooLarge:
        return serialization_error(messages::kDocumentTooLarge);
    case ReadEnd::Complete:
        break;
    }
    if (!is_valid_utf8(text))
        return file_not_found(path);
    return text;
}

} // namespace corvane
