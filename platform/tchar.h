// The text macros and types of Windows code built with UNICODE defined, for host code
// ported to Linux: _T("..."), TEXT("..."), OLESTR("...") and __T("...") make UTF-16
// literals (u"..."), TCHAR and its pointer types are char16_t-based as WCHAR is, and the
// _tcs names call the C run-time functions of platform/crt.h on UTF-16 text.
//
// OrvOleDb.h includes this header, so that a ported host changes only its include line; the
// library's own sources never include it, so the macros reach no code but the host's. A
// macro the host defined before is left as the host defined it.
//
// Only declarations and macros: nothing to own, and no thread rules.
#pragma once

#include "platform/crt.h"
#include "platform/wintypes.h"

// ---- Literals. Pasting the prefix (rather than writing u"" x) keeps _T('c') a character.

#ifndef __T
#define __T(x) u##x
#endif
#ifndef _T
#define _T(x) __T(x)
#endif
#ifndef _TEXT
#define _TEXT(x) __T(x)
#endif
#ifndef TEXT
#define TEXT(x) __T(x)
#endif
#ifndef OLESTR
#define OLESTR(x) __T(x)
#endif

// ---- Types

typedef WCHAR TCHAR;
typedef WCHAR _TCHAR;
typedef WCHAR _TSCHAR;
typedef WCHAR _TUCHAR;
typedef WCHAR* LPTSTR;
typedef const WCHAR* LPCTSTR;
typedef WCHAR* PTSTR;
typedef const WCHAR* PCTSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;

// ---- The _tcs names of the wide functions

#define _tcslen wcslen
#define _tcsnlen wcsnlen
#define _tcscmp wcscmp
#define _tcsncmp wcsncmp
#define _tcsicmp _wcsicmp
#define _tcsnicmp _wcsnicmp
#define _tcschr wcschr
#define _tcsrchr wcsrchr
#define _tcsstr wcsstr
#define _tcscpy_s wcscpy_s
#define _tcsncpy_s wcsncpy_s
#define _tcscat_s wcscat_s
#define _tprintf wprintf
#define _ftprintf fwprintf
#define _vftprintf vfwprintf
#define _stprintf_s swprintf_s
#define _vstprintf_s vswprintf_s
#define _ttoi _wtoi
#define _ttol _wtol
#define _tstoi _wtoi
#define _tstol _wtol
#define _tcstol wcstol
