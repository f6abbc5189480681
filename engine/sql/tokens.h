// The tokens of a statement's text, by SQLite's rules plus '#' as a token of its own (the
// Windows dialect's #date# literals and name#ext names), and the shape of a CREATE TABLE
// statement read from them. The dialect rewrite and the stores that turn CREATE TABLE into
// files or sheets read statements through these, so that both agree on where a name, a
// string or a comment starts and ends.
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orv::engine {

enum class SqlTokenKind {
    Space,
    Comment,
    String,  // 'text', quotes included
    Word,  // a bare name or keyword
    Quoted,  // "name", [name] or `name`, quotes included
    Number,
    Hash,
    Punct,  // one operator or punctuation character, or one of SQLite's two-character operators
    Variable  // ?, ?1, :name, @name, $name
};

struct SqlToken {
    SqlTokenKind kind = SqlTokenKind::Space;
    std::string_view text;  // a span of the statement; every token's span joined is the statement
};

// Reads a statement's tokens one at a time.
class SqlTokenizer {
public:
    explicit SqlTokenizer(std::string_view sql) : m_sql(sql) {}
    // The next token; false at the end of the text.
    bool Next(SqlToken& token);
    // The next token that is neither blank nor a comment.
    bool NextSignificant(SqlToken& token);

private:
    std::string_view m_sql;
    std::size_t m_pos = 0;
};

std::vector<SqlToken> TokenizeSql(std::string_view sql);

// The offset in `sql` of the first token that is neither blank, nor a comment, nor one of
// the single characters in `alsoSkip` (such as "(" before a statement's first word, or ";"
// between statements); sql.size() when there is none.
std::size_t SkipTrivia(std::string_view sql, std::string_view alsoSkip = {});

inline bool IsBlankToken(const SqlToken& t) { return t.kind == SqlTokenKind::Space || t.kind == SqlTokenKind::Comment; }
// A bare or quoted name.
inline bool IsNameToken(const SqlToken& t) { return t.kind == SqlTokenKind::Word || t.kind == SqlTokenKind::Quoted; }
// A bare word, in any case.
bool IsWordToken(const SqlToken& t, std::string_view word);
// Whether a String or Quoted token has its closing quote.
bool IsClosedQuote(std::string_view quoted);
// The name a Quoted or String token stands for (a quote doubled inside "...", `...` and
// '...' taken once); a bare word as it is.
std::string UnquoteName(std::string_view name);

// CREATE [TEMP] TABLE [IF NOT EXISTS] [schema.]name (definition, ...), as token positions.
struct CreateTableShape {
    std::string table;  // unquoted
    bool ifNotExists = false;
    std::size_t open = 0;  // the "(" that opens the definitions
    // Each column definition or table constraint: the token range [first, second) between
    // the parentheses, without its comma. The last one ends at the closing ")".
    std::vector<std::pair<std::size_t, std::size_t>> definitions;
};

// The shape of `tokens` when they are a CREATE TABLE statement with a column list whose
// parentheses close; nullopt otherwise (CREATE TABLE ... AS SELECT included).
std::optional<CreateTableShape> ReadCreateTable(const std::vector<SqlToken>& tokens);

}  // namespace orv::engine
