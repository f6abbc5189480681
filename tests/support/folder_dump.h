// Test support: what a folder holds, as text to compare before and after a write. Each
// SQLite database in it is opened through the library (as a host would, which also rolls
// back what a failed write left in a hot journal), checked with SQLite's integrity check
// and listed row by row with its page counts; any other file is listed by size and hash.
//
// Functions only; the caller's thread must have COM usable (any thread here).
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "OrvOleDb.h"
#include "support/files.h"

namespace orv::test {

inline bool IsDatabaseFile(const std::string& path) {
    std::string head = ReadFile(path).substr(0, 16);
    return head.size() == 16 && std::memcmp(head.data(), "SQLite format 3", 16) == 0;
}

inline std::string HashOf(const std::string& bytes) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    char text[32];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

inline void DumpDatabase(const std::string& path, std::string& out) {
    OrvOleDbConnection connection;
    if (connection.OpenFromInitializationString(CComBSTR(InitFor(platform::Utf8ToUtf16(path)).c_str()), false) !=
        S_OK) {
        out += "  does not open: " + platform::Utf16ToUtf8(connection.GetErrorText().Str()) + "\n";
        return;
    }
    OrvOleDbCommand check;
    check.SetConnection(&connection);
    check.SetCommandText(CString(u"SELECT integrity_check FROM pragma_integrity_check"));
    std::string verdict = "(no answer)";
    if (check.Execute() == OrvOleDbCommand::dbTrue && check.FetchNext() == OrvOleDbCommand::dbTrue)
        verdict = platform::Utf16ToUtf8(check.FieldAsString(1).Str());
    check.Close();
    out += "  integrity " + verdict + "\n";

    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        out += "  sqlite cannot read it\n";
        sqlite3_close(db);
        return;
    }
    auto each = [&](const std::string& sql, auto&& row) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            out += "  cannot run " + sql + ": " + sqlite3_errmsg(db) + "\n";
            return;
        }
        while (sqlite3_step(statement) == SQLITE_ROW) row(statement);
        sqlite3_finalize(statement);
    };
    auto text = [](sqlite3_stmt* s, int i) {
        const unsigned char* t = sqlite3_column_text(s, i);
        return t ? std::string(reinterpret_cast<const char*>(t)) : std::string("NULL");
    };
    each("SELECT (SELECT page_count FROM pragma_page_count), (SELECT freelist_count FROM pragma_freelist_count)",
         [&](sqlite3_stmt* s) { out += "  pages " + text(s, 0) + ", free " + text(s, 1) + "\n"; });
    std::vector<std::string> tables;
    each("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name",
         [&](sqlite3_stmt* s) { tables.push_back(text(s, 0)); });
    for (const std::string& table : tables) {
        out += "  table " + table + "\n";
        each("SELECT * FROM \"" + table + "\" ORDER BY rowid", [&](sqlite3_stmt* s) {
            std::string row = "   ";
            for (int i = 0; i < sqlite3_column_count(s); ++i) {
                std::string value = text(s, i);
                row += " " + (value.size() > 40 ? value.substr(0, 20) + "...#" + HashOf(value) : value);
            }
            out += row + "\n";
        });
    }
    sqlite3_close(db);
}

// One "file <name> ..." line per file, sorted by name, each followed by a database's
// details.
inline std::string DumpFolder(const std::string& dir) {
    auto list = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    };
    // Databases first: opening one may roll back a hot journal, and the listing that
    // follows shows what is left after that.
    std::map<std::string, std::string> databases;
    for (const std::string& name : list())
        if (IsDatabaseFile(dir + "/" + name)) DumpDatabase(dir + "/" + name, databases[name]);
    std::string out;
    for (const std::string& name : list()) {
        auto found = databases.find(name);
        if (found != databases.end()) {
            out += "file " + name + " database\n" + found->second;
        } else {
            std::string bytes = ReadFile(dir + "/" + name);
            out += "file " + name + " " + std::to_string(bytes.size()) + " bytes " + HashOf(bytes) + "\n";
        }
    }
    return out;
}

}  // namespace orv::test
