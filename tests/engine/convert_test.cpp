// The engine's data conversions, through the internal API and the conversion library.
#include "engine/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "platform/oleauto.h"

using orv::engine::CanConvertType;
using orv::engine::ConversionSize;
using orv::engine::ConvertValue;

namespace {

using u128 = unsigned __int128;

struct Outcome {
    HRESULT hr;
    DBSTATUS status;
    DBLENGTH length;
};

Outcome Convert(DBTYPE srcType, const void* src, DBLENGTH srcLength, DBTYPE dstType, void* dst, DBLENGTH dstMax,
                BYTE precision = 0, BYTE scale = 0, DBDATACONVERT flags = 0) {
    Outcome o{E_FAIL, 0xFFFF, 0xFFFF};
    o.hr = ConvertValue(srcType, src, srcLength, dstType, dst, dstMax, &o.length, &o.status, precision, scale, flags);
    return o;
}

// A fixed-length value into another fixed-length type.
template <class Dst, class Src>
Outcome To(DBTYPE srcType, const Src& src, DBTYPE dstType, Dst& dst, BYTE precision = 0, BYTE scale = 0) {
    return Convert(srcType, &src, sizeof src, dstType, &dst, sizeof dst, precision, scale);
}

// A value as WSTR text; the conversion must succeed untruncated.
std::u16string Text(DBTYPE srcType, const void* src, DBLENGTH srcLength = 0) {
    char16_t buf[300];
    const Outcome o = Convert(srcType, src, srcLength, DBTYPE_WSTR, buf, sizeof buf);
    EXPECT_EQ(o.hr, S_OK);
    EXPECT_EQ(o.status, DBSTATUS_S_OK);
    if (o.hr != S_OK) return u"<failed>";
    EXPECT_EQ(o.length, std::char_traits<char16_t>::length(buf) * 2);
    return buf;
}
template <class T>
std::u16string TextOf(DBTYPE type, const T& value) {
    return Text(type, &value, sizeof value);
}

// Text into a fixed-length type.
template <class Dst>
Outcome Parse(std::u16string_view text, DBTYPE dstType, Dst& dst) {
    return Convert(DBTYPE_WSTR, text.data(), text.size() * 2, dstType, &dst, sizeof dst);
}

DB_NUMERIC Numeric(BYTE precision, BYTE scale, bool negative, u128 magnitude) {
    DB_NUMERIC n{};
    n.precision = precision;
    n.scale = scale;
    n.sign = negative ? 0 : 1;
    for (int i = 0; i < 16; ++i) n.val[i] = static_cast<BYTE>(magnitude >> (8 * i));
    return n;
}

u128 Magnitude(const DB_NUMERIC& n) {
    u128 m = 0;
    for (int i = 15; i >= 0; --i) m = m << 8 | n.val[i];
    return m;
}

DECIMAL Decimal(bool negative, BYTE scale, u128 magnitude) {
    DECIMAL d{};
    d.scale = scale;
    d.sign = negative ? DECIMAL_NEG : 0;
    d.Hi32 = static_cast<ULONG>(magnitude >> 64);
    d.Lo64 = static_cast<ULONGLONG>(magnitude);
    return d;
}

u128 Pow10(int n) {
    u128 r = 1;
    while (n-- > 0) r *= 10;
    return r;
}

// ---- Exact numbers as text -----------------------------------------------------------------

TEST(ConvertNumericText, NumericShowsExactlyItsScale) {
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, Numeric(10, 2, true, 12345)), u"-123.45");
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, Numeric(10, 0, false, 123)), u"123");
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, Numeric(10, 3, false, 0)), u"0.000");
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, Numeric(10, 3, true, 0)), u"0.000");  // negative zero is zero
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, Numeric(10, 3, true, 5)), u"-0.005");
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, Numeric(10, 4, false, 1200)), u"0.1200");
}

TEST(ConvertNumericText, ThirtyEightDigitsAtEveryScale) {
    const u128 nines = Pow10(38) - 1;
    const std::u16string digits(38, u'9');
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, Numeric(38, 0, false, nines)), digits);
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, Numeric(38, 38, true, nines)), u"-0." + digits);
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, Numeric(38, 10, false, nines)), digits.substr(0, 28) + u"." + digits.substr(28));
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, Numeric(38, 37, false, 1)), u"0.0000000000000000000000000000000000001");
}

TEST(ConvertNumericText, VarNumericReadsItsOwnLengthAndNegativeScales) {
    BYTE v[3 + 2] = {4, static_cast<BYTE>(-2), 1, 12, 0};  // 12 x 10^2, with a spare zero byte
    EXPECT_EQ(Text(DBTYPE_VARNUMERIC, v, sizeof v), u"1200");
    BYTE w[3 + 17] = {38, 5, 0};
    w[3] = 0x39;  // 12345
    w[4] = 0x30;
    EXPECT_EQ(Text(DBTYPE_VARNUMERIC, w, sizeof w), u"-0.12345");
    w[19] = 1;  // a magnitude beyond 128 bits
    char16_t buf[64];
    EXPECT_EQ(Convert(DBTYPE_VARNUMERIC, w, sizeof w, DBTYPE_WSTR, buf, sizeof buf).status, DBSTATUS_E_DATAOVERFLOW);
}

TEST(ConvertNumericText, DecimalCurrencyAndIntegers) {
    const u128 max96 = (static_cast<u128>(1) << 96) - 1;
    EXPECT_EQ(TextOf(DBTYPE_DECIMAL, Decimal(false, 0, max96)), u"79228162514264337593543950335");
    EXPECT_EQ(TextOf(DBTYPE_DECIMAL, Decimal(true, 28, max96)), u"-7.9228162514264337593543950335");
    EXPECT_EQ(TextOf(DBTYPE_DECIMAL, Decimal(false, 2, 5)), u"0.05");
    CY cy;
    cy.int64 = 125000;
    EXPECT_EQ(TextOf(DBTYPE_CY, cy), u"12.5");
    cy.int64 = -1;
    EXPECT_EQ(TextOf(DBTYPE_CY, cy), u"-0.0001");
    cy.int64 = 70000;
    EXPECT_EQ(TextOf(DBTYPE_CY, cy), u"7");
    cy.int64 = std::numeric_limits<LONGLONG>::min();
    EXPECT_EQ(TextOf(DBTYPE_CY, cy), u"-922337203685477.5808");
    EXPECT_EQ(TextOf(DBTYPE_I8, std::numeric_limits<LONGLONG>::min()), u"-9223372036854775808");
    EXPECT_EQ(TextOf(DBTYPE_UI8, std::numeric_limits<ULONGLONG>::max()), u"18446744073709551615");
    EXPECT_EQ(TextOf(DBTYPE_BOOL, VARIANT_TRUE), u"True");
    EXPECT_EQ(TextOf(DBTYPE_BOOL, VARIANT_FALSE), u"False");
}

TEST(ConvertNumericText, FloatingPointShowsFifteenSignificantDigits) {
    EXPECT_EQ(TextOf(DBTYPE_R8, 2.5), u"2.5");
    EXPECT_EQ(TextOf(DBTYPE_R8, 0.1 + 0.2), u"0.3");
    EXPECT_EQ(TextOf(DBTYPE_R8, 1e20), u"1E+20");
    EXPECT_EQ(TextOf(DBTYPE_R8, -1.5e-5), u"-1.5E-05");
    EXPECT_EQ(TextOf(DBTYPE_R8, -0.0), u"0");
    EXPECT_EQ(TextOf(DBTYPE_R8, 123456789012345678.0), u"1.23456789012346E+17");
    EXPECT_EQ(TextOf(DBTYPE_R8, std::nan("")), u"NaN");
    EXPECT_EQ(TextOf(DBTYPE_R8, -HUGE_VAL), u"-Infinity");
    EXPECT_EQ(TextOf(DBTYPE_R4, 0.1f), u"0.1");
}

// ---- Numbers between types -----------------------------------------------------------------

TEST(ConvertNumbers, RangesEndAtTheTypeBoundaries) {
    LONG i4 = 0;
    EXPECT_EQ(To(DBTYPE_I8, LONGLONG{2147483647}, DBTYPE_I4, i4).status, DBSTATUS_S_OK);
    EXPECT_EQ(i4, 2147483647);
    EXPECT_EQ(To(DBTYPE_I8, LONGLONG{-2147483648LL}, DBTYPE_I4, i4).status, DBSTATUS_S_OK);
    i4 = 77;
    const Outcome over = To(DBTYPE_I8, LONGLONG{2147483648LL}, DBTYPE_I4, i4);
    EXPECT_EQ(over.hr, DB_E_DATAOVERFLOW);
    EXPECT_EQ(over.status, DBSTATUS_E_DATAOVERFLOW);
    EXPECT_EQ(i4, 77);  // untouched
    EXPECT_EQ(To(DBTYPE_I8, LONGLONG{-2147483649LL}, DBTYPE_I4, i4).status, DBSTATUS_E_DATAOVERFLOW);

    BYTE ui1 = 0;
    EXPECT_EQ(To(DBTYPE_I4, LONG{-1}, DBTYPE_UI1, ui1).status, DBSTATUS_E_SIGNMISMATCH);
    EXPECT_EQ(To(DBTYPE_I4, LONG{256}, DBTYPE_UI1, ui1).status, DBSTATUS_E_DATAOVERFLOW);
    EXPECT_EQ(To(DBTYPE_I4, LONG{255}, DBTYPE_UI1, ui1).status, DBSTATUS_S_OK);
    EXPECT_EQ(ui1, 255);

    ULONGLONG ui8 = 0;
    EXPECT_EQ(To(DBTYPE_NUMERIC, Numeric(20, 0, false, static_cast<u128>(1) << 64), DBTYPE_UI8, ui8).status,
              DBSTATUS_E_DATAOVERFLOW);
    signed char i1 = 0;
    EXPECT_EQ(Parse(u"-129", DBTYPE_I1, i1).status, DBSTATUS_E_DATAOVERFLOW);
    EXPECT_EQ(Parse(u"-128", DBTYPE_I1, i1).status, DBSTATUS_S_OK);

    float r4 = 0;
    EXPECT_EQ(To(DBTYPE_R8, 1e300, DBTYPE_R4, r4).status, DBSTATUS_E_DATAOVERFLOW);
    EXPECT_EQ(To(DBTYPE_R8, -std::numeric_limits<double>::max(), DBTYPE_R4, r4).status, DBSTATUS_E_DATAOVERFLOW);
    EXPECT_EQ(To(DBTYPE_R8, HUGE_VAL, DBTYPE_R4, r4).status, DBSTATUS_S_OK);  // infinity is not an overflow
    EXPECT_TRUE(std::isinf(r4));
    EXPECT_EQ(To(DBTYPE_R8, 1e-300, DBTYPE_R4, r4).status, DBSTATUS_S_OK);
    EXPECT_EQ(r4, 0.0f);

    CY cy;
    EXPECT_EQ(To(DBTYPE_R8, 1e15, DBTYPE_CY, cy).status, DBSTATUS_E_DATAOVERFLOW);
    EXPECT_EQ(To(DBTYPE_R8, -922337203685477.0, DBTYPE_CY, cy).status, DBSTATUS_S_OK);
    DECIMAL dec;
    EXPECT_EQ(To(DBTYPE_NUMERIC, Numeric(30, 0, false, Pow10(29)), DBTYPE_DECIMAL, dec).status,
              DBSTATUS_E_DATAOVERFLOW);
    DATE date;
    EXPECT_EQ(To(DBTYPE_R8, 3e6, DBTYPE_DATE, date).status, DBSTATUS_E_DATAOVERFLOW);
    EXPECT_EQ(To(DBTYPE_R8, std::nan(""), DBTYPE_I4, i4).status, DBSTATUS_E_CANTCONVERTVALUE);
}

TEST(ConvertNumbers, DroppedFractionDigitsAreCutTowardZero) {
    SHORT i2 = 0;
    EXPECT_EQ(To(DBTYPE_R8, -2.7, DBTYPE_I2, i2).status, DBSTATUS_S_OK);
    EXPECT_EQ(i2, -2);
    EXPECT_EQ(To(DBTYPE_R8, 32767.9, DBTYPE_I2, i2).status, DBSTATUS_S_OK);
    EXPECT_EQ(i2, 32767);
    USHORT ui2 = 9;
    EXPECT_EQ(To(DBTYPE_R8, -0.5, DBTYPE_UI2, ui2).status, DBSTATUS_S_OK);  // -0.5 is 0: no sign to mismatch
    EXPECT_EQ(ui2, 0);
    // A double converts as the decimal it shows, not as its binary expansion.
    EXPECT_EQ(To(DBTYPE_R8, 0.1 * 3 * 10, DBTYPE_I2, i2).status, DBSTATUS_S_OK);
    EXPECT_EQ(i2, 3);
    DB_NUMERIC n;
    EXPECT_EQ(To(DBTYPE_R8, 0.3, DBTYPE_NUMERIC, n, 5, 2).status, DBSTATUS_S_OK);
    EXPECT_EQ(Magnitude(n), 30u);
    EXPECT_EQ(To(DBTYPE_NUMERIC, Numeric(7, 4, true, 1234567), DBTYPE_NUMERIC, n, 5, 2).status, DBSTATUS_S_OK);
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, n), u"-123.45");
    EXPECT_EQ(To(DBTYPE_R8, 1234.5, DBTYPE_NUMERIC, n, 5, 2).status, DBSTATUS_E_DATAOVERFLOW);
    // Whole doubles beyond fifteen digits stay exact.
    LONGLONG i8 = 0;
    EXPECT_EQ(To(DBTYPE_R8, 9007199254740992.0, DBTYPE_I8, i8).status, DBSTATUS_S_OK);
    EXPECT_EQ(i8, 9007199254740992LL);
}

TEST(ConvertNumbers, NumericTakesTheCallersShapeOrKeepsItsOwn) {
    DB_NUMERIC n;
    EXPECT_EQ(To(DBTYPE_I4, LONG{-42}, DBTYPE_NUMERIC, n).status, DBSTATUS_S_OK);
    EXPECT_EQ(n.precision, 10);
    EXPECT_EQ(n.scale, 0);
    EXPECT_EQ(n.sign, 0);
    EXPECT_EQ(Parse(u"  001.50 ", DBTYPE_NUMERIC, n).status, DBSTATUS_S_OK);
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, n), u"1.50");
    EXPECT_EQ(Parse(u"-0", DBTYPE_NUMERIC, n).status, DBSTATUS_S_OK);
    EXPECT_EQ(n.sign, 1);
    EXPECT_EQ(To(DBTYPE_I4, LONG{1}, DBTYPE_NUMERIC, n, 39, 0).hr, E_INVALIDARG);
    EXPECT_EQ(To(DBTYPE_I4, LONG{1}, DBTYPE_NUMERIC, n, 5, 6).hr, E_INVALIDARG);
    // DECIMAL keeps as many fraction digits as 96 bits hold.
    DECIMAL dec;
    EXPECT_EQ(Parse(u"1.2345678901234567890123456789012", DBTYPE_DECIMAL, dec).status, DBSTATUS_S_OK);
    EXPECT_EQ(TextOf(DBTYPE_DECIMAL, dec), u"1.2345678901234567890123456789");
    VARIANT_BOOL b = 0;
    EXPECT_EQ(To(DBTYPE_NUMERIC, Numeric(5, 2, true, 1), DBTYPE_BOOL, b).status, DBSTATUS_S_OK);
    EXPECT_EQ(b, VARIANT_TRUE);
    BYTE ui1 = 0;
    EXPECT_EQ(To(DBTYPE_BOOL, VARIANT_TRUE, DBTYPE_UI1, ui1).status, DBSTATUS_S_OK);
    EXPECT_EQ(ui1, 1);
    LONG i4 = 0;
    EXPECT_EQ(To(DBTYPE_BOOL, VARIANT_TRUE, DBTYPE_I4, i4).status, DBSTATUS_S_OK);
    EXPECT_EQ(i4, -1);
}

// ---- Text in ------------------------------------------------------------------------------

TEST(ConvertText, BadTextCannotConvert) {
    LONG i4 = 5;
    for (std::u16string_view bad : {u"12a", u"", u"  ", u"--1", u"0x10", u"1,000", u"1e", u"."}) {
        const Outcome o = Parse(bad, DBTYPE_I4, i4);
        EXPECT_EQ(o.hr, DB_E_CANTCONVERTVALUE) << std::string(bad.begin(), bad.end());
        EXPECT_EQ(o.status, DBSTATUS_E_CANTCONVERTVALUE);
    }
    EXPECT_EQ(i4, 5);
    VARIANT_BOOL b;
    EXPECT_EQ(Parse(u"maybe", DBTYPE_BOOL, b).status, DBSTATUS_E_CANTCONVERTVALUE);
    GUID g;
    EXPECT_EQ(Parse(u"{6B29FC40-CA47-1067-B31D-00DD010662D}", DBTYPE_GUID, g).status, DBSTATUS_E_CANTCONVERTVALUE);
    BYTE bytes[4];
    EXPECT_EQ(Convert(DBTYPE_WSTR, u"ABC", 6, DBTYPE_BYTES, bytes, sizeof bytes).status, DBSTATUS_E_CANTCONVERTVALUE);
    DBDATE d;
    for (std::u16string_view bad : {u"2021-02-30", u"2021-13-01", u"3-4-2021", u"13:00 PM", u"2021-03-04 24:00"})
        EXPECT_EQ(Parse(bad, DBTYPE_DBDATE, d).status, DBSTATUS_E_CANTCONVERTVALUE)
            << std::string(bad.begin(), bad.end());
}

TEST(ConvertText, TextRoundTripsThroughEachType) {
    const struct {
        DBTYPE type;
        std::u16string_view in, out;
    } cases[] = {
        {DBTYPE_I1, u"-128", u"-128"},
        {DBTYPE_I8, u" -9223372036854775808 ", u"-9223372036854775808"},
        {DBTYPE_UI8, u"18446744073709551615", u"18446744073709551615"},
        {DBTYPE_I4, u"+007", u"7"},
        {DBTYPE_I4, u"1e3", u"1000"},
        {DBTYPE_I4, u"123.99", u"123"},
        {DBTYPE_R8, u"0.1", u"0.1"},
        {DBTYPE_R8, u"1.5e20", u"1.5E+20"},
        {DBTYPE_R8, u"-infinity", u"-Infinity"},
        {DBTYPE_R4, u"3.4028235e38", u"3.402823E+38"},
        {DBTYPE_CY, u"-922337203685477.5808", u"-922337203685477.5808"},
        {DBTYPE_CY, u"12.50", u"12.5"},
        {DBTYPE_DECIMAL, u"-7.9228162514264337593543950335", u"-7.9228162514264337593543950335"},
        {DBTYPE_NUMERIC, u"0.000", u"0.000"},
        {DBTYPE_NUMERIC, u"99999999999999999999999999999999999999", u"99999999999999999999999999999999999999"},
        {DBTYPE_BOOL, u"yes", u"True"},
        {DBTYPE_BOOL, u"FALSE", u"False"},
        {DBTYPE_BOOL, u"-1", u"True"},
        {DBTYPE_BOOL, u"0", u"False"},
        {DBTYPE_DATE, u"2021-03-04 05:06:07", u"2021-03-04 05:06:07"},
        {DBTYPE_DATE, u"2021-03-04T00:00:00", u"2021-03-04"},
        {DBTYPE_DATE, u"3/4/2021 1:05 PM", u"2021-03-04 13:05:00"},
        {DBTYPE_DATE, u"12/31/29", u"2029-12-31"},
        {DBTYPE_DATE, u"0100-01-01", u"0100-01-01"},
        {DBTYPE_DATE, u"10:30", u"1899-12-30 10:30:00"},
        {DBTYPE_DBDATE, u"2020-02-29", u"2020-02-29"},
        {DBTYPE_DBDATE, u"2021/03/04", u"2021-03-04"},  // as a #...# literal reads it
        {DBTYPE_DATE, u"1-Mar-2024 1 PM", u"2024-03-01 13:00:00"},
        {DBTYPE_DBTIME, u"23:59:59", u"23:59:59"},
        {DBTYPE_DBTIMESTAMP, u"2021-03-04 05:06:07.1234567891", u"2021-03-04 05:06:07.123456789"},
        {DBTYPE_DBTIMESTAMP, u"2021-03-04", u"2021-03-04 00:00:00"},
        {DBTYPE_FILETIME, u"1601-01-01 00:00:00.0000001", u"1601-01-01 00:00:00.0000001"},
        {DBTYPE_GUID, u"6b29fc40-ca47-1067-b31d-00dd010662da", u"{6B29FC40-CA47-1067-B31D-00DD010662DA}"},
        {DBTYPE_BYTES, u" 00ff10 ", u"00FF10"},
    };
    for (const auto& c : cases) {
        const std::string label(c.in.begin(), c.in.end());
        BYTE value[64] = {};
        DBLENGTH length = 0;
        DBSTATUS status = 0;
        ASSERT_EQ(ConvertValue(DBTYPE_WSTR, c.in.data(), c.in.size() * 2, c.type, value, sizeof value, &length, &status,
                               0, 0, 0),
                  S_OK)
            << label;
        EXPECT_EQ(Text(c.type, value, length), c.out) << label;
    }
}

TEST(ConvertText, NarrowTextIsUtf8AndCanEndAtItsTerminator) {
    const char* text = "caf\xC3\xA9";
    char16_t wide[16];
    const Outcome o = Convert(DBTYPE_STR, text, 0, DBTYPE_WSTR, wide, sizeof wide, 0, 0, DBDATACONVERT_LENGTHFROMNTS);
    EXPECT_EQ(o.hr, S_OK);
    EXPECT_EQ(std::u16string(wide), u"caf\u00E9");
    char narrow[16];
    EXPECT_EQ(Convert(DBTYPE_WSTR, wide, 8, DBTYPE_STR, narrow, sizeof narrow).length, 5u);
    EXPECT_STREQ(narrow, text);
}

// ---- Truncation ---------------------------------------------------------------------------

TEST(ConvertTruncation, WideTextKeepsWholeCharactersAndItsTerminator) {
    const std::u16string_view abc = u"abcdef";
    char16_t buf[8];
    Outcome o = Convert(DBTYPE_WSTR, abc.data(), 12, DBTYPE_WSTR, buf, 8);
    EXPECT_EQ(o.hr, S_OK);
    EXPECT_EQ(o.status, DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(o.length, 12u);  // the whole text, not what fitted
    EXPECT_EQ(std::u16string(buf), u"abc");
    // Room for the text but not its terminator still loses a character; an odd byte is unused.
    EXPECT_EQ(Convert(DBTYPE_WSTR, abc.data(), 12, DBTYPE_WSTR, buf, 13).status, DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(std::u16string(buf), u"abcde");
    EXPECT_EQ(Convert(DBTYPE_WSTR, abc.data(), 12, DBTYPE_WSTR, buf, 14).status, DBSTATUS_S_OK);
    // Half a surrogate pair is never kept.
    const std::u16string_view face = u"ab\U0001F600";
    EXPECT_EQ(Convert(DBTYPE_WSTR, face.data(), 8, DBTYPE_WSTR, buf, 8).status, DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(std::u16string(buf), u"ab");
    // No room even for a terminator: nothing is written.
    buf[0] = u'x';
    o = Convert(DBTYPE_WSTR, abc.data(), 12, DBTYPE_WSTR, buf, 1);
    EXPECT_EQ(o.status, DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(o.length, 12u);
    EXPECT_EQ(buf[0], u'x');
}

TEST(ConvertTruncation, NarrowTextAndBytes) {
    char narrow[4];
    EXPECT_EQ(Convert(DBTYPE_STR, "ab\xC3\xA9", 4, DBTYPE_STR, narrow, 4).status, DBSTATUS_S_TRUNCATED);
    EXPECT_STREQ(narrow, "ab");  // not half of the é
    const BYTE bytes[] = {1, 2, 3, 4, 5};
    BYTE out[3];
    Outcome o = Convert(DBTYPE_BYTES, bytes, 5, DBTYPE_BYTES, out, 3);
    EXPECT_EQ(o.status, DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(o.length, 5u);
    EXPECT_EQ(out[2], 3);
    char hex[6];
    EXPECT_EQ(Convert(DBTYPE_BYTES, bytes, 5, DBTYPE_STR, hex, sizeof hex).status, DBSTATUS_S_TRUNCATED);
    EXPECT_STREQ(hex, "0102");  // whole bytes only
    // Data that must not be cut when setting data.
    std::memset(out, 9, sizeof out);
    o = Convert(DBTYPE_BYTES, bytes, 5, DBTYPE_BYTES, out, 3, 0, 0, DBDATACONVERT_SETDATABEHAVIOR);
    EXPECT_EQ(o.hr, DB_E_DATAOVERFLOW);
    EXPECT_EQ(out[0], 9);
}

TEST(ConvertTruncation, NumbersLoseFractionDigitsButNeverIntegerDigits) {
    const DB_NUMERIC n = Numeric(10, 2, true, 12345);
    char buf[8];
    Outcome o = Convert(DBTYPE_NUMERIC, &n, sizeof n, DBTYPE_STR, buf, 7);
    EXPECT_EQ(o.status, DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(o.length, 7u);
    EXPECT_STREQ(buf, "-123.4");
    EXPECT_EQ(Convert(DBTYPE_NUMERIC, &n, sizeof n, DBTYPE_STR, buf, 6).status, DBSTATUS_S_TRUNCATED);
    EXPECT_STREQ(buf, "-123");  // no dangling point
    std::strcpy(buf, "keep");
    o = Convert(DBTYPE_NUMERIC, &n, sizeof n, DBTYPE_STR, buf, 4);
    EXPECT_EQ(o.hr, DB_E_DATAOVERFLOW);
    EXPECT_EQ(o.length, 7u);
    EXPECT_STREQ(buf, "keep");
    const LONG i4 = 12345;
    EXPECT_EQ(Convert(DBTYPE_I4, &i4, 4, DBTYPE_STR, buf, 5).status, DBSTATUS_E_DATAOVERFLOW);
    const double big = 1.5e20;
    EXPECT_EQ(Convert(DBTYPE_R8, &big, 8, DBTYPE_STR, buf, 6).status, DBSTATUS_E_DATAOVERFLOW);
    const DATE date = 44000.5;
    EXPECT_EQ(Convert(DBTYPE_DATE, &date, 8, DBTYPE_STR, buf, sizeof buf).status, DBSTATUS_E_DATAOVERFLOW);
}

// ---- Dates ----------------------------------------------------------------------------------

DBTIMESTAMP Stamp(const DATE& date) {
    DBTIMESTAMP ts{};
    EXPECT_EQ(To(DBTYPE_DATE, date, DBTYPE_DBTIMESTAMP, ts).status, DBSTATUS_S_OK) << date;
    return ts;
}

TEST(ConvertDates, TheWholeAutomationRangeAgreesWithVariantTime) {
    const double first = -657434.0, last = 2958465.0 + 86399.0 / 86400.0;
    EXPECT_EQ(TextOf(DBTYPE_DATE, first), u"0100-01-01");
    EXPECT_EQ(TextOf(DBTYPE_DATE, last), u"9999-12-31 23:59:59");
    DBTIMESTAMP ts;
    EXPECT_EQ(To(DBTYPE_DATE, first - 1, DBTYPE_DBTIMESTAMP, ts).status, DBSTATUS_E_DATAOVERFLOW);
    EXPECT_EQ(To(DBTYPE_DATE, 2958466.0, DBTYPE_DBTIMESTAMP, ts).status, DBSTATUS_E_DATAOVERFLOW);
    const DBTIMESTAMP tooEarly{99, 12, 31, 0, 0, 0, 0};
    DATE date;
    EXPECT_EQ(To(DBTYPE_DBTIMESTAMP, tooEarly, DBTYPE_DATE, date).status, DBSTATUS_E_DATAOVERFLOW);

    for (double day = first; day <= 2958465.0; day += 997.0) {
        for (double time : {0.0, 0.25, 0.999988425925926}) {  // midnight, 06:00, 23:59:59
            const double value = day < 0 ? day - time : day + time;
            const DBTIMESTAMP ts = Stamp(value);
            SYSTEMTIME st{};
            ASSERT_TRUE(VariantTimeToSystemTime(value, &st));
            ASSERT_EQ(ts.year, st.wYear);
            ASSERT_EQ(ts.month, st.wMonth);
            ASSERT_EQ(ts.day, st.wDay);
            ASSERT_EQ(ts.hour * 3600 + ts.minute * 60 + ts.second, st.wHour * 3600 + st.wMinute * 60 + st.wSecond);
            DATE back = 0;
            ASSERT_EQ(To(DBTYPE_DBTIMESTAMP, ts, DBTYPE_DATE, back).status, DBSTATUS_S_OK);
            ASSERT_NEAR(back, value, 1e-8);
            // And through text.
            const std::u16string text = TextOf(DBTYPE_DATE, value);
            ASSERT_EQ(Parse(text, DBTYPE_DATE, back).status, DBSTATUS_S_OK);
            ASSERT_NEAR(back, value, 1e-8);
        }
    }
}

TEST(ConvertDates, DatesThatDoNotExistCannotConvert) {
    DATE date;
    char16_t buf[32];
    const DBDATE feb30{2021, 2, 30};
    EXPECT_EQ(To(DBTYPE_DBDATE, feb30, DBTYPE_DATE, date).hr, DB_E_CANTCONVERTVALUE);
    EXPECT_EQ(Convert(DBTYPE_DBDATE, &feb30, 6, DBTYPE_WSTR, buf, sizeof buf).status, DBSTATUS_E_CANTCONVERTVALUE);
    DBDATE copy;
    EXPECT_EQ(To(DBTYPE_DBDATE, feb30, DBTYPE_DBDATE, copy).status, DBSTATUS_E_CANTCONVERTVALUE);
    EXPECT_EQ(To(DBTYPE_DBDATE, DBDATE{2100, 2, 29}, DBTYPE_DATE, date).status, DBSTATUS_E_CANTCONVERTVALUE);
    EXPECT_EQ(To(DBTYPE_DBDATE, DBDATE{2000, 2, 29}, DBTYPE_DATE, date).status, DBSTATUS_S_OK);
    EXPECT_EQ(To(DBTYPE_DBTIME, DBTIME{24, 0, 0}, DBTYPE_DATE, date).status, DBSTATUS_E_CANTCONVERTVALUE);
    EXPECT_EQ(To(DBTYPE_DBTIMESTAMP, DBTIMESTAMP{2021, 1, 1, 0, 0, 0, 1000000000}, DBTYPE_DATE, date).status,
              DBSTATUS_E_CANTCONVERTVALUE);
}

TEST(ConvertDates, FormsConvertAmongThemselves) {
    // Negative dates count their time forward from midnight.
    DBTIMESTAMP ts = Stamp(-1.25);
    EXPECT_EQ(TextOf(DBTYPE_DBTIMESTAMP, ts), u"1899-12-29 06:00:00");
    // Milliseconds survive DATE; the day and time split apart.
    const DBTIMESTAMP precise{2021, 3, 4, 5, 6, 7, 123000000};
    DATE date = 0;
    EXPECT_EQ(To(DBTYPE_DBTIMESTAMP, precise, DBTYPE_DATE, date).status, DBSTATUS_S_OK);
    ts = Stamp(date);
    EXPECT_EQ(ts.fraction, 123000000u);
    DBDATE d{};
    EXPECT_EQ(To(DBTYPE_DATE, date, DBTYPE_DBDATE, d).status, DBSTATUS_S_OK);
    EXPECT_EQ(TextOf(DBTYPE_DBDATE, d), u"2021-03-04");
    DBTIME t{};
    EXPECT_EQ(To(DBTYPE_DBTIMESTAMP, precise, DBTYPE_DBTIME, t).status, DBSTATUS_S_OK);
    EXPECT_EQ(TextOf(DBTYPE_DBTIME, t), u"05:06:07");
    EXPECT_EQ(To(DBTYPE_DBTIME, t, DBTYPE_DATE, date).status, DBSTATUS_S_OK);
    EXPECT_NEAR(date, (5 * 3600 + 6 * 60 + 7) / 86400.0, 1e-12);
    EXPECT_EQ(To(DBTYPE_DBDATE, d, DBTYPE_DBTIMESTAMP, ts).status, DBSTATUS_S_OK);
    EXPECT_EQ(TextOf(DBTYPE_DBTIMESTAMP, ts), u"2021-03-04 00:00:00");
    double r8 = 0;
    EXPECT_EQ(To(DBTYPE_DATE, DATE{2.5}, DBTYPE_R8, r8).status, DBSTATUS_S_OK);
    EXPECT_EQ(r8, 2.5);
}

TEST(ConvertDates, FileTimesCountFrom1601) {
    FILETIME ft{0, 0};
    EXPECT_EQ(TextOf(DBTYPE_FILETIME, ft), u"1601-01-01 00:00:00");
    DATE date = 0;
    EXPECT_EQ(To(DBTYPE_FILETIME, ft, DBTYPE_DATE, date).status, DBSTATUS_S_OK);
    EXPECT_EQ(TextOf(DBTYPE_DATE, date), u"1601-01-01");
    EXPECT_EQ(To(DBTYPE_DATE, DATE{0.5}, DBTYPE_FILETIME, ft).status, DBSTATUS_S_OK);
    EXPECT_EQ(TextOf(DBTYPE_FILETIME, ft), u"1899-12-30 12:00:00");
    EXPECT_EQ(To(DBTYPE_DATE, DATE{-200000.0}, DBTYPE_FILETIME, ft).status, DBSTATUS_E_DATAOVERFLOW);  // 1352
    const FILETIME far{0xFFFFFFFF, 0x7FFFFFFF};  // 30828
    EXPECT_EQ(To(DBTYPE_FILETIME, far, DBTYPE_DATE, date).status, DBSTATUS_E_DATAOVERFLOW);
    const FILETIME invalid{0, 0x80000000};
    EXPECT_EQ(To(DBTYPE_FILETIME, invalid, DBTYPE_DATE, date).status, DBSTATUS_E_CANTCONVERTVALUE);
}

// ---- References, variants, NULL -------------------------------------------------------------

TEST(ConvertReferences, SourcesByReferenceAndDestinationsInNewBuffers) {
    const LONG i4 = -7;
    const LONG* pi4 = &i4;
    const char16_t* text = u"42";
    LONG out = 0;
    EXPECT_EQ(Convert(DBTYPE_I4 | DBTYPE_BYREF, &pi4, 4, DBTYPE_I4, &out, 4).status, DBSTATUS_S_OK);
    EXPECT_EQ(out, -7);
    EXPECT_EQ(Convert(DBTYPE_WSTR | DBTYPE_BYREF, &text, 4, DBTYPE_I4, &out, 4).status, DBSTATUS_S_OK);
    EXPECT_EQ(out, 42);

    char16_t* wide = nullptr;
    Outcome o = Convert(DBTYPE_I4, &i4, 4, DBTYPE_WSTR | DBTYPE_BYREF, &wide, 0);
    EXPECT_EQ(o.status, DBSTATUS_S_OK);
    EXPECT_EQ(o.length, 4u);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(std::u16string(wide), u"-7");
    CoTaskMemFree(wide);
    char* narrow = nullptr;
    EXPECT_EQ(Convert(DBTYPE_WSTR, u"long text", 18, DBTYPE_STR | DBTYPE_BYREF, &narrow, 1).status, DBSTATUS_S_OK);
    EXPECT_STREQ(narrow, "long text");  // never cut: the buffer is made to fit
    CoTaskMemFree(narrow);
    BYTE* bytes = nullptr;
    const GUID g = {0x6B29FC40, 0xCA47, 0x1067, {0xB3, 0x1D, 0x00, 0xDD, 0x01, 0x06, 0x62, 0xDA}};
    o = Convert(DBTYPE_GUID, &g, sizeof g, DBTYPE_BYTES | DBTYPE_BYREF, &bytes, 0);
    EXPECT_EQ(o.length, 16u);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::memcmp(bytes, &g, 16), 0);
    CoTaskMemFree(bytes);
    BYTE* varnum = nullptr;
    o = Convert(DBTYPE_I4, &i4, 4, DBTYPE_VARNUMERIC | DBTYPE_BYREF, &varnum, 0);
    EXPECT_EQ(o.length, 4u);
    ASSERT_NE(varnum, nullptr);
    EXPECT_EQ(Text(DBTYPE_VARNUMERIC, varnum, o.length), u"-7");
    CoTaskMemFree(varnum);
}

TEST(ConvertVariants, VariantsConvertAsWhatTheyHold) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u" 42 ");
    LONG i4 = 0;
    EXPECT_EQ(To(DBTYPE_VARIANT, v, DBTYPE_I4, i4).status, DBSTATUS_S_OK);
    EXPECT_EQ(i4, 42);
    VARIANT copy;
    EXPECT_EQ(To(DBTYPE_VARIANT, v, DBTYPE_VARIANT, copy).status, DBSTATUS_S_OK);
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, v.bstrVal);  // a copy of its own
    VariantClear(&copy);
    VariantClear(&v);

    const DECIMAL dec = Decimal(true, 2, 12345);
    std::memcpy(&v, &dec, sizeof dec);
    v.vt = VT_DECIMAL;
    EXPECT_EQ(TextOf(DBTYPE_VARIANT, v), u"-123.45");
    v.vt = VT_DATE;
    v.date = 2.5;
    GUID g;
    EXPECT_EQ(To(DBTYPE_VARIANT, v, DBTYPE_GUID, g).hr, DB_E_CANTCONVERTVALUE);  // a DATE is no GUID
    LONG answer = 42;
    v.vt = VT_I4 | VT_BYREF;
    v.byref = &answer;
    EXPECT_EQ(TextOf(DBTYPE_VARIANT, v), u"42");

    VARIANT out;
    EXPECT_EQ(To(DBTYPE_NUMERIC, Numeric(10, 2, true, 12345), DBTYPE_VARIANT, out).status, DBSTATUS_S_OK);
    EXPECT_EQ(out.vt, VT_DECIMAL);
    EXPECT_EQ(out.decVal.scale, 2);
    EXPECT_EQ(out.decVal.sign, DECIMAL_NEG);
    EXPECT_EQ(out.decVal.Lo64, 12345u);
    EXPECT_EQ(To(DBTYPE_DBDATE, DBDATE{1899, 12, 31}, DBTYPE_VARIANT, out).status, DBSTATUS_S_OK);
    EXPECT_EQ(out.vt, VT_DATE);
    EXPECT_EQ(out.date, 1.0);
    EXPECT_EQ(Convert(DBTYPE_WSTR, u"hi", 4, DBTYPE_VARIANT, &out, sizeof out).length, sizeof(VARIANT));
    EXPECT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(out.bstrVal), u"hi");
    VariantClear(&out);
}

TEST(ConvertNull, NullGivesTheNullStatusAndWritesOnlyVariants) {
    LONG i4 = 5;
    VARIANT v;
    VariantInit(&v);
    Outcome o = To(DBTYPE_VARIANT, v, DBTYPE_I4, i4);  // VT_EMPTY
    EXPECT_EQ(o.hr, S_OK);
    EXPECT_EQ(o.status, DBSTATUS_S_ISNULL);
    EXPECT_EQ(o.length, 0u);
    EXPECT_EQ(i4, 5);
    v.vt = VT_NULL;
    char16_t buf[4] = u"xyz";
    EXPECT_EQ(Convert(DBTYPE_VARIANT, &v, sizeof v, DBTYPE_WSTR, buf, sizeof buf).status, DBSTATUS_S_ISNULL);
    EXPECT_EQ(buf[0], u'x');
    VARIANT out;
    out.vt = VT_I4;
    EXPECT_EQ(Convert(DBTYPE_NULL, nullptr, 0, DBTYPE_VARIANT, &out, sizeof out).status, DBSTATUS_S_ISNULL);
    EXPECT_EQ(out.vt, VT_NULL);
}

// ---- Pairs, sizes and the COM class ----------------------------------------------------------

TEST(ConvertPairs, UnsupportedPairsAreRefused) {
    const struct {
        DBTYPE src, dst;
    } refused[] = {
        {DBTYPE_GUID, DBTYPE_I4},        {DBTYPE_BYTES, DBTYPE_I4},
        {DBTYPE_DBDATE, DBTYPE_DBTIME},  {DBTYPE_BOOL, DBTYPE_DATE},
        {DBTYPE_DBTIMESTAMP, DBTYPE_R8}, {DBTYPE_I4, DBTYPE_I4 | DBTYPE_BYREF},
        {DBTYPE_BYTES, DBTYPE_VARIANT},  {DBTYPE_I4 | DBTYPE_ARRAY, DBTYPE_I4},
        {DBTYPE_I4, DBTYPE_NULL},        {DBTYPE_UDT, DBTYPE_WSTR},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(CanConvertType(r.src, r.dst), S_FALSE) << r.src << " -> " << r.dst;
        BYTE src[16] = {}, dst[64] = {};
        const Outcome o = Convert(r.src, src, sizeof src, r.dst, dst, sizeof dst);
        EXPECT_EQ(o.hr, DB_E_UNSUPPORTEDCONVERSION) << r.src << " -> " << r.dst;
    }
    for (DBTYPE t : {DBTYPE_I1, DBTYPE_R8, DBTYPE_NUMERIC, DBTYPE_DATE, DBTYPE_DBTIME, DBTYPE_GUID, DBTYPE_BYTES,
                     DBTYPE_VARIANT, DBTYPE_BSTR}) {
        EXPECT_EQ(CanConvertType(t, DBTYPE_WSTR), S_OK) << t;
        EXPECT_EQ(CanConvertType(DBTYPE_WSTR, t), S_OK) << t;
        EXPECT_EQ(CanConvertType(t, t), S_OK) << t;
    }
}

TEST(ConvertLibrary, TheComClassAnswersAsTheFunctionsDo) {
    CComPtr<IDataConvert> convert;
    ASSERT_EQ(convert.CoCreateInstance(CLSID_OLEDB_CONVERSIONLIBRARY), S_OK);
    EXPECT_EQ(convert->CanConvert(DBTYPE_NUMERIC, DBTYPE_WSTR), S_OK);
    EXPECT_EQ(convert->CanConvert(DBTYPE_GUID, DBTYPE_DATE), S_FALSE);

    DB_NUMERIC n = Numeric(10, 2, true, 12345);
    char16_t buf[16];
    DBLENGTH length = 0;
    DBSTATUS status = 0;
    EXPECT_EQ(convert->DataConvert(DBTYPE_NUMERIC, DBTYPE_WSTR, sizeof n, &length, &n, buf, sizeof buf, DBSTATUS_S_OK,
                                   &status, 0, 0, 0),
              S_OK);
    EXPECT_EQ(std::u16string(buf), u"-123.45");
    EXPECT_EQ(length, 14u);
    // A NULL source passes its status through and leaves the buffer alone.
    buf[0] = u'x';
    EXPECT_EQ(convert->DataConvert(DBTYPE_NUMERIC, DBTYPE_WSTR, 0, &length, nullptr, buf, sizeof buf, DBSTATUS_S_ISNULL,
                                   &status, 0, 0, 0),
              S_OK);
    EXPECT_EQ(status, DBSTATUS_S_ISNULL);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(buf[0], u'x');
    EXPECT_EQ(convert->DataConvert(DBTYPE_I4, DBTYPE_WSTR, 4, &length, &n, buf, sizeof buf, DBSTATUS_S_DEFAULT, &status,
                                   0, 0, 0),
              DB_E_BADSTATUSVALUE);

    EXPECT_EQ(convert->GetConversionSize(DBTYPE_I4, DBTYPE_R8, nullptr, &length, nullptr), S_OK);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(convert->GetConversionSize(DBTYPE_I4, DBTYPE_WSTR, nullptr, &length, nullptr), S_OK);
    EXPECT_EQ(length, 24u);  // "-2147483648" and a terminator
    EXPECT_EQ(convert->GetConversionSize(DBTYPE_NUMERIC, DBTYPE_STR, nullptr, &length, &n), S_OK);
    EXPECT_EQ(length, 8u);
    char16_t text[] = u"hello";
    EXPECT_EQ(convert->GetConversionSize(DBTYPE_WSTR, DBTYPE_STR, nullptr, &length, text), S_OK);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(convert->GetConversionSize(DBTYPE_BYTES, DBTYPE_WSTR, nullptr, &length, nullptr), E_INVALIDARG);
    EXPECT_EQ(convert->GetConversionSize(DBTYPE_GUID, DBTYPE_I4, nullptr, &length, nullptr),
              DB_E_UNSUPPORTEDCONVERSION);
    EXPECT_EQ(convert->GetConversionSize(DBTYPE_I4, DBTYPE_I4, nullptr, nullptr, nullptr), E_INVALIDARG);
}

TEST(ConvertLibrary, ValuesAtOddAddressesAndMeasuringWithoutADestination) {
    alignas(8) BYTE buffer[64] = {};
    const LONG i4 = 123456;
    EXPECT_EQ(Convert(DBTYPE_I4, &i4, 4, DBTYPE_R8, buffer + 1, 8).status, DBSTATUS_S_OK);
    double r8 = 0;
    std::memcpy(&r8, buffer + 1, 8);
    EXPECT_EQ(r8, 123456.0);
    std::memcpy(buffer + 11, u"77", 4);
    LONG out = 0;
    EXPECT_EQ(Convert(DBTYPE_WSTR, buffer + 11, 4, DBTYPE_I4, &out, 4).status, DBSTATUS_S_OK);
    EXPECT_EQ(out, 77);
    const DB_NUMERIC n = Numeric(10, 2, true, 12345);
    const Outcome o = Convert(DBTYPE_NUMERIC, &n, sizeof n, DBTYPE_WSTR | DBTYPE_BYREF, nullptr, 0);
    EXPECT_EQ(o.status, DBSTATUS_S_OK);
    EXPECT_EQ(o.length, 14u);
}

}  // namespace
