#include "engine/access/access_module.h"

#include <memory>
#include <string>

#include "engine/guard.h"
#include "engine/sql/quote.h"
#include "platform/utf.h"

namespace orv::engine::access {
namespace {

struct VTable : sqlite3_vtab {
    AccessFile* file = nullptr;
    const Table* table = nullptr;
};

struct Cursor : sqlite3_vtab_cursor {
    std::unique_ptr<TableScan> scan;
    sqlite3_int64 row = 0;
    bool atEnd = true;
};

void SetError(sqlite3_vtab* vtab, const std::string& message) {
    sqlite3_free(vtab->zErrMsg);
    vtab->zErrMsg = sqlite3_mprintf("%s", message.c_str());
}

int Connect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** error) {
    *out = nullptr;
    auto* file = static_cast<AccessFile*>(aux);
    const std::string name = argc > 3 ? UnquoteArgument(argv[3]) : std::string();
    const Table* table = file->Find(name);
    if (!table) {
        *error = sqlite3_mprintf("The Access database has no table '%s'.", name.c_str());
        return SQLITE_ERROR;
    }
    std::string sql = "CREATE TABLE x(";
    for (std::size_t i = 0; i < table->columns.size(); ++i) {
        const Column& c = table->columns[i];
        if (i) sql += ", ";
        sql += QuoteName(c.name) + " " + c.declared + (c.nullable ? "" : " NOT NULL");
    }
    // A table whose every column is of a type the engine cannot read still is a table.
    if (table->columns.empty()) sql += "\"(no readable column)\" TEXT HIDDEN";
    sql += ")";
    int rc = sqlite3_declare_vtab(db, sql.c_str());
    if (rc != SQLITE_OK) {
        *error = sqlite3_mprintf("The table '%s' of the Access database cannot be declared: %s", name.c_str(),
                                 sqlite3_errmsg(db));
        return rc;
    }
    auto* vtab = new VTable();
    vtab->file = file;
    vtab->table = table;
    *out = vtab;
    return SQLITE_OK;
}

int Disconnect(sqlite3_vtab* vtab) {
    delete static_cast<VTable*>(vtab);
    return SQLITE_OK;
}

int BestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info) {
    // Every scan reads the whole table: the cost is its size, so SQLite puts the smaller
    // table outside in a join and builds an automatic index on the inner one.
    const double rows = static_cast<double>(static_cast<VTable*>(vtab)->table->rowsEstimate) + 1;
    info->estimatedCost = rows * 10;
    info->estimatedRows = static_cast<sqlite3_int64>(rows);
    return SQLITE_OK;
}

int Open(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out) {
    *out = nullptr;
    auto* t = static_cast<VTable*>(vtab);
    auto cursor = std::make_unique<Cursor>();
    Status status = TableScan::Open(*t->file, *t->table, cursor->scan);
    if (!status.Ok()) {
        SetError(vtab, platform::Utf16ToUtf8(status.message));
        return SQLITE_ERROR;
    }
    *out = cursor.release();
    return SQLITE_OK;
}

int Close(sqlite3_vtab_cursor* cursor) {
    delete static_cast<Cursor*>(cursor);
    return SQLITE_OK;
}

int Next(sqlite3_vtab_cursor* base) {
    auto* c = static_cast<Cursor*>(base);
    c->atEnd = !c->scan->Next();
    ++c->row;
    return SQLITE_OK;
}

int Filter(sqlite3_vtab_cursor* base, int, const char*, int, sqlite3_value**) {
    auto* c = static_cast<Cursor*>(base);
    c->scan->Rewind();
    c->row = 0;
    return Next(base);
}

int Eof(sqlite3_vtab_cursor* base) { return static_cast<Cursor*>(base)->atEnd; }

int Column(sqlite3_vtab_cursor* base, sqlite3_context* context, int i) {
    auto* c = static_cast<Cursor*>(base);
    if (i < 0 || static_cast<std::size_t>(i) >= static_cast<VTable*>(base->pVtab)->table->columns.size())
        sqlite3_result_null(context);
    else c->scan->Result(static_cast<std::size_t>(i), context);
    return SQLITE_OK;
}

int Rowid(sqlite3_vtab_cursor* base, sqlite3_int64* rowid) {
    *rowid = static_cast<Cursor*>(base)->row;
    return SQLITE_OK;
}

int Update(sqlite3_vtab* vtab, int, sqlite3_value**, sqlite3_int64*) {
    SetError(vtab, platform::Utf16ToUtf8(ReadOnlySentence(static_cast<VTable*>(vtab)->file->Name())));
    return SQLITE_READONLY;
}

int Rename(sqlite3_vtab* vtab, const char*) { return Update(vtab, 0, nullptr, nullptr); }

// Every callback runs guarded: the table's reader allocates and may throw, and neither may
// unwind into SQLite.
sqlite3_module MakeModule() {
    sqlite3_module m{};
    m.iVersion = 1;
    m.xCreate = &GuardedCallback<Connect>::Call;
    m.xConnect = &GuardedCallback<Connect>::Call;
    m.xBestIndex = &GuardedCallback<BestIndex>::Call;
    m.xDisconnect = &GuardedCallback<Disconnect>::Call;
    m.xDestroy = &GuardedCallback<Disconnect>::Call;
    m.xOpen = &GuardedCallback<Open>::Call;
    m.xClose = &GuardedCallback<Close>::Call;
    m.xFilter = &GuardedCallback<Filter>::Call;
    m.xNext = &GuardedCallback<Next>::Call;
    m.xEof = &GuardedCallback<Eof>::Call;
    m.xColumn = &GuardedCallback<Column>::Call;
    m.xRowid = &GuardedCallback<Rowid>::Call;
    m.xUpdate = &GuardedCallback<Update>::Call;
    m.xRename = &GuardedCallback<Rename>::Call;
    return m;
}

const sqlite3_module kModule = MakeModule();

}  // namespace

int RegisterAccessModule(sqlite3* db, std::unique_ptr<AccessFile> file) {
    AccessFile* raw = file.release();
    return sqlite3_create_module_v2(db, kAccessModuleName, &kModule, raw,
                                    [](void* p) { delete static_cast<AccessFile*>(p); });
}

}  // namespace orv::engine::access
