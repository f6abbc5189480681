// The statement tokenizer that the dialect rewrite and the file and sheet stores share (the
// CREATE TABLE reader's cases are lines of cases/text_forms.test).
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

}  // namespace
}  // namespace orv::engine
