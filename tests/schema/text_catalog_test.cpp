// The catalogs over a folder of delimited text files: each file a table, its columns typed.
#include <gtest/gtest.h>

#include "OrvOleDb.h"
#include "support/files.h"

using namespace orv::test;

namespace {

TEST(TextCatalogTest, FilesAreTablesWithTypedColumns) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    TempDir dir;
    WriteFile(dir.Path("parts.csv"), "id,name,price\n1,bolt,0.25\n2,nut,0.10\n");
    WriteFile(dir.Path("notes.txt"), "a;b\nx;y\n");
    {
        CComBSTR init;
        OrvOleDbHelper::FormatConnectString(init, dir.WPath().c_str(), nullptr, nullptr, ProviderName, TextProperties,
                                            nullptr);
        OrvOleDbConnection c;
        ASSERT_EQ(c.OpenFromInitializationString(init, false), S_OK)
            << orv::platform::Utf16ToUtf8(c.GetErrorText().Str());
        EXPECT_FALSE(c.IsReadOnly());  // a folder this process may write takes writes

        OrvOleDbTables tables;
        ASSERT_TRUE(tables.Open(&c, nullptr, nullptr, nullptr, u"TABLE"));
        std::vector<CString> names;
        ASSERT_TRUE(tables.GetTableList(names));
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(names[0], CString(u"notes.txt"));
        EXPECT_EQ(names[1], CString(u"parts.csv"));

        OrvOleDbColumns columns;
        ASSERT_TRUE(columns.Open(&c, nullptr, nullptr, u"parts.csv", nullptr, false));
        std::vector<std::pair<std::u16string, unsigned short>> seen;
        while (columns.FetchNext()) {
            CString name;
            columns.GetName(name);
            seen.push_back({name.Str(), columns.DataType()});
        }
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0], std::make_pair(std::u16string(u"id"), static_cast<unsigned short>(DBTYPE_I4)));
        EXPECT_EQ(seen[1], std::make_pair(std::u16string(u"name"), static_cast<unsigned short>(DBTYPE_WSTR)));
        EXPECT_EQ(seen[2], std::make_pair(std::u16string(u"price"), static_cast<unsigned short>(DBTYPE_R8)));
    }
    CoUninitialize();
}

}  // namespace
