// Walking a result: the library (Execute, FetchNext, every field read) against the same
// walk written directly on SQLite (stepping and reading each column as UTF-16 text with a
// fast UTF-8 to UTF-16 conversion of its own). Also the peak memory of a forward walk, at
// two sizes, to show that it does not grow with the number of rows.
//
//   bench_walk [rows]        default 1,000,000; the memory walk uses ten times as many
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "OrvOleDb.h"
#include "bench/peak_memory.h"

namespace {

using Clock = std::chrono::steady_clock;

void MakeTable(const std::string& path, long rows) {
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    std::string sql =
        "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
        "CREATE TABLE parts(id INTEGER, name TEXT(50), price DOUBLE, made DATETIME, note MEMO);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(rows) +
        ") INSERT INTO parts SELECT i, 'part number ' || i, i * 0.25, "
        "date('2020-01-01', '+' || (i % 1000) || ' days') || ' 12:30:00', "
        "CASE WHEN i % 3 = 0 THEN NULL ELSE 'a longer note about part ' || i END FROM n;";
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "setup failed: %s\n", error);
        std::exit(1);
    }
    sqlite3_close(db);
}

// The reference: SQLite's C API, each column read as text and converted to UTF-16.
double RawWalk(const std::string& path, long& rows, std::size_t& checksum) {
    auto start = Clock::now();
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT * FROM parts", -1, &statement, nullptr);
    std::vector<char16_t> buffer(1 << 16);
    rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        for (int c = 0; c < 5; ++c) {
            const char* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
            int n = sqlite3_column_bytes(statement, c);
            if (text) checksum += orv::platform::Utf8ToUtf16(text, static_cast<std::size_t>(n), buffer.data());
        }
        ++rows;
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The library: a command on a connection, every field read as text (the long note column
// as bytes, as a host reads large values).
double LibraryWalk(const std::string& path, long& rows, std::size_t& checksum) {
    auto start = Clock::now();
    OrvOleDbConnection connection;
    std::u16string init = u"Provider=Microsoft.ACE.OLEDB.12.0;Mode=Read;Data Source=" + orv::platform::Utf8ToUtf16(path);
    if (connection.OpenFromInitializationString(CComBSTR(init.c_str()), false) != S_OK) {
        std::fprintf(stderr, "open failed\n");
        std::exit(1);
    }
    OrvOleDbCommand command;
    command.SetConnection(&connection);
    command.SetCommandText(CString(u"SELECT * FROM parts"));
    if (command.Execute() != OrvOleDbCommand::dbTrue) {
        std::fprintf(stderr, "execute failed: %s\n", orv::platform::Utf16ToUtf8(command.GetErrorInfo(true).Str()).c_str());
        std::exit(1);
    }
    rows = 0;
    while (command.FetchNext() == OrvOleDbCommand::dbTrue) {
        for (unsigned __int64 c = 1; c <= 4; ++c) checksum += command.FieldAsString(c).GetLength();
        CHeapPtr<unsigned char> note;
        checksum += command.GetBlobData(5, note) / 2;
        ++rows;
    }
    command.Close();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Peak resident memory of a forward walk.
long WalkPeakKb(const std::string& path) {
    return orv::bench::ChildPeakKb([&path] {
        long rows = 0;
        std::size_t checksum = 0;
        LibraryWalk(path, rows, checksum);
        std::printf("    walked %ld rows\n", rows);
    });
}

}  // namespace

int main(int argc, char** argv) {
    long count = argc > 1 ? std::atol(argv[1]) : 1000000;
    std::string dir = std::filesystem::temp_directory_path() / "orv-bench-walk";
    std::filesystem::create_directories(dir);
    std::string path = dir + "/walk.db";
    std::printf("bench_walk: %ld rows (integer, short text, real, date, long text)\n", count);
    MakeTable(path, count);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    long rawRows = 0, libRows = 0;
    std::size_t rawSum = 0, libSum = 0;
    double raw = 1e9, lib = 1e9;
    for (int run = 0; run < 3; ++run) {  // best of three, each
        raw = std::min(raw, RawWalk(path, rawRows, rawSum));
        lib = std::min(lib, LibraryWalk(path, libRows, libSum));
    }
    std::printf("  raw SQLite walk:  %10.0f rows/s\n", rawRows / raw);
    std::printf("  library walk:     %10.0f rows/s\n", libRows / lib);
    std::printf("  ratio library/raw: %.2f\n", raw / lib);

    long small = WalkPeakKb(path);
    std::string big = dir + "/walk10.db";
    MakeTable(big, count * 10);
    long large = WalkPeakKb(big);
    std::printf("  peak resident memory, forward walk of %ld rows: %ld KiB; of %ld rows: %ld KiB\n", count, small,
                count * 10, large);
    std::filesystem::remove_all(dir);
    CoUninitialize();
    return 0;
}
