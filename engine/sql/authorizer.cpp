#include "engine/sql/authorizer.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "engine/sql/tokens.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

// The path with symbolic links resolved; for a path that does not exist (a new file), its
// folder resolved and the name appended. Empty when not even the folder exists.
std::string Resolved(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer)) return buffer;
    const std::string folder = platform::FolderOf(path);
    const std::string name = platform::FileNameOf(path);
    if (name.empty() || name == "." || name == ".." || !::realpath(folder.c_str(), buffer)) return {};
    std::string resolved = buffer;
    if (resolved.back() != '/') resolved += '/';
    return resolved + name;
}

}  // namespace

SqlPolicy::SqlPolicy(const std::u16string& dataPath) {
    std::string path = platform::Utf16ToUtf8(dataPath);
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) path = platform::FolderOf(path);
    m_folder = Resolved(path);
}

void SqlPolicy::Install(sqlite3* db) { sqlite3_set_authorizer(db, &SqlPolicy::Authorize, this); }

bool SqlPolicy::InsideFolder(const std::string& folder, const std::string& path) {
    const std::string base = Resolved(folder), target = Resolved(path);
    if (base.empty() || target.empty()) return false;
    const std::string prefix = base.back() == '/' ? base : base + "/";
    return target.compare(0, prefix.size(), prefix) == 0 && target.size() > prefix.size();
}

int SqlPolicy::Authorize(void* self, int action, const char* a, const char* b, const char*, const char*) {
    // The authorizer is C: nothing may throw through it, and a refusal is the safe answer.
    try {
        return static_cast<SqlPolicy*>(self)->Decide(action, a, b);
    } catch (...) {
        return SQLITE_DENY;
    }
}

int SqlPolicy::Decide(int action, const char* a, const char* b) {
    switch (action) {
    case SQLITE_CREATE_VTABLE:
        if (m_declaring) return SQLITE_OK;
        m_refusal = std::string("Cannot create the virtual table '") + (a ? a : "") + "' (module " + (b ? b : "") +
                    "): SQL on this connection reaches only the tables of its own data; CREATE TABLE makes a table";
        return SQLITE_DENY;
    case SQLITE_ATTACH: {
        // An expression that is not a literal arrives as null: its file cannot be checked.
        const std::string file = a ? a : "";
        if (file.empty() || file == ":memory:") {
            if (a) return SQLITE_OK;  // a private database in memory or a temporary file
        } else if (file.compare(0, 5, "file:") != 0 && InsideFolder(m_folder, file)) {
            return SQLITE_OK;
        }
        m_refusal = "Cannot attach the database '" + file + "': only database files in the folder '" + m_folder +
                    "' of this connection's data can be attached, named by a plain path";
        return SQLITE_DENY;
    }
    case SQLITE_PRAGMA:
        // These move SQLite's own files (temporary tables, journals) to any folder.
        if (a && (sqlite3_stricmp(a, "temp_store_directory") == 0 || sqlite3_stricmp(a, "data_store_directory") == 0) &&
            b) {
            m_refusal = std::string("The pragma ") + a + " cannot be set on this connection";
            return SQLITE_DENY;
        }
        return SQLITE_OK;
    default: return SQLITE_OK;
    }
}

Status SqlPolicy::CheckStatement(const std::string& sql) {
    SqlTokenizer tokens(std::string_view(sql).substr(SkipTrivia(sql, "(")));
    SqlToken t;
    if (!tokens.Next(t) || !IsWordToken(t, "VACUUM")) return Status::Success();
    while (tokens.NextSignificant(t))
        if (IsWordToken(t, "INTO"))
            return Status::Error(DB_SEC_E_PERMISSIONDENIED,
                                 u"VACUUM INTO writes a file outside this connection's data and is not allowed; "
                                 u"compact a database file with CompactMdb (orvsql: .compact) instead.",
                                 u"42000");
    return Status::Success();
}

}  // namespace orv::engine
