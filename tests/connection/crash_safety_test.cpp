// A writing process killed at any moment never leaves a damaged file: the file reads back
// as it was before the unfinished change or as after it (and a database passes SQLite's
// own check), and the next open leaves none of the writer's temporary files behind.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include "support/library_fixture.h"

using namespace orv::test;

namespace {

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
    pid_t child = fork();
    if (child == 0) {
        ::close(fds[0]);
        g_started = fds[1];
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        work();
        _exit(0);
    }
    ::close(fds[1]);
    pollfd ready{fds[0], POLLIN, 0};
    ::poll(&ready, 1, 60000);
    ::close(fds[0]);
    std::this_thread::sleep_for(delay);
    ::kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
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
