// Input a host should not send but may: half surrogate pairs in SQL text and in values,
// values at the sizes where buffers change (a 1 MiB text, a 16 MiB blob), and null or
// empty arguments where the interface takes pointers. Each gives its documented result on
// a real database file, never a crash.
#include <gtest/gtest.h>

#include <vector>

#include "support/library_fixture.h"

using namespace orv::test;

namespace {

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
    CComBSTR init;
    EXPECT_FALSE(OrvOleDbHelper::FormatConnectString(init, nullptr, nullptr, nullptr, ProviderName, nullptr, nullptr));
    EXPECT_TRUE(OrvOleDbHelper::FormatConnectString(init, u"x.mdb", nullptr, nullptr, ProviderName, nullptr, nullptr));
}

}  // namespace
