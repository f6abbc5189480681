// Test support for the library's classes: a COM apartment per test, and a connection and a
// command on a database file made for the test in a fresh folder.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "OrvOleDb.h"
#include "support/files.h"

namespace orv::test {

inline std::string Utf8(const CString& s) { return platform::Utf16ToUtf8(s.Str()); }
inline bool Contains(const CString& s, std::u16string_view part) { return s.Str().find(part) != std::u16string::npos; }

// Opens `c` from `init`; a failure carries the connection's error text.
inline ::testing::AssertionResult Opens(OrvOleDbConnection& c, const CComBSTR& init) {
    if (c.OpenFromInitializationString(init, false) == S_OK) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << Utf8(c.GetErrorText());
}

// Executes `command`; a failure carries its error text and statement.
inline ::testing::AssertionResult Executes(OrvOleDbCommand& command) {
    if (command.Execute() == OrvOleDbCommand::dbTrue) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << Utf8(command.GetErrorInfo(true));
}

// Runs `sql` on `connection`; a failure carries the error text and statement.
inline ::testing::AssertionResult Runs(OrvOleDbConnection& connection, const char16_t* sql) {
    OrvOleDbCommand command;
    command.SetConnection(&connection);
    command.SetCommandText(CString(sql));
    return Executes(command);
}

// Runs `sql` on `connection`, where it must fail; the error text and the statement.
inline std::string Fails(OrvOleDbConnection& connection, const char16_t* sql) {
    OrvOleDbCommand command;
    command.SetConnection(&connection);
    command.SetCommandText(CString(sql));
    EXPECT_EQ(command.Execute(), OrvOleDbCommand::dbError) << "succeeded: " << Utf8(CString(sql));
    return Utf8(command.GetErrorInfo(true));
}

// The first value of the first row `sql` gives on `connection`, as text ("" when it fails).
inline std::string First(OrvOleDbConnection& connection, const char16_t* sql) {
    OrvOleDbCommand command;
    command.SetConnection(&connection);
    command.SetCommandText(CString(sql));
    if (command.Execute() != OrvOleDbCommand::dbTrue || command.FetchNext() != OrvOleDbCommand::dbTrue) return "";
    return Utf8(command.FieldAsString(1));
}

// Every test of the library's classes runs inside a COM apartment.
class ComTest : public ::testing::Test {
protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }
};

// A subclass calls Open in its SetUp with the SQL that fills plant.mdb.
class OnDatabaseFile : public ComTest {
protected:
    using Status = OrvOleDbCommand::dbStatus;

    void Open(const std::string& sql) {
        MakeDatabase(m_dir.Path("plant.mdb"), sql.c_str());
        ASSERT_TRUE(Opens(m_connection, CComBSTR(InitFor(m_dir.WPath("plant.mdb")).c_str())));
        m_command.SetConnection(&m_connection);
    }
    void TearDown() override {
        m_command.Close();
        m_connection.Close();
        ComTest::TearDown();
    }

    Status Run(const std::u16string& sql) {
        m_command.SetCommandText(CString(sql.c_str()));
        return m_command.Execute();
    }
    // The first value of the first row `sql` gives, as text ("<no row>" without one).
    std::u16string One(const std::u16string& sql) {
        if (Run(sql) != Status::dbTrue || m_command.FetchNext() != Status::dbTrue) return u"<no row>";
        return m_command.FieldAsString(1).Str();
    }

    TempDir m_dir;
    OrvOleDbConnection m_connection;
    OrvOleDbCommand m_command;
};

}  // namespace orv::test
