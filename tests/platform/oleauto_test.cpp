// Automation dates and their text, integer rounding, file times, UUID text and the BSTR
// order of the connection cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/oleauto.h"

namespace {

SYSTEMTIME Make(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0, WORD ms = 0) {
    return SYSTEMTIME{year, month, 0, day, hour, minute, second, ms};
}

std::string Show(const SYSTEMTIME& st) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond, st.wMilliseconds);
    return text;
}

// The time of day as a DATE fraction, for building DATEs by hand.
double Seconds(double s) { return s / 86400.0; }

std::string FromDate(double date) {
    SYSTEMTIME st{};
    if (!VariantTimeToSystemTime(date, &st)) return "FALSE";
    return Show(st);
}

// ---- SYSTEMTIME <-> DATE ---------------------------------------------------------------------

TEST(OleDate, KnownDaysHaveTheirDocumentedValues) {
    struct Case {
        SYSTEMTIME st;
        double date;
        WORD dayOfWeek;
    } cases[] = {
        {Make(1899, 12, 30), 0.0, 6},    {Make(1900, 1, 1), 2.0, 1},         {Make(1900, 1, 1, 12), 2.5, 1},
        {Make(1900, 1, 2, 6), 3.25, 2},  {Make(1899, 12, 29, 6), -1.25, 5},  {Make(2000, 1, 1), 36526.0, 6},
        {Make(100, 1, 1), -657434.0, 5}, {Make(9999, 12, 31), 2958465.0, 5}, {Make(2024, 3, 5, 18), 45356.75, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Show(c.st));
        SYSTEMTIME in = c.st;
        double date = -1e9;
        ASSERT_TRUE(SystemTimeToVariantTime(&in, &date));
        EXPECT_DOUBLE_EQ(date, c.date);
        SYSTEMTIME out{};
        ASSERT_TRUE(VariantTimeToSystemTime(c.date, &out));
        EXPECT_EQ(Show(out), Show(c.st));
        EXPECT_EQ(out.wDayOfWeek, c.dayOfWeek);
    }
}

TEST(OleDate, RoundTripsAcrossTheWholeRange) {
    const SYSTEMTIME cases[] = {
        Make(100, 2, 28),
        Make(100, 3, 1),
        Make(1600, 2, 29, 1, 2, 3),
        Make(1899, 12, 29, 23, 59, 59),
        Make(1899, 12, 30, 0, 0, 1),
        Make(1900, 2, 28),
        Make(1900, 3, 1),
        Make(2000, 2, 29, 12),
        Make(2100, 2, 28),
        Make(9999, 12, 31, 23, 59, 59),
    };
    for (const SYSTEMTIME& st : cases) {
        SCOPED_TRACE(Show(st));
        SYSTEMTIME in = st;
        in.wDayOfWeek = 3;  // ignored on the way in
        double date = 0;
        ASSERT_TRUE(SystemTimeToVariantTime(&in, &date));
        EXPECT_EQ(FromDate(date), Show(st));
    }
    // Every second of one day near each end of the range, where a DATE has fewest bits
    // left for the time.
    for (int year : {100, 9999}) {
        for (int s = 0; s < 86400; s += 7) {
            SYSTEMTIME st = Make(year, year == 100 ? 1 : 12, year == 100 ? 1 : 31, s / 3600, s / 60 % 60, s % 60);
            double date = 0;
            ASSERT_TRUE(SystemTimeToVariantTime(&st, &date));
            ASSERT_EQ(FromDate(date), Show(st));
        }
    }
}

TEST(OleDate, NegativeDatesCountTheirTimeForwardFromMidnight) {
    EXPECT_EQ(FromDate(-1.25), "1899-12-29 06:00:00.000");
    EXPECT_EQ(FromDate(-2.75), "1899-12-28 18:00:00.000");
    EXPECT_EQ(FromDate(-0.25), "1899-12-30 06:00:00.000");  // no whole day: 30 December
    SYSTEMTIME st = Make(1899, 12, 28, 18);
    double date = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&st, &date));
    EXPECT_DOUBLE_EQ(date, -2.75);
}

TEST(OleDate, RoundsToTheNearestSecondAndIgnoresMilliseconds) {
    const double noon = 45356.5;  // 5 March 2024 12:00
    EXPECT_EQ(FromDate(noon + Seconds(0.4)), "2024-03-05 12:00:00.000");
    EXPECT_EQ(FromDate(noon + Seconds(0.5)), "2024-03-05 12:00:01.000");
    EXPECT_EQ(FromDate(45357.0 - Seconds(0.5)), "2024-03-06 00:00:00.000");  // rounds into the next day
    EXPECT_EQ(FromDate(-1.0 - Seconds(6 * 3600 + 0.5)), "1899-12-29 06:00:01.000");
    EXPECT_EQ(FromDate(2958465.0 - Seconds(0.5)), "9999-12-31 00:00:00.000");
    EXPECT_EQ(FromDate(2958466.0 - Seconds(0.5)), "FALSE");  // would round past 9999
    EXPECT_EQ(FromDate(2958466.0 - Seconds(0.4)), "FALSE");
    EXPECT_EQ(FromDate(2958466.0 - Seconds(0.6)), "9999-12-31 23:59:59.000");

    SYSTEMTIME withMs = Make(2024, 3, 5, 12, 0, 0, 999), without = Make(2024, 3, 5, 12);
    double a = 0, b = 1;
    ASSERT_TRUE(SystemTimeToVariantTime(&withMs, &a));
    ASSERT_TRUE(SystemTimeToVariantTime(&without, &b));
    EXPECT_EQ(a, b);
}

TEST(OleDate, ImpossibleDatesDoNotComeBackUnchanged) {
    // Days past the end of the month run on into the next one.
    struct Case {
        SYSTEMTIME in;
        const char* back;
    } runOn[] = {
        {Make(2021, 4, 31), "2021-05-01 00:00:00.000"}, {Make(2021, 2, 30), "2021-03-02 00:00:00.000"},
        {Make(1900, 2, 29), "1900-03-01 00:00:00.000"}, {Make(2100, 2, 29, 10), "2100-03-01 10:00:00.000"},
        {Make(9999, 2, 31), "9999-03-03 00:00:00.000"},
    };
    for (Case& c : runOn) {
        SCOPED_TRACE(Show(c.in));
        double date = 0;
        ASSERT_TRUE(SystemTimeToVariantTime(&c.in, &date));
        EXPECT_EQ(FromDate(date), c.back);
    }
    // Fields that no month has fail outright.
    SYSTEMTIME invalid[] = {Make(2021, 0, 1),     Make(2021, 13, 1),       Make(2021, 1, 0),          Make(2021, 1, 32),
                            Make(2021, 1, 1, 24), Make(2021, 1, 1, 0, 60), Make(2021, 1, 1, 0, 0, 60)};
    for (SYSTEMTIME& st : invalid) {
        SCOPED_TRACE(Show(st));
        double date = 0;
        EXPECT_FALSE(SystemTimeToVariantTime(&st, &date));
    }
}

TEST(OleDate, RejectsYearsAndValuesOutsideTheRange) {
    for (int year : {0, 1, 99, 10000, 65535}) {
        SYSTEMTIME st = Make(year, 1, 1);
        double date = 0;
        EXPECT_FALSE(SystemTimeToVariantTime(&st, &date)) << year;
    }
    EXPECT_EQ(FromDate(-657434.0), "0100-01-01 00:00:00.000");
    EXPECT_EQ(FromDate(-657434.0 - Seconds(86399)), "0100-01-01 23:59:59.000");  // the fraction counts forward
    EXPECT_EQ(FromDate(-657435.0), "FALSE");
    EXPECT_EQ(FromDate(2958466.0), "FALSE");
    EXPECT_EQ(FromDate(std::numeric_limits<double>::quiet_NaN()), "FALSE");
    EXPECT_EQ(FromDate(std::numeric_limits<double>::infinity()), "FALSE");
    EXPECT_EQ(FromDate(-std::numeric_limits<double>::infinity()), "FALSE");
    double date = 0;
    EXPECT_FALSE(SystemTimeToVariantTime(nullptr, &date));
    EXPECT_FALSE(VariantTimeToSystemTime(0.0, nullptr));
}

// ---- DATE text ------------------------------------------------------------------------------

// Sets LC_ALL for one test and puts the old value back.
class ScopedLcAll {
public:
    explicit ScopedLcAll(const char* value) {
        const char* old = std::getenv("LC_ALL");
        had_ = old != nullptr;
        if (had_) saved_ = old;
        setenv("LC_ALL", value, 1);
    }
    ~ScopedLcAll() {
        if (had_) setenv("LC_ALL", saved_.c_str(), 1);
        else unsetenv("LC_ALL");
    }

private:
    bool had_ = false;
    std::string saved_;
};

std::u16string Text(double date, LCID lcid = LOCALE_USER_DEFAULT, ULONG flags = 0) {
    BSTR out = nullptr;
    HRESULT hr = VarBstrFromDate(date, lcid, flags, &out);
    if (FAILED(hr)) return u"failed";
    std::u16string text(out, SysStringLen(out));
    SysFreeString(out);
    return text;
}

const double kAfternoon = 45356.0 + Seconds(14 * 3600 + 7 * 60 + 9);  // 5 March 2024 14:07:09

TEST(OleDateText, UsesTheEnvironmentsLocale) {
    {
        ScopedLcAll locale("en_US.UTF-8");
        EXPECT_EQ(Text(kAfternoon), u"3/5/2024 2:07:09 PM");
        EXPECT_EQ(Text(45356.0 + Seconds(9 * 3600 + 5)), u"3/5/2024 9:00:05 AM");
        EXPECT_EQ(Text(45356.0 + Seconds(12 * 3600 + 30 * 60)), u"3/5/2024 12:30:00 PM");
        EXPECT_EQ(Text(45356.0 + Seconds(30 * 60)), u"3/5/2024 12:30:00 AM");
    }
    {
        ScopedLcAll locale("de_DE.UTF-8");
        EXPECT_EQ(Text(kAfternoon), u"05.03.2024 14:07:09");
        EXPECT_EQ(Text(kAfternoon, LOCALE_SYSTEM_DEFAULT), u"05.03.2024 14:07:09");
        EXPECT_EQ(Text(kAfternoon, 0x0409), u"3/5/2024 2:07:09 PM");  // a given locale wins
    }
    {
        ScopedLcAll locale("en_GB");
        EXPECT_EQ(Text(kAfternoon), u"05/03/2024 14:07:09");
        EXPECT_EQ(Text(45356.0 + Seconds(9 * 3600 + 5)), u"05/03/2024 09:00:05");
    }
}

TEST(OleDateText, LeavesOutAMidnightTimeAndTheZeroDateAndFlagsChooseEither) {
    ScopedLcAll locale("en_US");
    EXPECT_EQ(Text(45356.0), u"3/5/2024");
    EXPECT_EQ(Text(0.5), u"12:00:00 PM");
    EXPECT_EQ(Text(0.0), u"12:00:00 AM");  // both zero: the time is what shows
    EXPECT_EQ(Text(-0.25), u"6:00:00 AM");
    EXPECT_EQ(Text(-1.25), u"12/29/1899 6:00:00 AM");
    EXPECT_EQ(Text(1.0), u"12/31/1899");
    EXPECT_EQ(Text(45357.0 - Seconds(0.4)), u"3/6/2024");  // rounded to midnight first
    EXPECT_EQ(Text(-657434.0), u"1/1/100");
    EXPECT_EQ(Text(2958465.0 + Seconds(86399)), u"12/31/9999 11:59:59 PM");

    // Flags choose the date or the time.
    EXPECT_EQ(Text(kAfternoon, LOCALE_USER_DEFAULT, VAR_DATEVALUEONLY), u"3/5/2024");
    EXPECT_EQ(Text(kAfternoon, LOCALE_USER_DEFAULT, VAR_TIMEVALUEONLY), u"2:07:09 PM");
    EXPECT_EQ(Text(45356.0, LOCALE_USER_DEFAULT, VAR_TIMEVALUEONLY), u"12:00:00 AM");
    EXPECT_EQ(Text(0.0, LOCALE_USER_DEFAULT, VAR_DATEVALUEONLY), u"12/30/1899");
    EXPECT_EQ(Text(kAfternoon, LOCALE_USER_DEFAULT, VAR_TIMEVALUEONLY | VAR_DATEVALUEONLY), u"2:07:09 PM");
    EXPECT_EQ(Text(kAfternoon, LOCALE_USER_DEFAULT, VAR_FOURDIGITYEARS), u"3/5/2024 2:07:09 PM");
}

TEST(OleDateText, FindsTheNearestListedLocale) {
    EXPECT_EQ(Text(kAfternoon, 0x0404), u"2024/3/5 \u4E0B\u5348 02:07:09");  // designator first
    // A neutral language or an unlisted country of a listed language reads as its main
    // country; a sort order is ignored; an unknown language is English (United States).
    EXPECT_EQ(Text(kAfternoon, 0x0007), u"05.03.2024 14:07:09");
    EXPECT_EQ(Text(kAfternoon, 0x1407), u"05.03.2024 14:07:09");
    EXPECT_EQ(Text(kAfternoon, 0x00010407), u"05.03.2024 14:07:09");
    EXPECT_EQ(Text(kAfternoon, 0x0436), u"3/5/2024 2:07:09 PM");
}

TEST(OleDateText, RejectsDatesOutOfRangeAndANullResult) {
    BSTR out = reinterpret_cast<BSTR>(&out);  // any non-null value, to see it cleared
    EXPECT_EQ(VarBstrFromDate(2958466.0, 0x0409, 0, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(VarBstrFromDate(-657435.0, 0x0409, 0, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(VarBstrFromDate(std::nan(""), 0x0409, 0, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(VarBstrFromDate(0.0, 0x0409, 0, nullptr), E_INVALIDARG);
}

// ---- Integers -------------------------------------------------------------------------------

LONG I4(double d) {
    LONG out = -7;
    HRESULT hr = VarI4FromDate(d, &out);
    EXPECT_EQ(hr, S_OK) << d;
    return out;
}

TEST(OleInteger, DatesRoundHalfToEven) {
    EXPECT_EQ(I4(0.5), 0);
    EXPECT_EQ(I4(1.5), 2);
    EXPECT_EQ(I4(2.5), 2);
    EXPECT_EQ(I4(-0.5), 0);
    EXPECT_EQ(I4(-1.5), -2);
    EXPECT_EQ(I4(-2.5), -2);
    EXPECT_EQ(I4(2.4999999), 2);
    EXPECT_EQ(I4(2.5000001), 3);
    EXPECT_EQ(I4(-2.5000001), -3);
    EXPECT_EQ(I4(45356.75), 45357);
    EXPECT_EQ(I4(2147483647.4), 2147483647);
    EXPECT_EQ(I4(-2147483648.5), -2147483648);  // the even neighbour is still in range

    LONG out = 0;
    EXPECT_EQ(VarI4FromDate(2147483647.5, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(VarI4FromDate(-2147483648.6, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(VarI4FromDate(1e300, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(VarI4FromDate(std::nan(""), &out), DISP_E_OVERFLOW);
    EXPECT_EQ(VarI4FromDate(1.0, nullptr), E_INVALIDARG);
}

DECIMAL Dec(ULONGLONG lo64, BYTE scale, bool negative = false, ULONG hi32 = 0) {
    DECIMAL d{};
    d.Lo64 = lo64;
    d.Hi32 = hi32;
    d.scale = scale;
    d.sign = negative ? DECIMAL_NEG : 0;
    return d;
}

HRESULT I4(const DECIMAL& d, LONG& out) { return VarI4FromDec(&d, &out); }

TEST(OleInteger, DecimalsRoundHalfToEven) {
    struct Case {
        DECIMAL d;
        LONG expected;
    } cases[] = {
        {Dec(25, 1), 2},
        {Dec(35, 1, true), -4},
        {Dec(251, 2), 3},
        {Dec(249999, 5), 2},
        {Dec(0, 0, true), 0},
        {Dec(2147483648ull, 0, true), -2147483648},
        {Dec(21474836474999ull, 4), 2147483647},
        {Dec(21474836485ull, 1, true), -2147483648},  // -2147483648.5: even, in range
        // All 96 bits at the largest scale: 7.9228162514264337593543950335.
        {Dec(~0ull, 28, false, 0xFFFFFFFFu), 8},
        // 10^28 / 10^28 exactly, with the high word in use.
        {Dec(0x3E25026110000000ull, 28, false, 0x204FCE5Eu), 1},
    };
    for (const Case& c : cases) {
        LONG out = -7;
        ASSERT_EQ(I4(c.d, out), S_OK) << c.expected;
        EXPECT_EQ(out, c.expected);
    }
    LONG out = 0;
    EXPECT_EQ(I4(Dec(2147483648ull, 0), out), DISP_E_OVERFLOW);
    EXPECT_EQ(I4(Dec(21474836475ull, 1), out), DISP_E_OVERFLOW);  // 2147483647.5 rounds to even, out of range
    EXPECT_EQ(I4(Dec(21474836495ull, 1, true), out), DISP_E_OVERFLOW);
    EXPECT_EQ(I4(Dec(0, 0, false, 1), out), DISP_E_OVERFLOW);
    EXPECT_EQ(I4(Dec(1, 29), out), E_INVALIDARG);
    DECIMAL badSign = Dec(1, 0);
    badSign.sign = 0x01;
    EXPECT_EQ(I4(badSign, out), E_INVALIDARG);
    EXPECT_EQ(VarI4FromDec(nullptr, &out), E_INVALIDARG);
}

// ---- FILETIME -------------------------------------------------------------------------------

FILETIME Ticks(ULONGLONG t) { return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)}; }

std::string FromFileTime(ULONGLONG t) {
    FILETIME ft = Ticks(t);
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &st)) return "FALSE";
    return Show(st);
}

TEST(OleFileTime, ConvertsTicksKeepingMilliseconds) {
    EXPECT_EQ(FromFileTime(0), "1601-01-01 00:00:00.000");
    EXPECT_EQ(FromFileTime(116444736000000000ull), "1970-01-01 00:00:00.000");
    EXPECT_EQ(FromFileTime(116444736000000000ull + 1234567), "1970-01-01 00:00:00.123");
    EXPECT_EQ(FromFileTime(116444736000000000ull + 9999), "1970-01-01 00:00:00.000");  // below a millisecond
    EXPECT_EQ(FromFileTime(0x7FFFFFFFFFFFFFFFull), "30828-09-14 02:48:05.477");
    EXPECT_EQ(FromFileTime(0x8000000000000000ull), "FALSE");
    EXPECT_EQ(FromFileTime(0xFFFFFFFFFFFFFFFFull), "FALSE");

    FILETIME ft = Ticks(116444736000000000ull);
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wDayOfWeek, 4);  // a Thursday
    EXPECT_FALSE(FileTimeToSystemTime(nullptr, &st));
}

TEST(OleFileTime, SystemTimesConvertBackExactly) {
    const SYSTEMTIME cases[] = {Make(1601, 1, 1), Make(1970, 1, 1, 0, 0, 0, 123), Make(2000, 2, 29, 23, 59, 59, 999),
                                Make(30827, 12, 31, 23, 59, 59, 999)};
    for (const SYSTEMTIME& in : cases) {
        SCOPED_TRACE(Show(in));
        SYSTEMTIME st = in;
        st.wDayOfWeek = 6;  // ignored
        FILETIME ft{};
        ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
        SYSTEMTIME back{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
        EXPECT_EQ(Show(back), Show(in));
    }
    SYSTEMTIME epoch = Make(1970, 1, 1);
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&epoch, &ft));
    EXPECT_EQ((ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime, 116444736000000000ull);

    // No field is normalised here.
    SYSTEMTIME invalid[] = {Make(1600, 12, 31), Make(30828, 1, 1), Make(2021, 4, 31), Make(2100, 2, 29),
                            Make(2021, 1, 1, 0, 0, 0, 1000)};
    for (SYSTEMTIME& st : invalid) {
        SCOPED_TRACE(Show(st));
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft));
    }
}

// ---- UUID text ------------------------------------------------------------------------------

constexpr UUID kUuid = {0xDEADBEEF, 0xCAFE, 0x0BAD, {0xF0, 0x0D, 0x12, 0x34, 0xAB, 0xCD, 0xEF, 0x01}};

TEST(OleUuid, PrintsLowerCaseWithoutBraces) {
    RPC_WSTR text = nullptr;
    ASSERT_EQ(UuidToStringW(&kUuid, &text), RPC_S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text), u"deadbeef-cafe-0bad-f00d-1234abcdef01");
    UUID back{};
    EXPECT_EQ(UuidFromStringW(text, &back), RPC_S_OK);
    EXPECT_EQ(back, kUuid);
    EXPECT_EQ(RpcStringFreeW(&text), RPC_S_OK);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(UuidToStringW(&kUuid, nullptr), RPC_S_INVALID_ARG);
}

TEST(OleUuid, ReadsEitherCaseAndRejectsOtherShapes) {
    UUID back{};
    std::u16string upper = u"DEADBEEF-CAFE-0BAD-F00D-1234ABCDEF01";
    ASSERT_EQ(UuidFromStringW(upper.data(), &back), RPC_S_OK);
    EXPECT_EQ(back, kUuid);
    ASSERT_EQ(UuidFromStringW(nullptr, &back), RPC_S_OK);
    EXPECT_EQ(back, GUID_NULL);
    for (std::u16string bad : {u"{deadbeef-cafe-0bad-f00d-1234abcdef01}", u"deadbeef-cafe-0bad-f00d-1234abcdef0",
                               u"deadbeef-cafe-0bad-f00d-1234abcdef012", u"deadbeef-cafe-0bad-f00d_1234abcdef01",
                               u"deadbeeg-cafe-0bad-f00d-1234abcdef01", u""}) {
        EXPECT_EQ(UuidFromStringW(bad.data(), &back), RPC_S_INVALID_STRING_UUID) << bad.size();
    }
}

// ---- BSTR comparison ------------------------------------------------------------------------

using Bstr = std::unique_ptr<OLECHAR, decltype(&SysFreeString)>;

Bstr MakeBstr(std::u16string_view s) {
    return Bstr(SysAllocStringLen(s.data(), static_cast<UINT>(s.size())), &SysFreeString);
}

HRESULT Cmp(std::u16string_view a, std::u16string_view b, ULONG flags = 0) {
    Bstr x = MakeBstr(a), y = MakeBstr(b);
    return VarBstrCmp(x.get(), y.get(), 0x0409, flags);
}

TEST(OleBstrCmp, SortsByLetterThenLowerCaseFirst) {
    const std::vector<std::u16string> expected = {u"",       u"1",      u"_x",     u"a",           u"A",
                                                  u"Aa",     u"ab",     u"apple",  u"Apple",       u"APPLE",
                                                  u"banana", u"Banana", u"cherry", u"\u00E9clair", u"\u00C9clair"};
    std::vector<std::u16string> sorted = expected;
    std::reverse(sorted.begin(), sorted.end());
    std::sort(sorted.begin(), sorted.end(),
              [](const std::u16string& a, const std::u16string& b) { return Cmp(a, b) == VARCMP_LT; });
    EXPECT_EQ(sorted, expected);

    // A total order: antisymmetric, equal only to itself, transitive.
    for (const auto& a : expected) {
        for (const auto& b : expected) {
            const HRESULT ab = Cmp(a, b), ba = Cmp(b, a);
            EXPECT_EQ(ab == VARCMP_EQ, a == b);
            EXPECT_EQ(ab == VARCMP_LT, ba == VARCMP_GT);
            for (const auto& c : expected) {
                if (ab == VARCMP_LT && Cmp(b, c) == VARCMP_LT) {
                    EXPECT_EQ(Cmp(a, c), VARCMP_LT);
                }
            }
        }
    }
}

TEST(OleBstrCmp, IgnoresCaseOnlyWhenAsked) {
    EXPECT_EQ(Cmp(u"Data Source", u"data source"), VARCMP_GT);
    EXPECT_EQ(Cmp(u"Data Source", u"data source", NORM_IGNORECASE), VARCMP_EQ);
    EXPECT_EQ(Cmp(u"\u00C9CLAIR", u"\u00E9clair", NORM_IGNORECASE), VARCMP_EQ);
    EXPECT_EQ(Cmp(u"APPLES", u"apple", NORM_IGNORECASE), VARCMP_GT);

    // As a map's key order, names that differ only in case are different keys.
    auto less = [](const Bstr& a, const Bstr& b) { return VarBstrCmp(a.get(), b.get(), 0x0409, 0) == VARCMP_LT; };
    std::map<Bstr, int, decltype(less)> cache(less);
    cache.emplace(MakeBstr(u"Data Source=a.db"), 1);
    cache.emplace(MakeBstr(u"data source=a.db"), 2);
    cache.emplace(MakeBstr(u"Data Source=a.db"), 3);
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_EQ(cache.begin()->second, 2);  // lower case first
}

TEST(OleBstrCmp, ComparesWholeStringsAndTakesNullAsEmpty) {
    Bstr empty = MakeBstr(u""), a = MakeBstr(u"a");
    EXPECT_EQ(VarBstrCmp(nullptr, nullptr, 0x0409, 0), VARCMP_EQ);
    EXPECT_EQ(VarBstrCmp(nullptr, empty.get(), 0x0409, 0), VARCMP_EQ);
    EXPECT_EQ(VarBstrCmp(nullptr, a.get(), 0x0409, 0), VARCMP_LT);
    EXPECT_EQ(VarBstrCmp(a.get(), nullptr, 0x0409, 0), VARCMP_GT);
    // Past an embedded NUL, and by length.
    EXPECT_EQ(Cmp(std::u16string_view(u"a\0b", 3), std::u16string_view(u"a\0c", 3)), VARCMP_LT);
    EXPECT_EQ(Cmp(u"a", std::u16string_view(u"a\0", 2)), VARCMP_LT);
    EXPECT_EQ(Cmp(u"Apple", u"applesauce"), VARCMP_LT);  // the letters decide before the case
}

}  // namespace
