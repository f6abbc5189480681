// Workbooks through the library's classes: sheets, defined names and cell ranges read as
// tables from files that another program made, and every kind of write read back by that
// program (openpyxl).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "support/case_file.h"
#include "support/holds.h"
#include "support/library_fixture.h"
#include "support/python.h"

using namespace orv::test;

namespace {

// Runs one section of cases/workbook.test, whose lines are steps:
//   open FILE [with PROPS]     opens FILE (in the test's folder, or fixtures/NAME) with the
//                              Extended Properties PROPS (Excel 12.0 Xml;HDR=YES)
//   open fails FILE => TEXT    the open fails, its error text holding TEXT
//   read-only                  the open connection is read-only
//   ok SQL [=> N]              SQL succeeds (and reports N rows affected)
//   error SQL [=> TEXT]        SQL fails, its error text holding TEXT
//   query SQL                  the rows SQL gives, each on a line "= ROW" that follows, fields
//                              as text joined by '|' (<null> for NULL)
//   columns SQL                the one line "= ROW" that follows: each column's "name TYPE"
//   tables                     the tables the catalog lists, one a line "= NAME"
//   catalog TABLE              the columns the catalog lists, one a line "= name TYPE"
//   begin, commit, rollback    the connection's transactions (nested: a savepoint)
//   close                      closes the command and the connection
//   snapshot, unchanged        keeps book.xlsx's bytes; they are the kept ones still
//   absent FILE                there is no FILE
//   write FILE TEXT            writes TEXT and a line feed to FILE
//   cut FROM TO N              writes the first N bytes of FROM to TO
//   dump FILE                  what openpyxl reads from FILE, which the following lines
//   has TEXT, lacks TEXT       say it holds or does not
//   other STEP                 open FILE, ok, error, query or close on a second connection
//                              (another program's), which waits 100 ms for a writer
class WorkbookScript : public OnDatabaseFile, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        OnDatabaseFile::SetUp();
        m_book = m_dir.Path("book.xlsx");
        ASSERT_EQ(Book("make", m_book), "");
    }

    // Runs cases/workbook.py (openpyxl) on `path`: its output, or "<failed>" and the output.
    static std::string Book(const char* verb, const std::string& path) {
        std::string output;
        const std::string script = std::string(ORV_TEST_CASES) + "/workbook.py";
        if (RunCommand(std::string(kPython) + " " + ShellQuote(script) + " " + verb + " " + ShellQuote(path) + " 2>&1",
                       output) == 0)
            return output;
        return "<failed>\n" + output;
    }

    bool Open(const std::string& path, const char16_t* properties = u"Excel 12.0 Xml;HDR=YES") {
        std::u16string init =
            InitFor(orv::platform::Utf8ToUtf16(path), u"Extended Properties=\"" + std::u16string(properties) + u"\"");
        if (m_connection.OpenFromInitializationString(CComBSTR(init.c_str()), false) != S_OK) return false;
        m_command.SetConnection(&m_connection);
        return true;
    }
    // `sql` run by `command` (the test's own one unless told).
    Status Exec(const char16_t* sql, OrvOleDbCommand* command = nullptr) {
        command = command ? command : &m_command;
        command->SetCommandText(CString(sql));
        return command->Execute();
    }
    std::string Error(OrvOleDbCommand* command = nullptr) {
        return Utf8((command ? command : &m_command)->GetErrorInfo(true));
    }

    // Every row of the result, fields as text joined by '|'.
    std::vector<std::string> Query(const char16_t* sql, OrvOleDbCommand* command = nullptr) {
        command = command ? command : &m_command;
        std::vector<std::string> rows;
        EXPECT_EQ(Exec(sql, command), Status::dbTrue) << Error(command);
        while (command->FetchNext() == Status::dbTrue) {
            std::string row;
            for (DBORDINAL i = 1; i <= command->GetColumnCount(); ++i) {
                if (i > 1) row += "|";
                row += command->IsNull(i) == Status::dbTrue ? "<null>" : Utf8(command->FieldAsString(i));
            }
            rows.push_back(row);
        }
        command->Close();
        return rows;
    }

    std::string m_book;
    std::string Path(const std::string& file) {
        return file.rfind("fixtures/", 0) == 0 ? std::string(ORV_FIXTURES) + "/workbooks/" + file.substr(9)
                                               : m_dir.Path(file);
    }
    OrvOleDbConnection m_otherConnection;  // another program's, as it were
    OrvOleDbCommand m_otherCommand;

    // The result's columns as "name TYPE" joined by '|'.
    std::string Columns(const std::u16string& sql) {
        EXPECT_EQ(Exec(sql.c_str()), Status::dbTrue) << Error();
        std::string row;
        for (DBORDINAL i = 1; i <= m_command.GetColumnCount(); ++i)
            row += (i > 1 ? "|" : "") + Utf8(m_command.GetColumnName(i)) +
                   TypeName([&](DBTYPE type) { return m_command.GetRawType(i) == type; });
        m_command.Close();
        return row;
    }
    // " TYPE" for the one of the types a workbook has that `is` says, or "".
    template <class Is>
    static std::string TypeName(Is is) {
        for (const auto& [type, name] : std::map<DBTYPE, std::string>{
                 {DBTYPE_R8, "R8"}, {DBTYPE_WSTR, "WSTR"}, {DBTYPE_DATE, "DATE"}, {DBTYPE_BOOL, "BOOL"}})
            if (is(type)) return " " + name;
        return "";
    }
};

// `text` split at the first `by`: before and after it (all and nothing without one).
std::pair<std::string, std::string> Split(const std::string& text, const std::string& by) {
    const std::size_t at = text.find(by);
    if (at == std::string::npos) return {text, ""};
    return {text.substr(0, at), text.substr(at + by.size())};
}

TEST_P(WorkbookScript, Runs) {
    bool mine = false;
    std::vector<std::string> rows;
    std::size_t next = 0;
    std::string kept, dump;
    int steps = 0;
    ForEachCase("workbook.test", [&](const std::string& line) {
        const bool other = line.rfind("other ", 0) == 0;
        OrvOleDbCommand* command = other ? &m_otherCommand : &m_command;
        const auto [word, rest] = Split(line.substr(other ? 6 : 0), " ");
        if (word == "section") mine = rest == GetParam();
        if (!mine || word == "section") return;
        ++steps;
        if (word != "=") {
            EXPECT_EQ(next, rows.size()) << "rows beyond the expected ones";
            rows.clear();
            next = 0;
        }
        const auto [text, after] = Split(rest, " => ");
        const std::u16string sql = orv::platform::Utf8ToUtf16(text);
        if (word == "=") {
            ASSERT_LT(next, rows.size()) << "no such row";
            EXPECT_EQ(rows[next++], rest);
        } else if (word == "open" && text.rfind("fails ", 0) == 0) {
            EXPECT_FALSE(Open(Path(text.substr(6))));
            EXPECT_NE(Utf8(m_connection.GetErrorInfo(true)).find(after), std::string::npos)
                << Utf8(m_connection.GetErrorInfo(true));
        } else if (word == "open" && other) {
            // A short wait for another writer: 100 ms.
            const std::u16string init =
                InitFor(orv::platform::Utf8ToUtf16(Path(rest)),
                        u"Extended Properties=\"Excel 12.0 Xml;HDR=YES\";Jet OLEDB:Lock Retry=10;"
                        u"Jet OLEDB:Lock Delay=10");
            ASSERT_TRUE(Opens(m_otherConnection, CComBSTR(init.c_str())));
            m_otherCommand.SetConnection(&m_otherConnection);
        } else if (word == "open") {
            const auto [file, properties] = Split(rest, " with ");
            const std::u16string given = orv::platform::Utf8ToUtf16(properties);
            ASSERT_TRUE(Open(Path(file), given.empty() ? u"Excel 12.0 Xml;HDR=YES" : given.c_str()))
                << Utf8(m_connection.GetErrorInfo(true));
        } else if (word == "ok") {
            ASSERT_EQ(Exec(sql.c_str(), command), Status::dbTrue) << Error(command);
            command->Close();
            EXPECT_TRUE(after.empty() || m_command.GetRowsAffected() == std::stol(after))
                << m_command.GetRowsAffected();
        } else if (word == "error") {
            EXPECT_EQ(Exec(sql.c_str(), command), Status::dbError);
            EXPECT_NE(Error(command).find(after), std::string::npos) << Error(command);
            command->Close();
        } else if (word == "query" || word == "columns") {
            rows = word == "query" ? Query(sql.c_str(), command) : std::vector<std::string>{Columns(sql)};
        } else if (word == "tables") {
            OrvOleDbTables tables;
            std::vector<CString> names;
            ASSERT_TRUE(tables.Open(&m_connection, nullptr, nullptr, nullptr, u"TABLE") && tables.GetTableList(names));
            for (const CString& name : names) rows.push_back(Utf8(name));
        } else if (word == "catalog") {
            OrvOleDbColumns columns;
            ASSERT_TRUE(columns.Open(&m_connection, nullptr, nullptr, sql.c_str(), nullptr, false));
            for (CString name; columns.FetchNext() && columns.GetName(name);)
                rows.push_back(Utf8(name) + TypeName([&](DBTYPE type) { return columns.IsDataType(type); }));
        } else if (word == "begin" || word == "commit" || word == "rollback") {
            ASSERT_TRUE(word == "begin"    ? m_connection.StartTransaction()
                        : word == "commit" ? m_connection.Commit()
                                           : m_connection.Rollback())
                << Utf8(m_connection.GetErrorText());
        } else if (word == "close") {
            command->Close();
            (other ? m_otherConnection : m_connection).Close();
        } else if (word == "read-only") {
            EXPECT_TRUE(m_connection.IsReadOnly());
        } else if (word == "snapshot" || word == "unchanged") {
            EXPECT_TRUE(word == "snapshot" || ReadFile(m_book) == kept) << "book.xlsx changed";
            kept = ReadFile(m_book);
        } else if (word == "absent") {
            EXPECT_FALSE(std::filesystem::exists(Path(rest)));
        } else if (word == "write") {
            WriteFile(Path(Split(rest, " ").first), Split(rest, " ").second + "\n");
        } else if (word == "cut") {
            std::istringstream in(rest);
            std::string from, to;
            std::size_t bytes = 0;
            in >> from >> to >> bytes;
            WriteFile(Path(to), ReadFile(Path(from)).substr(0, bytes));
        } else if (word == "dump") {
            dump = Book("dump", Path(rest));
        } else if (word == "has" || word == "lacks") {
            EXPECT_EQ(dump.find(rest) != std::string::npos, word == "has") << dump;
        } else {
            ADD_FAILURE() << "unknown step";
        }
    });
    EXPECT_EQ(next, rows.size()) << "rows beyond the expected ones";
    EXPECT_GT(steps, 0) << "no section " << GetParam();
}

// Every section of the file, each a test of its own.
std::vector<std::string> Sections() {
    std::ifstream in(std::string(ORV_TEST_CASES) + "/workbook.test");
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("section ", 0) == 0) names.push_back(line.substr(8));
    return names;
}

INSTANTIATE_TEST_SUITE_P(Sections, WorkbookScript, ::testing::ValuesIn(Sections()),
                         [](const auto& info) { return info.param; });

}  // namespace
