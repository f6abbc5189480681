// The SQLite virtual-table module that makes each table of a genuine Access file a table
// of the engine:
//
//   CREATE VIRTUAL TABLE main."Order Details" USING orv_access('Order Details')
//
// Columns carry the types the file declares (in the engine's DDL names, so the catalogs
// and the rowsets type them as for a database file). Every scan streams the table's rows
// through libmdb with a page buffer of its own, so memory does not grow with the table.
// Tables are read-only: a change is refused with a sentence that names the file and the
// conversion that makes a writable copy.
//
// The module's client data is the connection's AccessFile, which the connection owns from
// registration on and frees when it closes. One connection, one thread at a time. No C++
// exception leaves a callback: each turns one into SQLITE_NOMEM or SQLITE_ERROR.
#pragma once

#include <sqlite3.h>

#include <memory>

#include "engine/access/access_file.h"

namespace orv::engine::access {

inline constexpr const char* kAccessModuleName = "orv_access";

// Registers the module on `db`, which takes `file` over (also on failure); an SQLite code.
int RegisterAccessModule(sqlite3* db, std::unique_ptr<AccessFile> file);

}  // namespace orv::engine::access
