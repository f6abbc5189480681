// The dialect rewrite on a connection: the text rewrite, plus the bookkeeping that
// auto-increment columns with a seed and a step need in the database itself.
//
// One connection at a time, on the thread that uses it.
#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/rewrite.h"

namespace orv::engine {

// What a connection knew of its schema after its last command, so that a run of plain
// writes inside one transaction checks the schema once rather than once per command.
struct SchemaCheck {
    unsigned dataVersion = 0;  // the file's data version when the knowledge was current
    bool settled = false;  // no schema change can have happened while the version stays
};

// Rewrites `utf8` (see RewriteSql) after bringing the auto-increment bookkeeping of `db` up
// to date: every table created with COUNTER, AUTOINCREMENT or IDENTITY gets its row in
// orv_identity(table_name, column_name, seed, step), its first value and, for a step other
// than 1, the trigger that keeps generated values on seed + k * step. The bookkeeping joins
// the connection's transaction, so a rolled-back CREATE TABLE leaves none behind. With
// `check`, the connection's own record, the schema is not looked at again while it cannot
// have changed.
RewriteResult RewriteCommand(sqlite3* db, std::string_view utf8, SchemaCheck* check = nullptr);

// Whether `db` has a table (of any kind, in any schema) called `name`, case ignored.
bool HasTable(sqlite3* db, std::string_view name);

// The auto-increment columns that the definition of `table` declares, with their seed and
// step: what the bookkeeping records once it has caught up, read without writing.
std::vector<IdentityColumn> DeclaredIdentities(sqlite3* db, const std::string& table);

// Brings the bookkeeping up to date; false (with nothing changed) when the database is
// read-only or the bookkeeping fails.
bool SyncIdentities(sqlite3* db);

}  // namespace orv::engine
