#include "platform/utf.h"
#include "platform/crt.h"
#include "platform/strings.h"
#include "platform/tchar.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <sstream>
#include <vector>

#include "support/braced.h"
#include "support/case_file.h"

namespace orv::platform {
namespace {

std::u16string Decode(std::string_view bytes) { return Utf8ToUtf16(bytes); }

std::string Sign(int n) { return n < 0 ? "<" : n > 0 ? ">" : "="; }

// What one case of text.test gives, to compare with what follows its " = ".
std::string RunCase(const std::string& kind, const std::string& line, std::size_t at) {
    const std::string a = orv::test::Braced(line, at);
    const std::u16string units = Decode(a);
    auto each = [&](auto map) {
        std::u16string out;
        for (char16_t c : units) out += map(c);
        return Utf16ToUtf8(out);
    };
    if (kind == "decode") return Utf16ToUtf8(units);
    if (kind == "fold") {
        std::string out;
        AppendCodePointUtf8(out,
                            FoldCase(units.size() == 2 ? 0x10000 + ((units[0] - 0xD800) << 10) + (units[1] - 0xDC00)
                                                       : char32_t{units[0]}));
        return out;
    }
    if (kind == "upper") return each(ToUpper16);
    if (kind == "lower") return each(ToLower16);
    if (kind == "space")
        return std::all_of(units.begin(), units.end(), IsSpace16)    ? "yes"
               : std::none_of(units.begin(), units.end(), IsSpace16) ? "no"
                                                                     : "mixed";
    if (kind == "wtol") {
        errno = 0;
        const long n = _wtol(units.c_str());
        return std::to_string(n) + (errno == ERANGE ? " ERANGE" : "");
    }
    if (kind == "tcstol") {
        TCHAR* end = nullptr;
        errno = 0;
        const long n = _tcstol(units.c_str(), &end, std::stoi(line.substr(at)));
        return std::to_string(n) + " {" + Utf16ToUtf8(end) + "}" + (errno == ERANGE ? " ERANGE" : "");
    }
    if (kind == "ascii-lower") return Lower(a);
    if (kind == "ascii-upper") return Upper(a);
    if (kind == "trim") return std::string(Trim(a));
    if (kind == "trim16") return Utf16ToUtf8(Trim(std::u16string_view(units)));
    if (kind == "folder") return FolderOf(a);
    if (kind == "file-name") return FileNameOf(a);
    auto numbers = [&] {  // after the text read last
        std::vector<int> n;
        std::istringstream in(line.substr(at, line.rfind(" = ") - at));
        for (int i; in >> i;) n.push_back(i);
        return n;
    };
    const CString s(units.c_str());
    if (kind == "left") return Utf16ToUtf8(s.Left(numbers().at(0)).Str());
    if (kind == "right") return Utf16ToUtf8(s.Right(numbers().at(0)).Str());
    if (kind == "mid") {
        const std::vector<int> n = numbers();
        return Utf16ToUtf8((n.size() == 1 ? s.Mid(n[0]) : s.Mid(n.at(0), n.at(1))).Str());
    }
    auto trim = [&](auto... set) {  // CString's Trim, TrimLeft or TrimRight, of all blanks or a set
        CString copy = s;
        return Utf16ToUtf8((kind == "trim-left-cstring"    ? copy.TrimLeft(set...)
                            : kind == "trim-right-cstring" ? copy.TrimRight(set...)
                                                           : copy.Trim(set...))
                               .Str());
    };
    if (kind == "upper-cstring") return Utf16ToUtf8(CString(s).MakeUpper().Str());
    if (kind == "lower-cstring") return Utf16ToUtf8(CString(s).MakeLower().Str());
    if (kind == "reverse-cstring") return Utf16ToUtf8(CString(s).MakeReverse().Str());
    const bool more = line.find('{', at) < line.rfind(" = ");  // another text follows
    if (kind.find("-cstring") != std::string::npos && !more) return trim();
    auto edit = [&](auto change) {  // what an edit of a copy returns, and the copy after it
        CString copy = s;
        const int count = change(copy);
        return std::to_string(count) + " {" + Utf16ToUtf8(copy.Str()) + "}";
    };
    if (kind == "delete") {
        const std::vector<int> n = numbers();
        return edit([&](CString& t) { return n.size() == 1 ? t.Delete(n[0]) : t.Delete(n.at(0), n.at(1)); });
    }
    const std::string b = orv::test::Braced(line, at);
    const std::u16string sub = Decode(b);
    const int start = numbers().empty() ? 0 : numbers()[0];
    if (kind.find("-cstring") != std::string::npos)
        return sub.size() == 1 ? trim(sub[0]) : trim(sub.c_str());  // one unit, or a set of them
    if (kind == "remove-unit") return edit([&](CString& t) { return t.Remove(sub.at(0)); });
    if (kind == "insert") return edit([&](CString& t) { return t.Insert(start, sub.c_str()); });
    if (kind == "insert-unit") return edit([&](CString& t) { return t.Insert(start, sub.at(0)); });
    if (kind == "replace" || kind == "replace-unit") {
        const std::u16string with = Decode(orv::test::Braced(line, at));
        if (kind == "replace-unit") return edit([&](CString& t) { return t.Replace(sub.at(0), with.at(0)); });
        return edit([&](CString& t) { return t.Replace(sub.c_str(), with.c_str()); });
    }
    if (kind == "find") return std::to_string(s.Find(sub.c_str(), start));
    if (kind == "find-unit") return std::to_string(s.Find(sub.at(0), start));
    if (kind == "reverse-find-unit") return std::to_string(s.ReverseFind(sub.at(0)));
    if (kind == "compare16") return Sign(CompareNoCase16(units.c_str(), Decode(b).c_str()));
    if (kind == "equal" && EqualsNoCase(a, b) == EqualsNoCase(units, Decode(b)))
        return EqualsNoCase(a, b) ? "yes" : "no";
    if (kind == "compare" && Sign(CompareNoCase(a, b)) == Sign(CompareNoCase(units, Decode(b))))
        return Sign(CompareNoCase(a, b));
    return "unknown kind, or the two encodings disagree";
}

TEST(TextCases, EachLineOfTheCaseFile) {
    orv::test::ForEachCase("text.test", [](const std::string& line) {
        std::size_t equals = line.rfind(" = ");
        ASSERT_NE(equals, std::string::npos);
        std::string expected = line.substr(equals + 3);
        if (expected[0] == '{') expected = orv::test::Braced(line, equals);
        EXPECT_EQ(RunCase(line.substr(0, line.find(' ')), line, 0), expected);
    });
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

TEST(Utf16ToUtf8, EncodesAndReplacesUnpairedSurrogates) {
    // Well-formed text: every decode case of text.test is compared in UTF-8.
    const char16_t lone[] = {0xD83D, u'a', 0xDE00, 0xDE00, 0xD83D, 0xD83D, 0xDE00, 0xD800};
    EXPECT_EQ(Utf16ToUtf8(std::u16string_view(lone, 8)),
              "\xEF\xBF\xBD"
              "a"
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD");
    std::string out = "x";  // the appending forms keep what was there
    AppendUtf16ToUtf8(out, u"\u00E9");
    EXPECT_EQ(out, "x\xC3\xA9");
    std::u16string text = u"ab";
    AppendUtf8ToUtf16(text, "\xC3\xA9z");
    EXPECT_EQ(text, u"ab\u00E9z");
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

TEST(Utf16Helpers, TakeNullAsEmpty) {
    EXPECT_EQ(StrLen16(nullptr), 0u);
    EXPECT_EQ(StrLen16(u""), 0u);
    EXPECT_EQ(StrLen16(u"\U0001F600x"), 3u);  // units, not characters
    EXPECT_EQ(CompareNoCase16(nullptr, u""), 0);
    EXPECT_EQ(CompareNoCase16(nullptr, nullptr), 0);
    EXPECT_LT(CompareNoCase16(nullptr, u"a"), 0);
    EXPECT_EQ(_wcsicmp(u"Column", u"COLUMN"), 0);
    EXPECT_EQ(Trim("\t a b \t", " "), "\t a b \t");  // only the blanks asked for
}

}  // namespace
}  // namespace orv::platform
