// Whole-file operations of the engine: making a new file appear atomically beside where
// it belongs, and the checks that say why a path cannot take one. A file is written under
// a temporary name in the destination's folder, synced, then renamed to its final name by a
// rename that fails rather than replace a file that exists (a link where the file system
// has no such rename); so a new file is either complete or absent, and nothing that was
// there is ever overwritten.
//
// A changed file (a text table, a workbook) is written the same way under a temporary name
// and then renamed over the old one, so that readers see the old file or the new one.
//
// Functions only; any thread.
#pragma once

#include <string>

#include "engine/error.h"

namespace orv::engine {

// Why `path` cannot take a new file: it exists, its folder is missing or not writable.
// Success when it can. `what` names the file in messages ("database file").
Status CheckNewFilePath(const std::u16string& path, const char16_t* what);

// A new, empty, unique temporary path in the folder of `path` (the file is created empty).
Status MakeTemporaryBeside(const std::string& path, std::string& temporary);

// Removes a temporary database that a failed write leaves, with the rollback journal SQLite
// may have left beside it: nothing of a failed creation may stay in the user's folder.
void RemoveTemporaryDatabase(const std::string& temporary);

// Syncs `temporary`, moves it to the name `path` (never replacing an existing file) and
// syncs the folder. On failure the temporary file is removed.
Status PublishFile(const std::string& temporary, const std::u16string& path, const char16_t* what);

// Syncs `temporary` and renames it over `path` (which may exist), then syncs the folder;
// on failure the temporary file is removed and `path` is as it was. `what` names the
// file in messages ("text file", "workbook").
Status ReplaceFile(const std::string& temporary, const std::u16string& path, const char16_t* what);

}  // namespace orv::engine
