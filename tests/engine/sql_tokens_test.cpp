// The statement tokenizer and the CREATE TABLE reader that the dialect rewrite and the
// file and sheet stores share.
#include <gtest/gtest.h>

#include <string>

#include "engine/sql/tokens.h"

namespace orv::engine {
namespace {

std::string Kinds(std::string_view sql) {
    std::string out;
    for (const SqlToken& t : TokenizeSql(sql)) {
        static const char kLetters[] = "_cswqnh.v";
        out += kLetters[static_cast<int>(t.kind)];
    }
    return out;
}

TEST(SqlTokens, KindsAndSpans) {
    // Strings, quoted names and comments are single tokens whatever they hold.
    EXPECT_EQ(Kinds("SELECT 'a''b', [x y], \"q\"\"\" -- c\n/* d */ #1/2/24# a#b"), "w_s._q._q_c_c_hn.n.nh_whw");
    EXPECT_EQ(Kinds("x<>?1 :p @q $r 1.5e-3 0x1F .5"), "w.v_v_v_v_n_n_n");
    // Every token's span joined gives the text back, an unterminated quote included.
    const std::string sql = "SELECT [open, 'it''s' /* no end";
    std::string joined;
    for (const SqlToken& t : TokenizeSql(sql)) joined += t.text;
    EXPECT_EQ(joined, sql);
    EXPECT_EQ(Kinds(sql), "w_q");
    EXPECT_TRUE(IsClosedQuote("\"a\"\"\""));
    EXPECT_FALSE(IsClosedQuote("\"a\"\""));
    EXPECT_FALSE(IsClosedQuote("[a"));
    EXPECT_EQ(UnquoteName("\"a\"\"b\""), "a\"b");
    EXPECT_EQ(UnquoteName("[a\"\"b]"), "a\"\"b");
    EXPECT_EQ(UnquoteName("`a``b`"), "a`b");
}

TEST(SqlTokens, CreateTableShape) {
    const std::vector<SqlToken> t = TokenizeSql("create temp table if not exists main.[T 1] (a int, b dec(10, 2))");
    const std::optional<CreateTableShape> shape = ReadCreateTable(t);
    ASSERT_TRUE(shape);
    EXPECT_EQ(shape->table, "T 1");
    EXPECT_TRUE(shape->ifNotExists);
    ASSERT_EQ(shape->definitions.size(), 2u);
    std::string second;
    for (std::size_t k = shape->definitions[1].first; k < shape->definitions[1].second; ++k) second += t[k].text;
    EXPECT_EQ(second, " b dec(10, 2)");
    EXPECT_EQ(ReadCreateTable(TokenizeSql("CREATE TABLE 'x' (a)"))->table, "x");
    for (std::string_view bad : {"CREATE TABLE IF EXISTS t (a)", "CREATE TABLE t (a", "CREATE TABLE t AS SELECT 1",
                                 "CREATE VIEW v (a)", "CREATE TABLE (a)"})
        EXPECT_FALSE(ReadCreateTable(TokenizeSql(bad))) << bad;
}

}  // namespace
}  // namespace orv::engine
