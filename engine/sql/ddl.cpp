#include "engine/sql/ddl.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/sql/quote.h"
#include "platform/strings.h"

namespace orv::engine {
namespace {

bool Exec(sqlite3* db, const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

struct Pending {
    std::string table, sql;
};

// Tables whose definition carries an auto-increment column written by the rewrite.
std::vector<Pending> TablesWithCounters(sqlite3* db) {
    std::vector<Pending> out;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT name, sql FROM sqlite_master WHERE type = 'table' AND sql LIKE '%\"orv_counter_%'",
                           -1, &st, nullptr) != SQLITE_OK)
        return out;
    while (sqlite3_step(st) == SQLITE_ROW) {
        const char* name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        const char* sql = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        if (name && sql) out.push_back({name, sql});
    }
    sqlite3_finalize(st);
    return out;
}

// The rows orv_identity holds.
std::vector<IdentityColumn> Recorded(sqlite3* db) {
    std::vector<IdentityColumn> out;
    if (!HasTable(db, "orv_identity")) return out;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT table_name, column_name, seed, step FROM orv_identity", -1, &st, nullptr) !=
        SQLITE_OK)
        return out;
    while (sqlite3_step(st) == SQLITE_ROW) {
        const char* table = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        const char* column = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        out.push_back(
            {table ? table : "", column ? column : "", sqlite3_column_int64(st, 2), sqlite3_column_int64(st, 3)});
    }
    sqlite3_finalize(st);
    return out;
}

bool SameColumn(const IdentityColumn& a, const IdentityColumn& b) {
    return a.table == b.table && a.column == b.column && a.seed == b.seed && a.step == b.step;
}

// The seed and step of each column from the definition: "orv_counter_<seed>_<step>", 'm' for minus.
std::vector<IdentityColumn> ColumnsOf(const Pending& p) {
    std::vector<IdentityColumn> out;
    const std::string marker = "\"orv_counter_";
    for (std::size_t at = p.sql.find(marker); at != std::string::npos; at = p.sql.find(marker, at + 1)) {
        std::size_t end = p.sql.find('"', at + 1);
        if (end == std::string::npos) break;
        std::string seedStep = p.sql.substr(at + marker.size(), end - at - marker.size());
        std::size_t us = seedStep.find('_');
        if (us == std::string::npos) continue;
        auto number = [](std::string s) {
            bool negative = !s.empty() && s[0] == 'm';
            if (negative) s.erase(0, 1);
            long long v = std::atoll(s.c_str());
            return negative ? -v : v;
        };
        IdentityColumn c{p.table, "", number(seedStep.substr(0, us)), number(seedStep.substr(us + 1))};
        // The column name: the token before "INTEGER CONSTRAINT" as the rewrite wrote it.
        std::size_t integer = p.sql.rfind("INTEGER", at);
        if (integer == std::string::npos || integer == 0) continue;
        std::size_t e = p.sql.find_last_not_of(" \t\r\n", integer - 1);
        if (e == std::string::npos) continue;
        std::size_t b;
        char last = p.sql[e];
        if (last == '"' || last == ']' || last == '`') {
            char open = last == ']' ? '[' : last;
            b = p.sql.rfind(open, e - 1);
            if (b == std::string::npos) continue;
            c.column = p.sql.substr(b + 1, e - b - 1);
        } else {
            b = e;
            while (b > 0 && (std::isalnum((unsigned char)p.sql[b - 1]) || p.sql[b - 1] == '_' ||
                             (unsigned char)p.sql[b - 1] >= 0x80))
                --b;
            c.column = p.sql.substr(b, e - b + 1);
        }
        out.push_back(c);
    }
    return out;
}

}  // namespace

std::vector<IdentityColumn> DeclaredIdentities(sqlite3* db, const std::string& table) {
    std::vector<IdentityColumn> out;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT name, sql FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE",
                           -1, &st, nullptr) != SQLITE_OK)
        return out;
    sqlite3_bind_text(st, 1, table.c_str(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(st) == SQLITE_ROW) {
        const char* name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        const char* sql = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        if (name && sql) out = ColumnsOf(Pending{name, sql});
    }
    sqlite3_finalize(st);
    return out;
}

bool SyncIdentities(sqlite3* db) {
    // What the table definitions say against what orv_identity records: rows are added for
    // new tables and columns and removed for dropped or renamed ones.
    std::vector<IdentityColumn> wanted;
    for (const Pending& p : TablesWithCounters(db))
        for (const IdentityColumn& c : ColumnsOf(p)) wanted.push_back(c);
    std::vector<IdentityColumn> recorded = Recorded(db);
    std::vector<IdentityColumn> added, removed;
    for (const IdentityColumn& c : wanted) {
        bool known = false;
        for (const IdentityColumn& r : recorded) known = known || SameColumn(c, r);
        if (!known) added.push_back(c);
    }
    for (const IdentityColumn& r : recorded) {
        bool kept = false;
        for (const IdentityColumn& c : wanted) kept = kept || SameColumn(c, r);
        if (!kept) removed.push_back(r);
    }
    if (added.empty() && removed.empty()) return true;
    if (sqlite3_db_readonly(db, "main") == 1) return false;
    if (!Exec(db, "SAVEPOINT orv_identity_sync")) return false;
    bool ok = Exec(db,
                   "CREATE TABLE IF NOT EXISTS orv_identity(table_name TEXT, column_name TEXT, seed INTEGER, "
                   "step INTEGER, PRIMARY KEY(table_name, column_name))");
    for (const IdentityColumn& r : removed)
        if (ok)
            ok = Exec(db, "DELETE FROM orv_identity WHERE table_name = " + QuoteLiteral(r.table) +
                              " AND column_name = " + QuoteLiteral(r.column));
    for (const IdentityColumn& c : added) {
        if (!ok) break;
        std::string t = QuoteName(c.table), col = QuoteName(c.column);
        ok = Exec(db, "INSERT OR REPLACE INTO orv_identity VALUES(" + QuoteLiteral(c.table) + ", " +
                          QuoteLiteral(c.column) + ", " + std::to_string(c.seed) + ", " + std::to_string(c.step) + ")");
        // The first value: AUTOINCREMENT hands out one more than sqlite_sequence holds.
        if (ok)
            ok = Exec(db, "INSERT INTO sqlite_sequence(name, seq) SELECT " + QuoteLiteral(c.table) + ", " +
                              std::to_string(c.seed - 1) +
                              " WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE name = " + QuoteLiteral(c.table) +
                              ") AND NOT EXISTS (SELECT 1 FROM " + t + ")");
        if (ok && c.step != 1) {
            // SQLite generates one more than the highest value; the trigger moves such a
            // value up to the next one on seed + k * step. An explicit value off that grid
            // stays as written unless it is exactly one above the highest value.
            std::string seed = std::to_string(c.seed), step = std::to_string(c.step);
            std::string trigger = QuoteName("orv_step_" + c.table + "_" + c.column);
            ok = Exec(db, "DROP TRIGGER IF EXISTS " + trigger) &&
                 Exec(db, "CREATE TRIGGER " + trigger + " AFTER INSERT ON " + t + " WHEN ((NEW." + col + " - " + seed +
                              ") % " + step + ") <> 0 AND (NEW." + col + " - 1 = (SELECT max(" + col + ") FROM " + t +
                              " WHERE " + col + " < NEW." + col + ") OR NEW." + col +
                              " - 1 = (SELECT seq FROM sqlite_sequence WHERE name = " + QuoteLiteral(c.table) +
                              ")) BEGIN UPDATE " + t + " SET " + col + " = " + seed + " + ((NEW." + col + " - " + seed +
                              " + " + step + " - 1) / " + step + ") * " + step + " WHERE " + col + " = NEW." + col +
                              "; END");
        }
    }
    if (ok) return Exec(db, "RELEASE orv_identity_sync");
    Exec(db, "ROLLBACK TO orv_identity_sync");
    Exec(db, "RELEASE orv_identity_sync");
    return false;
}

namespace {

// The schema version of a connection's database; any DDL changes it.
long long SchemaVersion(sqlite3* db) {
    sqlite3_stmt* statement = nullptr;
    long long version = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA schema_version", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        version = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return version;
}

// The last connection and schema this thread brought up to date: while neither changes,
// the bookkeeping has nothing to do and costs one cheap pragma per command.
struct LastSync {
    sqlite3* db = nullptr;
    std::string file;
    long long version = -1;
};

// A statement that writes or reads rows and names nothing a rewrite acts on (so no CREATE,
// ALTER or DROP): it leaves the schema as it is.
bool LeavesSchemaAlone(std::string_view utf8) {
    std::size_t i = 0;
    while (i < utf8.size() && std::isspace(static_cast<unsigned char>(utf8[i]))) ++i;
    std::size_t end = i;
    while (end < utf8.size() && std::isalpha(static_cast<unsigned char>(utf8[end]))) ++end;
    const std::string_view word = utf8.substr(i, end - i);
    for (const char* plain : {"INSERT", "UPDATE", "DELETE", "SELECT", "REPLACE"})
        if (platform::EqualsNoCase(word, plain)) return true;
    return false;
}

// The bookkeeping brought up to date when the schema moved since this thread last did it.
void SyncIfSchemaChanged(sqlite3* db) {
    thread_local LastSync last;
    const long long version = SchemaVersion(db);
    const char* file = sqlite3_db_filename(db, "main");
    const std::string name = file ? file : "";
    if (version < 0 || last.db != db || last.version != version || last.file != name) {
        if (SyncIdentities(db)) last = LastSync{db, name, SchemaVersion(db)};
        else last = LastSync{};
    }
}

}  // namespace

RewriteResult RewriteCommand(sqlite3* db, std::string_view utf8, SchemaCheck* check) {
    // Inside a transaction whose snapshot is open, the schema changes only by the
    // connection's own statements or, before the snapshot was taken, by another
    // connection's commit; the file's data version moves with every commit and with every
    // change another connection made that the snapshot picked up. So while it stays, and
    // the commands since the last look were plain reads and writes, the schema is as it was.
    unsigned dataVersion = 0;
    const bool inSnapshot = sqlite3_txn_state(db, "main") != SQLITE_TXN_NONE &&
                            sqlite3_file_control(db, "main", SQLITE_FCNTL_DATA_VERSION, &dataVersion) == SQLITE_OK;
    if (!(check && check->settled && inSnapshot && dataVersion == check->dataVersion)) {
        SyncIfSchemaChanged(db);
        // The look itself opens the snapshot when a transaction is open.
        if (check && sqlite3_txn_state(db, "main") != SQLITE_TXN_NONE &&
            sqlite3_file_control(db, "main", SQLITE_FCNTL_DATA_VERSION, &dataVersion) == SQLITE_OK) {
            check->dataVersion = dataVersion;
            check->settled = true;
        } else if (check) {
            check->settled = false;
        }
    }
    const bool rewrite = MayNeedRewrite(utf8);
    if (check && (rewrite || !LeavesSchemaAlone(utf8))) check->settled = false;
    if (!rewrite) {
        RewriteResult same;
        same.sql = std::string(utf8);
        return same;
    }
    return RewriteSql(utf8);
}

bool HasTable(sqlite3* db, std::string_view name) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM pragma_table_list WHERE name = ?1 COLLATE NOCASE", -1, &st, nullptr) !=
        SQLITE_OK)
        return false;
    sqlite3_bind_text(st, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    bool found = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    return found;
}

}  // namespace orv::engine
