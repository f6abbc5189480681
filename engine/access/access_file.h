// Genuine Access database files (.mdb of Jet 3 and Jet 4, .accdb of ACE), read through
// libmdb. An AccessFile is one open handle on such a file with the description of every
// table: its columns as the file declares them (already in the engine's DDL type names),
// its indexes and its primary key. A TableScan walks the rows of one table with a handle of
// its own, so that several scans of one file (a join, a self-join) never share a page
// buffer.
//
// Threads: libmdb keeps its per-file state in the handle (page buffers, the catalog, the
// character conversion) and has one process-wide setting, the MDBOPTS options, which it
// reads on first use; OpenAccessFile reads it once under a call_once before any other
// libmdb call. An AccessFile and the scans made from it share the handle's file
// reference count, which libmdb does not guard: they belong to one SQLite connection and
// are used by its thread only. Different AccessFiles may be used on different threads.
//
// No C++ exception leaves these functions into libmdb; libmdb calls nothing of ours.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "engine/error.h"

struct S_MdbTableDef;

namespace orv::engine::access {

// What the first bytes of a file say it is.
enum class FileFormat { None, Jet3, Jet4, Ace };
FileFormat DetectFormat(const unsigned char* head, std::size_t n);
// Whether the file at `path` begins as a Jet or ACE database does.
bool IsAccessDatabase(const std::u16string& path);
// "Jet 3 (Access 97 and earlier)", ...
const char16_t* FormatName(FileFormat format);

// The first page of a file keeps part of itself obfuscated with RC4 under a fixed key; the
// same call hides and reveals it. `page` holds at least the first 256 bytes of the file.
void ToggleHeaderMask(unsigned char* page, std::size_t n, FileFormat format);
// Whether the revealed first page holds a database password.
bool HasDatabasePassword(const unsigned char* revealedPage, std::size_t n, FileFormat format);

struct Column {
    std::string name;
    int mdbType = 0;  // libmdb's type code
    std::string declared;  // the engine's DDL type: "LONG", "TEXT(40)", "CURRENCY", ...
    bool nullable = true;
    bool autoIncrement = false;
    int index = 0;  // the column's place in libmdb's column list
};

struct IndexColumn {
    std::string name;
    bool descending = false;
};

struct Index {
    std::string name;
    bool primaryKey = false;
    bool unique = false;
    std::vector<IndexColumn> columns;
};

struct Table {
    std::string name;
    bool system = false;
    std::vector<Column> columns;  // the columns the engine can read, in file order
    std::vector<std::string> leftOut;  // columns of types the engine cannot read
    std::vector<Index> indexes;  // primary key and ordinary indexes (not relationships)
    std::uint64_t rowsEstimate = 0;
};

class AccessFile {
public:
    ~AccessFile();
    AccessFile(const AccessFile&) = delete;
    AccessFile& operator=(const AccessFile&) = delete;

    const std::u16string& Name() const { return m_name; }
    FileFormat Format() const { return m_format; }
    const std::vector<Table>& Tables() const { return m_tables; }
    const Table* Find(std::string_view name) const;

private:
    friend Status OpenAccessFile(const std::u16string& name, std::unique_ptr<AccessFile>& out);
    friend class TableScan;
    AccessFile() = default;

    std::u16string m_name;
    FileFormat m_format = FileFormat::None;
    void* m_mdb = nullptr;  // MdbHandle*: libmdb's handle type has no name to declare
    std::vector<Table> m_tables;
};

// Opens `name` (a path) and reads the description of every table. A file that is no
// Jet/ACE database, is protected by a password, or that libmdb cannot read is refused with
// a sentence that names it.
Status OpenAccessFile(const std::u16string& name, std::unique_ptr<AccessFile>& out);

// One pass over the rows of one table, in the file's order.
class TableScan {
public:
    // `table` must be a table of `file`, which must outlive the scan.
    static Status Open(AccessFile& file, const Table& table, std::unique_ptr<TableScan>& out);
    ~TableScan();
    TableScan(const TableScan&) = delete;
    TableScan& operator=(const TableScan&) = delete;

    // Back before the first row.
    void Rewind();
    // Steps to the next row; false after the last.
    bool Next();
    // Hands column `i` (of Table::columns) of the current row to SQLite as its result.
    void Result(std::size_t i, sqlite3_context* context);

private:
    TableScan() = default;
    void ResultLong(std::size_t i, int start, int length, sqlite3_context* context);

    const Table* m_table = nullptr;
    void* m_mdb = nullptr;  // MdbHandle*, a clone of the file's
    S_MdbTableDef* m_def = nullptr;
    std::vector<void*> m_columns;  // MdbColumn* for each readable column
};

// The sentence that refuses any change to the genuine Access file `name`.
std::u16string ReadOnlySentence(const std::u16string& name);

}  // namespace orv::engine::access
