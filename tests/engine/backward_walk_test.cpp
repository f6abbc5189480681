// Moving over a result in both directions, by any step: walking it backwards over more rows
// than the rowset's window, every row comes back exactly as a forward walk read it, NULLs and large values included, whether the rows are
// read back from the spill file or, when no spill can be written, from the statement again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "engine/common/env.h"
#include "support/engine_session.h"

using namespace orv::test;

namespace {

using Value = std::optional<std::string>;  // a field's bytes (text as UTF-16); nullopt for NULL
using Row = std::vector<Value>;

class BackwardWalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        // A note of 300,000 characters every 60th row: a few such rows fill a block of the
        // spill before its row count does.
        MakeDatabase(m_dir.Path("rows.db"),
                     "CREATE TABLE t(id INTEGER, name TEXT, price REAL, note MEMO, data LONGBINARY);"
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)"
                     "INSERT INTO t SELECT i, CASE WHEN i % 3 = 0 THEN NULL ELSE 'name ' || i || ' é€𝄞' END,"
                     " CASE WHEN i % 7 = 0 THEN NULL ELSE i * 0.5 END,"
                     " CASE WHEN i % 60 = 0 THEN printf('%.300000c', 'm') ELSE 'note ' || i END,"
                     " CASE WHEN i % 5 = 0 THEN NULL ELSE randomblob(i % 50) END FROM n;");
        m_session = OpenSession(m_dir.WPath("rows.db"));
    }
    void TearDown() override {
        m_accessor.Release();
        m_rowset.Release();
        m_session.Release();
        CoUninitialize();
    }

    // Executes `sql` and binds every column: text and bytes by reference, whatever their
    // size, anything else as text.
    void Open(const char16_t* sql) {
        m_accessor.Release();
        m_rowset.Release();
        ASSERT_EQ(RunSql(m_session, sql, &m_rowset), S_OK) << orv::platform::Utf16ToUtf8(LastErrorDescription());
        CComPtr<IColumnsInfo> info;
        ASSERT_EQ(m_rowset.QueryInterface(&info), S_OK);
        DBORDINAL count = 0;
        DBCOLUMNINFO* columns = nullptr;
        OLECHAR* names = nullptr;
        ASSERT_EQ(info->GetColumnInfo(&count, &columns, &names), S_OK);
        m_bindings.assign(count, DBBINDING{});
        for (DBORDINAL c = 0; c < count; ++c) {
            DBBINDING& b = m_bindings[c];
            b.iOrdinal = c + 1;
            b.obValue = c * kSlot;
            b.obLength = b.obValue + 64 * sizeof(char16_t);
            b.obStatus = b.obLength + sizeof(DBLENGTH);
            b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
            const DBTYPE type = columns[c].wType;
            b.wType = type == DBTYPE_BYTES  ? DBTYPE_BYTES | DBTYPE_BYREF
                      : type == DBTYPE_WSTR ? DBTYPE_WSTR | DBTYPE_BYREF
                                            : DBTYPE_WSTR;
            b.cbMaxLen = 64 * sizeof(char16_t);
        }
        CoTaskMemFree(columns);
        CoTaskMemFree(names);
        ASSERT_EQ(m_rowset.QueryInterface(&m_accessor), S_OK);
        ASSERT_EQ(m_accessor->CreateAccessor(DBACCESSOR_ROWDATA, count, m_bindings.data(), 0, &m_handle, nullptr),
                  S_OK);
    }

    // Moves like a consumer holding one row; false when there is none.
    bool Move(DBROWOFFSET offset, Row& out, DBROWCOUNT count = 1) {
        HROW row = 0;
        HROW* rows = &row;
        DBCOUNTITEM obtained = 0;
        m_last = m_rowset->GetNextRows(DB_NULL_HCHAPTER, offset, count, &obtained, &rows);
        if (obtained == 0) return false;
        std::vector<BYTE> data(m_bindings.size() * kSlot);
        EXPECT_EQ(m_rowset->GetData(row, m_handle, data.data()), S_OK);
        out.clear();
        for (const DBBINDING& b : m_bindings) {
            const DBSTATUS status = *reinterpret_cast<DBSTATUS*>(&data[b.obStatus]);
            const DBLENGTH length = *reinterpret_cast<DBLENGTH*>(&data[b.obLength]);
            EXPECT_TRUE(status == DBSTATUS_S_OK || status == DBSTATUS_S_ISNULL) << "column " << b.iOrdinal;
            if (status != DBSTATUS_S_OK) {
                out.emplace_back();
                continue;
            }
            const bool byRef = (b.wType & DBTYPE_BYREF) != 0;
            const char* value =
                byRef ? *reinterpret_cast<char**>(&data[b.obValue]) : reinterpret_cast<const char*>(&data[b.obValue]);
            out.emplace_back(std::string(value, length));
            if (byRef) CoTaskMemFree(const_cast<char*>(value));
        }
        EXPECT_EQ(m_rowset->ReleaseRows(1, &row, nullptr, nullptr, nullptr), S_OK);
        return true;
    }

    std::vector<Row> WalkForward() {
        std::vector<Row> rows;
        Row row;
        for (DBROWOFFSET offset = 0; Move(offset, row); offset = 0) rows.push_back(row);
        return rows;
    }

    // The consumer's FetchLast and FetchPrev: from after the last row back one, then back
    // two from after the held row each time; returned in forward order.
    std::vector<Row> WalkBackward() {
        std::vector<Row> rows;
        Row row;
        for (DBROWOFFSET offset = -1; Move(offset, row); offset = -2) rows.push_back(row);
        std::reverse(rows.begin(), rows.end());
        return rows;
    }

    void Restart() { ASSERT_EQ(m_rowset->RestartPosition(DB_NULL_HCHAPTER), S_OK); }

    // Each column's part of the row buffer, a multiple of 8 so that every length and
    // pointer written into it is aligned.
    static constexpr std::size_t kSlot =
        (64 * sizeof(char16_t) + sizeof(DBLENGTH) + sizeof(DBSTATUS) + 8 + 7) & ~std::size_t(7);
    TempDir m_dir;
    CComPtr<IOpenRowset> m_session;
    CComPtr<IRowset> m_rowset;
    CComPtr<IAccessor> m_accessor;
    std::vector<DBBINDING> m_bindings;
    HACCESSOR m_handle = 0;
    HRESULT m_last = S_OK;  // what the last move answered
};

// The id column as the rows hold it: text in UTF-16.
Value Id(int id) {
    const std::u16string text = orv::platform::Utf8ToUtf16(std::to_string(id));
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

TEST_F(BackwardWalkTest, ReturnsTheForwardRowsReversedWithNullsAndLargeValues) {
    Open(u"SELECT * FROM t ORDER BY id");
    const std::vector<Row> forward = WalkForward();
    ASSERT_EQ(forward.size(), 2000u);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(forward[i][0], Id(i + 1));
    EXPECT_EQ(m_last, DB_S_ENDOFROWSET);
    Row row;
    EXPECT_FALSE(Move(0, row));  // it stays at the end
    EXPECT_FALSE(forward[2][1].has_value());  // id 3: NULL name
    EXPECT_EQ(forward[59][3]->size(), 300000u * 2);  // id 60: a long note
    EXPECT_EQ(forward[0][1]->size(), std::u16string(u"name 1 é€𝄞").size() * 2);

    Open(u"SELECT * FROM t ORDER BY id");
    EXPECT_TRUE(WalkBackward() == forward);
    EXPECT_EQ(m_last, DB_S_ENDOFROWSET);  // before the first row
    // The restarted position is before the first row and after the last.
    Restart();
    ASSERT_TRUE(Move(0, row, -1));
    EXPECT_EQ(row[0], Id(2000));
    // Forward again over the same rowset, now read back from what the walk kept.
    Restart();
    EXPECT_TRUE(WalkForward() == forward);

    // Rows skipped both ways, a jump far behind the window, then on to the end.
    Open(u"SELECT * FROM t ORDER BY id");
    ASSERT_TRUE(Move(0, row) && Move(2, row));  // two rows skipped after the held one
    EXPECT_EQ(row[0], Id(4));
    ASSERT_TRUE(Move(1000, row) && Move(-1000, row));
    EXPECT_EQ(row[0], Id(6));
    EXPECT_FALSE(Move(10000, row));
    EXPECT_EQ(m_last, DB_S_ENDOFROWSET);
    Open(u"SELECT * FROM t ORDER BY id");
    ASSERT_TRUE(Move(1799, row));
    ASSERT_TRUE(Move(-1700, row));
    EXPECT_TRUE(row == forward[100]);
    std::vector<Row> rest{row};
    for (; Move(0, row);) rest.push_back(row);
    EXPECT_TRUE(rest == std::vector<Row>(forward.begin() + 100, forward.end()));
}

TEST_F(BackwardWalkTest, AStatementWithoutRowIdentityReadsBackTheRowsItFirstGave) {
    // Nothing to find these rows by again, and running the statement again gives other rows.
    Open(
        u"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
        u"SELECT i, random(), CASE WHEN random() % 2 = 0 THEN NULL ELSE hex(randomblob(20)) END FROM n");
    const std::vector<Row> backward = WalkBackward();
    ASSERT_EQ(backward.size(), 2000u);
    Restart();
    EXPECT_TRUE(WalkForward() == backward);
    Restart();
    EXPECT_TRUE(WalkBackward() == backward);
}

// An Env whose scratch files cannot be made, as in a full temporary folder.
class NoScratchEnv : public orv::engine::Env {
public:
    int OpenScratch(const std::string&, int& fd) override {
        fd = -1;
        return ENOSPC;
    }
};

TEST_F(BackwardWalkTest, WithoutASpillFileTheStatementRunsAgain) {
    m_session.Release();
    NoScratchEnv env;
    orv::engine::ScopedEnv scoped(env);
    m_session = OpenSession(m_dir.WPath("rows.db"));
    Open(u"SELECT * FROM t ORDER BY id");
    const std::vector<Row> forward = WalkForward();
    ASSERT_EQ(forward.size(), 2000u);
    Open(u"SELECT * FROM t ORDER BY id");
    EXPECT_TRUE(WalkBackward() == forward);
    Restart();
    EXPECT_TRUE(WalkForward() == forward);
    // The connection closes while the Env is still installed.
    m_accessor.Release();
    m_rowset.Release();
    m_session.Release();
}

}  // namespace
