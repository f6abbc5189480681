// Error lines: the record's description and SQL state, and the failing token's place.
#include "diagnostics.h"

#include <cctype>

#include "output.h"
#include "platform/strings.h"

namespace orvsql {
namespace {

using orv::platform::Lower;

bool NamePart(char ch) { return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || (ch & 0x80); }

// The text between `prefix` and `end` in `text`, or "" when `prefix` is not there.
std::string Between(const std::string& text, const std::string& prefix, const std::string& end) {
    const std::size_t from = text.find(prefix);
    if (from == std::string::npos) return "";
    const std::size_t start = from + prefix.size();
    const std::size_t stop = end.empty() ? std::string::npos : text.find(end, start);
    return text.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
}

// The token an engine description names: `near "X": syntax error`, `no such table: X`,
// `no such column: X`, `no such function: X`.
std::string NamedToken(const std::string& description) {
    const std::string lower = Lower(description);
    std::string token = Between(description, "ear \"", "\"");
    if (!token.empty()) return token;
    for (const char* what : {"no such table: ", "no such column: ", "no such function: ", "ambiguous column name: "}) {
        const std::size_t at = lower.find(what);
        if (at == std::string::npos) continue;
        token = description.substr(at + std::string(what).size());
        while (!token.empty() && (token.back() == '.' || token.back() == ' ')) token.pop_back();
        return token;
    }
    return "";
}

// Whether `sql` holds `token` at `at` as a whole token, outside strings and comments is the
// caller's business.
bool WholeTokenAt(const std::string& sql, const std::string& lowerSql, const std::string& token, std::size_t at) {
    if (lowerSql.compare(at, token.size(), token) != 0) return false;
    const bool wordStart = NamePart(token.front()), wordEnd = NamePart(token.back());
    if (wordStart && at > 0 && NamePart(sql[at - 1])) return false;
    if (wordEnd && at + token.size() < sql.size() && NamePart(sql[at + token.size()])) return false;
    return true;
}

// The first place of `token` in `sql` outside quoted strings and comments; a [bracketed] or
// "quoted" name counts, as the token may be one.
std::size_t FindToken(const std::string& sql, const std::string& token) {
    if (token.empty()) return std::string::npos;
    const std::string lowerSql = Lower(sql), lowerToken = Lower(token);
    for (std::size_t i = 0; i < sql.size(); ++i) {
        const char ch = sql[i];
        if (ch == '\'') {
            const std::size_t close = sql.find('\'', i + 1);
            if (close == std::string::npos) return std::string::npos;
            i = close;
            continue;
        }
        if (ch == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
            i = sql.find('\n', i);
            if (i == std::string::npos) return std::string::npos;
            continue;
        }
        if (ch == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
            i = sql.find("*/", i + 2);
            if (i == std::string::npos) return std::string::npos;
            ++i;
            continue;
        }
        if ((ch == '[' || ch == '"') && WholeTokenAt(sql, lowerSql, lowerToken, i + 1)) return i;
        if (WholeTokenAt(sql, lowerSql, lowerToken, i)) return i;
    }
    return std::string::npos;
}

}  // namespace

ErrorRecord ParseErrorText(const std::string& text) {
    ErrorRecord error;
    error.description = Between(text, "Description: \"", "\"\nHelp File: ");
    if (error.description.empty()) {
        error.description = text;
        while (!error.description.empty() && std::isspace(static_cast<unsigned char>(error.description.back())))
            error.description.pop_back();
    }
    error.sqlState = Between(text, "SQLState: ", ",");
    return error;
}

std::size_t ErrorOffset(const std::string& sql, const std::string& description) {
    // The statement stopped short: the error is where it ends.
    if (Lower(description).find("incomplete input") != std::string::npos) return sql.empty() ? 0 : sql.size();
    std::size_t at = FindToken(sql, NamedToken(description));
    if (at == std::string::npos) {
        // A qualified name (t.x) may be written with blanks or brackets: look for its last part.
        const std::string token = NamedToken(description);
        const std::size_t dot = token.rfind('.');
        if (dot != std::string::npos) at = FindToken(sql, token.substr(dot + 1));
    }
    return at;
}

void PrintStatementError(std::FILE* out, const ErrorRecord& error, const Statement& statement, bool caret) {
    const std::size_t offset = ErrorOffset(statement.text, error.description);
    std::string where;
    if (!error.sqlState.empty()) where = "SQLSTATE " + error.sqlState;
    if (offset != std::string::npos) {
        // Line and column of the offset, from where the statement started.
        const std::size_t lineStart = statement.text.rfind('\n', offset == 0 ? 0 : offset - 1);
        const std::size_t from = lineStart == std::string::npos || offset == 0 ? 0 : lineStart + 1;
        int line = statement.start.line, column = from == 0 ? statement.start.column : 1;
        for (std::size_t i = 0; i < from; ++i) line += statement.text[i] == '\n';
        for (std::size_t i = from; i < offset; ++i) column += (statement.text[i] & 0xC0) != 0x80;
        if (!where.empty()) where += ", ";
        where += "line " + std::to_string(line) + ", column " + std::to_string(column);
        if (caret) {
            const std::size_t lineEnd = statement.text.find('\n', from);
            const std::string text =
                statement.text.substr(from, lineEnd == std::string::npos ? std::string::npos : lineEnd - from);
            std::fprintf(out, "  %s\n  %*s^\n", text.c_str(),
                         static_cast<int>(DisplayWidth(statement.text.substr(from, offset - from))), "");
        }
    }
    std::fprintf(out, "Error: %s%s\n", error.description.c_str(), where.empty() ? "" : (" (" + where + ")").c_str());
}

}  // namespace orvsql
