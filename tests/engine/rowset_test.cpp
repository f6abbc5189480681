// The engine's commands and rowsets through the OLE DB interfaces: statements, moves in
// both directions at any size, column descriptions and values.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/sql/datetime.h"
#include "support/engine_session.h"

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

class RowsetTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        m_path = m_dir.Path("rows.db");
        MakeDatabase(m_path,
                     "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT(50) NOT NULL);"
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000)"
                     "INSERT INTO t SELECT i, 'row ' || i FROM n;");
        m_session = OpenSession(m_dir.WPath("rows.db"));
    }
    void TearDown() override {
        m_session.Release();
        CoUninitialize();
    }

    void Open(const char16_t* sql) {
        m_rowset.Release();
        ASSERT_EQ(RunSql(m_session, sql, &m_rowset), S_OK) << orv::platform::Utf16ToUtf8(LastErrorDescription());
        ASSERT_EQ(m_rowset.QueryInterface(&m_accessor), S_OK);
        DBBINDING b[2] = {};
        b[0].iOrdinal = 1;
        b[0].obValue = offsetof(KeyAndName, key);
        b[0].obStatus = offsetof(KeyAndName, keyStatus);
        b[0].obLength = offsetof(KeyAndName, keyLength);
        b[0].dwPart = DBPART_VALUE | DBPART_STATUS | DBPART_LENGTH;
        b[0].wType = DBTYPE_I4;
        b[0].cbMaxLen = sizeof(LONG);
        b[1] = b[0];
        b[1].iOrdinal = 2;
        b[1].obValue = offsetof(KeyAndName, name);
        b[1].obStatus = offsetof(KeyAndName, nameStatus);
        b[1].obLength = offsetof(KeyAndName, nameLength);
        b[1].wType = DBTYPE_WSTR;
        b[1].cbMaxLen = sizeof(KeyAndName::name);
        ASSERT_EQ(m_accessor->CreateAccessor(DBACCESSOR_ROWDATA, 2, b, sizeof(KeyAndName), &m_handle, nullptr), S_OK);
    }

    // Moves like a consumer holding one row: returns the key fetched, 0 for no row.
    LONG Move(DBROWOFFSET offset, DBROWCOUNT count, HRESULT* result = nullptr) {
        HROW row = 0;
        HROW* rows = &row;
        DBCOUNTITEM obtained = 0;
        HRESULT hr = m_rowset->GetNextRows(DB_NULL_HCHAPTER, offset, count, &obtained, &rows);
        if (result) *result = hr;
        if (obtained == 0) return 0;
        KeyAndName data{};
        EXPECT_EQ(m_rowset->GetData(row, m_handle, &data), S_OK);
        EXPECT_EQ(m_rowset->ReleaseRows(1, &row, nullptr, nullptr, nullptr), S_OK);
        return data.key;
    }

    TempDir m_dir;
    std::string m_path;
    CComPtr<IOpenRowset> m_session;
    CComPtr<IRowset> m_rowset;
    CComPtr<IAccessor> m_accessor;
    HACCESSOR m_handle = 0;
};

TEST_F(RowsetTest, WalksForwardToTheEnd) {
    Open(u"SELECT id, name FROM t ORDER BY id");
    LONG expected = 1;
    HRESULT hr = S_OK;
    for (LONG key; (key = Move(0, 1, &hr)) != 0; ++expected) ASSERT_EQ(key, expected);
    EXPECT_EQ(expected, 5001);
    EXPECT_EQ(hr, DB_S_ENDOFROWSET);
    EXPECT_EQ(Move(0, 1, &hr), 0);  // stays at the end
}

TEST_F(RowsetTest, TheRestartedPositionIsBeforeTheFirstAndAfterTheLastRow) {
    Open(u"SELECT id, name FROM t ORDER BY id");
    EXPECT_EQ(Move(-1, 1), 5000);  // from after the last row, back one, fetch forward: the last
    ASSERT_EQ(m_rowset->RestartPosition(DB_NULL_HCHAPTER), S_OK);
    EXPECT_EQ(Move(0, -1), 5000);  // fetching backwards from the restart: the last row
    ASSERT_EQ(m_rowset->RestartPosition(DB_NULL_HCHAPTER), S_OK);
    EXPECT_EQ(Move(0, 1), 1);
}

TEST_F(RowsetTest, WalksBackwardsFromTheEndOverARescannedStatement) {
    Open(u"SELECT id, name FROM t ORDER BY id");
    EXPECT_EQ(Move(-1, 1), 5000);
    // The consumer's previous-row move: back two from after the held row, fetch one forward.
    for (LONG expected = 4999; expected >= 1; --expected) ASSERT_EQ(Move(-2, 1), expected);
    HRESULT hr = S_OK;
    EXPECT_EQ(Move(-2, 1, &hr), 0);  // before the first row
    EXPECT_EQ(hr, DB_S_ENDOFROWSET);
}

TEST_F(RowsetTest, SkipsRowsBothWays) {
    Open(u"SELECT id, name FROM t ORDER BY id");
    EXPECT_EQ(Move(0, 1), 1);
    EXPECT_EQ(Move(2, 1), 4);  // skip two rows after the held one
    EXPECT_EQ(Move(3000, 1), 3005);
    EXPECT_EQ(Move(-3000, 1), 6);
    HRESULT hr = S_OK;
    EXPECT_EQ(Move(10000, 1, &hr), 0);
    EXPECT_EQ(hr, DB_S_ENDOFROWSET);
}

TEST_F(RowsetTest, FetchesSeveralRowsIntoProviderMemory) {
    Open(u"SELECT id, name FROM t WHERE id <= 3 ORDER BY id");
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
    Open(u"SELECT id, name || printf('%.100c', 'x') FROM t WHERE id = 7");
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

TEST_F(RowsetTest, DescribesColumnsByDeclaredTypeAndByValue) {
    ASSERT_EQ(RunSql(m_session,
                     u"CREATE TABLE typed(a SHORT, b LONG, c MEMO, d CURRENCY, e DATETIME, f YESNO, "
                     u"g DECIMAL(10,3), h GUID, i LONGBINARY, j DOUBLE, k TEXT(20), l BYTE)"),
              S_OK);
    Open(u"SELECT id, name FROM t");  // for the accessor; the rowset below is described
    CComPtr<IRowset> rowset;
    ASSERT_EQ(RunSql(m_session, u"SELECT *, COUNT(*) AS n, 1.5 AS r, 'x' AS s FROM typed", &rowset), S_OK)
        << orv::platform::Utf16ToUtf8(LastErrorDescription());
    CComPtr<IColumnsInfo> info;
    ASSERT_EQ(rowset.QueryInterface(&info), S_OK);
    DBORDINAL count = 0;
    DBCOLUMNINFO* columns = nullptr;
    OLECHAR* names = nullptr;
    ASSERT_EQ(info->GetColumnInfo(&count, &columns, &names), S_OK);
    ASSERT_EQ(count, 15u);
    const DBTYPE expected[] = {DBTYPE_I2,   DBTYPE_I4,      DBTYPE_WSTR, DBTYPE_CY,    DBTYPE_DATE,
                               DBTYPE_BOOL, DBTYPE_NUMERIC, DBTYPE_GUID, DBTYPE_BYTES, DBTYPE_R8,
                               DBTYPE_WSTR, DBTYPE_UI1,     DBTYPE_I4,   DBTYPE_R8,    DBTYPE_WSTR};
    for (DBORDINAL i = 0; i < count; ++i) {
        EXPECT_EQ(columns[i].iOrdinal, i + 1);
        EXPECT_EQ(columns[i].wType, expected[i]) << "column " << i + 1;
    }
    EXPECT_EQ(std::u16string(columns[12].pwszName), u"n");
    EXPECT_GT(columns[2].ulColumnSize, 8000u);  // MEMO is a long column
    EXPECT_TRUE(columns[2].dwFlags & DBCOLUMNFLAGS_ISLONG);
    EXPECT_EQ(columns[10].ulColumnSize, 20u);
    EXPECT_EQ(columns[6].bPrecision, 10);
    EXPECT_EQ(columns[6].bScale, 3);
    CoTaskMemFree(columns);
    CoTaskMemFree(names);
}

// The stored date text of the common shapes is read by a path of its own: every text must
// give the DATE (or the refusal) that the general reader gives. The texts come after the
// sampled rows, which keep the column a date column.
TEST_F(RowsetTest, DateTextGivesTheGeneralReadersDate) {
    const char* texts[] = {"2020-01-01 12:30:00",  "2020-01-01T23:59:59", "2020-01-01",
                           "9999-12-31 23:59:59",  "0100-01-01 00:00:00", "0099-12-31",
                           "0000-01-01",           "2021-02-29",          "2024-02-29 10:00:00",
                           "2020-13-01",           "2020-00-10",          "2020-01-01 24:00:00",
                           "2020-01-01 12:60:00",  "2020-01-01 12:30:60", "2020-01-01x12:30:00",
                           "2020/01/01",           "2020-1-01 12:30:00",  "2020-01-01 12:30:00.5",
                           "2020-01-01 12:30:00Z", " 2020-01-01",         "12:30:00",
                           "2020-0a-01",           "1899-12-30 06:00:00", "1899-12-29 06:00:00",
                           "2020-01-01 12:3:000"};
    std::string sql =
        "CREATE TABLE d(k INTEGER, t DATETIME);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100)"
        "INSERT INTO d SELECT -i, '2020-01-01' FROM n;";
    for (std::size_t i = 0; i < std::size(texts); ++i)
        sql += "INSERT INTO d VALUES (" + std::to_string(i) + ", '" + texts[i] + "');";
    MakeDatabase(m_dir.Path("dates.db"), sql.c_str());
    CComPtr<IOpenRowset> session = OpenSession(m_dir.WPath("dates.db"));
    CComPtr<IRowset> rowset;
    ASSERT_EQ(RunSql(session, u"SELECT t FROM d ORDER BY k", &rowset), S_OK);
    CComPtr<IAccessor> accessor;
    ASSERT_EQ(rowset.QueryInterface(&accessor), S_OK);
    struct {
        DATE date;
        DBSTATUS status;
    } data{};
    DBBINDING b = {};
    b.iOrdinal = 1;
    b.obValue = offsetof(decltype(data), date);
    b.obStatus = offsetof(decltype(data), status);
    b.dwPart = DBPART_VALUE | DBPART_STATUS;
    b.wType = DBTYPE_DATE;
    b.cbMaxLen = sizeof(DATE);
    HACCESSOR handle = 0;
    ASSERT_EQ(accessor->CreateAccessor(DBACCESSOR_ROWDATA, 1, &b, sizeof data, &handle, nullptr), S_OK);
    for (const char* text : texts) {
        HROW row = 0;
        HROW* rows = &row;
        DBCOUNTITEM obtained = 0;
        ASSERT_EQ(rowset->GetNextRows(DB_NULL_HCHAPTER, text == texts[0] ? 100 : 0, 1, &obtained, &rows), S_OK);
        data = {};
        rowset->GetData(row, handle, &data);
        rowset->ReleaseRows(1, &row, nullptr, nullptr, nullptr);
        auto parts = orv::engine::ParseIsoDateTime(text);
        auto expected = parts ? orv::engine::OleDateFromParts(*parts) : std::nullopt;
        if (expected) {
            EXPECT_EQ(data.status, DBSTATUS_S_OK) << text;
            EXPECT_EQ(data.date, *expected) << text;
        } else {
            EXPECT_EQ(data.status, DBSTATUS_E_CANTCONVERTVALUE) << text;
        }
    }
    accessor->ReleaseAccessor(handle, nullptr);
}

TEST_F(RowsetTest, NotNullColumnsAreNotNullable) {
    Open(u"SELECT id, name FROM t");
    CComPtr<IColumnsInfo> info;
    ASSERT_EQ(m_rowset.QueryInterface(&info), S_OK);
    DBORDINAL count = 0;
    DBCOLUMNINFO* columns = nullptr;
    OLECHAR* names = nullptr;
    ASSERT_EQ(info->GetColumnInfo(&count, &columns, &names), S_OK);
    EXPECT_FALSE(columns[0].dwFlags & DBCOLUMNFLAGS_MAYBENULL);  // the integer primary key
    EXPECT_FALSE(columns[1].dwFlags & DBCOLUMNFLAGS_MAYBENULL);
    CoTaskMemFree(columns);
    CoTaskMemFree(names);
}

TEST_F(RowsetTest, StatementsWithoutRowsReportTheRowsTheyChanged) {
    DBROWCOUNT affected = 0;
    EXPECT_EQ(RunSql(m_session, u"UPDATE t SET name = 'x' WHERE id <= 10", nullptr, &affected), S_OK);
    EXPECT_EQ(affected, 10);
    EXPECT_EQ(RunSql(m_session, u"DELETE FROM t WHERE id > 4990", nullptr, &affected), S_OK);
    EXPECT_EQ(affected, 10);
    EXPECT_EQ(RunSql(m_session, u"INSERT INTO t(name) VALUES('new')", nullptr, &affected), S_OK);
    EXPECT_EQ(affected, 1);
    EXPECT_EQ(RunSql(m_session, u"CREATE TABLE other(x)", nullptr, &affected), S_OK);
    EXPECT_EQ(affected, DB_COUNTUNAVAILABLE);
}

TEST_F(RowsetTest, FailuresNameWhatFailed) {
    EXPECT_EQ(RunSql(m_session, u"SELECT * FROM parts"), DB_E_NOTABLE);
    EXPECT_EQ(LastErrorDescription(), u"No such table: parts.");
    EXPECT_EQ(RunSql(m_session, u"SELECT missing_column FROM t"), DB_E_ERRORSINCOMMAND);
    EXPECT_EQ(LastErrorDescription(), u"No such column: missing_column.");
    EXPECT_EQ(RunSql(m_session, u"INSERT INTO t(id, name) VALUES(1, 'dup')"), DB_E_INTEGRITYVIOLATION);
    EXPECT_NE(LastErrorDescription().find(u"UNIQUE"), std::u16string::npos);
}

TEST_F(RowsetTest, OneStatementPerCommand) {
    EXPECT_EQ(RunSql(m_session, u"DELETE FROM t; DROP TABLE t"), DB_E_MULTIPLESTATEMENTS);
    EXPECT_NE(LastErrorDescription().find(u"'DROP TABLE t'"), std::u16string::npos);
    DBROWCOUNT affected = 0;
    EXPECT_EQ(RunSql(m_session, u"DELETE FROM t WHERE id = 1; -- done\n", nullptr, &affected), S_OK);
    EXPECT_EQ(affected, 1);  // and nothing else ran
}

TEST_F(RowsetTest, TransactionsNestAndEndInnermostFirst) {
    CComPtr<ITransactionLocal> local;
    ASSERT_EQ(m_session.QueryInterface(&local), S_OK);
    CComPtr<ITransaction> transaction;
    ASSERT_EQ(m_session.QueryInterface(&transaction), S_OK);
    EXPECT_EQ(transaction->Commit(FALSE, XACTTC_SYNC, 0), XACT_E_NOTRANSACTION);

    ULONG level = 0;
    ASSERT_EQ(local->StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, &level), S_OK);
    EXPECT_EQ(level, 1u);
    ASSERT_EQ(RunSql(m_session, u"DELETE FROM t WHERE id = 1"), S_OK);
    ASSERT_EQ(local->StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, &level), S_OK);
    EXPECT_EQ(level, 2u);
    ASSERT_EQ(RunSql(m_session, u"DELETE FROM t WHERE id = 2"), S_OK);
    ASSERT_EQ(transaction->Abort(nullptr, FALSE, FALSE), S_OK);  // undoes only the inner delete
    ASSERT_EQ(transaction->Commit(FALSE, XACTTC_SYNC, 0), S_OK);
    EXPECT_EQ(transaction->Abort(nullptr, FALSE, FALSE), XACT_E_NOTRANSACTION);

    Open(u"SELECT id, name FROM t ORDER BY id");
    EXPECT_EQ(Move(0, 1), 2);
}

TEST_F(RowsetTest, OpenRowsetReadsAWholeTable) {
    DBID table{};
    table.eKind = DBKIND_NAME;
    table.uName.pwszName = const_cast<LPOLESTR>(u"T");
    CComPtr<IRowset> rowset;
    ASSERT_EQ(
        m_session->OpenRowset(nullptr, &table, nullptr, IID_IRowset, 0, nullptr, reinterpret_cast<IUnknown**>(&rowset)),
        S_OK);
    table.uName.pwszName = const_cast<LPOLESTR>(u"missing");
    rowset.Release();
    EXPECT_EQ(
        m_session->OpenRowset(nullptr, &table, nullptr, IID_IRowset, 0, nullptr, reinterpret_cast<IUnknown**>(&rowset)),
        DB_E_NOTABLE);
}

}  // namespace
