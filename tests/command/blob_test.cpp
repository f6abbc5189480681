// Reading large values of the held row, bound as storage objects or by reference, into a
// caller's buffer or a heap block.
#include <gtest/gtest.h>

#include <vector>

#include "support/fake_provider.h"

using namespace orv::test;
using Status = OrvOleDbCommand::dbStatus;

namespace {

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

TEST_F(BlobTest, AStreamReadIntoABufferContinuesWhereTheLastReadStopped) {
    Hold(DBBLOBHANDLING_DEFAULT, FakeCell::Blob(25000));
    std::vector<unsigned char> buffer(1000);
    for (std::size_t part = 0; part < 3; ++part) {
        ASSERT_EQ(m_command.GetBlobData(2, buffer.data(), 1000), Status::dbTrue);
        EXPECT_TRUE(IsPattern(buffer.data(), 1000, part * 1000)) << "part " << part;
    }
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

TEST_F(BlobTest, TextByReferenceGivesItsCodeUnitsWithoutTerminator) {
    Hold(DBBLOBHANDLING_NOSTREAMS, FakeCell::Text(u"h\u00e9"), DBTYPE_WSTR);
    CHeapPtr<unsigned char> data;
    ASSERT_EQ(m_command.GetBlobData(2, data), 4u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(data.m_pData), 2), u"h\u00e9");
}

TEST_F(BlobTest, ANullValueIsNullInBothForms) {
    for (DBBLOBHANDLINGENUM mode : {DBBLOBHANDLING_DEFAULT, DBBLOBHANDLING_NOSTREAMS}) {
        m_command.Close();
        Hold(mode, FakeCell::Null());
        unsigned char byte = 0;
        EXPECT_EQ(m_command.GetBlobData(2, &byte, 1), Status::dbNull);
        CHeapPtr<unsigned char> data;
        EXPECT_EQ(m_command.GetBlobData(2, data), 0u);
        EXPECT_EQ(data.m_pData, nullptr);
    }
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
