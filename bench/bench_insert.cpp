// Inserting rows through the statement builder: OrvOleDbDDLCommand::Insert, one statement a
// row, all in one transaction, against the same rows inserted on SQLite's C API with a new
// SQL text prepared for each row (what the builder does in the end). Both write the same
// table in a fresh file.
//
//   bench_insert [rows]        default 100,000
#include <sqlite3.h>

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

const char* const kCreate = "CREATE TABLE orders(id INTEGER, name TEXT, qty INTEGER, price REAL, note TEXT)";

void Exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", sql, error);
        std::exit(1);
    }
}

void NewFile(const std::string& path) {
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, kCreate);
    sqlite3_close(db);
}

// The reference: a statement text per row, prepared, stepped and finalised.
double RawInserts(const std::string& path, long rows) {
    NewFile(path);
    auto start = Clock::now();
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, "BEGIN");
    char sql[256];
    for (long i = 1; i <= rows; ++i) {
        std::snprintf(sql, sizeof sql,
                      "INSERT INTO orders (id, name, qty, price, note) VALUES (%ld, 'customer %ld', %ld, %.2f, "
                      "'a note about order %ld')",
                      i, i, i % 100, i * 0.25, i);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK ||
            sqlite3_step(statement) != SQLITE_DONE) {
            std::fprintf(stderr, "insert failed: %s\n", sqlite3_errmsg(db));
            std::exit(1);
        }
        sqlite3_finalize(statement);
    }
    Exec(db, "COMMIT");
    sqlite3_close(db);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The library: the builder's column list set for each row, then Insert.
double BuilderInserts(const std::string& path, long rows) {
    NewFile(path);
    auto start = Clock::now();
    OrvOleDbConnection connection;
    std::u16string init = u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + orv::platform::Utf8ToUtf16(path);
    if (connection.OpenFromInitializationString(CComBSTR(init.c_str()), false) != S_OK) {
        std::fprintf(stderr, "open failed\n");
        std::exit(1);
    }
    OrvOleDbDDLCommand insert;
    insert.SetConnection(&connection);
    insert.SetTable(u"orders");
    if (!connection.StartTransaction()) {
        std::fprintf(stderr, "no transaction\n");
        std::exit(1);
    }
    for (long i = 1; i <= rows; ++i) {
        insert.AddColumn(u"id", u"%ld", i);
        insert.AddColumn(u"name", u"'customer %ld'", i);
        insert.AddColumn(u"qty", u"%ld", i % 100);
        insert.AddColumn(u"price", u"%.2f", i * 0.25);
        insert.AddColumn(u"note", u"'a note about order %ld'", i);
        if (!insert.Insert()) {
            std::fprintf(stderr, "insert failed: %s\n",
                         orv::platform::Utf16ToUtf8(insert.GetErrorInfo(true).Str()).c_str());
            std::exit(1);
        }
    }
    if (!connection.Commit()) {
        std::fprintf(stderr, "commit failed\n");
        std::exit(1);
    }
    insert.Close();
    connection.Close();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const long rows = argc > 1 ? std::atol(argv[1]) : 100000;
    std::string dir = std::filesystem::temp_directory_path() / "orv-bench-insert";
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/insert.db";
    std::printf("bench_insert: %ld rows in one transaction, one statement a row\n", rows);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    // Alternately, three rounds: the best speed of each and the median and range of the
    // ratios of the rounds.
    double raw = 1e9, lib = 1e9;
    std::vector<double> ratios;
    for (int round = 0; round < 3; ++round) {
        const double r = RawInserts(path, rows);
        const double l = BuilderInserts(path, rows);
        raw = std::min(raw, r);
        lib = std::min(lib, l);
        ratios.push_back(r / l);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("  raw SQLite, SQL text per row: %10.0f rows/s\n", rows / raw);
    std::printf("  statement builder Insert:     %10.0f rows/s\n", rows / lib);
    std::printf("  ratio builder/raw: median %.2f, range %.2f to %.2f over 3 rounds\n", ratios[1], ratios.front(),
                ratios.back());
    std::filesystem::remove_all(dir);
    CoUninitialize();
    return 0;
}
