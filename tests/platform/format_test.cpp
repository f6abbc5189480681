// Expectations are what the Windows wide printf family prints for the same call.
#include "platform/format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string>

#include "platform/wintypes.h"

namespace orv::platform {
namespace {

TEST(Format, IntegersWithFlagsWidthAndPrecision) {
    EXPECT_EQ(Format(u"%d|%i|%u", 42, -42, 42u), u"42|-42|42");
    EXPECT_EQ(Format(u"[%5d][%-5d][%05d]", 42, 42, -42), u"[   42][42   ][-0042]");
    EXPECT_EQ(Format(u"[%+d][% d][%+ d][% d]", 5, 5, 5, -5), u"[+5][ 5][+5][-5]");
    EXPECT_EQ(Format(u"[%.3d][%8.3d][%08.3d][%-8.3d]", 7, 7, 7, -7), u"[007][     007][     007][-007    ]");
    EXPECT_EQ(Format(u"[%.0d][%5.0d][%d]", 0, 0, 0), u"[][     ][0]");
    EXPECT_EQ(Format(u"[%+u][% u]", 5u, 5u), u"[5][5]");  // signs belong to signed conversions
}

TEST(Format, HexAndOctalWithTheAlternateForm) {
    EXPECT_EQ(Format(u"%x %X %o", 255, 255, 8), u"ff FF 10");
    EXPECT_EQ(Format(u"%#x %#X %#x", 255, 255, 0), u"0xff 0XFF 0");
    EXPECT_EQ(Format(u"%#o %#o %#.0o %#.4o", 8, 0, 0, 8), u"010 0 0 0010");
    EXPECT_EQ(Format(u"[%#08x][%#8x]", 255, 255), u"[0x0000ff][    0xff]");
    EXPECT_EQ(Format(u"%x %u", -1, -1), u"ffffffff 4294967295");
}

TEST(Format, StarWidthAndPrecisionComeFromTheArguments) {
    EXPECT_EQ(Format(u"[%*d]", 5, 42), u"[   42]");
    EXPECT_EQ(Format(u"[%*d]", -5, 42), u"[42   ]");
    EXPECT_EQ(Format(u"[%.*d]", 3, 7), u"[007]");
    EXPECT_EQ(Format(u"[%.*d]", -1, 7), u"[7]");
    EXPECT_EQ(Format(u"[%*.*s]", 6, 2, u"abcdef"), u"[    ab]");
    EXPECT_EQ(Format(u"[%-*.*f]", 8, 1, 2.3), u"[2.3     ]");
}

TEST(Format, SizePrefixes) {
    EXPECT_EQ(Format(u"%I64d", INT64_MIN), u"-9223372036854775808");
    EXPECT_EQ(Format(u"%lld", INT64_MAX), u"9223372036854775807");
    EXPECT_EQ(Format(u"%I64u %llu", UINT64_MAX, UINT64_MAX), u"18446744073709551615 18446744073709551615");
    EXPECT_EQ(Format(u"%I64x %llX", UINT64_MAX, 0xABCull), u"ffffffffffffffff ABC");
    EXPECT_EQ(Format(u"%zu %Iu %Id %td %jd", std::size_t{1} << 40, std::size_t{3}, std::ptrdiff_t{-4},
                     std::ptrdiff_t{5}, std::intmax_t{-6}),
              u"1099511627776 3 -4 5 -6");
    // A Windows long is 32 bits.
    EXPECT_EQ(Format(u"%ld %lu %lx %I32d", LONG{-5}, ULONG{4000000000u}, ULONG{0xFFFFFFFFu}, INT{-7}),
              u"-5 4000000000 ffffffff -7");
    EXPECT_EQ(Format(u"%hd %hd %hu %hx", 70000, 40000, 70000, 0x12345), u"4464 -25536 4464 2345");
    EXPECT_EQ(Format(u"%hhd %hhu %hhx", 200, 300, 0x1FF), u"-56 44 ff");
    // A 64-bit argument between others must not shift the ones after it.
    EXPECT_EQ(Format(u"%d %I64d %d", 1, std::int64_t{1} << 40, 2), u"1 1099511627776 2");
}

TEST(Format, WideAndNarrowStrings) {
    EXPECT_EQ(Format(u"%s|%ls|%ws", u"wide", u"long", u"w"), u"wide|long|w");
    EXPECT_EQ(Format(u"%hs|%S|%hS|%lS", "narrow", "cap", "h", u"l"), u"narrow|cap|h|l");
    EXPECT_EQ(Format(u"%hs", "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80"), u"h\u00E9llo \u20AC \U0001F600");
    EXPECT_EQ(Format(u"[%6s][%-6s][%.2s]", u"ab", u"ab", u"abc"), u"[    ab][ab    ][ab]");
    EXPECT_EQ(Format(u"[%5hs][%-5hs]", "\xC3\xA9", "\xC3\xA9"), u"[    \u00E9][\u00E9    ]");
    // Precision counts UTF-16 units written, and never splits a surrogate pair.
    EXPECT_EQ(Format(u"[%.2hs][%.1hs][%.2hs]", "\xC3\xA9\xC3\xA9\xC3\xA9", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"),
              u"[\u00E9\u00E9][][\U0001F600]");
    // The 0 flag pads strings with zeros, as on Windows.
    EXPECT_EQ(Format(u"[%05s]", u"ab"), u"[000ab]");
}

TEST(Format, NullStringsPrintNull) {
    const char16_t* wide = nullptr;
    const char* narrow = nullptr;
    EXPECT_EQ(Format(u"%s %hs [%8s] %.3s", wide, narrow, wide, wide), u"(null) (null) [  (null)] (nu");
    EXPECT_EQ(Format(nullptr), u"");
}

TEST(Format, PrecisionBoundsTheReadOfAnUnterminatedString) {
    const char16_t wide[3] = {u'a', u'b', u'c'};
    const char narrow[3] = {'x', 'y', 'z'};
    EXPECT_EQ(Format(u"%.3s %.3hs", wide, narrow), u"abc xyz");
}

TEST(Format, Characters) {
    EXPECT_EQ(Format(u"%c%c%lc%wc", u'A', 0x263A, u'\u03A9', u'w'), u"A\u263A\u03A9w");
    EXPECT_EQ(Format(u"%hc%C", 'x', 'y'), u"xy");
    EXPECT_EQ(Format(u"%hc", 0xE9), u"\uFFFD");  // a lone non-ASCII byte is not UTF-8
    EXPECT_EQ(Format(u"[%3c][%-3c]", u'A', u'B'), u"[  A][B  ]");
}

TEST(Format, PointersAsSixteenHexDigits) {
    EXPECT_EQ(Format(u"%p", reinterpret_cast<void*>(0x1234)), u"0000000000001234");
    EXPECT_EQ(Format(u"%p", static_cast<void*>(nullptr)), u"0000000000000000");
    EXPECT_EQ(Format(u"%p", reinterpret_cast<void*>(0xDEADBEEFCAFEull)), u"0000DEADBEEFCAFE");
    EXPECT_EQ(Format(u"[%20p][%-18p]", reinterpret_cast<void*>(0xAB), reinterpret_cast<void*>(0xAB)),
              u"[    00000000000000AB][00000000000000AB  ]");
}

TEST(Format, FloatingPoint) {
    EXPECT_EQ(Format(u"%f", 2.5), u"2.500000");
    EXPECT_EQ(Format(u"%Lf", 1.5), u"1.500000");  // L reads a double
    EXPECT_EQ(Format(u"[%.2f][%8.3f][%-8.2f][%+f][%08.2f]", 3.14159, 3.14159, 2.5, 1.0, -3.5),
              u"[3.14][   3.142][2.50    ][+1.000000][-0003.50]");
    EXPECT_EQ(Format(u"%e %E %.2e", 12345.678, 12345.678, 0.000123), u"1.234568e+04 1.234568E+04 1.23e-04");
    EXPECT_EQ(Format(u"%g %g %G %#g %g", 0.0001, 0.00001, 1e20, 1.0, 100000.0), u"0.0001 1e-05 1E+20 1.00000 100000");
    EXPECT_EQ(Format(u"%f %F", std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()),
              u"inf -INF");
    EXPECT_EQ(Format(u"%a", 1.0).substr(0, 3), u"0x1");
    // Past the formatter's stack buffer.
    const std::u16string wide = Format(u"%.600f", 1.0);
    EXPECT_EQ(wide.size(), 602u);
    EXPECT_EQ(wide.substr(0, 4), u"1.00");
    EXPECT_EQ(Format(u"%d %f %d", 1, 0.5, 2), u"1 0.500000 2");
}

TEST(Format, PercentUnsupportedAndUnknownConversions) {
    EXPECT_EQ(Format(u"100%% %%d"), u"100% %d");
    // %n takes no argument: the 5 goes to the %d after it.
    EXPECT_EQ(Format(u"a%nb%d", 5), u"ab5");
    EXPECT_EQ(Format(u"[%y][%5k]", 1), u"[y][k]");
    EXPECT_EQ(Format(u"abc%"), u"abc");
    EXPECT_EQ(Format(u"abc%-08"), u"abc");
}

TEST(Format, LongResults) {
    const std::u16string chunk(12000, u'x');
    const std::u16string text = Format(u"%s|%d|%s", chunk.c_str(), 7, chunk.c_str());
    EXPECT_EQ(text.size(), 24003u);
    EXPECT_EQ(text.substr(11998, 7), u"xx|7|xx");
    EXPECT_EQ(Format(u"%15000d", 1).size(), 15000u);

    std::string narrow(20000, 'n');
    narrow += "\xC3\xA9";  // decoded in pieces: the last piece boundary must not split it
    const std::u16string decoded = Format(u"%hs", narrow.c_str());
    EXPECT_EQ(decoded.size(), 20001u);
    EXPECT_EQ(decoded.back(), u'\u00E9');
}

void AppendTo(std::u16string& text, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    AppendFormatV(text, format, args);
    va_end(args);
}

TEST(AppendFormatV, KeepsWhatWasThere) {
    std::u16string text = u"n=";
    AppendTo(text, u"%d, %s", 3, u"x");
    EXPECT_EQ(text, u"n=3, x");
}

int ToBuffer(char16_t* buffer, std::size_t capacity, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = FormatToBufferV(buffer, capacity, format, args);
    va_end(args);
    return length;
}

TEST(FormatToBuffer, TruncatesAndReportsTheFullLength) {
    char16_t buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), u'#');

    EXPECT_EQ(ToBuffer(buffer, 0, u"hello %s", u"world"), 11);
    EXPECT_EQ(buffer[0], u'#');  // capacity 0 writes nothing
    EXPECT_EQ(ToBuffer(nullptr, 0, u"%d", 12345), 5);

    EXPECT_EQ(ToBuffer(buffer, 5, u"hello %s", u"world"), 11);
    EXPECT_EQ(std::u16string(buffer), u"hell");
    EXPECT_EQ(buffer[5], u'#');

    EXPECT_EQ(ToBuffer(buffer, 12, u"hello %s", u"world"), 11);
    EXPECT_EQ(std::u16string(buffer), u"hello world");
    EXPECT_EQ(ToBuffer(buffer, 11, u"hello %s", u"world"), 11);
    EXPECT_EQ(std::u16string(buffer), u"hello worl");

    // Padding, digits and float text are all cut at the same place.
    EXPECT_EQ(ToBuffer(buffer, 4, u"%10d", 5), 10);
    EXPECT_EQ(std::u16string(buffer), u"   ");
    EXPECT_EQ(ToBuffer(buffer, 4, u"%f", 2.5), 8);
    EXPECT_EQ(std::u16string(buffer), u"2.5");
    EXPECT_EQ(FormatToBuffer(buffer, 1, u"abc"), 3);
    EXPECT_EQ(buffer[0], u'\0');
}

// Measures, then formats for real from the same list, as a caller sizing a buffer does.
std::u16string MeasureThenFormat(int& measured, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    measured = FormatToBufferV(nullptr, 0, format, again);
    va_end(again);
    // The list itself is not consumed either: read it twice more.
    std::u16string first = FormatV(format, args);
    std::u16string second = FormatV(format, args);
    va_end(args);
    EXPECT_EQ(first, second);
    return first;
}

TEST(FormatV, TheCallersListCanBeReadAgain) {
    int measured = 0;
    const std::u16string text = MeasureThenFormat(measured, u"%s=%I64d (%.1f)", u"rows", std::int64_t{1} << 33, 0.5);
    EXPECT_EQ(text, u"rows=8589934592 (0.5)");
    EXPECT_EQ(measured, static_cast<int>(text.size()));
}

}  // namespace
}  // namespace orv::platform
