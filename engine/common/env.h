// The engine's one way to the file system for everything it writes: the text writers, the
// workbook writer (libzip reaches it through a source function), the publishing of new and
// changed files, the append journal and the inter-process locks. A test installs another
// Env (one that fails a chosen call, or refuses permission even to root) to see what a
// failure leaves behind, in-process and on every write, the workbook archive's included.
//
// Every call returns 0 or an errno value; descriptors are plain POSIX descriptors that the
// caller closes with Close. The installed Env is process-wide: tests install theirs with
// ScopedEnv before any connection is opened and remove it after the last one is closed.
// The default Env keeps no state and may be called from any thread at once.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

namespace orv::engine {

class Env {
public:
    virtual ~Env() = default;

    virtual int Open(const std::string& path, int flags, mode_t mode, int& fd);
    // An unnamed file in `folder` (O_TMPFILE), or a named one removed at once where the file
    // system cannot make one: scratch space that nothing can leave behind.
    virtual int OpenScratch(const std::string& folder, int& fd);
    virtual int Close(int fd);
    // pread/pwrite: `done` is how many bytes moved (a short write is not an error here).
    virtual int Read(int fd, void* data, std::size_t size, off_t offset, std::size_t& done);
    virtual int Write(int fd, const void* data, std::size_t size, off_t offset, std::size_t& done);
    virtual int Sync(int fd);
    virtual int Truncate(int fd, off_t size);
    virtual int Stat(int fd, struct stat& info);
    // stat() of a path, links followed.
    virtual int StatPath(const std::string& path, struct stat& info);
    // Gives `fd` the owner, group and permissions of `like` (as far as this user may).
    virtual int CopyOwnership(int fd, const struct stat& like);
    // Renames over an existing file / never over an existing file (EEXIST then).
    virtual int Rename(const std::string& from, const std::string& to);
    virtual int RenameNoReplace(const std::string& from, const std::string& to);
    virtual int Remove(const std::string& path);
    // An advisory lock on one byte (`slot`) of the file behind `fd`, shared or exclusive;
    // never waits (EAGAIN when another descriptor holds a conflicting one). The bytes are
    // only names of locks, the file's contents are not involved. Locks belong to the open
    // file, so two connections of one process exclude each other as two processes do, and
    // closing another descriptor of the same file releases nothing.
    enum class LockMode { Shared, Exclusive, Unlock };
    virtual int Lock(int fd, off_t slot, LockMode mode);
};

// The Env in use: the POSIX one unless a test installed another.
Env& CurrentEnv();

// Installs `env` for the life of the object (tests only).
class ScopedEnv {
public:
    explicit ScopedEnv(Env& env);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    Env* m_previous;
};

// ---- Helpers on the current Env ---------------------------------------------------------------

// Writes all of `bytes` at `offset`; 0 or an errno (EIO for a write that moved nothing).
int WriteAll(int fd, std::string_view bytes, off_t offset);
// Reads the whole file at `path` into `out`; 0 or an errno.
int ReadWholeFile(const std::string& path, std::string& out);
// Syncs the folder `folder`, so that a rename or removal in it survives a power loss.
int SyncFolder(const std::string& folder);

// A descriptor that closes itself through the current Env.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : m_fd(fd) {}
    ~FileHandle() { Reset(); }
    FileHandle(FileHandle&& other) noexcept : m_fd(other.Release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    int Get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int Release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (m_fd >= 0) CurrentEnv().Close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

}  // namespace orv::engine
