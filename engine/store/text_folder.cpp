// Folders of delimited text files. Every *.csv, *.txt, *.tab and *.asc file of the folder
// is a table named by its file name; each session gets a private in-memory SQLite
// database in which every such file is declared as a virtual table of the text module,
// so the folder is listed afresh at each connection and files added later appear.
// Writes go to the files through the module (engine/text/text_module.h).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <cerrno>
#include <cstring>
#include <vector>

#include "engine/sql/authorizer.h"
#include "engine/sql/ddl.h"
#include "engine/sql/quote.h"
#include "engine/store/files.h"
#include "engine/store/store.h"
#include "engine/text/text_module.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

bool IsTextFileName(const std::string& name) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    const std::string ext = platform::Lower(name.substr(dot + 1));
    return ext == "csv" || ext == "txt" || ext == "tab" || ext == "asc";
}

Status FolderError(const std::u16string& name, const std::u16string& what, int native = 0) {
    return Status::Error(E_FAIL, platform::Format(u"Cannot open the text folder '%s': %s.", name.c_str(), what.c_str()),
                         u"08001", native);
}

class TextFolder final : public Store {
public:
    TextFolder(const StoreOptions& options, std::string folder)
        : m_name(options.dataSource),
          m_folder(std::move(folder)),
          m_properties(platform::Utf16ToUtf8(options.providerString)),
          m_readOnly(options.readOnly || ::access(m_folder.c_str(), W_OK) != 0),
          m_lockTimeoutMs(options.lockTimeoutMs) {}

    Status OpenConnection(sqlite3** db) override {
        *db = nullptr;
        // What a writer killed before it finished left in the folder goes first.
        if (!m_readOnly) RecoverFolder(m_folder);
        std::vector<std::string> files;
        Status listed = ListFiles(files);
        if (!listed.Ok()) return listed;

        int rc =
            sqlite3_open_v2(":memory:", db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_extended_result_codes(*db, 1);
            rc = text::RegisterTextModule(*db, {m_folder, m_readOnly, m_lockTimeoutMs});
        }
        if (rc != SQLITE_OK) {
            Status failure =
                FolderError(m_name, platform::Utf8ToUtf16(*db ? sqlite3_errmsg(*db) : sqlite3_errstr(rc)), rc);
            sqlite3_close(*db);
            *db = nullptr;
            return failure;
        }
        // A file that cannot be declared (unreadable, too wide) is left out, so that it
        // fails alone: the statements that name it hear why (DeclareNamedFiles).
        for (const std::string& file : files) {
            Status declared = DeclareFile(*db, file);
            if (declared.hr == E_OUTOFMEMORY) {
                sqlite3_close(*db);
                *db = nullptr;
                return declared;
            }
        }
        return Status::Success();
    }

    // Mode=Read, or a folder this process may not write (no file could be created, and no
    // file rewritten, since a rewrite renames a new file into place).
    bool ReadOnly() const override { return m_readOnly; }

    // CREATE TABLE [new.csv] (...) becomes the declaration of a new file with the text
    // module's 'create' marker; the module makes the file. The column definitions travel
    // as a column list in CREATE TABLE syntax, which the module reads back with
    // ParseCreateTable.
    Status AdaptStatement(sqlite3* db, std::string& sql) override {
        Status declared = DeclareNamedFiles(db, sql);
        if (!declared.Ok()) return declared;
        // DROP TABLE of a file: the file is deleted here, before SQLite drops the table,
        // because SQLite drops the module's own message when its xDestroy fails; the
        // module then finds the file gone and removes its schema.ini section.
        if (std::optional<std::string> dropped = ParseDropTable(sql)) {
            std::string name;
            if (!IsTextTable(db, *dropped, name)) return Status::Success();
            const std::string path = m_folder + "/" + name;
            const std::u16string wide = platform::Utf8ToUtf16(path);
            if (m_readOnly)
                return Status::Error(DB_SEC_E_PERMISSIONDENIED,
                                     platform::Format(u"Cannot delete the text file '%s': the folder is open read-only "
                                                      u"(Mode=Read), or you may not write to it.",
                                                      wide.c_str()),
                                     u"42000");
            // A file that may not be written may not be deleted either.
            Status writable = CheckWritableFile(path, u"text file");
            if (!writable.Ok()) return writable;
            // Not while another program or connection writes it.
            FileLock lock;
            Status locked =
                lock.Acquire(path, FileLock::Write, Env::LockMode::Exclusive, m_lockTimeoutMs, wide, u"text file");
            if (!locked.Ok()) return locked;
            // SQLite needs the table connected to drop it, and connecting reads the file:
            // connect it while the file is still there.
            sqlite3_stmt* probe = nullptr;
            sqlite3_prepare_v2(db, ("SELECT 1 FROM main." + QuoteName(name) + " LIMIT 0").c_str(), -1, &probe, nullptr);
            sqlite3_finalize(probe);
            if (int err = CurrentEnv().Remove(path); err != 0 && err != ENOENT) {
                return Status::Error(E_FAIL,
                                     platform::Format(u"Cannot delete the text file '%s': %s.", wide.c_str(),
                                                      platform::Utf8ToUtf16(std::strerror(err)).c_str()),
                                     u"HY000", err);
            }
            return Status::Success();
        }
        std::optional<CreatedTable> definition = ParseCreateTable(sql);
        if (!definition) return Status::Success();
        const std::u16string wide = platform::Utf8ToUtf16(m_folder + "/" + definition->name);
        if (definition->name.find('/') != std::string::npos || !IsTextFileName(definition->name))
            return Status::Error(
                DB_E_BADTABLEID,
                platform::Format(u"Cannot create the text file '%s': a table of a text folder is a file "
                                 u"whose name ends in .csv, .txt, .tab or .asc, such as [%s.csv].",
                                 wide.c_str(), platform::Utf8ToUtf16(definition->name).c_str()),
                u"42000");
        std::string columns;
        for (const CreatedColumn& column : definition->columns) {
            if (!columns.empty()) columns += ", ";
            columns += QuoteName(column.name) + " " + (column.type.empty() ? std::string("TEXT") : column.type);
        }
        // IF NOT EXISTS: a table of the session is left alone, as SQLite leaves any table.
        sql = std::string("CREATE VIRTUAL TABLE ") + (definition->ifNotExists ? "IF NOT EXISTS " : "") + "main." +
              QuoteName(definition->name) + " USING " + text::kTextModuleName + "(" +
              QuoteLiteral(m_folder + "/" + definition->name) + ", " + QuoteLiteral(m_properties) + ", 'create', " +
              QuoteLiteral(columns) + ")";
        return Status::Success();
    }
    const std::u16string& Name() const override { return m_name; }

private:
    // Declares the file `file` of the folder as the table `table` of `schema` (by default
    // the table of the file's own name in main).
    Status DeclareFile(sqlite3* db, const std::string& file, const std::string& table = {},
                       const char* schema = "main") const {
        std::string sql = std::string("CREATE VIRTUAL TABLE ") + schema + "." +
                          QuoteName(table.empty() ? file : table) + " USING " + text::kTextModuleName + "(" +
                          QuoteLiteral(m_folder + "/" + file) + ", " + QuoteLiteral(m_properties) + ")";
        char* error = nullptr;
        int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
        if (rc == SQLITE_OK) return Status::Success();
        std::u16string message = platform::Utf8ToUtf16(error ? error : sqlite3_errstr(rc));
        sqlite3_free(error);
        if (!message.empty() && message.back() != u'.') message += u'.';
        return Status::Error(rc == SQLITE_NOMEM ? E_OUTOFMEMORY : E_FAIL, std::move(message), u"42000", rc);
    }

    // Declares the files that `sql` names and the connection does not have as tables: those
    // that could not be declared when it opened (their declaration fails again, now with the
    // statement that needs them) and those added to the folder since.
    Status DeclareNamedFiles(sqlite3* db, const std::string& sql) const {
        for (const std::string& name : NamesIn(sql)) {
            if (!IsTextFileName(name) || HasTable(db, name)) continue;
            Status status = Status::Success();
            if (IsTableFile(name)) {
                status = DeclareFile(db, name);
            } else if (const std::string file = FileNamedNoCase(name); !file.empty()) {
                // SQLite ignores the case of ASCII letters only: a name that differs from
                // its file's in the case of another letter gets a table of its own spelling,
                // in the temporary schema, so that the catalogs list the file once.
                status = DeclareFile(db, file, name, "temp");
            }
            if (!status.Ok()) return status;
        }
        return Status::Success();
    }

    // The table file of the folder whose name is `name` but for case, or "".
    std::string FileNamedNoCase(const std::string& name) const {
        std::vector<std::string> files;
        if (!ListFiles(files).Ok()) return {};
        for (const std::string& file : files)
            if (platform::EqualsNoCase(file, name)) return file;
        return {};
    }

    // Whether `name` is a table file of the folder: a regular file with a table's
    // extension, or a symbolic link to one that stays inside the folder.
    bool IsTableFile(const std::string& name) const {
        if (!IsTextFileName(name) || name.find('/') != std::string::npos) return false;
        const std::string path = m_folder + "/" + name;
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0) return false;
        if (S_ISLNK(info.st_mode) && !SqlPolicy::InsideFolder(m_folder, path)) return false;
        return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    }

    // True when `name` is a table of the text module on `db`; `declared` is its name as
    // declared, which is the file's name.
    static bool IsTextTable(sqlite3* db, const std::string& name, std::string& declared) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db,
                               "SELECT name FROM main.sqlite_schema WHERE type = 'table' AND name = ?1 COLLATE NOCASE "
                               "AND sql LIKE '%USING orv_text(%'",
                               -1, &statement, nullptr) != SQLITE_OK)
            return false;
        sqlite3_bind_text(statement, 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        const bool found = sqlite3_step(statement) == SQLITE_ROW;
        if (found) declared = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
        return found;
    }

    // The table files of the folder, in name order; of names that differ only in case (one
    // table name to SQLite) the first.
    Status ListFiles(std::vector<std::string>& files) const {
        int err = 0;
        if (!ReadFolder(m_folder, files, err))
            return FolderError(m_name, platform::Utf8ToUtf16(std::strerror(err)), err);
        std::erase_if(files, [this](const std::string& name) { return !IsTableFile(name); });
        // Names that differ only in case are one table (the first of them in byte order).
        std::sort(files.begin(), files.end());
        std::set<std::string> seen;
        std::erase_if(files, [&](const std::string& file) { return !seen.insert(platform::FoldCase(file)).second; });
        return Status::Success();
    }

    std::u16string m_name;
    std::string m_folder;
    std::string m_properties;
    bool m_readOnly;
    int m_lockTimeoutMs;
};

}  // namespace

Status OpenTextFolder(const StoreOptions& options, std::unique_ptr<Store>& store) {
    const std::u16string& name = options.dataSource;
    std::string path = platform::Utf16ToUtf8(name);
    while (path.size() > 1 && path.back() == '/') path.pop_back();

    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        int err = errno;
        if (err == ENOENT || err == ENOTDIR) return FolderError(name, u"there is no such folder", err);
        if (err == EACCES) return FolderError(name, u"permission denied on a folder of its path", err);
        return FolderError(name, platform::Utf8ToUtf16(std::strerror(err)), err);
    }
    // A file of the folder names its folder.
    if (S_ISREG(info.st_mode)) {
        path = platform::FolderOf(path);
    } else if (!S_ISDIR(info.st_mode)) {
        return FolderError(name, u"it is neither a folder nor a file", EINVAL);
    }
    return AdoptAfterFirstConnection(std::make_unique<TextFolder>(options, path), store);
}

}  // namespace orv::engine
