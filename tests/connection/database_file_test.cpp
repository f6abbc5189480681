// Database files made and compacted through a connection: the file appears whole or not at
// all, nothing existing is overwritten, and a failed compaction leaves the source as it was.
#include <gtest/gtest.h>

#include "support/library_fixture.h"

using namespace orv::test;
using std::filesystem::file_size;

namespace {

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
