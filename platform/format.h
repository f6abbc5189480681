// The printf-style formatter behind CString::Format and the SQL and error texts: wide
// format strings with the conventions of the Windows wide printf family.
//
// A format is UTF-16 (const char16_t*) or, from ported code that writes L"...", wchar_t
// text. As on Windows the format's type says what its wide conversions read: a UTF-16
// format reads UTF-16 text and units, a wchar_t format reads wchar_t text and characters
// (UTF-32 here, converted as they are read: a character beyond U+FFFF gives two units).
//
// Conversions:
//   %s %ls %ws   a wide string (const char16_t*, or const wchar_t* in a wchar_t format)
//   %hs %S       a narrow UTF-8 string (const char*), in either format
//   %c %lc %wc   a UTF-16 unit passed as int (a wchar_t character in a wchar_t format)
//   %hc %C       a narrow char passed as int
//   %d %i %u %x %X %o   integers; size prefixes: none, l and I32 = 32 bits (a Windows long
//                is 32 bits), h = short, hh = char, ll, I64, I, z, t and j = 64 bits
//   %f %F %e %E %g %G %a %A   a double; the digits, infinities and NaNs are those of the
//                C library. An L prefix is accepted and still reads a double, because long
//                double is double on Windows and ported callers pass one
//   %p           a pointer as 16 upper-case hexadecimal digits
//   %%           a percent sign
// Flags - + space # 0, a width and a precision, each as digits or `*` (an int argument; a
// negative width left-justifies, a negative precision counts as none). A precision limits
// the units a string contributes and is the minimum digit count of an integer (precision
// 0 prints nothing for the value 0). As on Windows, the 0 flag pads strings and characters
// with zeros too.
//
// Deliberate gaps: %n is not supported (it prints nothing and takes no argument, so that a
// format string can never write through an argument); a conversion character that is not
// listed above is printed as it is and takes no argument; a format string that ends inside
// a conversion prints nothing for it. A null string argument prints "(null)"; a null format
// string is an empty one. A narrow char or string is decoded as UTF-8, so a lone byte of
// 0x80 or above prints U+FFFD.
//
// Nothing here keeps state; every function may be called from any thread. The va_list is
// read through a copy: the caller's list is untouched and the caller still ends it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#include "platform/export.h"

namespace orv::platform {

// Appends the formatted text to `out`; the only allocations are those of `out` growing
// (and, for a wchar_t format, of its conversion and of each wchar_t string argument's).
ORV_API void AppendFormatV(std::u16string& out, const char16_t* format, va_list args);
ORV_API void AppendFormatV(std::u16string& out, const wchar_t* format, va_list args);

ORV_API std::u16string FormatV(const char16_t* format, va_list args);
ORV_API std::u16string Format(const char16_t* format, ...);

// The C99 vsnprintf contract for callers that must know whether the text fitted: writes
// at most capacity - 1 units and a terminating NUL (nothing at all when capacity is 0) and
// returns the length the whole text has, without its terminator; -1 when that length does
// not fit an int.
ORV_API int FormatToBufferV(char16_t* buffer, std::size_t capacity, const char16_t* format, va_list args);
ORV_API int FormatToBufferV(char16_t* buffer, std::size_t capacity, const wchar_t* format, va_list args);
ORV_API int FormatToBuffer(char16_t* buffer, std::size_t capacity, const char16_t* format, ...);

}  // namespace orv::platform
