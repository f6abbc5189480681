#include "platform/utf.h"
#include "platform/crt.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <random>
#include <vector>

namespace orv::platform {
namespace {

std::u16string Decode(std::string_view bytes) { return Utf8ToUtf16(bytes); }

TEST(Utf8ToUtf16, DecodesEachSequenceLength) {
    EXPECT_EQ(Decode(""), u"");
    EXPECT_EQ(Decode("plain ASCII text, longer than one block"), u"plain ASCII text, longer than one block");
    EXPECT_EQ(Decode("\xC3\xA9"), u"\u00E9");
    EXPECT_EQ(Decode("\xDF\xBF"), u"\u07FF");
    EXPECT_EQ(Decode("\xE2\x82\xAC"), u"\u20AC");
    EXPECT_EQ(Decode("\xEF\xBF\xBF"), u"\uFFFF");
    EXPECT_EQ(Decode("\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(Decode("\xF4\x8F\xBF\xBF"), u"\U0010FFFF");
    // Non-ASCII right after and right before a run of eight ASCII bytes.
    EXPECT_EQ(Decode("\xC3\xA9"
                     "abcdefgh"
                     "\xE2\x82\xAC"
                     "ijklmnopq"),
              u"\u00E9abcdefgh\u20ACijklmnopq");
}

TEST(Utf8ToUtf16, ReplacesEachMaximalIllFormedPieceOnce) {
    EXPECT_EQ(Decode("a\x80"
                     "b"),
              u"a\uFFFDb");  // stray continuation
    EXPECT_EQ(Decode("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong lead, then stray
    EXPECT_EQ(Decode("\xE0\x80\x80"), u"\uFFFD\uFFFD\uFFFD");  // overlong three-byte form
    EXPECT_EQ(Decode("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    EXPECT_EQ(Decode("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
    EXPECT_EQ(Decode("\xF5\xFF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(Decode("\xE2\x82"
                     "A"),
              u"\uFFFDA");  // cut short, then ASCII
    EXPECT_EQ(Decode("x\xF0\x9F\x98"), u"x\uFFFD");  // cut short by the end
    EXPECT_EQ(Decode("\xC3"), u"\uFFFD");
}

TEST(Utf8ToUtf16, BufferFormNeverWritesMoreUnitsThanBytes) {
    // The exact-size vector lets the address sanitizer catch a write past the promise.
    std::mt19937 random(12345);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(random() % 48 + 1, '\0');
        // From all non-ASCII to all ASCII, so that long ASCII runs take the block paths too.
        const unsigned asciiEighths = static_cast<unsigned>(round % 9);
        for (char& b : bytes)
            b = static_cast<char>(random() % 8 < asciiEighths ? random() % 128 : 0x80 + random() % 128);
        std::vector<char16_t> out(bytes.size());
        const std::size_t written = Utf8ToUtf16(bytes.data(), bytes.size(), out.data());
        ASSERT_LE(written, bytes.size());
        EXPECT_EQ(std::u16string(out.data(), written), Decode(bytes));
    }
}

TEST(Utf8ToUtf16, AppendKeepsWhatWasThere) {
    std::u16string text = u"ab";
    AppendUtf8ToUtf16(text, "\xC3\xA9z");
    EXPECT_EQ(text, u"ab\u00E9z");
}

TEST(Utf16ToUtf8, EncodesAndReplacesUnpairedSurrogates) {
    EXPECT_EQ(Utf16ToUtf8(u"plain ASCII, past a block"), "plain ASCII, past a block");
    EXPECT_EQ(Utf16ToUtf8(u"\u00E9\u20AC\U0001F600"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    const char16_t lone[] = {0xD83D, u'a', 0xDE00, 0xDE00, 0xD83D, 0xD83D, 0xDE00, 0xD800};
    EXPECT_EQ(Utf16ToUtf8(std::u16string_view(lone, 8)),
              "\xEF\xBF\xBD"
              "a"
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD");
    std::string out = "x";
    AppendUtf16ToUtf8(out, u"\u00E9");
    EXPECT_EQ(out, "x\xC3\xA9");
}

TEST(Utf, EveryScalarValueRoundTrips) {
    std::u16string all;
    for (char32_t c = 1; c < 0x110000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        if (c < 0x10000) {
            all.push_back(static_cast<char16_t>(c));
        } else {
            all.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            all.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        }
    }
    const std::string utf8 = Utf16ToUtf8(all);
    EXPECT_EQ(Utf8ToUtf16(utf8), all);
}

TEST(StrLen16, CountsUnitsAndTakesNullAsEmpty) {
    EXPECT_EQ(StrLen16(nullptr), 0u);
    EXPECT_EQ(StrLen16(u""), 0u);
    EXPECT_EQ(StrLen16(u"\U0001F600x"), 3u);
}

// Sharp s has no single-unit capital; the dotless i and the dotted capital I are left
// alone; the final sigma has a capital.
TEST(CaseMapping, CoversTheDocumentedScripts) {
    const std::u16string lower = u"a{\u00E9\u00F7\u00FF\u00DF\u0107\u017E\u0131\u03C9\u03C2\u03AC\u044F\u0451";
    const std::u16string upper = u"A{\u00C9\u00F7\u0178\u00DF\u0106\u017D\u0131\u03A9\u03A3\u0386\u042F\u0401";
    for (std::size_t i = 0; i < lower.size(); ++i) EXPECT_EQ(ToUpper16(lower[i]), upper[i]) << i;
    const std::u16string capitals = u"\u0178\u0130\u04C0\u4E2D", small = u"\u00FF\u0130\u04CF\u4E2D";
    for (std::size_t i = 0; i < capitals.size(); ++i) EXPECT_EQ(ToLower16(capitals[i]), small[i]) << i;
}

TEST(CaseMapping, UpperAndLowerAreInversePairs) {
    for (char32_t c = 0; c < 0x10000; ++c) {
        const auto unit = static_cast<char16_t>(c);
        const char16_t upper = ToUpper16(unit);
        const char16_t lower = ToLower16(unit);
        if (upper != unit && unit != 0x017F && unit != 0x03C2) {
            EXPECT_EQ(ToLower16(upper), unit) << std::hex << static_cast<unsigned>(c);
        }
        if (lower != unit) {
            EXPECT_EQ(ToUpper16(lower), unit) << std::hex << static_cast<unsigned>(c);
        }
        EXPECT_FALSE(upper != unit && lower != unit) << std::hex << static_cast<unsigned>(c);
    }
}

TEST(CompareNoCase16, ComparesUpperCasedUnits) {
    EXPECT_EQ(CompareNoCase16(u"Hello", u"hELLO"), 0);
    EXPECT_EQ(CompareNoCase16(u"\u00C9t\u00E9", u"\u00E9T\u00C9"), 0);
    EXPECT_EQ(CompareNoCase16(nullptr, u""), 0);
    EXPECT_EQ(CompareNoCase16(nullptr, nullptr), 0);
    EXPECT_LT(CompareNoCase16(nullptr, u"a"), 0);
    EXPECT_LT(CompareNoCase16(u"abc", u"ABD"), 0);
    EXPECT_GT(CompareNoCase16(u"abcd", u"ABC"), 0);
    // Upper-cased: the underscore sorts after the letters.
    EXPECT_GT(CompareNoCase16(u"_", u"a"), 0);
    EXPECT_EQ(_wcsicmp(u"Column", u"COLUMN"), 0);
}

TEST(IsSpace16, MatchesTheWideSpaceClass) {
    for (char16_t c : std::u16string(u" \t\n\v\f\r\u0085\u00A0\u1680\u2000\u2005\u200A\u2028\u2029\u202F\u205F\u3000"))
        EXPECT_TRUE(IsSpace16(c)) << std::hex << int(c);
    for (char16_t c : std::u16string(u"a0\u0008\u000E\u001F\u0084\u200B\u2060\uFEFF"))
        EXPECT_FALSE(IsSpace16(c)) << std::hex << int(c);
    EXPECT_FALSE(IsSpace16(0));
}

TEST(Wtol, ParsesAsTheWindowsRunTimeDoes) {
    EXPECT_EQ(_wtol(u"42"), 42);
    EXPECT_EQ(_wtol(u" \t\u3000-17xyz"), -17);
    EXPECT_EQ(_wtol(u"+8 9"), 8);
    EXPECT_EQ(_wtol(u"0012"), 12);
    EXPECT_EQ(_wtol(u""), 0);
    EXPECT_EQ(_wtol(u"abc"), 0);
    EXPECT_EQ(_wtol(u"- 5"), 0);
    EXPECT_EQ(_wtol(nullptr), 0);

    errno = 0;
    EXPECT_EQ(_wtol(u"2147483647"), 2147483647L);
    EXPECT_EQ(_wtol(u"-2147483648"), -2147483647L - 1);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(_wtol(u"2147483648"), 2147483647L);
    EXPECT_EQ(errno, ERANGE);
    errno = 0;
    EXPECT_EQ(_wtol(u"-99999999999999999999999"), -2147483647L - 1);
    EXPECT_EQ(errno, ERANGE);
}

}  // namespace
}  // namespace orv::platform
