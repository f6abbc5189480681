// The server provider's tests: a connection to the test database of the throwaway server
// (support/pg_server.h), and statements run and read through the exported classes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/holds.h"
#include "support/library_fixture.h"
#include "support/pg_server.h"

namespace orv::test {

inline std::u16string Text(const CString& s) { return std::u16string(s.Str()); }

using Rows = std::vector<std::vector<std::u16string>>;

// Every field of the rows of the command's result as text; "<null>" for NULL.
inline Rows ReadAll(OrvOleDbCommand& command) {
    Rows rows;
    while (command.FetchNext() == OrvOleDbCommand::dbTrue) {
        std::vector<std::u16string> row;
        for (unsigned __int64 c = 1; c <= command.GetColumnCount(); ++c)
            row.push_back(command.IsNull(c) == OrvOleDbCommand::dbTrue ? u"<null>" : Text(command.FieldAsString(c)));
        rows.push_back(std::move(row));
    }
    return rows;
}

class PgTest : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_TRUE(Opens(m_connection, PgServer::Init()));
    }
    void TearDown() override {
        m_connection.Close();
        ComTest::TearDown();
    }

    // Runs `sql` on the test's connection (a failure fails the test with the error text);
    // the rows it gives.
    void Run(const char16_t* sql) { EXPECT_TRUE(Runs(m_connection, sql)); }
    Rows Query(const char16_t* sql) {
        OrvOleDbCommand command;
        Open(command, sql);
        return ReadAll(command);
    }
    // `command` on `connection` (the test's by default), having run `sql`.
    void Open(OrvOleDbCommand& command, const char16_t* sql, OrvOleDbConnection* connection = nullptr) {
        command.SetConnection(connection ? connection : &m_connection);
        command.SetCommandText(sql);
        ASSERT_TRUE(Executes(command));
    }

    OrvOleDbConnection m_connection;
};

}  // namespace orv::test
