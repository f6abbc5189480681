// Ported Windows code: wchar_t text (UTF-32 here) converted at the boundary, wchar_t formats,
// the _T macros and TCHAR types, and the _tcs functions on UTF-16 text.
#include <gtest/gtest.h>

#include <climits>
#include <type_traits>

#include "platform/platform.h"
#include "platform/tchar.h"

using orv::platform::Utf32ToUtf16;

TEST(Utf32Conversion, CharactersBeyondTheBmpBecomePairsAndNonCharactersTheReplacement) {
    EXPECT_EQ(Utf32ToUtf16(L"abc \u00FC\u20AC"), u"abc \u00FC\u20AC");
    EXPECT_EQ(Utf32ToUtf16(L"x\U0001F600y"), u"x\U0001F600y");
    EXPECT_EQ(Utf32ToUtf16(L"\U0010FFFF"), u"\U0010FFFF");
    const wchar_t bad[] = {wchar_t(0xD800), wchar_t(0x110000), wchar_t(-1), L'z', 0};
    EXPECT_EQ(Utf32ToUtf16(bad), u"\uFFFD\uFFFD\uFFFDz");
    EXPECT_EQ(Utf32ToUtf16(L""), u"");
}

// Formats with a wchar_t format are cases of format.test (L{...}).
TEST(WcharFormat, CStringFormatsAndAppendsUnderBothFormatTypes) {
    CString s;
    s.Format(L"%s-%d", L"\u00C5r", 2024);
    EXPECT_EQ(s, u"\u00C5r-2024");
    s.AppendFormat(L" %s", L"\U0001F600");
    s.AppendFormat(u"|%05.1f", 2.5);
    EXPECT_EQ(s, u"\u00C5r-2024 \U0001F600|002.5");
    s.Format(u"%d-%s", 7, u"x");
    EXPECT_EQ(s, u"7-x");
    s.Format(u"[%s]", s.GetString());  // its own text as an argument
    EXPECT_EQ(s, u"[7-x]");
}

TEST(WideText, CStringTakesWcharTextWhereverItTakesUtf16Text) {
    CString s = L"Stra\u00DFe \U0001F600";
    EXPECT_EQ(s.Str(), u"Stra\u00DFe \U0001F600");
    EXPECT_EQ(s.GetLength(), 9);  // the pair is two units
    s = L"ab";
    s += L"\u00E7";
    EXPECT_EQ(s, u"ab\u00E7");
    EXPECT_EQ(s + L"d", u"ab\u00E7d");
    EXPECT_EQ(L"<" + s, u"<ab\u00E7");
    EXPECT_TRUE(s == L"ab\u00E7");
    EXPECT_TRUE(L"ab\u00E7" == s);
    EXPECT_TRUE(s != L"ab");
    EXPECT_TRUE(s < L"b" && L"b" > s && s >= L"ab" && L"a" <= s);
    EXPECT_EQ(s.Compare(L"ab\u00E7"), 0);
    EXPECT_EQ(s.CompareNoCase(L"AB\u00C7"), 0);
    EXPECT_EQ(s.Find(L"\u00E7"), 2);
    EXPECT_TRUE(CString(static_cast<const wchar_t*>(nullptr)).IsEmpty());
    CString none = nullptr;  // a null pointer still means UTF-16 text
    EXPECT_TRUE(none.IsEmpty());
}

TEST(WideText, CComBstrTakesWcharTextAndKeepsNullApartFromEmpty) {
    CComBSTR b = L"Data Source=\U0001F600";
    EXPECT_EQ(b.Length(), 14u);
    EXPECT_TRUE(b == L"Data Source=\U0001F600");
    b += L";";
    b.Append(L"x");
    EXPECT_TRUE(b == u"Data Source=\U0001F600;x");
    b = L"";
    EXPECT_TRUE(b != nullptr);
    EXPECT_EQ(b.Length(), 0u);
    CComBSTR none(static_cast<const wchar_t*>(nullptr));
    EXPECT_TRUE(none == nullptr);
}

TEST(TextMacros, MakeUtf16LiteralsAndTypes) {
    static_assert(std::is_same_v<decltype(_T("a")), const char16_t(&)[2]>);
    static_assert(std::is_same_v<decltype(TEXT("a")), const char16_t(&)[2]>);
    static_assert(std::is_same_v<decltype(OLESTR("a")), const char16_t(&)[2]>);
    static_assert(std::is_same_v<decltype(_T('c')), char16_t>);
    static_assert(std::is_same_v<TCHAR, char16_t> && std::is_same_v<LPCTSTR, const char16_t*> &&
                  std::is_same_v<LPTSTR, char16_t*> && std::is_same_v<PCTSTR, const char16_t*>);
    LPCTSTR text =
        _T("\u00FC")
        _T("x");
    EXPECT_EQ(std::u16string(text), u"\u00FCx");
}

TEST(TcharFunctions, LengthComparisonAndSearchWorkOnUtf16AndTakeWcharOperands) {
    TCHAR name[] = _T("Column\U0001F600");
    EXPECT_EQ(_tcslen(name), 8u);
    EXPECT_EQ(wcslen(L"Column\U0001F600"), 7u);  // the C library's, on wchar_t text
    EXPECT_EQ(_tcscmp(name, L"Column\U0001F600"), 0);
    EXPECT_LT(_tcscmp(_T("abc"), _T("abd")), 0);
    EXPECT_GT(_tcscmp(_T("ab"), nullptr), 0);
    EXPECT_EQ(_tcsncmp(_T("abcX"), L"abcY", 3), 0);
    EXPECT_EQ(_tcsicmp(_T("\u00C9t\u00E9"), L"\u00E9T\u00C9"), 0);
    EXPECT_EQ(_tcsnicmp(_T("ABcd"), _T("abCE"), 3), 0);
    EXPECT_LT(_tcsnicmp(_T("ABcd"), _T("abCE"), 4), 0);
    EXPECT_EQ(_tcschr(name, _T('u')), name + 3);
    EXPECT_EQ(_tcschr(name, _T('z')), nullptr);
    EXPECT_EQ(_tcsrchr(_T("a.b.c"), _T('.')), std::u16string_view(u".c"));
    EXPECT_EQ(_tcsstr(name, L"umn"), name + 3);
    EXPECT_EQ(_tcsstr(name, _T("x")), nullptr);
    // _ttoi reads as Windows does (_tcstol's cases are in text.test).
    EXPECT_EQ(_ttoi(_T("  -42abc")), -42);
    EXPECT_EQ(_ttoi(nullptr), 0);
}

TEST(TcharFunctions, BoundedCopiesFailWithAnEmptiedDestinationInsteadOfOverflowing) {
    TCHAR buffer[6];
    EXPECT_EQ(_tcscpy_s(buffer, L"\U0001F600ab"), 0);
    EXPECT_EQ(std::u16string(buffer), u"\U0001F600ab");
    EXPECT_EQ(_tcscat_s(buffer, _T("c")), 0);
    EXPECT_EQ(std::u16string(buffer), u"\U0001F600abc");
    EXPECT_EQ(_tcscat_s(buffer, _T("d")), ERANGE);  // 6 units and the terminator
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(_tcscpy_s(buffer, _T("toolong")), ERANGE);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(_tcscpy_s(buffer, 6, nullptr), EINVAL);
    EXPECT_EQ(_tcscpy_s(nullptr, 6, _T("x")), EINVAL);

    EXPECT_EQ(_tcsncpy_s(buffer, _T("abcdef"), 3), 0);
    EXPECT_EQ(std::u16string(buffer), u"abc");
    EXPECT_EQ(_tcsncpy_s(buffer, _T("abcdefgh"), _TRUNCATE), STRUNCATE);
    EXPECT_EQ(std::u16string(buffer), u"abcde");
    EXPECT_EQ(_tcsncpy_s(buffer, _T("abcdefgh"), 7), ERANGE);
    EXPECT_EQ(buffer[0], 0);
}

TEST(TcharFunctions, PrintfIntoABufferTakesEitherFormatType) {
    TCHAR buffer[16];
    EXPECT_EQ(_stprintf_s(buffer, _T("%s=%d"), _T("n"), 5), 3);
    EXPECT_EQ(std::u16string(buffer), u"n=5");
    EXPECT_EQ(swprintf_s(buffer, 16, L"%s %c", L"\U0001F600", L'z'), 4);
    EXPECT_EQ(std::u16string(buffer), u"\U0001F600 z");
    EXPECT_EQ(_stprintf_s(buffer, _T("%20d"), 1), -1);
    EXPECT_EQ(buffer[0], 0);
}
