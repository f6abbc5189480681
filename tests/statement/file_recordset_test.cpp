// File recordsets: the initialisation string a file name and kind make, and reading files.
#include <gtest/gtest.h>

#include "support/library_fixture.h"

using namespace orv::test;

namespace {

class FileRecordsetTest : public ComTest {
protected:
    // The data source a failed open names, from the engine's error text.
    static bool Names(OrvOleDbFileRecordset& r, const std::u16string& path) {
        return Contains(r.GetErrorText(), u"'" + path + u"'");
    }
    TempDir m_dir;
};

TEST_F(FileRecordsetTest, ATextFileAfterABackslashOpensItsFolder) {
    OrvOleDbFileRecordset r(OrvOleDbRecordset::ctPrivate, OrvOleDbFileRecordset::ftCsv);
    EXPECT_FALSE(r.Open(u"C:\\data\\x.CsV", nullptr, nullptr, nullptr, false));
    EXPECT_TRUE(Names(r, u"C:\\data")) << Utf8(r.GetErrorText());
    EXPECT_FALSE(r.Open(u"C:\\x.csv", nullptr, nullptr, nullptr, false));
    EXPECT_TRUE(Names(r, u"C:"));
    for (const char16_t* unchanged : {u"C:\\data\\x.csvx", u"C:\\data", u"x.csv"}) {
        EXPECT_FALSE(r.Open(unchanged, nullptr, nullptr, nullptr, false));
        EXPECT_TRUE(Names(r, unchanged)) << orv::platform::Utf16ToUtf8(unchanged);
    }
    OrvOleDbFileRecordset database(OrvOleDbRecordset::ctPrivate, OrvOleDbFileRecordset::ftMdb);
    EXPECT_FALSE(database.Open(u"C:\\data\\x.csv", nullptr, nullptr, nullptr, false));
    EXPECT_TRUE(Names(database, u"C:\\data\\x.csv"));
}

TEST_F(FileRecordsetTest, ReadsATextFileAndADatabaseFile) {
    WriteFile(m_dir.Path("stock.csv"), "part,count\nbolt,10\nnut,25\n");
    OrvOleDbFileRecordset text(OrvOleDbRecordset::ctPrivate, OrvOleDbFileRecordset::ftCsv);
    ASSERT_TRUE(text.Open(m_dir.WPath("stock.csv").c_str(), nullptr, nullptr, nullptr, false))
        << Utf8(text.GetErrorText());
    ASSERT_TRUE(text.GetRecNum(u"[stock.csv]", u"count > 20"));
    ASSERT_EQ(text.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(text.FieldAsLong(1), 1);

    MakeDatabase(m_dir.Path("plant.mdb"), "CREATE TABLE t(a INTEGER); INSERT INTO t VALUES (7);");
    text.SetFileType(OrvOleDbFileRecordset::ftMdb);  // closes the text folder first
    EXPECT_EQ(text.GetConnection(), nullptr);
    ASSERT_TRUE(text.Open(m_dir.WPath("plant.mdb").c_str(), u"Admin", u"", u";Mode=Read", false));
    EXPECT_TRUE(text.GetConnection()->IsReadOnly());
    ASSERT_TRUE(text.GetRecords(u"t", u"a", nullptr, nullptr));
    ASSERT_EQ(text.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(text.FieldAsLong(1), 7);
    text.Close();
    EXPECT_EQ(text.GetConnection(), nullptr);
}

TEST_F(FileRecordsetTest, AWorkbookOpensReadWriteOrReadOnly) {
    // The read-write kind opens a workbook that does not exist yet; CREATE TABLE makes it.
    OrvOleDbFileRecordset book(OrvOleDbRecordset::ctPrivate, OrvOleDbFileRecordset::ftExcel);
    ASSERT_TRUE(book.Open(m_dir.WPath("stock.xlsx").c_str(), nullptr, nullptr, nullptr, false))
        << Utf8(book.GetErrorText());
    for (const char16_t* sql :
         {u"CREATE TABLE Stock (part TEXT, qty INTEGER)", u"INSERT INTO [Stock$] (part, qty) VALUES ('bolt', 10)",
          u"INSERT INTO [Stock$] (part, qty) VALUES ('nut', 25)"}) {
        book.SetCommandText(CString(sql));
        ASSERT_TRUE(Executes(book));
    }
    ASSERT_TRUE(book.GetRecNum(u"[Stock$]", u"qty > 20"));
    ASSERT_EQ(book.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(book.FieldAsLong(1), 1);
    book.Close();

    OrvOleDbFileRecordset readOnly(OrvOleDbRecordset::ctPrivate, OrvOleDbFileRecordset::ftExcelReadOnly);
    ASSERT_TRUE(readOnly.Open(m_dir.WPath("stock.xlsx").c_str(), nullptr, nullptr, nullptr, false));
    EXPECT_TRUE(readOnly.GetConnection()->IsReadOnly());
    ASSERT_TRUE(readOnly.GetRecords(u"[Stock$]", u"*", nullptr, u"part"));
    ASSERT_EQ(readOnly.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(readOnly.FieldAsString(1), u"bolt");
    EXPECT_EQ(readOnly.FieldAsLong(2), 10);
    readOnly.SetCommandText(CString(u"UPDATE [Stock$] SET qty = 0"));
    EXPECT_EQ(readOnly.Execute(), OrvOleDbCommand::dbError);
    EXPECT_TRUE(Contains(readOnly.GetErrorInfo(true), u"read-only"));
}

}  // namespace
