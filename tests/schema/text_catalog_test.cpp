// The catalogs over a folder of delimited text files: each file a table, its columns typed.
#include <gtest/gtest.h>

#include "support/library_fixture.h"

using namespace orv::test;

namespace {

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
