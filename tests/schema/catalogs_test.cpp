// The three catalogs on a real database file: rows and lists, restrictions given, absent
// and empty, names cut to the record's 128 characters, and what a closed catalog or the end
// of the rowset gives; and over a folder of delimited text files, each file a table with
// its columns typed.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/library_fixture.h"

using namespace orv::test;

namespace {

const std::string kLongName(140, 'L');  // beyond the record's 128 characters

class CatalogTest : public OnDatabaseFile {
protected:
    void SetUp() override {
        OnDatabaseFile::SetUp();
        const std::string sql =
            "CREATE TABLE Parts(id INTEGER PRIMARY KEY AUTOINCREMENT, code TEXT(50) NOT NULL,"
            " price DECIMAL(19,4) DEFAULT 0, weight DOUBLE, note TEXT(20));"
            "CREATE TABLE Stock(part INTEGER, bin TEXT(8), count LONG, PRIMARY KEY(part, bin));"
            "CREATE UNIQUE INDEX PartsCode ON Parts(code);"
            "CREATE INDEX StockBinCount ON Stock(bin, count);"
            "CREATE VIEW Cheap AS SELECT code FROM Parts;"
            "CREATE TABLE " +
            kLongName +
            "(x INTEGER);"
            "CREATE TABLE orv_identity(table_name TEXT, column_name TEXT, seed INTEGER, step INTEGER);"
            "INSERT INTO orv_identity VALUES ('Parts', 'id', 100, 5);";
        Open(sql);
    }
};

// ---- Tables ----------------------------------------------------------------------------------

TEST_F(CatalogTest, TablesListsEveryRowWithItsType) {
    OrvOleDbTables tables;
    ASSERT_TRUE(tables.Open(&m_connection, nullptr, nullptr, nullptr, u"TABLE")) << Utf8(tables.GetErrorText());
    std::vector<OrvOleDbTables::_TypeInfo> list;
    ASSERT_TRUE(tables.GetList(list));
    std::vector<std::string> names;
    for (const auto& t : list) {
        EXPECT_EQ(t.m_type, CString(u"TABLE"));
        EXPECT_TRUE(t.m_catalog.IsEmpty());
        names.push_back(Utf8(t.m_name));
    }
    EXPECT_EQ(names, (std::vector<std::string>{kLongName.substr(0, 128), "Parts", "Stock"}))
        << "a name longer than the record's field is cut to 128 characters";

    ASSERT_TRUE(tables.Open(&m_connection, nullptr, nullptr, nullptr, u"VIEW"));
    ASSERT_TRUE(tables.FetchNext());
    CString name(u"old"), type;
    EXPECT_TRUE(tables.GetName(name));
    EXPECT_EQ(name, CString(u"Cheap"));
    EXPECT_TRUE(tables.GetType(type));
    EXPECT_FALSE(tables.GetCatalog(name)) << "a database file has no catalog";
    EXPECT_TRUE(name.IsEmpty());

    // Past the end: false, and every getter empties its output and gives false.
    EXPECT_FALSE(tables.FetchNext());
    name = u"old";
    EXPECT_FALSE(tables.GetName(name));
    EXPECT_TRUE(name.IsEmpty());
    EXPECT_FALSE(tables.FetchNext());
    EXPECT_TRUE(tables.GetErrorText().IsEmpty()) << "the end of the rowset is no error";
}

TEST_F(CatalogTest, TablesRestrictionsGivenAbsentAndEmpty) {
    OrvOleDbTables tables;
    std::vector<CString> names{u"kept"};
    ASSERT_TRUE(tables.Open(&m_connection, nullptr, nullptr, u"pARTS", u"TABLE"));
    ASSERT_TRUE(tables.GetTableList(names));
    EXPECT_EQ(names, (std::vector<CString>{u"kept", u"Parts"})) << "table names ignore case";
    ASSERT_TRUE(tables.GetTableList(names));
    EXPECT_EQ(names, (std::vector<CString>{u"kept", u"Parts", u"Parts"})) << "a second walk appends again";

    // An empty type is a restriction that no table meets.
    ASSERT_TRUE(tables.Open(&m_connection, nullptr, nullptr, nullptr, u""));
    std::vector<OrvOleDbTables::_TypeInfo> list(2);
    EXPECT_FALSE(tables.GetList(list));
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(tables.GetTableList(names));
    EXPECT_EQ(names.size(), 3u);

    // System tables are listed under their own type.
    ASSERT_TRUE(tables.Open(&m_connection, nullptr, nullptr, u"ORV_IDENTITY", u"SYSTEM TABLE"));
    EXPECT_TRUE(tables.FetchNext());

    // A list starts from the first row wherever the cursor was, and leaves it past the end.
    ASSERT_TRUE(tables.Open(&m_connection, nullptr, nullptr, nullptr, u"TABLE"));
    ASSERT_TRUE(tables.FetchNext());
    ASSERT_TRUE(tables.FetchNext());
    list.clear();
    ASSERT_TRUE(tables.GetList(list));
    EXPECT_EQ(list.size(), 3u);
    EXPECT_FALSE(tables.FetchNext());
}

TEST_F(CatalogTest, ClosedCatalogsAnswerFalseAndLeaveOutputs) {
    OrvOleDbTables tables;
    OrvOleDbColumns columns;
    OrvOleDbIndexes indexes;
    CString out(u"unchanged");
    std::vector<CString> names{u"x"};
    std::vector<OrvOleDbTables::_TypeInfo> list(1);
    EXPECT_FALSE(tables.FetchNext());
    EXPECT_FALSE(tables.GetName(out));
    EXPECT_FALSE(tables.GetList(list));
    EXPECT_FALSE(tables.GetTableList(names));
    EXPECT_FALSE(columns.GetName(out));
    EXPECT_FALSE(indexes.GetColumnName(out));
    EXPECT_FALSE(indexes.GetIndexList(names, true));
    EXPECT_EQ(out, CString(u"unchanged"));
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(names.size(), 1u);
    EXPECT_EQ(columns.OrdinalPosition(), 0xFFFFFFFFu);
    EXPECT_EQ(columns.DataType(), 0);
    EXPECT_EQ(columns.Precision(), 0u);
    EXPECT_FALSE(columns.IsIdentity());
    EXPECT_EQ(columns.Seed(), -1);
    EXPECT_EQ(columns.Increment(), -1);

    // No connection, or a closed one: nothing happens, and an open rowset stays open.
    ASSERT_TRUE(tables.Open(&m_connection, nullptr, nullptr, u"Parts", u"TABLE"));
    EXPECT_FALSE(tables.Open(nullptr, nullptr, nullptr, nullptr, u"TABLE"));
    OrvOleDbConnection closed;
    EXPECT_FALSE(tables.Open(&closed, nullptr, nullptr, nullptr, u"TABLE"));
    EXPECT_FALSE(columns.Open(&m_connection, nullptr, nullptr, nullptr, nullptr, true)) << "a table is required";
    EXPECT_TRUE(tables.FetchNext());
    tables.Close();
    tables.Close();
    EXPECT_FALSE(tables.FetchNext());
}

// ---- Columns ---------------------------------------------------------------------------------

TEST_F(CatalogTest, ColumnsDescribeEachColumnWithSeedAndStep) {
    OrvOleDbColumns columns;
    ASSERT_TRUE(columns.Open(&m_connection, nullptr, nullptr, u"parts", nullptr, true)) << Utf8(columns.GetErrorText());
    struct Expected {
        const char16_t* name;
        unsigned short type;
        unsigned int precision;
        bool nullable, identity;
        int seed, step;
    };
    const Expected expected[] = {
        {u"id", DBTYPE_I4, 4, false, true, 100, 5},
        {u"code", DBTYPE_WSTR, 50, false, false, 0, 1},
        {u"price", DBTYPE_NUMERIC, 19, true, false, 0, 1},
        // A double has no size of its own: its numeric precision is the first one given.
        {u"weight", DBTYPE_R8, 15, true, false, 0, 1},
        {u"note", DBTYPE_WSTR, 20, true, false, 0, 1},
    };
    for (unsigned i = 0; i < std::size(expected); ++i) {
        const Expected& e = expected[i];
        ASSERT_TRUE(columns.FetchNext()) << i;
        CString name, table;
        ASSERT_TRUE(columns.GetName(name) && columns.GetTableName(table));
        SCOPED_TRACE(Utf8(name));
        EXPECT_EQ(name, CString(e.name));
        EXPECT_EQ(table, CString(u"Parts"));
        EXPECT_TRUE(columns.IsDataType(e.type)) << columns.DataType();
        // The ordinal, precision, nullability, identity, seed and step.
        EXPECT_EQ(std::tuple(columns.OrdinalPosition(), columns.Precision(), columns.IsNullable(), columns.IsIdentity(),
                             columns.Seed(), columns.Increment()),
                  std::tuple(i + 1, e.precision, e.nullable, e.identity, e.seed, e.step));
    }
    // The one default, and the numeric's scale.
    ASSERT_TRUE(columns.Open(&m_connection, nullptr, nullptr, u"Parts", u"price", false));
    ASSERT_TRUE(columns.FetchNext());
    CString value;
    EXPECT_TRUE(columns.HasDefault());
    EXPECT_TRUE(columns.GetDefault(value));
    EXPECT_EQ(value, CString(u"0"));
    EXPECT_EQ(columns.NumericScale(), 4u);
    EXPECT_EQ(columns.NumericPrecision(), 19u);
}

TEST_F(CatalogTest, ColumnsIdentityFollowsTheOrdinalAndTheLastOpen) {
    OrvOleDbColumns columns;
    // One column asked for: the identity data still covers the table, by ordinal position.
    ASSERT_TRUE(columns.Open(&m_connection, nullptr, nullptr, u"Parts", u"ID", true));
    ASSERT_TRUE(columns.FetchNext());
    EXPECT_EQ(columns.Seed(), 100);
    EXPECT_FALSE(columns.FetchNext());
    EXPECT_FALSE(columns.IsIdentity()) << "past the end the ordinal is 0";
    EXPECT_EQ(columns.Seed(), -1);

    ASSERT_TRUE(columns.Open(&m_connection, nullptr, nullptr, u"Parts", nullptr, false));
    ASSERT_TRUE(columns.FetchNext());
    EXPECT_FALSE(columns.IsIdentity()) << "an Open without extended data forgets the last one";
    EXPECT_EQ(columns.Seed(), -1);
    EXPECT_EQ(columns.Increment(), -1);
}

// The end of the rows is no error; a missing table opens no rows and leaves no text; a
// table's name is cut to the record's 128 characters.
TEST_F(CatalogTest, ColumnsOfOneColumnAMissingTableAndALongName) {
    OrvOleDbColumns columns;
    ASSERT_TRUE(columns.Open(&m_connection, nullptr, nullptr, u"Stock", u"bin", false));
    ASSERT_TRUE(columns.FetchNext());
    EXPECT_FALSE(columns.FetchNext());
    EXPECT_FALSE(columns.FetchNext());
    ASSERT_TRUE(columns.Open(&m_connection, nullptr, nullptr, u"Stock", nullptr, false));
    ASSERT_TRUE(columns.FetchNext());
    EXPECT_TRUE(columns.GetErrorText().IsEmpty());

    EXPECT_FALSE(columns.Open(&m_connection, nullptr, nullptr, u"Nowhere", nullptr, true));
    EXPECT_TRUE(columns.GetErrorText().IsEmpty()) << "a definition failure leaves no error text";
    EXPECT_FALSE(columns.FetchNext()) << "no rows";

    const std::u16string name = orv::platform::Utf8ToUtf16(kLongName);
    ASSERT_TRUE(columns.Open(&m_connection, nullptr, nullptr, name.c_str(), nullptr, true));
    ASSERT_TRUE(columns.FetchNext());
    CString table;
    ASSERT_TRUE(columns.GetTableName(table));
    EXPECT_EQ(table.GetLength(), 128);
}

// ---- Indexes ---------------------------------------------------------------------------------

TEST_F(CatalogTest, IndexesGiveARowPerColumnAndOneListEntryPerIndex) {
    OrvOleDbIndexes indexes;
    ASSERT_TRUE(indexes.Open(&m_connection, nullptr, nullptr, u"STOCK", nullptr)) << Utf8(indexes.GetErrorText());
    std::vector<std::string> rows;
    while (indexes.FetchNext()) {
        CString index, column, table;
        indexes.GetName(index);
        indexes.GetColumnName(column);
        indexes.GetTableName(table);
        EXPECT_EQ(table, CString(u"Stock"));
        rows.push_back(Utf8(index) + "." + Utf8(column));
    }
    EXPECT_EQ(rows, (std::vector<std::string>{"StockBinCount.bin", "StockBinCount.count", "PrimaryKey.part",
                                              "PrimaryKey.bin"}));

    std::vector<CString> names;
    ASSERT_TRUE(indexes.GetIndexList(names, false));
    EXPECT_EQ(names, (std::vector<CString>{u"StockBinCount"}));
    ASSERT_TRUE(indexes.GetIndexList(names, true));
    EXPECT_EQ(names, (std::vector<CString>{u"StockBinCount", u"PrimaryKey"}));
    ASSERT_TRUE(indexes.GetIndexList(names, true));
    EXPECT_EQ(names.size(), 2u) << "names already present are not added again";
}

TEST_F(CatalogTest, IndexesFoundByNameInAnyTable) {
    OrvOleDbIndexes indexes;
    ASSERT_TRUE(indexes.Open(&m_connection, nullptr, nullptr, nullptr, u"partscode"));
    ASSERT_TRUE(indexes.FetchNext());
    CString table, catalog(u"old");
    EXPECT_TRUE(indexes.GetTableName(table));
    EXPECT_EQ(table, CString(u"Parts"));
    EXPECT_FALSE(indexes.GetCatalog(catalog));
    EXPECT_FALSE(indexes.FetchNext());

    // The rowid key of Parts is its primary key, though SQLite keeps no index for it.
    ASSERT_TRUE(indexes.Open(&m_connection, nullptr, nullptr, u"Parts", u"PrimaryKey"));
    ASSERT_TRUE(indexes.FetchNext());
    CString column;
    EXPECT_TRUE(indexes.GetColumnName(column));
    EXPECT_EQ(column, CString(u"id"));

    ASSERT_TRUE(indexes.Open(&m_connection, nullptr, nullptr, u"", nullptr));
    std::vector<CString> names;
    EXPECT_TRUE(indexes.GetIndexList(names, true)) << "an empty table restriction matches nothing";
    EXPECT_TRUE(names.empty());
}

class TextCatalogTest : public ComTest {};

TEST_F(TextCatalogTest, FilesAreTablesWithTypedColumns) {
    TempDir dir;
    WriteFile(dir.Path("parts.csv"), "id,name,price\n1,bolt,0.25\n2,nut,0.10\n");
    WriteFile(dir.Path("notes.txt"), "a;b\nx;y\n");
    CComBSTR init;
    OrvOleDbHelper::FormatConnectString(init, dir.WPath().c_str(), nullptr, nullptr, ProviderName, TextProperties,
                                        nullptr);
    OrvOleDbConnection c;
    ASSERT_TRUE(Opens(c, init));
    EXPECT_FALSE(c.IsReadOnly());  // a folder this process may write takes writes

    OrvOleDbTables tables;
    ASSERT_TRUE(tables.Open(&c, nullptr, nullptr, nullptr, u"TABLE"));
    std::vector<CString> names;
    ASSERT_TRUE(tables.GetTableList(names));
    EXPECT_EQ(names, (std::vector<CString>{u"notes.txt", u"parts.csv"}));

    OrvOleDbColumns columns;
    ASSERT_TRUE(columns.Open(&c, nullptr, nullptr, u"parts.csv", nullptr, false));
    std::vector<std::pair<CString, int>> seen;
    for (CString name; columns.FetchNext() && columns.GetName(name);) seen.emplace_back(name, columns.DataType());
    EXPECT_EQ(seen, (std::vector<std::pair<CString, int>>{
                        {u"id", DBTYPE_I4}, {u"name", DBTYPE_WSTR}, {u"price", DBTYPE_R8}}));
}

}  // namespace
