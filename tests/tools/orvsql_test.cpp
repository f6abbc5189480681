// orvsql run as a separate process on database files made here: the cases of
// tools/cases/*.test (output modes, statement splitting of piped input, dot-commands,
// export, import and dump, errors and exit statuses), and another program's lock.
#include <gtest/gtest.h>

#include <string>

#include "tools/shell_cases.h"

namespace {

using namespace orv::test;

// Holds a write lock on `path` for `hold` in another process, from when the call returns.
class LockHolder {
public:
    LockHolder(const std::string& path, std::chrono::milliseconds hold) {
        int ready[2];
        if (::pipe(ready) != 0) throw std::runtime_error("pipe");
        m_pid = ::fork();
        if (m_pid == 0) {
            sqlite3* db = nullptr;
            sqlite3_open(path.c_str(), &db);
            sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
            const char byte = 1;
            if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
            std::this_thread::sleep_for(hold);
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            ::_exit(0);
        }
        char byte;
        if (::read(ready[0], &byte, 1) != 1) throw std::runtime_error("the lock holder did not start");
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~LockHolder() { ::waitpid(m_pid, nullptr, 0); }

private:
    pid_t m_pid;
};

TEST(OrvsqlTest, BusyTimeoutWaitsForAnotherProgramsLock) {
    TempDir dir;
    const std::string db = dir.Path("plant.mdb");
    MakeDatabase(db, "CREATE TABLE parts (id INTEGER PRIMARY KEY); INSERT INTO parts VALUES (1), (2), (3)");
    {
        LockHolder lock(db, std::chrono::milliseconds(1500));
        const ShellResult r =
            RunShell(dir, {"--busy-timeout", "30000", "--csv", db, "SELECT COUNT(*) AS n FROM parts"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "n\r\n3\r\n");
    }
    {
        LockHolder lock(db, std::chrono::milliseconds(3000));
        const ShellResult r = RunShell(dir, {"--busy-timeout", "20", db, "SELECT COUNT(*) AS n FROM parts"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Holds(r.err, {"locked"}));
    }
}

class ShellCaseTest : public ::testing::TestWithParam<ShellCase> {};

TEST_P(ShellCaseTest, Runs) { RunShellCase(GetParam(), {{"$ZEROBLOB", std::string(50000, '0')}}); }

INSTANTIATE_TEST_SUITE_P(Orvsql, ShellCaseTest, ::testing::ValuesIn(ReadShellCases(ORV_SHELL_CASES)),
                         [](const auto& info) { return info.param.name; });

}  // namespace
