// Initialisation strings read as OLE DB defines them.
#include <gtest/gtest.h>

#include "engine/init_string.h"
#include "support/holds.h"

using orv::engine::InitString;
using orv::engine::ParsePropertyList;
using orv::test::Holds;

namespace {

std::optional<InitString> Parse(std::u16string_view text, std::u16string* error = nullptr) {
    std::u16string ignored;
    return InitString::Parse(text, error ? *error : ignored);
}

// Keys ignore case, and blanks around keys and values are trimmed; quoted values hold
// separators, doubled quotes and blanks; empty pieces and values are allowed; a doubled
// equals sign belongs to the key; the last of a repeated key wins.
TEST(InitString, ReadsKeysAndValues) {
    const char16_t* spaced = u"  provider = Microsoft.ACE.OLEDB.12.0 ;DATA SOURCE= /tmp/a b.mdb ;";
    const char16_t* quoted = u"Extended Properties='Excel 8.0;HDR=YES;IMEX=0';Password=\"a\"\"b;c\";Note='it''s' ";
    const struct {
        const char16_t *text, *key, *value;
    } cases[] = {
        {spaced, u"Provider", u"Microsoft.ACE.OLEDB.12.0"},
        {spaced, u"data source", u"/tmp/a b.mdb"},  // inner blanks stay
        {quoted, u"Extended Properties", u"Excel 8.0;HDR=YES;IMEX=0"},
        {quoted, u"Password", u"a\"b;c"},
        {quoted, u"Note", u"it's"},
        {u"User ID=' admin ';Data Source=x", u"User ID", u" admin "},
        {u";;Password=;;Data Source=x;;", u"Password", u""},
        {u"a==b=1", u"a=b", u"1"},
        {u"Mode=Read;mode=ReadWrite", u"MODE", u"ReadWrite"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        auto init = Parse(cases[i].text);
        ASSERT_TRUE(init);
        ASSERT_NE(init->Find(cases[i].key), nullptr);
        EXPECT_EQ(*init->Find(cases[i].key), cases[i].value);
    }
    EXPECT_EQ(Parse(spaced)->Find(u"Password"), nullptr);
    EXPECT_EQ(Parse(u";;Password=;;Data Source=x;;")->Pairs().size(), 2u);
}

TEST(InitString, MalformedTextSaysWhatAndWhere) {
    std::u16string error;
    EXPECT_FALSE(Parse(u"Provider=x;Data Source", &error));
    EXPECT_TRUE(Holds(error, {"character 12", "without \"=\""}));

    EXPECT_FALSE(Parse(u"Password='abc;Data Source=x", &error));
    EXPECT_NE(error.find(u"closing quote"), std::u16string::npos);

    EXPECT_FALSE(Parse(u"Password='abc' x;", &error));
    EXPECT_NE(error.find(u"after a closing quote"), std::u16string::npos);

    EXPECT_FALSE(Parse(u"=value", &error));
    EXPECT_NE(error.find(u"without a key"), std::u16string::npos);

    EXPECT_FALSE(Parse(u"Provider;Data Source=x", &error));
}

TEST(PropertyList, FlagsAndPairs) {
    auto list = ParsePropertyList(u"Excel 8.0; HDR=YES ;IMEX=0;");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].key, u"Excel 8.0");
    EXPECT_TRUE(list[0].value.empty());
    EXPECT_EQ(list[1].key, u"HDR");
    EXPECT_EQ(list[1].value, u"YES");
    EXPECT_EQ(list[2].value, u"0");
}

}  // namespace
