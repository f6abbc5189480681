// orvsql on a server: a postgresql:// address, or --provider with an initialisation string;
// the cases of pg/cases/*.test, and Ctrl-C cancelling a statement on the server.
#include "pg/pg_test.h"
#include "tools/shell_cases.h"

using namespace orv::test;

namespace {

std::string Address() { return "postgresql://postgres@/" + PgServer::Database() + "?host=" + PgServer::Socket(); }

class PgShellCaseTest : public ::testing::TestWithParam<ShellCase> {};

TEST_P(PgShellCaseTest, Runs) {
    PgServer::Run(
        "DROP TABLE IF EXISTS shelf; CREATE TABLE shelf(id serial PRIMARY KEY, name varchar(10)); "
        "INSERT INTO shelf(name) VALUES ('bolt'), ('nut')");
    RunShellCase(GetParam(),
                 {{"$PG", Address()}, {"$SOCKET", PgServer::Socket()}, {"$DATABASE", PgServer::Database()}});
}

INSTANTIATE_TEST_SUITE_P(PgShell, PgShellCaseTest, ::testing::ValuesIn(ReadShellCases(ORV_PG_SHELL_CASES)),
                         [](const auto& info) { return info.param.name; });

// The interrupt reaches the server: the script stops long before the sleep would end.
TEST(PgShellTest, CtrlCCancelsOnTheServer) {
    using namespace std::chrono_literals;
    TempDir dir;
    const auto started = std::chrono::steady_clock::now();
    ShellResult r = RunShell(dir, {Address(), "SELECT pg_sleep(60)", "SELECT 'after' AS later"}, "", 700ms);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
    EXPECT_EQ(r.out.find("later"), std::string::npos) << r.out;
}

}  // namespace
