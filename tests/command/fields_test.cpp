// Field values of the held row as text and as 32-bit integers, for every bound type; and
// large values, bound as storage objects or by reference, read into a caller's buffer or a
// heap block.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/oleauto.h"
#include "platform/utf.h"
#include "support/case_file.h"
#include "support/fake_provider.h"

using namespace orv::test;
using Status = OrvOleDbCommand::dbStatus;

namespace {

class FieldsTest : public FakeRowsetTest {
protected:
    // Executes a one-column, one-row result and holds the row.
    void Hold(DBTYPE type, FakeCell cell, DBLENGTH size = 0) {
        m_command.Close();
        Script().columns = {{u"v", type, size ? size : std::max<DBLENGTH>(cell.bytes.size(), 1)}};
        Script().rows = {{std::move(cell)}};
        ASSERT_EQ(m_command.Execute(), Status::dbTrue);
        ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    }
    std::u16string Text(DBTYPE type, FakeCell cell, DBLENGTH size = 0) {
        Hold(type, std::move(cell), size);
        return m_command.FieldAsString(1).Str();
    }
    LONG Long(DBTYPE type, FakeCell cell, DBLENGTH size = 0) {
        Hold(type, std::move(cell), size);
        return m_command.FieldAsLong(1);
    }
    template <class T>
    std::u16string TextOf(DBTYPE type, T value) {
        return Text(type, FakeCell::Of(value));
    }

    // The platform's text for a moment, as the user's locale writes it.
    static std::u16string DateText(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, ULONG flags) {
        SYSTEMTIME st = {y, mo, 0, d, h, mi, s, 0};
        DATE date = 0;
        EXPECT_TRUE(SystemTimeToVariantTime(&st, &date));
        CComBSTR text;
        EXPECT_EQ(VarBstrFromDate(date, LANG_USER_DEFAULT, flags, &text), S_OK);
        return text.m_str;
    }
};

// A value of every fixed-size type, as cases/field_values.test writes it.
std::pair<DBTYPE, FakeCell> Value(const std::string& type, std::istream& in) {
    // The integer fields each type is made of, by their sizes.
    // clang-format off
    static const std::map<std::string, std::pair<DBTYPE, std::vector<std::size_t>>> layouts = {
        {"I1", {DBTYPE_I1, {1}}}, {"UI1", {DBTYPE_UI1, {1}}}, {"I2", {DBTYPE_I2, {2}}}, {"UI2", {DBTYPE_UI2, {2}}},
        {"I4", {DBTYPE_I4, {4}}}, {"UI4", {DBTYPE_UI4, {4}}}, {"I8", {DBTYPE_I8, {8}}}, {"UI8", {DBTYPE_UI8, {8}}},
        {"ERROR", {DBTYPE_ERROR, {4}}}, {"BOOL", {DBTYPE_BOOL, {2}}}, {"CY", {DBTYPE_CY, {8}}},
        {"FILETIME", {DBTYPE_FILETIME, {8}}}, {"DBDATE", {DBTYPE_DBDATE, {2, 2, 2}}},
        {"DBTIME", {DBTYPE_DBTIME, {2, 2, 2}}}, {"DBTIMESTAMP", {DBTYPE_DBTIMESTAMP, {2, 2, 2, 2, 2, 2, 4}}}};
    // clang-format on
    std::string word;
    if (const auto found = layouts.find(type); found != layouts.end()) {
        FakeCell cell;
        for (std::size_t size : found->second.second) {
            EXPECT_TRUE(in >> word) << "too few fields";
            const ULONGLONG field = std::stoull(word, nullptr, 0);  // little-endian: its low bytes
            cell.bytes.insert(cell.bytes.end(), reinterpret_cast<const BYTE*>(&field),
                              reinterpret_cast<const BYTE*>(&field) + size);
        }
        return {found->second.first, cell};
    }
    in >> word;
    if (type == "R4") return {DBTYPE_R4, FakeCell::Of(std::stof(word))};
    if (type == "R8" || type == "DATE") return {type == "R8" ? DBTYPE_R8 : DBTYPE_DATE, FakeCell::Of(std::stod(word))};
    EXPECT_EQ(type, "DECIMAL");
    unsigned __int128 digits = 0;
    for (char c : word) digits = std::isdigit(static_cast<unsigned char>(c)) ? digits * 10 + (c - '0') : digits;
    const std::size_t point = word.find('.');
    DECIMAL d = {};
    d.Lo64 = static_cast<ULONGLONG>(digits);
    d.Hi32 = static_cast<ULONG>(digits >> 64);
    d.scale = static_cast<BYTE>(point == std::string::npos ? 0 : word.size() - point - 1);
    d.sign = word[0] == '-' ? DECIMAL_NEG : 0;
    return {DBTYPE_DECIMAL, FakeCell::Of(d)};
}

TEST_F(FieldsTest, FixedSizeValuesAsTextAndAsIntegers) {
    const int cases = ForEachCase("field_values.test", [&](const std::string& line) {
        const std::size_t at = line.find(" =");
        std::istringstream in(line.substr(0, at));
        std::string as, type;
        in >> as >> type;
        auto [dbtype, cell] = Value(type, in);
        Hold(dbtype, std::move(cell));
        const std::string expected = line.substr(std::min(at + 3, line.size()));
        if (as == "text") EXPECT_EQ(orv::platform::Utf16ToUtf8(m_command.FieldAsString(1).Str()), expected);
        else EXPECT_EQ(std::to_string(m_command.FieldAsLong(1)), expected);
    });
    EXPECT_GT(cases, 40);
    // A signed byte is a character: -1 is U+FFFF.
    EXPECT_EQ(TextOf(DBTYPE_I1, static_cast<signed char>(-1)), u"\uFFFF");
}

// Reals that are whole millionths skip the general formatter: every real, whole millionths
// or not, must still read as "%f" prints it.
TEST_F(FieldsTest, RealTextIsPrintfsForWholeMillionthsAndOthers) {
    std::vector<double> values = {
        0.25, -0.25, 0.1,  1e-6,   -1e-6, 5e-7, 4.5e-7, 1.0000005, 123456.75, 4503599627.370495, 4503599627.370496,
        9e15, 1e20,  -0.0, 1e-300, 2.675};
    for (int i = 1; i < 2000; ++i) {
        values.push_back(i * 0.25 + i * 1e-6);
        values.push_back(-i * 1234.567891);
        values.push_back(std::ldexp(1.0, i % 80 - 20) / 3.0);
    }
    for (double value : values) {
        char expected[400];
        std::snprintf(expected, sizeof expected, "%f", value);
        EXPECT_EQ(TextOf(DBTYPE_R8, value), orv::platform::Utf8ToUtf16(expected)) << value;
    }
}

TEST_F(FieldsTest, TextsAsText) {
    EXPECT_EQ(Text(DBTYPE_WSTR, FakeCell::Text(u"h\u00e9llo"), 10), u"h\u00e9llo");
    EXPECT_EQ(Text(DBTYPE_WSTR, FakeCell::Text(u"abcdef"), 3), u"abc");  // truncated: what the buffer holds
    EXPECT_EQ(Text(DBTYPE_STR, FakeCell::Narrow("caf\xc3\xa9"), 10), u"caf\u00e9");
    EXPECT_EQ(Text(DBTYPE_BSTR, FakeCell::Text(u"x y"), 8), u"x y");
    EXPECT_EQ(m_command.FieldAsStringEx(1), u"x y");
    EXPECT_EQ(Text(DBTYPE_WSTR, FakeCell::Text(u"  ab \t "), 20), u"  ab \t ");
    EXPECT_EQ(m_command.FieldAsStringEx(1), u"  ab");
}

TEST_F(FieldsTest, ObjectsGuidsAndUnconvertibleTypes) {
    Hold(DBTYPE_IDISPATCH, FakeCell{}, 8);
    char expected[32];
    std::snprintf(expected, sizeof expected, "%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(Log().lastObject)));
    EXPECT_EQ(m_command.FieldAsString(1), CString(expected));

    const GUID guid = {0x6B29FC40, 0xCA47, 0x1067, {0xB3, 0x1D, 0x00, 0xDD, 0x01, 0x06, 0x62, 0xDA}};
    EXPECT_EQ(TextOf(DBTYPE_GUID, guid), u"6b29fc40-ca47-1067-b31d-00dd010662da");
    EXPECT_EQ(Text(DBTYPE_BYTES, FakeCell::Blob(4)), u"");
    EXPECT_EQ(Text(DBTYPE_IUNKNOWN, FakeCell{}, 8), u"");
    EXPECT_EQ(Text(DBTYPE_EMPTY, FakeCell{}, 8), u"");
    EXPECT_EQ(Text(DBTYPE_WSTR, FakeCell::Text(u"long text"), 100000), u"");  // bound by reference
}

TEST_F(FieldsTest, DatesAndTimesInTheUsersFormat) {
    EXPECT_EQ(TextOf(DBTYPE_DATE, 44260.75), DateText(2021, 3, 5, 18, 0, 0, 0));
    EXPECT_EQ(TextOf(DBTYPE_DBDATE, DBDATE{2021, 3, 4}), DateText(2021, 3, 4, 0, 0, 0, VAR_DATEVALUEONLY));
    EXPECT_EQ(TextOf(DBTYPE_DBTIME, DBTIME{13, 5, 9}), DateText(1899, 12, 30, 13, 5, 9, VAR_TIMEVALUEONLY));
    EXPECT_EQ(TextOf(DBTYPE_DBTIMESTAMP, DBTIMESTAMP{2020, 2, 29, 23, 59, 58, 999999999}),
              DateText(2020, 2, 29, 23, 59, 58, 0));
    // 1 January 2021 12:30:15.500 UTC: the milliseconds are dropped, the time zone ignored.
    const ULONGLONG ticks = 132539778155000000ULL;
    const FILETIME filetime = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    EXPECT_EQ(TextOf(DBTYPE_FILETIME, filetime), DateText(2021, 1, 1, 12, 30, 15, 0));
}

// Dates are formatted on the stack rather than through a BSTR: the text must still be the
// platform's, in every locale's patterns (24-hour, AM/PM before the time, literal dots),
// across the whole range, for times that round to the next day and for day 0 and negatives.
TEST_F(FieldsTest, DateTextIsThePlatformsForManyDatesAndLocales) {
    const char* saved = std::getenv("LC_ALL");
    const std::string restore = saved ? saved : "";
    for (const char* locale : {"en_US.UTF-8", "de_DE.UTF-8", "zh_TW.UTF-8", "ko_KR.UTF-8", "hu_HU.UTF-8"}) {
        setenv("LC_ALL", locale, 1);
        for (int i = 0; i < 300; ++i) {
            // Days from before 1900 to 9999, with times over the whole day and half seconds.
            const double day = -657434.0 + (2958465.0 + 657434.0) * i / 299.0;
            const double date = std::trunc(day) + (i % 7 == 0 ? 0.0 : (i * 0.618034 - std::floor(i * 0.618034)));
            for (double value : {date, std::trunc(date) + 0.5 / 86400.0, std::trunc(date) + 1.0 - 0.4 / 86400.0}) {
                CComBSTR expected;
                if (VarBstrFromDate(value, LANG_USER_DEFAULT, 0, &expected) != S_OK) continue;
                EXPECT_EQ(TextOf(DBTYPE_DATE, value), std::u16string(expected.m_str)) << locale << " " << value;
            }
        }
        for (double value : {0.0, 0.75, -0.25, 1.0, -1.5}) {
            CComBSTR expected;
            ASSERT_EQ(VarBstrFromDate(value, LANG_USER_DEFAULT, 0, &expected), S_OK);
            EXPECT_EQ(TextOf(DBTYPE_DATE, value), std::u16string(expected.m_str)) << locale << " " << value;
        }
    }
    if (saved) setenv("LC_ALL", restore.c_str(), 1);
    else unsetenv("LC_ALL");
}

// NUMERIC and VARNUMERIC go through the connection's conversion object (the engine's): the
// widest value fits the text; a variable-length value is passed as long as the provider
// said, not as far as its buffer, which still holds the longer value of the row before;
// a value the conversion refuses reads as nothing.
TEST_F(FieldsTest, NumericsGoThroughTheConnectionsConversionObject) {
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, DB_NUMERIC{5, 2, 1, {0x39, 0x30}}), u"123.45");
    DB_NUMERIC widest = {38, 2, 0, {}};
    unsigned __int128 nines = 1;
    for (int i = 0; i < 38; ++i) nines *= 10;
    nines -= 1;
    std::memcpy(widest.val, &nines, sizeof nines);
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, widest), u"-" + std::u16string(36, u'9') + u".99");

    m_command.Close();
    FakeCell longer, varnumeric, tooShort;
    longer.bytes.assign(20, 1);
    longer.bytes[19] = 0;
    varnumeric.bytes = {5, 2, 1, 0x39, 0x30};
    tooShort.bytes = {5, 2};
    Script().columns = {{u"v", DBTYPE_VARNUMERIC, 20}};
    Script().rows = {{longer}, {varnumeric}, {tooShort}};
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(m_command.FieldAsString(1), u"123.45");
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(m_command.FieldAsString(1), u"");
}

TEST_F(FieldsTest, VariantsReadAsTheirValue) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = 42;
    EXPECT_EQ(Text(DBTYPE_VARIANT, FakeCell::Variant(v), sizeof(VARIANT)), u"42");
    v.vt = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    EXPECT_EQ(Text(DBTYPE_VARIANT, FakeCell::Variant(v), sizeof(VARIANT)), u"True");
    v.decVal = {};
    v.decVal.Lo64 = 12345;
    v.decVal.scale = 2;
    v.decVal.sign = DECIMAL_NEG;
    v.vt = VT_DECIMAL;  // the DECIMAL's reserved word is the type
    EXPECT_EQ(Text(DBTYPE_VARIANT, FakeCell::Variant(v), sizeof(VARIANT)), u"-123.45");
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"inside");
    EXPECT_EQ(Text(DBTYPE_VARIANT, FakeCell::Variant(v), sizeof(VARIANT)), u"inside");
    VariantClear(&v);
    v.vt = VT_NULL;
    EXPECT_EQ(Text(DBTYPE_VARIANT, FakeCell::Variant(v), sizeof(VARIANT)), u"");
}

TEST_F(FieldsTest, IntegersFromTextAndNone) {
    EXPECT_EQ(Long(DBTYPE_BSTR, FakeCell::Text(u" 42x"), 8), 42);
    EXPECT_EQ(Long(DBTYPE_STR, FakeCell::Narrow("-17 units"), 20), -17);
    EXPECT_EQ(Long(DBTYPE_WSTR, FakeCell::Text(u"\t8 apples"), 20), 8);
    EXPECT_EQ(Long(DBTYPE_WSTR, FakeCell::Text(u"none"), 20), 0);
    EXPECT_EQ(TextOf(DBTYPE_GUID, GUID{}), u"00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(m_command.FieldAsLong(1), 0);
}

TEST_F(FieldsTest, NullsErrorsAndClosedCommandsGiveNothing) {
    Hold(DBTYPE_I4, FakeCell::Null(), 4);
    EXPECT_EQ(m_command.FieldAsString(1), u"");
    EXPECT_EQ(m_command.FieldAsLong(1), 0);
    // A provider that delivers the row although one value is in error.
    Script().getDataResults[0] = S_OK;
    Hold(DBTYPE_I4, FakeCell::Status(DBSTATUS_E_CANTCONVERTVALUE), 4);
    EXPECT_EQ(m_command.FieldAsString(1), u"");
    EXPECT_EQ(m_command.FieldAsLong(1), 0);
    m_command.Close();
    EXPECT_EQ(m_command.FieldAsString(1), u"");
    EXPECT_EQ(m_command.FieldAsStringEx(1), u"");
}

class BlobTest : public FakeRowsetTest {
protected:
    // Column 1 a number, column 2 a large byte value holding `cell`.
    void Hold(DBBLOBHANDLINGENUM mode, FakeCell cell, DBTYPE type = DBTYPE_BYTES) {
        Script().columns = {{u"id", DBTYPE_I4, 4}, {u"data", type, 100000}};
        Script().rows = {{FakeCell::Of<LONG>(1), std::move(cell)}};
        ASSERT_TRUE(m_command.SetBlobHandling(mode));
        ASSERT_EQ(m_command.Execute(), Status::dbTrue);
        ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    }
    static bool IsPattern(const unsigned char* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            if (bytes[i] != FakeCell::BlobByte(i)) return false;
        return true;
    }
};

TEST_F(BlobTest, AValueByReferenceIsCopiedAsFarAsTheBufferReaches) {
    Hold(DBBLOBHANDLING_NOSTREAMS, FakeCell::Blob(100));
    std::vector<unsigned char> buffer(100, 0xEE);
    EXPECT_EQ(m_command.GetBlobData(2, buffer.data(), 100), Status::dbTrue);
    EXPECT_TRUE(IsPattern(buffer.data(), 100));
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    EXPECT_EQ(m_command.GetBlobData(2, buffer.data(), 60), Status::dbTruncated);
    EXPECT_TRUE(IsPattern(buffer.data(), 60));
    EXPECT_EQ(buffer[60], 0xEE);

    CHeapPtr<unsigned char> data;
    EXPECT_EQ(m_command.GetBlobData(2, data), 100u);
    EXPECT_TRUE(IsPattern(data, 100));
    // By reference the value is still all there for the next read.
    CHeapPtr<unsigned char> again;
    EXPECT_EQ(m_command.GetBlobData(2, again), 100u);
}

TEST_F(BlobTest, OnlyLargeStreamableValuesCanBeRead) {
    unsigned char buffer[16];
    CHeapPtr<unsigned char> data;
    Hold(DBBLOBHANDLING_SKIP, FakeCell::Blob(100));
    EXPECT_EQ(m_command.GetBlobData(2, buffer, 16), Status::dbError);
    EXPECT_EQ(m_command.GetBlobData(2, data), 0u);
    // Ordinary columns: a number, then inline bytes.
    EXPECT_EQ(m_command.GetBlobData(1, buffer, 16), Status::dbError);
    EXPECT_EQ(m_command.GetBlobData(1, data), 0u);
    EXPECT_EQ(m_command.GetBlobData(3, buffer, 16), Status::dbError);
    m_command.Close();
    Script().columns = {{u"small", DBTYPE_BYTES, 50}, {u"nothing", DBTYPE_EMPTY, 8}};
    Script().rows = {{FakeCell::Blob(50), FakeCell{}}};
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    for (unsigned col : {1u, 2u}) {
        EXPECT_EQ(m_command.GetBlobData(col, buffer, 16), Status::dbError);
        EXPECT_EQ(m_command.GetBlobData(col, data), 0u);
    }
    // A storage object over a type that is not long bytes or text.
    m_command.Close();
    Hold(DBBLOBHANDLING_DEFAULT, FakeCell::Blob(10), DBTYPE_VARIANT);
    EXPECT_EQ(m_command.GetBlobData(2, buffer, 16), Status::dbError);
    EXPECT_EQ(m_command.GetBlobData(2, data), 0u);
    EXPECT_EQ(data.m_pData, nullptr);
    m_command.Close();
    EXPECT_EQ(m_command.GetBlobData(2, buffer, 16), Status::dbError);
}

}  // namespace
