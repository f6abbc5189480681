#include "engine/store/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/format.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

Status Failure(const std::u16string& path, const char16_t* what, const char16_t* reason, int err) {
    return Status::Error(E_FAIL, platform::Format(u"Cannot create the %s '%s': %s.", what, path.c_str(), reason),
                         u"HY000", err);
}

std::u16string ErrnoText(int err) { return platform::Utf8ToUtf16(std::strerror(err)); }

bool SyncPath(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool Exists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

// Gives `temporary` the name `path` unless a file of that name exists; 0 or an errno. A
// rename that refuses to replace moves the name in one step, so that no second name of the
// new file is left behind if the step after it fails; file systems without it get a link,
// whose old name the caller removes.
int MoveToNewName(const std::string& temporary, const std::string& path) {
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return 0;
    int err = errno;
    if (err != EINVAL && err != ENOSYS && err != ENOTSUP) return err;
    return ::link(temporary.c_str(), path.c_str()) == 0 ? 0 : errno;
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
    const std::string folder = FolderOf(narrow);
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return Failure(path, what,
                       platform::Format(u"the folder '%s' does not exist", platform::Utf8ToUtf16(folder).c_str()).c_str(),
                       ENOENT);
    if (::access(folder.c_str(), W_OK) != 0)
        return Failure(path, what,
                       platform::Format(u"the folder '%s' cannot be written", platform::Utf8ToUtf16(folder).c_str()).c_str(),
                       errno);
    return Status::Success();
}

Status MakeTemporaryBeside(const std::string& path, std::string& temporary) {
    temporary = FolderOf(path) + "/.orv-new-XXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        int err = errno;
        return Failure(platform::Utf8ToUtf16(path), u"file",
                       (u"no temporary file could be made beside it: " + ErrnoText(err)).c_str(), err);
    }
    ::close(fd);
    return Status::Success();
}

Status PublishFile(const std::string& temporary, const std::u16string& path, const char16_t* what) {
    const std::string narrow = platform::Utf16ToUtf8(path);
    const std::string folder = FolderOf(narrow);  // made before the file is published: nothing may fail after
    Status status;
    if (!SyncPath(temporary, O_RDONLY)) {
        int err = errno;
        status = Failure(path, what, (u"the new file could not be written to disk: " + ErrnoText(err)).c_str(), err);
    } else if (int err = MoveToNewName(temporary, narrow); err != 0) {
        status = err == EEXIST ? CheckNewFilePath(path, what)
                               : Failure(path, what, ErrnoText(err).c_str(), err);
        if (status.Ok()) status = Failure(path, what, ErrnoText(err).c_str(), err);
    }
    if (!status.Ok() || Exists(temporary)) ::unlink(temporary.c_str());
    if (status.Ok()) SyncPath(folder, O_RDONLY | O_DIRECTORY);
    return status;
}

Status ReplaceFile(const std::string& temporary, const std::u16string& path, const char16_t* what) {
    const std::string narrow = platform::Utf16ToUtf8(path);
    auto failure = [&](const std::u16string& reason, int err) {
        ::unlink(temporary.c_str());
        return Status::Error(E_FAIL, platform::Format(u"Cannot write the %s '%s': %s.", what, path.c_str(), reason.c_str()),
                             u"HY000", err);
    };
    // The new file keeps the old one's permissions (a temporary file is made private).
    struct stat old;
    if (::stat(narrow.c_str(), &old) == 0) ::chmod(temporary.c_str(), old.st_mode & 07777);
    if (!SyncPath(temporary, O_RDONLY)) {
        int err = errno;
        return failure(u"the new contents could not be written to disk: " + ErrnoText(err), err);
    }
    // Nothing may fail once the new file is in place: the folder's name is made before.
    const std::string folder = FolderOf(narrow);
    if (::rename(temporary.c_str(), narrow.c_str()) != 0) {
        int err = errno;
        return failure(u"the new contents could not take the file's place: " + ErrnoText(err), err);
    }
    SyncPath(folder, O_RDONLY | O_DIRECTORY);
    return Status::Success();
}

void RemoveTemporaryDatabase(const std::string& temporary) {
    ::unlink(temporary.c_str());
    ::unlink((temporary + "-journal").c_str());
}

}  // namespace orv::engine
