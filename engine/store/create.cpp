// New database files and compacted copies, each published atomically beside its final name.
#include <sqlite3.h>

#include "engine/access/access_file.h"
#include "engine/store/files.h"
#include "engine/store/store.h"
#include "platform/format.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

Status SqliteFailure(sqlite3* db, const std::u16string& path, const char16_t* doing) {
    std::u16string detail = platform::Utf8ToUtf16(db ? sqlite3_errmsg(db) : "out of memory");
    return Status::Error(E_FAIL, platform::Format(u"Cannot %s '%s': %s.", doing, path.c_str(), detail.c_str()),
                         u"HY000", db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM);
}

}  // namespace

Status CreateDatabaseFile(const std::u16string& path) {
    Status status = CheckNewFilePath(path, u"database file");
    if (!status.Ok()) return status;
    const std::string narrow = platform::Utf16ToUtf8(path);
    std::string temporary;
    FileHandle held;
    status = MakeTemporaryBeside(narrow, temporary, held);
    if (!status.Ok()) return status;

    // An empty database with its header written, so that the file is a database file from
    // its first byte (a zero-length file would also open, but names nothing).
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(temporary.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "PRAGMA page_size = 4096; PRAGMA user_version = 1; PRAGMA user_version = 0;", nullptr,
                          nullptr, nullptr);
    if (rc != SQLITE_OK) {
        status = SqliteFailure(db, path, u"create the database file");
        sqlite3_close(db);
        RemoveTemporaryDatabase(temporary);
        return status;
    }
    sqlite3_close(db);
    return PublishFile(temporary, path, u"database file");
}

Status CompactDatabaseFile(const std::u16string& source, const std::u16string& destination) {
    Status status = CheckNewFilePath(destination, u"compacted copy");
    if (!status.Ok()) return status;
    const std::string narrowSource = platform::Utf16ToUtf8(source);
    StoreOptions options;
    options.dataSource = source;
    options.readOnly = true;
    std::unique_ptr<Store> store;
    if (access::IsAccessDatabase(source))
        return Status::Error(DB_SEC_E_PERMISSIONDENIED, access::ReadOnlySentence(source), u"42000");
    status = OpenDatabaseFile(options, store);  // the same checks and messages as an open
    if (!status.Ok()) return status;
    sqlite3* db = nullptr;
    status = store->Connect(&db);
    if (!status.Ok()) return status;

    std::string temporary;
    FileHandle held;
    status = MakeTemporaryBeside(platform::Utf16ToUtf8(destination), temporary, held);
    if (status.Ok()) {
        CurrentEnv().Remove(temporary);  // VACUUM INTO writes a file that does not exist yet
        sqlite3_stmt* vacuum = nullptr;
        int rc = sqlite3_prepare_v2(db, "VACUUM INTO ?1", -1, &vacuum, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_bind_text(vacuum, 1, temporary.c_str(), -1, SQLITE_TRANSIENT);
        if (rc == SQLITE_OK) rc = sqlite3_step(vacuum) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
        sqlite3_finalize(vacuum);
        if (rc != SQLITE_OK) {
            status = SqliteFailure(db, source, u"compact");
            RemoveTemporaryDatabase(temporary);
        } else {
            status = PublishFile(temporary, destination, u"compacted copy");
        }
    }
    sqlite3_close(db);
    return status;
}

}  // namespace orv::engine
