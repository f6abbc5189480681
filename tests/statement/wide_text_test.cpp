// Text from ported Windows code (wchar_t, UTF-32 here) through every exported member that
// takes text, on a real database file: the same calls made with UTF-16 text must give the
// same rows, non-ASCII names and a character beyond the Basic Multilingual Plane included.
#include <gtest/gtest.h>

#include <string>

#include "support/library_fixture.h"

using namespace orv::test;

namespace {

// The literal `s` spelt as text of the type Char names.
#define SPELT(s)                                                  \
    [] {                                                          \
        if constexpr (std::is_same_v<Char, wchar_t>) return L##s; \
        else return u##s;                                         \
    }()

// Writes one row and reads it back through every text-taking member, all fed with text of
// type Char; the database file is new each time.
template <class Char>
void RoundTrip() {
    SCOPED_TRACE((std::is_same_v<Char, wchar_t> ? "wchar_t sources" : "char16_t sources"));
    TempDir dir;
    const std::string path = dir.Path("plant.mdb");
    const std::wstring widePath(path.begin(), path.end());  // the temporary folder is ASCII
    const std::u16string utf16Path = dir.WPath("plant.mdb");
    const Char* dataSource;
    if constexpr (std::is_same_v<Char, wchar_t>) dataSource = widePath.c_str();
    else dataSource = utf16Path.c_str();

    CComBSTR init;
    ASSERT_TRUE(
        OrvOleDbHelper::FormatConnectString(init, dataSource, nullptr, NULL, ProviderName, MdbEngineType, nullptr));
    EXPECT_TRUE(init ==
                (u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + utf16Path + u";Jet OLEDB:Engine Type=5;").c_str());
    ASSERT_EQ(OrvOleDbConnection::CreateMdbFile(init, dataSource), S_OK);
    OrvOleDbConnection connection;
    ASSERT_TRUE(Opens(connection, init));

    OrvOleDbCommand command;
    command.SetConnection(&connection);
    command.SetCommandText(SPELT("CREATE TABLE [B\u00FCcher] (id LONG PRIMARY KEY, name TEXT(40))"));
    ASSERT_TRUE(Executes(command));
    command.Close();

    OrvOleDbDDLCommand writer;
    writer.SetConnection(&connection);
    writer.SetTable(SPELT("B\u00FCcher"));
    writer.AddSearchCol(SPELT("id"), SPELT("%d"), 7);
    writer.AddColumn(SPELT("name"), SPELT("'%s'"), SPELT("O'Brien \u00E9t\u00E9 \U0001F600"));
    ASSERT_TRUE(writer.UpdateInsert()) << writer.GetErrorInfo(true);

    OrvOleDbRecordset rows(OrvOleDbRecordset::ctExternal);
    rows.SetConnection(&connection);
    ASSERT_TRUE(rows.GetRecords(SPELT("B\u00FCcher"), SPELT("id, name"), SPELT("name LIKE 'O''B%'"), SPELT("id")))
        << rows.GetErrorInfo(true);
    ASSERT_EQ(rows.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(rows.GetColumnIndex(SPELT("name")), 2u);
    EXPECT_EQ(rows.FieldAsLong(1), 7);
    EXPECT_EQ(rows.FieldAsString(2), u"O'Brien \u00E9t\u00E9 \U0001F600");
    EXPECT_EQ(rows.FieldAsString(2), L"O'Brien \u00E9t\u00E9 \U0001F600");
    rows.Close();
    rows.SetConnection(&connection);  // Close gave the lent connection up
    ASSERT_TRUE(rows.GetRecNum(SPELT("B\u00FCcher"), SPELT("name LIKE 'O''B%'"))) << rows.GetErrorInfo(true);
    ASSERT_EQ(rows.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(rows.FieldAsLong(1), 1);
    rows.Close();

    OrvOleDbTables tables;
    ASSERT_TRUE(tables.Open(&connection, nullptr, nullptr, SPELT("B\u00FCcher"), SPELT("TABLE")));
    ASSERT_TRUE(tables.FetchNext());
    CString name;
    EXPECT_TRUE(tables.GetName(name));
    EXPECT_EQ(name, u"B\u00FCcher");
    tables.Close();

    OrvOleDbColumns columns;
    ASSERT_TRUE(columns.Open(&connection, nullptr, nullptr, SPELT("B\u00FCcher"), SPELT("name"), false));
    ASSERT_TRUE(columns.FetchNext());
    EXPECT_TRUE(columns.GetName(name));
    EXPECT_EQ(name, u"name");
    columns.Close();

    OrvOleDbIndexes indexes;
    ASSERT_TRUE(indexes.Open(&connection, nullptr, nullptr, SPELT("B\u00FCcher"), nullptr));
    ASSERT_TRUE(indexes.FetchNext());
    EXPECT_TRUE(indexes.GetColumnName(name));
    EXPECT_EQ(name, u"id");
    indexes.Close();
    connection.Close();

    OrvOleDbFileRecordset file(OrvOleDbRecordset::ctPrivate, OrvOleDbFileRecordset::ftMdb);
    ASSERT_TRUE(file.Open(dataSource, nullptr, nullptr, nullptr, false)) << file.GetErrorInfo(true);
    ASSERT_TRUE(file.GetRecNum(SPELT("B\u00FCcher"), nullptr));
    ASSERT_EQ(file.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(file.FieldAsLong(1), 1);
    file.Close();
}

#undef SPELT

}  // namespace

TEST(WideText, WcharAndUtf16SourcesWriteAndFindTheSameRows) {
    RoundTrip<wchar_t>();
    RoundTrip<char16_t>();
}

// Opens the lists to the test.
class Lists : public OrvOleDbDDLCommand {
public:
    using OrvOleDbDDLCommand::m_columns;
    using OrvOleDbDDLCommand::m_searchCols;
    using OrvOleDbDDLCommand::m_table;
};

TEST(WideText, MixedSourcesInOneCallAreEachConverted) {
    Lists writer;
    const CString column(u"Stra\u00DFe");
    writer.AddColumn(column, L"'%s'", L"\U0001F600'");  // UTF-16 name, wchar_t format
    writer.AddColumn(L"added", u"%s", u"Date()");  // wchar_t name, UTF-16 format
    writer.AddSearchCol(L"id", L"%c%S", L'\u00E9', "\xC3\xBC");  // narrow text under %S
    writer.SetTable(L"B\u00FCcher");
    ASSERT_EQ(writer.m_columns.size(), 2u);
    EXPECT_EQ(writer.m_columns[0].m_column, u"Stra\u00DFe");
    EXPECT_EQ(writer.m_columns[0].m_value, u"'\U0001F600'''");  // the quote inside doubled
    EXPECT_EQ(writer.m_columns[1].m_column, u"added");
    EXPECT_EQ(writer.m_columns[1].m_value, u"Date()");
    ASSERT_EQ(writer.m_searchCols.size(), 1u);
    EXPECT_EQ(writer.m_searchCols[0].m_value, u"\u00E9\u00FC");
    EXPECT_EQ(writer.m_table, u"B\u00FCcher");

    CComBSTR init;
    EXPECT_TRUE(OrvOleDbHelper::FormatConnectString(init, u"/nowhere.mdb", nullptr, nullptr, L"Some.Provider",
                                                    TextProperties, L";More=1"));
    EXPECT_TRUE(init ==
                u"Provider=Some.Provider;Data Source=/nowhere.mdb;"
                u"Extended Properties='text;HDR=YES;FMT=Delimited';More=1;");
}
