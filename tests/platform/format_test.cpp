// Expectations are what the Windows wide printf family prints for the same call.
#include "platform/format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>

#include "platform/utf.h"
#include "platform/wintypes.h"

#include "support/braced.h"
#include "support/case_file.h"

namespace orv::platform {
namespace {

// Appends to `text` under a char16_t or a wchar_t format, as CString::AppendFormat does.
template <class Char>
std::u16string AppendTo(std::u16string text, const Char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendFormatV(text, format, args);
    va_end(args);
    return text;
}

// UTF-8 text as wchar_t text (UTF-32 here).
std::wstring Wide(const std::string& utf8) {
    const std::u16string units = Utf8ToUtf16(utf8);
    std::wstring out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00) c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        out += static_cast<wchar_t>(c);
    }
    return out;
}

// The cases of format.test: one call with at most one argument a line, into a string or
// into a buffer of a given capacity.
TEST(Format, EachLineOfTheCaseFile) {
    orv::test::ForEachCase("format.test", [](const std::string& line) {
        const int capacity = line.rfind("buffer ", 0) == 0 ? std::stoi(line.substr(7)) : -1;
        std::size_t at = 0, end = line.rfind(" = ");
        const std::string format8 = orv::test::Braced(line, at);
        const std::u16string format = Utf8ToUtf16(format8);
        const bool wide = line[0] == 'L';
        std::string expected = capacity < 0 ? "" : std::to_string(std::stoi(line.substr(end + 3))) + " ";
        expected += orv::test::Braced(line, end);
        std::string type, value;
        std::istringstream(line.substr(at, line.rfind(" = ") - at)) >> type >> value;
        auto call = [&](auto... argument) {
            if (wide) return Utf16ToUtf8(AppendTo(u"", Wide(format8).c_str(), argument...));
            if (capacity < 0) return Utf16ToUtf8(Format(format.c_str(), argument...));
            std::u16string buffer(capacity + 1, u'#');
            const int length = FormatToBuffer(buffer.data(), capacity, format.c_str(), argument...);
            EXPECT_EQ(buffer[capacity], u'#') << "written past the capacity";
            return std::to_string(length) + " " +
                   Utf16ToUtf8(buffer.substr(0, std::min<std::size_t>(buffer.find(u'\0'), capacity)));
        };
        std::string got;
        if (type == "i") got = call(static_cast<int>(std::stoll(value, nullptr, 0)));
        else if (type == "ll") got = call(value[0] == '-' ? std::stoll(value) : std::stoull(value));
        else if (type == "f") got = call(std::strtod(value.c_str(), nullptr));
        else if (type == "p") got = call(reinterpret_cast<void*>(std::stoull(value, nullptr, 16)));
        else if (type == "s") got = call(value == "null" ? nullptr : Utf8ToUtf16(orv::test::Braced(line, at)).c_str());
        else if (type == "ls") got = call(value == "null" ? nullptr : Wide(orv::test::Braced(line, at)).c_str());
        else if (type == "hs") got = call(value == "null" ? nullptr : orv::test::Braced(line, at).c_str());
        else got = call();
        EXPECT_EQ(got, expected);
    });
}

TEST(Format, StarWidthAndPrecisionComeFromTheArguments) {
    EXPECT_EQ(Format(u"[%*d]", 5, 42), u"[   42]");
    EXPECT_EQ(Format(u"[%*d]", -5, 42), u"[42   ]");
    EXPECT_EQ(Format(u"[%.*d]", 3, 7), u"[007]");
    EXPECT_EQ(Format(u"[%.*d]", -1, 7), u"[7]");
    EXPECT_EQ(Format(u"[%*.*s]", 6, 2, u"abcdef"), u"[    ab]");
    EXPECT_EQ(Format(u"[%-*.*f]", 8, 1, 2.3), u"[2.3     ]");
    EXPECT_EQ(AppendTo(u"n=", L"[%*.*s]", 4, 1, L"xyz"), u"n=[   x]");
    EXPECT_EQ(AppendTo(u"n=", u"%d, %s", 3, u"x"), u"n=3, x");  // keeps what was there
}

// An argument of another size between others must not shift the ones after it.
TEST(Format, ArgumentsOfEverySizeInOneCall) {
    EXPECT_EQ(Format(u"%d %I64d %d", 1, std::int64_t{1} << 40, 2), u"1 1099511627776 2");
    EXPECT_EQ(Format(u"%d %f %d %hs %s", 1, 0.5, 2, "n", u"w"), u"1 0.500000 2 n w");
    EXPECT_EQ(Format(nullptr), u"");
    // A precision bounds the read of an unterminated string.
    const char16_t wide[3] = {u'a', u'b', u'c'};
    const char narrow[3] = {'x', 'y', 'z'};
    EXPECT_EQ(Format(u"%.3s %.3hs", wide, narrow), u"abc xyz");
}

TEST(Format, LongResults) {
    const std::u16string chunk(12000, u'x');
    const std::u16string text = Format(u"%s|%d|%s", chunk.c_str(), 7, chunk.c_str());
    EXPECT_EQ(text.size(), 24003u);
    EXPECT_EQ(text.substr(11998, 7), u"xx|7|xx");
    EXPECT_EQ(Format(u"%15000d", 1).size(), 15000u);
    // Past the formatter's stack buffer.
    const std::u16string wide = Format(u"%.600f", 1.0);
    EXPECT_EQ(wide.size(), 602u);
    EXPECT_EQ(wide.substr(0, 4), u"1.00");

    std::string narrow(20000, 'n');
    narrow += "\xC3\xA9";  // decoded in pieces: the last piece boundary must not split it
    const std::u16string decoded = Format(u"%hs", narrow.c_str());
    EXPECT_EQ(decoded.size(), 20001u);
    EXPECT_EQ(decoded.back(), u'\u00E9');
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
    EXPECT_EQ(FormatToBuffer(nullptr, 0, u"%d", 12345), 5);  // measuring without a buffer
}

}  // namespace
}  // namespace orv::platform
