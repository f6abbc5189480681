// A store is what a data source opens: a database file, a folder of delimited text files
// or a workbook. Every store is reached through SQLite: a session asks the store for a
// connection of its own, on which the engine runs all SQL.
//
// A store belongs to its data source object and lives until the data source is
// uninitialised or released; the sessions keep the data source alive. Connect may be
// called from any thread; each connection it hands out is used by one thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sqlite3.h>

#include "engine/error.h"

namespace orv::engine {

// What the initialisation string asked for, as the data source read it from its
// properties.
struct StoreOptions {
    std::u16string dataSource;  // a path
    std::u16string providerString;  // Extended Properties
    bool readOnly = false;  // Mode=Read
    int lockTimeoutMs = 1200;  // how long a statement waits for another program's lock
};

class Store {
public:
    virtual ~Store() = default;

    // A new SQLite connection on the store; the caller closes it with sqlite3_close. A
    // failure, an exception (out of memory) included, leaves *db null and nothing open.
    Status Connect(sqlite3** db) {
        *db = nullptr;
        try {
            Status status = OpenConnection(db);
            if (!status.Ok()) Close(db);
            return status;
        } catch (...) {
            Close(db);
            throw;
        }
    }
    virtual bool ReadOnly() const = 0;
    // The path that the store was opened from, as the host gave it.
    virtual const std::u16string& Name() const = 0;

    // Adapts a statement, already in SQLite's dialect, to the store before it is prepared on
    // `db` (a connection of this store): a store whose tables are files or sheets turns
    // CREATE TABLE into the creation of one, and declares tables that a statement names
    // but the connection does not know yet (cell ranges of a sheet). An error when the
    // statement cannot be done on this store; most stores leave every statement alone.
    virtual Status AdaptStatement(sqlite3* db, std::string& sql) {
        (void)db;
        (void)sql;
        return Status::Success();
    }

protected:
    // Opens the store's connection into *db, set as soon as SQLite made it, so that Connect
    // can close it whatever happens later.
    virtual Status OpenConnection(sqlite3** db) = 0;

private:
    static void Close(sqlite3** db) {
        if (*db) sqlite3_close(*db);
        *db = nullptr;
    }
};

// A CREATE TABLE statement's table and columns, as the stores that create files or sheets
// need them. Column types are as written ("INTEGER", "VARCHAR(20)"); table constraints
// are left out.
struct CreatedColumn {
    std::string name;
    std::string type;
};
struct CreatedTable {
    std::string name;
    std::vector<CreatedColumn> columns;
    bool ifNotExists = false;  // CREATE TABLE IF NOT EXISTS: an existing table is left alone
};
// The definition when `sql` is a CREATE TABLE statement with a column list; nullopt
// otherwise (CREATE TABLE ... AS SELECT included).
std::optional<CreatedTable> ParseCreateTable(std::string_view sql);
// The table's name when `sql` is a DROP TABLE statement; nullopt otherwise.
std::optional<std::string> ParseDropTable(std::string_view sql);

// The names of a statement that may be tables, quoted ([x], "x", `x`) or bare, unquoted
// and in the order they come; strings and comments are skipped.
std::vector<std::string> NamesIn(std::string_view sql);

// Column names from a header row (trimmed): a blank one becomes F<n>, n counting columns
// from 1, and a repeated one (in any case) gets "_2", "_3", ...
std::vector<std::string> UniqueColumnNames(const std::vector<std::string>& header);

// Runs `sql` (any number of statements) on `db`: the stores declare their tables this way.
// The error, in SQLite's words, when one fails.
Status ExecStatements(sqlite3* db, const std::string& sql);

// Opens the store that `options` describe, or says why it cannot be opened.
Status OpenStore(const StoreOptions& options, std::unique_ptr<Store>& store);

// Makes `candidate` the opened store after one connection to it succeeded, so that a
// locked, damaged or unreadable store fails when it is opened and not in its first session.
Status AdoptAfterFirstConnection(std::unique_ptr<Store> candidate, std::unique_ptr<Store>& store);

// Database files (SQLite 3).
Status OpenDatabaseFile(const StoreOptions& options, std::unique_ptr<Store>& store);

// Genuine Access database files (Jet 3, Jet 4, ACE), read-only; OpenDatabaseFile hands a
// file over here when its first bytes say it is one.
Status OpenAccessDatabase(const StoreOptions& options, std::unique_ptr<Store>& store);

// Folders of delimited text files (Extended Properties "text;..."): the data source is the
// folder or a file in it.
Status OpenTextFolder(const StoreOptions& options, std::unique_ptr<Store>& store);

// Workbooks (Extended Properties "Excel ..."): .xlsx read and written, .xls read. A path
// ending in .xlsx where no file is yet opens an empty workbook that CREATE TABLE makes.
Status OpenWorkbook(const StoreOptions& options, std::unique_ptr<Store>& store);

}  // namespace orv::engine

namespace orv::engine {

// Creates an empty database file at `path`; an existing file is never touched.
Status CreateDatabaseFile(const std::u16string& path);

// Writes a compacted copy of the database file `source` to `destination`, which must not
// exist; the source is only read. A genuine Access file is refused: it is converted, not
// compacted.
Status CompactDatabaseFile(const std::u16string& source, const std::u16string& destination);

// Progress of a long operation: rows done of the total (an estimate until the end); false
// stops the operation.
struct ProgressSink {
    virtual bool Progress(unsigned long long done, unsigned long long total) = 0;

protected:
    ~ProgressSink() = default;
};

// Converts the genuine Access database `source` into a new engine database file at
// `destination` (which must not exist): every user table with its column types, primary
// key, indexes and auto-increment column, and every row. The copy is compared with the
// source row by row before it takes its name, so it appears whole and checked, or not at
// all. `progress` may be null.
Status ConvertAccessDatabase(const std::u16string& source, const std::u16string& destination, ProgressSink* progress);

}  // namespace orv::engine
