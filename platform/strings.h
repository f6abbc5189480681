// The small text helpers that every layer uses, in one place: ASCII case mapping for
// keywords, type names and file extensions; trimming; comparing names without case; the
// folder and file name of a path. The engine, the library and the tools all take them
// from here, so that two copies can never disagree on what "the same name" means.
//
// Names are compared as the Windows engine compares them: ignoring the case of every
// letter, by Unicode's simple case folding (one code point to one code point, so "ß" is
// not "SS", and the Turkish dotted and dotless i fold only to themselves). Keywords and
// file extensions are ASCII and use Lower and Upper.
//
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace orv::platform {

// ---- ASCII -------------------------------------------------------------------------------

// A copy with the ASCII letters in lower (upper) case; every other byte as it is, so UTF-8
// text passes unharmed.
inline std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

inline std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// White space of the C locale's isspace: space, tab, line feed, vertical tab, form feed,
// carriage return.
inline constexpr std::string_view kAsciiSpace = " \t\n\v\f\r";

// The white space of iswspace (IsSpace16) as a set, the blanks of UTF-16 text.
inline constexpr std::u16string_view kUnicodeSpace16 =
    u" \t\n\v\f\r\u0085\u00A0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200A"
    u"\u2028\u2029\u202F\u205F\u3000";

// `s` without the units of `blanks` at either end. The view points into `s`.
template <class Char>
std::basic_string_view<Char> TrimView(std::basic_string_view<Char> s, std::basic_string_view<Char> blanks) {
    const std::size_t first = s.find_first_not_of(blanks);
    if (first == std::basic_string_view<Char>::npos) return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}
inline std::string_view Trim(std::string_view s, std::string_view blanks = kAsciiSpace) { return TrimView(s, blanks); }
inline std::u16string_view Trim(std::u16string_view s, std::u16string_view blanks = kUnicodeSpace16) {
    return TrimView(s, blanks);
}

// Whether `s` is `word` (ASCII, in lower case) but for the case of its ASCII letters; text
// of any unit width.
template <class Char>
bool EqualsAsciiWord(std::basic_string_view<Char> s, std::string_view word) {
    if (s.size() != word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<char32_t>(s[i]);
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != static_cast<char32_t>(word[i])) return false;
    }
    return true;
}

// The value of an ASCII hex digit in text of any unit width, or -1 for any other unit.
template <class Char>
constexpr int HexDigit(Char c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

// ---- Names without case --------------------------------------------------------------------

// The simple case folding of one code point (its lower-case form for nearly every letter).
char32_t FoldCase(char32_t c) noexcept;
// UTF-8 text with every code point folded: a key under which names that differ only in
// case meet. Ill-formed sequences become U+FFFD.
std::string FoldCase(std::string_view utf8);

// Orders text by folded code points, ASCII letters as capitals (negative, 0, positive);
// UTF-8 or UTF-16.
int CompareNoCase(std::string_view a, std::string_view b);
int CompareNoCase(std::u16string_view a, std::u16string_view b);

// Whether two names are the same but for case.
inline bool EqualsNoCase(std::string_view a, std::string_view b) { return CompareNoCase(a, b) == 0; }
inline bool EqualsNoCase(std::u16string_view a, std::u16string_view b) { return CompareNoCase(a, b) == 0; }

// ---- Paths -----------------------------------------------------------------------------------

// The folder part of a path: "." for a bare name, "/" for a name in the root.
inline std::string FolderOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

// The last part of a path, after its last '/'.
inline std::string FileNameOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace orv::platform
