// Test support for case files: text written between braces, so that it may hold blanks and
// characters no editor shows.
#pragma once

#include <string>

#include "platform/utf.h"

namespace orv::test {

// The text of the first "{...}" at or after `at` in `line`, in UTF-8: \xHH is one byte,
// \uXXXX and \UXXXXXXXX one character, \n, \r and \t as in C, and a backslash before
// anything else is that thing ("\}", "\\"). `at` moves past the closing brace.
inline std::string Braced(const std::string& line, std::size_t& at) {
    std::string out;
    for (at = line.find('{', at) + 1; at < line.size() && line[at] != '}'; ++at) {
        if (line[at] != '\\') {
            out += line[at];
            continue;
        }
        const char e = line[++at];
        const std::size_t digits = e == 'x' ? 2 : e == 'u' ? 4 : e == 'U' ? 8 : 0;
        if (digits == 0) {
            out += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
            continue;
        }
        const auto code = std::stoul(line.substr(at + 1, digits), nullptr, 16);
        if (e == 'x') out += static_cast<char>(code);
        else platform::AppendCodePointUtf8(out, static_cast<char32_t>(code));
        at += digits;
    }
    ++at;
    return out;
}

}  // namespace orv::test
