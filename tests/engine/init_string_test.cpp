// Initialisation strings read as OLE DB defines them.
#include <gtest/gtest.h>

#include "engine/init_string.h"

using orv::engine::InitString;
using orv::engine::ParsePropertyList;

namespace {

std::optional<InitString> Parse(std::u16string_view text, std::u16string* error = nullptr) {
    std::u16string ignored;
    return InitString::Parse(text, error ? *error : ignored);
}

TEST(InitString, KeysIgnoreCaseAndBlanksAreTrimmed) {
    auto init = Parse(u"  provider = Microsoft.ACE.OLEDB.12.0 ;DATA SOURCE= /tmp/a b.mdb ;");
    ASSERT_TRUE(init);
    ASSERT_NE(init->Find(u"Provider"), nullptr);
    EXPECT_EQ(*init->Find(u"Provider"), u"Microsoft.ACE.OLEDB.12.0");
    EXPECT_EQ(*init->Find(u"data source"), u"/tmp/a b.mdb");  // inner blanks stay
    EXPECT_EQ(init->Find(u"Password"), nullptr);
}

TEST(InitString, QuotedValuesHoldSeparatorsAndDoubledQuotes) {
    auto init = Parse(u"Extended Properties='Excel 8.0;HDR=YES;IMEX=0';Password=\"a\"\"b;c\";Note='it''s' ");
    ASSERT_TRUE(init);
    EXPECT_EQ(*init->Find(u"Extended Properties"), u"Excel 8.0;HDR=YES;IMEX=0");
    EXPECT_EQ(*init->Find(u"Password"), u"a\"b;c");
    EXPECT_EQ(*init->Find(u"Note"), u"it's");
}

TEST(InitString, QuotedValuesKeepTheirBlanks) {
    auto init = Parse(u"User ID=' admin ';Data Source=x");
    ASSERT_TRUE(init);
    EXPECT_EQ(*init->Find(u"User ID"), u" admin ");
}

TEST(InitString, EmptyPiecesAndEmptyValuesAreAllowed) {
    auto init = Parse(u";;Password=;;Data Source=x;;");
    ASSERT_TRUE(init);
    ASSERT_NE(init->Find(u"Password"), nullptr);
    EXPECT_TRUE(init->Find(u"Password")->empty());
    EXPECT_EQ(init->Pairs().size(), 2u);
}

TEST(InitString, ADoubledEqualsSignBelongsToTheKey) {
    auto init = Parse(u"a==b=1");
    ASSERT_TRUE(init);
    EXPECT_EQ(*init->Find(u"a=b"), u"1");
}

TEST(InitString, TheLastOfARepeatedKeyWins) {
    auto init = Parse(u"Mode=Read;mode=ReadWrite");
    ASSERT_TRUE(init);
    EXPECT_EQ(*init->Find(u"MODE"), u"ReadWrite");
}

TEST(InitString, MalformedTextSaysWhatAndWhere) {
    std::u16string error;
    EXPECT_FALSE(Parse(u"Provider=x;Data Source", &error));
    EXPECT_NE(error.find(u"character 12"), std::u16string::npos);
    EXPECT_NE(error.find(u"without \"=\""), std::u16string::npos);

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
