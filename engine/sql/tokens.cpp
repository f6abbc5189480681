#include "engine/sql/tokens.h"

#include <algorithm>
#include <cctype>

#include "platform/strings.h"

namespace orv::engine {
namespace {

bool IsWordStart(unsigned char c) { return std::isalpha(c) || c == '_' || c >= 0x80; }
bool IsWordChar(unsigned char c) { return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80; }
bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)); }

// The end of the quoted text that starts at `i` (one past its closing quote, or the end of
// the text when it does not close). A doubled quote inside "...", '...' and `...` is text.
std::size_t QuotedEnd(std::string_view s, std::size_t i) {
    const char close = s[i] == '[' ? ']' : s[i];
    std::size_t j = i + 1;
    while (j < s.size()) {
        if (s[j] == close) {
            if (close != ']' && j + 1 < s.size() && s[j + 1] == close) {
                j += 2;
                continue;
            }
            return j + 1;
        }
        ++j;
    }
    return s.size();
}

// The end of the number that starts at `i`: hexadecimal, or digits and points with an
// optional exponent.
std::size_t NumberEnd(std::string_view s, std::size_t i) {
    const std::size_t n = s.size();
    std::size_t j = i;
    if (s[i] == '0' && i + 1 < n && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        j += 2;
        while (j < n && std::isxdigit(static_cast<unsigned char>(s[j]))) ++j;
        return j;
    }
    while (j < n && (IsDigit(s[j]) || s[j] == '.')) ++j;
    if (j < n && (s[j] == 'e' || s[j] == 'E')) {
        std::size_t k = j + 1;
        if (k < n && (s[k] == '+' || s[k] == '-')) ++k;
        if (k < n && IsDigit(s[k])) {
            j = k;
            while (j < n && IsDigit(s[j])) ++j;
        }
    }
    return j;
}

}  // namespace

bool SqlTokenizer::Next(SqlToken& token) {
    const std::string_view s = m_sql;
    const std::size_t i = m_pos, n = s.size();
    if (i >= n) return false;
    const unsigned char c = s[i];
    std::size_t end = i + 1;
    SqlTokenKind kind = SqlTokenKind::Punct;
    if (std::isspace(c)) {
        while (end < n && std::isspace(static_cast<unsigned char>(s[end]))) ++end;
        kind = SqlTokenKind::Space;
    } else if (c == '-' && i + 1 < n && s[i + 1] == '-') {
        end = std::min(s.find('\n', i), n);
        kind = SqlTokenKind::Comment;
    } else if (c == '/' && i + 1 < n && s[i + 1] == '*') {
        const std::size_t close = s.find("*/", i + 2);
        end = close == std::string_view::npos ? n : close + 2;
        kind = SqlTokenKind::Comment;
    } else if (c == '\'' || c == '"' || c == '`' || c == '[') {
        end = QuotedEnd(s, i);
        kind = c == '\'' ? SqlTokenKind::String : SqlTokenKind::Quoted;
    } else if (std::isdigit(c) || (c == '.' && i + 1 < n && IsDigit(s[i + 1]))) {
        end = NumberEnd(s, i);
        kind = SqlTokenKind::Number;
    } else if (IsWordStart(c)) {
        while (end < n && IsWordChar(static_cast<unsigned char>(s[end]))) ++end;
        kind = SqlTokenKind::Word;
    } else if (c == '?' ||
               ((c == ':' || c == '@' || c == '$') && i + 1 < n && IsWordChar(static_cast<unsigned char>(s[i + 1])))) {
        while (end < n && (IsWordChar(static_cast<unsigned char>(s[end])) || (c == '?' && IsDigit(s[end])))) ++end;
        kind = SqlTokenKind::Variable;
    } else if (c == '#') {
        kind = SqlTokenKind::Hash;
    } else {
        static const char* const two[] = {"<>", "<=", ">=", "!=", "==", "||", "<<", ">>", "->"};
        for (const char* t : two)
            if (s.substr(i, 2) == t) end = i + 2;
    }
    token = {kind, s.substr(i, end - i)};
    m_pos = end;
    return true;
}

bool SqlTokenizer::NextSignificant(SqlToken& token) {
    while (Next(token))
        if (!IsBlankToken(token)) return true;
    return false;
}

std::size_t SkipTrivia(std::string_view sql, std::string_view alsoSkip) {
    SqlTokenizer tokens(sql);
    for (SqlToken t; tokens.Next(t);) {
        const bool skipped = IsBlankToken(t) || (t.kind == SqlTokenKind::Punct && t.text.size() == 1 &&
                                                 alsoSkip.find(t.text[0]) != std::string_view::npos);
        if (!skipped) return static_cast<std::size_t>(t.text.data() - sql.data());
    }
    return sql.size();
}

std::vector<SqlToken> TokenizeSql(std::string_view sql) {
    std::vector<SqlToken> out;
    SqlTokenizer tokens(sql);
    for (SqlToken t; tokens.Next(t);) out.push_back(t);
    return out;
}

bool IsWordToken(const SqlToken& t, std::string_view word) {
    return t.kind == SqlTokenKind::Word && platform::EqualsNoCase(t.text, word);
}

bool IsClosedQuote(std::string_view quoted) {
    if (quoted.empty()) return false;
    const char close = quoted[0] == '[' ? ']' : quoted[0];
    for (std::size_t j = 1; j < quoted.size(); ++j) {
        if (quoted[j] != close) continue;
        if (close != ']' && j + 1 < quoted.size() && quoted[j + 1] == close) {
            ++j;
            continue;
        }
        return j + 1 == quoted.size();
    }
    return false;
}

std::string UnquoteName(std::string_view name) {
    if (name.size() < 2 || (name[0] != '"' && name[0] != '[' && name[0] != '`' && name[0] != '\''))
        return std::string(name);
    std::string inner(name.substr(1, name.size() - 2));
    if (name[0] != '[') {
        const std::string doubled(2, name[0]);
        for (std::size_t p = 0; (p = inner.find(doubled, p)) != std::string::npos; ++p) inner.erase(p, 1);
    }
    return inner;
}

namespace {

// The significant token after position `i` (from the start when `i` is npos), or the end.
std::size_t NextSignificant(const std::vector<SqlToken>& t, std::size_t i) {
    for (++i; i < t.size(); ++i)
        if (!IsBlankToken(t[i])) return i;
    return t.size();
}

// A name of the table: bare, quoted or, as SQLite also takes it, a string.
bool IsTableName(const SqlToken& t) { return IsNameToken(t) || t.kind == SqlTokenKind::String; }

// The definitions between the parentheses that open at `open`, split at top-level commas;
// false when the parentheses do not close.
bool SplitDefinitions(const std::vector<SqlToken>& t, std::size_t open, CreateTableShape& shape) {
    int depth = 0;
    std::size_t start = open + 1;
    for (std::size_t k = open + 1; k < t.size(); ++k) {
        if (t[k].kind != SqlTokenKind::Punct) continue;
        if (t[k].text == "(") {
            ++depth;
        } else if (t[k].text == ")") {
            if (depth == 0) {
                shape.definitions.emplace_back(start, k);
                return true;
            }
            --depth;
        } else if (t[k].text == "," && depth == 0) {
            shape.definitions.emplace_back(start, k);
            start = k + 1;
        }
    }
    return false;
}

}  // namespace

std::optional<CreateTableShape> ReadCreateTable(const std::vector<SqlToken>& t) {
    const std::size_t none = static_cast<std::size_t>(-1);
    std::size_t k = NextSignificant(t, none);
    if (k >= t.size() || !IsWordToken(t[k], "CREATE")) return std::nullopt;
    k = NextSignificant(t, k);
    if (k < t.size() && (IsWordToken(t[k], "TEMP") || IsWordToken(t[k], "TEMPORARY"))) k = NextSignificant(t, k);
    if (k >= t.size() || !IsWordToken(t[k], "TABLE")) return std::nullopt;
    CreateTableShape shape;
    k = NextSignificant(t, k);
    if (k < t.size() && IsWordToken(t[k], "IF")) {
        k = NextSignificant(t, k);
        if (k >= t.size() || !IsWordToken(t[k], "NOT")) return std::nullopt;
        k = NextSignificant(t, k);
        if (k >= t.size() || !IsWordToken(t[k], "EXISTS")) return std::nullopt;
        shape.ifNotExists = true;
        k = NextSignificant(t, k);
    }
    if (k >= t.size() || !IsTableName(t[k])) return std::nullopt;
    shape.table = UnquoteName(t[k].text);
    k = NextSignificant(t, k);
    if (k < t.size() && t[k].kind == SqlTokenKind::Punct && t[k].text == ".") {  // schema.table
        k = NextSignificant(t, k);
        if (k >= t.size() || !IsTableName(t[k])) return std::nullopt;
        shape.table = UnquoteName(t[k].text);
        k = NextSignificant(t, k);
    }
    if (k >= t.size() || t[k].kind != SqlTokenKind::Punct || t[k].text != "(") return std::nullopt;
    shape.open = k;
    if (!SplitDefinitions(t, k, shape)) return std::nullopt;
    return shape;
}

}  // namespace orv::engine
