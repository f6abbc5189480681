// Database files: SQLite 3 files under whatever name the host chose (plant.mdb is fine),
// and genuine Access files (Jet, ACE), which their first bytes hand to their own read-only
// store. Opening never creates or changes the file; anything else is refused with a
// sentence naming the path and what the file holds instead.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/access/access_file.h"
#include "engine/store/store.h"
#include "platform/format.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

constexpr char kSqliteMagic[] = "SQLite format 3";  // 16 bytes with its NUL

// What a file that is not a SQLite database seems to hold, from its first bytes.
std::u16string DescribeForeignFile(const unsigned char* head, std::size_t n) {
    auto startsWith = [&](const void* magic, std::size_t len, std::size_t at = 0) {
        return n >= at + len && std::memcmp(head + at, magic, len) == 0;
    };
    if (startsWith("PK\x03\x04", 4))
        return u"a zip archive (an .xlsx workbook opens with Extended Properties='Excel 12.0 Xml')";
    if (startsWith("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8))
        return u"a compound document (an .xls workbook opens with Extended Properties='Excel 8.0')";
    std::size_t printable = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (head[i] >= 0x20 || head[i] == '\t' || head[i] == '\n' || head[i] == '\r') ++printable;
    if (n > 0 && printable == n)
        return u"text (a delimited text file opens through its folder with Extended Properties='text')";
    return u"data in an unknown format";
}

class DatabaseFile final : public Store {
public:
    DatabaseFile(const StoreOptions& options, bool readOnly)
        : m_name(options.dataSource),
          m_path(platform::Utf16ToUtf8(options.dataSource)),
          m_readOnly(readOnly),
          m_lockTimeoutMs(options.lockTimeoutMs) {}

    Status OpenConnection(sqlite3** db) override {
        *db = nullptr;
        int flags = (m_readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
        int rc = sqlite3_open_v2(m_path.c_str(), db, flags, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_extended_result_codes(*db, 1);
            sqlite3_busy_timeout(*db, m_lockTimeoutMs);
            // Reading the schema makes SQLite look at the file now, not at the first statement.
            rc = sqlite3_exec(*db, "SELECT 1 FROM sqlite_master LIMIT 1", nullptr, nullptr, nullptr);
        }
        if (rc == SQLITE_OK) return Status::Success();
        Status failure = Describe(*db, rc);
        sqlite3_close(*db);
        *db = nullptr;
        return failure;
    }

    bool ReadOnly() const override { return m_readOnly; }
    const std::u16string& Name() const override { return m_name; }

private:
    Status Describe(sqlite3* db, int rc) const {
        const char16_t* reason = nullptr;
        switch (rc & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            reason = u"it is locked by another program or connection; try again when that one has finished";
            break;
        case SQLITE_NOTADB: reason = u"it is not a database file"; break;
        case SQLITE_CORRUPT: reason = u"the file is damaged"; break;
        case SQLITE_CANTOPEN: reason = u"it cannot be opened"; break;
        case SQLITE_PERM:
        case SQLITE_AUTH: reason = u"permission was denied"; break;
        default: break;
        }
        std::u16string detail = platform::Utf8ToUtf16(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        std::u16string message =
            reason ? platform::Format(u"Cannot open the database file '%s': %s (%s).", m_name.c_str(), reason,
                                      detail.c_str())
                   : platform::Format(u"Cannot open the database file '%s': %s.", m_name.c_str(), detail.c_str());
        return Status::Error(E_FAIL, std::move(message), u"08001", rc);
    }

    std::u16string m_name;
    std::string m_path;
    bool m_readOnly;
    int m_lockTimeoutMs;
};

Status FileError(const std::u16string& path, const char16_t* what, int err) {
    return Status::Error(E_FAIL, platform::Format(u"Cannot open the database file '%s': %s.", path.c_str(), what),
                         u"08001", err);
}

}  // namespace

Status OpenDatabaseFile(const StoreOptions& options, std::unique_ptr<Store>& store) {
    const std::u16string& name = options.dataSource;
    const std::string path = platform::Utf16ToUtf8(name);

    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        int err = errno;
        if (err == ENOENT || err == ENOTDIR) return FileError(name, u"there is no such file", err);
        if (err == EACCES) return FileError(name, u"permission denied on a folder of its path", err);
        return FileError(name, platform::Utf8ToUtf16(std::strerror(err)).c_str(), err);
    }
    if (S_ISDIR(info.st_mode))
        return FileError(name, u"it is a folder (a folder of text files opens with Extended Properties='text')",
                         EISDIR);
    if (!S_ISREG(info.st_mode)) return FileError(name, u"it is not a regular file", EINVAL);

    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == EACCES) return FileError(name, u"permission denied: the file cannot be read", err);
        return FileError(name, platform::Utf8ToUtf16(std::strerror(err)).c_str(), err);
    }
    unsigned char head[100];
    ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    if (n < 0) return FileError(name, u"the file cannot be read", errno);

    if (access::DetectFormat(head, std::size_t(n)) != access::FileFormat::None)
        return OpenAccessDatabase(options, store);
    // An empty file is an empty database, as SQLite itself treats it.
    if (n > 0 && (n < 16 || std::memcmp(head, kSqliteMagic, 16) != 0)) {
        std::u16string what = u"it is not a database file: it holds " + DescribeForeignFile(head, std::size_t(n));
        return Status::Error(E_FAIL, platform::Format(u"Cannot open '%s': %s.", name.c_str(), what.c_str()), u"08001",
                             SQLITE_NOTADB);
    }

    bool readOnly = options.readOnly || ::access(path.c_str(), W_OK) != 0;
    return AdoptAfterFirstConnection(std::make_unique<DatabaseFile>(options, readOnly), store);
}

Status ExecStatements(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    if (rc == SQLITE_OK) return Status::Success();
    std::u16string message = platform::Utf8ToUtf16(error ? error : sqlite3_errstr(rc));
    sqlite3_free(error);
    return Status::Error(E_FAIL, std::move(message), u"42000", rc);
}

Status AdoptAfterFirstConnection(std::unique_ptr<Store> candidate, std::unique_ptr<Store>& store) {
    sqlite3* db = nullptr;
    Status status = candidate->Connect(&db);
    if (!status.Ok()) return status;
    sqlite3_close(db);
    store = std::move(candidate);
    return Status::Success();
}

Status OpenStore(const StoreOptions& options, std::unique_ptr<Store>& store) {
    const std::u16string& props = options.providerString;
    auto startsWithNoCase = [&](std::u16string_view word) {
        if (props.size() < word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i)
            if (platform::ToLower16(props[i]) != word[i]) return false;
        return true;
    };
    if (startsWithNoCase(u"excel")) return OpenWorkbook(options, store);
    if (startsWithNoCase(u"text")) return OpenTextFolder(options, store);
    return OpenDatabaseFile(options, store);
}

}  // namespace orv::engine
