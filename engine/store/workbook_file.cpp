// Workbooks: an .xlsx or .xls file whose sheets, workbook-level names and cell ranges are
// tables. Each session gets a private in-memory SQLite database in which every sheet is
// declared as a table of the sheet module ("Sheet1$") and every defined name as one of
// its ranges; a statement that names a cell range ("Sheet1$A1:C10") or a sheet without
// its "$" has that table declared before it runs.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/sql/ddl.h"
#include "engine/sql/quote.h"
#include "engine/store/files.h"
#include "engine/store/store.h"
#include "engine/workbook/sheet_module.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

Status WorkbookError(const std::u16string& name, const std::u16string& what, int native = 0) {
    return Status::Error(E_FAIL, platform::Format(u"Cannot open the workbook '%s': %s.", name.c_str(), what.c_str()),
                         u"08001", native);
}

// The Extended Properties of a workbook: "Excel 12.0 Xml;HDR=YES;IMEX=1;ReadOnly=True".
struct WorkbookProperties {
    bool header = true;
    bool readOnly = false;
};

WorkbookProperties ParseProperties(const std::u16string& text) {
    WorkbookProperties out;
    std::string props = platform::Utf16ToUtf8(text);
    std::size_t start = 0;
    while (start <= props.size()) {
        std::size_t end = props.find(';', start);
        if (end == std::string::npos) end = props.size();
        std::string item = props.substr(start, end - start);
        std::size_t eq = item.find('=');
        if (eq != std::string::npos) {
            auto trim = [](std::string s) {
                while (!s.empty() && s.front() == ' ') s.erase(0, 1);
                while (!s.empty() && s.back() == ' ') s.pop_back();
                return s;
            };
            std::string key = trim(item.substr(0, eq)), value = trim(item.substr(eq + 1));
            bool yes = platform::EqualsNoCase(value, "yes") || platform::EqualsNoCase(value, "true") || value == "1";
            if (platform::EqualsNoCase(key, "HDR")) out.header = yes;
            if (platform::EqualsNoCase(key, "ReadOnly")) out.readOnly = yes;
        }
        start = end + 1;
    }
    return out;
}

class WorkbookFile final : public Store {
public:
    WorkbookFile(const StoreOptions& options, const WorkbookProperties& properties, std::u16string readOnlyWhy)
        : m_name(options.dataSource),
          m_source(std::make_shared<workbook::WorkbookSource>(platform::Utf16ToUtf8(options.dataSource),
                                                              options.dataSource)) {
        m_options.header = properties.header;
        m_options.lockTimeoutMs = options.lockTimeoutMs;
        m_options.readOnlyWhy = std::move(readOnlyWhy);
    }

    Status OpenConnection(sqlite3** db) override {
        *db = nullptr;
        std::shared_ptr<const workbook::Workbook> book;
        Status status = m_source->Current(book);
        if (!status.Ok()) return status;

        int rc =
            sqlite3_open_v2(":memory:", db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_extended_result_codes(*db, 1);
            rc = workbook::RegisterSheetModule(*db, m_source, m_options);
        }
        if (rc != SQLITE_OK) {
            status = WorkbookError(m_name, platform::Utf8ToUtf16(*db ? sqlite3_errmsg(*db) : sqlite3_errstr(rc)), rc);
            sqlite3_close(*db);
            *db = nullptr;
            return status;
        }
        // A sheet or name that cannot be declared (a sheet wider than a table can be) is
        // left out, so that it fails alone: the statements that name it hear why.
        auto declare = [&](const std::string& table, const std::string& arguments) {
            Status declared = ExecStatements(*db, "CREATE VIRTUAL TABLE main." + QuoteName(table) + " USING " +
                                                      workbook::kSheetModuleName + arguments);
            return declared.native != SQLITE_NOMEM;
        };
        bool ok = true;
        for (const workbook::Sheet& sheet : book->sheets)
            ok = ok && declare(sheet.name + "$", "('sheet', " + QuoteLiteral(sheet.name) + ")");
        for (const workbook::DefinedName& name : book->names) {
            bool clash = false;
            for (const workbook::Sheet& sheet : book->sheets)
                clash = clash || platform::EqualsNoCase(sheet.name + "$", name.name);
            if (clash) continue;
            ok = ok &&
                 declare(name.name,
                         "('range', " + QuoteLiteral(name.sheet) + ", " +
                             QuoteLiteral(workbook::CellReference(name.range.firstRow, name.range.firstColumn) + ":" +
                                          workbook::CellReference(name.range.lastRow, name.range.lastColumn)) +
                             ")");
        }
        if (!ok) {
            sqlite3_close(*db);
            *db = nullptr;
            return Status::Error(
                E_OUTOFMEMORY,
                platform::Format(u"There is not enough memory to open the workbook '%s'.", m_name.c_str()), u"HY001",
                SQLITE_NOMEM);
        }
        return Status::Success();
    }

    bool ReadOnly() const override { return !m_options.readOnlyWhy.empty(); }
    const std::u16string& Name() const override { return m_name; }

    Status AdaptStatement(sqlite3* db, std::string& sql) override {
        if (auto definition = ParseCreateTable(sql)) {
            // [Orders] and [Orders$] both make the sheet Orders.
            std::string sheet = definition->name;
            if (sheet.size() > 1 && sheet.back() == '$') sheet.pop_back();
            std::string rewritten =
                std::string("CREATE VIRTUAL TABLE ") + (definition->ifNotExists ? "IF NOT EXISTS " : "") + "main." +
                QuoteName(sheet + "$") + " USING " + workbook::kSheetModuleName + "('create', " + QuoteLiteral(sheet);
            for (const CreatedColumn& column : definition->columns)
                rewritten += ", " + QuoteLiteral(QuoteName(column.name) + " " + column.type);
            sql = rewritten + ")";
            return Status::Success();
        }
        return DeclareNamedTables(db, sql);
    }

private:
    // Declares the tables that `sql` names and the connection does not know yet: cell
    // ranges of a sheet ("Sheet1$A1:C10") and sheets named without their "$". Names are
    // matched against the workbook in memory first, so that only a name that stands for
    // such a table costs a look at the connection's schema.
    Status DeclareNamedTables(sqlite3* db, const std::string& sql) {
        std::shared_ptr<const workbook::Workbook> book;
        Status status = m_source->Current(book);
        if (!status.Ok()) return status;
        std::vector<std::string> names = NamesIn(sql);
        std::sort(names.begin(), names.end());
        names.erase(std::unique(names.begin(), names.end()), names.end());
        for (const std::string& name : names) {
            const std::string declaration = DeclarationFor(*book, name);
            if (declaration.empty() || HasTable(db, name)) continue;
            // In the connection's temporary schema: such a table serves the statements
            // that name it and is no table of the workbook's catalog.
            status = ExecStatements(db, "CREATE VIRTUAL TABLE temp." + QuoteName(name) + " USING " +
                                            workbook::kSheetModuleName + declaration);
            if (!status.Ok()) return status;
        }
        return Status::Success();
    }

    // The module arguments of the table `name` stands for, or "" when it is no cell range
    // and no sheet of `book`.
    static std::string DeclarationFor(const workbook::Workbook& book, const std::string& name) {
        const std::size_t dollar = name.rfind('$');
        // "Sheet1" and "Sheet1$" (a sheet that could not be declared when the connection
        // opened: its declaration fails again, with the statement that needs it).
        if (dollar == std::string::npos || (dollar > 0 && dollar + 1 == name.size())) {
            const std::string sheet = name.substr(0, dollar);
            for (const workbook::Sheet& s : book.sheets)
                if (platform::EqualsNoCase(s.name, sheet)) return "('sheet', " + QuoteLiteral(s.name) + ")";
            return {};
        }
        if (dollar == 0) return {};
        const std::string sheet = name.substr(0, dollar), range = name.substr(dollar + 1);
        const std::size_t colon = range.find(':');
        std::uint32_t r, c;
        if (colon == std::string::npos || !workbook::ParseCellReference(range.substr(0, colon), r, c) ||
            !workbook::ParseCellReference(range.substr(colon + 1), r, c))
            return {};
        for (const workbook::Sheet& s : book.sheets)
            if (platform::EqualsNoCase(s.name, sheet))
                return "('range', " + QuoteLiteral(s.name) + ", " + QuoteLiteral(range) + ")";
        return {};
    }

    std::u16string m_name;
    std::shared_ptr<workbook::WorkbookSource> m_source;
    workbook::BookOptions m_options;
};

}  // namespace

Status OpenWorkbook(const StoreOptions& options, std::unique_ptr<Store>& store) {
    const std::u16string& name = options.dataSource;
    const std::string path = platform::Utf16ToUtf8(name);
    const WorkbookProperties properties = ParseProperties(options.providerString);

    std::u16string readOnlyWhy;
    if (options.readOnly) readOnlyWhy = u"the connection was opened with Mode=Read";
    if (properties.readOnly) readOnlyWhy = u"it was opened with ReadOnly=True";

    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        int err = errno;
        // A workbook that does not exist yet is made by its first CREATE TABLE.
        if (err != ENOENT || !platform::Lower(path).ends_with(".xlsx") || !readOnlyWhy.empty())
            return WorkbookError(
                name, err == ENOENT ? u"there is no such file" : platform::Utf8ToUtf16(std::strerror(err)), err);
        Status folder = CheckNewFilePath(name, u"workbook");
        if (!folder.Ok()) return WorkbookError(name, u"there is no such file, and no new one can be made there");
    } else {
        if (S_ISDIR(info.st_mode)) return WorkbookError(name, u"it is a folder", EISDIR);
        if (!S_ISREG(info.st_mode)) return WorkbookError(name, u"it is not a regular file", EINVAL);
        if (::access(path.c_str(), R_OK) != 0)
            return WorkbookError(name, u"permission denied: the file cannot be read", errno);
        std::optional<workbook::Format> format = workbook::DetectFormat(path);
        if (!format) return WorkbookError(name, u"it is not a workbook (neither an .xlsx nor an .xls file)", EINVAL);
        if (*format == workbook::Format::Xls && readOnlyWhy.empty())
            readOnlyWhy = u"an .xls workbook is read, never written; save it as .xlsx to change it";
        if (readOnlyWhy.empty() && ::access(path.c_str(), W_OK) != 0) readOnlyWhy = u"the file cannot be written";
        const std::string folder = platform::FolderOf(path);
        if (readOnlyWhy.empty() && ::access(folder.c_str(), W_OK) != 0)
            readOnlyWhy = u"its folder cannot be written, so no new version can take its place";
        // What a writer killed before it finished left beside the workbook goes now.
        if (readOnlyWhy.empty()) {
            const std::unique_ptr<char, void (*)(void*)> real(::realpath(path.c_str(), nullptr), std::free);
            if (real) RecoverFolder(platform::FolderOf(real.get()));
        }
    }
    return AdoptAfterFirstConnection(std::make_unique<WorkbookFile>(options, properties, std::move(readOnlyWhy)),
                                     store);
}

}  // namespace orv::engine
