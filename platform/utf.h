// UTF-8 and UTF-16 conversion, UTF-32 (wchar_t) to UTF-16 for text that ported Windows
// code writes as L"...", and the character tests that ported code leans on (case mapping
// for case-insensitive comparison, white space).
//
// Text crosses between the two encodings at the edges (file names, SQLite, the console)
// and for every text field of every row, so the converters take an ASCII fast path and
// allocate at most once per call. Malformed input never fails a conversion: each bad
// piece becomes U+FFFD, the replacement character.
//
// Nothing here keeps state; every function may be called from any thread. A Utf16Text
// owns its converted text and lives as a temporary within one call.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/export.h"

namespace orv::platform {

// ---- Conversion ------------------------------------------------------------------------
//
// Decoding UTF-8 replaces each maximal ill-formed subsequence by one U+FFFD (the practice
// the Unicode standard recommends): a stray continuation byte, a byte that cannot start a
// sequence, an overlong form, an encoded surrogate, a value above U+10FFFF and a sequence
// cut short each count once. Encoding UTF-8 replaces each unpaired surrogate by U+FFFD.

ORV_API std::u16string Utf8ToUtf16(std::string_view utf8);
ORV_API void AppendUtf8ToUtf16(std::u16string& out, std::string_view utf8);

// Converts `len` bytes at `src` into `dst`, which must have room for `len` units (one UTF-8
// byte never yields more than one UTF-16 unit). Returns the number of units written; no
// terminator is added.
ORV_API std::size_t Utf8ToUtf16(const char* src, std::size_t len, char16_t* dst);

// Decodes the one sequence at the start of `src` (`len` >= 1 bytes) into `dst`, which has
// room for two units. Returns the bytes consumed and sets `units` to the units written (one,
// or two for a character beyond U+FFFF); an ill-formed sequence gives one U+FFFD as above.
// For callers that must stop after a number of units, such as a formatter's precision.
ORV_API std::size_t DecodeUtf8Sequence(const char* src, std::size_t len, char16_t* dst, std::size_t& units);

// Writes one code point into `dst` (room for two units): one unit, or a surrogate pair for
// a character beyond U+FFFF; a surrogate value or one above U+10FFFF gives U+FFFD. Returns
// the units written.
ORV_API std::size_t EncodeCodePointUtf16(char32_t codePoint, char16_t* dst) noexcept;

// wchar_t text is UTF-32 on Linux, where Windows code meant UTF-16: ported code hands it to
// the library as L"..." literals, and it is converted once, here, where it comes in.
// Characters beyond U+FFFF become surrogate pairs; a value that is no character U+FFFD.
ORV_API std::u16string Utf32ToUtf16(std::wstring_view utf32);
ORV_API void AppendUtf32ToUtf16(std::u16string& out, std::wstring_view utf32);

ORV_API std::string Utf16ToUtf8(std::u16string_view utf16);
// Appends one Unicode code point (U+0000 to U+10FFFF) as UTF-8.
ORV_API void AppendCodePointUtf8(std::string& out, char32_t codePoint);
ORV_API void AppendUtf16ToUtf8(std::string& out, std::u16string_view utf16);

// Length of a NUL-terminated UTF-16 string in code units; a null pointer is the empty
// string, as it is for BSTRs.
inline std::size_t StrLen16(const char16_t* s) noexcept { return s ? std::char_traits<char16_t>::length(s) : 0; }

// ---- Characters ------------------------------------------------------------------------
//
// Case mapping is one code unit to one code unit and covers the scripts that column and
// table names in practice use: ASCII, Latin-1 Supplement (except ß and µ, which have no
// single-unit partner, and ÿ <-> Ÿ), Latin Extended-A (except the Turkish dotted and dotless
// i, which would make "I" and "i" compare unequal to their own pairs; ſ upper-cases to S),
// basic Greek with its accented vowels (ς upper-cases to Σ) and Cyrillic U+0400-U+04FF.
// Every other unit maps to itself.

ORV_API char16_t ToUpper16(char16_t c) noexcept;
ORV_API char16_t ToLower16(char16_t c) noexcept;

// Compares two NUL-terminated strings ignoring case, by the names' rule of CompareNoCase
// (platform/strings.h: simple case folding of every code point); a null pointer is the
// empty string. Negative, 0 or positive as `a` orders before, with or after `b`.
ORV_API int CompareNoCase16(const char16_t* a, const char16_t* b) noexcept;

// The white space of iswspace: U+0009-U+000D, space, U+0085, U+00A0, U+1680,
// U+2000-U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
ORV_API bool IsSpace16(char16_t c) noexcept;

// ---- Text arguments of either wide type ---------------------------------------------------
//
// The exported members that take UTF-16 text also accept wchar_t text through one template
// per member, which converts each argument with Utf16Text and calls the UTF-16 member. The
// template takes part only in calls that pass some wchar_t text, so every call that
// compiled against the UTF-16 member alone still picks it.

// A pointer to (or an array of) wchar_t, the type of L"..." literals.
template <class T>
concept Utf32Text = std::is_pointer_v<std::decay_t<T>> &&
    std::is_same_v<std::remove_cv_t<std::remove_pointer_t<std::decay_t<T>>>, wchar_t>;

// What a text parameter takes: wchar_t or UTF-16 text (pointers, arrays, CString, CComBSTR),
// nullptr, or the NULL of C headers.
template <class T>
concept TextArgument = Utf32Text<T> || std::is_convertible_v<const T&, const char16_t*> ||
    std::is_same_v<T, std::nullptr_t> || std::is_same_v<T, decltype(NULL)>;

// A call whose text arguments are all text and at least one is wchar_t text.
template <class... T>
concept CallWithUtf32Text = (TextArgument<T> && ...) && (Utf32Text<T> || ...);

// One text argument as UTF-16: wchar_t text converted into the object, UTF-16 text used in
// place, a null pointer kept null. Made as a temporary in the call it converts for, so the
// pointer lives as long as that call.
class Utf16Text {
public:
    template <class T>
    requires TextArgument<T> Utf16Text(const T& text) {  // NOLINT: converts where the UTF-16 text is needed
        if constexpr (Utf32Text<T>) {
            const wchar_t* wide = text;
            if (wide) {
                m_converted = Utf32ToUtf16(wide);
                m_text = m_converted.c_str();
            }
        } else if constexpr (std::is_convertible_v<const T&, const char16_t*>) {
            m_text = text;
        }
    }
    Utf16Text(const Utf16Text&) = delete;
    Utf16Text& operator=(const Utf16Text&) = delete;

    const char16_t* Get() const noexcept { return m_text; }
    operator const char16_t*() const noexcept { return m_text; }  // NOLINT: passes as the UTF-16 text

private:
    std::u16string m_converted;
    const char16_t* m_text = nullptr;
};

}  // namespace orv::platform
