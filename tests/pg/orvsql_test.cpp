// orvsql on a server: a postgresql:// address, or --provider with an initialisation string;
// statements, the catalog dot-commands and transactions there.
#include <cstdio>

#include "pg/pg_test.h"
#include "tools/shell_process.h"
#include "support/holds.h"

using namespace orv::test;

namespace {

struct Output {
    int status;
    std::string text;  // standard output and error together
};

Output Shell(const std::string& arguments) {
    const std::string command = std::string(ORVSQL) + " " + arguments + " 2>&1 < /dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    Output out{-1, ""};
    if (!pipe) return out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.text.append(buffer, n);
    const int status = ::pclose(pipe);
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

std::string Address() {
    return "'postgresql://postgres@/" + PgServer::Database() + "?host=" + PgServer::Socket() + "'";
}

TEST(PgShellTest, AddressAndProviderOpenTheServer) {
    PgServer::Run(
        "DROP TABLE IF EXISTS shelf; CREATE TABLE shelf(id serial PRIMARY KEY, name varchar(10)); "
        "INSERT INTO shelf(name) VALUES ('bolt'), ('nut')");
    Output out = Shell("--csv " + Address() + " 'SELECT name FROM shelf ORDER BY id'");
    EXPECT_EQ(out.status, 0) << out.text;
    EXPECT_EQ(out.text, "name\r\nbolt\r\nnut\r\n");

    const std::string init =
        "'Data Source=" + PgServer::Socket() + ";Initial Catalog=" + PgServer::Database() + ";User ID=postgres;'";
    out = Shell("--csv --provider PostgreSQL " + init + " .tables '.schema shelf' '.indexes shelf'");
    EXPECT_EQ(out.status, 0) << out.text;
    EXPECT_TRUE(Holds(out.text, {"shelf,TABLE", "id,", "seed 1, step 1", "shelf_pkey,id"}));

    out = Shell(Address() +
                " .begin \"INSERT INTO shelf(name) VALUES ('washer')\" .rollback "
                "'SELECT count(*) FROM shelf'");
    EXPECT_EQ(out.status, 0) << out.text;
    EXPECT_NE(out.text.find("2"), std::string::npos) << out.text;

    out = Shell("'.open " + Address().substr(1, Address().size() - 2) + "' 'SELECT count(*) FROM shelf'");
    EXPECT_EQ(out.status, 0) << out.text;

    out = Shell(Address() + " .compact");
    EXPECT_EQ(out.status, 1);
    EXPECT_NE(out.text.find("no file to compact"), std::string::npos) << out.text;

    out = Shell(Address() + " 'SELECT nope FROM shelf'");
    EXPECT_EQ(out.status, 1);
    EXPECT_NE(out.text.find("column \"nope\" does not exist"), std::string::npos) << out.text;

    out = Shell("'postgresql://postgres@/no_such_db?host=" + PgServer::Socket() + "' 'SELECT 1'");
    EXPECT_EQ(out.status, 1);
    EXPECT_NE(out.text.find("database \"no_such_db\" does not exist"), std::string::npos) << out.text;
}

TEST(PgShellTest, CtrlCCancelsOnTheServerAndFileCommandsSaySo) {
    using namespace std::chrono_literals;
    TempDir dir;
    const std::string address = Address().substr(1, Address().size() - 2);
    // The interrupt reaches the server: the script stops long before the sleep would end.
    const auto started = std::chrono::steady_clock::now();
    ShellResult r = RunShell(dir, {address, "SELECT pg_sleep(60)", "SELECT 'after' AS later"}, "", 700ms);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
    EXPECT_EQ(r.out.find("later"), std::string::npos) << r.out;

    // The lock wait is the server's; a dump is a database file's.
    r = RunShell(
        dir, {"--csv", "--busy-timeout", "250", address, "SHOW lock_timeout", ".timeout 1500", "SHOW lock_timeout"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "lock_timeout\r\n250ms\r\nlock_timeout\r\n1500ms\r\n");
    r = RunShell(dir, {address, ".dump"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is a server"), std::string::npos) << r.err;
}

}  // namespace
