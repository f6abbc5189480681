// The SQLite virtual-table module that reads a delimited text file as a table:
//
//   CREATE VIRTUAL TABLE "parts.csv" USING orv_text('/data/parts.csv', 'text;HDR=YES')
//
// The first argument is the file, the second the folder's Extended Properties; a
// schema.ini beside the file overrides them for the files it names. Columns and types are
// decided when the table is declared; every scan then reads the file from the top with a
// fixed-size buffer, so memory does not grow with the file. The table is read-only.
#pragma once

#include <sqlite3.h>

namespace orv::engine::text {

inline constexpr const char* kTextModuleName = "orv_text";

// Registers the module on `db`; an SQLite result code.
int RegisterTextModule(sqlite3* db);

}  // namespace orv::engine::text
