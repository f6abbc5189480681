// libzip on the engine's Env (engine/common/env.h): archives are read from and written to
// descriptors that the Env opened, through zip_source_function, so that every byte of a
// workbook passes the same seam as the engine's other files (and a test's faulty Env
// reaches the archive's writes). Reading through one descriptor also means that a
// workbook replaced while it is opened is read whole, old or new: a source opened by name
// would take its size from one file and its bytes from the other.
//
// Functions only; any thread. Each archive and source belongs to its caller, one thread
// at a time.
#pragma once

#include <zip.h>

#include <string>

namespace orv::engine::workbook {

// Opens the archive at `path` for reading; null with `code` set (a ZIP_ER_* code, and
// `systemError` the errno behind it when there is one).
zip_t* OpenArchiveForReading(const std::string& path, int& code, int& systemError);

// A new, empty archive written to `fd` (a new file of the caller's) when it is closed.
// Null with `message` set.
zip_t* OpenArchiveForWriting(int fd, std::string& message);

// The bytes of the file behind `fd`, from its start, as a source for `zip`; the source
// closes `fd` when it is freed. Null when the source cannot be made (`fd` is closed then too).
zip_source_t* FileSource(zip_t* zip, int fd);

}  // namespace orv::engine::workbook
