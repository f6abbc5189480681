// Compacting a database file: OrvOleDbConnection::CompactMdb against SQLite's own
// VACUUM INTO of the same file, in the same run.
//
//   bench_compact [megabytes]        default 1024
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "OrvOleDb.h"

namespace {

using Clock = std::chrono::steady_clock;

// A file of about `megabytes`, with a quarter of its rows deleted so there is space to reclaim.
void MakeFile(const std::string& path, long megabytes) {
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    long rows = megabytes * 1024 * 1024 / 300;
    std::string sql =
        "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
        "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b REAL);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(rows) +
        ") INSERT INTO t SELECT i, printf('%.250c', char(65 + i % 26)), i * 0.5 FROM n;"
        "DELETE FROM t WHERE id % 4 = 0;";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

int main(int argc, char** argv) {
    long megabytes = argc > 1 ? std::atol(argv[1]) : 1024;
    std::string dir = std::filesystem::temp_directory_path() / "orv-bench-compact";
    std::filesystem::create_directories(dir);
    std::string path = dir + "/plant.mdb";
    std::printf("bench_compact: a database file of about %ld MB\n", megabytes);
    MakeFile(path, megabytes);
    std::printf("  file: %.0f MB\n", std::filesystem::file_size(path) / 1048576.0);

    // The reference: VACUUM INTO a new file.
    auto start = Clock::now();
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    std::string vacuum = "VACUUM INTO '" + dir + "/reference.mdb'";
    sqlite3_exec(db, vacuum.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    double raw = Seconds(start);
    std::filesystem::remove(dir + "/reference.mdb");

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    OrvOleDbConnection connection;
    std::u16string init = u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + orv::platform::Utf8ToUtf16(path);
    connection.OpenFromInitializationString(CComBSTR(init.c_str()), false);
    start = Clock::now();
    HRESULT hr = connection.CompactMdb();
    double library = Seconds(start);
    CoUninitialize();
    if (hr != S_OK) {
        std::printf("CompactMdb failed: %s\n", orv::platform::Utf16ToUtf8(connection.GetErrorText().Str()).c_str());
        return 1;
    }
    std::printf("  VACUUM INTO:  %.2f s\n  CompactMdb:   %.2f s (the copy synced to disk and moved over the file)\n",
                raw, library);
    std::printf("  ratio CompactMdb / VACUUM INTO: %.2f\n", library / raw);
    std::printf("  compacted file: %.0f MB\n", std::filesystem::file_size(path) / 1048576.0);
    std::filesystem::remove_all(dir);
    return 0;
}
