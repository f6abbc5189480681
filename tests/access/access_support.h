// Test support for genuine Access files: where the test files are (they come from outside
// the project and may be absent: tests then skip with a message), what Debian's mdbtools
// print for them, and the engine's view of the same tables through OrvOleDbCommand.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "OrvOleDb.h"
#include "support/files.h"
#include "support/holds.h"
#include "support/library_fixture.h"
#include "support/python.h"

namespace orv::test {

// The folder of the Access test files: $ORV_ACCESS_FIXTURES, else the shared fixtures
// beside the source tree; "" when the file `name` is not there.
inline std::string AccessFixture(const std::string& name) {
    const char* env = std::getenv("ORV_ACCESS_FIXTURES");
    const std::string folder = env && *env ? env : ORV_ACCESS_FIXTURES_DIR;
    const std::string path = folder + "/" + name;
    return std::filesystem::exists(path) ? path : std::string();
}

#define ORV_NEED_ACCESS_FIXTURE(var, name)                                                       \
    const std::string var = ::orv::test::AccessFixture(name);                                    \
    if (var.empty())                                                                             \
        GTEST_SKIP() << "the Access test file " << name << " is not in " ORV_ACCESS_FIXTURES_DIR \
                     << " (set ORV_ACCESS_FIXTURES to its folder)";                              \
    if (std::system("command -v mdb-export >/dev/null 2>&1") != 0) GTEST_SKIP() << "mdbtools is not installed"

// What a command prints on standard output.
inline std::string Output(const std::string& command) {
    std::string out;
    RunCommand(command, out);
    return out;
}

// Splits `text` at `separator`; a trailing separator ends the last piece.
inline std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::istringstream in(text);
    for (std::string piece; std::getline(in, piece, separator);) pieces.push_back(piece);
    return pieces;
}

// The user tables of `file` as mdb-tables lists them.
inline std::vector<std::string> MdbTables(const std::string& file) {
    std::vector<std::string> tables;
    for (std::string line : Split(Output("mdb-tables -1 " + ShellQuote(file)), '\n'))
        if (!line.empty()) tables.push_back(line);
    return tables;
}

// Every row of `table` as mdb-export prints it, fields unquoted and split on control
// characters that no value holds; dates as yyyy-mm-dd hh:mm:ss, bytes as hexadecimal.
inline std::vector<std::vector<std::string>> MdbExport(const std::string& file, const std::string& table) {
    const std::string command = "mdb-export -H -Q -d $'\\x1f' -R $'\\x1e' -b hex -T '%Y-%m-%d %H:%M:%S' " +
                                ShellQuote(file) + " " + ShellQuote(table);
    std::vector<std::vector<std::string>> rows;
    for (const std::string& row : Split(Output("bash -c " + ShellQuote(command)), '\x1e')) {
        std::vector<std::string> fields = Split(row, '\x1f');
        if (!row.empty() && row.back() == '\x1f') fields.push_back("");
        rows.push_back(std::move(fields));
    }
    return rows;
}

// An open connection on `path` (Data Source only, as for any database file).
class AccessConnection {
public:
    explicit AccessConnection(const std::string& path) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        m_hr = m_connection.OpenFromInitializationString(CComBSTR(InitFor(platform::Utf8ToUtf16(path)).c_str()), false);
    }
    ~AccessConnection() {
        m_connection.Close();
        CoUninitialize();
    }
    HRESULT Result() const { return m_hr; }
    OrvOleDbConnection& Get() { return m_connection; }
    std::string Error() { return Utf8(m_connection.GetErrorText()); }

    // Every row of `sql`, each field as FieldAsString gives it ("<null>" for NULL).
    std::vector<std::vector<std::string>> Rows(const std::u16string& sql) {
        OrvOleDbCommand command;
        command.SetConnection(&m_connection);
        command.SetCommandText(CString(sql.c_str()));
        EXPECT_TRUE(Executes(command));
        std::vector<std::vector<std::string>> rows;
        while (command.FetchNext() == OrvOleDbCommand::dbTrue) {
            std::vector<std::string> row;
            for (unsigned __int64 c = 1; c <= command.GetColumnCount(); ++c)
                row.push_back(command.IsNull(c) == OrvOleDbCommand::dbTrue ? "<null>" : Utf8(command.FieldAsString(c)));
            rows.push_back(std::move(row));
        }
        return rows;
    }

private:
    OrvOleDbConnection m_connection;
    HRESULT m_hr;
};

}  // namespace orv::test
