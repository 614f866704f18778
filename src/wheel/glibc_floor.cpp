// Linked only into the distributed wheels (CORVANE_PORTABLE_WHEEL=ON), which
// link libstdc++ statically so that they need no GLIBCXX symbol version.
// Built on a newer system, the module and the static libstdc++ would still
// bind a few calls to glibc versions newer than 2.17; these hidden
// definitions take their place inside the module, each on a system call
// glibc 2.17 already has, so the wheel loads on glibc 2.17 and later.
// Nothing outside the module sees them. For x86_64 and aarch64, where
// glibc's `struct stat` is the kernel's, and where the system calls below
// exist (aarch64 has no `stat` call, only `newfstatat` and `fstat`).
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#if !(defined(__x86_64__) || defined(__aarch64__)) || !defined(__GLIBC__)
#error "the glibc floor of the wheel is written for x86_64 and aarch64 Linux with glibc"
#endif

// The kernel's struct stat of each (arch/x86/include/uapi/asm/stat.h, and
// include/uapi/asm-generic/stat.h for aarch64): what the raw calls fill in.
#if defined(__x86_64__)
static_assert(sizeof(struct stat) == 144 && offsetof(struct stat, st_mode) == 24 &&
              offsetof(struct stat, st_size) == 48 && offsetof(struct stat, st_mtim) == 88);
#else
static_assert(sizeof(struct stat) == 128 && offsetof(struct stat, st_mode) == 16 &&
              offsetof(struct stat, st_size) == 48 && offsetof(struct stat, st_mtim) == 88);
#endif

namespace {

// Reads `length` bytes of /dev/urandom; false when it cannot be read.
bool from_urandom(unsigned char *bytes, size_t length) {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    while (length > 0) {
        const ssize_t got = ::read(fd, bytes, length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        bytes += got;
        length -= static_cast<size_t>(got);
    }
    ::close(fd);
    return length == 0;
}

// The kernel's random bytes as glibc's arc4random gets them: from getrandom,
// or from /dev/urandom where the kernel has no getrandom (before 3.17, such
// as 3.10 of the oldest systems glibc 2.17 runs on). Leaves errno as it was.
bool random_bytes(unsigned char *bytes, size_t length) {
    const int saved = errno;
    bool filled = true;
    while (length > 0) {
        const long got = ::syscall(SYS_getrandom, bytes, length, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            filled = errno == ENOSYS && from_urandom(bytes, length);
            break;
        }
        bytes += got;
        length -= static_cast<size_t>(got);
    }
    errno = saved;
    return filled;
}

} // namespace

extern "C" {

// glibc 2.33 made stat, fstat and fstatat functions of their own (before,
// inline calls of __xstat and __fxstatat).
int stat(const char *path, struct stat *found) noexcept {
    return static_cast<int>(::syscall(SYS_newfstatat, AT_FDCWD, path, found, 0));
}

int fstat(int fd, struct stat *found) noexcept {
    return static_cast<int>(::syscall(SYS_fstat, fd, found));
}

int fstatat(int directory, const char *path, struct stat *found, int flags) noexcept {
    return static_cast<int>(::syscall(SYS_newfstatat, directory, path, found, flags));
}

// glibc 2.28; kernels before 4.11 answer ENOSYS, which the write path takes
// as "not a mount point".
int statx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *found) noexcept {
    return static_cast<int>(::syscall(SYS_statx, dirfd, path, flags, mask, found));
}

// glibc 2.25; kernels before 3.17 answer ENOSYS, and temporary names then
// fall back to other unique bits.
ssize_t getrandom(void *buffer, size_t length, unsigned int flags) {
    return ::syscall(SYS_getrandom, buffer, length, flags);
}

// glibc 2.25 and 2.36, for libstdc++'s std::random_device, which the module
// does not use; they still answer truthfully (getentropy with ENOSYS where
// the kernel has no getrandom, as glibc's; arc4random falls back then).
int getentropy(void *buffer, size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    auto *bytes = static_cast<unsigned char *>(buffer);
    while (length > 0) {
        long got = ::syscall(SYS_getrandom, bytes, length, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        bytes += got;
        length -= static_cast<size_t>(got);
    }
    return 0;
}

uint32_t arc4random() noexcept {
    uint32_t value = 0;
    if (!random_bytes(reinterpret_cast<unsigned char *>(&value), sizeof value))
        std::abort(); // no source of randomness left: what glibc's own does
    return value;
}

// glibc 2.32: libstdc++ skips atomic reference counts while it says the
// process has one thread. Always "no" here: always atomic, as before 2.32.
char __libc_single_threaded = 0;
}
