#include "engine/common/env.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace orv::engine {
namespace {

int Errno(int rc) { return rc == 0 ? 0 : errno; }

Env g_posix;
std::atomic<Env*> g_current{&g_posix};

}  // namespace

int Env::Open(const std::string& path, int flags, mode_t mode, int& fd) {
    do fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? errno : 0;
}

int Env::OpenScratch(const std::string& folder, int& fd) {
    fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return 0;
    const int err = errno;
    if (err != EOPNOTSUPP && err != EISDIR && err != ENOENT) return err;
    std::string pattern = folder + "/.orv-scratch-XXXXXX";
    fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    ::unlink(pattern.c_str());
    return 0;
}

int Env::Close(int fd) { return Errno(::close(fd)); }

int Env::Read(int fd, void* data, std::size_t size, off_t offset, std::size_t& done) {
    ssize_t n;
    do n = ::pread(fd, data, size, offset);
    while (n < 0 && errno == EINTR);
    done = n > 0 ? std::size_t(n) : 0;
    return n < 0 ? errno : 0;
}

int Env::Write(int fd, const void* data, std::size_t size, off_t offset, std::size_t& done) {
    ssize_t n;
    do n = ::pwrite(fd, data, size, offset);
    while (n < 0 && errno == EINTR);
    done = n > 0 ? std::size_t(n) : 0;
    return n < 0 ? errno : 0;
}

int Env::Sync(int fd) { return Errno(::fsync(fd)); }
int Env::Truncate(int fd, off_t size) { return Errno(::ftruncate(fd, size)); }
int Env::Stat(int fd, struct stat& info) { return Errno(::fstat(fd, &info)); }
int Env::StatPath(const std::string& path, struct stat& info) { return Errno(::stat(path.c_str(), &info)); }

int Env::CopyOwnership(int fd, const struct stat& like) {
    // Another user's file keeps its owner where this process may give it (root may); a
    // user who may not still keeps the group where it is one of theirs.
    if (::fchown(fd, like.st_uid, like.st_gid) != 0 && ::fchown(fd, static_cast<uid_t>(-1), like.st_gid) != 0) {
        // Neither: the new file stays this user's, as any other program's save would leave it.
    }
    return Errno(::fchmod(fd, like.st_mode & 07777));
}

int Env::Rename(const std::string& from, const std::string& to) { return Errno(::rename(from.c_str(), to.c_str())); }

int Env::RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    const int err = errno;
    if (err != EINVAL && err != ENOSYS && err != ENOTSUP) return err;
    // A file system without that rename: a link refuses an existing name as well; the old
    // name is then removed.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

int Env::Remove(const std::string& path) { return Errno(::unlink(path.c_str())); }

int Env::Lock(int fd, off_t slot, LockMode mode) {
    struct flock lock = {};
    lock.l_type = mode == LockMode::Shared ? F_RDLCK : mode == LockMode::Exclusive ? F_WRLCK : F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = slot;
    lock.l_len = 1;
    int rc;
    do rc = ::fcntl(fd, F_OFD_SETLK, &lock);
    while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno == EACCES) return EAGAIN;
    return Errno(rc);
}

Env& CurrentEnv() { return *g_current.load(std::memory_order_acquire); }

ScopedEnv::ScopedEnv(Env& env) : m_previous(g_current.exchange(&env)) {}
ScopedEnv::~ScopedEnv() { g_current.store(m_previous); }

int WriteAll(int fd, std::string_view bytes, off_t offset) {
    Env& env = CurrentEnv();
    while (!bytes.empty()) {
        std::size_t done = 0;
        if (int err = env.Write(fd, bytes.data(), bytes.size(), offset, done); err != 0) return err;
        if (done == 0) return EIO;
        bytes.remove_prefix(done);
        offset += off_t(done);
    }
    return 0;
}

int ReadWholeFile(const std::string& path, std::string& out) {
    Env& env = CurrentEnv();
    int fd = -1;
    if (int err = env.Open(path, O_RDONLY, 0, fd); err != 0) return err;
    FileHandle file(fd);
    out.clear();
    char buffer[64 * 1024];
    for (off_t offset = 0;;) {
        std::size_t done = 0;
        if (int err = env.Read(fd, buffer, sizeof buffer, offset, done); err != 0) return err;
        if (done == 0) return 0;
        out.append(buffer, done);
        offset += off_t(done);
    }
}

int SyncFolder(const std::string& folder) {
    Env& env = CurrentEnv();
    int fd = -1;
    if (int err = env.Open(folder, O_RDONLY | O_DIRECTORY, 0, fd); err != 0) return err;
    FileHandle handle(fd);
    return env.Sync(fd);
}

}  // namespace orv::engine
