// Statements on a server through the library's command: a cancel from another thread, and
// every type read as the OLE DB type it maps to, in each large-value mode. The dialect,
// the rows affected and the error records are cases of pg/cases/orvsql.test.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "pg/pg_test.h"

using namespace orv::test;

namespace {

class PgCommandTest : public PgTest {};

// Cancel from another thread asks the server to stop the statement; inside a transaction
// only that statement is undone, and the connection goes on.
TEST_F(PgCommandTest, CancelFromAnotherThreadStopsTheServersStatement) {
    Run(u"CREATE TABLE kept(n int)");
    OrvOleDbCommand command;
    command.SetConnection(&m_connection);
    EXPECT_TRUE(command.Cancel());  // nothing running: the server ignores it

    ASSERT_TRUE(m_connection.StartTransaction());
    command.SetCommandText(u"INSERT INTO kept VALUES (1)");
    ASSERT_TRUE(Executes(command));
    std::atomic<bool> done{false};
    // Cancel until the statement has ended: a request that came before it started is lost.
    std::thread canceller([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            command.Cancel();
        }
    });
    const auto started = std::chrono::steady_clock::now();
    command.SetCommandText(u"SELECT pg_sleep(60)");
    const auto status = command.Execute();
    done = true;
    canceller.join();
    EXPECT_EQ(status, OrvOleDbCommand::dbError);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_TRUE(Holds(Utf8(command.GetErrorText()), {"57014"}));

    EXPECT_EQ(Query(u"SELECT count(*) FROM kept"), (Rows{{u"1"}}));
    ASSERT_TRUE(m_connection.Commit());
    EXPECT_EQ(Query(u"SELECT count(*) FROM kept"), (Rows{{u"1"}}));
}

TEST_F(PgCommandTest, EveryTypeReadsAsItsOleDbType) {
    Run(u"CREATE TABLE typed(i2 int2, i4 int4, i8 int8, f4 float4, f8 float8, n numeric(12,3), m money, "
        u"t text, v varchar(20), c char(4), b bytea, ok bool, d date, tm time, ts timestamp, tz timestamptz, "
        u"u uuid, j jsonb, free numeric)");
    Run(u"SET TIME ZONE 'UTC'");
    Run(u"INSERT INTO typed VALUES (-32768, 2147483647, 9007199254740993, 1.5, 0.1, 123456789.125, -1234.56, "
        u"'long text', 'vary', 'ab', '\\x00ff41', true, '2024-02-29', '13:45:07', '2024-03-01 13:45:00.5', "
        u"'2024-03-01 12:00:00+00', 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11', '{\"k\": [1, 2]}', "
        u"3.14159265358979323846264338327950288)");
    Run(u"INSERT INTO typed DEFAULT VALUES");

    OrvOleDbCommand command;
    Open(command, u"SELECT * FROM typed");
    const std::vector<std::pair<DBTYPE, std::u16string>> expected = {
        {DBTYPE_I2, u"-32768"},
        {DBTYPE_I4, u"2147483647"},
        {DBTYPE_I8, u"9007199254740993"},
        {DBTYPE_R4, u"1.500000"},
        {DBTYPE_R8, u"0.100000"},
        {DBTYPE_NUMERIC, u"123456789.125"},
        {DBTYPE_CY, u"-1234.56"},
        {DBTYPE_WSTR, u"long text"},
        {DBTYPE_WSTR, u"vary"},
        {DBTYPE_WSTR, u"ab  "},
        {DBTYPE_BYTES, u""},
        {DBTYPE_BOOL, u""},
        {DBTYPE_DATE, u""},
        {DBTYPE_DATE, u""},
        {DBTYPE_DATE, u""},
        {DBTYPE_DATE, u""},
        {DBTYPE_GUID, u"a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11"},
        {DBTYPE_WSTR, u"{\"k\": [1, 2]}"},
        {DBTYPE_WSTR, u"3.14159265358979323846264338327950288"},
    };
    ASSERT_EQ(command.GetColumnCount(), expected.size());
    ASSERT_EQ(command.FetchNext(), OrvOleDbCommand::dbTrue);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned __int64 col = i + 1;
        EXPECT_EQ(command.GetRawType(col) & ~DBTYPE_BYREF, expected[i].first) << Utf8(command.GetColumnName(col));
        if (!expected[i].second.empty()) {
            EXPECT_EQ(Text(command.FieldAsString(col)), expected[i].second) << Utf8(command.GetColumnName(col));
        }
    }
    EXPECT_EQ(command.FieldAsLong(2), 2147483647);
    EXPECT_EQ(command.FieldAsLong(12), -1) << "true reads as the OLE DB truth";
    EXPECT_TRUE(Holds(Utf8(command.FieldAsString(13)), {"2024"}));
    // timestamptz reads as the session's local time (the time zone set above).
    EXPECT_TRUE(Holds(Utf8(command.FieldAsString(16)), {"12:00"}));
    CHeapPtr<unsigned char> bytes;
    ASSERT_EQ(command.GetBlobData(11, bytes), 3u);
    EXPECT_EQ(std::memcmp(bytes.m_pData, "\x00\xff\x41", 3), 0);

    ASSERT_EQ(command.FetchNext(), OrvOleDbCommand::dbTrue);
    for (unsigned __int64 col = 1; col <= expected.size(); ++col)
        EXPECT_EQ(command.IsNull(col), OrvOleDbCommand::dbTrue) << Utf8(command.GetColumnName(col));
}

TEST_F(PgCommandTest, ByteaInEveryLargeValueMode) {
    Run(u"CREATE TABLE blobs(id int, b bytea)");
    Run(u"INSERT INTO blobs SELECT 1, decode(repeat('0123456789abcdef', 4096), 'hex')");
    for (DBBLOBHANDLINGENUM mode : {DBBLOBHANDLING_DEFAULT, DBBLOBHANDLING_NOSTREAMS, DBBLOBHANDLING_SKIP}) {
        OrvOleDbCommand command;
        command.SetConnection(&m_connection);
        ASSERT_TRUE(command.SetBlobHandling(mode));
        command.SetCommandText(u"SELECT id, b FROM blobs");
        ASSERT_TRUE(Executes(command));
        ASSERT_EQ(command.FetchNext(), OrvOleDbCommand::dbTrue);
        EXPECT_EQ(command.IsBlob(2), OrvOleDbCommand::dbTrue);
        CHeapPtr<unsigned char> data;
        const ULONG got = command.GetBlobData(2, data);
        if (mode == DBBLOBHANDLING_SKIP) {
            EXPECT_EQ(got, 0u) << "skipped large values are not fetched";
            continue;
        }
        ASSERT_EQ(got, 32768u) << "mode " << mode;
        EXPECT_EQ(data.m_pData[0], 0x01);
        EXPECT_EQ(data.m_pData[32767], 0xef);
    }
}

}  // namespace
