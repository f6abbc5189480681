/* Test support: a preloaded library (LD_PRELOAD) that makes one file-system call of the
 * program under test fail, so that tests can see what a full disk or a failing device does
 * to a write in progress.
 *
 * It wraps the calls the library and SQLite use to change files (pwrite, fsync, fdatasync,
 * rename, link, unlink, ftruncate, and open with O_CREAT; neither writes with write or
 * writev) and passes each to the C library unless it is the one chosen to fail. The choice
 * comes from the environment:
 *
 *   ORV_FAULT_OP     pwrite | fsync | fdatasync | rename | link | unlink | ftruncate | open:
 *                    the family of calls that counts (pwrite covers pwrite64, rename covers
 *                    renameat and renameat2, open covers openat and the 64-bit names; only
 *                    opens with O_CREAT count)
 *   ORV_FAULT_AFTER  N: the first N calls that count succeed
 *   ORV_FAULT_MODE   always (default): call N+1 and every later one fail;
 *                    once: only call N+1 fails;
 *                    short: call N+1 of pwrite writes half its bytes and returns that
 *                    count (once); other calls are not touched
 *   ORV_FAULT_ERRNO  ENOSPC (default), EIO, EDQUOT, EROFS, EACCES or a number
 *   ORV_FAULT_DIR    only calls on files below this folder count, so that the program's
 *                    own output (a terminal, a pipe, a log) never fails
 *   ORV_FAULT_REPORT a file to which the shim appends one line per fault it injected
 *
 * Calls on a file descriptor are matched by the path it names now (/proc/self/fd/N). The
 * state is process-wide and every counter is atomic: any thread may call the wrapped
 * functions. */
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
#include <sys/types.h>
#include <unistd.h>

enum Mode { kAlways, kOnce, kShort };

static struct {
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
static pthread_once_t g_settings = PTHREAD_ONCE_INIT;

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

static const char* Setting(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

static void ReadSettings(void) {
    snprintf(g_fault.op, sizeof g_fault.op, "%s", Setting("ORV_FAULT_OP"));
    g_fault.after = atol(Setting("ORV_FAULT_AFTER"));
    const char* mode = Setting("ORV_FAULT_MODE");
    g_fault.mode = strcmp(mode, "once") == 0 ? kOnce : strcmp(mode, "short") == 0 ? kShort : kAlways;
    g_fault.err = ErrnoByName(Setting("ORV_FAULT_ERRNO"));
    /* realpath: the folder as /proc/self/fd spells it (no "..", no symbolic links). */
    const char* dir = Setting("ORV_FAULT_DIR");
    if (!*dir || !realpath(dir, g_fault.dir)) snprintf(g_fault.dir, sizeof g_fault.dir, "%s", dir);
    g_fault.dirLength = strlen(g_fault.dir);
    while (g_fault.dirLength > 1 && g_fault.dir[g_fault.dirLength - 1] == '/') g_fault.dir[--g_fault.dirLength] = 0;
    snprintf(g_fault.report, sizeof g_fault.report, "%s", Setting("ORV_FAULT_REPORT"));
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

/* `path` relative to the folder descriptor `dir`, made absolute in `buffer` for the folder
 * test; with a null path, the path the descriptor itself names (null when it names none). */
static const char* AtPath(int dir, const char* path, char* buffer, size_t size) {
    if (path && (path[0] == '/' || dir == AT_FDCWD)) return path;
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
    ssize_t n = dir < 0 ? -1 : readlink(link, buffer, size - 1);
    if (n <= 0) return path;
    buffer[n] = 0;
    if (path) snprintf(buffer + n, size - (size_t)n, "/%s", path);
    return buffer;
}

static void Report(const char* call, const char* what) {
    if (!g_fault.report[0]) return;
    static int (*realOpen)(const char*, int, ...);
    if (!realOpen) realOpen = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
    int fd = realOpen(g_fault.report, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[PATH_MAX + 128];
    int n = snprintf(line, sizeof line, "%s %s %s\n", call, strerror(g_fault.err), what ? what : "");
    if (n > 0 && write(fd, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1) < 0) n = 0;
    close(fd);
}

/* What to do with a call of the family `op` on `path`: pass it on, fail it, or (short
 * mode) let it write half its bytes. */
enum Verdict { kPass, kFail, kCut };

static enum Verdict Decide(const char* op, const char* call, const char* path) {
    pthread_once(&g_settings, ReadSettings);
    if (strcmp(op, g_fault.op) != 0 || !BelowFolder(path)) return kPass;
    long index = atomic_fetch_add(&g_fault.calls, 1);
    if (index < g_fault.after || (g_fault.mode != kAlways && index > g_fault.after)) return kPass;
    atomic_fetch_add(&g_fault.injected, 1);
    Report(call, path);
    if (g_fault.mode == kShort) return kCut;
    errno = g_fault.err;
    return kFail;
}

/* The same for a call on the descriptor `fd`, judged by the file it names now. */
static enum Verdict DecideFd(const char* op, const char* call, int fd) {
    pthread_once(&g_settings, ReadSettings);
    if (strcmp(op, g_fault.op) != 0) return kPass;
    char path[PATH_MAX];
    return Decide(op, call, AtPath(fd, NULL, path, sizeof path));
}

/* The C library's function of the same name, looked up once. */
#define REAL(name)                        \
    static __typeof__(name)* real_##name; \
    if (!real_##name) real_##name = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

/* ---- Writes --------------------------------------------------------------------------- */

#define PWRITE(name)                                                          \
    ssize_t name(int fd, const void* data, size_t n, off_t offset) {          \
        REAL(name);                                                           \
        enum Verdict v = DecideFd("pwrite", #name, fd);                       \
        if (v == kFail) return -1;                                            \
        return real_##name(fd, data, v == kCut && n > 1 ? n / 2 : n, offset); \
    }
PWRITE(pwrite)
PWRITE(pwrite64)

/* ---- Syncs and sizes ------------------------------------------------------------------ */

#define SYNC(name)                                                         \
    int name(int fd) {                                                     \
        REAL(name);                                                        \
        return DecideFd(#name, #name, fd) == kFail ? -1 : real_##name(fd); \
    }
#define TRUNCATE(name)                                                                 \
    int name(int fd, off_t size) {                                                     \
        REAL(name);                                                                    \
        return DecideFd("ftruncate", #name, fd) == kFail ? -1 : real_##name(fd, size); \
    }
SYNC(fsync)
SYNC(fdatasync)
TRUNCATE(ftruncate)
TRUNCATE(ftruncate64)

/* ---- Names ---------------------------------------------------------------------------- */

static int Fails(const char* op, const char* call, int dir, const char* path) {
    char buffer[PATH_MAX];
    return Decide(op, call, AtPath(dir, path, buffer, sizeof buffer)) == kFail;
}

int rename(const char* from, const char* to) {
    REAL(rename);
    return Fails("rename", "rename", AT_FDCWD, to) ? -1 : real_rename(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    REAL(renameat);
    return Fails("rename", "renameat", toDir, to) ? -1 : real_renameat(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
    REAL(renameat2);
    return Fails("rename", "renameat2", toDir, to) ? -1 : real_renameat2(fromDir, from, toDir, to, flags);
}

int link(const char* from, const char* to) {
    REAL(link);
    return Fails("link", "link", AT_FDCWD, to) ? -1 : real_link(from, to);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    REAL(linkat);
    return Fails("link", "linkat", toDir, to) ? -1 : real_linkat(fromDir, from, toDir, to, flags);
}

int unlink(const char* path) {
    REAL(unlink);
    return Fails("unlink", "unlink", AT_FDCWD, path) ? -1 : real_unlink(path);
}

int unlinkat(int dir, const char* path, int flags) {
    REAL(unlinkat);
    if (!(flags & AT_REMOVEDIR) && Fails("unlink", "unlinkat", dir, path)) return -1;
    return real_unlinkat(dir, path, flags);
}

/* ---- Opens: only those that may create a file count ------------------------------------ */

/* The mode argument of an open that has one (a GNU statement expression, inside the open). */
#define MODE_OF(flags)                                                                 \
    ({                                                                                 \
        va_list args;                                                                  \
        va_start(args, flags);                                                         \
        mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0; \
        va_end(args);                                                                  \
        mode;                                                                          \
    })
#define OPEN_AT(call, real, dir)                                        \
    REAL(real);                                                         \
    if ((flags & O_CREAT) && Fails("open", call, dir, path)) return -1; \
    return real_##real(dir, path, flags, MODE_OF(flags))

int open(const char* path, int flags, ...) { OPEN_AT("open", openat, AT_FDCWD); }
int open64(const char* path, int flags, ...) { OPEN_AT("open64", openat64, AT_FDCWD); }
int openat(int dir, const char* path, int flags, ...) { OPEN_AT("openat", openat, dir); }
int openat64(int dir, const char* path, int flags, ...) { OPEN_AT("openat64", openat64, dir); }

/* At exit, the number of faults injected, for a test that wants to know one happened. */
__attribute__((destructor)) static void ReportTotal(void) {
    if (!g_fault.report[0]) return;
    char line[64];
    snprintf(line, sizeof line, "total %ld calls %ld", atomic_load(&g_fault.injected), atomic_load(&g_fault.calls));
    Report("exit", line);
}
