// Walking a PostgreSQL server's rows: the library (Execute, FetchNext, every field read as
// UTF-16 text) against the same walk written directly on libpq (the whole result in text
// form, each field converted to UTF-16 with the same conversion). Also the peak memory of
// the library's forward walk at two sizes, to show that it does not grow with the rows.
//
// Starts a throwaway server of its own (tests/support/pg_server.sh) and removes it at the end.
//
//   bench_pg [rows]        default 1,000,000; the memory walk also uses five times as many
#include <libpq-fe.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "OrvOleDb.h"
#include "bench/peak_memory.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string g_socket;
const std::string kState = "/tmp/orv-bench-pg.state";

void Fail(const char* what, PGconn* conn) {
    std::fprintf(stderr, "%s: %s\n", what, conn ? PQerrorMessage(conn) : "");
    std::system((std::string(ORV_PG_SCRIPT) + " stop " + kState).c_str());
    std::exit(1);
}

PGconn* Connect() {
    const char* keys[] = {"host", "dbname", "user", nullptr};
    const char* values[] = {g_socket.c_str(), "postgres", "postgres", nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 0);
    if (PQstatus(conn) != CONNECTION_OK) Fail("connect", conn);
    return conn;
}

void MakeTable(const char* name, long rows) {
    PGconn* conn = Connect();
    const std::string sql = std::string("DROP TABLE IF EXISTS ") + name + "; CREATE TABLE " + name +
                            "(id int, name varchar(50), price float8, made timestamp, note varchar(100)); "
                            "INSERT INTO " +
                            name +
                            " SELECT i, 'part number ' || i, i * 0.25, "
                            "timestamp '2020-01-01 12:30:00' + (i % 1000) * interval '1 day', "
                            "CASE WHEN i % 3 = 0 THEN NULL ELSE 'a longer note about part ' || i END "
                            "FROM generate_series(1, " +
                            std::to_string(rows) + ") i";
    for (const std::string& step : {sql, "VACUUM ANALYZE " + std::string(name)}) {
        PGresult* result = PQexec(conn, step.c_str());
        if (PQresultStatus(result) != PGRES_COMMAND_OK) Fail("setup", conn);
        PQclear(result);
    }
    PQfinish(conn);
}

// The reference: libpq's text results, each field converted to UTF-16.
double RawWalk(const char* table, long& rows, std::size_t& checksum) {
    auto start = Clock::now();
    PGconn* conn = Connect();
    PGresult* result = PQexec(conn, (std::string("SELECT * FROM ") + table).c_str());
    if (PQresultStatus(result) != PGRES_TUPLES_OK) Fail("select", conn);
    std::vector<char16_t> buffer(1 << 16);
    rows = PQntuples(result);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < 5; ++c) {
            if (PQgetisnull(result, r, c)) continue;
            checksum += orv::platform::Utf8ToUtf16(PQgetvalue(result, r, c),
                                                   static_cast<std::size_t>(PQgetlength(result, r, c)), buffer.data());
        }
    }
    PQclear(result);
    PQfinish(conn);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The library: a command on a connection, every field read as text.
double LibraryWalk(const char* table, long& rows, std::size_t& checksum) {
    auto start = Clock::now();
    OrvOleDbConnection connection;
    const std::u16string init = u"Provider=PostgreSQL;Initial Catalog=postgres;User ID=postgres;Data Source=" +
                                orv::platform::Utf8ToUtf16(g_socket);
    if (connection.OpenFromInitializationString(CComBSTR(init.c_str()), false) != S_OK) {
        std::fprintf(stderr, "open failed: %s\n", orv::platform::Utf16ToUtf8(connection.GetErrorText().Str()).c_str());
        std::exit(1);
    }
    OrvOleDbCommand command;
    command.SetConnection(&connection);
    command.SetCommandText(CString(orv::platform::Utf8ToUtf16(std::string("SELECT * FROM ") + table).c_str()));
    if (command.Execute() != OrvOleDbCommand::dbTrue) {
        std::fprintf(stderr, "execute failed: %s\n",
                     orv::platform::Utf16ToUtf8(command.GetErrorInfo(true).Str()).c_str());
        std::exit(1);
    }
    rows = 0;
    while (command.FetchNext() == OrvOleDbCommand::dbTrue) {
        for (unsigned __int64 c = 1; c <= 5; ++c) checksum += command.FieldAsString(c).GetLength();
        ++rows;
    }
    command.Close();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Peak resident memory of a forward walk.
long WalkPeakKb(const char* table) {
    return orv::bench::ChildPeakKb([table] {
        long rows = 0;
        std::size_t checksum = 0;
        LibraryWalk(table, rows, checksum);
        std::printf("    walked %ld rows\n", rows);
    });
}

}  // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::atol(argv[1]) : 1000000;
    if (std::system((std::string(ORV_PG_SCRIPT) + " start " + kState).c_str()) != 0) return 1;
    std::ifstream(kState) >> g_socket;
    std::printf("bench_pg: %ld rows (integer, short text, real, timestamp, text with NULLs) on PostgreSQL\n", count);
    MakeTable("parts", count);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    long rawRows = 0, libRows = 0;
    std::size_t rawSum = 0, libSum = 0;
    double raw = 1e9, lib = 1e9;
    for (int run = 0; run < 3; ++run) {  // best of three, each
        raw = std::min(raw, RawWalk("parts", rawRows, rawSum));
        lib = std::min(lib, LibraryWalk("parts", libRows, libSum));
    }
    std::printf("  raw libpq walk:    %10.0f rows/s\n", rawRows / raw);
    std::printf("  library walk:      %10.0f rows/s\n", libRows / lib);
    std::printf("  ratio library/raw: %.2f\n", raw / lib);

    const long small = WalkPeakKb("parts");
    MakeTable("parts5", count * 5);
    const long large = WalkPeakKb("parts5");
    std::printf("  peak resident memory, forward walk of %ld rows: %ld KiB; of %ld rows: %ld KiB\n", count, small,
                count * 5, large);
    CoUninitialize();
    std::system((std::string(ORV_PG_SCRIPT) + " stop " + kState).c_str());
    return 0;
}
