// Building initialisation strings: the order of the pieces, what is left out, the final
// semicolon, and values copied verbatim.
#include <gtest/gtest.h>

#include <string>

#include "OrvOleDb.h"

namespace {

std::u16string Text(const CComBSTR& s) { return s.m_str ? std::u16string(s.m_str, s.Length()) : std::u16string(); }
std::string Utf8(const CComBSTR& s) { return orv::platform::Utf16ToUtf8(Text(s)); }

std::u16string Build(const WCHAR* dataSource, const WCHAR* userId, const WCHAR* password, const WCHAR* provider,
                     const WCHAR* properties, const WCHAR* moreProperties) {
    CComBSTR out;
    EXPECT_TRUE(
        OrvOleDbHelper::FormatConnectString(out, dataSource, userId, password, provider, properties, moreProperties));
    return Text(out);
}

// The provider comes first and the string ends with one semicolon; user and password follow
// the data source in that order, and a password alone gives no user piece; properties and
// more properties are joined without a separator; values are copied verbatim.
TEST(ConnectionStringTest, PiecesComeInOrderAndEndWithOneSemicolon) {
    struct Case {
        const WCHAR *dataSource, *userId, *password, *provider, *properties, *more;
        const char16_t* expected;
    } cases[] = {
        {u"C:\\data\\parts.xls", nullptr, nullptr, ProviderName, ExcelProperties, nullptr,
         u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=C:\\data\\parts.xls;"
         u"Extended Properties='Excel 8.0;HDR=YES;IMEX=0';"},
        {u"C:\\data\\parts.xls", nullptr, nullptr, ProviderName, ExcelProperties, u"Mode=Read",
         u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=C:\\data\\parts.xls;"
         u"Extended Properties='Excel 8.0;HDR=YES;IMEX=0'Mode=Read;"},
        {u"/d/a.mdb", u"admin", u"secret", u"P", MdbEngineType, u"X=1;",
         u"Provider=P;Data Source=/d/a.mdb;User ID=admin;Password=secret;Jet OLEDB:Engine Type=5X=1;"},
        {u"a", nullptr, u"pw", u"P", nullptr, nullptr, u"Provider=P;Data Source=a;Password=pw;"},
        {u"", u"", u"", u"P", nullptr, nullptr, u"Provider=P;Data Source=;User ID=;Password=;"},
        {u"a", nullptr, nullptr, u"P", u"Mode=Read;", nullptr, u"Provider=P;Data Source=a;Mode=Read;"},
        {u"a", nullptr, nullptr, u"P", nullptr, u";", u"Provider=P;Data Source=a;;"},
        {u"a", nullptr, nullptr, u"P", u"", u"", u"Provider=P;Data Source=a;"},
        {u"/tmp/100%s;x=y", u"%d", nullptr, u"P%n", nullptr, u"%s%s",
         u"Provider=P%n;Data Source=/tmp/100%s;x=y;User ID=%d;%s%s;"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Build(c.dataSource, c.userId, c.password, c.provider, c.properties, c.more), c.expected);
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
    EXPECT_EQ(Text(out), u"previous") << Utf8(out);
    EXPECT_FALSE(OrvOleDbHelper::FormatConnectString(out, u"a", u"u", u"p", nullptr, ExcelProperties, nullptr));
    EXPECT_EQ(Text(out), u"previous");
    // A successful call replaces what was there.
    EXPECT_TRUE(OrvOleDbHelper::FormatConnectString(out, u"a", nullptr, nullptr, u"P", nullptr, nullptr));
    EXPECT_EQ(Text(out), u"Provider=P;Data Source=a;");
}

// The statement templates are format strings with wide %s conversions.
TEST(ConnectionStringTest, TemplatesFormatWithWideStrings) {
    CString sql;
    sql.Format(SelectTemplate, u"a, b", u"t");
    sql.AppendFormat(WhereTemplate, u"a = 1");
    sql.AppendFormat(OrderByTemplate, u"b");
    EXPECT_EQ(sql.Str(), u"SELECT a, b FROM t WHERE a = 1 ORDER BY b");
    sql.Format(CountTemplate, u"[Sheet1$]");
    EXPECT_EQ(sql.Str(), u"SELECT COUNT(*) FROM [Sheet1$]");
}

}  // namespace
