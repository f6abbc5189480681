// Walking a server's rows: forward and backward across many fetch batches, moves that jump,
// a server that goes away in the middle of a walk, and threads with connections of their own.
#include <atomic>
#include <thread>

#include "pg/pg_test.h"

using namespace orv::test;

namespace {

class PgWalkTest : public PgTest {
protected:
    void SetUp() override {
        PgTest::SetUp();
        PgServer::Run(
            "CREATE TABLE IF NOT EXISTS walk AS SELECT g AS n, 'row ' || g AS label "
            "FROM generate_series(1, 5000) g");
    }
    static constexpr const char16_t* kWalk = u"SELECT n, label FROM walk ORDER BY n";
};

TEST_F(PgWalkTest, ForwardAndBackwardAcrossBatchesAndFromTheEnd) {
    OrvOleDbCommand command;
    Open(command, kWalk);
    LONG expected = 1;
    while (command.FetchNext() == OrvOleDbCommand::dbTrue) ASSERT_EQ(command.FieldAsLong(1), expected++);
    EXPECT_EQ(expected, 5001);

    ASSERT_EQ(command.FetchLast(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(command.FieldAsLong(1), 5000);
    for (LONG n = 4999; n >= 1; --n) {
        ASSERT_EQ(command.FetchPrev(), OrvOleDbCommand::dbTrue) << n;
        ASSERT_EQ(command.FieldAsLong(1), n);
        if (n == 2500) {
            EXPECT_EQ(Text(command.FieldAsString(2)), u"row 2500");
        }
    }
    EXPECT_EQ(command.FetchPrev(), OrvOleDbCommand::dbFalse);
    ASSERT_EQ(command.FetchFirst(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(command.FieldAsLong(1), 1);
    ASSERT_EQ(command.FetchNext(3210), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(command.FieldAsLong(1), 3212) << "a skip moves the cursor on the server";

    // The last row of a fresh result, and an empty one.
    OrvOleDbCommand fresh;
    Open(fresh, kWalk);
    ASSERT_EQ(fresh.FetchLast(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(fresh.FieldAsLong(1), 5000);
    ASSERT_EQ(fresh.FetchPrev(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(fresh.FieldAsLong(1), 4999);

    OrvOleDbCommand empty;
    Open(empty, u"SELECT n FROM walk WHERE n < 0");
    EXPECT_EQ(empty.FetchNext(), OrvOleDbCommand::dbFalse);
    EXPECT_EQ(empty.FetchLast(), OrvOleDbCommand::dbFalse);
    EXPECT_EQ(empty.GetColumnCount(), 1u);
}

TEST_F(PgWalkTest, OtherStatementsRunWhileAResultIsOpen) {
    OrvOleDbCommand reader;
    Open(reader, u"SELECT n FROM walk WHERE n <= 1500 ORDER BY n");
    m_connection.StartTransaction();
    int seen = 0;
    while (reader.FetchNext() == OrvOleDbCommand::dbTrue) {
        ++seen;
        if (reader.FieldAsLong(1) % 500 == 0) Run(u"UPDATE walk SET label = 'seen' WHERE n = 1");
    }
    EXPECT_TRUE(m_connection.Commit()) << Utf8(m_connection.GetErrorText());
    EXPECT_EQ(seen, 1500);
    EXPECT_EQ(Query(u"SELECT label FROM walk WHERE n = 1"), (Rows{{u"seen"}}));
    ASSERT_EQ(reader.FetchFirst(), OrvOleDbCommand::dbTrue) << "the cursor outlives the commit";
    EXPECT_EQ(reader.FieldAsLong(1), 1);
}

TEST_F(PgWalkTest, ServerGoingAwayMidWalkIsAClearErrorAndTheCacheDropsTheConnection) {
    const CComBSTR init = PgServer::Init(u"Extended Properties='application_name=doomed'");
    OrvOleDbConnectionCache* cache = OrvOleDbConnectionCache::GetCacheManager();
    OrvOleDbConnection* connection = cache->Connect(init, false);
    ASSERT_NE(connection, nullptr) << Utf8(cache->GetErrorText());
    {
        OrvOleDbCommand command;
        Open(command, u"SELECT n FROM walk ORDER BY n", connection);
        ASSERT_EQ(command.FetchNext(), OrvOleDbCommand::dbTrue);

        // The server ends this connection's backend, as a restart or a crash would.
        PgServer::Run("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'doomed'");
        OrvOleDbCommand::dbStatus status = OrvOleDbCommand::dbTrue;
        int rows = 1;
        while ((status = command.FetchNext()) == OrvOleDbCommand::dbTrue) ++rows;
        EXPECT_EQ(status, OrvOleDbCommand::dbFalse) << "a failed move ends the walk, with the reason in the error text";
        EXPECT_LE(rows, 1000) << "the rows of the first batch, then the failure";
        EXPECT_TRUE(Holds(Utf8(command.GetErrorText()), {"connection to the PostgreSQL server failed", "08006"}));
        EXPECT_FALSE(connection->IsConnected());
    }
    cache->Cache(connection);
    EXPECT_EQ(connection, nullptr) << "a dead connection is not kept";
    OrvOleDbConnection* again = cache->Connect(init, false);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->IsConnected());
    OrvOleDbCommand check;
    Open(check, u"SELECT count(*) FROM walk", again);
    EXPECT_EQ(ReadAll(check), (Rows{{u"5000"}}));
    check.Close();

    // An idle cached connection that dies is not handed out either.
    cache->Cache(again);
    ASSERT_NE(again, nullptr);
    OrvOleDbCommand kill;
    kill.SetConnection(again);  // borrowed while idle, to break it
    PgServer::Run("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'doomed'");
    kill.SetCommandText(u"SELECT 1");
    EXPECT_EQ(kill.Execute(), OrvOleDbCommand::dbError);
    kill.Close();
    OrvOleDbConnection* fresh = cache->Connect(init, false);
    ASSERT_NE(fresh, nullptr);
    EXPECT_TRUE(fresh->IsConnected());
    cache->Cache(fresh);
    cache->ClearCache(init);
}

TEST_F(PgWalkTest, ThreadsWithTheirOwnConnections) {
    std::vector<std::thread> threads;
    std::atomic<long long> total{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &total] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            {
                OrvOleDbConnection connection;
                EXPECT_TRUE(Opens(connection, PgServer::Init()));
                connection.StartTransaction();
                OrvOleDbCommand command;
                command.SetConnection(&connection);
                const std::u16string sql = u"SELECT n FROM walk WHERE n % 4 = " + std::u16string(1, u"0123"[t]);
                command.SetCommandText(sql.c_str());
                EXPECT_TRUE(Executes(command)) << "thread " << t;
                while (command.FetchNext() == OrvOleDbCommand::dbTrue) total += command.FieldAsLong(1);
                command.Close();
                connection.Rollback();
            }
            CoUninitialize();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(total, 5000LL * 5001 / 2);
}

}  // namespace
