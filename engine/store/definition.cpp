// Reading a CREATE TABLE statement for the stores whose tables are files or sheets: the
// table's name and its columns' names and declared types.
#include <cctype>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "engine/store/store.h"
#include "platform/strings.h"

namespace orv::engine {
namespace {

// A token of the statement: a name (bare or quoted, unquoted here), a number, a
// punctuation character or a string literal.
struct Token {
    enum Kind { Name, QuotedName, Punct, Other, End } kind = End;
    std::string text;
};

class Scanner {
public:
    explicit Scanner(std::string_view sql) : m_sql(sql) {}

    Token Next() {
        SkipTrivia();
        Token t;
        if (m_pos >= m_sql.size()) return t;
        char c = m_sql[m_pos];
        if (c == '"' || c == '`' || c == '[') {
            char close = c == '[' ? ']' : c;
            t.kind = Token::QuotedName;
            for (++m_pos; m_pos < m_sql.size(); ++m_pos) {
                if (m_sql[m_pos] == close) {
                    if (close != ']' && m_pos + 1 < m_sql.size() && m_sql[m_pos + 1] == close) {
                        t.text += close;
                        ++m_pos;
                        continue;
                    }
                    ++m_pos;
                    return t;
                }
                t.text += m_sql[m_pos];
            }
            t.kind = Token::End;  // an unterminated name: not a statement to adapt
            return t;
        }
        if (c == '\'') {
            t.kind = Token::Other;
            for (++m_pos; m_pos < m_sql.size(); ++m_pos)
                if (m_sql[m_pos] == '\'') {
                    if (m_pos + 1 < m_sql.size() && m_sql[m_pos + 1] == '\'') {
                        ++m_pos;
                        continue;
                    }
                    ++m_pos;
                    break;
                }
            return t;
        }
        if (IsNameChar(c)) {
            t.kind = Token::Name;
            const bool number = std::isdigit(static_cast<unsigned char>(c));
            while (m_pos < m_sql.size() && (IsNameChar(m_sql[m_pos]) || (number && m_sql[m_pos] == '.')))
                t.text += m_sql[m_pos++];
            return t;
        }
        t.kind = Token::Punct;
        t.text = std::string(1, c);
        ++m_pos;
        return t;
    }

private:
    static bool IsNameChar(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
               static_cast<unsigned char>(c) >= 0x80;
    }
    void SkipTrivia() {
        while (m_pos < m_sql.size()) {
            if (std::isspace(static_cast<unsigned char>(m_sql[m_pos]))) {
                ++m_pos;
            } else if (m_sql.substr(m_pos, 2) == "--") {
                while (m_pos < m_sql.size() && m_sql[m_pos] != '\n') ++m_pos;
            } else if (m_sql.substr(m_pos, 2) == "/*") {
                std::size_t end = m_sql.find("*/", m_pos + 2);
                m_pos = end == std::string_view::npos ? m_sql.size() : end + 2;
            } else {
                break;
            }
        }
    }

    std::string_view m_sql;
    std::size_t m_pos = 0;
};

bool Is(const Token& t, const char* word) { return t.kind == Token::Name && platform::EqualsNoCase(t.text, word); }

bool IsName(const Token& t) { return t.kind == Token::Name || t.kind == Token::QuotedName; }

bool StartsConstraint(const Token& t) {
    return Is(t, "CONSTRAINT") || Is(t, "PRIMARY") || Is(t, "UNIQUE") || Is(t, "CHECK") || Is(t, "FOREIGN");
}

bool EndsType(const Token& t) {
    return StartsConstraint(t) || Is(t, "NOT") || Is(t, "NULL") || Is(t, "DEFAULT") || Is(t, "REFERENCES") ||
           Is(t, "COLLATE") || Is(t, "AUTOINCREMENT") || Is(t, "GENERATED") || Is(t, "AS");
}

}  // namespace

std::optional<CreatedTable> ParseCreateTable(std::string_view sql) {
    Scanner scan(sql);
    if (!Is(scan.Next(), "CREATE")) return std::nullopt;
    Token t = scan.Next();
    if (Is(t, "TEMP") || Is(t, "TEMPORARY")) t = scan.Next();
    if (!Is(t, "TABLE")) return std::nullopt;
    t = scan.Next();
    bool ifNotExists = false;
    if (Is(t, "IF")) {
        if (!Is(scan.Next(), "NOT") || !Is(scan.Next(), "EXISTS")) return std::nullopt;
        ifNotExists = true;
        t = scan.Next();
    }
    if (!IsName(t)) return std::nullopt;
    CreatedTable definition;
    definition.name = t.text;
    definition.ifNotExists = ifNotExists;
    t = scan.Next();
    if (t.kind == Token::Punct && t.text == ".") {  // schema.table
        t = scan.Next();
        if (!IsName(t)) return std::nullopt;
        definition.name = t.text;
        t = scan.Next();
    }
    if (t.kind != Token::Punct || t.text != "(") return std::nullopt;

    // Each element up to a comma at depth zero: a column (name, type words, an optional
    // (size)) or a table constraint.
    for (;;) {
        t = scan.Next();
        if (t.kind == Token::End) return std::nullopt;
        const bool constraint = t.kind == Token::Name && StartsConstraint(t);
        CreatedColumn column;
        if (!constraint) {
            if (!IsName(t)) return std::nullopt;
            column.name = t.text;
        }
        bool inType = !constraint;
        int depth = 0;
        for (;;) {
            t = scan.Next();
            if (t.kind == Token::End) return std::nullopt;
            if (t.kind == Token::Punct && depth == 0 && (t.text == "," || t.text == ")")) break;
            if (t.kind == Token::Punct && t.text == "(") {
                if (inType && depth == 0 && !column.type.empty()) column.type += "(";
                ++depth;
                continue;
            }
            if (t.kind == Token::Punct && t.text == ")") {
                --depth;
                if (inType && depth == 0 && !column.type.empty()) column.type += ")";
                continue;
            }
            if (!inType) continue;
            if (depth == 0 && EndsType(t)) {
                inType = false;
                continue;
            }
            if (depth > 0) {
                if (!column.type.empty() && column.type.back() != '(' && t.text != ",") {
                    if (column.type.back() != ',') column.type += ",";
                }
                if (t.text != ",") column.type += t.text;
                continue;
            }
            if (!column.type.empty()) column.type += ' ';
            column.type += t.text;
        }
        if (!constraint) definition.columns.push_back(std::move(column));
        if (t.text == ")") break;
    }
    if (definition.columns.empty()) return std::nullopt;
    return definition;
}

std::vector<std::string> UniqueColumnNames(const std::vector<std::string>& header) {
    std::set<std::string> used;
    std::vector<std::string> out;
    out.reserve(header.size());
    for (std::size_t i = 0; i < header.size(); ++i) {
        const std::string_view trimmed = platform::Trim(header[i], " \t");
        std::string name = trimmed.empty() ? "F" + std::to_string(i + 1) : std::string(trimmed);
        std::string unique = name;
        for (int k = 2; used.count(platform::FoldCase(unique)); ++k) unique = name + "_" + std::to_string(k);
        used.insert(platform::FoldCase(unique));
        out.push_back(std::move(unique));
    }
    return out;
}

std::optional<std::string> ParseDropTable(std::string_view sql) {
    Scanner scan(sql);
    if (!Is(scan.Next(), "DROP") || !Is(scan.Next(), "TABLE")) return std::nullopt;
    Token t = scan.Next();
    if (Is(t, "IF")) {
        if (!Is(scan.Next(), "EXISTS")) return std::nullopt;
        t = scan.Next();
    }
    if (!IsName(t)) return std::nullopt;
    std::string name = t.text;
    t = scan.Next();
    if (t.kind == Token::Punct && t.text == ".") {  // schema.table
        t = scan.Next();
        if (!IsName(t)) return std::nullopt;
        name = t.text;
        t = scan.Next();
    }
    if (t.kind == Token::Punct && t.text == ";") t = scan.Next();
    if (t.kind != Token::End) return std::nullopt;
    return name;
}

std::vector<std::string> NamesIn(std::string_view sql) {
    std::vector<std::string> names;
    Scanner scanner(sql);
    for (Token t = scanner.Next(); t.kind != Token::End; t = scanner.Next())
        if (IsName(t)) names.push_back(std::move(t.text));
    return names;
}

}  // namespace orv::engine
