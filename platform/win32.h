// Win32 stand-ins that the library names: locale identifiers, GUID text, critical
// sections and interlocked counters.
//
// All functions may be called from any thread. A CRITICAL_SECTION is a recursive mutex
// that its owner initialises before use and deletes after the last use.
#pragma once

#include <mutex>

#include "platform/wintypes.h"

extern "C" {
// The locale of the environment (LC_ALL, LC_MESSAGES, LANG), as a Windows locale
// identifier; English (United States) when the environment names none or an unknown one.
ORV_API LCID GetSystemDefaultLCID();
ORV_API LCID GetUserDefaultLCID();

// Writes the registry form of a GUID, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper
// case, into `lpsz`; returns the characters written including the terminator (39), or 0
// when `cchMax` is too small.
ORV_API int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Reads the registry form back; CO_E_CLASSSTRING for malformed text.
ORV_API HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
}

// ---- Files -------------------------------------------------------------------------------
// Paths are UTF-16 and converted to UTF-8 for the file system. Failures leave an error
// code for GetLastError (the Windows code that matches the errno).

#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_WRITE_THROUGH 0x00000008

extern "C" {
ORV_API DWORD GetLastError();
ORV_API void SetLastError(DWORD code);
// True when a file or folder exists at the path.
ORV_API BOOL PathFileExistsW(LPCWSTR path);
ORV_API BOOL DeleteFileW(LPCWSTR path);
// Renames a file; replaces an existing destination only with MOVEFILE_REPLACE_EXISTING. The
// rename is atomic; with MOVEFILE_WRITE_THROUGH the file and its folder are synced first.
ORV_API BOOL MoveFileExW(LPCWSTR existing, LPCWSTR destination, DWORD flags);
}

struct CRITICAL_SECTION {
    std::recursive_mutex* mutex = nullptr;
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

extern "C" {
ORV_API void InitializeCriticalSection(LPCRITICAL_SECTION cs);
ORV_API void DeleteCriticalSection(LPCRITICAL_SECTION cs);
ORV_API void EnterCriticalSection(LPCRITICAL_SECTION cs);
ORV_API void LeaveCriticalSection(LPCRITICAL_SECTION cs);
ORV_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
}

// Interlocked operations return the new value, as on Windows.
inline LONG InterlockedIncrement(volatile LONG* addend) { return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(volatile LONG* addend) { return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(volatile LONG* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
