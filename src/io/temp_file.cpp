#include "io/temp_file.hpp"

#include "io/file_io.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <unistd.h>

namespace corvane::io {
namespace {

// The fixed part of a temporary name beside `name`: ".{name}." with the name
// cut so that the whole name stays within the usual 255-byte limit.
std::string name_prefix(const std::string &name) {
    constexpr std::size_t kBaseKept = 100;
    std::string prefix(1, '.');
    prefix.append(name, 0, kBaseKept);
    prefix.push_back('.');
    return prefix;
}

// 64 unpredictable bits; where the system has none to give, bits that still
// differ on every call (the clock, a counter, the process).
std::uint64_t random_bits() {
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof random))
        return random;
    static std::atomic<std::uint64_t> calls{0};
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return now ^ (calls.fetch_add(1) * 0x9E3779B97F4A7C15ULL) ^
           (static_cast<std::uint64_t>(::getpid()) << 40);
}

// `prefix` followed by 16 random hex digits and ".tmp".
std::string random_name(const std::string &prefix) {
    std::uint64_t random = random_bits();
    std::string name = prefix;
    for (int i = 0; i < 16; ++i)
        name += "0123456789abcdef"[(random >> (4 * i)) & 0xf];
    return name + ".tmp";
}

constexpr int kNameAttempts = 16;

} // namespace

std::variant<TempFile, int> TempFile::create_beside(const FileDescriptor &directory,
                                                    const std::string &name, mode_t mode,
                                                    const InterruptCheck &interrupt) {
    std::string prefix = name_prefix(name);
    // An unnamed file is only of use if it can be given a name later, which
    // goes through /proc/self/fd.
    if (::access("/proc/self/fd", X_OK) == 0) {
        FileDescriptor fd(retry_interrupted(interrupt, [&] {
            return ::openat(directory.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        }));
        if (fd)
            return TempFile(directory, interrupt, std::move(fd), std::move(prefix), {});
        // EOPNOTSUPP: not on this file system; EISDIR: not in this kernel.
        if (errno != EOPNOTSUPP && errno != EISDIR)
            return errno;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string temp = random_name(prefix);
        FileDescriptor fd(retry_interrupted(interrupt, [&] {
            return ::openat(directory.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                            mode);
        }));
        if (fd)
            return TempFile(directory, interrupt, std::move(fd), std::move(prefix),
                            std::move(temp));
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

TempFile::TempFile(TempFile &&other) noexcept
    : directory_(other.directory_), interrupt_(other.interrupt_), fd_(std::move(other.fd_)),
      prefix_(std::move(other.prefix_)), name_(std::move(other.name_)) {
    other.name_.clear();
}

TempFile::~TempFile() {
    // Not in a child forked during the call: the directory's number is no
    // longer the call's there, and the parent removes the name itself.
    if (!name_.empty() && directory_.owned())
        ::unlinkat(directory_.get(), name_.c_str(), 0);
}

int TempFile::link_under_random_name() {
    const std::string source = "/proc/self/fd/" + std::to_string(fd_.get());
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = random_name(prefix_);
        if (retry_interrupted(interrupt_, [&] {
                return ::linkat(AT_FDCWD, source.c_str(), directory_.get(), name.c_str(),
                                AT_SYMLINK_FOLLOW);
            }) == 0) {
            name_ = std::move(name);
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

int TempFile::rename_over(const std::string &target) {
    if (name_.empty()) {
        if (int error = link_under_random_name())
            return error;
    }
    // EINTR from close: Linux has closed the file all the same, and its text
    // was flushed before.
    if (int error = fd_.close(); error != 0 && error != EINTR)
        return error;
    if (retry_interrupted(interrupt_, [&] {
            return ::renameat(directory_.get(), name_.c_str(), directory_.get(), target.c_str());
        }) != 0)
        return errno;
    name_.clear(); // the rename took it
    return 0;
}

} // namespace corvane::io
