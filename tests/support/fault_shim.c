/* Test support: a preloaded library (LD_PRELOAD) that makes one file-system call of the
 * program under test fail, so that tests can see what a full disk or a failing device does
 * to a write in progress.
 *
 * It wraps the calls a writer uses to change files (write, pwrite, writev, fsync,
 * fdatasync, rename, link, unlink, ftruncate, and open with O_CREAT) and passes each to the
 * C library unless it is the one chosen to fail. The choice comes from the environment:
 *
 *   ORV_FAULT_OP     write | pwrite | writev | fsync | fdatasync | rename | link | unlink |
 *                    ftruncate | open: the family of calls that counts (pwrite covers
 *                    pwrite64, rename covers renameat and renameat2, open covers openat and
 *                    the 64-bit names; only opens with O_CREAT count)
 *   ORV_FAULT_AFTER  N: the first N calls that count succeed
 *   ORV_FAULT_MODE   always (default): call N+1 and every later one fail;
 *                    once: only call N+1 fails;
 *                    short: call N+1 of write, pwrite or writev writes half its bytes and
 *                    returns that count (once); other calls are not touched
 *   ORV_FAULT_ERRNO  ENOSPC (default), EIO, EDQUOT, EROFS, EACCES or a number
 *   ORV_FAULT_DIR    only calls on files below this folder count, so that the program's
 *                    own output (a terminal, a pipe, a log) never fails
 *   ORV_FAULT_REPORT a file to which the shim appends one line per fault it injected
 *
 * Calls on a file descriptor are matched by the path it names (/proc/self/fd/N),
 * remembered per descriptor together with the file's identity. The state is
 * process-wide and every counter is atomic: any thread may call the wrapped functions. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

enum Mode { kAlways, kOnce, kShort };

static struct {
    atomic_int ready; /* 0 not read, 1 being read, 2 read */
    char op[32];
    long after;
    enum Mode mode;
    int err;
    char dir[PATH_MAX];
    size_t dirLength;
    char report[PATH_MAX];
    atomic_long calls; /* calls that counted */
    atomic_long injected;
} g_fault;

/* Per descriptor: where it pointed when last looked up, and the file it was then, so that
 * a number reused by a descriptor the shim did not see opened (mkstemp, fclose use the C
 * library's internal calls) is looked up again rather than trusted. */
#define kMaxFds 4096
static struct {
    dev_t device;
    ino_t inode;
    char place; /* 0 not known, 1 below the folder, 2 elsewhere */
} g_fdPlace[kMaxFds];
static pthread_mutex_t g_fdLock = PTHREAD_MUTEX_INITIALIZER;

static int ErrnoByName(const char* name) {
    static const struct {
        const char* name;
        int value;
    } known[] = {{"ENOSPC", ENOSPC}, {"EIO", EIO},     {"EDQUOT", EDQUOT}, {"EROFS", EROFS},
                 {"EACCES", EACCES}, {"EPERM", EPERM}, {"EMFILE", EMFILE}};
    if (!name || !*name) return ENOSPC;
    for (size_t i = 0; i < sizeof known / sizeof known[0]; ++i)
        if (strcmp(name, known[i].name) == 0) return known[i].value;
    int value = atoi(name);
    return value > 0 ? value : ENOSPC;
}

static void ReadSettings(void) {
    int expected = 0;
    if (atomic_load(&g_fault.ready) == 2) return;
    if (!atomic_compare_exchange_strong(&g_fault.ready, &expected, 1)) {
        while (atomic_load(&g_fault.ready) != 2) {}
        return;
    }
    const char* op = getenv("ORV_FAULT_OP");
    snprintf(g_fault.op, sizeof g_fault.op, "%s", op ? op : "");
    const char* after = getenv("ORV_FAULT_AFTER");
    g_fault.after = after ? atol(after) : 0;
    const char* mode = getenv("ORV_FAULT_MODE");
    g_fault.mode = mode && strcmp(mode, "once") == 0 ? kOnce : mode && strcmp(mode, "short") == 0 ? kShort : kAlways;
    g_fault.err = ErrnoByName(getenv("ORV_FAULT_ERRNO"));
    const char* dir = getenv("ORV_FAULT_DIR");
    char resolved[PATH_MAX];
    /* realpath: the folder as /proc/self/fd spells it (no "..", no symbolic links). */
    if (dir && *dir && realpath(dir, resolved)) snprintf(g_fault.dir, sizeof g_fault.dir, "%s", resolved);
    else snprintf(g_fault.dir, sizeof g_fault.dir, "%s", dir ? dir : "");
    g_fault.dirLength = strlen(g_fault.dir);
    while (g_fault.dirLength > 1 && g_fault.dir[g_fault.dirLength - 1] == '/') g_fault.dir[--g_fault.dirLength] = 0;
    const char* report = getenv("ORV_FAULT_REPORT");
    snprintf(g_fault.report, sizeof g_fault.report, "%s", report ? report : "");
    atomic_store(&g_fault.ready, 2);
}

static int BelowFolder(const char* path) {
    if (g_fault.dirLength == 0) return 1;
    if (!path) return 0;
    char absolute[PATH_MAX];
    if (path[0] != '/') {
        /* A relative path: below the folder when the working folder is. */
        if (!getcwd(absolute, sizeof absolute)) return 0;
        size_t n = strlen(absolute);
        snprintf(absolute + n, sizeof absolute - n, "/%s", path);
        path = absolute;
    }
    return strncmp(path, g_fault.dir, g_fault.dirLength) == 0 &&
           (path[g_fault.dirLength] == '/' || path[g_fault.dirLength] == 0);
}

static int FdBelowFolder(int fd) {
    if (g_fault.dirLength == 0) return 1;
    if (fd < 0) return 0;
    struct stat info;
    int known = fstat(fd, &info) == 0;
    if (known && fd < kMaxFds) {
        pthread_mutex_lock(&g_fdLock);
        int place = g_fdPlace[fd].place;
        int same = place && g_fdPlace[fd].device == info.st_dev && g_fdPlace[fd].inode == info.st_ino;
        pthread_mutex_unlock(&g_fdLock);
        if (same) return place == 1;
    }
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    int below = 0;
    if (n > 0) {
        target[n] = 0;
        below = BelowFolder(target);
    }
    if (known && fd < kMaxFds) {
        pthread_mutex_lock(&g_fdLock);
        g_fdPlace[fd].device = info.st_dev;
        g_fdPlace[fd].inode = info.st_ino;
        g_fdPlace[fd].place = below ? 1 : 2;
        pthread_mutex_unlock(&g_fdLock);
    }
    return below;
}

static void Forget(int fd) {
    if (fd < 0 || fd >= kMaxFds) return;
    pthread_mutex_lock(&g_fdLock);
    g_fdPlace[fd].place = 0;
    pthread_mutex_unlock(&g_fdLock);
}

static void Report(const char* call, const char* what) {
    if (!g_fault.report[0]) return;
    static int (*realOpen)(const char*, int, ...);
    static ssize_t (*realWrite)(int, const void*, size_t);
    if (!realOpen) realOpen = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
    if (!realWrite) realWrite = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    int fd = realOpen(g_fault.report, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[PATH_MAX + 128];
    int n = snprintf(line, sizeof line, "%s %s %s\n", call, strerror(g_fault.err), what ? what : "");
    if (n > 0) realWrite(fd, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
    close(fd);
}

/* What to do with a call of the family `op` on a matching file. */
enum Verdict { kPass, kFail, kCut };

static enum Verdict Decide(const char* op, int matches, const char* call, const char* what) {
    ReadSettings();
    if (!matches || strcmp(op, g_fault.op) != 0) return kPass;
    long index = atomic_fetch_add(&g_fault.calls, 1);
    if (index < g_fault.after) return kPass;
    if (g_fault.mode != kAlways && index > g_fault.after) return kPass;
    atomic_fetch_add(&g_fault.injected, 1);
    Report(call, what);
    return g_fault.mode == kShort ? kCut : kFail;
}

/* The C library's function of the same name, looked up once. */
#define REAL(name)                        \
    static __typeof__(name)* real_##name; \
    if (!real_##name) real_##name = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

static const char* FdName(int fd, char* buffer, size_t size) {
    snprintf(buffer, size, "fd %d", fd);
    return buffer;
}

/* ---- Writes --------------------------------------------------------------------------- */

ssize_t write(int fd, const void* data, size_t n) {
    REAL(write);
    char name[32];
    enum Verdict v = Decide("write", FdBelowFolder(fd), "write", FdName(fd, name, sizeof name));
    if (v == kFail) {
        errno = g_fault.err;
        return -1;
    }
    if (v == kCut && n > 1) n /= 2;
    return real_write(fd, data, n);
}

static ssize_t PwriteCommon(const char* call, int fd, const void* data, size_t n, off_t offset,
                            ssize_t (*real)(int, const void*, size_t, off_t)) {
    char name[32];
    enum Verdict v = Decide("pwrite", FdBelowFolder(fd), call, FdName(fd, name, sizeof name));
    if (v == kFail) {
        errno = g_fault.err;
        return -1;
    }
    if (v == kCut && n > 1) n /= 2;
    return real(fd, data, n, offset);
}

ssize_t pwrite(int fd, const void* data, size_t n, off_t offset) {
    REAL(pwrite);
    return PwriteCommon("pwrite", fd, data, n, offset, real_pwrite);
}

ssize_t pwrite64(int fd, const void* data, size_t n, off_t offset) {
    REAL(pwrite64);
    return PwriteCommon("pwrite64", fd, data, n, offset, real_pwrite64);
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
    REAL(writev);
    char name[32];
    enum Verdict v = Decide("writev", FdBelowFolder(fd), "writev", FdName(fd, name, sizeof name));
    if (v == kFail) {
        errno = g_fault.err;
        return -1;
    }
    if (v == kCut) {
        size_t total = 0;
        for (int i = 0; i < count; ++i) total += parts[i].iov_len;
        if (total > 1) {
            /* Half of the bytes: the whole parts that fit, then part of the next. */
            REAL(write);
            size_t left = total / 2, done = 0;
            for (int i = 0; i < count && left > 0; ++i) {
                size_t take = parts[i].iov_len < left ? parts[i].iov_len : left;
                ssize_t w = real_write(fd, parts[i].iov_base, take);
                if (w < 0) return done ? (ssize_t)done : -1;
                done += (size_t)w;
                left -= (size_t)w;
                if ((size_t)w < take) break;
            }
            return (ssize_t)done;
        }
    }
    return real_writev(fd, parts, count);
}

/* ---- Syncs and sizes ------------------------------------------------------------------ */

int fsync(int fd) {
    REAL(fsync);
    char name[32];
    if (Decide("fsync", FdBelowFolder(fd), "fsync", FdName(fd, name, sizeof name)) == kFail) {
        errno = g_fault.err;
        return -1;
    }
    return real_fsync(fd);
}

int fdatasync(int fd) {
    REAL(fdatasync);
    char name[32];
    if (Decide("fdatasync", FdBelowFolder(fd), "fdatasync", FdName(fd, name, sizeof name)) == kFail) {
        errno = g_fault.err;
        return -1;
    }
    return real_fdatasync(fd);
}

static int TruncateCommon(const char* call, int fd, off_t size, int (*real)(int, off_t)) {
    char name[32];
    if (Decide("ftruncate", FdBelowFolder(fd), call, FdName(fd, name, sizeof name)) == kFail) {
        errno = g_fault.err;
        return -1;
    }
    return real(fd, size);
}

int ftruncate(int fd, off_t size) {
    REAL(ftruncate);
    return TruncateCommon("ftruncate", fd, size, real_ftruncate);
}

int ftruncate64(int fd, off_t size) {
    REAL(ftruncate64);
    return TruncateCommon("ftruncate64", fd, size, real_ftruncate64);
}

/* ---- Names ---------------------------------------------------------------------------- */

/* A path relative to a folder descriptor, made absolute for the folder test. */
static const char* AtPath(int dirfd, const char* path, char* buffer, size_t size) {
    if (!path || path[0] == '/' || dirfd == AT_FDCWD) return path;
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    ssize_t n = readlink(link, buffer, size - 1);
    if (n <= 0) return path;
    buffer[n] = 0;
    snprintf(buffer + n, size - (size_t)n, "/%s", path);
    return buffer;
}

static int Fails(const char* op, const char* call, const char* path) {
    if (Decide(op, BelowFolder(path), call, path) != kFail) return 0;
    errno = g_fault.err;
    return 1;
}

int rename(const char* from, const char* to) {
    REAL(rename);
    if (Fails("rename", "rename", to)) return -1;
    return real_rename(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    REAL(renameat);
    char buffer[PATH_MAX];
    if (Fails("rename", "renameat", AtPath(toDir, to, buffer, sizeof buffer))) return -1;
    return real_renameat(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
    REAL(renameat2);
    char buffer[PATH_MAX];
    if (Fails("rename", "renameat2", AtPath(toDir, to, buffer, sizeof buffer))) return -1;
    return real_renameat2(fromDir, from, toDir, to, flags);
}

int link(const char* from, const char* to) {
    REAL(link);
    if (Fails("link", "link", to)) return -1;
    return real_link(from, to);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    REAL(linkat);
    char buffer[PATH_MAX];
    if (Fails("link", "linkat", AtPath(toDir, to, buffer, sizeof buffer))) return -1;
    return real_linkat(fromDir, from, toDir, to, flags);
}

int unlink(const char* path) {
    REAL(unlink);
    if (Fails("unlink", "unlink", path)) return -1;
    return real_unlink(path);
}

int unlinkat(int dir, const char* path, int flags) {
    REAL(unlinkat);
    char buffer[PATH_MAX];
    if (!(flags & AT_REMOVEDIR) && Fails("unlink", "unlinkat", AtPath(dir, path, buffer, sizeof buffer))) return -1;
    return real_unlinkat(dir, path, flags);
}

/* ---- Opens ---------------------------------------------------------------------------- */

static int OpenCommon(const char* call, int dir, const char* path, int flags, mode_t mode,
                      int (*realAt)(int, const char*, int, ...)) {
    if (flags & O_CREAT) {
        char buffer[PATH_MAX];
        if (Fails("open", call, AtPath(dir, path, buffer, sizeof buffer))) return -1;
    }
    int fd = realAt(dir, path, flags, mode);
    Forget(fd);
    return fd;
}

static mode_t ModeArgument(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

int open(const char* path, int flags, ...) {
    REAL(openat);
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeArgument(flags, args);
    va_end(args);
    return OpenCommon("open", AT_FDCWD, path, flags, mode, real_openat);
}

int open64(const char* path, int flags, ...) {
    REAL(openat64);
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeArgument(flags, args);
    va_end(args);
    return OpenCommon("open64", AT_FDCWD, path, flags, mode, real_openat64);
}

int openat(int dir, const char* path, int flags, ...) {
    REAL(openat);
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeArgument(flags, args);
    va_end(args);
    return OpenCommon("openat", dir, path, flags, mode, real_openat);
}

int openat64(int dir, const char* path, int flags, ...) {
    REAL(openat64);
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeArgument(flags, args);
    va_end(args);
    return OpenCommon("openat64", dir, path, flags, mode, real_openat64);
}

/* ---- Descriptors that end or change: forget where they pointed ------------------------- */

int close(int fd) {
    REAL(close);
    Forget(fd);
    return real_close(fd);
}

int dup2(int from, int to) {
    REAL(dup2);
    int fd = real_dup2(from, to);
    Forget(fd);
    return fd;
}

int dup3(int from, int to, int flags) {
    REAL(dup3);
    int fd = real_dup3(from, to, flags);
    Forget(fd);
    return fd;
}

/* At exit, the number of faults injected, for a test that wants to know one happened. */
__attribute__((destructor)) static void ReportTotal(void) {
    if (atomic_load(&g_fault.ready) != 2 || !g_fault.report[0]) return;
    char line[64];
    snprintf(line, sizeof line, "total %ld calls %ld", atomic_load(&g_fault.injected), atomic_load(&g_fault.calls));
    Report("exit", line);
}
