// Conversion of genuine Access files into engine database files: the library call and
// orvsql --convert. The copy answers SQL as the source does, keeps keys, indexes and the
// counter, and appears only whole; a conversion never writes over a file.
#include <gtest/gtest.h>

#include "access/access_support.h"
#include "tools/shell_cases.h"

using namespace orv::test;

namespace {

struct ProgressSeen {
    ULONGLONG calls = 0, lastDone = 0, lastTotal = 0;
    ULONGLONG stopAfter = ~0ull;
};

bool Record(ULONGLONG done, ULONGLONG total, void* context) {
    auto* seen = static_cast<ProgressSeen*>(context);
    ++seen->calls;
    EXPECT_GE(done, seen->lastDone);
    seen->lastDone = done;
    seen->lastTotal = total;
    return seen->calls < seen->stopAfter;
}

HRESULT Convert(const std::string& source, const std::string& destination, OrvOleDbErrorInfo& error,
                ProgressSeen* progress = nullptr) {
    return OrvOleDbConnection::ConvertMdbFile(CComBSTR(orv::platform::Utf8ToUtf16(source).c_str()),
                                              CComBSTR(orv::platform::Utf8ToUtf16(destination).c_str()), error,
                                              progress ? Record : nullptr, progress);
}

class AccessConvert : public ::testing::Test {
protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }
    TempDir m_dir;
};

TEST_F(AccessConvert, TheCopyAnswersAsTheSourceDoesAndKeepsItsSchema) {
    ORV_NEED_ACCESS_FIXTURE(source, "traders.mdb");
    const std::string copy = m_dir.Path("traders.db");
    OrvOleDbErrorInfo error;
    ProgressSeen progress;
    ASSERT_EQ(Convert(source, copy, error, &progress), S_OK) << Utf8(error.GetErrorText());
    EXPECT_GT(progress.calls, 1u);
    EXPECT_EQ(progress.lastDone, progress.lastTotal);

    AccessConnection original(source), converted(copy);
    ASSERT_EQ(converted.Result(), S_OK) << converted.Error();
    EXPECT_FALSE(converted.Get().IsReadOnly());
    for (const char16_t* sql :
         {u"SELECT c.Country, COUNT(*), SUM(d.UnitPrice * d.Quantity * (1 - d.Discount)) FROM Customers c "
          u"JOIN Orders o ON o.CustomerID = c.CustomerID JOIN [Order Details] d ON d.OrderID = o.OrderID "
          u"GROUP BY c.Country ORDER BY c.Country",
          u"SELECT * FROM [Umsätze] ORDER BY OrderID", u"SELECT * FROM Products ORDER BY ProductID",
          u"SELECT CategoryID, Description, Len(Picture) FROM Categories ORDER BY CategoryID",
          u"SELECT TOP 5 OrderID, OrderDate FROM Orders WHERE OrderDate >= #1995-01-01# ORDER BY OrderDate, OrderID"}) {
        EXPECT_EQ(converted.Rows(sql), original.Rows(sql)) << orv::platform::Utf16ToUtf8(sql);
    }

    // Keys, indexes and the counter: a case of access/cases/orvsql.test.
}

TEST_F(AccessConvert, AnAceFileConvertsToo) {
    ORV_NEED_ACCESS_FIXTURE(source, "assets.accdb");
    const std::string copy = m_dir.Path("assets.mdb");
    OrvOleDbErrorInfo error;
    ASSERT_EQ(Convert(source, copy, error), S_OK) << Utf8(error.GetErrorText());
    AccessConnection original(source), converted(copy);
    const char16_t* sql = u"SELECT * FROM [Asset Items] ORDER BY [Asset No]";
    EXPECT_EQ(converted.Rows(sql), original.Rows(sql));
}

// A conversion the host stops leaves nothing behind. (An existing destination, and a
// source that is no Access file, are cases of access/cases/orvsql.test.)
TEST_F(AccessConvert, AStoppedConversionLeavesNothingBehind) {
    ORV_NEED_ACCESS_FIXTURE(source, "traders.mdb");
    OrvOleDbErrorInfo error;
    ProgressSeen stop;
    stop.stopAfter = 2;
    EXPECT_NE(Convert(source, m_dir.Path("stopped.mdb"), error, &stop), S_OK);
    EXPECT_TRUE(Holds(Utf8(error.GetErrorText()), {"stopped"}));
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.Path("")));
}

// orvsql on the Access files: the cases of access/cases/*.test, with $TRADERS and $ASSETS
// naming the two files.
class AccessShellCaseTest : public ::testing::TestWithParam<ShellCase> {};

TEST_P(AccessShellCaseTest, Runs) {
    ORV_NEED_ACCESS_FIXTURE(traders, "traders.mdb");
    ORV_NEED_ACCESS_FIXTURE(assets, "assets.accdb");
    RunShellCase(GetParam(), {{"$TRADERS", traders}, {"$ASSETS", assets}});
}

INSTANTIATE_TEST_SUITE_P(Access, AccessShellCaseTest, ::testing::ValuesIn(ReadShellCases(ORV_TEST_CASES)),
                         [](const auto& info) { return info.param.name; });

}  // namespace
