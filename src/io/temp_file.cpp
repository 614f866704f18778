#include "io/temp_file.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <unistd.h>

namespace corvane::io {
namespace {

// The fixed part of a temporary name beside `path`: its directory, then
// ".{name}." with the name cut so that the whole name stays within the usual
// 255-byte limit.
std::string name_prefix(const std::string &path) {
    constexpr std::size_t kBaseKept = 100;
    auto slash = path.rfind('/');
    std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, base) + "." + path.substr(base, kBaseKept) + ".";
}

// `prefix` followed by 16 random hex digits and ".tmp".
std::string random_name(const std::string &prefix) {
    std::uint64_t random = 0;
    if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
        random = static_cast<std::uint64_t>(::getpid()) << 32 ^
                 static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&random));
    std::string name = prefix;
    for (int i = 0; i < 16; ++i)
        name += "0123456789abcdef"[(random >> (4 * i)) & 0xf];
    return name + ".tmp";
}

constexpr int kNameAttempts = 16;

} // namespace

std::string directory_of(const std::string &path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

std::variant<TempFile, int> TempFile::create_beside(const std::string &path, mode_t mode) {
    std::string prefix = name_prefix(path);
    std::string directory = directory_of(path);
    // An unnamed file is only of use if it can be given a name later, which
    // goes through /proc/self/fd.
    if (::access("/proc/self/fd", X_OK) == 0) {
        FileDescriptor fd(::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
        if (fd)
            return TempFile(std::move(fd), std::move(prefix), {});
        // EOPNOTSUPP: not on this file system; EISDIR: not in this kernel.
        if (errno != EOPNOTSUPP && errno != EISDIR)
            return errno;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = random_name(prefix);
        FileDescriptor fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (fd)
            return TempFile(std::move(fd), std::move(prefix), std::move(name));
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

TempFile::TempFile(TempFile &&other) noexcept
    : fd_(std::move(other.fd_)), prefix_(std::move(other.prefix_)), name_(std::move(other.name_)) {
    other.name_.clear();
}

TempFile::~TempFile() {
    if (!name_.empty())
        ::unlink(name_.c_str());
}

int TempFile::link_under_random_name() {
    const std::string source = "/proc/self/fd/" + std::to_string(fd_.get());
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = random_name(prefix_);
        if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            name_ = std::move(name);
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

int TempFile::rename_over(const std::string &path) {
    if (name_.empty()) {
        if (int error = link_under_random_name())
            return error;
    }
    if (int error = fd_.close())
        return error;
    if (::rename(name_.c_str(), path.c_str()) != 0)
        return errno;
    name_.clear(); // the rename took it
    return 0;
}

} // namespace corvane::io
