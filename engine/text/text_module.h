// The SQLite virtual-table module that makes a delimited text file a table:
//
//   CREATE VIRTUAL TABLE "parts.csv" USING orv_text('/data/parts.csv', 'text;HDR=YES')
//   CREATE VIRTUAL TABLE "new.csv" USING orv_text('/data/new.csv', 'text;HDR=YES', 'create',
//                                                 '"id" INTEGER, "name" VARCHAR(20)')
//
// The first argument is the file, the second the folder's Extended Properties; a
// schema.ini beside the file overrides them for the files it names. With the 'create'
// marker and a column list (as in CREATE TABLE) the file is made, and must not exist;
// without it nothing is created. Columns and types are decided when the table is declared;
// every scan then reads the file from the top with a fixed-size buffer, so memory does not
// grow with the file.
//
// Writes are kept in the table object during the SQLite transaction and reach the file when
// it commits: records only appended are written at the end of the file (cut back on a
// failure, undone after a crash through a journal); any update or delete writes the whole
// file anew beside it and renames it over the old one. DROP TABLE deletes the file. Writers
// of one file take turns through its locks (engine/store/files.h): a write transaction
// holds the file from its first change to its end. A table object belongs to one
// connection, used by one thread at a time.
#pragma once

#include <sqlite3.h>

#include <string>

namespace orv::engine::text {

inline constexpr const char* kTextModuleName = "orv_text";

// What every table of a connection's module shares.
struct TextModuleOptions {
    // The folder whose files the tables are: a table of any other file, or of a symbolic
    // link out of the folder, is refused.
    std::string folder;
    // Every write, CREATE TABLE and DROP TABLE fails with a message naming the file.
    bool readOnly = false;
    // How long a write waits for another writer of its file (another process or connection).
    int lockTimeoutMs = 1200;
};

// Registers the module on `db`; an SQLite result code.
int RegisterTextModule(sqlite3* db, const TextModuleOptions& options);

}  // namespace orv::engine::text
