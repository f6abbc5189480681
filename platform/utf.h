// UTF-8 and UTF-16 conversion, and the character tests that ported Windows code leans on
// (case mapping for case-insensitive comparison, white space, decimal parsing).
//
// Text crosses between the two encodings at the edges (file names, SQLite, the console)
// and for every text field of every row, so the converters take an ASCII fast path and
// allocate at most once per call. Malformed input never fails a conversion: each bad
// piece becomes U+FFFD, the replacement character.
//
// Nothing here keeps state; every function may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

ORV_API std::string Utf16ToUtf8(std::u16string_view utf16);
// Appends one Unicode code point (U+0000 to U+10FFFF) as UTF-8.
ORV_API void AppendCodePointUtf8(std::string& out, char32_t codePoint);
ORV_API void AppendUtf16ToUtf8(std::string& out, std::u16string_view utf16);

// Length of a NUL-terminated UTF-16 string in code units; a null pointer is the empty
// string, as it is for BSTRs.
inline std::size_t StrLen16(const char16_t* s) noexcept {
    return s ? std::char_traits<char16_t>::length(s) : 0;
}

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

// Compares two NUL-terminated strings unit by unit after ToUpper16; a null pointer is the
// empty string. Returns the difference of the first pair of units that differ (so the
// sign orders the strings), 0 when they are equal.
ORV_API int CompareNoCase16(const char16_t* a, const char16_t* b) noexcept;

// The white space of iswspace: U+0009-U+000D, space, U+0085, U+00A0, U+1680,
// U+2000-U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
ORV_API bool IsSpace16(char16_t c) noexcept;

}  // namespace orv::platform

// ---- C run-time names of ported code -----------------------------------------------------

extern "C++" {

// Case-insensitive comparison, as CompareNoCase16.
ORV_API int _wcsicmp(const char16_t* a, const char16_t* b) noexcept;

// Reads a decimal integer as the Windows run time does: leading white space, an optional
// sign, then digits up to the first non-digit; 0 when there are none or `s` is null. The
// result is a Windows long (32 bits): a value out of that range gives LONG_MAX or LONG_MIN
// of 32 bits (2147483647 or -2147483648) and sets errno to ERANGE.
ORV_API long _wtol(const char16_t* s) noexcept;

}  // extern "C++"
