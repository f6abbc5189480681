// Connections on real database files, through the real service components and engine,
// and on a fake provider for the failures the engine never produces; the initialisation
// strings they open from, their transactions, and database files made and compacted.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>

#include "support/case_file.h"
#include "support/engine_session.h"
#include "support/fake_provider.h"
#include "support/holds.h"
#include "support/library_fixture.h"
#include "support/query_text.h"

using namespace orv::test;
using std::filesystem::file_size;

namespace {

class ConnectionTest : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        m_db = m_dir.Path("plant.mdb");
        MakeDatabase(m_db);
    }

    CComBSTR Init(const std::u16string& more = u"") const {
        return CComBSTR(InitFor(m_dir.WPath("plant.mdb"), more).c_str());
    }

    TempDir m_dir;
    std::string m_db;
};

TEST_F(ConnectionTest, ANewConnectionIsClosedAndKnowsNothing) {
    OrvOleDbConnection c;
    EXPECT_FALSE(c.IsConnected());
    EXPECT_TRUE(c.IsReadOnly());
    CString name = u"stale";
    EXPECT_FALSE(c.GetDatasource(name));
    EXPECT_TRUE(name.IsEmpty());
    EXPECT_FALSE(c.HasErrorInfo());
    EXPECT_FALSE(c.SameInit(Init()));
    EXPECT_EQ(c.GetInit().m_str, nullptr);
}

TEST_F(ConnectionTest, OpensADatabaseFileAndReportsItsState) {
    OrvOleDbConnection c;
    ASSERT_TRUE(Opens(c, Init()));
    EXPECT_TRUE(c.IsConnected());
    EXPECT_FALSE(c.IsReadOnly());
    CString name, catalog;
    EXPECT_TRUE(c.GetDatasource(name));
    EXPECT_EQ(name.Str(), m_dir.WPath("plant.mdb"));
    EXPECT_TRUE(c.GetCurrentCatalog(catalog));
    EXPECT_EQ(catalog.Str(), m_dir.WPath("plant.mdb"));
    EXPECT_NE(c.GetSession().m_spOpenRowset.p, nullptr);
    EXPECT_FALSE(c.HasErrorInfo());

    // Prompting is accepted without a prompt; the legacy provider name and Jet keys too.
    OrvOleDbConnection prompted;
    ASSERT_EQ(prompted.OpenFromInitializationString(Init(), true), S_OK) << Utf8(prompted.GetErrorText());
    EXPECT_TRUE(prompted.IsConnected());
    OrvOleDbConnection legacy;
    std::u16string init = u"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + m_dir.WPath("plant.mdb") +
                          u";Jet OLEDB:Engine Type=5;jet oledb:database locking mode=1;Persist Security Info=False;"
                          u"User ID=Admin;Password=;";
    ASSERT_TRUE(Opens(legacy, CComBSTR(init.c_str())));
    EXPECT_TRUE(legacy.IsConnected());
}

TEST_F(ConnectionTest, ModeReadOpensReadOnly) {
    for (const auto& [mode, readOnly] : {std::pair{u"Mode=Read;", true}, std::pair{u"Mode=Share Deny None;", false},
                                         std::pair{u"Mode=Read|Share Deny Write;", true}}) {
        OrvOleDbConnection c;
        ASSERT_TRUE(Opens(c, Init(mode)));
        EXPECT_EQ(c.IsReadOnly(), readOnly) << Utf8(CString(mode));
    }
}

// Close keeps the string, and the conversion object, which is made once.
TEST_F(ConnectionTest, CloseKeepsTheInitialisationString) {
    OrvOleDbConnection c;
    IDataConvert* convert = c.GetIDataConvert();
    ASSERT_NE(convert, nullptr);
    ASSERT_TRUE(Opens(c, Init()));
    c.Close();
    EXPECT_FALSE(c.IsConnected());
    EXPECT_EQ(std::u16string(c.GetInit().m_str), std::u16string(Init().m_str));
    EXPECT_TRUE(c.SameInit(Init()));
    std::u16string upper = InitFor(m_dir.WPath("plant.mdb"));
    for (auto& ch : upper) ch = orv::platform::ToUpper16(ch);
    EXPECT_TRUE(c.SameInit(CComBSTR(upper.c_str())));
    EXPECT_FALSE(c.SameInit(CComBSTR(u"Provider=x")));
    // Reopen from what it remembers.
    ASSERT_TRUE(Opens(c, c.GetInit()));
    EXPECT_TRUE(c.IsConnected());
    EXPECT_EQ(c.GetIDataConvert(), convert);
}

TEST_F(ConnectionTest, ReopeningDropsWhatWasOpenEvenWhenTheNewOpenFails) {
    OrvOleDbConnection c;
    ASSERT_TRUE(Opens(c, Init()));
    EXPECT_EQ(c.OpenFromInitializationString(CComBSTR(InitFor(m_dir.WPath("missing.mdb")).c_str()), false), E_FAIL);
    EXPECT_FALSE(c.IsConnected());
    EXPECT_EQ(c.GetSession().m_spOpenRowset.p, nullptr);
    EXPECT_TRUE(c.SameInit(Init()));  // the string of the last successful open stays
}

// ---- Bad initialisation strings ------------------------------------------------------------

// Each line of cases/bad_init_strings.test: a string that must not open, and part of its error.
TEST_F(ConnectionTest, BadInitialisationStringsFailWithTextThatNamesTheProblem) {
    ForEachCase("bad_init_strings.test", [](const std::string& line) {
        const std::size_t arrow = line.find(" => ");
        ASSERT_NE(arrow, std::string::npos);
        OrvOleDbConnection c;
        const std::u16string init = orv::platform::Utf8ToUtf16(line.substr(0, arrow));
        EXPECT_EQ(c.OpenFromInitializationString(CComBSTR(init.c_str()), false), E_FAIL);
        EXPECT_TRUE(Contains(c.GetErrorText(), orv::platform::Utf8ToUtf16(line.substr(arrow + 4))))
            << Utf8(c.GetErrorText());
        EXPECT_EQ(c.GetInit().m_str, nullptr);
        EXPECT_FALSE(c.IsConnected());
    });
}

// ---- Bad files: each fails with the path and the reason, and nothing is created or changed --

class BadFileTest : public ConnectionTest {
protected:
    void ExpectRefused(const std::string& name, const char* reason, const std::u16string& more = u"") {
        std::string path = m_dir.Path(name);
        bool existed = Exists(path);
        std::string before = existed ? ReadFile(path) : "";
        OrvOleDbConnection c;
        EXPECT_EQ(c.OpenFromInitializationString(CComBSTR(InitFor(m_dir.WPath(name), more).c_str()), false), E_FAIL);
        EXPECT_TRUE(Holds(Utf8(c.GetErrorText()), {path, reason, "SQLState: 08001"}));
        EXPECT_EQ(Exists(path), existed) << "opening must not create " << path;
        if (existed) {
            EXPECT_EQ(ReadFile(path), before) << "opening must not change " << path;
        }
    }
};

TEST_F(BadFileTest, MissingFilesFoldersAndForeignFilesAreNamedForWhatTheyAre) {
    std::filesystem::create_directory(m_dir.Path("data"));
    WriteFile(m_dir.Path("notes.mdb"), "id,name\n1,bolt\n");
    WriteFile(m_dir.Path("book.mdb"), std::string("PK\x03\x04", 4) + std::string(200, '\0'));
    std::string jet(200, '\0');  // a Jet file, but too short for one
    WriteFile(m_dir.Path("old.mdb"), jet.replace(4, 15, "Standard Jet DB"));
    WriteFile(m_dir.Path("noise.mdb"), std::string("\x01\x02\x03\xff\xfe", 5));
    for (const auto& [name, reason] : {std::pair{"missing.mdb", "there is no such file"},
                                       {"nofolder/missing.mdb", "there is no such file"},
                                       {"data", "it is a folder"},
                                       {"notes.mdb", "it holds text"},
                                       {"book.mdb", "a zip archive"},
                                       {"old.mdb", "Access database"},
                                       {"noise.mdb", "unknown format"}})
        ExpectRefused(name, reason);
}

TEST_F(BadFileTest, AFileThatCannotBeReadIsRefused) {
    if (RunningAsRoot()) GTEST_SKIP() << "root reads every file";
    ::chmod(m_db.c_str(), 0);
    ExpectRefused("plant.mdb", "permission denied");
    ::chmod(m_db.c_str(), 0644);
}

TEST_F(BadFileTest, ALockedFileIsRefusedAfterTheLockTimeout) {
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(m_db.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE; INSERT INTO t(name) VALUES('x');", nullptr, nullptr, nullptr),
              SQLITE_OK);
    ExpectRefused("plant.mdb", "locked by another program", u"Jet OLEDB:Lock Retry=2;Jet OLEDB:Lock Delay=10;");
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
}

TEST_F(ConnectionTest, AWriteProtectedFileOpensReadOnly) {
    if (RunningAsRoot()) GTEST_SKIP() << "root writes every file";
    ::chmod(m_db.c_str(), 0444);
    OrvOleDbConnection c;
    ASSERT_TRUE(Opens(c, Init()));
    EXPECT_TRUE(c.IsReadOnly());
    ::chmod(m_db.c_str(), 0644);
}

TEST_F(ConnectionTest, AnEmptyFileIsAnEmptyDatabase) {
    WriteFile(m_dir.Path("empty.mdb"), "");
    OrvOleDbConnection c;
    ASSERT_TRUE(Opens(c, CComBSTR(InitFor(m_dir.WPath("empty.mdb")).c_str())));
    EXPECT_EQ(ReadFile(m_dir.Path("empty.mdb")), "");
}

// ---- A fake provider for what the engine never does ----------------------------------------

class FakeProviderTest : public ComTest {
protected:
    CComBSTR Init() const { return CComBSTR(u"Provider=Fake.Provider;Data Source=anything"); }
    FakeProvider m_provider;
};

TEST_F(FakeProviderTest, AProviderWithoutConnectionStatusCountsAsConnected) {
    Fake().script.connectionStatus = false;
    OrvOleDbConnection c;
    ASSERT_TRUE(Opens(c, Init()));
    EXPECT_TRUE(c.IsConnected());
    c.Close();
    EXPECT_FALSE(c.IsConnected());
}

TEST_F(FakeProviderTest, AFailingInitializeLeavesAHalfOpenConnection) {
    Fake().script.initializeResult = DB_SEC_E_AUTH_FAILED;
    Fake().script.errorText = u"Not a valid password.";
    OrvOleDbConnection c;
    EXPECT_EQ(c.OpenFromInitializationString(Init(), false), E_FAIL);  // not the provider's code
    EXPECT_TRUE(Contains(c.GetErrorText(), u"Description: \"Not a valid password.\""));
    EXPECT_FALSE(c.IsConnected());
    EXPECT_EQ(c.GetInit().m_str, nullptr);
    EXPECT_EQ(c.GetSession().m_spOpenRowset.p, nullptr);
    EXPECT_FALSE(c.IsReadOnly());  // the data source is held and answers
    c.Close();
    EXPECT_TRUE(c.IsReadOnly());
}

TEST_F(FakeProviderTest, AFailingSessionKeepsTheDataSourceAndTheNewString) {
    Fake().script.sessionResult = E_OUTOFMEMORY;
    OrvOleDbConnection c;
    EXPECT_EQ(c.OpenFromInitializationString(Init(), false), E_OUTOFMEMORY);
    EXPECT_TRUE(c.SameInit(Init()));
    EXPECT_FALSE(c.IsConnected());
    EXPECT_FALSE(c.IsReadOnly());
}

// ---- Initialisation strings built from their pieces ----------------------------------------

std::u16string Text(const CComBSTR& s) { return s.m_str ? std::u16string(s.m_str, s.Length()) : std::u16string(); }

std::u16string Build(const WCHAR* dataSource, const WCHAR* userId, const WCHAR* password, const WCHAR* provider,
                     const WCHAR* properties, const WCHAR* moreProperties) {
    CComBSTR out;
    EXPECT_TRUE(
        OrvOleDbHelper::FormatConnectString(out, dataSource, userId, password, provider, properties, moreProperties));
    return Text(out);
}

// Each line of cases/connect_strings.test: the six arguments and the string they build.
TEST(ConnectionStringTest, PiecesComeInOrderAndEndWithOneSemicolon) {
    ForEachCase("connect_strings.test", [](const std::string& line) {
        const std::size_t arrow = line.find(" => ");
        ASSERT_NE(arrow, std::string::npos);
        std::vector<std::u16string> fields;
        for (std::size_t at = 0, bar = 0; bar < arrow; at = bar + 3) {
            bar = std::min(line.find(" | ", at), arrow);
            fields.push_back(orv::platform::Utf8ToUtf16(line.substr(at, bar - at)));
        }
        ASSERT_EQ(fields.size(), 6u);
        const WCHAR* a[6];
        for (int i = 0; i < 6; ++i) a[i] = fields[i] == u"-" ? nullptr : fields[i] == u"\"\"" ? u"" : fields[i].c_str();
        EXPECT_EQ(Build(a[0], a[1], a[2], a[3], a[4], a[5]), orv::platform::Utf8ToUtf16(line.substr(arrow + 4)));
    });
}

TEST(ConnectionStringTest, LongValuesAreNeverCutShort) {
    std::u16string path(5000, u'p');
    std::u16string more(3000, u'm');
    std::u16string text = Build(path.c_str(), nullptr, nullptr, ProviderName, TextProperties, more.c_str());
    EXPECT_EQ(text, u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + path +
                        u";Extended Properties='text;HDR=YES;FMT=Delimited'" + more + u";");
}

TEST(ConnectionStringTest, MissingDataSourceOrProviderBuildsNothingAndLeavesTheOutputAlone) {
    CComBSTR out(u"previous");
    EXPECT_FALSE(OrvOleDbHelper::FormatConnectString(out, nullptr, nullptr, nullptr, ProviderName, nullptr, nullptr));
    EXPECT_EQ(Text(out), u"previous");
    EXPECT_FALSE(OrvOleDbHelper::FormatConnectString(out, u"a", u"u", u"p", nullptr, ExcelProperties, nullptr));
    EXPECT_EQ(Text(out), u"previous");
    // A successful call replaces what was there.
    EXPECT_TRUE(OrvOleDbHelper::FormatConnectString(out, u"a", nullptr, nullptr, u"P", nullptr, nullptr));
    EXPECT_EQ(Text(out), u"Provider=P;Data Source=a;");
}

// ---- Transactions: what a rollback undoes, commits that nest, and commits without one ------

class TransactionTest : public OnDatabaseFile {
protected:
    void SetUp() override {
        OnDatabaseFile::SetUp();
        Open("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT)");
    }

    void Insert(const char16_t* name) {
        std::u16string sql = u"INSERT INTO t(name) VALUES('" + std::u16string(name) + u"')";
        ASSERT_EQ(RunSql(m_connection.GetSession().m_spOpenRowset, sql.c_str()), S_OK);
    }
    // Rows in the table, counted on a second connection: what has really been committed.
    std::u16string CommittedRows() {
        return QueryText(OpenSession(m_dir.WPath("plant.mdb")), u"SELECT COUNT(*) FROM t").rows.at(0).at(0);
    }
};

TEST_F(TransactionTest, RollbackUndoesAndCommitKeepsAndNestedLevelsEndInnermostFirst) {
    ASSERT_TRUE(m_connection.StartTransaction());
    Insert(u"undone");
    EXPECT_TRUE(m_connection.Rollback());
    EXPECT_EQ(CommittedRows(), u"0");

    ASSERT_TRUE(m_connection.StartTransaction());
    Insert(u"kept");
    ASSERT_TRUE(m_connection.StartTransaction());
    Insert(u"inner");
    EXPECT_TRUE(m_connection.Rollback());  // the inner level only
    EXPECT_TRUE(m_connection.Commit());
    EXPECT_EQ(CommittedRows(), u"1");
}

TEST_F(TransactionTest, CommittingTwiceFailsWithTextAndASuccessClearsIt) {
    ASSERT_TRUE(m_connection.StartTransaction());
    EXPECT_TRUE(m_connection.Commit());
    EXPECT_FALSE(m_connection.Commit());
    EXPECT_NE(m_connection.GetErrorText().Find(u"no transaction to commit"), -1);
    EXPECT_NE(m_connection.GetErrorText().Find(u"SQLState: 25000"), -1);
    EXPECT_FALSE(m_connection.Rollback());
    ASSERT_TRUE(m_connection.StartTransaction());
    EXPECT_FALSE(m_connection.HasErrorInfo());
    EXPECT_TRUE(m_connection.Commit());
}

TEST_F(TransactionTest, AClosedConnectionSaysItIsNotOpen) {
    m_connection.Close();
    EXPECT_FALSE(m_connection.StartTransaction());
    EXPECT_NE(m_connection.GetErrorText().Find(u"not open"), -1);
    EXPECT_FALSE(m_connection.Commit());
    EXPECT_FALSE(m_connection.Rollback());
}

// ---- Database files made and compacted -------------------------------------------------------

// Database files made and compacted through a connection: the file appears whole or not at
// all, nothing existing is overwritten, and a failed compaction leaves the source as it was.

class DatabaseFileTest : public ComTest {
protected:
    CComBSTR Init(const std::string& name) const { return CComBSTR(InitFor(m_dir.WPath(name)).c_str()); }
    CComBSTR CreationInit() const {
        CComBSTR init;
        OrvOleDbHelper::FormatConnectString(init, u"ignored.mdb", nullptr, nullptr, ProviderName, MdbEngineType,
                                            nullptr);
        return init;
    }
    // Fills `name` with 20,000 rows and deletes all but every hundredth.
    void MakeMostlyEmpty(const std::string& name) {
        MakeDatabase(m_dir.Path(name),
                     "CREATE TABLE t(id INTEGER PRIMARY KEY, note TEXT);"
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)"
                     "INSERT INTO t SELECT i, printf('%.200c', 'x') FROM n;"
                     "DELETE FROM t WHERE id % 100 != 0;");
    }

    TempDir m_dir;
};

TEST_F(DatabaseFileTest, CreatesAnEmptyDatabaseThatOpens) {
    OrvOleDbErrorInfo error;
    CComBSTR path(m_dir.WPath("new.mdb").c_str());
    ASSERT_EQ(OrvOleDbConnection::CreateMdbFile(CreationInit(), path, error), S_OK) << Utf8(error.GetErrorText());
    EXPECT_EQ(ReadFile(m_dir.Path("new.mdb")).substr(0, 15), "SQLite format 3");
    OrvOleDbConnection c;
    ASSERT_TRUE(Opens(c, Init("new.mdb")));
    EXPECT_FALSE(c.IsReadOnly());
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path()))  // no temporary left
        EXPECT_EQ(entry.path().filename(), "new.mdb");
}

TEST_F(DatabaseFileTest, NeverOverwritesAnExistingFileNorMakesAMissingFolder) {
    WriteFile(m_dir.Path("mine.mdb"), "precious");
    OrvOleDbErrorInfo error;
    HRESULT hr = OrvOleDbConnection::CreateMdbFile(CreationInit(), CComBSTR(m_dir.WPath("mine.mdb").c_str()), error);
    EXPECT_EQ(hr, DB_E_DUPLICATEDATASOURCE);
    EXPECT_NE(error.GetErrorText().Find(u"never overwritten"), -1) << Utf8(error.GetErrorText());
    EXPECT_EQ(ReadFile(m_dir.Path("mine.mdb")), "precious");
    EXPECT_NE(OrvOleDbConnection::CreateMdbFile(CreationInit(), CComBSTR(m_dir.WPath("mine.mdb").c_str())), S_OK);

    // A missing folder is named, and not made.
    EXPECT_EQ(
        OrvOleDbConnection::CreateMdbFile(CreationInit(), CComBSTR(m_dir.WPath("no/such/new.mdb").c_str()), error),
        E_FAIL);
    EXPECT_NE(error.GetErrorText().Find(u"does not exist"), -1) << Utf8(error.GetErrorText());
    EXPECT_FALSE(Exists(m_dir.Path("no")));
}

// Compaction shrinks the file, keeps every row, leaves no copy behind (nor the stale one of
// an earlier run) and closes the connection, which keeps its own string (not the read-only
// one it compacted with): from an open connection, a closed one, and on a path without a dot.
TEST_F(DatabaseFileTest, CompactionShrinksTheFileKeepsEveryRowAndClosesTheConnection) {
    WriteFile(m_dir.Path("plant_TMP_.mdb"), "stale copy of an earlier run");
    for (const auto& [name, closed] : {std::pair{"plant.mdb", false}, {"closed.mdb", true}, {"plant", false}}) {
        SCOPED_TRACE(name);
        MakeMostlyEmpty(name);
        const auto before = file_size(m_dir.Path(name));
        OrvOleDbConnection c;
        ASSERT_TRUE(Opens(c, Init(name)));
        if (closed) c.Close();
        ASSERT_EQ(c.CompactMdb(), S_OK) << Utf8(c.GetErrorText());
        EXPECT_FALSE(c.IsConnected());
        EXPECT_LT(file_size(m_dir.Path(name)) * 10, before);
        EXPECT_TRUE(c.GetInit() == Init(name));
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path()))
            EXPECT_EQ(entry.path().filename().string().find("_TMP_"), std::string::npos) << entry.path();
        ASSERT_TRUE(Opens(c, c.GetInit()));
        EXPECT_EQ(First(c, u"SELECT COUNT(*) || ' ' || SUM(length(note)) FROM t"), "200 40000");
    }
}

TEST_F(DatabaseFileTest, AFailedCompactionLeavesTheSourceByteForByte) {
    MakeMostlyEmpty("plant.mdb");
    const std::string before = ReadFile(m_dir.Path("plant.mdb"));
    std::filesystem::create_directory(m_dir.Path("plant_TMP_.mdb"));  // the copy cannot be written there
    OrvOleDbConnection c;
    ASSERT_TRUE(Opens(c, Init("plant.mdb")));
    EXPECT_NE(c.CompactMdb(), S_OK);
    EXPECT_NE(c.GetErrorText().Find(u"plant_TMP_.mdb"), -1) << Utf8(c.GetErrorText());
    EXPECT_FALSE(c.IsConnected());
    EXPECT_EQ(ReadFile(m_dir.Path("plant.mdb")), before);
}

TEST_F(DatabaseFileTest, ANeverOpenedConnectionCannotBeCompacted) {
    OrvOleDbConnection c;
    try {
        c.CompactMdb();
        ADD_FAILURE() << "expected an exception";
    } catch (const COleException& e) {
        EXPECT_EQ(e.m_sc, E_INVALIDARG);
    }
}

}  // namespace
