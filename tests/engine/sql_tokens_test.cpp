// The statement tokenizer and the CREATE TABLE reader that the dialect rewrite and the
// file and sheet stores share.
#include <gtest/gtest.h>

#include <string>

#include "engine/sql/tokens.h"

namespace orv::engine {
namespace {

TEST(SqlTokens, SpansJoinedGiveTheTextBackAnUnterminatedQuoteIncluded) {
    const std::string sql = "SELECT [open, 'it''s' /* no end";
    std::string joined;
    for (const SqlToken& t : TokenizeSql(sql)) joined += t.text;
    EXPECT_EQ(joined, sql);
    EXPECT_TRUE(IsClosedQuote("\"a\"\"\""));
    EXPECT_FALSE(IsClosedQuote("\"a\"\""));
    EXPECT_FALSE(IsClosedQuote("[a"));
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
