// Several writers on one database file: a writer that meets another program's lock waits
// for the lock timeout it was given and then fails with a text that says the file is
// locked; writers that take turns, in processes or in threads, lose no committed row and
// leave a file that passes SQLite's integrity check. The same for a text file and a
// workbook, whose readers see a whole file, old or new. And a writing process killed at
// any moment never leaves a damaged file.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "support/library_fixture.h"

using namespace orv::test;

namespace {

bool Insert(OrvOleDbConnection& c, const char16_t* writer, int n, std::string* error = nullptr) {
    OrvOleDbDDLCommand insert;
    insert.SetConnection(&c);
    insert.SetTable(u"t");
    insert.AddColumn(u"writer", u"'%s'", writer);
    insert.AddColumn(u"n", u"%d", n);
    bool ok = insert.Insert();
    if (!ok && error) *error = Utf8(insert.GetErrorText());
    return ok;
}

// Runs `work` in a child process with its own COM; the child's exit status.
template <class Work>
pid_t Spawn(Work work) {
    pid_t child = fork();
    if (child == 0) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        _exit(work());
    }
    return child;
}

int Wait(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

class ConcurrencyTest : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        MakeDatabase(m_dir.Path("plant.mdb"), "CREATE TABLE t(id INTEGER PRIMARY KEY, writer TEXT, n INTEGER)");
    }

    CComBSTR Init(const std::u16string& more = u"") const {
        return CComBSTR(InitFor(m_dir.WPath("plant.mdb"), more).c_str());
    }

    void ExpectIntact(OrvOleDbConnection& c) {
        EXPECT_EQ(First(c, u"SELECT integrity_check FROM pragma_integrity_check"), "ok");
    }

    TempDir m_dir;
};

TEST_F(ConcurrencyTest, ASecondWriterWaitsForTheLockTimeoutThenFailsWithLocked) {
    OrvOleDbConnection holder;
    ASSERT_TRUE(Opens(holder, Init()));
    ASSERT_TRUE(holder.StartTransaction());
    ASSERT_TRUE(Insert(holder, u"holder", 1));  // holds the write lock until it commits

    const std::string reportFile = m_dir.Path("report");
    const CComBSTR waiting = Init(u"Jet OLEDB:Lock Retry=10;Jet OLEDB:Lock Delay=30;");  // 300 ms
    pid_t child = Spawn([&] {
        OrvOleDbConnection c;
        if (c.OpenFromInitializationString(waiting, false) != S_OK) return 3;  // reading is not locked out
        auto start = std::chrono::steady_clock::now();
        std::string error;
        bool inserted = Insert(c, u"child", 1, &error);
        long waitedMs = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
        WriteFile(reportFile, std::to_string(waitedMs) + " " + error);
        return inserted ? 1 : 0;
    });
    const int status = Wait(child);
    const std::string report = ReadFile(reportFile);
    ASSERT_EQ(status, 0) << "the second writer did not fail as it should: " << report;
    const long waitedMs = std::stol(report);
    EXPECT_GE(waitedMs, 250) << "it gave up before its lock timeout";
    EXPECT_LT(waitedMs, 5000) << "it waited far longer than its lock timeout";
    EXPECT_NE(report.find("locked by another program"), std::string::npos) << report;

    ASSERT_TRUE(holder.Commit());
    // The lock gone, the same write goes through, and only whole writes are in the file.
    pid_t second = Spawn([&] {
        OrvOleDbConnection c;
        if (c.OpenFromInitializationString(waiting, false) != S_OK) return 3;
        return Insert(c, u"child", 2) ? 0 : 1;
    });
    EXPECT_EQ(Wait(second), 0);
    EXPECT_EQ(First(holder, u"SELECT group_concat(writer || n, ',') FROM (SELECT * FROM t ORDER BY id)"),
              "holder1,child2");
    ExpectIntact(holder);
}

TEST_F(ConcurrencyTest, ProcessesWritingTransactionsInTurnLoseNothing) {
    constexpr int kTransactions = 40, kRows = 5;
    const CComBSTR init = Init();
    std::vector<pid_t> children;
    for (const char16_t* writer : {u"a", u"b", u"c"}) {
        children.push_back(Spawn([&, writer] {
            OrvOleDbConnection c;
            // An open or a transaction that meets a lock is tried again, as a host would.
            for (int attempts = 0; c.OpenFromInitializationString(init, false) != S_OK; ++attempts)
                if (attempts > 50 || Utf8(c.GetErrorText()).find("locked") == std::string::npos) return 3;
            for (int done = 0, attempts = 0; done < kTransactions; ++attempts) {
                if (attempts > 50 * kTransactions) return 4;
                if (!c.StartTransaction()) continue;
                bool ok = true;
                for (int r = 0; r < kRows && ok; ++r) ok = Insert(c, writer, done * kRows + r);
                if (ok && c.Commit()) ++done;
                else c.Rollback();
            }
            return 0;
        }));
    }
    for (pid_t child : children) EXPECT_EQ(Wait(child), 0);

    OrvOleDbConnection c;
    ASSERT_TRUE(Opens(c, init));
    ExpectIntact(c);
    EXPECT_EQ(First(c, u"SELECT COUNT(*) FROM t"), std::to_string(3 * kTransactions * kRows));
    // Each writer's rows are all there, once each, in its order.
    const std::u16string each = orv::platform::Format(
        u"SELECT COUNT(*) FROM (SELECT writer, COUNT(DISTINCT n) AS k, "
        u"MAX(n) AS top FROM t GROUP BY writer) WHERE k = %d AND top = %d",
        kTransactions * kRows, kTransactions * kRows - 1);
    EXPECT_EQ(First(c, each.c_str()), "3");
}

// Writers in tight loops can keep a newcomer waiting past its lock timeout (SQLite's
// waiting is polling, not a queue); the newcomer then hears "locked" and tries again, as a
// host would. Any other failure, a lost row or a read that misses its own rows is a fault.
TEST_F(ConcurrencyTest, ThreadsWithConnectionsOfTheirOwnInsertAndRead) {
    constexpr int kThreads = 4, kRows = 60;
    const CComBSTR init = Init();
    std::atomic<int> failures{0}, lockedRetries{0};
    // Runs `attempt` (which gives an error text, "" for success) until it succeeds, while
    // every error says "locked".
    auto retry = [&](const char* what, auto attempt) {
        for (std::string error; failures == 0 && !(error = attempt()).empty(); ++lockedRetries)
            if (error.find("locked by another program") == std::string::npos) {
                ADD_FAILURE() << what << ": " << error;
                ++failures;
            }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            {
                OrvOleDbConnection c;
                const std::u16string writer(1, static_cast<char16_t>(u'a' + t));
                auto errorOf = [](bool ok, const OrvOleDbErrorInfo& object) {
                    return ok ? "" : Utf8(object.GetErrorText());
                };
                retry("open", [&] { return errorOf(c.OpenFromInitializationString(init, false) == S_OK, c); });
                for (int n = 0; n < kRows && failures == 0; ++n) {
                    std::string error;
                    retry("insert", [&] { return Insert(c, writer.c_str(), n, &error) ? "" : error; });
                    // Its own rows so far, read back on its own connection.
                    OrvOleDbCommand read;
                    read.SetConnection(&c);
                    read.SetCommandText(CString((u"SELECT COUNT(*) FROM t WHERE writer = '" + writer + u"'").c_str()));
                    retry("read", [&] { return errorOf(read.Execute() == OrvOleDbCommand::dbTrue, read); });
                    if (failures == 0 &&
                        (read.FetchNext() != OrvOleDbCommand::dbTrue || read.FieldAsLong(1) != n + 1)) {
                        ADD_FAILURE() << "writer " << char('a' + t) << " reads " << read.FieldAsLong(1)
                                      << " of its rows after inserting " << n + 1;
                        ++failures;
                    }
                }
            }
            CoUninitialize();
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);

    OrvOleDbConnection c;
    ASSERT_TRUE(Opens(c, init));
    ExpectIntact(c);
    EXPECT_EQ(First(c, u"SELECT COUNT(*) FROM t"), std::to_string(kThreads * kRows));
    RecordProperty("locked_retries", lockedRetries.load());
}

// ---- Text folders and workbooks --------------------------------------------------------------

// The same promise for the stores whose tables are files: writers in several processes take
// turns on a file and lose nothing that was reported written, and a reader sees a whole
// file, old or new. Each writer runs its statements one by one, each its own transaction.
class FileStoreConcurrencyTest : public ComTest {
protected:
    // The folder of text files, or the workbook `book`, with a long lock timeout (200 x 60
    // ms): on a busy machine a writer may wait long for its turn.
    CComBSTR Init(const char* book = nullptr) const {
        const std::u16string props = book ? u"Excel 12.0 Xml;HDR=YES" : u"text;HDR=YES;FMT=Delimited";
        return CComBSTR(
            InitFor(m_dir.WPath(book ? book : ""), u"Extended Properties=\"" + props + u"\";Jet OLEDB:Lock Retry=200")
                .c_str());
    }

    // A child that runs `count` statements made by `sql` on a connection of its own: exit
    // status 0 when every one reported success, else 1 after printing the first failure.
    static pid_t Writer(const CComBSTR& init, int count, std::function<std::u16string(int)> sql) {
        return Spawn([init, count, sql] {
            OrvOleDbConnection c;
            if (c.OpenFromInitializationString(init, false) != S_OK) {
                std::fprintf(stderr, "open: %s\n", Utf8(c.GetErrorText()).c_str());
                return 1;
            }
            for (int i = 0; i < count; ++i) {
                OrvOleDbCommand command;
                command.SetConnection(&c);
                command.SetCommandText(CString(sql(i).c_str()));
                if (command.Execute() == OrvOleDbCommand::dbError) {
                    std::fprintf(stderr, "statement %d: %s\n", i, Utf8(command.GetErrorInfo(true)).c_str());
                    return 1;
                }
            }
            return 0;
        });
    }

    static std::u16string Insert(const char16_t* table, const char16_t* writer, int n) {
        return orv::platform::Format(u"INSERT INTO %s (writer, n) VALUES ('%s', %d)", table, writer, n);
    }

    // The rows of writers a and b are all there, once each.
    void ExpectEveryRow(const CComBSTR& init, const char16_t* table, int perWriter) {
        OrvOleDbConnection c;
        ASSERT_TRUE(Opens(c, init));
        EXPECT_EQ(First(c, orv::platform::Format(u"SELECT COUNT(*) FROM %s WHERE writer IN ('a', 'b')", table).c_str()),
                  std::to_string(2 * perWriter));
        const std::u16string each = orv::platform::Format(
            u"SELECT COUNT(*) FROM (SELECT writer, COUNT(DISTINCT n) AS k FROM %s GROUP BY writer) WHERE k = %d", table,
            perWriter);
        EXPECT_EQ(First(c, each.c_str()), "2");
    }

    TempDir m_dir;
};

// Two appenders and a writer that rewrites the whole file take turns on it.
TEST_F(FileStoreConcurrencyTest, AppendsAndRewritesOfOneCsvFileLoseNoRecord) {
    constexpr int kInserts = 250, kRewrites = 150;
    WriteFile(m_dir.Path("t.csv"), "writer,n\r\ncounter,0\r\n");
    const CComBSTR init = Init();
    pid_t a = Writer(init, kInserts, [](int i) { return Insert(u"[t.csv]", u"a", i); });
    pid_t b = Writer(init, kInserts, [](int i) { return Insert(u"[t.csv]", u"b", i); });
    pid_t rewriter = Writer(
        init, kRewrites, [](int) { return std::u16string(u"UPDATE [t.csv] SET n = n + 1 WHERE writer = 'counter'"); });
    for (pid_t writer : {a, b, rewriter}) EXPECT_EQ(Wait(writer), 0);
    ExpectEveryRow(init, u"[t.csv]", kInserts);
    OrvOleDbConnection c;
    ASSERT_TRUE(Opens(c, init));
    EXPECT_EQ(First(c, u"SELECT n FROM [t.csv] WHERE writer = 'counter'"), std::to_string(kRewrites));
    const std::string text = ReadFile(m_dir.Path("t.csv"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2 * kInserts + 2) << "a torn or lost line";
}

// Two writers insert into one sheet while a reader opens the workbook again and again.
TEST_F(FileStoreConcurrencyTest, TwoProcessesInsertingIntoOneSheetLoseNoRowAndAReaderSeesAWholeWorkbook) {
    constexpr int kInserts = 40;
    const CComBSTR init = Init("book.xlsx");
    {
        OrvOleDbConnection c;
        ASSERT_TRUE(Opens(c, init));
        ASSERT_TRUE(Runs(c, u"CREATE TABLE Log (writer TEXT, n INTEGER)"));
    }
    pid_t a = Writer(init, kInserts, [](int i) { return Insert(u"[Log$]", u"a", i); });
    pid_t b = Writer(init, kInserts, [](int i) { return Insert(u"[Log$]", u"b", i); });
    long previous = 0, reads = 0;
    int status = 0;
    while (waitpid(b, &status, WNOHANG) == 0) {
        OrvOleDbConnection c;  // each read opens the workbook afresh
        ASSERT_TRUE(Opens(c, init));
        const std::string count = First(c, u"SELECT COUNT(*) FROM [Log$]");
        ASSERT_NE(count, "") << "the workbook could not be read";
        const long rows = std::stol(count);
        EXPECT_GE(rows, previous);
        previous = rows;
        ++reads;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Wait(a), 0);
    EXPECT_GT(reads, 5) << "the reader never met the writers: the test proves nothing";
    ExpectEveryRow(init, u"[Log$]", kInserts);
}

// ---- Killed writers --------------------------------------------------------------------------

// A writing process killed at any moment never leaves a damaged file: the file reads back
// as it was before the unfinished change or as after it (and a database passes SQLite's
// own check), and the next open leaves none of the writer's temporary files behind.

constexpr int kBatch = 50;  // rows committed together

// The write end of the pipe on which a forked writer says that it has got going.
int g_started = -1;

// Called by the writer once its first change has landed: from then on a kill can only
// interrupt work that follows a stored change, however slow the machine is.
void Started() {
    if (g_started < 0) return;
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(g_started, &byte, 1);
    ::close(g_started);
    g_started = -1;
}

// Forks a child that runs `work` (it never returns) and kills it `delay` after the child
// calls Started(), or after a minute if it never does.
template <class Work>
void RunAndKill(Work work, std::chrono::microseconds delay) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t child = Spawn([&] {
        ::close(fds[0]);
        g_started = fds[1];
        work();
        return 0;
    });
    ::close(fds[1]);
    pollfd ready{fds[0], POLLIN, 0};
    ::poll(&ready, 1, 60000);
    ::close(fds[0]);
    std::this_thread::sleep_for(delay);
    ::kill(child, SIGKILL);
    Wait(child);
}

// Inserts rows into `table` (which has a text column "note") in transactions of kBatch
// rows, until the process is killed.
void WriteBatchesUntilKilled(const CComBSTR& init, const char16_t* table) {
    OrvOleDbConnection c;
    if (c.OpenFromInitializationString(init, false) != S_OK) return;
    OrvOleDbDDLCommand insert;
    insert.SetConnection(&c);
    insert.SetTable(table);
    for (int i = 0;; ++i) {
        if (i % kBatch == 0) c.StartTransaction();
        insert.AddColumn(u"note", u"'row %d of a batch'", i);
        insert.Insert();
        if (i % kBatch == kBatch - 1) {
            c.Commit();
            Started();
        }
    }
}

// Runs `sql` again and again until the process is killed.
void RunUntilKilled(const CComBSTR& init, const char16_t* sql) {
    OrvOleDbConnection c;
    if (c.OpenFromInitializationString(init, false) != S_OK) return;
    OrvOleDbCommand command;
    command.SetConnection(&c);
    command.SetCommandText(CString(sql));
    for (;;) {
        command.Execute();
        Started();
    }
}

class CrashSafetyTest : public ComTest {
protected:
    CComBSTR Init() const { return CComBSTR(InitFor(m_dir.WPath("plant.mdb")).c_str()); }

    // Opens the store after a kill: it must open, hold only whole batches in `table`, and
    // pass the integrity check (a database) or keep no temporary file (a workbook, whose
    // archive's writing the kills reach too); the rows in it.
    long CheckIntact(const CComBSTR& init, const std::u16string& table = u"t", bool database = true) {
        OrvOleDbConnection c;
        EXPECT_TRUE(Opens(c, init));
        if (database) EXPECT_EQ(First(c, u"SELECT integrity_check FROM pragma_integrity_check"), "ok");
        else EXPECT_EQ(HiddenFiles(m_dir.Path()), "");
        long rows = std::stol("0" + First(c, (u"SELECT COUNT(*) FROM " + table).c_str()));
        EXPECT_EQ(rows % kBatch, 0) << "a transaction was half applied";
        return rows;
    }

    // Kills a writer of batches into `table` `rounds` times, each up to `maxDelay` after its
    // first commit: nothing committed is ever lost.
    void KillBatchWriters(const CComBSTR& init, const char16_t* table, int rounds, unsigned maxDelay, bool database) {
        long previous = 0;
        for (int round = 0; round < rounds; ++round) {
            RunAndKill([&] { WriteBatchesUntilKilled(init, table); }, std::chrono::microseconds(m_random() % maxDelay));
            long rows = CheckIntact(init, table, database);
            EXPECT_GE(rows, previous) << "after kill " << round;
            previous = rows;
        }
        EXPECT_GT(previous, 0) << "the writer never got to commit: the test proves nothing";
    }

    std::u16string TextInit() const {
        return InitFor(m_dir.WPath(), u"Extended Properties=\"text;HDR=YES;FMT=Delimited\"");
    }

    TempDir m_dir;
    std::mt19937 m_random{20261205};
};

TEST_F(CrashSafetyTest, KilledDuringTransactionsOfInserts) {
    MakeDatabase(m_dir.Path("plant.mdb"), "CREATE TABLE t(id INTEGER PRIMARY KEY, note TEXT)");
    KillBatchWriters(Init(), u"t", 8, 100000, true);
}

TEST_F(CrashSafetyTest, KilledDuringCompaction) {
    MakeDatabase(m_dir.Path("plant.mdb"),
                 "CREATE TABLE t(id INTEGER PRIMARY KEY, note TEXT);"
                 "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000)"
                 "INSERT INTO t SELECT i, printf('%.100c', 'x') FROM n;"
                 "DELETE FROM t WHERE id % 2 = 0;");
    const CComBSTR init = Init();
    for (int round = 0; round < 6; ++round) {
        RunAndKill(
            [&] {
                OrvOleDbConnection c;
                for (;;) {
                    if (c.OpenFromInitializationString(init, false) != S_OK) return;
                    Started();
                    c.CompactMdb();
                }
            },
            std::chrono::microseconds(5000 + m_random() % 150000));
        EXPECT_EQ(CheckIntact(init), 50000);
    }
}

TEST_F(CrashSafetyTest, KilledDuringWorkbookWrites) {
    const CComBSTR init(InitFor(m_dir.WPath("book.xlsx"), u"Extended Properties=\"Excel 12.0 Xml;HDR=YES\"").c_str());
    {
        OrvOleDbConnection c;
        ASSERT_TRUE(Opens(c, init));
        ASSERT_TRUE(Runs(c, u"CREATE TABLE Log (id INTEGER, note TEXT)"));
    }
    KillBatchWriters(init, u"[Log$]", 6, 300000, false);
}

// A large INSERT ... SELECT into a text file, killed anywhere: the next open finds the old
// file or the new one (never part of the records, never a torn line) and nothing else.
// Each round starts again from one append, so that the file stays small enough to check.
TEST_F(CrashSafetyTest, KilledDuringLargeAppendsToATextFile) {
    // Long records, so that the append's writing is a good part of the statement's time.
    constexpr int kRecords = 4000;
    const std::string header = "id,note\r\n";
    std::string records;
    for (int i = 0; i < kRecords; ++i) records += std::to_string(i) + "," + std::string(600, 'a' + i % 26) + "\r\n";
    WriteFile(m_dir.Path("src.csv"), header + records);
    const CComBSTR init(TextInit().c_str());
    long appended = 0;
    int journaled = 0, torn = 0;
    for (int round = 0; round < 8; ++round) {
        WriteFile(m_dir.Path("t.csv"), header + records);
        RunAndKill([&] { RunUntilKilled(init, u"INSERT INTO [t.csv] SELECT * FROM [src.csv]"); },
                   std::chrono::microseconds(m_random() % 600000));
        // Killed between the journal and its removal; of those, while the bytes went in.
        journaled += std::filesystem::exists(m_dir.Path(".orv-journal-t.csv"));
        torn += (ReadFile(m_dir.Path("t.csv")).size() - header.size()) % records.size() != 0;
        OrvOleDbConnection c;
        ASSERT_TRUE(Opens(c, init));
        const long rows = std::stol("0" + First(c, u"SELECT COUNT(*) FROM [t.csv]"));
        EXPECT_EQ(rows % kRecords, 0) << "an append was half applied";
        EXPECT_GE(rows, kRecords) << "the records there before the kill were lost";
        appended += rows / kRecords - 1;
        std::string whole = header;
        for (long i = 0; i < rows / kRecords; ++i) whole += records;
        const std::string text = ReadFile(m_dir.Path("t.csv"));
        EXPECT_TRUE(text == whole) << "a torn line: " << text.size() << " bytes";
        EXPECT_EQ(HiddenFiles(m_dir.Path()), "") << "after kill " << round;
    }
    EXPECT_GT(appended, 0) << "the writer never got to append: the test proves nothing";
    std::printf("[ crash    ] %d of 8 kills left an append to undo, %d of them a torn one; %ld appends landed\n",
                journaled, torn, appended);
}

// A text file rewritten by UPDATE, killed anywhere: every record is of the same version, and
// no temporary file stays in the folder.
TEST_F(CrashSafetyTest, KilledDuringRewritesOfATextFile) {
    constexpr int kRecords = 5000;
    std::string text = "id,n\r\n";
    for (int i = 0; i < kRecords; ++i) text += std::to_string(i) + ",0\r\n";
    WriteFile(m_dir.Path("t.csv"), text);
    const CComBSTR init(TextInit().c_str());
    long previous = 0;
    for (int round = 0; round < 6; ++round) {
        RunAndKill([&] { RunUntilKilled(init, u"UPDATE [t.csv] SET n = n + 1"); },
                   std::chrono::microseconds(m_random() % 1000000));
        OrvOleDbConnection c;
        ASSERT_TRUE(Opens(c, init));
        EXPECT_EQ(First(c, u"SELECT COUNT(*) || ' ' || COUNT(DISTINCT n) FROM [t.csv]"),
                  std::to_string(kRecords) + " 1");
        const long version = std::stol("0" + First(c, u"SELECT MAX(n) FROM [t.csv]"));
        EXPECT_GE(version, previous);
        previous = version;
        EXPECT_EQ(HiddenFiles(m_dir.Path()), "") << "after kill " << round;
    }
    EXPECT_GT(previous, 0) << "the writer never got to rewrite: the test proves nothing";
}

}  // namespace
