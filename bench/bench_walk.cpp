// Walking a result: the library (Execute, FetchNext, every field read) against the same
// walk written directly on SQLite (stepping and reading each column as UTF-16 text with a
// fast UTF-8 to UTF-16 conversion of its own), on two tables: the project's own, with sized
// text columns, and one declared without sizes as most SQLite tables are. Also the peak
// memory of a walk forwards and of one backwards (FetchLast, then FetchPrev to the first
// row), at two sizes, to show that neither grows with the number of rows, and the speed of
// the walk backwards against the walk forwards.
//
//   bench_walk [rows] [part] default 1,000,000; the memory walk uses ten times as many;
//                            part: "text" (field reads only), "back" (directions and memory),
//                            "profile-parts" or "profile-plain" (the library's walk of one
//                            table only, three times, to run under a profiler)
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "OrvOleDb.h"
#include "bench/peak_memory.h"

namespace {

using Clock = std::chrono::steady_clock;

// Processor time of this process: on a shared, loaded machine the wall clock counts the
// time other programs ran, the processor time only this walk's (the walks are single-threaded).
double ProcessorSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Wall-clock and processor seconds of one walk.
struct Timing {
    double wall = 0;
    double processor = 0;
};

// A table to walk: how it is made, how many columns it has and which one, if any, is read
// as bytes the way a host reads large values (1-based; 0 for none).
struct Table {
    const char* title;
    const char* name;
    const char* definition;
    const char* rows;  // the SELECT over n(i) that fills it
    int columns;
    int largeColumn;
};

// The project's own table: sized text, a DOUBLE, a DATETIME and a MEMO (read as bytes).
constexpr Table kParts{"sized columns: integer, TEXT(50), DOUBLE, DATETIME, MEMO",
                       "parts",
                       "id INTEGER, name TEXT(50), price DOUBLE, made DATETIME, note MEMO",
                       "SELECT i, 'part number ' || i, i * 0.25, "
                       "date('2020-01-01', '+' || (i % 1000) || ' days') || ' 12:30:00', "
                       "CASE WHEN i % 3 = 0 THEN NULL ELSE 'a longer note about part ' || i END FROM n",
                       5,
                       5};

// A table declared the way most SQLite tables are: no sizes, so every text column binds as
// wide text of the largest fixed size and every field is read as text.
constexpr Table kPlain{"plain columns: id INTEGER, name TEXT, qty INTEGER, price REAL, created TEXT, note TEXT",
                       "plain",
                       "id INTEGER, name TEXT, qty INTEGER, price REAL, created TEXT, note TEXT",
                       "SELECT i, 'customer ' || i, i % 100, i * 0.25, "
                       "date('2020-01-01', '+' || (i % 1000) || ' days') || ' 12:30:00', "
                       "CASE WHEN i % 3 = 0 THEN NULL ELSE 'a note about order ' || i END FROM n",
                       6,
                       0};

void MakeTable(const std::string& path, const Table& table, long rows) {
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    std::string sql = std::string("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; CREATE TABLE ") + table.name + "(" +
                      table.definition + ");" +
                      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                      std::to_string(rows) + ") INSERT INTO " + table.name + " " + table.rows + ";";
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "setup failed: %s\n", error);
        std::exit(1);
    }
    sqlite3_close(db);
}

std::string SelectAll(const Table& table) { return std::string("SELECT * FROM ") + table.name; }

// The reference: SQLite's C API, each column read as text and converted to UTF-16.
Timing RawWalk(const std::string& path, const Table& table, long& rows, std::size_t& checksum) {
    auto start = Clock::now();
    const double processorStart = ProcessorSeconds();
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, SelectAll(table).c_str(), -1, &statement, nullptr);
    std::vector<char16_t> buffer(1 << 16);
    rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        for (int c = 0; c < table.columns; ++c) {
            const char* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
            int n = sqlite3_column_bytes(statement, c);
            if (text) checksum += orv::platform::Utf8ToUtf16(text, static_cast<std::size_t>(n), buffer.data());
        }
        ++rows;
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return {std::chrono::duration<double>(Clock::now() - start).count(), ProcessorSeconds() - processorStart};
}

// Reads every field of the command's current row as text (the large column as bytes, as
// a host reads large values).
void ReadRow(OrvOleDbCommand& command, const Table& table, std::size_t& checksum) {
    for (int c = 1; c <= table.columns; ++c) {
        if (c == table.largeColumn) {
            CHeapPtr<unsigned char> data;
            checksum += command.GetBlobData(static_cast<unsigned __int64>(c), data) / 2;
        } else {
            checksum += command.FieldAsString(static_cast<unsigned __int64>(c)).GetLength();
        }
    }
}

// The library: a command on a connection, every field of every row read, first row to
// last or (`backward`) FetchLast and then FetchPrev to the first.
Timing LibraryWalk(const std::string& path, const Table& table, long& rows, std::size_t& checksum,
                   bool backward = false) {
    auto start = Clock::now();
    const double processorStart = ProcessorSeconds();
    OrvOleDbConnection connection;
    std::u16string init =
        u"Provider=Microsoft.ACE.OLEDB.12.0;Mode=Read;Data Source=" + orv::platform::Utf8ToUtf16(path);
    if (connection.OpenFromInitializationString(CComBSTR(init.c_str()), false) != S_OK) {
        std::fprintf(stderr, "open failed\n");
        std::exit(1);
    }
    OrvOleDbCommand command;
    command.SetConnection(&connection);
    command.SetCommandText(CString(orv::platform::Utf8ToUtf16(SelectAll(table))));
    if (command.Execute() != OrvOleDbCommand::dbTrue) {
        std::fprintf(stderr, "execute failed: %s\n",
                     orv::platform::Utf16ToUtf8(command.GetErrorInfo(true).Str()).c_str());
        std::exit(1);
    }
    rows = 0;
    if (backward) {
        for (auto got = command.FetchLast(); got == OrvOleDbCommand::dbTrue; got = command.FetchPrev()) {
            ReadRow(command, table, checksum);
            ++rows;
        }
    } else {
        while (command.FetchNext() == OrvOleDbCommand::dbTrue) {
            ReadRow(command, table, checksum);
            ++rows;
        }
    }
    command.Close();
    return {std::chrono::duration<double>(Clock::now() - start).count(), ProcessorSeconds() - processorStart};
}

// Both walks of one table, alternately, `rounds` times: the best speed of each and the
// median and range of the ratios of the rounds (the two walks of a round share the load
// of the machine).
void CompareWalks(const std::string& path, const Table& table, int rounds) {
    long rawRows = 0, libRows = 0;
    std::size_t rawSum = 0, libSum = 0;
    double raw = 1e9, lib = 1e9;
    std::vector<double> ratios, processorRatios;
    for (int round = 0; round < rounds; ++round) {
        const Timing r = RawWalk(path, table, rawRows, rawSum);
        const Timing l = LibraryWalk(path, table, libRows, libSum);
        raw = std::min(raw, r.wall);
        lib = std::min(lib, l.wall);
        ratios.push_back(r.wall / l.wall);
        processorRatios.push_back(r.processor / l.processor);
    }
    std::sort(ratios.begin(), ratios.end());
    std::sort(processorRatios.begin(), processorRatios.end());
    std::printf("  %s\n", table.title);
    std::printf("    raw SQLite walk:  %10.0f rows/s\n", rawRows / raw);
    std::printf("    library walk:     %10.0f rows/s\n", libRows / lib);
    std::printf("    ratio library/raw: median %.2f, range %.2f to %.2f over %d rounds\n", ratios[ratios.size() / 2],
                ratios.front(), ratios.back(), rounds);
    std::printf("    ratio library/raw, processor time: median %.2f, range %.2f to %.2f\n",
                processorRatios[processorRatios.size() / 2], processorRatios.front(), processorRatios.back());
}

// The library's walk backwards against its walk forwards over the same table, alternately,
// `rounds` times: the median and range of the ratios of the rounds.
void CompareDirections(const std::string& path, const Table& table, int rounds) {
    std::vector<double> ratios;
    long forwardRows = 0, backwardRows = 0;
    std::size_t forwardSum = 0, backwardSum = 0;
    double forward = 1e9, backward = 1e9;
    for (int round = 0; round < rounds; ++round) {
        const double f = LibraryWalk(path, table, forwardRows, forwardSum).wall;
        const double b = LibraryWalk(path, table, backwardRows, backwardSum, true).wall;
        forward = std::min(forward, f);
        backward = std::min(backward, b);
        ratios.push_back(f / b);
    }
    if (forwardRows != backwardRows || forwardSum != backwardSum) {
        std::fprintf(stderr, "the walk backwards read other rows: %ld against %ld\n", backwardRows, forwardRows);
        std::exit(1);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("  walk backwards (FetchLast, then FetchPrev to the first row), %s\n", table.name);
    std::printf("    forward walk:     %10.0f rows/s\n", forwardRows / forward);
    std::printf("    backward walk:    %10.0f rows/s\n", backwardRows / backward);
    std::printf("    ratio backward/forward: median %.2f, range %.2f to %.2f over %d rounds\n",
                ratios[ratios.size() / 2], ratios.front(), ratios.back(), rounds);
}

// Peak resident memory of a walk, forward or backward.
long WalkPeakKb(const std::string& path, bool backward = false) {
    return orv::bench::ChildPeakKb([&path, backward] {
        long rows = 0;
        std::size_t checksum = 0;
        const double seconds = LibraryWalk(path, kParts, rows, checksum, backward).wall;
        std::printf("    walked %ld rows %s: %.0f rows/s\n", rows, backward ? "backwards" : "forwards", rows / seconds);
    });
}

}  // namespace

int main(int argc, char** argv) {
    long count = argc > 1 ? std::atol(argv[1]) : 1000000;
    const std::string part = argc > 2 ? argv[2] : "";
    std::string dir = std::filesystem::temp_directory_path() / "orv-bench-walk";
    std::filesystem::create_directories(dir);
    std::printf("bench_walk: %ld rows, every field of every row as UTF-16 text\n", count);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    const std::string path = dir + "/walk.db";
    const std::string plain = dir + "/plain.db";
    if (part == "profile-parts" || part == "profile-plain") {
        const Table& table = part == "profile-parts" ? kParts : kPlain;
        MakeTable(path, table, count);
        for (int round = 0; round < 3; ++round) {
            long rows = 0;
            std::size_t checksum = 0;
            const double seconds = LibraryWalk(path, table, rows, checksum).wall;
            std::printf("  library walk of %s: %.0f rows/s\n", table.name, rows / seconds);
        }
        std::filesystem::remove_all(dir);
        CoUninitialize();
        return 0;
    }
    MakeTable(path, kParts, count);
    if (part != "back") {
        MakeTable(plain, kPlain, count);
        CompareWalks(path, kParts, 3);
        CompareWalks(plain, kPlain, 3);
        std::filesystem::remove(plain);
    }
    if (part == "text") {
        std::filesystem::remove_all(dir);
        CoUninitialize();
        return 0;
    }
    CompareDirections(path, kParts, 3);

    long small = WalkPeakKb(path);
    long smallBack = WalkPeakKb(path, true);
    std::string big = dir + "/walk10.db";
    MakeTable(big, kParts, count * 10);
    long large = WalkPeakKb(big);
    long largeBack = WalkPeakKb(big, true);
    std::printf("  peak resident memory, forward walk of %ld rows: %ld KiB; of %ld rows: %ld KiB\n", count, small,
                count * 10, large);
    std::printf("  peak resident memory, backward walk of %ld rows: %ld KiB; of %ld rows: %ld KiB\n", count, smallBack,
                count * 10, largeBack);
    std::filesystem::remove_all(dir);
    CoUninitialize();
    return 0;
}
