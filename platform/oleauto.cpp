// OLE Automation and Win32 conversions: dates, locale date text, integer rounding, UUID
// text and BSTR comparison.
#include "platform/oleauto.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/calendar.h"
#include "platform/guid_text.h"
#include "platform/utf.h"
#include "platform/win32.h"

namespace {

// ---- Calendar arithmetic -------------------------------------------------------------------

using orv::platform::CivilDate;
using orv::platform::CivilFromDays;
using orv::platform::DaysFromCivil;
using orv::platform::DaysInMonth;

// Day 0 of a DATE and of a FILETIME, on the scale above.
constexpr std::int64_t kDateEpoch = orv::platform::kOleDateEpochDay;
constexpr std::int64_t kFileTimeEpoch = orv::platform::kFileTimeEpochDay;
// The first and last day a DATE may name, counted from kDateEpoch.
constexpr std::int64_t kFirstDateDay = DaysFromCivil(100, 1, 1) - kDateEpoch;  // -657434
constexpr std::int64_t kLastDateDay = DaysFromCivil(9999, 12, 31) - kDateEpoch;  // 2958465
static_assert(kFirstDateDay == -657434 && kLastDateDay == 2958465);

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kTicksPerMillisecond = 10'000;

void FillSystemTime(std::int64_t daysFrom1970, std::int64_t secondOfDay, WORD milliseconds, SYSTEMTIME& st) {
    const CivilDate c = CivilFromDays(daysFrom1970);
    st.wYear = static_cast<WORD>(c.year);
    st.wMonth = static_cast<WORD>(c.month);
    st.wDayOfWeek = static_cast<WORD>(orv::platform::DayOfWeek(daysFrom1970));
    st.wDay = static_cast<WORD>(c.day);
    st.wHour = static_cast<WORD>(secondOfDay / 3600);
    st.wMinute = static_cast<WORD>(secondOfDay / 60 % 60);
    st.wSecond = static_cast<WORD>(secondOfDay % 60);
    st.wMilliseconds = milliseconds;
}

// A DATE split into a day (from kDateEpoch) and a second of that day, rounded to the
// nearest second. False for a NaN or a DATE outside the range, before or after rounding.
bool SplitDate(double date, std::int64_t& day, std::int64_t& second) {
    // Strictly inside (first day - 1, last day + 1): the fraction of a negative DATE
    // counts forward, so -657434.99 is still 1 January 100, late in the evening.
    if (!(date > static_cast<double>(kFirstDateDay - 1) && date < static_cast<double>(kLastDateDay + 1))) return false;
    const double whole = std::trunc(date);
    const double fraction = std::fabs(date - whole);  // exact: dropping the integer part loses no bits
    // A half second rounds up. The DATE itself is only as precise as a double of its
    // magnitude, so a time within one unit in the last place of a half second counts as
    // the half second; otherwise 12:00:00.5 could round down on some days and up on others.
    const double magnitude = std::fabs(date);
    const double ulpSeconds = (std::nextafter(magnitude, INFINITY) - magnitude) * kSecondsPerDay;
    day = static_cast<std::int64_t>(whole);
    second = static_cast<std::int64_t>(std::floor(fraction * kSecondsPerDay + 0.5 + ulpSeconds));
    if (second >= kSecondsPerDay) {  // rounded up to the next midnight
        second -= kSecondsPerDay;
        ++day;
    }
    return day >= kFirstDateDay && day <= kLastDateDay;
}

// ---- Locale patterns -----------------------------------------------------------------------
//
// The short-date and long-time patterns of each locale that GetUserDefaultLCID can report,
// in the pattern language of the Windows NLS functions: d dd M MM yy yyyy h hh H HH m mm
// s ss t tt and '-quoted literal text. docs/dates.md gives the reasons for each row.

struct LocalePatterns {
    LCID lcid;
    const char16_t* shortDate;
    const char16_t* longTime;
    const char16_t* am;
    const char16_t* pm;
};

constexpr LocalePatterns kPatterns[] = {
    {0x0409, u"M/d/yyyy", u"h:mm:ss tt", u"AM", u"PM"},  // en-US, also the fallback
    {0x0809, u"dd/MM/yyyy", u"HH:mm:ss", u"AM", u"PM"},  // en-GB
    {0x0C09, u"d/MM/yyyy", u"h:mm:ss tt", u"AM", u"PM"},  // en-AU
    {0x1009, u"yyyy-MM-dd", u"h:mm:ss tt", u"AM", u"PM"},  // en-CA
    {0x1409, u"d/MM/yyyy", u"h:mm:ss tt", u"AM", u"PM"},  // en-NZ
    {0x1809, u"dd/MM/yyyy", u"HH:mm:ss", u"AM", u"PM"},  // en-IE
    {0x1C09, u"yyyy/MM/dd", u"HH:mm:ss", u"AM", u"PM"},  // en-ZA
    {0x4009, u"dd-MM-yyyy", u"HH:mm:ss", u"AM", u"PM"},  // en-IN
    {0x0407, u"dd.MM.yyyy", u"HH:mm:ss", u"", u""},  // de-DE
    {0x0C07, u"dd.MM.yyyy", u"HH:mm:ss", u"", u""},  // de-AT
    {0x0807, u"dd.MM.yyyy", u"HH:mm:ss", u"", u""},  // de-CH
    {0x040C, u"dd/MM/yyyy", u"HH:mm:ss", u"", u""},  // fr-FR
    {0x080C, u"dd-MM-yyyy", u"HH:mm:ss", u"", u""},  // fr-BE (two-digit year widened)
    {0x0C0C, u"yyyy-MM-dd", u"HH:mm:ss", u"", u""},  // fr-CA
    {0x100C, u"dd.MM.yyyy", u"HH:mm:ss", u"", u""},  // fr-CH
    {0x0C0A, u"dd/MM/yyyy", u"H:mm:ss", u"", u""},  // es-ES
    {0x080A, u"dd/MM/yyyy", u"H:mm:ss", u"", u""},  // es-MX (24-hour fallback)
    {0x0410, u"dd/MM/yyyy", u"HH:mm:ss", u"", u""},  // it-IT
    {0x0413, u"d-M-yyyy", u"HH:mm:ss", u"", u""},  // nl-NL
    {0x0813, u"d/MM/yyyy", u"H:mm:ss", u"", u""},  // nl-BE
    {0x0416, u"dd/MM/yyyy", u"HH:mm:ss", u"", u""},  // pt-BR
    {0x0816, u"dd/MM/yyyy", u"HH:mm:ss", u"", u""},  // pt-PT
    {0x041D, u"yyyy-MM-dd", u"HH:mm:ss", u"", u""},  // sv-SE
    {0x0406, u"dd-MM-yyyy", u"HH:mm:ss", u"", u""},  // da-DK
    {0x0414, u"dd.MM.yyyy", u"HH:mm:ss", u"", u""},  // nb-NO
    {0x040B, u"d.M.yyyy", u"H:mm:ss", u"", u""},  // fi-FI
    {0x0415, u"dd.MM.yyyy", u"HH:mm:ss", u"", u""},  // pl-PL
    {0x0405, u"dd.MM.yyyy", u"H:mm:ss", u"", u""},  // cs-CZ
    {0x040E, u"yyyy. MM. dd.", u"H:mm:ss", u"", u""},  // hu-HU
    {0x0419, u"dd.MM.yyyy", u"H:mm:ss", u"", u""},  // ru-RU
    {0x041F, u"d.MM.yyyy", u"HH:mm:ss", u"", u""},  // tr-TR
    {0x0408, u"d/M/yyyy", u"HH:mm:ss", u"", u""},  // el-GR (24-hour fallback)
    {0x0411, u"yyyy/MM/dd", u"H:mm:ss", u"", u""},  // ja-JP
    {0x0804, u"yyyy/M/d", u"H:mm:ss", u"", u""},  // zh-CN
    {0x0404, u"yyyy/M/d", u"tt hh:mm:ss", u"\u4E0A\u5348", u"\u4E0B\u5348"},  // zh-TW
    {0x0412, u"yyyy-MM-dd", u"tt h:mm:ss", u"\uC624\uC804", u"\uC624\uD6C4"},  // ko-KR
    {0x007F, u"MM/dd/yyyy", u"HH:mm:ss", u"AM", u"PM"},  // invariant
};

constexpr LANGID PrimaryLanguage(LANGID id) { return id & 0x3FF; }

// The row of kPatterns for a locale: its own row, else the first row of its language (so
// a neutral "German" or an unlisted German-speaking country reads as de-DE), else en-US.
std::size_t PatternRowFor(LANGID id) {
    for (std::size_t k = 0; k < std::size(kPatterns); ++k)
        if (kPatterns[k].lcid == id) return k;
    for (std::size_t k = 0; k < std::size(kPatterns); ++k)
        if (PrimaryLanguage(static_cast<LANGID>(kPatterns[k].lcid)) == PrimaryLanguage(id)) return k;
    return 0;
}

// A pattern read once into what a date's text is made of: fields (a pattern letter and how
// many times it was repeated) and literal text, so that formatting a date per row does not
// read the pattern language again.
struct ExpandedPattern {
    struct Piece {
        char16_t field = 0;  // d M y H h m s t, or 0 for literal text
        std::uint8_t count = 0;  // repetitions of the letter; units of literal text
        std::uint8_t literal = 0;  // where the literal text starts in `literals`
    };
    Piece pieces[24];
    std::size_t size = 0;
    char16_t literals[32] = {};
    std::size_t literalUnits = 0;

    void Literal(char16_t unit) {
        if (size == 0 || pieces[size - 1].field != 0) pieces[size++] = {0, 0, static_cast<std::uint8_t>(literalUnits)};
        literals[literalUnits++] = unit;
        ++pieces[size - 1].count;
    }
};

// Reads one NLS pattern: '-quoted text is literal ('' inside it is one quote), any letter
// other than a field's stands for itself as often as it is repeated.
ExpandedPattern Expand(const char16_t* pattern) {
    ExpandedPattern out;
    for (const char16_t* p = pattern; *p;) {
        const char16_t c = *p;
        if (c == u'\'') {
            for (++p; *p; ++p) {
                if (*p == u'\'') {
                    if (p[1] != u'\'') break;
                    ++p;
                }
                out.Literal(*p);
            }
            if (*p) ++p;
            continue;
        }
        int count = 0;
        while (p[count] == c) ++count;
        switch (c) {
        case u'd':
        case u'M':
        case u'y':
        case u'H':
        case u'h':
        case u'm':
        case u's':
        case u't': out.pieces[out.size++] = {c, static_cast<std::uint8_t>(count), 0}; break;
        default:
            for (int k = 0; k < count; ++k) out.Literal(c);
            break;
        }
        p += count;
    }
    return out;
}

// The most units a pattern can write: fields of two digits, full years of four.
std::size_t Longest(const ExpandedPattern& pattern, const LocalePatterns& locale) {
    const std::size_t designator =
        std::max(std::char_traits<char16_t>::length(locale.am), std::char_traits<char16_t>::length(locale.pm));
    std::size_t units = 0;
    for (std::size_t k = 0; k < pattern.size; ++k) {
        const ExpandedPattern::Piece& piece = pattern.pieces[k];
        switch (piece.field) {
        case 0: units += piece.count; break;
        case u'y': units += piece.count >= 3 ? 4 : 2; break;
        case u't': units += piece.count == 1 ? 1 : designator; break;
        default: units += 2; break;
        }
    }
    return units;
}

// Both patterns of a locale, expanded, and the most units the two write with the blank
// between them.
struct ExpandedLocale {
    const LocalePatterns* patterns;
    ExpandedPattern shortDate;
    ExpandedPattern longTime;
    std::size_t longest;
};

// Every row of kPatterns expanded, once for the process.
const ExpandedLocale& ExpandedRow(std::size_t row) {
    static const auto* const kExpanded = [] {
        auto* rows = new ExpandedLocale[std::size(kPatterns)];
        for (std::size_t k = 0; k < std::size(kPatterns); ++k) {
            const LocalePatterns& row = kPatterns[k];
            rows[k] = {&row, Expand(row.shortDate), Expand(row.longTime), 0};
            rows[k].longest = Longest(rows[k].shortDate, row) + 1 + Longest(rows[k].longTime, row);
        }
        return rows;
    }();
    return kExpanded[row];
}

// The expanded patterns for a locale. The default locales stand for the user's
// (GetUserDefaultLCID); the last locale asked for is remembered per thread, since a walk
// formats every date of a column in the same one.
const ExpandedLocale& PatternsFor(LCID lcid) {
    LANGID id = static_cast<LANGID>(lcid & 0xFFFF);  // the sort order does not matter here
    switch (id) {
    case 0x0000:  // neutral
    case 0x0400:  // LOCALE_USER_DEFAULT
    case 0x0800:  // LOCALE_SYSTEM_DEFAULT
    case 0x0C00:  // LOCALE_CUSTOM_DEFAULT
    case 0x1000:  // LOCALE_CUSTOM_UNSPECIFIED
    case 0x1400:  // LOCALE_CUSTOM_UI_DEFAULT
        id = static_cast<LANGID>(GetUserDefaultLCID() & 0xFFFF);
        break;
    default: break;
    }
    thread_local LANGID lastId = 0;
    thread_local std::size_t lastRow = 0;
    if (id != lastId || id == 0) {
        lastRow = PatternRowFor(id);
        lastId = id;
    }
    return ExpandedRow(lastRow);
}

// Date text is written into a fixed buffer: the longest pattern pair gives well under
// kDateTextRoom units, and a field read formats a date per row, so no allocation. The room
// is checked once per date against the locale's longest text.
struct DateWriter {
    char16_t* units;
    std::size_t length = 0;

    void Put(char16_t unit) { units[length++] = unit; }
    void Put(const char16_t* text, std::size_t n) {
        for (std::size_t k = 0; k < n; ++k) Put(text[k]);
    }
    void Put(const char16_t* text) {
        while (*text) Put(*text++);
    }
};

void AppendNumber(DateWriter& out, unsigned value, int minDigits) {
    if (value < 100 && minDigits <= 2) {  // every field but the full year
        if (value >= 10 || minDigits == 2) out.Put(static_cast<char16_t>(u'0' + value / 10));
        out.Put(static_cast<char16_t>(u'0' + value % 10));
        return;
    }
    char16_t digits[8];
    int n = 0;
    do {
        digits[n++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int pad = n; pad < minDigits; ++pad) out.Put(u'0');
    while (n > 0) out.Put(digits[--n]);
}

// Writes a time of day and date by an expanded pattern.
void AppendPattern(DateWriter& out, const ExpandedPattern& pattern, const LocalePatterns& locale,
                   const SYSTEMTIME& st) {
    for (std::size_t k = 0; k < pattern.size; ++k) {
        const ExpandedPattern::Piece& piece = pattern.pieces[k];
        const int digits = piece.count >= 2 ? 2 : 1;
        switch (piece.field) {
        case 0: out.Put(pattern.literals + piece.literal, piece.count); break;
        case u'd': AppendNumber(out, st.wDay, digits); break;
        case u'M': AppendNumber(out, st.wMonth, digits); break;
        case u'y':
            if (piece.count >= 3) AppendNumber(out, st.wYear, 1);  // in full, never padded
            else AppendNumber(out, st.wYear % 100, piece.count);
            break;
        case u'H': AppendNumber(out, st.wHour, digits); break;
        case u'h': AppendNumber(out, st.wHour % 12 == 0 ? 12 : st.wHour % 12, digits); break;
        case u'm': AppendNumber(out, st.wMinute, digits); break;
        case u's': AppendNumber(out, st.wSecond, digits); break;
        default: {  // t: the designator, or its first unit alone
            const char16_t* designator = st.wHour < 12 ? locale.am : locale.pm;
            if (piece.count == 1) {
                if (*designator) out.Put(*designator);
            } else {
                out.Put(designator);
            }
            break;
        }
        }
    }
}

// The case fold of the comparison: upper then lower, so that pairs without a one-unit
// partner in one direction (ſ and s, ς and σ) still fold together.
char16_t Fold(char16_t c) { return orv::platform::ToLower16(orv::platform::ToUpper16(c)); }

HRESULT Order(std::size_t a, std::size_t b) { return a < b ? VARCMP_LT : (a > b ? VARCMP_GT : VARCMP_EQ); }

}  // namespace

// ---- Dates ---------------------------------------------------------------------------------

INT SystemTimeToVariantTime(LPSYSTEMTIME st, DOUBLE* pvtime) {
    if (!st || !pvtime) return FALSE;
    if (st->wYear < 100 || st->wYear > 9999 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 || st->wDay > 31 ||
        st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59)
        return FALSE;
    // Counting from the first of the month lets a day past the month's end run on into the
    // next month; 31 December 9999 is the latest day this can reach, so no range check.
    const std::int64_t day = DaysFromCivil(st->wYear, st->wMonth, 1) + (st->wDay - 1) - kDateEpoch;
    const double fraction =
        static_cast<double>(st->wHour * 3600 + st->wMinute * 60 + st->wSecond) / static_cast<double>(kSecondsPerDay);
    *pvtime = day >= 0 ? static_cast<double>(day) + fraction : static_cast<double>(day) - fraction;
    return TRUE;
}

INT VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME st) {
    if (!st) return FALSE;
    std::int64_t day = 0, second = 0;
    if (!SplitDate(vtime, day, second)) return FALSE;
    FillSystemTime(day + kDateEpoch, second, 0, *st);
    return TRUE;
}

namespace orv::platform {

HRESULT FormatDate(DATE date, LCID lcid, ULONG flags, char16_t* text, std::size_t& length) {
    length = 0;
    std::int64_t day = 0, second = 0;
    if (!SplitDate(date, day, second)) return DISP_E_OVERFLOW;
    SYSTEMTIME st;
    FillSystemTime(day + kDateEpoch, second, 0, st);

    bool withDate = true, withTime = true;
    if (flags & VAR_TIMEVALUEONLY) {
        withDate = false;
    } else if (flags & VAR_DATEVALUEONLY) {
        withTime = false;
    } else if (day == 0) {
        withDate = false;  // 30 December 1899 is "no date", even at midnight
    } else if (second == 0) {
        withTime = false;
    }

    const ExpandedLocale& locale = PatternsFor(lcid);
    if (locale.longest > kDateTextRoom) return E_OUTOFMEMORY;  // no pattern in the table comes near
    DateWriter out{text};
    if (withDate) AppendPattern(out, locale.shortDate, *locale.patterns, st);
    if (withDate && withTime) out.Put(u' ');
    if (withTime) AppendPattern(out, locale.longTime, *locale.patterns, st);
    length = out.length;
    return S_OK;
}

}  // namespace orv::platform

HRESULT VarBstrFromDate(DATE dateIn, LCID lcid, ULONG dwFlags, BSTR* pbstrOut) {
    if (!pbstrOut) return E_INVALIDARG;
    *pbstrOut = nullptr;
    char16_t text[orv::platform::kDateTextRoom];
    std::size_t length = 0;
    const HRESULT hr = orv::platform::FormatDate(dateIn, lcid, dwFlags, text, length);
    if (FAILED(hr)) return hr;
    BSTR out = SysAllocStringLen(text, static_cast<UINT>(length));
    if (!out) return E_OUTOFMEMORY;
    *pbstrOut = out;
    return S_OK;
}

// ---- Integers ------------------------------------------------------------------------------

HRESULT VarI4FromDate(DATE dateIn, LONG* plOut) {
    if (!plOut) return E_INVALIDARG;
    if (std::isnan(dateIn)) return DISP_E_OVERFLOW;
    double rounded = std::floor(dateIn);
    const double rest = dateIn - rounded;  // exact, in [0, 1)
    if (rest > 0.5 || (rest == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) return DISP_E_OVERFLOW;
    *plOut = static_cast<LONG>(rounded);
    return S_OK;
}

HRESULT VarI4FromDec(const DECIMAL* pdecIn, LONG* plOut) {
    if (!pdecIn || !plOut) return E_INVALIDARG;
    if (pdecIn->scale > 28 || (pdecIn->sign != 0 && pdecIn->sign != DECIMAL_NEG)) return E_INVALIDARG;
    using U128 = unsigned __int128;
    const U128 magnitude = (static_cast<U128>(pdecIn->Hi32) << 64) | pdecIn->Lo64;
    U128 divisor = 1;
    for (int i = 0; i < pdecIn->scale; ++i) divisor *= 10;  // 10^28 < 2^94
    U128 quotient = magnitude / divisor;
    const U128 remainder = magnitude % divisor;
    const U128 twice = remainder * 2;  // < 2^95
    if (twice > divisor || (twice == divisor && (quotient & 1) != 0)) ++quotient;
    const bool negative = pdecIn->sign == DECIMAL_NEG;
    if (quotient > (negative ? U128{0x80000000u} : U128{0x7FFFFFFFu})) return DISP_E_OVERFLOW;
    const std::int64_t value = negative ? -static_cast<std::int64_t>(quotient) : static_cast<std::int64_t>(quotient);
    *plOut = static_cast<LONG>(value);
    return S_OK;
}

// ---- File times ----------------------------------------------------------------------------

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    if (!lpFileTime || !lpSystemTime) return FALSE;
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(lpFileTime->dwHighDateTime) << 32) | lpFileTime->dwLowDateTime;
    if (ticks >> 63) return FALSE;
    const std::uint64_t seconds = ticks / kTicksPerSecond;
    const WORD milliseconds = static_cast<WORD>(ticks / kTicksPerMillisecond % 1000);
    const auto days = static_cast<std::int64_t>(seconds / kSecondsPerDay);
    FillSystemTime(days + kFileTimeEpoch, static_cast<std::int64_t>(seconds % kSecondsPerDay), milliseconds,
                   *lpSystemTime);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME lpFileTime) {
    if (!st || !lpFileTime) return FALSE;
    if (st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
        st->wDay > DaysInMonth(st->wYear, st->wMonth) || st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 ||
        st->wMilliseconds > 999)
        return FALSE;
    const auto days = static_cast<std::uint64_t>(DaysFromCivil(st->wYear, st->wMonth, st->wDay) - kFileTimeEpoch);
    const std::uint64_t seconds = days * kSecondsPerDay + st->wHour * 3600u + st->wMinute * 60u + st->wSecond;
    const std::uint64_t ticks = seconds * kTicksPerSecond + st->wMilliseconds * kTicksPerMillisecond;
    lpFileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    lpFileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return TRUE;
}

// ---- UUID text -----------------------------------------------------------------------------

RPC_STATUS UuidToStringW(const UUID* Uuid, RPC_WSTR* StringUuid) {
    if (!StringUuid) return RPC_S_INVALID_ARG;
    *StringUuid = nullptr;
    // The registry form without its braces, in lower case.
    auto* out = static_cast<char16_t*>(std::malloc((orv::platform::kGuidDigitsLength + 1) * sizeof(char16_t)));
    if (!out) return RPC_S_OUT_OF_MEMORY;
    orv::platform::WriteGuidDigits(Uuid ? *Uuid : GUID_NULL, out, false);
    out[orv::platform::kGuidDigitsLength] = 0;
    *StringUuid = out;
    return RPC_S_OK;
}

RPC_STATUS RpcStringFreeW(RPC_WSTR* String) {
    if (!String) return RPC_S_INVALID_ARG;
    std::free(*String);
    *String = nullptr;
    return RPC_S_OK;
}

RPC_STATUS UuidFromStringW(RPC_WSTR s, UUID* Uuid) {
    if (!Uuid) return RPC_S_INVALID_ARG;
    if (!s) {
        *Uuid = GUID_NULL;
        return RPC_S_OK;
    }
    // A NUL ends the text early and fails the reading before anything past it is read.
    GUID read{};
    if (!orv::platform::ReadGuidDigits(s, read) || s[orv::platform::kGuidDigitsLength] != 0)
        return RPC_S_INVALID_STRING_UUID;
    *Uuid = read;
    return RPC_S_OK;
}

// ---- Strings -------------------------------------------------------------------------------

HRESULT VarBstrCmp(BSTR bstrLeft, BSTR bstrRight, LCID, ULONG dwFlags) {
    const std::size_t leftLength = SysStringLen(bstrLeft), rightLength = SysStringLen(bstrRight);
    const std::size_t common = leftLength < rightLength ? leftLength : rightLength;
    // The case-folded text decides first, over the whole length.
    for (std::size_t i = 0; i < common; ++i) {
        const char16_t a = Fold(bstrLeft[i]), b = Fold(bstrRight[i]);
        if (a != b) return a < b ? VARCMP_LT : VARCMP_GT;
    }
    if (leftLength != rightLength) return Order(leftLength, rightLength);
    if (dwFlags & NORM_IGNORECASE) return VARCMP_EQ;
    // Equal but for case: the first unit that differs decides, a unit that is its own fold
    // (lower case) before one that is not, then by code unit.
    for (std::size_t i = 0; i < common; ++i) {
        const char16_t a = bstrLeft[i], b = bstrRight[i];
        if (a == b) continue;
        const bool aLower = Fold(a) == a, bLower = Fold(b) == b;
        if (aLower != bLower) return aLower ? VARCMP_LT : VARCMP_GT;
        return a < b ? VARCMP_LT : VARCMP_GT;
    }
    return VARCMP_EQ;
}
