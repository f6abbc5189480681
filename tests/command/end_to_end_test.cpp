// OrvOleDbCommand on real database files through the embedded engine: statements, every
// cursor path, column descriptions, field values of every type, large values.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "support/library_fixture.h"

using namespace orv::test;

namespace {

class CommandOnFileTest : public OnDatabaseFile {
protected:
    void SetUp() override {
        OnDatabaseFile::SetUp();
        Open(
            "CREATE TABLE parts(id INTEGER PRIMARY KEY, name TEXT(50), price CURRENCY, note MEMO, picture LONGBINARY);"
            "INSERT INTO parts(id, name, price) VALUES (1, 'bolt', 0.25), (2, 'nut', 0.1), (3, 'washer', 0.05),"
            " (4, 'screw', 0.3), (5, 'rivet', 1.5);");
    }
    LONG Id() { return m_command.FieldAsLong(1); }
};

TEST_F(CommandOnFileTest, SelectsRowsAndDescribesColumns) {
    ASSERT_EQ(Run(u"SELECT id, name, price FROM parts ORDER BY id"), OrvOleDbCommand::dbTrue)
        << Utf8(m_command.GetErrorInfo(true));
    EXPECT_TRUE(m_command.HasResults());
    EXPECT_EQ(m_command.GetColumnCount(), 3u);
    EXPECT_EQ(m_command.GetColumnName(2), CString(u"name"));
    EXPECT_EQ(m_command.GetColumnIndex(CString(u"PRICE")), 3u);
    EXPECT_EQ(m_command.GetRawType(1), DBTYPE_I4);
    EXPECT_EQ(m_command.GetRawType(2), DBTYPE_WSTR);
    EXPECT_EQ(m_command.GetRawType(3), DBTYPE_CY);
    EXPECT_EQ(m_command.IsIntegral(1), OrvOleDbCommand::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(Id(), 1);
    EXPECT_EQ(m_command.FieldAsString(2), CString(u"bolt"));
    EXPECT_EQ(m_command.GetColumnSize(2), 8u);  // bytes of the held value
    EXPECT_EQ(m_command.FieldAsString(3), CString(u"0.25"));
}

// Cancel from another thread stops a statement that would never end by itself; the
// transaction it ran in and the connection go on, and a Cancel with nothing running leaves
// the next statement alone.
TEST_F(CommandOnFileTest, CancelFromAnotherThreadStopsTheRunningStatement) {
    EXPECT_TRUE(m_command.Cancel());  // nothing running
    ASSERT_EQ(Run(u"SELECT COUNT(*) FROM parts"), OrvOleDbCommand::dbTrue);

    ASSERT_TRUE(m_connection.StartTransaction());
    ASSERT_EQ(Run(u"INSERT INTO parts(id, name) VALUES (6, 'pin')"), OrvOleDbCommand::dbTrue);
    std::atomic<bool> done{false};
    // Cancel until the statement has ended: one that came before it started would be lost.
    std::thread canceller([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_TRUE(m_command.Cancel());
        }
    });
    const auto status = Run(u"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT COUNT(*) FROM c");
    done = true;
    canceller.join();
    EXPECT_EQ(status, OrvOleDbCommand::dbError);
    EXPECT_NE(m_command.GetErrorText().Find(u"cancelled"), -1) << Utf8(m_command.GetErrorText());
    EXPECT_NE(m_command.GetErrorText().Find(u"HY008"), -1) << Utf8(m_command.GetErrorText());

    ASSERT_EQ(Run(u"SELECT COUNT(*) FROM parts"), OrvOleDbCommand::dbTrue) << Utf8(m_command.GetErrorText());
    ASSERT_EQ(m_command.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(m_command.FieldAsLong(1), 6);  // the insert before it stands
    ASSERT_TRUE(m_connection.Rollback());
}

// The ends of the currency range, of the dates and of the doubles, written as SQL literals
// and by the statement builder, read back as they were written.
TEST_F(CommandOnFileTest, ValuesAtTheEdgesOfTheirTypesRoundTrip) {
    ASSERT_EQ(Run(u"CREATE TABLE m (id LONG, c CURRENCY, d DATETIME, r DOUBLE)"), OrvOleDbCommand::dbTrue);
    ASSERT_EQ(Run(u"INSERT INTO m VALUES (1, 922337203685477.5807, #1/1/100#, 1.7976931348623157e308)"),
              OrvOleDbCommand::dbTrue)
        << Utf8(m_command.GetErrorInfo(true));
    OrvOleDbDDLCommand insert;
    insert.SetConnection(&m_connection);
    insert.SetTable(u"m");
    insert.AddColumn(u"id", u"%d", 2);
    insert.AddColumn(u"c", u"%s", u"-922337203685477.5808");
    insert.AddColumn(u"d", u"#%s#", u"12/31/9999 11:59:59 PM");
    insert.AddColumn(u"r", u"%s", u"4.9406564584124654e-324");
    ASSERT_TRUE(insert.Insert()) << Utf8(insert.GetErrorInfo(true));

    ASSERT_EQ(Run(u"SELECT c, d, r FROM m ORDER BY id"), OrvOleDbCommand::dbTrue);
    const struct {
        const char16_t* currency;
        WORD year, month, day, hour;
        double real;
    } expected[] = {{u"922337203685477.5807", 100, 1, 1, 0, 1.7976931348623157e308},
                    {u"-922337203685477.5808", 9999, 12, 31, 23, 4.9406564584124654e-324}};
    for (const auto& row : expected) {
        ASSERT_EQ(m_command.FetchNext(), OrvOleDbCommand::dbTrue);
        EXPECT_EQ(m_command.FieldAsString(1), CString(row.currency));
        VARIANT v;
        ASSERT_TRUE(m_command.FieldAsVariant(2, v));
        ASSERT_EQ(v.vt, VT_DATE);
        SYSTEMTIME st = {};
        ASSERT_TRUE(VariantTimeToSystemTime(v.date, &st));
        EXPECT_EQ(st.wYear, row.year);
        EXPECT_EQ(st.wMonth, row.month);
        EXPECT_EQ(st.wDay, row.day);
        EXPECT_EQ(st.wHour, row.hour);
        EXPECT_EQ(m_command.FieldAsDouble(3), row.real);
    }
}

// Rows of one result share one row buffer, so a short value follows a long one over the
// long one's bytes: what a field reads must end where its own value ends.
TEST_F(CommandOnFileTest, FieldsOfSuccessiveRowsNeverShowTheLastRowsBytes) {
    ASSERT_EQ(Run(u"CREATE TABLE t (id INTEGER, s TEXT, r REAL)"), OrvOleDbCommand::dbTrue);
    ASSERT_EQ(Run(u"INSERT INTO t VALUES (1, hex(zeroblob(3000)), 1e300), (2, 'ab', -0.5), (3, '', 9e999),"
                  u" (4, NULL, -9e999), (5, 'x' || char(0) || 'yz', 0.1), (6, '12345678', 2.5), (7, '42', NULL)"),
              OrvOleDbCommand::dbTrue)
        << Utf8(m_command.GetErrorInfo(true));
    ASSERT_EQ(Run(u"SELECT id, s, r FROM t ORDER BY id"), OrvOleDbCommand::dbTrue);
    char huge[400];
    std::snprintf(huge, sizeof huge, "%f", 1e300);
    const struct {
        std::u16string text;
        LONG number;
        CString real;
    } expected[] = {{std::u16string(6000, u'0'), 0, CString(huge)},
                    {u"ab", 0, CString(u"-0.500000")},
                    {u"", 0, CString(u"inf")},
                    {u"", 0, CString(u"-inf")},
                    {u"x", 0, CString(u"0.100000")},  // the text ends at its first NUL unit
                    {u"12345678", 12345678, CString(u"2.500000")},
                    {u"42", 42, CString()}};
    for (const auto& row : expected) {
        ASSERT_EQ(m_command.FetchNext(), OrvOleDbCommand::dbTrue);
        SCOPED_TRACE(Id());
        EXPECT_EQ(m_command.FieldAsString(2).Str(), row.text);
        EXPECT_EQ(m_command.FieldAsLong(2), row.number);
        EXPECT_EQ(m_command.FieldAsString(3), row.real);
        VARIANT v;
        ASSERT_TRUE(m_command.FieldAsVariant(2, v));
        if (v.vt == VT_BSTR) {
            EXPECT_EQ(std::u16string(v.bstrVal, SysStringLen(v.bstrVal)), row.text);
        } else {
            EXPECT_EQ(v.vt, VT_NULL);
        }
        VariantClear(&v);
    }
    EXPECT_EQ(m_command.FetchNext(), OrvOleDbCommand::dbFalse);
}

// ---- Large values: by reference (the default) and as storage objects ------------------------

class LargeValueTest : public CommandOnFileTest, public ::testing::WithParamInterface<DBBLOBHANDLINGENUM> {};

TEST_P(LargeValueTest, LongTextAndBinaryReadAsBytes) {
    ASSERT_EQ(Run(u"UPDATE parts SET note = 'long note ' || hex(zeroblob(6000)), picture = zeroblob(25000) "
                  u"WHERE id = 2"),
              OrvOleDbCommand::dbTrue);
    m_command.Close();  // the mode changes only while nothing is open
    ASSERT_TRUE(m_command.SetBlobHandling(GetParam()));
    ASSERT_EQ(Run(u"SELECT note, picture, name FROM parts WHERE id IN (1, 2) ORDER BY id"), OrvOleDbCommand::dbTrue)
        << Utf8(m_command.GetErrorInfo(true));
    ASSERT_EQ(m_command.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(m_command.IsBlob(1), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(m_command.IsBlob(2), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(m_command.IsBlob(3), OrvOleDbCommand::dbFalse);
    EXPECT_EQ(m_command.IsNull(1), OrvOleDbCommand::dbTrue);
    CHeapPtr<unsigned char> none;
    EXPECT_EQ(m_command.GetBlobData(1, none), 0u);
    char buffer[16];
    EXPECT_EQ(m_command.GetBlobData(2, buffer, sizeof buffer), OrvOleDbCommand::dbNull);

    ASSERT_EQ(m_command.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(m_command.FieldAsString(1), CString(u""));  // large values are not text fields
    CHeapPtr<unsigned char> note;
    ULONG bytes = m_command.GetBlobData(1, note);
    ASSERT_EQ(bytes, (10u + 12000u) * 2);  // UTF-16 code units, no terminator
    EXPECT_EQ(std::memcmp(note.m_pData, u"long note 0000", 28), 0);
    CHeapPtr<unsigned char> picture;
    EXPECT_EQ(m_command.GetBlobData(2, picture), 25000u);
    EXPECT_EQ(picture.m_pData[24999], 0);
    if (GetParam() == DBBLOBHANDLING_NOSTREAMS) {
        EXPECT_EQ(m_command.GetRawType(2), DBTYPE_BYTES | DBTYPE_BYREF);
        EXPECT_EQ(m_command.GetColumnSize(2), 25000u);
        EXPECT_EQ(m_command.GetBlobData(2, buffer, sizeof buffer), OrvOleDbCommand::dbTruncated);
    } else {
        EXPECT_EQ(m_command.GetRawType(2), DBTYPE_IUNKNOWN);
        CHeapPtr<unsigned char> again;
        EXPECT_EQ(m_command.GetBlobData(2, again), 0u);  // the stream was read to its end
    }
}

TEST_P(LargeValueTest, LargeValuesAsVariantsAreWhole) {
    ASSERT_EQ(Run(u"UPDATE parts SET note = 'long ' || hex(zeroblob(5000)), picture = zeroblob(9000) WHERE id = 2"),
              OrvOleDbCommand::dbTrue);
    m_command.Close();
    ASSERT_TRUE(m_command.SetBlobHandling(GetParam()));
    ASSERT_EQ(Run(u"SELECT note, picture FROM parts WHERE id = 2"), OrvOleDbCommand::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), OrvOleDbCommand::dbTrue);
    VARIANT v;
    ASSERT_TRUE(m_command.FieldAsVariant(1, v));
    ASSERT_EQ(v.vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(v.bstrVal), 5u + 10000u);
    EXPECT_EQ(std::u16string(v.bstrVal, 7), u"long 00");
    VariantClear(&v);
    ASSERT_TRUE(m_command.FieldAsVariant(2, v));
    ASSERT_EQ(v.vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(v.parray->rgsabound[0].cElements, 9000u);
    VariantClear(&v);
}

INSTANTIATE_TEST_SUITE_P(BlobModes, LargeValueTest,
                         ::testing::Values(DBBLOBHANDLING_NOSTREAMS, DBBLOBHANDLING_DEFAULT));

// ---- Field values of every type a database file holds -------------------------------------

class FieldValueTest : public CommandOnFileTest {
protected:
    void SetUp() override {
        CommandOnFileTest::SetUp();
        ASSERT_EQ(Run(u"CREATE TABLE kinds(s SHORT, i LONG, big BIGINT, b BYTE, r SINGLE, d DOUBLE, c CURRENCY,"
                      u" t DATETIME, y YESNO, n DECIMAL(12,4), g GUID, x TEXT(20), bin BINARY(8))"),
                  OrvOleDbCommand::dbTrue);
        ASSERT_EQ(Run(u"INSERT INTO kinds VALUES (-12, 2147483647, 9007199254740993, 200, 1.5, -2.7, 1234.5678,"
                      u" '2024-02-29 13:45:07', 1, '-12345678.9012',"
                      u" '{6B29FC40-CA47-1067-B31D-00DD010662DA}', 'text  ', x'00FF10')"),
                  OrvOleDbCommand::dbTrue)
            << Utf8(m_command.GetErrorInfo(true));
        ASSERT_EQ(Run(u"SELECT * FROM kinds"), OrvOleDbCommand::dbTrue);
        ASSERT_EQ(m_command.FetchNext(), OrvOleDbCommand::dbTrue);
    }
};

TEST_F(FieldValueTest, EachTypeInItsOwnOleDbType) {
    const DBTYPE expected[] = {DBTYPE_I2,   DBTYPE_I4,   DBTYPE_I8,   DBTYPE_UI1,  DBTYPE_R4,
                               DBTYPE_R8,   DBTYPE_CY,   DBTYPE_DATE, DBTYPE_BOOL, DBTYPE_NUMERIC,
                               DBTYPE_GUID, DBTYPE_WSTR, DBTYPE_BYTES};
    for (unsigned __int64 c = 1; c <= 13; ++c) EXPECT_EQ(m_command.GetRawType(c), expected[c - 1]) << "column " << c;
}

TEST_F(FieldValueTest, TextAsAUserReadsIt) {
    setenv("LC_ALL", "en_US.UTF-8", 1);
    EXPECT_EQ(m_command.FieldAsString(1), CString(u"-12"));
    EXPECT_EQ(m_command.FieldAsString(2), CString(u"2147483647"));
    EXPECT_EQ(m_command.FieldAsString(3), CString(u"9007199254740993"));  // every digit of a 64-bit value
    EXPECT_EQ(m_command.FieldAsString(4), CString(u"200"));
    EXPECT_EQ(m_command.FieldAsString(5), CString(u"1.500000"));
    EXPECT_EQ(m_command.FieldAsString(6), CString(u"-2.700000"));
    EXPECT_EQ(m_command.FieldAsString(7), CString(u"1234.5678"));
    EXPECT_EQ(m_command.FieldAsString(8), CString(u"2/29/2024 1:45:07 PM"));
    EXPECT_EQ(m_command.FieldAsString(9), CString(u"True"));
    EXPECT_EQ(m_command.FieldAsString(10), CString(u"-12345678.9012"));
    EXPECT_EQ(m_command.FieldAsString(11), CString(u"6b29fc40-ca47-1067-b31d-00dd010662da"));
    EXPECT_EQ(m_command.FieldAsString(12), CString(u"text  "));
    EXPECT_EQ(m_command.FieldAsStringEx(12), CString(u"text"));
    unsetenv("LC_ALL");
}

TEST_F(FieldValueTest, IntegersAsAUserReadsThem) {
    EXPECT_EQ(m_command.FieldAsLong(1), -12);
    EXPECT_EQ(m_command.FieldAsLong(2), 2147483647);
    EXPECT_EQ(m_command.FieldAsLong(4), 200);
    EXPECT_EQ(m_command.FieldAsLong(6), -2);  // toward zero
    EXPECT_EQ(m_command.FieldAsLong(7), 1234);
    EXPECT_EQ(m_command.FieldAsLong(9), -1);  // True
    EXPECT_EQ(m_command.IsNumeric(10), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(m_command.IsNumeric(7), OrvOleDbCommand::dbFalse);
}

TEST_F(FieldValueTest, TypedReadsGiveEachValueInItsOwnType) {
    const VARTYPE expected[] = {VT_I2,      VT_I4,   VT_I8,   VT_UI1,           VT_R4, VT_R8, VT_CY, VT_DATE, VT_BOOL,
                                VT_DECIMAL, VT_BSTR, VT_BSTR, VT_ARRAY | VT_UI1};
    VARIANT v;
    for (unsigned __int64 c = 1; c <= 13; ++c) {
        ASSERT_TRUE(m_command.FieldAsVariant(c, v)) << "column " << c;
        EXPECT_EQ(v.vt, expected[c - 1]) << "column " << c;
        VariantClear(&v);
    }
    ASSERT_TRUE(m_command.FieldAsVariant(3, v));
    EXPECT_EQ(v.llVal, 9007199254740993LL);  // beyond a double's 53 bits
    ASSERT_TRUE(m_command.FieldAsVariant(7, v));
    EXPECT_EQ(v.cyVal.int64, 12345678LL);
    ASSERT_TRUE(m_command.FieldAsVariant(10, v));
    EXPECT_EQ(v.decVal.Lo64, 123456789012ULL);
    EXPECT_EQ(v.decVal.scale, 4);
    EXPECT_EQ(v.decVal.sign, DECIMAL_NEG);
    ASSERT_TRUE(m_command.FieldAsVariant(11, v));
    EXPECT_EQ(std::u16string(v.bstrVal), u"{6B29FC40-CA47-1067-B31D-00DD010662DA}");
    VariantClear(&v);
    ASSERT_TRUE(m_command.FieldAsVariant(13, v));
    LONG upper = -1;
    EXPECT_EQ(SafeArrayGetUBound(v.parray, 1, &upper), S_OK);
    EXPECT_EQ(upper, 2);
    EXPECT_EQ(std::memcmp(v.parray->pvData, "\x00\xff\x10", 3), 0);
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
    EXPECT_EQ(std::memcmp(copy.parray->pvData, "\x00\xff\x10", 3), 0);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(VariantClear(&v), S_OK);

    EXPECT_EQ(m_command.FieldAsInt64(3), 9007199254740993LL);
    EXPECT_EQ(m_command.FieldAsInt64(6), -2);  // toward zero
    EXPECT_EQ(m_command.FieldAsInt64(7), 1234);
    EXPECT_EQ(m_command.FieldAsInt64(10), -12345678);
    EXPECT_EQ(m_command.FieldAsInt64(12), 0);  // text that is no number
    EXPECT_DOUBLE_EQ(m_command.FieldAsDouble(5), 1.5);
    EXPECT_DOUBLE_EQ(m_command.FieldAsDouble(7), 1234.5678);
    EXPECT_DOUBLE_EQ(m_command.FieldAsDouble(10), -12345678.9012);
    EXPECT_NEAR(m_command.FieldAsDouble(8), 45351 + 49507.0 / 86400, 1e-9);  // the OLE Automation date
}

TEST_F(FieldValueTest, TypedReadsOfNullOutOfRangeAndClosedCommands) {
    ASSERT_EQ(Run(u"SELECT s, 1e300 AS huge, i FROM kinds UNION ALL SELECT NULL, NULL, NULL"), OrvOleDbCommand::dbTrue);
    ASSERT_EQ(m_command.FetchLast(), OrvOleDbCommand::dbTrue);
    VARIANT v;
    ASSERT_TRUE(m_command.FieldAsVariant(1, v));
    EXPECT_EQ(v.vt, VT_NULL);
    EXPECT_EQ(m_command.FieldAsInt64(1), 0);
    EXPECT_EQ(m_command.FieldAsDouble(1), 0.0);
    ASSERT_EQ(m_command.FetchFirst(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(m_command.FieldAsInt64(2), 0);  // beyond 64 bits
    EXPECT_EQ(m_command.FieldAsDouble(2), 1e300);
    EXPECT_FALSE(m_command.FieldAsVariant(0, v));
    EXPECT_FALSE(m_command.FieldAsVariant(4, v));
    m_command.Close();
    EXPECT_FALSE(m_command.FieldAsVariant(1, v));
    EXPECT_EQ(m_command.FieldAsInt64(3), 0);
}

TEST_F(FieldValueTest, ValuesSurviveARoundTrip) {
    // What the row read gives back, written again and read again, is the same.
    CString copy;
    copy.Format(u"INSERT INTO kinds(c, n, t) VALUES (%s, '%s', '2024-02-29 13:45:07')",
                m_command.FieldAsString(7).GetString(), m_command.FieldAsString(10).GetString());
    ASSERT_EQ(Run(copy.GetString()), OrvOleDbCommand::dbTrue) << Utf8(m_command.GetErrorInfo(true));
    ASSERT_EQ(Run(u"SELECT c, n, t FROM kinds WHERE s IS NULL"), OrvOleDbCommand::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(m_command.FieldAsString(1), CString(u"1234.5678"));
    EXPECT_EQ(m_command.FieldAsString(2), CString(u"-12345678.9012"));
}

TEST_F(FieldValueTest, ValuesThatDoNotFitTheirDeclaredTypeStillReadAsThemselves) {
    // SQLite keeps any value in any column; the types widen so that the host sees the value.
    ASSERT_EQ(Run(u"INSERT INTO kinds(i, t) VALUES (9999999999, 'not a date')"), OrvOleDbCommand::dbTrue);
    ASSERT_EQ(Run(u"SELECT i, t FROM kinds WHERE s IS NULL"), OrvOleDbCommand::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), OrvOleDbCommand::dbTrue);
    EXPECT_EQ(m_command.GetRawType(1), DBTYPE_I8);
    EXPECT_EQ(m_command.FieldAsString(1), CString(u"9999999999"));
    EXPECT_EQ(m_command.GetRawType(2), DBTYPE_WSTR);
    EXPECT_EQ(m_command.FieldAsString(2), CString(u"not a date"));
}

TEST_F(FieldValueTest, AnOddValueBeyondTheFirstRowsNeverHidesItsRow) {
    ASSERT_EQ(Run(u"CREATE TABLE many(n LONG)"), OrvOleDbCommand::dbTrue);
    ASSERT_EQ(Run(u"WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < 300) "
                  u"INSERT INTO many SELECT CASE WHEN i = 250 THEN 'odd' ELSE i END FROM k"),
              OrvOleDbCommand::dbTrue);
    ASSERT_EQ(Run(u"SELECT n FROM many"), OrvOleDbCommand::dbTrue);
    int rows = 0;
    while (m_command.FetchNext() == OrvOleDbCommand::dbTrue) {
        ++rows;
        if (rows == 250) {
            EXPECT_EQ(m_command.FieldAsString(1), CString(u""));  // its status says it did not fit
        }
    }
    EXPECT_EQ(rows, 300);
}

}  // namespace
