// Compacting a database file: OrvOleDbConnection::CompactMdb against SQLite's own
// VACUUM INTO of the same file, in the same run. CompactMdb syncs its copy to disk before
// it moves it over the file, so the reference syncs the file VACUUM INTO made as well; and
// everything written before is flushed (sync) before either is timed, so that neither
// pays for the other's or the set-up's writes. Each round copies the file afresh, runs
// VACUUM INTO from the copy and then CompactMdb on it; the ratio printed last is the median
// of the rounds.
//
//   bench_compact [megabytes] [rounds]        defaults 1024 and 3
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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

// SQLite's VACUUM INTO a new file beside it, synced to disk (the reference), in seconds.
double VacuumInto(const std::string& path, const std::string& target) {
    ::sync();
    auto start = Clock::now();
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    std::string vacuum = "VACUUM INTO '" + target + "'";
    sqlite3_exec(db, vacuum.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const int fd = ::open(target.c_str(), O_RDONLY);
    ::fsync(fd);
    ::close(fd);
    const double seconds = Seconds(start);
    std::filesystem::remove(target);
    return seconds;
}

// CompactMdb of the file, in seconds; negative when it failed.
double Compact(const std::string& path) {
    OrvOleDbConnection connection;
    std::u16string init = u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + orv::platform::Utf8ToUtf16(path);
    connection.OpenFromInitializationString(CComBSTR(init.c_str()), false);
    ::sync();
    auto start = Clock::now();
    HRESULT hr = connection.CompactMdb();
    const double seconds = Seconds(start);
    if (hr == S_OK) return seconds;
    std::printf("CompactMdb failed: %s\n", orv::platform::Utf16ToUtf8(connection.GetErrorText().Str()).c_str());
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    long megabytes = argc > 1 ? std::atol(argv[1]) : 1024;
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::string dir = std::filesystem::temp_directory_path() / "orv-bench-compact";
    std::filesystem::create_directories(dir);
    std::string path = dir + "/plant.mdb", work = dir + "/work.mdb";
    std::printf("bench_compact: a database file of about %ld MB\n", megabytes);
    MakeFile(path, megabytes);
    std::printf("  file: %.0f MB\n", std::filesystem::file_size(path) / 1048576.0);

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round) {
        std::filesystem::copy_file(path, work, std::filesystem::copy_options::overwrite_existing);
        const double raw = VacuumInto(work, dir + "/reference.mdb");
        const double library = Compact(work);
        if (library < 0) return 1;
        std::printf("  round %d: VACUUM INTO + sync %.2f s, CompactMdb %.2f s, ratio %.2f\n", round + 1, raw, library,
                    library / raw);
        ratios.push_back(library / raw);
    }
    CoUninitialize();
    std::printf("  compacted file: %.0f MB\n", std::filesystem::file_size(work) / 1048576.0);
    std::sort(ratios.begin(), ratios.end());
    std::printf("  ratio CompactMdb / VACUUM INTO: %.2f (median of %d rounds; %.2f to %.2f)\n",
                ratios[ratios.size() / 2], rounds, ratios.front(), ratios.back());
    std::filesystem::remove_all(dir);
    return 0;
}
