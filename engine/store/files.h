// Whole-file operations of the engine, all through the Env (engine/common/env.h):
//
// - New files appear atomically: written under a temporary name in the destination's folder,
//   synced, then renamed to their final name by a rename that fails rather than replace a
//   file that exists; so a new file is either complete or absent.
// - Changed files (a text table, a workbook) are written the same way and renamed over the
//   old one (the target of a symbolic link, keeping its owner, group and permissions), so
//   that readers see the old file or the new one.
// - Writers of one file, in any process, take turns through advisory locks on the file
//   itself (FileLock), waiting as long as a database file's writer would.
// - An append is undone after a crash by a journal of the file's old length, beside it.
// - What a killed writer left (temporary files, journals) is removed or undone at the next
//   open of its folder or workbook (RecoverFolder).
//
// Hidden names used beside the user's files: ".orv-new-*" (a file being written) and
// ".orv-journal-<file>" (an append in progress). Functions and classes for one thread at a
// time each; any thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "engine/common/env.h"
#include "engine/error.h"

namespace orv::engine {

// Why `path` cannot take a new file: it exists, its folder is missing or not writable.
// Success when it can. `what` names the file in messages ("database file").
Status CheckNewFilePath(const std::u16string& path, const char16_t* what);

// Why the existing file at `path` may not be changed, replaced or deleted: this process
// may not write it, or it is write-protected (no write permission for anyone, as a
// read-only file on other systems, which even root leaves alone). Success when it may.
Status CheckWritableFile(const std::string& path, const char16_t* what);

// A new, empty, unique temporary file in the folder of `path`, for a writer outside the
// Env (SQLite): `held` keeps it locked until it is published, so that the recovery of a
// later open leaves it alone.
Status MakeTemporaryBeside(const std::string& path, std::string& temporary, FileHandle& held);

// Removes a temporary database that a failed write leaves, with the rollback journal SQLite
// may have left beside it: nothing of a failed creation may stay in the user's folder.
void RemoveTemporaryDatabase(const std::string& temporary);

// Syncs `temporary`, moves it to the name `path` (never replacing an existing file) and
// syncs the folder. On failure the temporary file is removed.
Status PublishFile(const std::string& temporary, const std::u16string& path, const char16_t* what);

// A new version of a file, written under a temporary name beside the file it replaces (the
// end of a chain of symbolic links) and put in its place whole. The temporary file is
// removed when the object dies unless it was put in place.
class NewVersion {
public:
    NewVersion() = default;
    ~NewVersion();
    NewVersion(const NewVersion&) = delete;
    NewVersion& operator=(const NewVersion&) = delete;

    // Makes the temporary file for `path` (`name` as the host gave it and `what` for
    // messages: "text file", "workbook").
    Status Begin(const std::string& path, const std::u16string& name, const char16_t* what);
    int Fd() const { return m_file.Get(); }

    // Replaces the existing file with the new version, which takes its owner, group and
    // permissions; synced before and after.
    Status Replace();
    // Publishes the new version as a file that does not exist yet.
    Status Publish();

private:
    Status Failure(const std::u16string& reason, int err);
    void Discard();

    std::string m_target;  // the file the new version replaces, links resolved
    std::string m_temporary;  // empty once published or discarded
    std::u16string m_name;
    const char16_t* m_what = u"file";
    FileHandle m_file;
};

// Writes `bytes` as a new file or over the old one at `path`, through a NewVersion.
Status WriteFileWhole(const std::string& path, std::string_view bytes, bool replace, const char16_t* what);

// An advisory lock on a file, held between Acquire and Release (or the object's end).
// Waiting follows the database files' rule: up to `timeoutMs`, then "locked by another
// program or connection". Two slots: writers hold Write for the whole of their
// transaction, so that they take turns; Publish is held only while the file changes in
// place (an append), and readers take it shared for a moment to see a whole file.
class FileLock {
public:
    enum Slot : off_t { Write = 0, Publish = 1 };

    FileLock() = default;
    ~FileLock() { Release(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Locks the current version of the file at `path` (should a writer replace it while
    // this one waits, the new version is locked instead). `name` and `what` word the error.
    Status Acquire(const std::string& path, Slot slot, Env::LockMode mode, int timeoutMs, const std::u16string& name,
                   const char16_t* what);
    void Release();
    bool Held() const { return static_cast<bool>(m_file); }
    // The descriptor the lock is held on (open for writing when the lock is exclusive).
    int Fd() const { return m_file.Get(); }

private:
    FileHandle m_file;
    Slot m_slot = Write;
};

// The size of the file behind `fd` at a moment when no append is under way (waiting for
// one to finish as a writer waits), so that a reader reads whole records only.
Status SizeBetweenAppends(int fd, int timeoutMs, const std::u16string& name, const char16_t* what, off_t& size);

// The names of the entries of `folder` ("." and ".." too), in the order the system gives
// them. False, with errno's value in `error`, when the folder cannot be read.
bool ReadFolder(const std::string& folder, std::vector<std::string>& names, int& error);

// Removes or undoes, in `folder`, what writers killed before they finished left behind:
// temporary files no live writer holds, and append journals (the file is cut back to the
// length it had before the append). Problems are skipped: recovery is tried again at the next open.
void RecoverFolder(const std::string& folder);
// The same for the journal of the one file at `path` (cheap when there is none).
void RecoverAppend(const std::string& path);

// An append to the file behind `fd` (at `path`, `oldSize` bytes long) that can be undone
// after a crash: Begin writes the journal, End removes it (or empties it, where it cannot
// be removed) once the appended bytes are synced or cut back; an errno when it could do
// neither, and the append must then be cut back. A journal not ended stays for recovery
// (the file could not be cut back). The file's Publish lock must be held throughout.
class AppendJournal {
public:
    Status Begin(const std::string& path, int fd, off_t oldSize, const std::u16string& name);
    int End();

private:
    std::string m_path;
};

}  // namespace orv::engine
