#include "engine/text/text_module.h"

#include <sys/stat.h>

#include <charconv>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "engine/text/text_file.h"

namespace orv::engine::text {
namespace {

struct Table : sqlite3_vtab {
    std::string path;
    TextFileDescription description;
};

struct Cursor : sqlite3_vtab_cursor {
    TextReader reader;
    std::vector<std::string> fields;
    std::size_t count = 0;
    sqlite3_int64 row = 0;
    bool eof = true;
};

// A module argument as written in CREATE VIRTUAL TABLE: 'text' with doubled quotes.
std::string Unquote(const char* arg) {
    std::string s(arg);
    if (s.size() >= 2 && (s.front() == '\'' || s.front() == '"') && s.back() == s.front()) {
        const char q = s.front();
        std::string out;
        for (std::size_t i = 1; i + 1 < s.size(); ++i) {
            out += s[i];
            if (s[i] == q && s[i + 1] == q) ++i;
        }
        return out;
    }
    return s;
}

std::string QuoteName(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}

std::string_view Trim(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return v;
}

bool NoCase(std::string_view a, const char* b) { return a.size() == std::strlen(b) && sqlite3_strnicmp(a.data(), b, int(a.size())) == 0; }

void ResultText(sqlite3_context* ctx, const std::string& text) {
    sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// A field as its column's kind; a value that does not read as that kind is handed over as
// the text it is, so that the reader sees a conversion failure rather than a wrong value.
void ResultValue(sqlite3_context* ctx, const std::string& raw, Kind kind) {
    std::string_view t = Trim(raw);
    if (t.empty()) {
        sqlite3_result_null(ctx);
        return;
    }
    switch (kind) {
    case Kind::Integer:
    case Kind::BigInt: {
        std::string_view d = t.front() == '+' ? t.substr(1) : t;
        long long n;
        auto [p, ec] = std::from_chars(d.data(), d.data() + d.size(), n);
        if (ec == std::errc() && p == d.data() + d.size() && !d.empty()) return sqlite3_result_int64(ctx, n);
        break;
    }
    case Kind::Real:
    case Kind::Currency: {
        std::string clean;
        for (char c : t)
            if (!(kind == Kind::Currency && (c == '$' || c == ',' || c == ' '))) clean += c;
        std::string_view d = !clean.empty() && clean.front() == '+' ? std::string_view(clean).substr(1) : std::string_view(clean);
        double x;
        auto [p, ec] = std::from_chars(d.data(), d.data() + d.size(), x);
        if (ec == std::errc() && p == d.data() + d.size() && !d.empty() &&
            d.find_first_of("0123456789") != std::string_view::npos)
            return sqlite3_result_double(ctx, x);
        break;
    }
    case Kind::Date:
        if (auto iso = ParseDateValue(t)) return ResultText(ctx, *iso);
        break;
    case Kind::Boolean:
        if (NoCase(t, "true") || NoCase(t, "yes") || t == "1" || t == "-1") return sqlite3_result_int(ctx, 1);
        if (NoCase(t, "false") || NoCase(t, "no") || t == "0") return sqlite3_result_int(ctx, 0);
        break;
    case Kind::Text: break;
    }
    ResultText(ctx, raw);
}

int Connect(sqlite3* db, void*, int argc, const char* const* argv, sqlite3_vtab** out, char** err) {
    if (argc < 4) {
        *err = sqlite3_mprintf("%s needs the path of a text file", kTextModuleName);
        return SQLITE_ERROR;
    }
    auto table = std::unique_ptr<Table>(new (std::nothrow) Table());
    if (!table) return SQLITE_NOMEM;
    table->path = Unquote(argv[3]);
    TextSettings settings = ParseExtendedProperties(argc > 4 ? Unquote(argv[4]) : std::string());

    std::size_t slash = table->path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : table->path.substr(0, slash);
    std::string file = slash == std::string::npos ? table->path : table->path.substr(slash + 1);
    std::ifstream ini(folder + "/schema.ini", std::ios::binary);
    if (ini) {
        std::stringstream text;
        text << ini.rdbuf();
        ApplySchemaSection(ParseSchemaIni(text.str()), file, settings);
    }

    std::string error;
    if (!DescribeTextFile(table->path, settings, table->description, error)) {
        *err = sqlite3_mprintf("Cannot read the text file '%s': %s.", table->path.c_str(), error.c_str());
        return SQLITE_ERROR;
    }
    std::string sql = "CREATE TABLE x(";
    for (std::size_t i = 0; i < table->description.columns.size(); ++i) {
        const TextColumn& column = table->description.columns[i];
        if (i) sql += ", ";
        sql += QuoteName(column.name) + " " + column.declared;
    }
    sql += ")";
    int rc = sqlite3_declare_vtab(db, sql.c_str());
    if (rc != SQLITE_OK) {
        *err = sqlite3_mprintf("Cannot read the text file '%s': its columns cannot be declared (%s).",
                               table->path.c_str(), sqlite3_errmsg(db));
        return rc;
    }
    *out = table.release();
    return SQLITE_OK;
}

int Disconnect(sqlite3_vtab* vtab) {
    delete static_cast<Table*>(vtab);
    return SQLITE_OK;
}

int BestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info) {
    // Every scan reads the whole file; SQLite applies the constraints itself.
    struct stat st;
    double bytes = ::stat(static_cast<Table*>(vtab)->path.c_str(), &st) == 0 ? double(st.st_size) : 1e6;
    info->estimatedCost = bytes / 10 + 10;
    info->estimatedRows = static_cast<sqlite3_int64>(bytes / 40) + 1;
    return SQLITE_OK;
}

int Open(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out) {
    Table* table = static_cast<Table*>(vtab);
    auto cursor = std::unique_ptr<Cursor>(new (std::nothrow) Cursor());
    if (!cursor) return SQLITE_NOMEM;
    if (!cursor->reader.Open(table->path)) {
        sqlite3_free(vtab->zErrMsg);
        vtab->zErrMsg = sqlite3_mprintf("Cannot read the text file '%s': %s.", table->path.c_str(), std::strerror(errno));
        return SQLITE_CANTOPEN;
    }
    *out = cursor.release();
    return SQLITE_OK;
}

int Close(sqlite3_vtab_cursor* cursor) {
    delete static_cast<Cursor*>(cursor);
    return SQLITE_OK;
}

int ReadError(Cursor* cursor) {
    Table* table = static_cast<Table*>(cursor->pVtab);
    sqlite3_free(table->zErrMsg);
    table->zErrMsg = sqlite3_mprintf("Cannot read the text file '%s': %s.", table->path.c_str(), std::strerror(errno));
    return SQLITE_IOERR;
}

int Next(sqlite3_vtab_cursor* base) {
    Cursor* cursor = static_cast<Cursor*>(base);
    if (cursor->reader.Next(cursor->fields, cursor->count)) {
        ++cursor->row;
        return SQLITE_OK;
    }
    cursor->eof = true;
    return cursor->reader.Failed() ? ReadError(cursor) : SQLITE_OK;
}

int Filter(sqlite3_vtab_cursor* base, int, const char*, int, sqlite3_value**) {
    Cursor* cursor = static_cast<Cursor*>(base);
    const TextFileDescription& d = static_cast<Table*>(base->pVtab)->description;
    cursor->row = 0;
    cursor->eof = false;
    if (!cursor->reader.Rewind(d.charset, d.delimiter)) return ReadError(cursor);
    if (d.header && !cursor->reader.Next(cursor->fields, cursor->count)) {
        cursor->eof = true;
        return cursor->reader.Failed() ? ReadError(cursor) : SQLITE_OK;
    }
    return Next(base);
}

int Eof(sqlite3_vtab_cursor* cursor) { return static_cast<Cursor*>(cursor)->eof; }

int Column(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int i) {
    Cursor* cursor = static_cast<Cursor*>(base);
    const auto& columns = static_cast<Table*>(base->pVtab)->description.columns;
    if (i < 0 || std::size_t(i) >= cursor->count || std::size_t(i) >= columns.size()) {
        sqlite3_result_null(ctx);  // a short record: the missing fields are empty
        return SQLITE_OK;
    }
    ResultValue(ctx, cursor->fields[std::size_t(i)], columns[std::size_t(i)].kind);
    return SQLITE_OK;
}

int Rowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid) {
    *rowid = static_cast<Cursor*>(cursor)->row;
    return SQLITE_OK;
}

int Update(sqlite3_vtab* vtab, int, sqlite3_value**, sqlite3_int64*) {
    sqlite3_free(vtab->zErrMsg);
    vtab->zErrMsg = sqlite3_mprintf("The text file '%s' cannot be changed: text files are read-only.",
                                    static_cast<Table*>(vtab)->path.c_str());
    return SQLITE_READONLY;
}

const sqlite3_module kModule = {
    /* iVersion */ 1,
    /* xCreate */ Connect,
    /* xConnect */ Connect,
    /* xBestIndex */ BestIndex,
    /* xDisconnect */ Disconnect,
    /* xDestroy */ Disconnect,
    /* xOpen */ Open,
    /* xClose */ Close,
    /* xFilter */ Filter,
    /* xNext */ Next,
    /* xEof */ Eof,
    /* xColumn */ Column,
    /* xRowid */ Rowid,
    /* xUpdate */ Update,
    /* xBegin */ nullptr,
    /* xSync */ nullptr,
    /* xCommit */ nullptr,
    /* xRollback */ nullptr,
    /* xFindFunction */ nullptr,
    /* xRename */ nullptr,
};

}  // namespace

int RegisterTextModule(sqlite3* db) { return sqlite3_create_module_v2(db, kTextModuleName, &kModule, nullptr, nullptr); }

}  // namespace orv::engine::text
