#include "engine/store/files.h"

#include <dirent.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "platform/format.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

constexpr const char* kTemporaryPrefix = ".orv-new-";
constexpr const char* kJournalPrefix = ".orv-journal-";

Status Failure(const std::u16string& path, const char16_t* what, const char16_t* reason, int err) {
    return Status::Error(E_FAIL, platform::Format(u"Cannot create the %s '%s': %s.", what, path.c_str(), reason),
                         u"HY000", err);
}

std::u16string ErrnoText(int err) { return platform::Utf8ToUtf16(std::strerror(err)); }

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// A new file of a unique hidden name in `folder`, locked so that recovery leaves it alone
// while its writer lives. Recovery may remove a file in the moment between its creation
// and its lock; the name is checked to still be the file once it is locked.
int CreateLockedTemporary(const std::string& folder, std::string& path, FileHandle& file) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    Env& env = CurrentEnv();
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%012llx", static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
        path = folder + "/" + kTemporaryPrefix + suffix;
        int fd = -1;
        int err = env.Open(path, O_RDWR | O_CREAT | O_EXCL, 0600, fd);
        if (err == EEXIST) continue;
        if (err != 0) return err;
        file.Reset(fd);
        struct stat mine, named;
        if ((err = env.Lock(fd, FileLock::Write, Env::LockMode::Exclusive)) != 0 || (err = env.Stat(fd, mine)) != 0) {
            file.Reset();
            env.Remove(path);
            return err;
        }
        if (env.StatPath(path, named) == 0 && SameFile(mine, named)) return 0;
        file.Reset();  // taken away by a recovery: try another name
    }
    return EEXIST;
}

// The file a chain of symbolic links ends at (the path itself when it is no link), so that
// a write replaces the link's target and keeps the link.
std::string ResolveLinks(const std::string& path) {
    std::string current = path;
    for (int depth = 0; depth < 40; ++depth) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink(current.c_str(), target, sizeof target - 1);
        if (n < 0) return current;
        std::string next(target, std::size_t(n));
        current = next.front() == '/' ? next : platform::FolderOf(current) + "/" + next;
    }
    return current;
}

std::string JournalPathOf(const std::string& path) {
    return platform::FolderOf(path) + "/" + kJournalPrefix + platform::FileNameOf(path);
}

// Undoes the append that the journal at `journal` describes, when no writer holds the file.
void UndoAppend(const std::string& journal, const std::string& dataPath) {
    Env& env = CurrentEnv();
    int fd = -1;
    if (int err = env.Open(dataPath, O_RDWR, 0, fd); err != 0) {
        if (err == ENOENT) env.Remove(journal);  // the file went away since: nothing to undo
        return;
    }
    FileHandle data(fd);
    if (env.Lock(fd, FileLock::Publish, Env::LockMode::Exclusive) != 0) return;  // a live writer
    std::string text;
    if (ReadWholeFile(journal, text) != 0) return;  // finished meanwhile
    unsigned long long device = 0, inode = 0;
    long long oldSize = -1;
    struct stat info;
    if (std::sscanf(text.c_str(), "orv-append %llu %llu %lld", &device, &inode, &oldSize) == 3 &&
        env.Stat(fd, info) == 0 && info.st_dev == dev_t(device) && info.st_ino == ino_t(inode) && oldSize >= 0 &&
        info.st_size > oldSize) {
        if (env.Truncate(fd, off_t(oldSize)) != 0 || env.Sync(fd) != 0) return;
    }
    // A torn journal was written before the append began: there is nothing to undo.
    env.Remove(journal);
    SyncFolder(platform::FolderOf(journal));
}

// Removes a temporary file that no live writer holds.
void RemoveAbandoned(const std::string& path) {
    Env& env = CurrentEnv();
    int fd = -1;
    if (env.Open(path, O_RDWR | O_NOFOLLOW, 0, fd) != 0) return;
    FileHandle file(fd);
    struct stat mine, named;
    if (env.Lock(fd, FileLock::Write, Env::LockMode::Exclusive) != 0 || env.Stat(fd, mine) != 0 ||
        env.StatPath(path, named) != 0 || !SameFile(mine, named))
        return;
    env.Remove(path);
}

}  // namespace

Status CheckNewFilePath(const std::u16string& path, const char16_t* what) {
    const std::string narrow = platform::Utf16ToUtf8(path);
    if (narrow.empty()) return Failure(path, what, u"no path was given", EINVAL);
    struct stat info;
    if (::lstat(narrow.c_str(), &info) == 0)
        return Status::Error(DB_E_DUPLICATEDATASOURCE,
                             platform::Format(u"Cannot create the %s '%s': a file of that name exists, and it is "
                                              u"never overwritten.",
                                              what, path.c_str()),
                             u"HY000", EEXIST);
    const std::string folder = platform::FolderOf(narrow);
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return Failure(
            path, what,
            platform::Format(u"the folder '%s' does not exist", platform::Utf8ToUtf16(folder).c_str()).c_str(), ENOENT);
    if (::access(folder.c_str(), W_OK) != 0)
        return Failure(
            path, what,
            platform::Format(u"the folder '%s' cannot be written", platform::Utf8ToUtf16(folder).c_str()).c_str(),
            errno);
    return Status::Success();
}

Status CheckWritableFile(const std::string& path, const char16_t* what) {
    struct stat info;
    int err = CurrentEnv().StatPath(path, info);
    std::u16string reason;
    if (err == 0 && (info.st_mode & 0222) == 0) reason = u"it is write-protected (no one has permission to write it)";
    else if (err == 0 && ::access(path.c_str(), W_OK) != 0) err = errno, reason = u"you may not write it";
    else if (err != 0) reason = ErrnoText(err);
    if (reason.empty()) return Status::Success();
    return Status::Error(DB_SEC_E_PERMISSIONDENIED,
                         platform::Format(u"The %s '%s' cannot be changed or deleted: %s.", what,
                                          platform::Utf8ToUtf16(path).c_str(), reason.c_str()),
                         u"42000", err ? err : EACCES);
}

Status MakeTemporaryBeside(const std::string& path, std::string& temporary, FileHandle& held) {
    if (int err = CreateLockedTemporary(platform::FolderOf(path), temporary, held); err != 0)
        return Failure(platform::Utf8ToUtf16(path), u"file",
                       (u"no temporary file could be made beside it: " + ErrnoText(err)).c_str(), err);
    return Status::Success();
}

Status PublishFile(const std::string& temporary, const std::u16string& path, const char16_t* what) {
    Env& env = CurrentEnv();
    const std::string narrow = platform::Utf16ToUtf8(path);
    const std::string folder = platform::FolderOf(narrow);  // made before the file is published: nothing may fail after
    Status status;
    int fd = -1;
    int err = env.Open(temporary, O_RDONLY, 0, fd);
    if (err == 0) {
        err = env.Sync(fd);
        env.Close(fd);
    }
    if (err != 0) {
        status = Failure(path, what, (u"the new file could not be written to disk: " + ErrnoText(err)).c_str(), err);
    } else if ((err = env.RenameNoReplace(temporary, narrow)) != 0) {
        status = err == EEXIST ? CheckNewFilePath(path, what) : Failure(path, what, ErrnoText(err).c_str(), err);
        if (status.Ok()) status = Failure(path, what, ErrnoText(err).c_str(), err);
    }
    if (!status.Ok()) env.Remove(temporary);
    else SyncFolder(folder);
    return status;
}

// ---- NewVersion ------------------------------------------------------------------------------

NewVersion::~NewVersion() { Discard(); }

void NewVersion::Discard() {
    m_file.Reset();
    if (!m_temporary.empty()) CurrentEnv().Remove(m_temporary);
    m_temporary.clear();
}

Status NewVersion::Failure(const std::u16string& reason, int err) {
    Discard();
    return Status::Error(E_FAIL,
                         platform::Format(u"Cannot write the %s '%s': %s.", m_what, m_name.c_str(), reason.c_str()),
                         u"HY000", err);
}

Status NewVersion::Begin(const std::string& path, const std::u16string& name, const char16_t* what) {
    Discard();
    m_name = name;
    m_what = what;
    m_target = ResolveLinks(path);
    if (int err = CreateLockedTemporary(platform::FolderOf(m_target), m_temporary, m_file); err != 0) {
        m_temporary.clear();
        return Failure(u"no temporary file could be made beside it: " + ErrnoText(err), err);
    }
    return Status::Success();
}

Status NewVersion::Replace() {
    Env& env = CurrentEnv();
    struct stat old;
    int err = env.StatPath(m_target, old);
    if (err == 0) err = env.CopyOwnership(m_file.Get(), old);
    if (err == 0) err = env.Sync(m_file.Get());
    if (err != 0) return Failure(u"the new contents could not be written to disk: " + ErrnoText(err), err);
    // Nothing may fail once the new file is in place: the folder's name is made before.
    const std::string folder = platform::FolderOf(m_target);
    if ((err = env.Rename(m_temporary, m_target)) != 0)
        return Failure(u"the new contents could not take the file's place: " + ErrnoText(err), err);
    m_temporary.clear();
    m_file.Reset();
    SyncFolder(folder);
    return Status::Success();
}

Status NewVersion::Publish() {
    if (int err = CurrentEnv().Sync(m_file.Get()); err != 0) {
        const std::u16string reason = u"the new file could not be written to disk: " + ErrnoText(err);
        Discard();
        return orv::engine::Failure(m_name, m_what, reason.c_str(), err);
    }
    m_file.Reset();
    const std::string temporary = m_temporary;
    m_temporary.clear();
    return PublishFile(temporary, platform::Utf8ToUtf16(m_target), m_what);
}

Status WriteFileWhole(const std::string& path, std::string_view bytes, bool replace, const char16_t* what) {
    NewVersion version;
    const std::u16string name = platform::Utf8ToUtf16(path);
    Status status = version.Begin(path, name, what);
    if (!status.Ok()) return status;
    if (int err = WriteAll(version.Fd(), bytes, 0); err != 0)
        return Status::Error(
            E_FAIL, platform::Format(u"Cannot write the %s '%s': %s.", what, name.c_str(), ErrnoText(err).c_str()),
            u"HY000", err);
    return replace ? version.Replace() : version.Publish();
}

void RemoveTemporaryDatabase(const std::string& temporary) {
    CurrentEnv().Remove(temporary);
    CurrentEnv().Remove(temporary + "-journal");
}

// ---- FileLock -------------------------------------------------------------------------------

namespace {

// Tries the lock on `fd` until `deadline`, pausing longer each time (as SQLite's busy
// handler does); 0, EAGAIN when the deadline passed, or another errno.
int WaitForLock(int fd, off_t slot, Env::LockMode mode, std::chrono::steady_clock::time_point deadline) {
    Env& env = CurrentEnv();
    std::chrono::microseconds pause(200);
    for (;;) {
        const int err = env.Lock(fd, slot, mode);
        if (err != EAGAIN && err != EWOULDBLOCK) return err;
        if (std::chrono::steady_clock::now() >= deadline) return EAGAIN;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
}

std::chrono::steady_clock::time_point DeadlineIn(int timeoutMs) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

Status LockFailure(int err, const std::u16string& name, const char16_t* what) {
    if (err == EAGAIN)
        return Status::Error(E_FAIL,
                             platform::Format(u"The %s '%s' is locked by another program or connection that is "
                                              u"writing it; try again when it has finished.",
                                              what, name.c_str()),
                             u"HYT00", SQLITE_BUSY);
    return Status::Error(E_FAIL,
                         platform::Format(u"Cannot lock the %s '%s': %s.", what, name.c_str(), ErrnoText(err).c_str()),
                         u"HY000", err);
}

}  // namespace

Status FileLock::Acquire(const std::string& path, Slot slot, Env::LockMode mode, int timeoutMs,
                         const std::u16string& name, const char16_t* what) {
    Release();
    Env& env = CurrentEnv();
    const auto deadline = DeadlineIn(timeoutMs);
    for (;;) {
        int fd = -1;
        int err = env.Open(path, mode == Env::LockMode::Exclusive ? O_RDWR : O_RDONLY, 0, fd);
        if (err == 0) {
            m_file.Reset(fd);
            err = WaitForLock(fd, slot, mode, deadline);
        }
        if (err != 0) {
            m_file.Reset();
            return LockFailure(err, name, what);
        }
        // Locked; but a writer that held it may have put a new version in the file's place
        // meanwhile, and the lock must be on the version the name stands for.
        struct stat mine, named;
        if (env.Stat(fd, mine) == 0 && env.StatPath(path, named) == 0 && SameFile(mine, named)) {
            m_slot = slot;
            return Status::Success();
        }
        m_file.Reset();
    }
}

Status SizeBetweenAppends(int fd, int timeoutMs, const std::u16string& name, const char16_t* what, off_t& size) {
    Env& env = CurrentEnv();
    if (int err = WaitForLock(fd, FileLock::Publish, Env::LockMode::Shared, DeadlineIn(timeoutMs)); err != 0)
        return LockFailure(err, name, what);
    struct stat info;
    const int err = env.Stat(fd, info);
    env.Lock(fd, FileLock::Publish, Env::LockMode::Unlock);
    if (err != 0) return LockFailure(err, name, what);
    size = info.st_size;
    return Status::Success();
}

void FileLock::Release() {
    if (m_file) CurrentEnv().Lock(m_file.Get(), m_slot, Env::LockMode::Unlock);
    m_file.Reset();
}

// ---- Recovery -------------------------------------------------------------------------------

bool ReadFolder(const std::string& folder, std::vector<std::string>& names, int& error) {
    // Closed however the reading ends, an exception (out of memory) included.
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) {
        error = errno;
        return false;
    }
    while (dirent* entry = ::readdir(dir.get())) names.emplace_back(entry->d_name);
    return true;
}

void RecoverFolder(const std::string& folder) {
    std::vector<std::string> names, temporaries, journals;
    int error = 0;
    if (!ReadFolder(folder, names, error)) return;
    for (const std::string& name : names) {
        if (name.starts_with(kTemporaryPrefix)) temporaries.push_back(name);
        if (name.starts_with(kJournalPrefix)) journals.push_back(name);
    }
    for (const std::string& name : journals)
        UndoAppend(folder + "/" + name, folder + "/" + name.substr(std::strlen(kJournalPrefix)));
    for (const std::string& name : temporaries) RemoveAbandoned(folder + "/" + name);
}

void RecoverAppend(const std::string& path) {
    struct stat info;
    const std::string journal = JournalPathOf(path);
    if (CurrentEnv().StatPath(journal, info) == 0) UndoAppend(journal, path);
}

Status AppendJournal::Begin(const std::string& path, int fd, off_t oldSize, const std::u16string& name) {
    Env& env = CurrentEnv();
    struct stat info;
    int err = env.Stat(fd, info);
    const std::string journal = JournalPathOf(path);
    char text[96];
    std::snprintf(text, sizeof text, "orv-append %llu %llu %lld\n", static_cast<unsigned long long>(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino), static_cast<long long>(oldSize));
    int jfd = -1;
    if (err == 0) err = env.Open(journal, O_WRONLY | O_CREAT | O_TRUNC, 0600, jfd);
    if (err == 0) {
        FileHandle file(jfd);
        m_path = journal;
        err = WriteAll(jfd, text, 0);
        if (err == 0) err = env.Sync(jfd);
        if (err == 0) err = SyncFolder(platform::FolderOf(journal));
    }
    if (err == 0) return Status::Success();
    End();
    return Status::Error(E_FAIL,
                         platform::Format(u"Cannot write the text file '%s': its journal '%s' could not be made (%s).",
                                          name.c_str(), platform::Utf8ToUtf16(journal).c_str(), ErrnoText(err).c_str()),
                         u"HY000", err);
}

int AppendJournal::End() {
    if (m_path.empty()) return 0;
    Env& env = CurrentEnv();
    int err = env.Remove(m_path);
    if (err != 0) {
        // A journal left whole would undo the append at the next open: an empty one says
        // there is nothing to undo.
        int fd = -1;
        err = env.Open(m_path, O_WRONLY, 0, fd);
        if (err == 0) {
            FileHandle journal(fd);
            err = env.Truncate(fd, 0);
            if (err == 0) err = env.Sync(fd);
        }
    }
    // Synced: a journal that came back after a power loss would undo a finished append.
    if (err == 0) SyncFolder(platform::FolderOf(m_path));
    m_path.clear();
    return err;
}

}  // namespace orv::engine
