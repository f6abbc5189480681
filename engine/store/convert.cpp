// Conversion of a genuine Access database into a new engine database file. The tables are
// made with the engine's own DDL (so auto-increment columns get their bookkeeping), the rows
// travel as SQLite values from the Access store's virtual tables, and every row of the copy
// is compared with the source, read afresh, before the file takes its name.
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "engine/access/access_file.h"
#include "engine/sql/ddl.h"
#include "engine/sql/quote.h"
#include "engine/store/files.h"
#include "engine/store/store.h"
#include "platform/format.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

// A connection closed when it goes out of scope.
struct Connection {
    sqlite3* db = nullptr;
    ~Connection() { sqlite3_close_v2(db); }
};

// Names in the order SQLite compares them, case ignored.
struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const {
        return sqlite3_stricmp(a.c_str(), b.c_str()) < 0;
    }
};

struct Statement {
    sqlite3_stmt* handle = nullptr;
    ~Statement() { sqlite3_finalize(handle); }
};

class Converter {
public:
    Converter(const std::u16string& source, const std::u16string& destination, ProgressSink* progress)
        : m_source(source), m_destination(destination), m_progress(progress) {}

    Status Run();

private:
    Status Fail(const std::u16string& what, sqlite3* db) const {
        std::u16string detail = db ? platform::Utf8ToUtf16(sqlite3_errmsg(db)) : std::u16string();
        return Status::Error(
            E_FAIL,
            platform::Format(u"Cannot convert '%s' into '%s': %s%s%s.", m_source.c_str(), m_destination.c_str(),
                             what.c_str(), detail.empty() ? u"" : u": ", detail.c_str()),
            u"HY000", db ? sqlite3_extended_errcode(db) : 0);
    }
    Status Exec(sqlite3* db, const std::string& sql, const std::u16string& what) const {
        return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ? Status::Success()
                                                                                     : Fail(what, db);
    }
    bool Report() { return !m_progress || m_progress->Progress(m_done, m_total); }
    Status Stopped() const {
        return Status::Error(
            E_ABORT,
            platform::Format(u"The conversion of '%s' was stopped; no new file was written.", m_source.c_str()),
            u"HY008");
    }

    Status CreateTables(const std::string& path);
    Status CopyRows(sqlite3* source);
    Status CheckRows(sqlite3* source);
    static std::string ColumnList(const access::Table& table);

    const std::u16string& m_source;
    const std::u16string& m_destination;
    ProgressSink* m_progress;
    std::unique_ptr<access::AccessFile> m_file;
    std::vector<const access::Table*> m_tables;  // the user tables
    unsigned long long m_done = 0, m_total = 0;
};

std::string Converter::ColumnList(const access::Table& table) {
    std::string list;
    for (const access::Column& c : table.columns) list += (list.empty() ? "" : ", ") + QuoteName(c.name);
    return list;
}

// The tables in the engine's DDL, then their indexes. A lone auto-increment primary key
// becomes COUNTER, which continues after the highest value the copy holds; any other
// auto-increment column stays a plain LONG, since an engine table has one counter, its key.
Status Converter::CreateTables(const std::string& path) {
    Connection target;
    if (sqlite3_open_v2(path.c_str(), &target.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        return Fail(u"the new file cannot be opened", target.db);
    // Index names are per table in Access and per file here: a name that two tables use, or
    // that a table has, gets its table's name in front.
    std::map<std::string, int, NoCase> uses;
    for (const access::Table* table : m_tables) {
        ++uses[table->name];
        for (const access::Index& index : table->indexes)
            if (!index.primaryKey) ++uses[index.name];
    }
    std::string sql = "BEGIN;";
    for (const access::Table* table : m_tables) {
        const access::Index* key = nullptr;
        for (const access::Index& index : table->indexes)
            if (index.primaryKey) key = &index;
        std::string create = "CREATE TABLE " + QuoteName(table->name) + " (";
        for (std::size_t i = 0; i < table->columns.size(); ++i) {
            const access::Column& c = table->columns[i];
            const bool counter = c.autoIncrement && key && key->columns.size() == 1 && key->columns[0].name == c.name;
            create += (i ? ", " : "") + QuoteName(c.name) + " " + (counter ? std::string("COUNTER") : c.declared) +
                      (c.nullable || counter ? "" : " NOT NULL");
        }
        if (key) {
            create += ", CONSTRAINT " + QuoteName(key->name) + " PRIMARY KEY (";
            for (std::size_t k = 0; k < key->columns.size(); ++k)
                create += (k ? ", " : "") + QuoteName(key->columns[k].name);
            create += ")";
        }
        create += ")";
        RewriteResult rewritten = RewriteCommand(target.db, create);
        if (rewritten.error)
            return Fail(u"the table '" + platform::Utf8ToUtf16(table->name) + u"' has no equivalent here (" +
                            platform::Utf8ToUtf16(*rewritten.error) + u")",
                        nullptr);
        sql += rewritten.sql + ";";
        for (const access::Index& index : table->indexes) {
            if (index.primaryKey) continue;
            const std::string name = uses[index.name] > 1 ? table->name + "_" + index.name : index.name;
            sql += std::string("CREATE ") + (index.unique ? "UNIQUE " : "") + "INDEX " + QuoteName(name) + " ON " +
                   QuoteName(table->name) + " (";
            for (std::size_t k = 0; k < index.columns.size(); ++k)
                sql +=
                    (k ? ", " : "") + QuoteName(index.columns[k].name) + (index.columns[k].descending ? " DESC" : "");
            sql += ");";
        }
    }
    sql += "COMMIT;";
    Status status = Exec(target.db, sql, u"the tables cannot be made in the new file");
    // The auto-increment bookkeeping of the new tables.
    if (status.Ok() && !SyncIdentities(target.db))
        status = Fail(u"the auto-increment columns cannot be recorded", target.db);
    return status;
}

Status Converter::CopyRows(sqlite3* source) {
    Status status = Exec(source, "BEGIN", u"the copy cannot begin");
    for (const access::Table* table : m_tables) {
        if (!status.Ok()) break;
        if (table->columns.empty()) continue;
        const std::string columns = ColumnList(*table);
        std::string marks;
        for (std::size_t i = 0; i < table->columns.size(); ++i) marks += i ? ", ?" : "?";
        Statement read, write;
        const std::u16string what = u"the rows of '" + platform::Utf8ToUtf16(table->name) + u"' cannot be copied";
        if (sqlite3_prepare_v2(source, ("SELECT " + columns + " FROM main." + QuoteName(table->name)).c_str(), -1,
                               &read.handle, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(
                source,
                ("INSERT INTO copy." + QuoteName(table->name) + " (" + columns + ") VALUES (" + marks + ")").c_str(),
                -1, &write.handle, nullptr) != SQLITE_OK)
            return Fail(what, source);
        const int n = static_cast<int>(table->columns.size());
        int rc;
        while ((rc = sqlite3_step(read.handle)) == SQLITE_ROW) {
            for (int i = 0; i < n; ++i) sqlite3_bind_value(write.handle, i + 1, sqlite3_column_value(read.handle, i));
            if (sqlite3_step(write.handle) != SQLITE_DONE) return Fail(what, source);
            sqlite3_reset(write.handle);
            if ((++m_done & 1023) == 0 && !Report()) return Stopped();
        }
        if (rc != SQLITE_DONE) return Fail(what, source);
    }
    if (status.Ok()) status = Exec(source, "COMMIT", u"the copy cannot be written");
    return status;
}

// Two values are the same when SQL reads them as the same: numbers by value (a whole real
// that the copy's column stores as an integer is the same number), text and bytes byte for
// byte.
bool SameValue(sqlite3_value* a, sqlite3_value* b) {
    const int ta = sqlite3_value_type(a), tb = sqlite3_value_type(b);
    const bool na = ta == SQLITE_INTEGER || ta == SQLITE_FLOAT, nb = tb == SQLITE_INTEGER || tb == SQLITE_FLOAT;
    if (na && nb) {
        if (ta == SQLITE_INTEGER && tb == SQLITE_INTEGER) return sqlite3_value_int64(a) == sqlite3_value_int64(b);
        return sqlite3_value_double(a) == sqlite3_value_double(b);
    }
    if (ta != tb) return false;
    if (ta == SQLITE_NULL) return true;
    const void* pa = ta == SQLITE_BLOB ? sqlite3_value_blob(a) : static_cast<const void*>(sqlite3_value_text(a));
    const void* pb = tb == SQLITE_BLOB ? sqlite3_value_blob(b) : static_cast<const void*>(sqlite3_value_text(b));
    const int la = sqlite3_value_bytes(a), lb = sqlite3_value_bytes(b);
    return la == lb && (la == 0 || std::memcmp(pa, pb, static_cast<std::size_t>(la)) == 0);
}

Status Converter::CheckRows(sqlite3* source) {
    for (const access::Table* table : m_tables) {
        if (table->columns.empty()) continue;
        const std::string columns = ColumnList(*table);
        // Both sides in key order when the table has a key (a counter key is the copy's
        // rowid, which need not follow the file's order); else the copy in the order the
        // rows went in, which is the file's.
        std::string order = " ORDER BY rowid";
        for (const access::Index& index : table->indexes)
            if (index.primaryKey) {
                order = " ORDER BY ";
                for (std::size_t k = 0; k < index.columns.size(); ++k)
                    order += (k ? ", " : "") + QuoteName(index.columns[k].name);
            }
        const std::string originalOrder = order == " ORDER BY rowid" ? "" : order;
        Statement original, copy;
        const std::u16string name = platform::Utf8ToUtf16(table->name);
        if (sqlite3_prepare_v2(source,
                               ("SELECT " + columns + " FROM main." + QuoteName(table->name) + originalOrder).c_str(),
                               -1, &original.handle, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(source, ("SELECT " + columns + " FROM copy." + QuoteName(table->name) + order).c_str(),
                               -1, &copy.handle, nullptr) != SQLITE_OK)
            return Fail(u"the copy of '" + name + u"' cannot be checked", source);
        const int n = static_cast<int>(table->columns.size());
        for (unsigned long long row = 1;; ++row) {
            const int a = sqlite3_step(original.handle), b = sqlite3_step(copy.handle);
            if (a == SQLITE_DONE && b == SQLITE_DONE) break;
            if (a != SQLITE_ROW || b != SQLITE_ROW)
                return Fail(platform::Format(u"the copy of '%s' does not hold the same number of rows (row %llu)",
                                             name.c_str(), row),
                            a == SQLITE_ROW || a == SQLITE_DONE ? nullptr : source);
            for (int i = 0; i < n; ++i)
                if (!SameValue(sqlite3_column_value(original.handle, i), sqlite3_column_value(copy.handle, i)))
                    return Fail(
                        platform::Format(
                            u"row %llu of '%s' reads differently in the copy, in its column '%s'", row, name.c_str(),
                            platform::Utf8ToUtf16(table->columns[static_cast<std::size_t>(i)].name).c_str()),
                        nullptr);
            if ((++m_done & 1023) == 0 && !Report()) return Stopped();
        }
    }
    return Status::Success();
}

Status Converter::Run() {
    Status status = CheckNewFilePath(m_destination, u"converted database file");
    if (!status.Ok()) return status;
    if (!access::IsAccessDatabase(m_source))
        return Status::Error(E_INVALIDARG,
                             platform::Format(u"'%s' is no genuine Access database (a Jet or ACE file), so there is "
                                              u"nothing to convert; an engine database file is copied as it is.",
                                              m_source.c_str()),
                             u"HY000");
    status = access::OpenAccessFile(m_source, m_file);
    if (!status.Ok()) return status;
    for (const access::Table& table : m_file->Tables())
        if (!table.system) {
            m_tables.push_back(&table);
            m_total += 2 * table.rowsEstimate;
        }

    StoreOptions options;
    options.dataSource = m_source;
    options.readOnly = true;
    std::unique_ptr<Store> store;
    status = OpenAccessDatabase(options, store);
    Connection source;
    if (status.Ok()) status = store->Connect(&source.db);
    if (!status.Ok()) return status;

    std::string temporary;
    FileHandle held;
    status = MakeTemporaryBeside(platform::Utf16ToUtf8(m_destination), temporary, held);
    if (!status.Ok()) return status;
    status = CreateTables(temporary);
    Statement attach;
    if (status.Ok()) {
        if (sqlite3_prepare_v2(source.db, "ATTACH ?1 AS copy", -1, &attach.handle, nullptr) != SQLITE_OK ||
            sqlite3_bind_text(attach.handle, 1, temporary.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
            sqlite3_step(attach.handle) != SQLITE_DONE)
            status = Fail(u"the new file cannot be written", source.db);
    }
    if (status.Ok()) status = CopyRows(source.db);
    if (status.Ok()) status = CheckRows(source.db);
    if (status.Ok()) status = Exec(source.db, "DETACH copy", u"the new file cannot be closed");
    if (!status.Ok()) {
        sqlite3_exec(source.db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_exec(source.db, "DETACH copy", nullptr, nullptr, nullptr);
        RemoveTemporaryDatabase(temporary);
        return status;
    }
    m_done = m_total = std::max(m_done, m_total);
    Report();
    return PublishFile(temporary, m_destination, u"converted database file");
}

}  // namespace

Status ConvertAccessDatabase(const std::u16string& source, const std::u16string& destination, ProgressSink* progress) {
    return Converter(source, destination, progress).Run();
}

}  // namespace orv::engine
