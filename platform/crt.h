// The C run-time string functions that Windows code calls on WCHAR text, over UTF-16
// (char16_t) as WCHAR is here: length, comparison, the bounds-checked copies, formatting
// into a buffer and reading integers. platform/tchar.h gives them their _tcs names.
//
// They overload the C library's wcs functions rather than replace them: a call on wchar_t
// text still reaches the C library and counts UTF-32 units. Read-only text parameters take
// a Utf16Text, so a WCHAR buffer compares with, or is copied from, an L"..." literal as on
// Windows; the literal is converted on the way in.
//
// The bounds-checked functions do not stop the program on a bad argument, as the Windows
// run time's default handler would: they empty the destination (when it has room for the
// terminator) and return EINVAL for a null pointer or zero size, ERANGE when the text does
// not fit. Nothing here keeps state; every function may be called from any thread.
#pragma once

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cwchar>

#include "platform/export.h"
#include "platform/format.h"
#include "platform/utf.h"

#ifndef _TRUNCATE
// The count for wcsncpy_s that copies as much as fits and cuts the rest (STRUNCATE).
#define _TRUNCATE (static_cast<std::size_t>(-1))
#endif
#ifndef STRUNCATE
#define STRUNCATE 80
#endif

typedef int errno_t;

extern "C++" {

// ---- Length and comparison. A null pointer is the empty string.

inline std::size_t wcslen(const char16_t* text) noexcept { return orv::platform::StrLen16(text); }
ORV_API std::size_t wcsnlen(const char16_t* text, std::size_t max) noexcept;

// Ordinal by code unit; <0, 0 or >0.
ORV_API int wcscmp(orv::platform::Utf16Text a, orv::platform::Utf16Text b) noexcept;
ORV_API int wcsncmp(orv::platform::Utf16Text a, orv::platform::Utf16Text b, std::size_t count) noexcept;
// Ignoring case, as CompareNoCase16.
ORV_API int _wcsicmp(const char16_t* a, const char16_t* b) noexcept;
inline int _wcsicmp(orv::platform::Utf16Text a, orv::platform::Utf16Text b) noexcept {
    return _wcsicmp(a.Get(), b.Get());
}
ORV_API int _wcsnicmp(orv::platform::Utf16Text a, orv::platform::Utf16Text b, std::size_t count) noexcept;

// ---- Search: a pointer into `text`, or null.

ORV_API const char16_t* wcschr(const char16_t* text, char16_t unit) noexcept;
ORV_API const char16_t* wcsrchr(const char16_t* text, char16_t unit) noexcept;
ORV_API const char16_t* wcsstr(const char16_t* text, orv::platform::Utf16Text sub) noexcept;
inline char16_t* wcschr(char16_t* text, char16_t unit) noexcept {
    return const_cast<char16_t*>(wcschr(static_cast<const char16_t*>(text), unit));
}
inline char16_t* wcsrchr(char16_t* text, char16_t unit) noexcept {
    return const_cast<char16_t*>(wcsrchr(static_cast<const char16_t*>(text), unit));
}
inline char16_t* wcsstr(char16_t* text, orv::platform::Utf16Text sub) noexcept {
    return const_cast<char16_t*>(wcsstr(static_cast<const char16_t*>(text), sub.Get()));
}

// ---- Bounds-checked copies. `size` counts units of `dest`, terminator included.

ORV_API errno_t wcscpy_s(char16_t* dest, std::size_t size, orv::platform::Utf16Text src) noexcept;
ORV_API errno_t wcscat_s(char16_t* dest, std::size_t size, orv::platform::Utf16Text src) noexcept;
// At most `count` units of `src`; with _TRUNCATE as much as fits, returning STRUNCATE when
// something was cut.
ORV_API errno_t wcsncpy_s(char16_t* dest, std::size_t size, orv::platform::Utf16Text src, std::size_t count) noexcept;

template <std::size_t N>
errno_t wcscpy_s(char16_t (&dest)[N], orv::platform::Utf16Text src) noexcept {
    return wcscpy_s(dest, N, src.Get());
}
template <std::size_t N>
errno_t wcscat_s(char16_t (&dest)[N], orv::platform::Utf16Text src) noexcept {
    return wcscat_s(dest, N, src.Get());
}
template <std::size_t N>
errno_t wcsncpy_s(char16_t (&dest)[N], orv::platform::Utf16Text src, std::size_t count) noexcept {
    return wcsncpy_s(dest, N, src.Get(), count);
}

// ---- Formatting into a buffer (platform/format.h): the number of units written, without
// the terminator; -1 with `buffer` emptied when the text does not fit. A wchar_t format
// reads its %s and %c arguments as wchar_t text, a UTF-16 format as UTF-16 text. A wchar_t
// format is converted first, so it may throw CMemoryException's cause, std::bad_alloc.

template <class FormatChar>
int vswprintf_s(char16_t* buffer, std::size_t size, const FormatChar* format, va_list args) {
    const int length = orv::platform::FormatToBufferV(buffer, size, format, args);
    if (length >= 0 && static_cast<std::size_t>(length) < size) return length;
    if (buffer && size) buffer[0] = 0;
    return -1;
}
template <class FormatChar>
int swprintf_s(char16_t* buffer, std::size_t size, const FormatChar* format, ...) {
    va_list args;
    va_start(args, format);
    int length;
    try {
        length = vswprintf_s(buffer, size, format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return length;
}
template <std::size_t N, class FormatChar>
int swprintf_s(char16_t (&buffer)[N], const FormatChar* format, ...) {
    va_list args;
    va_start(args, format);
    int length;
    try {
        length = vswprintf_s(buffer, N, format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return length;
}

// ---- Printing UTF-16 text: formatted as above, written to the stream as UTF-8 (the
// console's encoding on Linux); the number of units formatted, -1 when the write failed.
// A stream takes either these and the narrow functions or the C library's wide ones (on
// wchar_t formats), not both: the first write fixes its orientation.

ORV_API int vfwprintf(std::FILE* stream, const char16_t* format, va_list args) noexcept;
ORV_API int fwprintf(std::FILE* stream, const char16_t* format, ...) noexcept;
ORV_API int wprintf(const char16_t* format, ...) noexcept;

// ---- Integers. Windows widths: long and int are 32 bits, so a value beyond that range
// gives the nearest limit (2147483647 or -2147483648) and sets errno to ERANGE.

// Leading white space (IsSpace16), an optional sign, then digits in `base` (2 to 36; 0 reads
// a 0x prefix as hexadecimal and a leading 0 as octal, 16 allows the 0x prefix). `end`, when
// not null, receives the position after the last digit, or `text` when there was none.
ORV_API long wcstol(const char16_t* text, char16_t** end, int base) noexcept;
// Decimal, as wcstol with base 10; 0 for null or no digits.
ORV_API long _wtol(const char16_t* text) noexcept;
inline int _wtoi(const char16_t* text) noexcept { return static_cast<int>(_wtol(text)); }

}  // extern "C++"
