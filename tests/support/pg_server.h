// The throwaway PostgreSQL server of the server provider's tests, and a database of its
// own for each test program.
//
// Under CTest the server is started before the tests and stopped after them by the
// fixture in tests/CMakeLists.txt (tests/support/pg_server.sh), which writes the socket
// folder to the file ORV_PG_STATE. A test program run by hand starts its own server the
// same way and stops it at exit. Each test process then makes a database named after its
// process id, so that tests running in parallel never see each other's tables.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "OrvOleDb.h"
#include "platform/utf.h"

namespace orv::test {

class PgServer : public ::testing::Environment {
public:
    // The folder of the server's socket, the test database and an init string for it.
    static const std::string& Socket() { return m_socket; }
    static const std::string& Database() { return m_database; }
    static CComBSTR Init(const std::u16string& extra = u"") {
        std::u16string text = u"Provider=PostgreSQL;Data Source=" + platform::Utf8ToUtf16(Socket()) +
                              u";Initial Catalog=" + platform::Utf8ToUtf16(Database()) + u";User ID=postgres;" + extra;
        return CComBSTR(text.c_str());
    }
    // Runs `sql` as the superuser on the test database (or on `database`); fails the test
    // with the server's words when it fails.
    static void Run(const std::string& sql, const std::string& database = "") {
        PGconn* conn = Connect(database.empty() ? Database() : database);
        PGresult* result = PQexec(conn, sql.c_str());
        const ExecStatusType status = PQresultStatus(result);
        EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) << sql << ": " << PQerrorMessage(conn);
        PQclear(result);
        PQfinish(conn);
    }

    void SetUp() override {
        std::ifstream state(ORV_PG_STATE);
        std::getline(state, m_socket);
        if (m_socket.empty() || !Reachable()) {
            const std::string command = std::string(ORV_PG_SCRIPT) + " start " + OwnState();
            ASSERT_EQ(std::system(command.c_str()), 0) << "could not start a PostgreSQL server: " << command;
            std::ifstream own(OwnState());
            std::getline(own, m_socket);
            m_ownServer = true;
        }
        m_database = "orvtest_" + std::to_string(getpid());
        Run("DROP DATABASE IF EXISTS " + m_database, "postgres");
        Run("CREATE DATABASE " + m_database, "postgres");
    }

    void TearDown() override {
        OrvOleDbConnectionCache::GetCacheManager()->ClearCache();
        Run("DROP DATABASE IF EXISTS " + m_database + " WITH (FORCE)", "postgres");
        if (m_ownServer) std::system((std::string(ORV_PG_SCRIPT) + " stop " + OwnState()).c_str());
    }

    static PGconn* Connect(const std::string& database) {
        const char* keys[] = {"host", "dbname", "user", nullptr};
        const char* values[] = {Socket().c_str(), database.c_str(), "postgres", nullptr};
        return PQconnectdbParams(keys, values, 0);
    }

private:
    static bool Reachable() {
        const char* keys[] = {"host", "dbname", "user", nullptr};
        const char* values[] = {m_socket.c_str(), "postgres", "postgres", nullptr};
        return PQpingParams(keys, values, 0) == PQPING_OK;
    }
    static std::string OwnState() { return std::string(ORV_PG_STATE) + "." + std::to_string(getpid()); }

    static inline std::string m_socket;
    static inline std::string m_database;
    bool m_ownServer = false;
};

}  // namespace orv::test
