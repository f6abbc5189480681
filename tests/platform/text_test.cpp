#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>

namespace {

// ---- CString ---------------------------------------------------------------------------

TEST(CString, ConstructionNeverYieldsANullString) {
    const char16_t* none = nullptr;
    EXPECT_EQ(CString().GetString()[0], u'\0');
    EXPECT_TRUE(CString(none).IsEmpty());
    EXPECT_NE(static_cast<const char16_t*>(CString(none)), nullptr);
    EXPECT_EQ(CString(u"abcdef", 3), u"abc");
    EXPECT_EQ(CString(u"a\0b", 3).GetLength(), 3);
    EXPECT_EQ(CString("h\xC3\xA9llo"), u"h\u00E9llo");
    EXPECT_EQ(CString(u'x', 3), u"xxx");
    EXPECT_TRUE(CString(u'x', 0).IsEmpty());
    EXPECT_EQ(CString(std::u16string(u"moved")), u"moved");

    CString s(u"abc");
    s = u'z';
    EXPECT_EQ(s, u"z");
    s = none;
    EXPECT_TRUE(s.IsEmpty());
}

TEST(CString, ComparisonsInEitherOrderCompareText) {
    const CString s(u"x");
    const CString t(u"y");
    std::u16string storage = u"x";  // same text at another address
    const char16_t* other = storage.c_str();
    EXPECT_TRUE(s == u"x");
    EXPECT_TRUE(u"x" == s);
    EXPECT_TRUE(s == other);
    EXPECT_TRUE(other == s);
    EXPECT_TRUE(s != t);
    EXPECT_FALSE(s != u"x");
    EXPECT_TRUE(u"y" != s);
    EXPECT_TRUE(s < t && t > s && s <= t && t >= s);
    EXPECT_TRUE(u"a" < s && s < u"y" && u"z" > s && u"x" <= s && s >= u"x");
    // Embedded NULs count in CString-to-CString comparison.
    EXPECT_NE(CString(u"a\0b", 3), CString(u"a"));

    std::map<CString, int> byName{{CString(u"b"), 2}, {CString(u"a"), 1}};
    EXPECT_EQ(byName.begin()->second, 1);
    EXPECT_EQ(s.Compare(u"y"), -1);
    EXPECT_EQ(s.Compare(nullptr), 1);
    EXPECT_EQ(CString(u"Stra\u00DFe").CompareNoCase(u"STRASSE") != 0, true);
    EXPECT_EQ(CString(u"\u00C9t\u00E9").CompareNoCase(u"\u00E9T\u00C9"), 0);
}

TEST(CString, ConcatenationAndStreaming) {
    CString s(u"a");
    s += CString(u"b");
    s += u"c";
    s += u'd';
    s += static_cast<const char16_t*>(nullptr);
    EXPECT_EQ(s, u"abcd");
    EXPECT_EQ(s + s, u"abcdabcd");
    EXPECT_EQ(s + u"!", u"abcd!");
    EXPECT_EQ(u"!" + s, u"!abcd");
    EXPECT_EQ(s + u'!', u"abcd!");
    EXPECT_EQ(u'!' + s, u"!abcd");
    s += s.GetString() + 2;  // text from inside itself
    EXPECT_EQ(s, u"abcdcd");
    std::ostringstream out;
    out << CString(u"h\u00E9");
    EXPECT_EQ(out.str(), "h\xC3\xA9");  // streams as UTF-8
}

// Left, Right, Mid, Find, the plain edits, trimming and the case and order of the units are
// cases of text.test; here indexing, a null argument, and text from inside the string itself.
TEST(CString, IndexingNullArgumentsAndItsOwnText) {
    const CString abc(u"abcabc");
    EXPECT_EQ(abc[1], u'b');
    EXPECT_EQ(abc.GetAt(6), u'\0');
    EXPECT_EQ(abc[std::size_t{2}], u'c');
    EXPECT_EQ(abc.Find(static_cast<const char16_t*>(nullptr)), -1);
    EXPECT_EQ(CString(u" a ").Trim(static_cast<const char16_t*>(nullptr)), u" a ");
    EXPECT_EQ(CString(u"   ").Trim(), u"");
    CString s(u"a::b::c");
    EXPECT_EQ(s.Replace(u"::", nullptr), 2);
    EXPECT_EQ(s, u"abc");
    CString self(u"abcabc");
    EXPECT_EQ(self.Replace(self.GetString() + 3, u"x"), 2);  // the pattern lives in the string
    EXPECT_EQ(self, u"xx");
    CString edit(u"<bann!!");
    EXPECT_EQ(edit.Insert(1, edit.GetString() + 5), 9);
    EXPECT_EQ(edit, u"<!!bann!!");
}

TEST(CString, BufferAccess) {
    CString s(u"old");
    char16_t* buffer = s.GetBuffer(10);
    std::memcpy(buffer, u"hello", 6 * sizeof(char16_t));
    s.ReleaseBuffer();
    EXPECT_EQ(s, u"hello");
    EXPECT_EQ(s.GetLength(), 5);

    buffer = s.GetBuffer(0);  // keeps the text
    EXPECT_EQ(buffer[4], u'o');
    buffer[1] = u'a';
    s.ReleaseBuffer(3);
    EXPECT_EQ(s, u"hal");

    buffer = s.GetBufferSetLength(4);
    std::memcpy(buffer, u"abcd", 4 * sizeof(char16_t));
    EXPECT_EQ(s, u"abcd");
    EXPECT_EQ(s.GetString()[4], u'\0');

    s.GetBuffer(2)[2] = u'\0';  // shortened within the old length
    s.ReleaseBuffer(-1);
    EXPECT_EQ(s, u"ab");
    s.SetAt(0, u'X');
    s.SetAt(9, u'Y');
    EXPECT_EQ(s, u"Xb");
}

// ---- CComBSTR --------------------------------------------------------------------------

void ProduceBstr(BSTR* out) { *out = SysAllocString(u"made"); }

// One owned BSTR (null when empty); copies are deep, moves transfer.
TEST(CComBSTR, HoldsOneOwnedBstrCopiedDeepAndMoved) {
    CComBSTR empty;
    EXPECT_EQ(empty.m_str, nullptr);
    EXPECT_TRUE(!empty);
    EXPECT_EQ(CComBSTR(static_cast<const char16_t*>(nullptr)).m_str, nullptr);

    CComBSTR text(u"abc");
    EXPECT_EQ(text.Length(), 3u);
    EXPECT_EQ(text.ByteLength(), 6u);
    EXPECT_FALSE(!text);

    CComBSTR counted(5, u"ab\0cd");
    EXPECT_EQ(counted.Length(), 5u);
    EXPECT_EQ(CComBSTR(0, u"x").m_str, nullptr);
    EXPECT_EQ(CComBSTR(CString(u"from CString")), u"from CString");

    CComBSTR original(u"text");
    CComBSTR copy(original);
    EXPECT_NE(copy.m_str, original.m_str);
    EXPECT_TRUE(copy == original);
    const CComBSTR null;
    EXPECT_EQ(CComBSTR(null).m_str, nullptr);

    BSTR held = original.m_str;
    CComBSTR moved(std::move(original));
    EXPECT_EQ(moved.m_str, held);
    EXPECT_EQ(original.m_str, nullptr);

    CComBSTR assigned(u"old");
    assigned = copy;
    EXPECT_TRUE(assigned == u"text");
    const CComBSTR& same = assigned;
    assigned = same;  // self-assignment keeps the text
    EXPECT_TRUE(assigned == u"text");
    assigned = std::move(moved);
    EXPECT_EQ(assigned.m_str, held);
    assigned = u"plain";
    EXPECT_TRUE(assigned == u"plain");
    assigned = assigned.m_str + 2;  // text from inside the old BSTR
    EXPECT_TRUE(assigned == u"ain");
    assigned = static_cast<const char16_t*>(nullptr);
    EXPECT_EQ(assigned.m_str, nullptr);
}

TEST(CComBSTR, OwnershipTransfers) {
    CComBSTR out;
    ProduceBstr(&out);  // operator& hands out m_str for an out-parameter
    EXPECT_TRUE(out == u"made");

    BSTR raw = out.Detach();
    EXPECT_EQ(out.m_str, nullptr);
    CComBSTR owner(u"replaced");
    owner.Attach(raw);  // frees "replaced"
    EXPECT_EQ(owner.m_str, raw);
    owner.Attach(raw);  // attaching what it holds frees nothing

    BSTR copy = owner.Copy();
    EXPECT_NE(copy, raw);
    EXPECT_EQ(SysStringLen(copy), 4u);
    SysFreeString(copy);

    BSTR target = nullptr;
    EXPECT_EQ(owner.CopyTo(&target), S_OK);
    EXPECT_EQ(std::u16string(target), u"made");
    SysFreeString(target);
    EXPECT_EQ(owner.CopyTo(nullptr), E_POINTER);
    EXPECT_EQ(CComBSTR().Copy(), nullptr);

    EXPECT_EQ(owner.AssignBSTR(CComBSTR(3, u"a\0b")), S_OK);
    EXPECT_EQ(owner.Length(), 3u);
    owner.Empty();
    EXPECT_EQ(owner.m_str, nullptr);
}

TEST(CComBSTR, Append) {
    CComBSTR text;
    EXPECT_EQ(text.Append(static_cast<const char16_t*>(nullptr)), S_OK);
    EXPECT_EQ(text.m_str, nullptr);
    EXPECT_EQ(text.Append(u""), S_OK);
    EXPECT_NE(text.m_str, nullptr);  // empty, but no longer null
    EXPECT_EQ(text.Length(), 0u);

    text.Append(u"ab");
    text.Append(u'c');
    text.Append(CComBSTR(u"de"));
    text.AppendBSTR(CComBSTR(2, u"\0f"));
    EXPECT_EQ(text.Length(), 7u);
    EXPECT_TRUE(text == CComBSTR(7, u"abcde\0f"));

    CComBSTR twice(u"xy");
    twice.Append(twice);  // appending itself
    twice += u"!";
    twice += CComBSTR(u"?");
    EXPECT_TRUE(twice == u"xyxy!?");
    EXPECT_EQ(twice.Append(u"abc", -1), E_INVALIDARG);
}

// Comparison takes null as empty; case mapping and streaming take null too.
TEST(CComBSTR, ComparisonCaseAndStreaming) {
    CComBSTR null;
    CComBSTR empty(u"");
    CComBSTR text(u"abc");
    EXPECT_TRUE(null == empty);
    EXPECT_TRUE(null == u"");
    EXPECT_TRUE(null == nullptr);
    EXPECT_FALSE(empty == nullptr);
    EXPECT_TRUE(empty != nullptr);
    EXPECT_TRUE(text == u"abc");
    EXPECT_TRUE(u"abc" == text);
    EXPECT_TRUE(text != u"abd");
    EXPECT_TRUE(u"ab" != text);
    EXPECT_TRUE(text != null);
    EXPECT_TRUE(CComBSTR(3, u"a\0b") != CComBSTR(u"a"));
    EXPECT_FALSE(CComBSTR(3, u"a\0b") == u"a");  // the pointer ends at its NUL, the BSTR does not
    CComBSTR mixed(u"Mixed \u00E9");
    mixed.ToUpper();
    EXPECT_TRUE(mixed == u"MIXED \u00C9");
    mixed.ToLower();
    EXPECT_TRUE(mixed == u"mixed \u00E9");
    EXPECT_EQ(null.ToUpper(), S_OK);
    std::ostringstream out;
    out << mixed << '|' << null;
    EXPECT_EQ(out.str(), "mixed \xC3\xA9|");
}

// ---- CHeapPtr --------------------------------------------------------------------------

struct Point {
    int x;
    int y;
};

void ProduceBlock(int** out) {
    *out = static_cast<int*>(std::malloc(sizeof(int)));
    **out = 9;
}

// Attach, Detach and the out-parameter form included.
TEST(CHeapPtr, OwnsOneMallocBlock) {
    CHeapPtr<int> numbers;
    EXPECT_EQ(numbers.m_pData, nullptr);
    ASSERT_TRUE(numbers.Allocate(4));
    EXPECT_FALSE(numbers.Allocate(4));  // already holding
    for (int i = 0; i < 4; ++i) numbers[i] = i;
    ASSERT_TRUE(numbers.Reallocate(1000));
    EXPECT_EQ(numbers[3], 3);  // kept across the move
    EXPECT_FALSE(numbers.Reallocate(SIZE_MAX));  // byte size overflows
    EXPECT_EQ(numbers[3], 3);

    CHeapPtr<int> other(std::move(numbers));
    EXPECT_EQ(numbers.m_pData, nullptr);
    EXPECT_EQ(other[2], 2);
    numbers = std::move(other);
    EXPECT_EQ(numbers[1], 1);
    numbers.Free();
    EXPECT_EQ(static_cast<int*>(numbers), nullptr);

    EXPECT_FALSE(numbers.Allocate(SIZE_MAX / 2));
    ASSERT_TRUE(numbers.Allocate(0));
    EXPECT_NE(numbers.m_pData, nullptr);

    CHeapPtr<Point> point;
    ASSERT_TRUE(point.Allocate());
    point->x = 1;
    point->y = 2;
    EXPECT_EQ(point.m_pData->y, 2);

    auto* raw = static_cast<Point*>(std::malloc(sizeof(Point)));
    point.Attach(raw);  // frees the first block
    EXPECT_EQ(point.m_pData, raw);
    Point* taken = point.Detach();
    EXPECT_EQ(taken, raw);
    EXPECT_EQ(point.m_pData, nullptr);
    std::free(taken);

    CHeapPtr<int> produced;
    ProduceBlock(&produced);
    EXPECT_EQ(*produced, 9);
}

}  // namespace
