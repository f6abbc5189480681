#include "engine/sql/rewrite.h"

#include <algorithm>
#include <cstdlib>

#include "engine/sql/datetime.h"
#include "engine/sql/quote.h"
#include "engine/sql/tokens.h"
#include "platform/strings.h"

namespace orv::engine {
namespace {

// Item and ItemEnd bracket an unaliased result column: they print nothing, or the column's
// name as written when the rewrite changed its text.
// The tokenizer's kinds first, in its order.
enum class Kind { Space, Comment, String, Word, Quoted, Number, Hash, Punct, Variable, Item, ItemEnd };
static_assert(static_cast<int>(Kind::Variable) == static_cast<int>(SqlTokenKind::Variable));

Kind KindOf(SqlTokenKind kind) { return static_cast<Kind>(kind); }

struct Token {
    Kind kind;
    std::string text;
    std::string written;  // what the user wrote, where a pass replaced it (dates, name#ext)
    int item = 0;  // Item/ItemEnd: which result column they bracket
};

const std::string& Written(const Token& t) { return t.written.empty() ? t.text : t.written; }

bool IsWord(const Token& t, std::string_view word) {
    return t.kind == Kind::Word && platform::EqualsNoCase(t.text, word);
}

// Words after which an expression starts: a value may follow them, not an operator.
bool IsValueLead(std::string_view w) {
    static const char* const words[] = {"SELECT", "WHERE", "AND",  "OR",     "NOT",     "BETWEEN",  "IN",
                                        "VALUES", "SET",   "ON",   "WHEN",   "THEN",    "ELSE",     "HAVING",
                                        "LIKE",   "IS",    "BY",   "RETURN", "DEFAULT", "DISTINCT", "ALL",
                                        "CASE",   "MOD",   "GLOB", "ESCAPE", "LIMIT",   "OFFSET"};
    for (const char* k : words)
        if (platform::EqualsNoCase(w, k)) return true;
    return false;
}

// Words that end an operand of '&': clauses, logical and comparison words.
bool IsClauseWord(std::string_view w) {
    static const char* const words[] = {
        "SELECT", "FROM",   "WHERE",   "AND",       "OR",      "NOT",       "BETWEEN", "IN",    "VALUES",   "SET",
        "ON",     "WHEN",   "THEN",    "ELSE",      "END",     "HAVING",    "LIKE",    "IS",    "BY",       "GROUP",
        "ORDER",  "AS",     "ASC",     "DESC",      "UNION",   "INTERSECT", "EXCEPT",  "ALL",   "DISTINCT", "LIMIT",
        "OFFSET", "ESCAPE", "CASE",    "INTO",      "JOIN",    "INNER",     "LEFT",    "RIGHT", "OUTER",    "CROSS",
        "GLOB",   "TOP",    "DEFAULT", "RETURNING", "COLLATE", "UPDATE",    "INSERT",  "DELETE"};
    for (const char* k : words)
        if (platform::EqualsNoCase(w, k)) return true;
    return false;
}

std::vector<Token> Tokenize(std::string_view s) {
    std::vector<Token> out;
    SqlTokenizer tokens(s);
    for (SqlToken x; tokens.Next(x);) out.push_back({KindOf(x.kind), std::string(x.text)});
    return out;
}

bool Blank(const Token& t) { return t.kind == Kind::Space || t.kind == Kind::Comment; }
bool Significant(const Token& t) { return !Blank(t) && t.kind != Kind::Item && t.kind != Kind::ItemEnd; }

// Whether a value (rather than an operator) may stand after token `prev`.
bool ValueMayFollow(const Token* prev) {
    if (!prev) return true;
    switch (prev->kind) {
    case Kind::Punct: return prev->text != ")";
    case Kind::Word: return IsValueLead(prev->text);
    default: return false;
    }
}

// Rewrites the statement's tokens in place; returns an error sentence on a malformed literal.
struct Rewriter {
    std::vector<Token> t;
    std::vector<IdentityColumn> identities;
    std::optional<std::string> error;

    const Token* PrevSignificant(std::size_t i) const {
        while (i > 0) {
            --i;
            if (Significant(t[i])) return &t[i];
        }
        return nullptr;
    }
    std::size_t NextSignificant(std::size_t i) const {
        for (++i; i < t.size(); ++i)
            if (Significant(t[i])) return i;
        return t.size();
    }

    // #date# literals and name#ext table names.
    void Hashes() {
        std::vector<Token> out;
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (t[i].kind != Kind::Hash) {
                out.push_back(t[i]);
                continue;
            }
            // name#ext: a word, '#', a word, with nothing between them.
            if (!out.empty() && out.back().kind == Kind::Word && i + 1 < t.size() && t[i + 1].kind == Kind::Word) {
                Token name{Kind::Quoted, "\"" + out.back().text + "." + t[i + 1].text + "\"",
                           out.back().text + "#" + t[i + 1].text};
                out.back() = name;
                ++i;
                continue;
            }
            const Token* prev = nullptr;
            for (std::size_t k = out.size(); k > 0; --k)
                if (Significant(out[k - 1])) {
                    prev = &out[k - 1];
                    break;
                }
            std::size_t close = i + 1;
            while (close < t.size() && t[close].kind != Kind::Hash && t[close].kind != Kind::String &&
                   t[close].kind != Kind::Quoted && t[close].kind != Kind::Comment &&
                   (t[close].kind != Kind::Punct || t[close].text == "/" || t[close].text == "-" ||
                    t[close].text == ":" || t[close].text == "," || t[close].text == "."))
                ++close;
            if (!ValueMayFollow(prev) || close >= t.size() || t[close].kind != Kind::Hash) {
                out.push_back(t[i]);
                continue;
            }
            std::string body;
            for (std::size_t k = i + 1; k < close; ++k) body += t[k].text;
            auto iso = ParseDateLiteral(body);
            if (!iso) {
                if (!error)
                    error = "The date literal #" + body +
                            "# is not a date: write it as #mm/dd/yyyy#, #yyyy-mm-dd# or #yyyy-mm-dd hh:mm:ss#.";
                out.push_back(t[i]);
                continue;
            }
            out.push_back({Kind::String, "'" + *iso + "'", "#" + body + "#"});
            i = close;
        }
        t = std::move(out);
    }

    // True, False, Yes and No as the Windows engine's -1 and 0; DISTINCTROW as DISTINCT; Mod as %.
    void Words() {
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (t[i].kind != Kind::Word) continue;
            const Token* prev = PrevSignificant(i);
            bool valuePlace = ValueMayFollow(prev);
            if (IsWord(t[i], "TRUE") || IsWord(t[i], "FALSE")) {
                if (valuePlace || (prev && prev->kind == Kind::Punct))
                    t[i] = {Kind::Number, IsWord(t[i], "TRUE") ? "-1" : "0"};
            } else if (IsWord(t[i], "YES") || IsWord(t[i], "NO")) {
                // Only right after a comparison, a DEFAULT, or in a VALUES list: elsewhere a
                // column may well be called No.
                bool comparison = prev && prev->kind == Kind::Punct &&
                                  (prev->text == "=" || prev->text == "<>" || prev->text == "!=" || prev->text == "==");
                bool defaulted = prev && IsWord(*prev, "DEFAULT");
                bool inValues = false;
                if (prev && prev->kind == Kind::Punct && (prev->text == "," || prev->text == "(")) {
                    int depth = 0;
                    for (std::size_t k = i; k-- > 0;) {
                        if (t[k].kind == Kind::Punct && t[k].text == ")") ++depth;
                        if (t[k].kind == Kind::Punct && t[k].text == "(" && depth-- == 0) {
                            const Token* before = PrevSignificant(k);
                            inValues = before && (IsWord(*before, "VALUES") ||
                                                  (before->kind == Kind::Punct && before->text == ","));
                            break;
                        }
                    }
                }
                if (comparison || defaulted || inValues) t[i] = {Kind::Number, IsWord(t[i], "YES") ? "-1" : "0"};
            } else if ((IsWord(t[i], "ISNULL") || IsWord(t[i], "LEFT") || IsWord(t[i], "RIGHT")) &&
                       NextSignificant(i) < t.size() && t[NextSignificant(i)].text == "(") {
                // Keywords to SQLite (x ISNULL, LEFT JOIN); before '(' they are the functions.
                t[i].text = "orv_" + t[i].text;
            } else if (IsWord(t[i], "DISTINCTROW")) {
                t[i].text = "DISTINCT";
            } else if (IsWord(t[i], "MOD") && !valuePlace) {
                t[i] = {Kind::Punct, "%"};
            }
        }
    }

    // LIKE 'pattern' with the Windows wildcards * and ? (and no % or _) takes % and _.
    void Likes() {
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (!IsWord(t[i], "LIKE")) continue;
            std::size_t p = NextSignificant(i);
            if (p >= t.size()) continue;
            if (t[p].kind == Kind::Quoted && t[p].text.size() >= 2 && t[p].text[0] == '"') {
                // LIKE "A*": the Windows engine's text in double quotes; a pattern is text.
                std::string inner = t[p].text.substr(1, t[p].text.size() - 2), text = "'";
                for (std::size_t k = 0; k < inner.size(); ++k) {
                    if (inner[k] == '"' && k + 1 < inner.size() && inner[k + 1] == '"') ++k;
                    text += inner[k];
                    if (inner[k] == '\'') text += '\'';
                }
                t[p] = {Kind::String, text + "'"};
            }
            if (t[p].kind != Kind::String) continue;
            std::string& s = t[p].text;
            if (s.find('%') != std::string::npos || s.find('_') != std::string::npos) continue;
            std::replace(s.begin(), s.end(), '*', '%');
            std::replace(s.begin(), s.end(), '?', '_');
        }
    }

    // Brackets every unaliased result column that is an expression, so that Render can
    // name it as written when a later pass changes its text: "Customer & Name" rather than
    // "orv_concat(Customer, Name)". SQLite names such a column by its text, so one that the
    // rewrite leaves alone keeps that name without help.
    void MarkResultColumns() {
        int items = 0;
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (!IsWord(t[i], "SELECT")) continue;
            std::size_t k = NextSignificant(i);
            if (k < t.size() && (IsWord(t[k], "DISTINCT") || IsWord(t[k], "ALL") || IsWord(t[k], "DISTINCTROW")))
                k = NextSignificant(k);
            if (k < t.size() && IsWord(t[k], "TOP")) {
                k = NextSignificant(NextSignificant(k));
                if (k < t.size() && IsWord(t[k], "PERCENT")) k = NextSignificant(k);
            }
            while (k < t.size()) {
                std::size_t end = ResultColumnEnd(k);
                std::size_t last = end;
                while (last > k && !Significant(t[last - 1])) --last;
                if (last > k && NeedsName(k, last)) {
                    std::string written;
                    for (std::size_t x = k; x < last; ++x) written += Written(t[x]);
                    ++items;
                    t.insert(t.begin() + static_cast<long>(last), Token{Kind::ItemEnd, "", written, items});
                    t.insert(t.begin() + static_cast<long>(k), Token{Kind::Item, "", "", items});
                    end += 2;
                }
                if (end >= t.size() || t[end].text != ",") break;
                k = NextSignificant(end);
            }
        }
    }

    // The ',' or word or ')' that ends the result column starting at k.
    std::size_t ResultColumnEnd(std::size_t k) const {
        static const char* const enders[] = {"FROM",  "WHERE",     "GROUP",  "ORDER", "HAVING", "LIMIT",
                                             "UNION", "INTERSECT", "EXCEPT", "INTO",  "WINDOW"};
        int depth = 0;
        for (; k < t.size(); ++k) {
            const Token& x = t[k];
            if (x.kind == Kind::Punct && x.text == "(") ++depth;
            else if (x.kind == Kind::Punct && x.text == ")") {
                if (depth-- == 0) return k;
            } else if (depth == 0 && x.kind == Kind::Punct && (x.text == "," || x.text == ";")) return k;
            else if (depth == 0 && x.kind == Kind::Word)
                for (const char* w : enders)
                    if (platform::EqualsNoCase(x.text, w)) return k;
        }
        return k;
    }

    // An expression without a name of its own: not a (qualified) column or '*', no alias.
    bool NeedsName(std::size_t from, std::size_t to) const {
        std::vector<const Token*> s;
        int depth = 0;
        for (std::size_t k = from; k < to; ++k) {
            if (!Significant(t[k])) continue;
            if (t[k].text == "(") ++depth;
            if (t[k].text == ")") --depth;
            if (depth == 0 && IsWord(t[k], "AS")) return false;
            s.push_back(&t[k]);
        }
        bool plainName = true;
        for (const Token* x : s)
            if (!(x->kind == Kind::Word || x->kind == Kind::Quoted || x->text == "." || x->text == "*"))
                plainName = false;
        if (plainName && s.size() != 2) return false;
        // "expr alias": a name right after a value.
        if (s.size() >= 2 && IsName(*s.back())) {
            const Token& before = *s[s.size() - 2];
            if (IsName(before) || before.kind == Kind::Number || before.kind == Kind::String || before.text == ")")
                return false;
        }
        return true;
    }

    // The statement's text; a bracketed column whose text a pass changed is named as written.
    std::string Render() const {
        std::string out;
        std::vector<std::pair<int, std::size_t>> starts;  // item, where its text starts in `out`
        for (const Token& x : t) {
            if (x.kind == Kind::Item) {
                starts.emplace_back(x.item, out.size());
            } else if (x.kind == Kind::ItemEnd) {
                // A start that a pass swallowed (a subquery inside a rewritten operand) leaves
                // its end unnamed.
                auto start =
                    std::find_if(starts.rbegin(), starts.rend(), [&](const auto& s) { return s.first == x.item; });
                if (start == starts.rend()) continue;
                const std::size_t from = start->second;
                starts.erase(std::next(start).base());
                if (out.compare(from, std::string::npos, x.written) != 0) out += " AS " + QuoteName(x.written);
            } else {
                out += x.text;
            }
        }
        return out;
    }

    // Whether token k is a boundary for an operand of '&'.
    bool OperandBoundary(std::size_t k) const {
        const Token& x = t[k];
        if (x.kind == Kind::Word) {
            if (!IsClauseWord(x.text)) return false;
            std::size_t next = NextSignificant(k);
            return !(next < t.size() && t[next].text == "(" && !IsWord(x, "IN") && !IsWord(x, "VALUES"));
        }
        if (x.kind == Kind::Item || x.kind == Kind::ItemEnd) return true;
        if (x.kind != Kind::Punct) return false;
        static const char* const stops[] = {",", ";", "=", "==", "<>", "!=", "<", ">", "<=", ">=", "&", "|"};
        for (const char* s : stops)
            if (x.text == s) return true;
        return false;
    }

    // Whether token k, in an operand that starts at `from`, is an alias ("a & b name"): a
    // name right after a value.
    bool AliasAfterValue(std::size_t from, std::size_t k) const {
        if (!IsName(t[k])) return false;
        for (std::size_t p = k; p-- > from;) {
            if (!Significant(t[p])) continue;
            return IsName(t[p]) || t[p].kind == Kind::Number || t[p].kind == Kind::String || t[p].text == ")";
        }
        return false;
    }
    static bool IsName(const Token& x) {
        return x.kind == Kind::Quoted ||
               (x.kind == Kind::Word && !IsValueLead(x.text) && !IsClauseWord(x.text) &&
                !platform::EqualsNoCase(x.text, "MOD") && !platform::EqualsNoCase(x.text, "NULL"));
    }

    // a & b & c -> orv_concat(a, b, c): NULL counts as empty text, as on Windows.
    void Ampersands() {
        for (;;) {
            std::size_t amp = t.size();
            for (std::size_t i = 0; i < t.size(); ++i)
                if (t[i].kind == Kind::Punct && t[i].text == "&") {
                    amp = i;
                    break;
                }
            if (amp == t.size()) return;
            // Left operand: back to a boundary at this depth.
            std::size_t start = amp;
            int depth = 0;
            while (start > 0) {
                std::size_t k = start - 1;
                if (t[k].kind == Kind::Punct && t[k].text == ")") ++depth;
                else if (t[k].kind == Kind::Punct && t[k].text == "(") {
                    if (depth == 0) break;
                    --depth;
                } else if (IsWord(t[k], "END") || IsWord(t[k], "CASE")) {
                    // CASE ... END is one operand.
                    if (IsWord(t[k], "END")) ++depth;
                    else if (depth == 0) break;
                    else --depth;
                } else if (depth == 0 && OperandBoundary(k)) break;
                start = k;
            }
            // Operands to the right, separated by further '&' at this depth.
            std::vector<std::pair<std::size_t, std::size_t>> parts{{start, amp}};
            std::size_t pos = amp + 1;
            for (;;) {
                std::size_t end = pos;
                depth = 0;
                while (end < t.size()) {
                    if ((t[end].kind == Kind::Punct && t[end].text == "(") || IsWord(t[end], "CASE")) ++depth;
                    else if ((t[end].kind == Kind::Punct && t[end].text == ")") || IsWord(t[end], "END")) {
                        if (depth == 0) break;
                        --depth;
                    } else if (depth == 0 && (OperandBoundary(end) || AliasAfterValue(pos, end))) break;
                    ++end;
                }
                parts.push_back({pos, end});
                if (end < t.size() && t[end].kind == Kind::Punct && t[end].text == "&") {
                    pos = end + 1;
                    continue;
                }
                pos = end;
                break;
            }
            // Trailing blanks stay outside the call.
            std::string call = "orv_concat(";
            for (std::size_t p = 0; p < parts.size(); ++p) {
                std::string text;
                for (std::size_t k = parts[p].first; k < parts[p].second; ++k) text += t[k].text;
                std::size_t a = text.find_first_not_of(" \t\r\n"), b = text.find_last_not_of(" \t\r\n");
                if (a == std::string::npos) {
                    // The Windows engine refuses "Customer & FROM ..." rather than joining NULL.
                    std::string around;
                    for (std::size_t k = start; k < pos; ++k) around += Written(t[k]);
                    std::size_t x = around.find_first_not_of(" \t\r\n"), y = around.find_last_not_of(" \t\r\n");
                    around = x == std::string::npos ? "&" : around.substr(x, y - x + 1);
                    error = "Syntax error: the operator & in '" + around + "' needs a value on each side.";
                    return;
                }
                text = text.substr(a, b - a + 1);
                call += (p ? ", " : "") + text;
            }
            call += ")";
            bool leadingBlank = start < amp && t[start].kind == Kind::Space;
            bool trailingBlank = pos > 0 && t[pos - 1].kind == Kind::Space;
            std::vector<Token> replacement;
            if (leadingBlank) replacement.push_back({Kind::Space, " "});
            replacement.push_back({Kind::Word, call});
            if (trailingBlank) replacement.push_back({Kind::Space, " "});
            t.erase(t.begin() + static_cast<long>(start), t.begin() + static_cast<long>(pos));
            t.insert(t.begin() + static_cast<long>(start), replacement.begin(), replacement.end());
        }
    }

    // The end of the scope that token i is in: its closing ')' or the statement's end.
    std::size_t ScopeEnd(std::size_t i) const {
        int depth = 0;
        for (std::size_t k = i; k < t.size(); ++k) {
            if (t[k].kind != Kind::Punct) continue;
            if (t[k].text == "(") ++depth;
            else if (t[k].text == ")") {
                if (depth == 0) return k;
                --depth;
            } else if (t[k].text == ";" && depth == 0) return k;
        }
        return t.size();
    }

    // The start of the next compound member (UNION, INTERSECT, EXCEPT) at i's depth before `end`.
    std::size_t CompoundBefore(std::size_t i, std::size_t end) const {
        int depth = 0;
        for (std::size_t k = i; k < end; ++k) {
            if (t[k].kind == Kind::Punct && t[k].text == "(") ++depth;
            else if (t[k].kind == Kind::Punct && t[k].text == ")") --depth;
            else if (depth == 0 && (IsWord(t[k], "UNION") || IsWord(t[k], "INTERSECT") || IsWord(t[k], "EXCEPT")))
                return k;
        }
        return end;
    }
    bool CompoundInScope(std::size_t select, std::size_t end) const {
        if (CompoundBefore(select + 1, end) < end) return true;
        // An earlier member: look back to the scope's opening.
        int depth = 0;
        for (std::size_t k = select; k-- > 0;) {
            if (t[k].kind == Kind::Punct && t[k].text == ")") ++depth;
            else if (t[k].kind == Kind::Punct && t[k].text == "(") {
                if (depth == 0) return false;
                --depth;
            } else if (depth == 0 && (IsWord(t[k], "UNION") || IsWord(t[k], "INTERSECT") || IsWord(t[k], "EXCEPT")))
                return true;
        }
        return false;
    }

    std::string Text(std::size_t from, std::size_t to) const {
        std::string s;
        for (std::size_t k = from; k < to; ++k) s += t[k].text;
        return s;
    }

    // SELECT [DISTINCT] TOP n [PERCENT] -> LIMIT at the end of that select.
    void Tops() {
        for (std::size_t i = t.size(); i-- > 0;) {  // innermost (last) first keeps earlier indexes valid
            if (!IsWord(t[i], "SELECT")) continue;
            std::size_t top = NextSignificant(i);
            if (top < t.size() && (IsWord(t[top], "DISTINCT") || IsWord(t[top], "ALL"))) top = NextSignificant(top);
            if (top >= t.size() || !IsWord(t[top], "TOP")) continue;
            std::size_t count = NextSignificant(top);
            if (count >= t.size() || t[count].kind != Kind::Number) {
                if (!error) error = "TOP takes a number of rows, as in SELECT TOP 10 ...";
                return;
            }
            std::size_t percent = NextSignificant(count);
            bool isPercent = percent < t.size() && IsWord(t[percent], "PERCENT");
            std::size_t last = isPercent ? percent : count;
            std::string n = t[count].text;
            for (std::size_t k = top; k <= last; ++k) t[k] = {Kind::Space, ""};
            std::size_t scopeEnd = ScopeEnd(i);
            bool compound = CompoundInScope(i, scopeEnd);
            std::size_t end = compound ? CompoundBefore(i + 1, scopeEnd) : scopeEnd;
            std::string limit;
            if (isPercent) {
                std::string inner = Text(i, end);
                limit = " LIMIT (SELECT CAST(x AS INTEGER) + (x > CAST(x AS INTEGER)) FROM (SELECT count(*) * " + n +
                        " / 100.0 AS x FROM (" + inner + ")))";
            } else {
                limit = " LIMIT " + n;
            }
            // Blanks before the end stay after the limit.
            std::size_t at = end;
            while (at > i && Blank(t[at - 1])) --at;
            if (compound) {
                t.insert(t.begin() + static_cast<long>(at), {Kind::Word, limit + ")"});
                t.insert(t.begin() + static_cast<long>(i), {Kind::Word, "SELECT * FROM ("});
            } else {
                t.insert(t.begin() + static_cast<long>(at), {Kind::Word, limit});
            }
        }
    }

    // DROP INDEX name ON table -> DROP INDEX name.
    void DropIndex() {
        std::size_t a = NextSignificant(static_cast<std::size_t>(-1));
        if (a >= t.size() || !IsWord(t[a], "DROP")) return;
        std::size_t b = NextSignificant(a);
        if (b >= t.size() || !IsWord(t[b], "INDEX")) return;
        std::size_t name = NextSignificant(b);
        std::size_t on = NextSignificant(name);
        if (on < t.size() && IsWord(t[on], "ON"))
            t.erase(t.begin() + static_cast<long>(on - 1 > name ? name + 1 : on), t.end());
    }

    // ALTER TABLE ... ADD [COLUMN] name COUNTER: SQLite cannot add a key column to a table.
    void AlterTable() {
        std::size_t a = NextSignificant(static_cast<std::size_t>(-1));
        if (a >= t.size() || !IsWord(t[a], "ALTER")) return;
        for (std::size_t k = a; k < t.size(); k = NextSignificant(k)) {
            if (!IsWord(t[k], "ADD")) continue;
            std::size_t name = NextSignificant(k);
            if (name < t.size() && IsWord(t[name], "COLUMN")) name = NextSignificant(name);
            std::size_t type = NextSignificant(name);
            if (type < t.size() &&
                (IsWord(t[type], "COUNTER") || IsWord(t[type], "AUTOINCREMENT") || IsWord(t[type], "IDENTITY")))
                error = "An auto-increment column cannot be added to an existing table: declare " + t[name].text +
                        " in the table's CREATE TABLE.";
            return;
        }
    }

    // CREATE TABLE: COUNTER, AUTOINCREMENT and IDENTITY [(seed, step)] columns become SQLite's
    // INTEGER PRIMARY KEY AUTOINCREMENT; seed and step ride in the constraint's name.
    void CreateTable();

    // The steps of CreateTable. A column definition or constraint is the token range
    // [first, second) between the parentheses, without its comma.
    using Definitions = std::vector<std::pair<std::size_t, std::size_t>>;
    std::vector<SqlToken> TokensAsRead() const;
    std::vector<std::size_t> CountersAndTextTypes(const Definitions& defs);
    std::size_t ColumnBefore(std::size_t type) const;
    void DropTableKeyOnCounter(std::size_t counter, const Definitions& defs);
    bool ReadCounterArguments(std::size_t counter, IdentityColumn& id, std::size_t& end);
    void DropColumnKey(std::size_t end, std::size_t defEnd);
    // DEFAULT Now(): SQLite takes an expression default only in parentheses.
    void Defaults();
};

std::string SignedText(long long v) { return v < 0 ? "m" + std::to_string(-v) : std::to_string(v); }

// CREATE TABLE: the dialect's text types are declared under names that keep text as text,
// and each counter column (COUNTER, AUTOINCREMENT, IDENTITY) becomes an INTEGER PRIMARY KEY
// AUTOINCREMENT whose constraint name carries its seed and step.
void Rewriter::CreateTable() {
    const std::optional<CreateTableShape> shape = ReadCreateTable(TokensAsRead());
    if (!shape) return;
    const std::string& table = shape->table;
    const Definitions& defs = shape->definitions;
    const std::vector<std::size_t> counters = CountersAndTextTypes(defs);
    if (counters.empty()) return;
    for (std::size_t c : counters) DropTableKeyOnCounter(c, defs);
    for (std::size_t c : counters) {
        IdentityColumn id{table, UnquoteName(t[ColumnBefore(c)].text), 1, 1};
        std::size_t end = c + 1;
        if (!ReadCounterArguments(c, id, end)) return;
        std::size_t defEnd = end;
        for (auto [from, to] : defs)
            if (c >= from && c < to) defEnd = to;
        DropColumnKey(end, defEnd);
        std::string replacement = "INTEGER CONSTRAINT \"orv_counter_" + SignedText(id.seed) + "_" +
                                  SignedText(id.step) + "\" PRIMARY KEY AUTOINCREMENT";
        for (std::size_t z = c; z < end; ++z) t[z] = {Kind::Space, ""};
        t[c] = {Kind::Word, replacement};
        identities.push_back(id);
    }
}

// The tokens as the tokenizer reads them; the result-column brackets read as blanks.
std::vector<SqlToken> Rewriter::TokensAsRead() const {
    std::vector<SqlToken> out;
    out.reserve(t.size());
    for (const Token& x : t)
        out.push_back(
            {x.kind == Kind::Item || x.kind == Kind::ItemEnd ? SqlTokenKind::Space : static_cast<SqlTokenKind>(x.kind),
             x.text});
    return out;
}

// The type words of the counter columns; renames the text types on the way.
std::vector<std::size_t> Rewriter::CountersAndTextTypes(const Definitions& defs) {
    std::vector<std::size_t> counters;
    for (auto [from, to] : defs) {
        std::size_t col = NextSignificant(from - 1);
        if (col >= to) continue;
        std::size_t type = NextSignificant(col);
        if (type >= to) continue;
        if (IsWord(t[type], "COUNTER") || IsWord(t[type], "AUTOINCREMENT") || IsWord(t[type], "IDENTITY"))
            counters.push_back(type);
        // Text types whose names SQLite would give numeric affinity (so that '00123' became
        // the number 123) are declared under names that keep text as text and read the same.
        else if (IsWord(t[type], "MEMO") || IsWord(t[type], "NOTE") || IsWord(t[type], "HYPERLINK"))
            t[type] = {Kind::Word, "LONGTEXT"};
        else if (IsWord(t[type], "STRING") || IsWord(t[type], "ALPHANUMERIC")) t[type] = {Kind::Word, "VARCHAR"};
    }
    return counters;
}

// The column name before the type word at `type`.
std::size_t Rewriter::ColumnBefore(std::size_t type) const {
    std::size_t col = type;
    do --col;
    while (!Significant(t[col]));
    return col;
}

// A table-level PRIMARY KEY naming the counter column alone is dropped: the column carries it.
void Rewriter::DropTableKeyOnCounter(std::size_t counter, const Definitions& defs) {
    const std::string column = UnquoteName(t[ColumnBefore(counter)].text);
    for (auto [from, to] : defs) {
        std::size_t k = NextSignificant(from - 1);
        std::size_t pk = k;
        if (k < to && IsWord(t[k], "CONSTRAINT")) pk = NextSignificant(NextSignificant(k));
        if (pk >= to || !IsWord(t[pk], "PRIMARY")) continue;
        std::size_t key = NextSignificant(pk), paren = NextSignificant(key);
        std::size_t only = NextSignificant(paren), shut = NextSignificant(only);
        if (paren < to && t[paren].text == "(" && only < to &&
            platform::EqualsNoCase(UnquoteName(t[only].text), column) && shut < to && t[shut].text == ")") {
            // Blank the definition and the comma before it.
            for (std::size_t z = from - 1; z < to; ++z) t[z] = {Kind::Space, ""};
        }
    }
}

// COUNTER(seed, step) or COUNTER(seed): sets the seed and step of `id` and `end` past the
// closing parenthesis. False, with the error set, for other arguments or a step below 1.
bool Rewriter::ReadCounterArguments(std::size_t counter, IdentityColumn& id, std::size_t& end) {
    std::size_t after = NextSignificant(counter);
    if (after < t.size() && t[after].text == "(") {
        std::vector<long long> numbers;
        std::size_t k = NextSignificant(after);
        bool negative = false;
        for (; k < t.size() && t[k].text != ")"; k = NextSignificant(k)) {
            if (t[k].text == "-") negative = true;
            else if (t[k].kind == Kind::Number) {
                numbers.push_back((negative ? -1 : 1) * std::atoll(t[k].text.c_str()));
                negative = false;
            } else if (t[k].text != ",") {
                numbers.clear();
                break;
            }
        }
        if (numbers.size() != 2 && numbers.size() != 1) {
            if (!error)
                error = "The auto-increment column " + id.column + " takes a seed and a step, as in COUNTER(1, 1).";
            return false;
        }
        id.seed = numbers[0];
        if (numbers.size() == 2) id.step = numbers[1];
        end = k + 1;
    }
    if (id.step <= 0) {
        if (!error) error = "The auto-increment column " + id.column + " needs a step above zero.";
        return false;
    }
    return true;
}

// Blanks a PRIMARY KEY (with its CONSTRAINT name, ASC, DESC or AUTOINCREMENT) on the
// counter column itself, between `end` and `defEnd`: the replacement writes its own.
void Rewriter::DropColumnKey(std::size_t end, std::size_t defEnd) {
    for (std::size_t k = end; k < defEnd; ++k) {
        if (!IsWord(t[k], "PRIMARY")) continue;
        std::size_t key = NextSignificant(k);
        std::size_t from = k;
        // CONSTRAINT name PRIMARY KEY
        std::size_t p = k;
        int seen = 0;
        while (p > end && seen < 2) {
            --p;
            if (Significant(t[p])) ++seen;
        }
        if (seen == 2 && IsWord(t[p], "CONSTRAINT")) from = p;
        for (std::size_t z = from; z <= key && z < defEnd; ++z) t[z] = {Kind::Space, ""};
        std::size_t more = NextSignificant(key);
        if (more < defEnd && (IsWord(t[more], "ASC") || IsWord(t[more], "DESC") || IsWord(t[more], "AUTOINCREMENT")))
            t[more] = {Kind::Space, ""};
    }
}

}  // namespace

std::optional<std::string> ParseDateLiteral(std::string_view body) {
    const std::optional<DateText> d = ReadDateText(body);
    if (!d || !FitsOleDate(*d)) return std::nullopt;
    return FormatIsoDateTime(d->parts);
}

void Rewriter::Defaults() {
    for (std::size_t k = 0; k < t.size(); ++k) {
        if (!IsWord(t[k], "DEFAULT")) continue;
        std::size_t name = NextSignificant(k);
        if (name >= t.size() || t[name].kind != Kind::Word) continue;
        std::size_t open = NextSignificant(name);
        if (open >= t.size() || t[open].text != "(") continue;
        int depth = 0;
        std::size_t close = open;
        for (; close < t.size(); ++close) {
            if (t[close].text == "(") ++depth;
            else if (t[close].text == ")" && --depth == 0) break;
        }
        if (close >= t.size()) continue;
        t[name].text = "(" + t[name].text;
        t[close].text += ")";
        k = close;
    }
}

bool MayNeedRewrite(std::string_view utf8) {
    // Every word some pass acts on; a statement without any of them, without '#' and
    // without '&' renders back to its own text.
    static const char* const words[] = {"TRUE",        "FALSE", "YES", "NO",   "ISNULL", "LEFT",   "RIGHT",  "MOD",
                                        "DISTINCTROW", "LIKE",  "TOP", "DROP", "ALTER",  "CREATE", "DEFAULT"};
    SqlTokenizer tokens(utf8);
    for (SqlToken x; tokens.Next(x);) {
        if (x.kind == SqlTokenKind::Hash || (x.kind == SqlTokenKind::Punct && x.text == "&")) return true;
        if (x.kind == SqlTokenKind::Word && x.text.size() <= 11)
            for (const char* w : words)
                if (platform::EqualsNoCase(x.text, w)) return true;
    }
    return false;
}

RewriteResult RewriteSql(std::string_view utf8) {
    Rewriter r;
    r.t = Tokenize(utf8);
    r.Hashes();
    if (!r.error) r.MarkResultColumns();
    if (!r.error) r.Words();
    if (!r.error) r.Likes();
    if (!r.error) r.DropIndex();
    if (!r.error) r.CreateTable();
    if (!r.error) r.AlterTable();
    if (!r.error) r.Defaults();
    if (!r.error) r.Ampersands();
    if (!r.error) r.Tops();
    RewriteResult result;
    if (r.error) {
        result.error = r.error;
        result.sql = std::string(utf8);
        return result;
    }
    result.sql = r.Render();
    result.identities = std::move(r.identities);
    return result;
}

}  // namespace orv::engine
