// OrvOleDbCommand on real database files through the embedded engine: statements, every
// cursor path, column descriptions, field values of every type, large values; and input a
// host should not send but may: half surrogate pairs in SQL text and in values,
// values at the sizes where buffers change (a 1 MiB text, a 16 MiB blob), and null or
// empty arguments where the interface takes pointers. Each gives its documented result on
// a real database file, never a crash.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

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

// Cancel from another thread stops a statement that would never end by itself; the
// transaction it ran in and the connection go on, and a Cancel with nothing running leaves
// the next statement alone.
TEST_F(CommandOnFileTest, CancelFromAnotherThreadStopsTheRunningStatement) {
    EXPECT_TRUE(m_command.Cancel());  // nothing running
    ASSERT_EQ(Run(u"SELECT COUNT(*) FROM parts"), Status::dbTrue);

    ASSERT_TRUE(m_connection.StartTransaction());
    ASSERT_EQ(Run(u"INSERT INTO parts(id, name) VALUES (6, 'pin')"), Status::dbTrue);
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
    EXPECT_EQ(status, Status::dbError);
    EXPECT_NE(m_command.GetErrorText().Find(u"cancelled"), -1) << Utf8(m_command.GetErrorText());
    EXPECT_NE(m_command.GetErrorText().Find(u"HY008"), -1) << Utf8(m_command.GetErrorText());

    ASSERT_EQ(Run(u"SELECT COUNT(*) FROM parts"), Status::dbTrue) << Utf8(m_command.GetErrorText());
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(m_command.FieldAsLong(1), 6);  // the insert before it stands
    ASSERT_TRUE(m_connection.Rollback());
}

// The ends of the currency range, of the dates and of the doubles, written as SQL literals
// and by the statement builder, read back as they were written.
TEST_F(CommandOnFileTest, ValuesAtTheEdgesOfTheirTypesRoundTrip) {
    ASSERT_EQ(Run(u"CREATE TABLE m (id LONG, c CURRENCY, d DATETIME, r DOUBLE)"), Status::dbTrue);
    ASSERT_EQ(Run(u"INSERT INTO m VALUES (1, 922337203685477.5807, #1/1/100#, 1.7976931348623157e308)"), Status::dbTrue)
        << Utf8(m_command.GetErrorInfo(true));
    OrvOleDbDDLCommand insert;
    insert.SetConnection(&m_connection);
    insert.SetTable(u"m");
    insert.AddColumn(u"id", u"%d", 2);
    insert.AddColumn(u"c", u"%s", u"-922337203685477.5808");
    insert.AddColumn(u"d", u"#%s#", u"12/31/9999 11:59:59 PM");
    insert.AddColumn(u"r", u"%s", u"4.9406564584124654e-324");
    ASSERT_TRUE(insert.Insert()) << Utf8(insert.GetErrorInfo(true));

    ASSERT_EQ(Run(u"SELECT c, d, r FROM m ORDER BY id"), Status::dbTrue);
    const struct {
        const char16_t* currency;
        WORD year, month, day, hour;
        double real;
    } expected[] = {{u"922337203685477.5807", 100, 1, 1, 0, 1.7976931348623157e308},
                    {u"-922337203685477.5808", 9999, 12, 31, 23, 4.9406564584124654e-324}};
    for (const auto& row : expected) {
        ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
        EXPECT_EQ(m_command.FieldAsString(1), CString(row.currency));
        VARIANT v;
        ASSERT_TRUE(m_command.FieldAsVariant(2, v));
        ASSERT_EQ(v.vt, VT_DATE);
        SYSTEMTIME st = {};
        ASSERT_TRUE(VariantTimeToSystemTime(v.date, &st));
        EXPECT_EQ(std::tuple(st.wYear, st.wMonth, st.wDay, st.wHour),
                  std::tuple(row.year, row.month, row.day, row.hour));
        EXPECT_EQ(m_command.FieldAsDouble(3), row.real);
    }
}

// Rows of one result share one row buffer, so a short value follows a long one over the
// long one's bytes: what a field reads must end where its own value ends.
TEST_F(CommandOnFileTest, FieldsOfSuccessiveRowsNeverShowTheLastRowsBytes) {
    ASSERT_EQ(Run(u"CREATE TABLE t (id INTEGER, s TEXT, r REAL)"), Status::dbTrue);
    ASSERT_EQ(Run(u"INSERT INTO t VALUES (1, hex(zeroblob(3000)), 1e300), (2, 'ab', -0.5), (3, '', 9e999),"
                  u" (4, NULL, -9e999), (5, 'x' || char(0) || 'yz', 0.1), (6, '12345678', 2.5), (7, '42', NULL)"),
              Status::dbTrue)
        << Utf8(m_command.GetErrorInfo(true));
    ASSERT_EQ(Run(u"SELECT id, s, r FROM t ORDER BY id"), Status::dbTrue);
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
        ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
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
    EXPECT_EQ(m_command.FetchNext(), Status::dbFalse);
}

// ---- Large values: by reference (the default) and as storage objects ------------------------

class LargeValueTest : public CommandOnFileTest, public ::testing::WithParamInterface<DBBLOBHANDLINGENUM> {};

TEST_P(LargeValueTest, LongTextAndBinaryReadAsBytes) {
    ASSERT_EQ(Run(u"UPDATE parts SET note = 'long note ' || hex(zeroblob(6000)), picture = zeroblob(25000) "
                  u"WHERE id = 2"),
              Status::dbTrue);
    ASSERT_EQ(Run(u"UPDATE parts SET note = '', picture = x'' WHERE id = 3"), Status::dbTrue);
    m_command.Close();  // the mode changes only while nothing is open
    ASSERT_TRUE(m_command.SetBlobHandling(GetParam()));
    ASSERT_EQ(Run(u"SELECT note, picture, name FROM parts WHERE id IN (1, 2, 3) ORDER BY id"), Status::dbTrue)
        << Utf8(m_command.GetErrorInfo(true));
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(m_command.IsBlob(1), Status::dbTrue);
    EXPECT_EQ(m_command.IsBlob(2), Status::dbTrue);
    EXPECT_EQ(m_command.IsBlob(3), Status::dbFalse);
    EXPECT_EQ(m_command.IsNull(1), Status::dbTrue);
    CHeapPtr<unsigned char> none;
    EXPECT_EQ(m_command.GetBlobData(1, none), 0u);
    EXPECT_EQ(none.m_pData, nullptr);
    char buffer[16];
    EXPECT_EQ(m_command.GetBlobData(2, buffer, sizeof buffer), Status::dbNull);

    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
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
        EXPECT_EQ(m_command.GetBlobData(2, buffer, sizeof buffer), Status::dbTruncated);
    } else {
        EXPECT_EQ(m_command.GetRawType(2), DBTYPE_IUNKNOWN);
        CHeapPtr<unsigned char> again;
        EXPECT_EQ(m_command.GetBlobData(2, again), 0u);  // the stream was read to its end
        EXPECT_EQ(again.m_pData, nullptr);
    }
    // Empty values, not NULL: nothing to read, and no block.
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(m_command.IsNull(2), Status::dbFalse);
    for (unsigned __int64 col : {1, 2}) {
        CHeapPtr<unsigned char> empty;
        EXPECT_EQ(m_command.GetBlobData(col, empty), 0u);
        EXPECT_EQ(empty.m_pData, nullptr);
    }
    if (GetParam() == DBBLOBHANDLING_NOSTREAMS) {
        EXPECT_EQ(m_command.GetBlobData(2, nullptr, 0), Status::dbTrue);
    }
    // As variants the values are whole, whatever the mode.
    ASSERT_EQ(Run(u"SELECT note, picture FROM parts WHERE id = 2"), Status::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    VARIANT v;
    ASSERT_TRUE(m_command.FieldAsVariant(1, v));
    ASSERT_EQ(v.vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(v.bstrVal), 10u + 12000u);
    EXPECT_EQ(std::u16string(v.bstrVal, 12), u"long note 00");
    VariantClear(&v);
    ASSERT_TRUE(m_command.FieldAsVariant(2, v));
    ASSERT_EQ(v.vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(v.parray->rgsabound[0].cElements, 25000u);
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
                  Status::dbTrue);
        ASSERT_EQ(Run(u"INSERT INTO kinds VALUES (-12, 2147483647, 9007199254740993, 200, 1.5, -2.7, 1234.5678,"
                      u" '2024-02-29 13:45:07', 1, '-12345678.9012',"
                      u" '{6B29FC40-CA47-1067-B31D-00DD010662DA}', 'text  ', x'00FF10')"),
                  Status::dbTrue)
            << Utf8(m_command.GetErrorInfo(true));
        ASSERT_EQ(Run(u"SELECT * FROM kinds"), Status::dbTrue);
        ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    }
};

// Each column of the row in its own OLE DB and variant type, and as a user reads it as
// text (the date in the en_US locale), as a 32-bit integer, as a 64-bit one and as a double.
TEST_F(FieldValueTest, EachTypeReadsInItsOwnTypeAndAsAUserReadsIt) {
    const struct {
        DBTYPE type;
        VARTYPE vt;
        const char16_t* text;
        LONG number;
        LONGLONG int64;
        double real;
    } expected[] = {{DBTYPE_I2, VT_I2, u"-12", -12, -12, -12},
                    {DBTYPE_I4, VT_I4, u"2147483647", 2147483647, 2147483647, 2147483647},
                    {DBTYPE_I8, VT_I8, u"9007199254740993", 1, 9007199254740993LL, 9007199254740992.0},  // every digit
                    {DBTYPE_UI1, VT_UI1, u"200", 200, 200, 200},
                    {DBTYPE_R4, VT_R4, u"1.500000", 1, 1, 1.5},
                    {DBTYPE_R8, VT_R8, u"-2.700000", -2, -2, -2.7},  // toward zero
                    {DBTYPE_CY, VT_CY, u"1234.5678", 1234, 1234, 1234.5678},
                    {DBTYPE_DATE, VT_DATE, u"2/29/2024 1:45:07 PM", 45352, 45351, 45351 + 49507.0 / 86400},
                    {DBTYPE_BOOL, VT_BOOL, u"True", -1, -1, -1},
                    {DBTYPE_NUMERIC, VT_DECIMAL, u"-12345678.9012", 0, -12345678, -12345678.9012},  // no 32-bit reading
                    {DBTYPE_GUID, VT_BSTR, u"6b29fc40-ca47-1067-b31d-00dd010662da", 0, 0, 0},
                    {DBTYPE_WSTR, VT_BSTR, u"text  ", 0, 0, 0},  // text that is no number
                    {DBTYPE_BYTES, VT_ARRAY | VT_UI1, u"", 0, 0, 0}};
    setenv("LC_ALL", "en_US.UTF-8", 1);
    for (unsigned __int64 c = 1; c <= 13; ++c) {
        const auto& e = expected[c - 1];
        SCOPED_TRACE(testing::Message() << "column " << c);
        EXPECT_EQ(m_command.GetRawType(c), e.type);
        EXPECT_EQ(m_command.FieldAsString(c), CString(e.text));
        EXPECT_EQ(m_command.FieldAsLong(c), e.number);
        EXPECT_EQ(m_command.FieldAsInt64(c), e.int64);
        EXPECT_NEAR(m_command.FieldAsDouble(c), e.real, std::abs(e.real) * 1e-15);
        VARIANT v;
        ASSERT_TRUE(m_command.FieldAsVariant(c, v));
        EXPECT_EQ(v.vt, e.vt);
        VariantClear(&v);
    }
    unsetenv("LC_ALL");

    VARIANT v;
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
}

TEST_F(FieldValueTest, TypedReadsOfNullOutOfRangeAndClosedCommands) {
    ASSERT_EQ(Run(u"SELECT s, 1e300 AS huge, i FROM kinds UNION ALL SELECT NULL, NULL, NULL"), Status::dbTrue);
    ASSERT_EQ(m_command.FetchLast(), Status::dbTrue);
    VARIANT v;
    ASSERT_TRUE(m_command.FieldAsVariant(1, v));
    EXPECT_EQ(v.vt, VT_NULL);
    EXPECT_EQ(m_command.FieldAsInt64(1), 0);
    EXPECT_EQ(m_command.FieldAsDouble(1), 0.0);
    ASSERT_EQ(m_command.FetchFirst(), Status::dbTrue);
    EXPECT_EQ(m_command.FieldAsInt64(2), 0);  // beyond 64 bits
    EXPECT_EQ(m_command.FieldAsDouble(2), 1e300);
    EXPECT_FALSE(m_command.FieldAsVariant(0, v));
    EXPECT_FALSE(m_command.FieldAsVariant(4, v));
    m_command.Close();
    EXPECT_FALSE(m_command.FieldAsVariant(1, v));
    EXPECT_EQ(m_command.FieldAsInt64(3), 0);
}

TEST_F(FieldValueTest, ValuesThatDoNotFitTheirDeclaredTypeStillReadAsThemselves) {
    // SQLite keeps any value in any column; the types widen so that the host sees the value.
    ASSERT_EQ(Run(u"INSERT INTO kinds(i, t) VALUES (9999999999, 'not a date')"), Status::dbTrue);
    ASSERT_EQ(Run(u"SELECT i, t FROM kinds WHERE s IS NULL"), Status::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(m_command.GetRawType(1), DBTYPE_I8);
    EXPECT_EQ(m_command.FieldAsString(1), CString(u"9999999999"));
    EXPECT_EQ(m_command.GetRawType(2), DBTYPE_WSTR);
    EXPECT_EQ(m_command.FieldAsString(2), CString(u"not a date"));
}

TEST_F(FieldValueTest, AnOddValueBeyondTheFirstRowsNeverHidesItsRow) {
    ASSERT_EQ(Run(u"CREATE TABLE many(n LONG)"), Status::dbTrue);
    ASSERT_EQ(Run(u"WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < 300) "
                  u"INSERT INTO many SELECT CASE WHEN i = 250 THEN 'odd' ELSE i END FROM k"),
              Status::dbTrue);
    ASSERT_EQ(Run(u"SELECT n FROM many"), Status::dbTrue);
    int rows = 0;
    while (m_command.FetchNext() == Status::dbTrue) {
        ++rows;
        if (rows == 250) {
            EXPECT_EQ(m_command.FieldAsString(1), CString(u""));  // its status says it did not fit
        }
    }
    EXPECT_EQ(rows, 300);
}

class BadInputTest : public OnDatabaseFile {
protected:
    void SetUp() override {
        OnDatabaseFile::SetUp();
        Open("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT(50), memo MEMO, data LONGBINARY)");
    }
    // A long value of the first row of `sql`, read whole with GetBlobData.
    std::vector<unsigned char> Blob(const std::u16string& sql) {
        if (Run(sql) != Status::dbTrue || m_command.FetchNext() != Status::dbTrue) return {};
        CHeapPtr<unsigned char> data;
        ULONG n = m_command.GetBlobData(1, data);
        return n ? std::vector<unsigned char>(data.m_pData, data.m_pData + n) : std::vector<unsigned char>();
    }
};

TEST_F(BadInputTest, HalfSurrogatePairsBecomeReplacementCharacters) {
    // In a literal: stored and read back with U+FFFD in the place of each half pair.
    const std::u16string lone = std::u16string(u"a") + char16_t(0xD800) + u"b" + char16_t(0xDC00);
    ASSERT_EQ(Run(u"INSERT INTO t(id, name) VALUES(1, '" + lone + u"')"), Status::dbTrue)
        << Utf8(m_command.GetErrorText());
    EXPECT_EQ(One(u"SELECT name FROM t WHERE id = 1"), u"a\uFFFDb\uFFFD");
    // In a comment and in a name: the statement runs, or fails with a text, as any other.
    EXPECT_EQ(Run(u"SELECT 1 /* " + lone + u" */"), Status::dbTrue);
    EXPECT_EQ(Run(u"SELECT * FROM t" + lone), Status::dbError);
    EXPECT_NE(m_command.GetErrorText().Str().find(u"o such table"), std::u16string::npos)
        << Utf8(m_command.GetErrorText());
    // A whole pair stays whole.
    ASSERT_EQ(Run(u"INSERT INTO t(id, name) VALUES(2, '\U0001F600')"), Status::dbTrue);
    EXPECT_EQ(One(u"SELECT name FROM t WHERE id = 2"), u"\U0001F600");
}

TEST_F(BadInputTest, AMebibyteOfTextGoesThroughSqlAndReadsBackWhole) {
    std::u16string text;
    for (std::size_t i = 0; text.size() < (1u << 20); ++i)
        text += u"line " + std::u16string(1, u'0' + i % 10) + u" \u00E9\U0001F600\n";
    text.resize(1u << 20);
    if ((text.back() & 0xFC00) == 0xD800) text.back() = u'x';  // no half pair at the end
    ASSERT_EQ(Run(u"INSERT INTO t(id, memo) VALUES(1, '" + text + u"')"), Status::dbTrue)
        << Utf8(m_command.GetErrorText());
    std::size_t characters = 0;  // as SQLite counts them: a pair is one
    for (char16_t c : text) characters += (c & 0xFC00) != 0xDC00;
    EXPECT_EQ(One(u"SELECT length(memo) FROM t"), orv::platform::Utf8ToUtf16(std::to_string(characters)));
    std::vector<unsigned char> read = Blob(u"SELECT memo FROM t");
    ASSERT_EQ(read.size(), text.size() * 2);
    EXPECT_EQ(std::memcmp(read.data(), text.data(), read.size()), 0);
}

TEST_F(BadInputTest, SixteenMebibytesOfBytesReadBackWholeAndInPieces) {
    const std::size_t size = 16u << 20;
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(m_dir.Path("plant.mdb").c_str(), &db), SQLITE_OK);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO t(id, data) VALUES(1, ?)", -1, &insert, nullptr);
        sqlite3_bind_blob(insert, 1, bytes.data(), static_cast<int>(size), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
        sqlite3_finalize(insert);
        sqlite3_close(db);
    }
    EXPECT_TRUE(Blob(u"SELECT data FROM t") == bytes);
    // By reference, as a command holds long values unless told otherwise: a buffer too
    // small for the value takes its beginning.
    std::vector<unsigned char> piece(1u << 20);
    ASSERT_EQ(Run(u"SELECT data FROM t"), Status::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    ASSERT_EQ(m_command.GetRawType(1), DBTYPE_BYTES | DBTYPE_BYREF);
    EXPECT_EQ(m_command.GetBlobData(1, piece.data(), static_cast<ULONG>(piece.size())), Status::dbTruncated);
    EXPECT_EQ(std::memcmp(piece.data(), bytes.data(), piece.size()), 0);
    // As a storage object: each read continues where the last one stopped.
    m_command.Close();
    ASSERT_TRUE(m_command.SetBlobHandling(DBBLOBHANDLING_DEFAULT));
    ASSERT_EQ(Run(u"SELECT data FROM t"), Status::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    ASSERT_NE(m_command.GetRawType(1), DBTYPE_BYTES | DBTYPE_BYREF);
    for (std::size_t at = 0; at < size; at += piece.size()) {
        ASSERT_EQ(m_command.GetBlobData(1, piece.data(), static_cast<ULONG>(piece.size())), Status::dbTrue);
        ASSERT_EQ(std::memcmp(piece.data(), bytes.data() + at, piece.size()), 0) << "at " << at;
    }
}

TEST_F(BadInputTest, NullAndEmptyArgumentsGiveTheirDocumentedResults) {
    // No text: dbError without a provider call.
    EXPECT_EQ(Run(u""), Status::dbError);
    // Column numbers outside 1..count, before and after a fetch.
    ASSERT_EQ(Run(u"SELECT 7 AS seven"), Status::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    for (unsigned __int64 col : {0ull, 2ull, ~0ull}) {
        EXPECT_EQ(m_command.FieldAsString(col), u"");
        EXPECT_EQ(m_command.FieldAsLong(col), 0);
        EXPECT_EQ(m_command.IsNull(col), Status::dbError);
        EXPECT_EQ(m_command.GetColumnName(col), u"");
        CHeapPtr<unsigned char> data;
        EXPECT_EQ(m_command.GetBlobData(col, data), 0u);
        EXPECT_EQ(m_command.GetBlobData(col, nullptr, 0), Status::dbError);
    }
    EXPECT_EQ(m_command.GetColumnIndex(CString()), 0u);
    EXPECT_EQ(m_command.FieldAsLong(1), 7);

    // A connection string or a path that is null.
    OrvOleDbConnection none;
    EXPECT_NE(none.OpenFromInitializationString(CComBSTR(), false), S_OK);
    EXPECT_FALSE(none.GetErrorText().IsEmpty());
    OrvOleDbErrorInfo error;
    EXPECT_NE(OrvOleDbConnection::CreateMdbFile(CComBSTR(InitFor(u"").c_str()), CComBSTR(), error), S_OK);
    EXPECT_FALSE(error.GetErrorText().IsEmpty());
}

}  // namespace
