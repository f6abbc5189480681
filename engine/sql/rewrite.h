// The Windows data engine's SQL dialect on SQLite: a token-level rewrite of a command's text
// into SQLite's dialect. String literals, quoted and bracketed names and comments pass
// through unchanged; everything the rewrite does is listed in docs/sql.md.
//
// Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::engine {

// An auto-increment column a CREATE TABLE declares, with the first value and the step.
struct IdentityColumn {
    std::string table;
    std::string column;
    long long seed = 1;
    long long step = 1;
};

struct RewriteResult {
    std::string sql;  // the statement in SQLite's dialect
    std::optional<std::string> error;  // a sentence naming what is malformed, when the text is
    std::vector<IdentityColumn> identities;  // auto-increment columns of a CREATE TABLE
};

// Whether the text holds anything a rewrite acts on; when it does not, RewriteSql would
// give it back unchanged, without an error or an identity, so the rewrite can be skipped.
bool MayNeedRewrite(std::string_view utf8);

// Rewrites one command text. Text that holds nothing of the Windows dialect comes back as it was.
RewriteResult RewriteSql(std::string_view utf8);

// The ISO text ("yyyy-mm-dd" or "yyyy-mm-dd hh:mm:ss") of the body of a #...# date literal,
// written in any form ReadDateText takes ("3/1/2024 1:45 PM", "1-Mar-2024", "13:45").
std::optional<std::string> ParseDateLiteral(std::string_view body);

}  // namespace orv::engine
