// Genuine Access database files (Jet 3, Jet 4, ACE), opened read-only through libmdb.
// Each session gets a private in-memory SQLite database with every table of the file (the
// system tables too) declared as a table of the orv_access module, so the whole dialect
// works on them. What SQLite cannot know of a virtual table goes into two tables of the
// connection's temporary schema, which the catalogs read: orv_store_indexes (the file's
// primary keys and indexes) and orv_store_identity (its auto-increment columns).
#include <string>

#include "engine/access/access_module.h"
#include "engine/sql/quote.h"
#include "engine/store/store.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

// The declarations of every table and the catalog rows the virtual tables cannot give.
std::string Declarations(const access::AccessFile& file) {
    std::string sql =
        "CREATE TABLE temp.orv_store_indexes(table_name TEXT, index_name TEXT, primary_key INTEGER, "
        "is_unique INTEGER, ordinal INTEGER, column_name TEXT, descending INTEGER);"
        "CREATE TABLE temp.orv_store_identity(table_name TEXT, column_name TEXT, seed INTEGER, step INTEGER);";
    for (const access::Table& table : file.Tables()) {
        const std::string name = QuoteLiteral(table.name);
        sql += "CREATE VIRTUAL TABLE main." + QuoteName(table.name) + " USING " + access::kAccessModuleName + "(" +
               name + ");";
        for (const access::Column& column : table.columns)
            if (column.autoIncrement)
                sql += "INSERT INTO temp.orv_store_identity VALUES(" + name + ", " + QuoteLiteral(column.name) +
                       ", 1, 1);";
        for (const access::Index& index : table.indexes)
            for (std::size_t k = 0; k < index.columns.size(); ++k)
                sql += "INSERT INTO temp.orv_store_indexes VALUES(" + name + ", " + QuoteLiteral(index.name) + ", " +
                       (index.primaryKey ? "1" : "0") + ", " + (index.unique ? "1" : "0") + ", " +
                       std::to_string(k + 1) + ", " + QuoteLiteral(index.columns[k].name) + ", " +
                       (index.columns[k].descending ? "1" : "0") + ");";
    }
    return sql;
}

class AccessDatabase final : public Store {
public:
    explicit AccessDatabase(const StoreOptions& options) : m_name(options.dataSource) {}

    Status OpenConnection(sqlite3** db) override {
        *db = nullptr;
        std::unique_ptr<access::AccessFile> file;
        Status status = access::OpenAccessFile(m_name, file);
        if (!status.Ok()) return status;
        const std::string declarations = Declarations(*file);
        int rc =
            sqlite3_open_v2(":memory:", db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_extended_result_codes(*db, 1);
            rc = access::RegisterAccessModule(*db, std::move(file));
        }
        if (rc == SQLITE_OK) {
            status = ExecStatements(*db, declarations);
        } else {
            status = Status::Error(E_FAIL, platform::Utf8ToUtf16(*db ? sqlite3_errmsg(*db) : sqlite3_errstr(rc)),
                                   u"HY000", rc);
        }
        if (status.Ok()) return status;
        sqlite3_close(*db);
        *db = nullptr;
        return Status::Error(
            status.hr,
            platform::Format(u"Cannot open the Access database '%s': %s", m_name.c_str(), status.message.c_str()),
            u"08001", status.native);
    }

    bool ReadOnly() const override { return true; }
    const std::u16string& Name() const override { return m_name; }

    // Only statements that read may run: anything else is refused before it starts, with
    // the sentence that says how to get a copy that can be changed.
    Status AdaptStatement(sqlite3* db, std::string& sql) override {
        sqlite3_stmt* statement = nullptr;
        bool reads;
        if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) == SQLITE_OK) {
            reads = !statement || sqlite3_stmt_readonly(statement);
        } else {
            // SQLite refuses some changes of a virtual table in its own words (ALTER TABLE,
            // CREATE INDEX); any other error is the engine's own prepare's to report.
            std::size_t start = sql.find_first_not_of(" \t\r\n(");
            std::size_t end = start == std::string::npos ? start : sql.find_first_of(" \t\r\n(", start);
            const std::string word = start == std::string::npos ? std::string() : sql.substr(start, end - start);
            reads = true;
            for (const char* change : {"INSERT", "UPDATE", "DELETE", "REPLACE", "CREATE", "DROP", "ALTER"})
                if (platform::EqualsNoCase(word, change)) reads = false;
        }
        sqlite3_finalize(statement);
        if (reads) return Status::Success();
        return Status::Error(DB_SEC_E_PERMISSIONDENIED, access::ReadOnlySentence(m_name), u"42000");
    }

private:
    std::u16string m_name;
};

}  // namespace

Status OpenAccessDatabase(const StoreOptions& options, std::unique_ptr<Store>& store) {
    return AdoptAfterFirstConnection(std::make_unique<AccessDatabase>(options), store);
}

}  // namespace orv::engine
