#include "engine/sql/quote.h"

namespace orv::engine {
namespace {

std::string Quote(std::string_view text, char quote) {
    std::string out(1, quote);
    for (char c : text) {
        out += c;
        if (c == quote) out += quote;
    }
    return out + quote;
}

}  // namespace

std::string QuoteName(std::string_view name) { return Quote(name, '"'); }
std::string QuoteLiteral(std::string_view text) { return Quote(text, '\''); }

std::string UnquoteArgument(std::string_view s) {
    if (s.size() < 2 || (s.front() != '\'' && s.front() != '"') || s.back() != s.front()) return std::string(s);
    const char q = s.front();
    std::string out;
    for (std::size_t i = 1; i + 1 < s.size(); ++i) {
        out += s[i];
        if (s[i] == q && s[i + 1] == q) ++i;
    }
    return out;
}

}  // namespace orv::engine
