/* Fault injection for the module's own system calls, loaded with LD_PRELOAD.

   Counts the libc calls whose caller lies in the module (the loaded object
   whose file name holds FAULT_MODULE, "corvane_config" by default) while
   armed, and does one thing to the FAULT_AT-th of them, chosen by
   FAULT_ACTION:
     an errno name (EIO, ENOSPC, EINTR, ...)  the call fails with it;
     kill-before / kill-after                  SIGKILL just before / after it;
     none                                      nothing (a counting run).
   With FAULT_NO_TMPFILE set, the module's O_TMPFILE opens fail with
   EOPNOTSUPP (uncounted), as on a file system without unnamed files; with
   FAULT_NO_STATX set, its statx calls fail with ENOSYS (uncounted), as on
   kernels before 4.11 or under a seccomp filter.
   Each counted call is logged, one line each, to the file FAULT_LOG names:
     index name fd-kind fd-inode path result errno can-be-interrupted mark
   (the path column says what flock and the fcntl lock commands do).

   Armed from the start when FAULT_AT is set as the process starts; a process
   that forks a child per case calls fault_arm() in the child (it reads the
   variables then) and fault_disarm() after the call, which returns the
   number of calls counted.

   Like the kernel: close gives the descriptor up even when it reports an
   error, and EINTR is only injected into calls that can return it, on a
   network or FUSE file system included (for any other call the case is
   logged as "not-interruptible" and nothing is done). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

enum action { ACT_NONE, ACT_ERRNO, ACT_KILL_BEFORE, ACT_KILL_AFTER };

static struct {
    int armed;
    long count;
    long target;
    enum action action;
    int error;
    int no_tmpfile;
    int no_statx;
    int log_fd;
    int ranges;
    struct {
        ElfW(Addr) start, end;
    } range[8];
} state = {.log_fd = -1};

static const struct {
    const char *name;
    int value;
} errno_names[] = {
    {"EIO", EIO},       {"ENOSPC", ENOSPC},         {"EDQUOT", EDQUOT}, {"EMFILE", EMFILE},
    {"ENFILE", ENFILE}, {"ENOLCK", ENOLCK},         {"EINTR", EINTR},   {"ENOMEM", ENOMEM},
    {"EACCES", EACCES}, {"EPERM", EPERM},           {"EROFS", EROFS},   {"EBUSY", EBUSY},
    {"EXDEV", EXDEV},   {"EAGAIN", EAGAIN},         {"EINVAL", EINVAL}, {"ENOENT", ENOENT},
    {"EFBIG", EFBIG},   {"EOPNOTSUPP", EOPNOTSUPP},
};

static void *real(const char *name) {
    void *found = dlsym(RTLD_NEXT, name);
    if (found == NULL)
        abort();
    return found;
}

/* The next definition of `name`: libc's. */
#define REAL(ret, name, params)                                                                    \
    static ret(*real_##name) params = NULL;                                                        \
    if (real_##name == NULL)                                                                       \
    real_##name = (ret(*) params)real(#name)

static int find_module(struct dl_phdr_info *info, size_t size, void *data) {
    (void)size;
    if (info->dlpi_name == NULL || strstr(info->dlpi_name, (const char *)data) == NULL)
        return 0;
    for (int i = 0; i < info->dlpi_phnum && state.ranges < 8; ++i) {
        const ElfW(Phdr) *segment = &info->dlpi_phdr[i];
        if (segment->p_type == PT_LOAD && (segment->p_flags & PF_X)) {
            state.range[state.ranges].start = info->dlpi_addr + segment->p_vaddr;
            state.range[state.ranges].end = info->dlpi_addr + segment->p_vaddr + segment->p_memsz;
            ++state.ranges;
        }
    }
    return 1;
}

static int from_module(const void *caller) {
    if (state.ranges == 0) {
        const char *module = getenv("FAULT_MODULE");
        dl_iterate_phdr(find_module, (void *)(module ? module : "corvane_config"));
    }
    ElfW(Addr) address = (ElfW(Addr))caller;
    for (int i = 0; i < state.ranges; ++i)
        if (address >= state.range[i].start && address < state.range[i].end)
            return 1;
    return 0;
}

long fault_disarm(void) {
    if (state.log_fd >= 0) {
        REAL(int, close, (int));
        real_close(state.log_fd);
        state.log_fd = -1;
    }
    state.armed = 0;
    return state.count;
}

int fault_arm(void) {
    fault_disarm();
    const char *at = getenv("FAULT_AT");
    const char *action = getenv("FAULT_ACTION");
    const char *log = getenv("FAULT_LOG");
    state.count = 0;
    state.target = at ? atol(at) : 0;
    state.action = ACT_NONE;
    state.error = 0;
    state.no_tmpfile = getenv("FAULT_NO_TMPFILE") != NULL;
    state.no_statx = getenv("FAULT_NO_STATX") != NULL;
    if (action == NULL || strcmp(action, "none") == 0)
        state.action = ACT_NONE;
    else if (strcmp(action, "kill-before") == 0)
        state.action = ACT_KILL_BEFORE;
    else if (strcmp(action, "kill-after") == 0)
        state.action = ACT_KILL_AFTER;
    else {
        for (size_t i = 0; i < sizeof errno_names / sizeof errno_names[0]; ++i)
            if (strcmp(action, errno_names[i].name) == 0)
                state.error = errno_names[i].value;
        if (state.error == 0)
            return -1; /* unknown action */
        state.action = ACT_ERRNO;
    }
    if (log != NULL && *log != '\0') {
        REAL(int, open, (const char *, int, ...));
        state.log_fd = real_open(log, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
        if (state.log_fd < 0)
            return -1;
    }
    state.armed = 1;
    return 0;
}

__attribute__((constructor)) static void arm_from_environment(void) {
    if (getenv("FAULT_AT") != NULL)
        fault_arm();
}

/* One counted call, from its start to its end. */
struct call {
    long index;
    const char *name;
    char kind; /* of the descriptor: r(egular), d(irectory), o(ther), -(none) */
    unsigned long inode;
    const char *path;
    int can_be_interrupted;
    int inject; /* errno to fail with, 0 for none */
    int kill_after;
    const char *mark;
};

static void log_call(const struct call *call, long result, int error) {
    if (state.log_fd < 0)
        return;
    char line[512];
    char path[256];
    snprintf(path, sizeof path, "%s", call->path ? call->path : "-");
    for (char *c = path; *c; ++c)
        if (*c == '\t' || *c == '\n')
            *c = '?';
    int length = snprintf(line, sizeof line, "%ld\t%s\t%c\t%lu\t%s\t%ld\t%d\t%d\t%s\n", call->index,
                          call->name, call->kind, call->inode, path, result, result < 0 ? error : 0,
                          call->can_be_interrupted, call->mark);
    if (length > (int)sizeof line)
        length = sizeof line;
    REAL(ssize_t, write, (int, const void *, size_t));
    (void)!real_write(state.log_fd, line, (size_t)length);
}

static void die(void) {
    REAL(int, kill, (pid_t, int));
    real_kill(getpid(), SIGKILL);
    for (;;)
        pause();
}

/* Counts the call if the module made it; returns whether it did. */
static int begin(struct call *call, const void *caller, const char *name, int fd, const char *path,
                 int can_be_interrupted) {
    if (!state.armed || !from_module(caller))
        return 0;
    int saved = errno;
    *call = (struct call){.index = __atomic_add_fetch(&state.count, 1, __ATOMIC_RELAXED),
                          .name = name,
                          .kind = '-',
                          .path = path,
                          .can_be_interrupted = can_be_interrupted,
                          .mark = "-"};
    if (fd >= 0) {
        REAL(int, fstat, (int, struct stat *));
        struct stat info;
        if (real_fstat(fd, &info) == 0) {
            call->kind = S_ISREG(info.st_mode) ? 'r' : S_ISDIR(info.st_mode) ? 'd' : 'o';
            call->inode = (unsigned long)info.st_ino;
        }
    }
    if (call->index == state.target) {
        switch (state.action) {
        case ACT_KILL_BEFORE:
            call->mark = "killed-before";
            log_call(call, 0, 0);
            die();
            break;
        case ACT_KILL_AFTER:
            call->kill_after = 1;
            call->mark = "killed-after";
            break;
        case ACT_ERRNO:
            if (state.error == EINTR && !can_be_interrupted) {
                call->mark = "not-interruptible";
            } else {
                call->inject = state.error;
                call->mark = "injected";
            }
            break;
        case ACT_NONE:
            break;
        }
    }
    errno = saved;
    return 1;
}

/* Logs the outcome, kills if asked to, and sets errno for the caller. */
static void finish(const struct call *call, long result, int error) {
    log_call(call, result, error);
    if (call->kill_after)
        die();
    errno = error;
}

#define CALLER __builtin_return_address(0)

/* A call returning an int or ssize_t, -1 with errno on failure; `fd` and
   `path` say what it works on (-1 / NULL for nothing). */
#define WRAP(ret, name, params, args, fd, path, interruptible)                                     \
    ret name params {                                                                              \
        REAL(ret, name, params);                                                                   \
        struct call call;                                                                          \
        if (!begin(&call, CALLER, #name, fd, path, interruptible))                                 \
            return real_##name args;                                                               \
        ret result = -1;                                                                           \
        int error = call.inject;                                                                   \
        if (!call.inject) {                                                                        \
            result = real_##name args;                                                             \
            error = errno;                                                                         \
        }                                                                                          \
        finish(&call, (long)result, error);                                                        \
        return result;                                                                             \
    }

WRAP(ssize_t, read, (int fd, void *buffer, size_t size), (fd, buffer, size), fd, NULL, 1)
WRAP(ssize_t, pread, (int fd, void *buffer, size_t size, off_t at), (fd, buffer, size, at), fd,
     NULL, 1)
WRAP(ssize_t, pread64, (int fd, void *buffer, size_t size, off_t at), (fd, buffer, size, at), fd,
     NULL, 1)
WRAP(ssize_t, write, (int fd, const void *buffer, size_t size), (fd, buffer, size), fd, NULL, 1)
WRAP(ssize_t, pwrite, (int fd, const void *buffer, size_t size, off_t at), (fd, buffer, size, at),
     fd, NULL, 1)
WRAP(ssize_t, pwrite64, (int fd, const void *buffer, size_t size, off_t at), (fd, buffer, size, at),
     fd, NULL, 1)
WRAP(int, fstat, (int fd, struct stat *info), (fd, info), fd, NULL, 0)
WRAP(int, fstat64, (int fd, struct stat64 *info), (fd, info), fd, NULL, 0)
WRAP(int, stat, (const char *path, struct stat *info), (path, info), -1, path, 0)
WRAP(int, stat64, (const char *path, struct stat64 *info), (path, info), -1, path, 0)
WRAP(int, lstat, (const char *path, struct stat *info), (path, info), -1, path, 0)
WRAP(int, lstat64, (const char *path, struct stat64 *info), (path, info), -1, path, 0)
WRAP(int, fstatat, (int dir, const char *path, struct stat *info, int flags),
     (dir, path, info, flags), -1, path, 0)
WRAP(int, fstatat64, (int dir, const char *path, struct stat64 *info, int flags),
     (dir, path, info, flags), -1, path, 0)
int statx(int dir, const char *path, int flags, unsigned mask, struct statx *info) {
    REAL(int, statx, (int, const char *, int, unsigned, struct statx *));
    if (state.no_statx && state.armed && from_module(CALLER)) {
        errno = ENOSYS; /* as without the call; not counted */
        return -1;
    }
    struct call call;
    if (!begin(&call, CALLER, "statx", -1, path, 0))
        return real_statx(dir, path, flags, mask, info);
    int result = -1, error = call.inject;
    if (!call.inject) {
        result = real_statx(dir, path, flags, mask, info);
        error = errno;
    }
    finish(&call, result, error);
    return result;
}
WRAP(int, fstatfs, (int fd, struct statfs *info), (fd, info), fd, NULL, 1)
WRAP(int, fstatfs64, (int fd, struct statfs64 *info), (fd, info), fd, NULL, 1)
WRAP(int, fsync, (int fd), (fd), fd, NULL, 1)
WRAP(int, fdatasync, (int fd), (fd), fd, NULL, 1)
WRAP(int, rename, (const char *from, const char *to), (from, to), -1, to, 1)
WRAP(int, renameat, (int from_dir, const char *from, int to_dir, const char *to),
     (from_dir, from, to_dir, to), -1, to, 1)
WRAP(int, renameat2, (int from_dir, const char *from, int to_dir, const char *to, unsigned flags),
     (from_dir, from, to_dir, to, flags), -1, to, 1)
WRAP(int, link, (const char *from, const char *to), (from, to), -1, to, 1)
WRAP(int, linkat, (int from_dir, const char *from, int to_dir, const char *to, int flags),
     (from_dir, from, to_dir, to, flags), -1, to, 1)
WRAP(int, unlink, (const char *path), (path), -1, path, 0)
WRAP(int, unlinkat, (int dir, const char *path, int flags), (dir, path, flags), -1, path, 0)
WRAP(int, fchmod, (int fd, mode_t mode), (fd, mode), fd, NULL, 1)
WRAP(int, fchmodat, (int dir, const char *path, mode_t mode, int flags), (dir, path, mode, flags),
     -1, path, 1)
WRAP(int, fchown, (int fd, uid_t owner, gid_t group), (fd, owner, group), fd, NULL, 1)
WRAP(int, fchownat, (int dir, const char *path, uid_t owner, gid_t group, int flags),
     (dir, path, owner, group, flags), -1, path, 1)
WRAP(int, fallocate, (int fd, int mode, off_t at, off_t length), (fd, mode, at, length), fd, NULL,
     1)
WRAP(int, fallocate64, (int fd, int mode, off_t at, off_t length), (fd, mode, at, length), fd, NULL,
     1)
WRAP(int, ftruncate, (int fd, off_t length), (fd, length), fd, NULL, 1)
WRAP(int, ftruncate64, (int fd, off_t length), (fd, length), fd, NULL, 1)
WRAP(ssize_t, getrandom, (void *buffer, size_t size, unsigned flags), (buffer, size, flags), -1,
     NULL, 1)
WRAP(int, access, (const char *path, int mode), (path, mode), -1, path, 0)
WRAP(int, mkstemp, (char *name), (name), -1, name, 1)
WRAP(int, mkostemp, (char *name, int flags), (name, flags), -1, name, 1)
WRAP(int, mkstemps, (char *name, int suffix), (name, suffix), -1, name, 1)
WRAP(int, mkostemps, (char *name, int suffix, int flags), (name, suffix, flags), -1, name, 1)
WRAP(int, dup, (int fd), (fd), fd, NULL, 0)
WRAP(off_t, lseek, (int fd, off_t at, int whence), (fd, at, whence), fd, NULL, 0)
WRAP(int, poll, (struct pollfd * fds, nfds_t count, int timeout), (fds, count, timeout), -1, NULL,
     1)

/* Locks can be interrupted waiting, and on a network file system also
   without waiting (while the server is asked). */
WRAP(int, flock, (int fd, int operation), (fd, operation), fd,
     operation &LOCK_UN   ? "unlock"
     : operation &LOCK_EX ? "exclusive"
                          : "shared",
     1)

/* What a byte-range lock command does, for the log. */
static const char *lock_command(int command, const void *argument) {
    switch (command) {
    case F_SETLK:
    case F_SETLKW:
    case F_OFD_SETLK:
    case F_OFD_SETLKW: {
        short type = ((const struct flock *)argument)->l_type;
        return type == F_WRLCK ? "set-write" : type == F_RDLCK ? "set-read" : "set-unlock";
    }
    case F_GETLK:
    case F_OFD_GETLK:
        return "get";
    default:
        return NULL;
    }
}

/* fcntl's third argument is an int or a pointer: passed on as a word. */
#define WRAP_FCNTL(name)                                                                           \
    int name(int fd, int command, ...) {                                                           \
        va_list list;                                                                              \
        va_start(list, command);                                                                   \
        void *argument = va_arg(list, void *);                                                     \
        va_end(list);                                                                              \
        REAL(int, name, (int, int, ...));                                                          \
        struct call call;                                                                          \
        const char *lock = lock_command(command, argument);                                        \
        if (!begin(&call, CALLER, #name, fd, lock, lock != NULL))                                  \
            return real_##name(fd, command, argument);                                             \
        int result = -1, error = call.inject;                                                      \
        if (!call.inject) {                                                                        \
            result = real_##name(fd, command, argument);                                           \
            error = errno;                                                                         \
        }                                                                                          \
        finish(&call, result, error);                                                              \
        return result;                                                                             \
    }
WRAP_FCNTL(fcntl)
WRAP_FCNTL(fcntl64)

/* ioctl's third argument is a word as well. The wheel's module links
   libstdc++ in, which imports it; nothing the module does should call it. */
int ioctl(int fd, unsigned long request, ...) {
    va_list list;
    va_start(list, request);
    void *argument = va_arg(list, void *);
    va_end(list);
    REAL(int, ioctl, (int, unsigned long, ...));
    struct call call;
    if (!begin(&call, CALLER, "ioctl", fd, NULL, 0))
        return real_ioctl(fd, request, argument);
    int result = -1, error = call.inject;
    if (!call.inject) {
        result = real_ioctl(fd, request, argument);
        error = errno;
    }
    finish(&call, result, error);
    return result;
}

/* The mode is there only when the file may be created. */
static mode_t mode_argument(int flags, va_list list) {
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? va_arg(list, mode_t) : 0;
}

/* open and openat, told who called (the fortified forms pass their caller on). */
static int open_counted(const void *caller, const char *name, int dir, const char *path, int flags,
                        mode_t mode) {
    REAL(int, openat, (int, const char *, int, ...));
    if (state.no_tmpfile && (flags & __O_TMPFILE) == __O_TMPFILE && state.armed &&
        from_module(caller)) {
        errno = EOPNOTSUPP; /* as on a file system without unnamed files; not counted */
        return -1;
    }
    struct call call;
    if (!begin(&call, caller, name, -1, path, 1))
        return real_openat(dir, path, flags, mode);
    int result = -1, error = call.inject;
    if (!call.inject) {
        result = real_openat(dir, path, flags, mode);
        error = errno;
    }
    finish(&call, result, error);
    return result;
}

#define WRAP_OPEN(name)                                                                            \
    int name(const char *path, int flags, ...) {                                                   \
        va_list list;                                                                              \
        va_start(list, flags);                                                                     \
        mode_t mode = mode_argument(flags, list);                                                  \
        va_end(list);                                                                              \
        return open_counted(CALLER, #name, AT_FDCWD, path, flags, mode);                           \
    }
WRAP_OPEN(open)
WRAP_OPEN(open64)

#define WRAP_OPENAT(name)                                                                          \
    int name(int dir, const char *path, int flags, ...) {                                          \
        va_list list;                                                                              \
        va_start(list, flags);                                                                     \
        mode_t mode = mode_argument(flags, list);                                                  \
        va_end(list);                                                                              \
        return open_counted(CALLER, #name, dir, path, flags, mode);                                \
    }
WRAP_OPENAT(openat)
WRAP_OPENAT(openat64)

/* The fortified forms that _FORTIFY_SOURCE may call instead (no mode: they
   are only used where no file is created). */
int __open_2(const char *path, int flags) {
    return open_counted(CALLER, "open", AT_FDCWD, path, flags, 0);
}
int __open64_2(const char *path, int flags) {
    return open_counted(CALLER, "open", AT_FDCWD, path, flags, 0);
}
int __openat_2(int dir, const char *path, int flags) {
    return open_counted(CALLER, "openat", dir, path, flags, 0);
}
int __openat64_2(int dir, const char *path, int flags) {
    return open_counted(CALLER, "openat", dir, path, flags, 0);
}

/* Like the kernel, close gives the descriptor up whatever it reports. */
int close(int fd) {
    REAL(int, close, (int));
    struct call call;
    if (!begin(&call, CALLER, "close", fd, NULL, 1))
        return real_close(fd);
    int result = real_close(fd);
    int error = errno;
    if (call.inject) {
        result = -1;
        error = call.inject;
    }
    finish(&call, result, error);
    return result;
}

static const char *syscall_name(long number) {
    switch (number) {
    case SYS_statx:
        return "syscall:statx";
    case SYS_getrandom:
        return "syscall:getrandom";
    case SYS_openat:
        return "syscall:openat";
    case SYS_renameat2:
        return "syscall:renameat2";
    case SYS_close:
        return "syscall:close";
    case SYS_fsync:
        return "syscall:fsync";
    default:
        return "syscall";
    }
}

long syscall(long number, ...) {
    va_list list;
    va_start(list, number);
    long a[6];
    for (int i = 0; i < 6; ++i)
        a[i] = va_arg(list, long);
    va_end(list);
    REAL(long, syscall, (long, ...));
    struct call call;
    int fd = number == SYS_fsync || number == SYS_close ? (int)a[0] : -1;
    const char *path = number == SYS_statx || number == SYS_openat ? (const char *)a[1] : NULL;
    if (!begin(&call, CALLER, syscall_name(number), fd, path,
               number == SYS_getrandom || number == SYS_openat || number == SYS_close))
        return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    long result = -1;
    int error = call.inject;
    if (!call.inject || number == SYS_close) {
        result = real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
        error = errno;
        if (call.inject) {
            result = -1;
            error = call.inject;
        }
    }
    finish(&call, result, error);
    return result;
}
