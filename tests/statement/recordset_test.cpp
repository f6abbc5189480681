// Recordsets over one table on each connect type: where the connection comes from, where
// it goes on Close, and the statements GetRecords and GetRecNum run; and file recordsets:
// the initialisation string a file name and kind make, and reading files.
#include <gtest/gtest.h>

#include "support/library_fixture.h"

using namespace orv::test;

namespace {

class Probe : public OrvOleDbRecordset {
public:
    using OrvOleDbRecordset::OrvOleDbRecordset;
    const CString& Text() const { return m_commandText; }
};

class RecordsetTest : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        MakeDatabase(m_dir.Path("plant.mdb"),
                     "CREATE TABLE T(a INTEGER, b TEXT(10), x INTEGER);"
                     "INSERT INTO T VALUES (1, 'c', 1), (2, 'b', 1), (3, 'a', 2);");
        m_init = CComBSTR(InitFor(m_dir.WPath("plant.mdb")).c_str());
        ASSERT_NE(Cache(), nullptr) << "the library's start-up creates the connection cache";
        Cache()->ClearCache();
    }
    void TearDown() override {
        Cache()->ClearCache();
        ComTest::TearDown();
    }
    static OrvOleDbConnectionCache* Cache() { return OrvOleDbConnectionCache::GetCacheManager(); }

    TempDir m_dir;
    CComBSTR m_init;
};

TEST_F(RecordsetTest, StatementsLeaveBlankClausesOut) {
    Probe r(OrvOleDbRecordset::ctPrivate);
    ASSERT_TRUE(r.Open(m_init, false)) << Utf8(r.GetErrorText());
    ASSERT_TRUE(r.GetRecords(u"T", u"*", nullptr, nullptr));
    EXPECT_EQ(r.Text(), CString(u"SELECT * FROM T"));
    ASSERT_TRUE(r.GetRecords(u"T", u"*", u"   ", u"\t\r\n"));
    EXPECT_EQ(r.Text(), CString(u"SELECT * FROM T"));
    ASSERT_TRUE(r.GetRecords(u"T", u"a, b", u"a > 1", u"b"));
    EXPECT_EQ(r.Text(), CString(u"SELECT a, b FROM T WHERE a > 1 ORDER BY b"));
    ASSERT_EQ(r.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(r.FieldAsLong(1), 3);
    ASSERT_TRUE(r.GetRecNum(u"T", u"x = 1"));
    EXPECT_EQ(r.Text(), CString(u"SELECT COUNT(*) FROM T WHERE x = 1"));
    ASSERT_EQ(r.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(r.FieldAsLong(1), 2);
}

TEST_F(RecordsetTest, BlankRequiredTextsRunNothing) {
    Probe r(OrvOleDbRecordset::ctPrivate);
    ASSERT_TRUE(r.Open(m_init, false));
    ASSERT_TRUE(r.GetRecNum(u"T", nullptr));
    EXPECT_FALSE(r.GetRecords(u"T", nullptr, nullptr, nullptr));
    EXPECT_FALSE(r.GetRecords(u"T", u" ", nullptr, nullptr));
    EXPECT_FALSE(r.GetRecNum(u"", nullptr));
    EXPECT_EQ(r.Text(), CString(u"SELECT COUNT(*) FROM T"));  // the last statement that ran
    EXPECT_TRUE(r.HasResults());  // and its result is still open
}

TEST_F(RecordsetTest, ACachedRecordsetBorrowsFromTheCacheAndGivesBack) {
    OrvOleDbConnection* lent = nullptr;
    {
        OrvOleDbRecordset r;  // ctCached
        ASSERT_TRUE(r.Open(m_init, false));
        lent = r.GetConnection();
        ASSERT_NE(lent, nullptr);
        EXPECT_TRUE(r.GetRecNum(u"T", nullptr));
        r.Close();
        EXPECT_EQ(r.GetConnection(), nullptr);
        OrvOleDbConnection* back = Cache()->ConnectFromCache(m_init);
        EXPECT_EQ(back, lent);  // handed back on Close
        Cache()->Cache(back);
        ASSERT_TRUE(r.Open(m_init, false));
        EXPECT_EQ(r.GetConnection(), lent);  // and handed out again
        ASSERT_TRUE(r.Open(m_init, false));  // opening again gives the first back before asking
        EXPECT_EQ(r.GetConnection(), lent);
    }
    OrvOleDbConnection* afterDestruction = Cache()->ConnectFromCache(m_init);
    EXPECT_EQ(afterDestruction, lent);  // the destructor handed it back too
    Cache()->Cache(afterDestruction);
}

TEST_F(RecordsetTest, AFailedOpenCarriesTheReason) {
    CComBSTR bad(InitFor(m_dir.WPath("missing.mdb")).c_str());
    OrvOleDbRecordset cached;
    EXPECT_FALSE(cached.Open(bad, false));
    EXPECT_NE(cached.GetErrorText().Find(u"there is no such file"), -1) << Utf8(cached.GetErrorText());
    OrvOleDbRecordset own(OrvOleDbRecordset::ctPrivate);
    EXPECT_FALSE(own.Open(bad, false));
    EXPECT_EQ(own.GetConnection(), nullptr);
    EXPECT_NE(own.GetErrorText().Find(u"there is no such file"), -1);
    EXPECT_FALSE(own.GetRecNum(u"T", nullptr));
}

TEST_F(RecordsetTest, SetConnectionOnlyAppliesToExternalRecordsets) {
    OrvOleDbConnection first, second;
    ASSERT_TRUE(Opens(first, m_init));
    ASSERT_TRUE(Opens(second, m_init));

    OrvOleDbRecordset own(OrvOleDbRecordset::ctPrivate);
    own.SetConnection(&first);
    EXPECT_EQ(own.GetConnection(), nullptr);

    Probe external(OrvOleDbRecordset::ctExternal);
    EXPECT_FALSE(external.Open(m_init, false));  // nothing to open: the host lends one
    external.SetConnection(&first);
    ASSERT_TRUE(external.GetRecords(u"T", u"a", nullptr, u"a"));
    ASSERT_EQ(external.FetchNext(), OrvOleDbCommand::dbTrue);
    external.SetConnection(&second);  // ends the first result set; the first stays open
    EXPECT_FALSE(external.HasResults());
    EXPECT_TRUE(first.IsConnected());
    EXPECT_EQ(external.GetConnection(), &second);
    external.SetConnection(nullptr);  // null keeps the current one
    EXPECT_EQ(external.GetConnection(), &second);
    external.Close();
    EXPECT_TRUE(second.IsConnected());  // the host's connection is left alone
}

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
