// Test support: a temporary folder per test, real database files made with SQLite, and
// initialisation strings for them.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "platform/utf.h"

namespace orv::test {

// A folder that exists for the life of the object, below ORV_TEST_TMP or /tmp.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("ORV_TEST_TMP");
        std::filesystem::path root = base && *base ? base : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(root);
        std::string pattern = (root / "orvtest-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Path(const std::string& name = "") const {
        return name.empty() ? m_path.string() : (m_path / name).string();
    }
    std::u16string WPath(const std::string& name = "") const { return platform::Utf8ToUtf16(Path(name)); }

private:
    std::filesystem::path m_path;
};

// Creates a SQLite database at `path` and runs `sql` in it.
inline void MakeDatabase(const std::string& path,
                         const char* sql = "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT)") {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot create " + path);
    char* error = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error("setup SQL failed: " + message);
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// The engine's hidden files in `dir` (journals, temporary copies), each name followed by a
// space: "" when a write left none behind.
inline std::string HiddenFiles(const std::string& dir) {
    std::string names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename().string().rfind(".orv-", 0) == 0) names += entry.path().filename().string() + " ";
    return names;
}

// The initialisation string of the embedded provider for a database file.
inline std::u16string InitFor(const std::u16string& path, const std::u16string& more = u"") {
    return u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + path + u";" + more;
}

// How many descriptors of this process are open on `path`: a connection keeps its file
// open, so this tells whether connections were really closed.
inline int OpenDescriptorsOn(const std::string& path) {
    int count = 0;
    std::error_code ec;
    std::string target = std::filesystem::weakly_canonical(path, ec).string();
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::filesystem::path link = std::filesystem::read_symlink(fd.path(), ec);
        if (!ec && link.string() == target) ++count;
    }
    return count;
}

// Root reads every file whatever its permissions: permission tests are meaningless then.
inline bool RunningAsRoot() { return ::geteuid() == 0; }

}  // namespace orv::test
