// Reading a CREATE TABLE statement for the stores whose tables are files or sheets: the
// table's name and its columns' names and declared types.
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "engine/sql/tokens.h"
#include "engine/store/store.h"
#include "platform/strings.h"

namespace orv::engine {
namespace {

bool StartsConstraint(const SqlToken& t) {
    return IsWordToken(t, "CONSTRAINT") || IsWordToken(t, "PRIMARY") || IsWordToken(t, "UNIQUE") ||
           IsWordToken(t, "CHECK") || IsWordToken(t, "FOREIGN");
}

bool EndsType(const SqlToken& t) {
    static const char* const words[] = {"NOT",     "NULL",          "DEFAULT",   "REFERENCES",
                                        "COLLATE", "AUTOINCREMENT", "GENERATED", "AS"};
    if (StartsConstraint(t)) return true;
    for (const char* w : words)
        if (IsWordToken(t, w)) return true;
    return false;
}

bool IsPunct(const SqlToken& t, std::string_view text) { return t.kind == SqlTokenKind::Punct && t.text == text; }

// The declared type of a column from the tokens after its name: the type's words up to the
// first constraint word, with an optional (size) written without spaces ("DECIMAL(10,2)").
std::string ReadDeclaredType(const std::vector<SqlToken>& tokens, std::size_t from, std::size_t to) {
    std::string type;
    int depth = 0;
    for (std::size_t k = from; k < to; ++k) {
        const SqlToken& t = tokens[k];
        if (IsBlankToken(t)) continue;
        if (IsPunct(t, "(")) {
            if (depth == 0 && !type.empty()) type += "(";
            ++depth;
            continue;
        }
        if (IsPunct(t, ")")) {
            --depth;
            if (depth == 0 && !type.empty()) type += ")";
            continue;
        }
        if (depth == 0 && EndsType(t)) break;
        if (depth > 0) {
            if (t.text == ",") continue;
            if (!type.empty() && type.back() != '(' && type.back() != ',') type += ",";
            type += t.text;
            continue;
        }
        if (!type.empty()) type += ' ';
        type += t.text;
    }
    return type;
}

}  // namespace

std::optional<CreatedTable> ParseCreateTable(std::string_view sql) {
    const std::vector<SqlToken> tokens = TokenizeSql(sql);
    std::optional<CreateTableShape> shape = ReadCreateTable(tokens);
    if (!shape) return std::nullopt;
    CreatedTable definition;
    definition.name = shape->table;
    definition.ifNotExists = shape->ifNotExists;
    // Each element is a column (name, type words, an optional (size)) or a table constraint.
    for (auto [from, to] : shape->definitions) {
        std::size_t k = from;
        while (k < to && IsBlankToken(tokens[k])) ++k;
        if (k == to) return std::nullopt;
        if (StartsConstraint(tokens[k])) continue;
        if (!IsNameToken(tokens[k]) && tokens[k].kind != SqlTokenKind::String) return std::nullopt;
        definition.columns.push_back({UnquoteName(tokens[k].text), ReadDeclaredType(tokens, k + 1, to)});
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
    SqlTokenizer tokens(sql);
    SqlToken t;
    if (!tokens.NextSignificant(t) || !IsWordToken(t, "DROP")) return std::nullopt;
    if (!tokens.NextSignificant(t) || !IsWordToken(t, "TABLE")) return std::nullopt;
    if (!tokens.NextSignificant(t)) return std::nullopt;
    if (IsWordToken(t, "IF")) {
        if (!tokens.NextSignificant(t) || !IsWordToken(t, "EXISTS") || !tokens.NextSignificant(t)) return std::nullopt;
    }
    if (!IsNameToken(t) || (t.kind == SqlTokenKind::Quoted && !IsClosedQuote(t.text))) return std::nullopt;
    std::string name = UnquoteName(t.text);
    bool more = tokens.NextSignificant(t);
    if (more && IsPunct(t, ".")) {  // schema.table
        if (!tokens.NextSignificant(t) || !IsNameToken(t) || (t.kind == SqlTokenKind::Quoted && !IsClosedQuote(t.text)))
            return std::nullopt;
        name = UnquoteName(t.text);
        more = tokens.NextSignificant(t);
    }
    if (more && IsPunct(t, ";")) more = tokens.NextSignificant(t);
    if (more) return std::nullopt;
    return name;
}

std::vector<std::string> NamesIn(std::string_view sql) {
    std::vector<std::string> names;
    SqlTokenizer tokens(sql);
    for (SqlToken t; tokens.NextSignificant(t);)
        if (t.kind == SqlTokenKind::Word || (t.kind == SqlTokenKind::Quoted && IsClosedQuote(t.text)))
            names.push_back(UnquoteName(t.text));
    return names;
}

}  // namespace orv::engine
