// Field values of the held row as text and as 32-bit integers, for every bound type; and
// large values, bound as storage objects or by reference, read into a caller's buffer or a
// heap block.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "platform/oleauto.h"
#include "platform/utf.h"
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
    template <class T>
    LONG LongOf(DBTYPE type, T value) {
        return Long(type, FakeCell::Of(value));
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
    static DECIMAL Decimal(ULONGLONG low, ULONG high, BYTE scale, bool negative) {
        DECIMAL d = {};
        d.Lo64 = low;
        d.Hi32 = high;
        d.scale = scale;
        d.sign = negative ? DECIMAL_NEG : 0;
        return d;
    }
};

TEST_F(FieldsTest, IntegersAndFloatsAsText) {
    EXPECT_EQ(TextOf(DBTYPE_I1, static_cast<signed char>('A')), u"A");
    EXPECT_EQ(TextOf(DBTYPE_I1, static_cast<signed char>(-1)), u"\uFFFF");
    EXPECT_EQ(TextOf(DBTYPE_UI1, static_cast<BYTE>(200)), u"200");
    EXPECT_EQ(TextOf(DBTYPE_I2, static_cast<SHORT>(-5)), u"-5");
    EXPECT_EQ(TextOf(DBTYPE_UI2, static_cast<USHORT>(65535)), u"65535");
    EXPECT_EQ(TextOf(DBTYPE_I4, std::numeric_limits<LONG>::min()), u"-2147483648");
    EXPECT_EQ(TextOf(DBTYPE_UI4, std::numeric_limits<ULONG>::max()), u"4294967295");
    EXPECT_EQ(TextOf(DBTYPE_I8, std::numeric_limits<LONGLONG>::min()), u"-9223372036854775808");
    EXPECT_EQ(TextOf(DBTYPE_UI8, std::numeric_limits<ULONGLONG>::max()), u"18446744073709551615");
    EXPECT_EQ(TextOf(DBTYPE_R4, 1.5f), u"1.500000");
    EXPECT_EQ(TextOf(DBTYPE_R8, 2.5), u"2.500000");
    EXPECT_EQ(TextOf(DBTYPE_ERROR, E_FAIL), u"-2147467259");
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

TEST_F(FieldsTest, ImpossibleDatesAreNamedInvalid) {
    const std::u16string invalid = u"Invalid DateTime";
    EXPECT_EQ(TextOf(DBTYPE_DBDATE, DBDATE{2021, 2, 30}), invalid);
    EXPECT_EQ(TextOf(DBTYPE_DBDATE, DBDATE{-5, 1, 1}), invalid);
    EXPECT_EQ(TextOf(DBTYPE_DBTIMESTAMP, DBTIMESTAMP{2021, 4, 31, 0, 0, 0, 0}), invalid);
    EXPECT_EQ(TextOf(DBTYPE_DBTIME, DBTIME{25, 0, 0}), invalid);
    EXPECT_EQ(TextOf(DBTYPE_DATE, 1e9), invalid);
    EXPECT_EQ(TextOf(DBTYPE_FILETIME, FILETIME{0, 0x80000000u}), u"");  // not a file time at all
}

TEST_F(FieldsTest, DecimalsPlaceThePointByTheScale) {
    EXPECT_EQ(TextOf(DBTYPE_DECIMAL, Decimal(12345, 0, 2, true)), u"-123.45");
    EXPECT_EQ(TextOf(DBTYPE_DECIMAL, Decimal(0, 1, 0, false)), u"18446744073709551616.");
    EXPECT_EQ(TextOf(DBTYPE_DECIMAL, Decimal(7, 0, 0, false)), u"7.");
    EXPECT_EQ(TextOf(DBTYPE_DECIMAL, Decimal(5, 0, 3, false)), u"0.005");
    EXPECT_EQ(TextOf(DBTYPE_DECIMAL, Decimal(123, 0, 3, false)), u"0.123");
    EXPECT_EQ(TextOf(DBTYPE_DECIMAL, Decimal(~0ULL, ~0U, 28, false)), u"7.9228162514264337593543950335");
}

TEST_F(FieldsTest, NumericsGoThroughTheConnectionsConversionObject) {
    FakeConversionRegistration conversion(u"123.45");
    DB_NUMERIC numeric = {5, 2, 1, {0x39, 0x30}};
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, numeric), u"123.45");
    const FakeConversion::Call& call = FakeConversion::lastCall;
    EXPECT_EQ(call.source, DBTYPE_NUMERIC);
    EXPECT_EQ(call.destination, DBTYPE_WSTR);
    EXPECT_EQ(call.sourceLength, 19u);
    EXPECT_EQ(call.destinationMax, 200 * sizeof(char16_t));
    EXPECT_EQ(call.sourceStatus, static_cast<DBSTATUS>(DBSTATUS_S_OK));
    EXPECT_EQ(call.flags, static_cast<DBDATACONVERT>(DBDATACONVERT_DEFAULT));

    // A variable-length numeric is passed with the length the provider reported.
    FakeCell varnumeric;
    varnumeric.bytes = {5, 2, 1, 0x39, 0x30};
    EXPECT_EQ(Text(DBTYPE_VARNUMERIC, varnumeric, 20), u"123.45");
    EXPECT_EQ(FakeConversion::lastCall.sourceLength, 5u);

    FakeConversion::result = DB_E_UNSUPPORTEDCONVERSION;
    EXPECT_EQ(TextOf(DBTYPE_NUMERIC, numeric), u"");
}

TEST_F(FieldsTest, MoneyBooleansAndVariantsReadAsAUserExpects) {
    EXPECT_EQ(TextOf(DBTYPE_CY, 125000LL), u"12.5");
    EXPECT_EQ(TextOf(DBTYPE_CY, 30000LL), u"3");
    EXPECT_EQ(TextOf(DBTYPE_CY, -5LL), u"-0.0005");
    EXPECT_EQ(TextOf(DBTYPE_CY, 123456789LL), u"12345.6789");
    EXPECT_EQ(TextOf(DBTYPE_CY, std::numeric_limits<LONGLONG>::min()), u"-922337203685477.5808");
    EXPECT_EQ(TextOf(DBTYPE_BOOL, VARIANT_TRUE), u"True");
    EXPECT_EQ(TextOf(DBTYPE_BOOL, VARIANT_FALSE), u"False");

    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = 42;
    EXPECT_EQ(Text(DBTYPE_VARIANT, FakeCell::Variant(v), sizeof(VARIANT)), u"42");
    v.vt = VT_BOOL;
    v.boolVal = VARIANT_TRUE;
    EXPECT_EQ(Text(DBTYPE_VARIANT, FakeCell::Variant(v), sizeof(VARIANT)), u"True");
    v.decVal = Decimal(12345, 0, 2, true);
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

TEST_F(FieldsTest, IntegersFromEveryType) {
    EXPECT_EQ(LongOf(DBTYPE_I1, static_cast<signed char>(-3)), -3);
    EXPECT_EQ(LongOf(DBTYPE_UI1, static_cast<BYTE>(200)), 200);
    EXPECT_EQ(LongOf(DBTYPE_I2, static_cast<SHORT>(-300)), -300);
    EXPECT_EQ(LongOf(DBTYPE_UI2, static_cast<USHORT>(65535)), 65535);
    EXPECT_EQ(LongOf(DBTYPE_ERROR, E_FAIL), E_FAIL);
    EXPECT_EQ(LongOf(DBTYPE_UI4, 0xFFFFFFFFu), -1);
    EXPECT_EQ(LongOf(DBTYPE_I8, 0x100000005LL), 5);
    EXPECT_EQ(LongOf(DBTYPE_UI8, std::numeric_limits<ULONGLONG>::max()), -1);
    EXPECT_EQ(LongOf(DBTYPE_R8, -2.7), -2);
    EXPECT_EQ(LongOf(DBTYPE_R4, 3.9f), 3);
    EXPECT_EQ(LongOf(DBTYPE_R8, 1e10), std::numeric_limits<LONG>::min());
    EXPECT_EQ(LongOf(DBTYPE_R8, std::nan("")), std::numeric_limits<LONG>::min());
    EXPECT_EQ(LongOf(DBTYPE_CY, -25000LL), -2);
    EXPECT_EQ(LongOf(DBTYPE_BOOL, VARIANT_TRUE), -1);
    EXPECT_EQ(LongOf(DBTYPE_DATE, 45000.25), 45000);
    EXPECT_EQ(LongOf(DBTYPE_DATE, 1e12), 0);
    EXPECT_EQ(LongOf(DBTYPE_DECIMAL, Decimal(12355, 0, 2, true)), -124);
    EXPECT_EQ(LongOf(DBTYPE_DECIMAL, Decimal(0, 1, 0, false)), 0);
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
    static bool IsPattern(const unsigned char* bytes, std::size_t count, std::size_t from = 0) {
        for (std::size_t i = 0; i < count; ++i)
            if (bytes[i] != FakeCell::BlobByte(from + i)) return false;
        return true;
    }
};

TEST_F(BlobTest, AStreamIsReadWholeIntoTheHeapInChunks) {
    Hold(DBBLOBHANDLING_DEFAULT, FakeCell::Blob(25000));
    CHeapPtr<unsigned char> data;
    EXPECT_EQ(m_command.GetBlobData(2, data), 25000u);
    ASSERT_NE(data.m_pData, nullptr);
    EXPECT_TRUE(IsPattern(data, 25000));
    EXPECT_EQ(Log().streamReads, (std::vector<ULONG>{10000, 10000, 5000, 0}));
    // The stream is at its end now.
    CHeapPtr<unsigned char> again;
    EXPECT_EQ(m_command.GetBlobData(2, again), 0u);
    EXPECT_EQ(again.m_pData, nullptr);
}

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

TEST_F(BlobTest, LargeValuesOfEveryModeAndSizeReadTheSame) {
    for (DBBLOBHANDLINGENUM mode : {DBBLOBHANDLING_DEFAULT, DBBLOBHANDLING_NOSTREAMS}) {
        for (std::size_t size : {std::size_t{0}, std::size_t{100}, std::size_t{25000}}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << ", " << size << " bytes");
            m_command.Close();
            Hold(mode, FakeCell::Blob(size));
            CHeapPtr<unsigned char> data;
            EXPECT_EQ(m_command.GetBlobData(2, data), size);
            EXPECT_EQ(data.m_pData == nullptr, size == 0);
            if (size) {
                EXPECT_TRUE(IsPattern(data, size));
            }
        }
    }
    m_command.Close();
    Hold(DBBLOBHANDLING_NOSTREAMS, FakeCell::Blob(0));
    EXPECT_EQ(m_command.GetBlobData(2, nullptr, 0), Status::dbTrue);
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
