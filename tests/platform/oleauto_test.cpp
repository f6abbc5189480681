// Automation dates and their text, integer rounding, file times, UUID text and the BSTR
// order of the connection cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/oleauto.h"
#include "platform/platform.h"
#include "platform/utf.h"

#include "support/braced.h"
#include "support/case_file.h"

namespace {

std::string Show(const SYSTEMTIME& st) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond, st.wMilliseconds);
    return text;
}

// ---- SYSTEMTIME <-> DATE ---------------------------------------------------------------------

// Every second of one day near each end of the range, where a DATE has fewest bits left
// for the time.
TEST(OleDate, EverySecondNearTheEndsOfTheRangeRoundTrips) {
    for (int year : {100, 9999}) {
        for (int s = 0; s < 86400; s += 7) {
            const WORD month = year == 100 ? 1 : 12, day = year == 100 ? 1 : 31;
            SYSTEMTIME st{static_cast<WORD>(year), month, 0, day, WORD(s / 3600), WORD(s / 60 % 60), WORD(s % 60), 0},
                back{};
            double date = 0;
            ASSERT_TRUE(SystemTimeToVariantTime(&st, &date));
            ASSERT_TRUE(VariantTimeToSystemTime(date, &back));
            ASSERT_EQ(Show(back), Show(st));
        }
    }
}

// ---- DATE text ------------------------------------------------------------------------------

// Sets LC_ALL for one case and puts the old value back.
struct ScopedLcAll {
    explicit ScopedLcAll(const char* value) {
        if (const char* old = std::getenv("LC_ALL")) saved = old;
        setenv("LC_ALL", value, 1);
    }
    ~ScopedLcAll() { saved ? setenv("LC_ALL", saved->c_str(), 1) : unsetenv("LC_ALL"); }
    std::optional<std::string> saved;
};

// Dates out of range, bad decimals and null pointers.
TEST(OleAuto, RefusesWhatItCannotConvert) {
    BSTR out = reinterpret_cast<BSTR>(&out);  // any non-null value, to see it cleared
    EXPECT_EQ(VarBstrFromDate(2958466.0, 0x0409, 0, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(VarBstrFromDate(-657435.0, 0x0409, 0, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(VarBstrFromDate(std::nan(""), 0x0409, 0, &out), DISP_E_OVERFLOW);
    EXPECT_EQ(VarBstrFromDate(0.0, 0x0409, 0, nullptr), E_INVALIDARG);

    LONG number = 0;
    EXPECT_EQ(VarI4FromDate(1.0, nullptr), E_INVALIDARG);
    DECIMAL badSign{};
    badSign.Lo64 = 1;
    badSign.sign = 0x01;
    EXPECT_EQ(VarI4FromDec(&badSign, &number), E_INVALIDARG);
    EXPECT_EQ(VarI4FromDec(nullptr, &number), E_INVALIDARG);
    SYSTEMTIME st{};
    EXPECT_FALSE(FileTimeToSystemTime(nullptr, &st));
    double date = 0;
    EXPECT_FALSE(SystemTimeToVariantTime(nullptr, &date));
    EXPECT_FALSE(VariantTimeToSystemTime(0.0, nullptr));
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

// ---- Cases of tests/platform/cases/oleauto.test ----------------------------------------------

// "yyyy-mm-dd hh:mm:ss.mmm"
SYSTEMTIME ReadSystemTime(const std::string& text) {
    SYSTEMTIME st{};
    std::sscanf(text.c_str(), "%hu-%hu-%hu %hu:%hu:%hu.%hu", &st.wYear, &st.wMonth, &st.wDay, &st.wHour, &st.wMinute,
                &st.wSecond, &st.wMilliseconds);
    st.wDayOfWeek = 3;  // ignored on the way in
    return st;
}

// A number, optionally plus or minus seconds: "45356.5+0.4s" (up to a blank).
double ReadDate(const std::string& text) {
    const std::string number = text.substr(0, text.find(' '));
    char* end = nullptr;
    const double days = std::strtod(number.c_str(), &end);
    return *end ? days + std::strtod(end, nullptr) / 86400.0 : days;
}

std::string FromSystemTime(const SYSTEMTIME& st, bool weekday) {
    return Show(st) + (weekday ? " " + std::to_string(st.wDayOfWeek) : "");
}

std::string Result(HRESULT hr, long value) {
    return hr == S_OK              ? std::to_string(value)
           : hr == DISP_E_OVERFLOW ? "OVERFLOW"
           : hr == E_INVALIDARG    ? "INVALIDARG"
                                   : "?";
}

// What one case gives, to compare with what follows its " = ".
std::string RunCase(const std::string& kind, const std::string& args, const std::string& expected) {
    const bool weekday = std::count(expected.begin(), expected.end(), ' ') == 2;
    SYSTEMTIME st = ReadSystemTime(args), back{};
    double date = 0;
    FILETIME ft{};
    std::ostringstream out;
    if (kind == "to-date") {
        if (!SystemTimeToVariantTime(&st, &date)) return "FALSE";
        if (expected == "FALSE") return std::to_string(date);
        EXPECT_DOUBLE_EQ(date, ReadDate(expected));
        return expected;
    }
    if (kind == "from-date")
        return VariantTimeToSystemTime(ReadDate(args), &back) ? FromSystemTime(back, weekday) : "FALSE";
    if (kind == "via-date")
        return SystemTimeToVariantTime(&st, &date) && VariantTimeToSystemTime(date, &back) ? Show(back) : "FALSE";
    if (kind == "text") {
        std::istringstream words(args);
        std::string locale, lcid, flagNames, value;
        words >> locale >> lcid >> flagNames >> value;
        std::optional<ScopedLcAll> scoped;
        if (locale != "-") scoped.emplace(locale.c_str());
        ULONG flags = 0;
        for (const auto& [name, flag] : {std::pair<const char*, ULONG>{"DATEVALUEONLY", VAR_DATEVALUEONLY},
                                         {"TIMEVALUEONLY", VAR_TIMEVALUEONLY},
                                         {"FOURDIGITYEARS", VAR_FOURDIGITYEARS}})
            if (flagNames.find(name) != std::string::npos) flags |= flag;
        const LCID id = lcid == "user"     ? LOCALE_USER_DEFAULT
                        : lcid == "system" ? LOCALE_SYSTEM_DEFAULT
                                           : std::strtoul(lcid.c_str(), nullptr, 0);
        BSTR text = nullptr;
        if (FAILED(VarBstrFromDate(ReadDate(value), id, flags, &text))) return "failed";
        const std::string utf8 = orv::platform::Utf16ToUtf8(std::u16string(text, SysStringLen(text)));
        SysFreeString(text);
        return utf8;
    }
    if (kind == "i4") {
        LONG value = -7;
        const HRESULT hr = VarI4FromDate(ReadDate(args), &value);
        return Result(hr, value);
    }
    if (kind == "i4-dec") {
        DECIMAL d{};
        const bool negative = args[0] == '-';
        unsigned __int128 magnitude = 0;
        std::size_t i = negative;
        for (; args[i] != '/'; ++i) magnitude = magnitude * 10 + static_cast<unsigned>(args[i] - '0');
        d.Lo64 = static_cast<ULONGLONG>(magnitude);
        d.Hi32 = static_cast<ULONG>(magnitude >> 64);
        d.scale = static_cast<BYTE>(std::stoi(args.substr(i + 1)));
        d.sign = negative ? DECIMAL_NEG : 0;
        LONG value = -7;
        const HRESULT hr = VarI4FromDec(&d, &value);
        return Result(hr, value);
    }
    if (kind == "from-filetime") {
        const ULONGLONG ticks = std::strtoull(args.c_str(), nullptr, 0);
        ft = FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        return FileTimeToSystemTime(&ft, &back) ? FromSystemTime(back, weekday) : "FALSE";
    }
    if (kind == "to-filetime") {
        if (!SystemTimeToFileTime(&st, &ft)) return "FALSE";
        return std::to_string((ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    }
    if (kind == "via-filetime")
        return SystemTimeToFileTime(&st, &ft) && FileTimeToSystemTime(&ft, &back) ? Show(back) : "FALSE";
    const std::u16string text = orv::platform::Utf8ToUtf16(args == "-" ? "" : args);
    // In a heap block of exactly its size, so that the sanitizer builds catch a read past it.
    auto exact = std::make_unique<char16_t[]>(text.size() + 1);
    std::copy(text.begin(), text.end(), exact.get());
    UUID id{};
    OLECHAR shown[40];
    if (kind == "clsid")
        return CLSIDFromString(exact.get(), &id) == S_OK && StringFromGUID2(id, shown, 40) == 39
                   ? orv::platform::Utf16ToUtf8(shown)
                   : "CLASSSTRING";
    if (kind == "uuid") {
        RPC_WSTR back = nullptr;
        if (UuidFromStringW(exact.get(), &id) != RPC_S_OK || UuidToStringW(&id, &back) != RPC_S_OK) return "INVALID";
        const std::string result = orv::platform::Utf16ToUtf8(back);
        RpcStringFreeW(&back);
        return result;
    }
    if (kind == "bstrcmp") {
        std::size_t at = 0;
        const std::u16string a = orv::platform::Utf8ToUtf16(orv::test::Braced(args, at));
        const HRESULT hr = Cmp(a, orv::platform::Utf8ToUtf16(orv::test::Braced(args, at)),
                               args.find("IGNORECASE") != std::string::npos ? NORM_IGNORECASE : 0);
        return hr == VARCMP_LT ? "LT" : hr == VARCMP_EQ ? "EQ" : hr == VARCMP_GT ? "GT" : "?";
    }
    if (kind == "lcid") {
        ScopedLcAll scoped(args.c_str());
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(GetSystemDefaultLCID()));
        return hex;
    }
    return "unknown kind " + kind;
}

TEST(OleCases, EachLineOfTheCaseFile) {
    orv::test::ForEachCase("oleauto.test", [](const std::string& line) {
        const std::size_t space = line.find(' '), equals = line.find(" = ");
        ASSERT_NE(equals, std::string::npos);
        const std::string expected = line.substr(equals + 3);
        EXPECT_EQ(RunCase(line.substr(0, space), line.substr(space + 1, equals - space - 1), expected), expected);
    });
}

// ---- UUID text ------------------------------------------------------------------------------

constexpr UUID kUuid = {0xDEADBEEF, 0xCAFE, 0x0BAD, {0xF0, 0x0D, 0x12, 0x34, 0xAB, 0xCD, 0xEF, 0x01}};

TEST(OleUuid, PrintsLowerCaseWithoutBraces) {
    RPC_WSTR text = nullptr;
    ASSERT_EQ(UuidToStringW(&kUuid, &text), RPC_S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text), u"deadbeef-cafe-0bad-f00d-1234abcdef01");  // read back: the uuid cases
    EXPECT_EQ(RpcStringFreeW(&text), RPC_S_OK);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(UuidToStringW(&kUuid, nullptr), RPC_S_INVALID_ARG);
    UUID back{};
    ASSERT_EQ(UuidFromStringW(nullptr, &back), RPC_S_OK);  // no text: the null UUID
    EXPECT_EQ(back, GUID_NULL);
    OLECHAR braced[40];  // the registry form; read back, and its text: the clsid cases
    EXPECT_EQ(StringFromGUID2(kUuid, braced, 38), 0);  // too small for the terminator
}

TEST(OleBstrCmp, SortsByLetterThenLowerCaseFirstAndNullAsEmpty) {
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
    // A null BSTR is the empty string.
    Bstr empty = MakeBstr(u""), a = MakeBstr(u"a");
    EXPECT_EQ(VarBstrCmp(nullptr, nullptr, 0x0409, 0), VARCMP_EQ);
    EXPECT_EQ(VarBstrCmp(nullptr, empty.get(), 0x0409, 0), VARCMP_EQ);
    EXPECT_EQ(VarBstrCmp(nullptr, a.get(), 0x0409, 0), VARCMP_LT);
    EXPECT_EQ(VarBstrCmp(a.get(), nullptr, 0x0409, 0), VARCMP_GT);
}

}  // namespace
