// Test support: a rowset's (or a statement's) rows read back as text through the consumer
// interfaces (accessor, GetNextRows, GetData), with its column information; and the
// engine tests' fixture, a session on a store in a fresh folder.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "support/engine_session.h"

namespace orv::test {

struct Cell {
    DBSTATUS status;
    DBLENGTH length;
    char16_t text[512];
};

struct Result {
    std::vector<DBCOLUMNINFO> columns;
    std::vector<std::u16string> names;
    std::vector<std::vector<std::u16string>> rows;  // "<null>" for NULL, "<error>" for a failed conversion
};

// Reads every value of every row of `rowset` as text.
inline Result ReadRowsAsText(IRowset* rowset) {
    Result result;
    CComPtr<IColumnsInfo> info;
    rowset->QueryInterface(IID_IColumnsInfo, reinterpret_cast<void**>(&info));
    DBORDINAL count = 0;
    DBCOLUMNINFO* columns = nullptr;
    OLECHAR* names = nullptr;
    EXPECT_EQ(info->GetColumnInfo(&count, &columns, &names), S_OK);
    for (DBORDINAL i = 0; i < count; ++i) {
        result.columns.push_back(columns[i]);
        result.names.push_back(columns[i].pwszName ? columns[i].pwszName : u"");
    }
    std::vector<DBBINDING> bindings(count);
    for (DBORDINAL i = 0; i < count; ++i) {
        DBBINDING& b = bindings[i];
        b = {};
        b.iOrdinal = i + 1;
        b.obStatus = i * sizeof(Cell) + offsetof(Cell, status);
        b.obLength = i * sizeof(Cell) + offsetof(Cell, length);
        b.obValue = i * sizeof(Cell) + offsetof(Cell, text);
        b.dwPart = DBPART_VALUE | DBPART_STATUS | DBPART_LENGTH;
        b.wType = DBTYPE_WSTR;
        b.cbMaxLen = sizeof(Cell::text);
    }
    CComPtr<IAccessor> accessor;
    rowset->QueryInterface(IID_IAccessor, reinterpret_cast<void**>(&accessor));
    HACCESSOR handle = 0;
    EXPECT_EQ(
        accessor->CreateAccessor(DBACCESSOR_ROWDATA, count, bindings.data(), count * sizeof(Cell), &handle, nullptr),
        S_OK);
    std::vector<Cell> cells(count);
    for (;;) {
        HROW row = 0;
        HROW* rows = &row;
        DBCOUNTITEM obtained = 0;
        rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 1, &obtained, &rows);
        if (obtained == 0) break;
        rowset->GetData(row, handle, cells.data());
        std::vector<std::u16string> values;
        for (const Cell& cell : cells)
            values.push_back(cell.status == DBSTATUS_S_ISNULL ? u"<null>"
                             : cell.status == DBSTATUS_S_OK   ? std::u16string(cell.text)
                                                              : u"<error>");
        result.rows.push_back(std::move(values));
        rowset->ReleaseRows(1, &row, nullptr, nullptr, nullptr);
    }
    accessor->ReleaseAccessor(handle, nullptr);
    CoTaskMemFree(columns);
    CoTaskMemFree(names);
    return result;
}

// Runs `sql` on `session` and reads every value of every row as text.
inline Result QueryText(IOpenRowset* session, const char16_t* sql) {
    CComPtr<IRowset> rowset;
    HRESULT hr = RunSql(session, sql, &rowset);
    EXPECT_EQ(hr, S_OK) << platform::Utf16ToUtf8(LastErrorDescription());
    if (hr != S_OK) return Result{};
    return ReadRowsAsText(rowset);
}

// A test on a session of the engine over a store made in a fresh folder: a database file,
// the folder itself as text tables, or a workbook.
class SessionTest : public ::testing::Test {
protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override {
        m_session.Release();
        CoUninitialize();
    }

    void Write(const std::string& name, const std::string& bytes) { WriteFile(m_dir.Path(name), bytes); }

    // (Re)opens the session on `path` with more initialisation properties.
    void Open(const std::u16string& path, const std::u16string& more = u"") {
        m_session.Release();
        m_session = OpenSession(path, more);
        ASSERT_TRUE(m_session) << platform::Utf16ToUtf8(LastErrorDescription());
    }
    void OpenFolder(const std::u16string& props = u"text;HDR=YES;FMT=Delimited", const std::u16string& more = u"") {
        Open(m_dir.WPath(), more + u"Extended Properties=\"" + props + u"\"");
    }
    void OpenWorkbook(const std::string& name) {
        Open(m_dir.WPath(name), u"Extended Properties=\"Excel 12.0 Xml;HDR=YES\"");
    }

    void Exec(const char16_t* sql, DBROWCOUNT expected = -1) {
        DBROWCOUNT affected = 0;
        EXPECT_EQ(RunSql(m_session, sql, nullptr, &affected), S_OK)
            << platform::Utf16ToUtf8(sql) << ": " << platform::Utf16ToUtf8(LastErrorDescription());
        if (expected >= 0) {
            EXPECT_EQ(affected, expected) << platform::Utf16ToUtf8(sql);
        }
    }
    // The error text of a statement that must fail.
    std::string Refused(const char16_t* sql) {
        EXPECT_TRUE(FAILED(RunSql(m_session, sql))) << platform::Utf16ToUtf8(sql);
        return platform::Utf16ToUtf8(LastErrorDescription());
    }

    Result Query(const char16_t* sql) { return QueryText(m_session, sql); }
    // The first value of the first row, "<none>" without one.
    std::u16string Scalar(const char16_t* sql) {
        Result r = Query(sql);
        return r.rows.empty() || r.rows[0].empty() ? u"<none>" : r.rows[0][0];
    }

    TempDir m_dir;
    CComPtr<IOpenRowset> m_session;
};

}  // namespace orv::test
