// The SQLite virtual-table module that serves a workbook's sheets and ranges as tables:
//
//   CREATE VIRTUAL TABLE "Sheet1$" USING orv_sheet('sheet', 'Sheet1')
//   CREATE VIRTUAL TABLE "Totals" USING orv_sheet('range', 'Sheet1', 'B2:D20')
//   CREATE VIRTUAL TABLE "Orders$" USING orv_sheet('create', 'Orders', '"id" INTEGER', '"name" TEXT')
//
// The first argument says what the table is: a whole sheet (its used range), a rectangle
// of a sheet, or a new sheet that the statement creates ('create', then the column
// definitions). Columns are named by the header row (HDR) and typed from every value
// below it; a column of mixed values is text.
//
// One Book per SQLite connection holds the workbook as last read and the changes of the
// transaction: writes change the tables' rows at once and the file at commit (the
// module's xSync, or the connection's commit hook for a DROP TABLE), through a new file
// renamed over the old one. The Book belongs to the connection (its module's client
// data) and is used on the connection's thread only; the WorkbookSource that it reads
// through is shared by every connection of the store and locks itself.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <mutex>
#include <string>

#include "engine/error.h"
#include "engine/workbook/workbook.h"

namespace orv::engine::workbook {

inline constexpr const char* kSheetModuleName = "orv_sheet";

// The workbook file as every connection of a store sees it: read when first asked for and
// again whenever the file changed on disk. A path without a file reads as a workbook
// without sheets (a CREATE TABLE makes the file).
class WorkbookSource {
public:
    WorkbookSource(std::string path, std::u16string name) : m_path(std::move(path)), m_name(std::move(name)) {}

    // The workbook as the file holds it now.
    Status Current(std::shared_ptr<const Workbook>& out);
    // Whether the file on disk is no longer the one `workbook` was read from (another
    // program, or another connection, wrote it since).
    bool ChangedSince(const std::shared_ptr<const Workbook>& workbook);
    const std::string& Path() const { return m_path; }
    const std::u16string& Name() const { return m_name; }

private:
    struct Signature {
        bool exists = false;
        long long device = 0, inode = 0, size = 0, mtimeNs = 0;
        bool operator==(const Signature&) const = default;
    };
    static Signature Stat(const std::string& path);

    const std::string m_path;
    const std::u16string m_name;
    std::mutex m_mutex;
    std::shared_ptr<const Workbook> m_workbook;  // guarded by m_mutex
    Signature m_signature;  // of the file m_workbook was read from
};

struct BookOptions {
    bool header = true;  // HDR
    std::u16string readOnlyWhy;  // empty when writes are allowed; else why not, for the error
    int lockTimeoutMs = 1200;  // how long a write waits for another writer of the workbook
};

// Registers the module on `db` with a new Book on `source`; the connection owns the Book.
int RegisterSheetModule(sqlite3* db, std::shared_ptr<WorkbookSource> source, const BookOptions& options);

}  // namespace orv::engine::workbook
