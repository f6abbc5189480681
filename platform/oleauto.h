// OLE Automation and Win32 conversions that the library names: dates between SYSTEMTIME,
// the Automation DATE and FILETIME; a DATE as locale text; DATE and DECIMAL to a 32-bit
// integer; UUID text; and the BSTR comparison behind the connection cache's key order.
//
// A DATE counts days from 30 December 1899 (0.0) in its integer part; the fraction is the
// time of day and counts forward from midnight for negative dates too, so -1.25 is 29
// December 1899 06:00. The Automation functions cover 1 January 100 to 31 December 9999.
//
// Ownership: VarBstrFromDate hands out a BSTR that the caller frees with SysFreeString;
// UuidToStringW hands out a string that the caller frees with RpcStringFreeW. Nothing here
// keeps state; every function may be called from any thread. VarBstrFromDate with a
// default locale reads the environment (see GetUserDefaultLCID), so it sees a change that
// another thread makes with setenv only as the C library allows.
#pragma once

#include <cstddef>

#include "platform/com.h"
#include "platform/wintypes.h"

// ---- Flags and results -------------------------------------------------------------------

// dwFlags of the VarXxxFromYyy conversions.
#define VAR_TIMEVALUEONLY ((DWORD)0x00000001)
#define VAR_DATEVALUEONLY ((DWORD)0x00000002)
#define VAR_VALIDDATE ((DWORD)0x00000004)
#define VAR_CALENDAR_HIJRI ((DWORD)0x00000008)
#define VAR_LOCALBOOL ((DWORD)0x00000010)
#define VAR_FORMAT_NOSUBSTITUTE ((DWORD)0x00000020)
#define VAR_FOURDIGITYEARS ((DWORD)0x00000040)
#define VAR_CALENDAR_THAI ((DWORD)0x00000080)
#define VAR_CALENDAR_GREGORIAN ((DWORD)0x00000100)
#define LOCALE_NOUSEROVERRIDE ((DWORD)0x80000000)

// dwFlags of the string comparisons.
#define NORM_IGNORECASE ((DWORD)0x00000001)
#define NORM_IGNORENONSPACE ((DWORD)0x00000002)
#define NORM_IGNORESYMBOLS ((DWORD)0x00000004)
#define NORM_IGNOREWIDTH ((DWORD)0x00000008)
#define NORM_IGNOREKANATYPE ((DWORD)0x00000040)
#define NORM_IGNOREKASHIDA ((DWORD)0x00040000)

// Results of VarBstrCmp (they are results, not failure codes).
#define VARCMP_LT 0
#define VARCMP_EQ 1
#define VARCMP_GT 2
#define VARCMP_NULL 3

// ---- RPC strings ---------------------------------------------------------------------------

typedef LONG RPC_STATUS;
typedef char16_t* RPC_WSTR;
#define RPC_S_OK 0L
#define RPC_S_INVALID_ARG 87L
#define RPC_S_OUT_OF_MEMORY 14L
#define RPC_S_INVALID_STRING_UUID 1705L

extern "C" {

// ---- Dates ---------------------------------------------------------------------------------

// SYSTEMTIME to DATE, to the second: wMilliseconds and wDayOfWeek are ignored. FALSE for a
// null pointer, a year outside 100-9999, a month outside 1-12, a day outside 1-31, an hour
// above 23, a minute or second above 59. A day past the end of its month (31 April, 30
// February) counts on into the next month, as Windows does, so such a date converts but
// does not come back unchanged.
ORV_API INT SystemTimeToVariantTime(LPSYSTEMTIME lpSystemTime, DOUBLE* pvtime);

// DATE to SYSTEMTIME, rounded to the nearest second (a half second rounds up); fills
// wDayOfWeek (0 is Sunday) and sets wMilliseconds to 0. FALSE for a null pointer, a NaN,
// or a DATE outside 1 January 100 00:00:00 to 31 December 9999 23:59:59 after rounding.
ORV_API INT VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME lpSystemTime);

// A DATE as text in a locale: the locale's short date, a space, its long time. With no
// flag a DATE whose time is midnight prints the date alone and one on 30 December 1899 the
// time alone (so 0.0 prints only the time); VAR_DATEVALUEONLY prints only the date and
// VAR_TIMEVALUEONLY only the time (it wins when both are given). The DATE is rounded to
// the second first. LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT and 0 mean
// GetUserDefaultLCID(); an unknown locale prints as English (United States). Other flags
// are accepted and ignored; years always print in full. E_INVALIDARG for a null
// `pbstrOut`, DISP_E_OVERFLOW for a DATE out of range, E_OUTOFMEMORY.
ORV_API HRESULT VarBstrFromDate(DATE dateIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut);

// ---- Integers ------------------------------------------------------------------------------

// Round half to even; DISP_E_OVERFLOW for a NaN or a result outside the 32-bit range,
// E_INVALIDARG for a null `plOut`.
ORV_API HRESULT VarI4FromDate(DATE dateIn, LONG* plOut);

// The scaled 96-bit value, rounded half to even; DISP_E_OVERFLOW outside the 32-bit range,
// E_INVALIDARG for a null pointer, a scale above 28 or a sign byte other than 0 or 0x80.
ORV_API HRESULT VarI4FromDec(const DECIMAL* pdecIn, LONG* plOut);

// ---- File times ----------------------------------------------------------------------------

// 100-nanosecond intervals since 1 January 1601 UTC to SYSTEMTIME, keeping the
// milliseconds (the rest of the fraction is dropped). FALSE for a null pointer or a value
// of 0x8000000000000000 or more.
ORV_API BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);

// The reverse; wDayOfWeek is ignored. FALSE for a null pointer or any field out of its
// range: year 1601-30827, month 1-12, a day that the month has, hour 0-23, minute and
// second 0-59, milliseconds 0-999. No field is normalised.
ORV_API BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);

// ---- UUID text -----------------------------------------------------------------------------

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in lower case, no braces, in a new string that
// the caller frees with RpcStringFreeW. A null `Uuid` is the nil UUID. RPC_S_INVALID_ARG
// for a null `StringUuid`, RPC_S_OUT_OF_MEMORY.
ORV_API RPC_STATUS UuidToStringW(const UUID* Uuid, RPC_WSTR* StringUuid);

// Frees a string from UuidToStringW and nulls the pointer; a null string is fine.
ORV_API RPC_STATUS RpcStringFreeW(RPC_WSTR* String);

// Reads the text form back, either case; a null string is the nil UUID.
// RPC_S_INVALID_STRING_UUID for malformed text, RPC_S_INVALID_ARG for a null `Uuid`.
ORV_API RPC_STATUS UuidFromStringW(RPC_WSTR StringUuid, UUID* Uuid);

// ---- Strings -------------------------------------------------------------------------------

// Compares two whole BSTRs (embedded NULs included; a null BSTR is the empty string) and
// returns VARCMP_LT, VARCMP_EQ or VARCMP_GT. The order is the same for every locale:
// first by the case-folded text unit by unit (so "apple" < "Banana" < "cherry"), then, for
// text that folds equal, at the first unit that differs the lower-case form sorts first
// ("a" < "A"), then by code unit. Without flags it is a total order: VARCMP_EQ only for
// identical strings. NORM_IGNORECASE stops after the first step; the other NORM_ flags are
// accepted and ignored.
ORV_API HRESULT VarBstrCmp(BSTR bstrLeft, BSTR bstrRight, LCID lcid, ULONG dwFlags);

}  // extern "C"

namespace orv::platform {

// Units FormatDate may write: more than the longest date and time text of any locale.
inline constexpr std::size_t kDateTextRoom = 64;

// The text of VarBstrFromDate (same rules, same results) written into `text`, which holds
// kDateTextRoom units, without a terminator; `length` is the number of units. For readers
// that format a date per row and would only copy the BSTR and free it.
HRESULT FormatDate(DATE date, LCID lcid, ULONG flags, char16_t* text, std::size_t& length);

}  // namespace orv::platform
