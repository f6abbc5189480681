// The engine's rowsets through the OLE DB interfaces: values and their truncation (moves
// in both directions: backward_walk_test.cpp; stored date text's forms: text_forms.test). Statements, failures,
// transactions and column types are cases of tests/engine/sql/statements.test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/query_text.h"

using namespace orv::test;

namespace {

// Reads column values of a row through one accessor: an I4 key and a WSTR name.
struct KeyAndName {
    LONG key;
    DBSTATUS keyStatus;
    DBLENGTH keyLength;
    char16_t name[64];
    DBSTATUS nameStatus;
    DBLENGTH nameLength;
};

class RowsetTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        MakeDatabase(m_dir.Path("rows.db"),
                     "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT(50) NOT NULL);"
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10)"
                     "INSERT INTO t SELECT i, 'row ' || i FROM n;"
                     "CREATE TABLE d(t DATETIME); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                     "WHERE i < 100) INSERT INTO d SELECT '2020-01-09' FROM n;"
                     "INSERT INTO d VALUES ('2021-02-29'), ('2020-01-01 12:30:00Z');");
        Open(m_dir.WPath("rows.db"));
    }

    // Runs `sql` and binds its first two columns as KeyAndName.
    void Run(const char16_t* sql) {
        ASSERT_EQ(RunSql(m_session, sql, &m_rowset), S_OK) << orv::platform::Utf16ToUtf8(LastErrorDescription());
        ASSERT_EQ(m_rowset.QueryInterface(&m_accessor), S_OK);
        DBBINDING b[2] = {};
        for (int i : {0, 1}) {
            b[i].iOrdinal = i + 1;
            b[i].obValue = i ? offsetof(KeyAndName, name) : offsetof(KeyAndName, key);
            b[i].obStatus = i ? offsetof(KeyAndName, nameStatus) : offsetof(KeyAndName, keyStatus);
            b[i].obLength = i ? offsetof(KeyAndName, nameLength) : offsetof(KeyAndName, keyLength);
            b[i].dwPart = DBPART_VALUE | DBPART_STATUS | DBPART_LENGTH;
            b[i].wType = i ? DBTYPE_WSTR : DBTYPE_I4;
            b[i].cbMaxLen = i ? sizeof(KeyAndName::name) : sizeof(LONG);
        }
        ASSERT_EQ(m_accessor->CreateAccessor(DBACCESSOR_ROWDATA, 2, b, sizeof(KeyAndName), &m_handle, nullptr), S_OK);
    }

    CComPtr<IRowset> m_rowset;
    CComPtr<IAccessor> m_accessor;
    HACCESSOR m_handle = 0;
};

TEST_F(RowsetTest, FetchesSeveralRowsIntoProviderMemory) {
    Run(u"SELECT id, name FROM t WHERE id <= 3 ORDER BY id");
    HROW* rows = nullptr;
    DBCOUNTITEM obtained = 0;
    EXPECT_EQ(m_rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 5, &obtained, &rows), DB_S_ENDOFROWSET);
    ASSERT_EQ(obtained, 3u);
    KeyAndName data{};
    ASSERT_EQ(m_rowset->GetData(rows[2], m_handle, &data), S_OK);
    EXPECT_EQ(data.key, 3);
    EXPECT_EQ(std::u16string(data.name), u"row 3");
    EXPECT_EQ(data.nameLength, 10u);
    EXPECT_EQ(m_rowset->ReleaseRows(obtained, rows, nullptr, nullptr, nullptr), S_OK);
    CoTaskMemFree(rows);
    HROW stale = 12345;
    EXPECT_EQ(m_rowset->GetData(stale, m_handle, &data), DB_E_BADROWHANDLE);
}

TEST_F(RowsetTest, TextThatDoesNotFitIsTruncatedWithItsFullLength) {
    Run(u"SELECT id, name || printf('%.100c', 'x') FROM t WHERE id = 7");
    HROW row = 0;
    HROW* rows = &row;
    DBCOUNTITEM obtained = 0;
    ASSERT_EQ(m_rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 1, &obtained, &rows), S_OK);
    KeyAndName data{};
    EXPECT_EQ(m_rowset->GetData(row, m_handle, &data), S_OK);
    EXPECT_EQ(data.nameStatus, DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(data.nameLength, 105u * 2);
    EXPECT_EQ(std::u16string(data.name).size(), 63u);
    m_rowset->ReleaseRows(1, &row, nullptr, nullptr, nullptr);
}

// Past the rows sampled for the column's type, stored text reads as a date or fails alone.
TEST_F(RowsetTest, StoredDateTextBeyondTheSampleReadsAsADateOrFailsToConvert) {
    const Result r = Query(u"SELECT t FROM d ORDER BY rowid");
    ASSERT_EQ(r.rows.size(), 102u);
    EXPECT_EQ(r.columns[0].wType, DBTYPE_DATE);
    EXPECT_EQ(r.rows[99][0], u"2020-01-09");
    EXPECT_EQ(r.rows[100][0], u"<error>");
    EXPECT_EQ(r.rows[101][0], u"2020-01-01 12:30:00");
}

TEST_F(RowsetTest, NotNullColumnsAreNotNullable) {
    const Result r = Query(u"SELECT id, name FROM t");
    EXPECT_FALSE(r.columns[0].dwFlags & DBCOLUMNFLAGS_MAYBENULL);  // the integer primary key
    EXPECT_FALSE(r.columns[1].dwFlags & DBCOLUMNFLAGS_MAYBENULL);
}

TEST_F(RowsetTest, OpenRowsetReadsAWholeTable) {
    auto open = [&](const char16_t* name, CComPtr<IRowset>& rowset) {
        DBID table{};
        table.eKind = DBKIND_NAME;
        table.uName.pwszName = const_cast<LPOLESTR>(name);
        return m_session->OpenRowset(nullptr, &table, nullptr, IID_IRowset, 0, nullptr,
                                     reinterpret_cast<IUnknown**>(&rowset));
    };
    CComPtr<IRowset> rowset, missing;
    ASSERT_EQ(open(u"T", rowset), S_OK);
    EXPECT_EQ(ReadRowsAsText(rowset).rows.size(), 10u);
    EXPECT_EQ(open(u"missing", missing), DB_E_NOTABLE);
}

}  // namespace
