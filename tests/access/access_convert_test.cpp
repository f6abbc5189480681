// Conversion of genuine Access files into engine database files: the library call and
// orvsql --convert. The copy answers SQL as the source does, keeps keys, indexes and the
// counter, and appears only whole; a conversion never writes over a file.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include "access/access_support.h"

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

    // Keys, indexes and the counter, which continues after the highest value.
    OrvOleDbIndexes indexes;
    ASSERT_TRUE(indexes.Open(&converted.Get(), nullptr, nullptr, u"Order Details", nullptr));
    std::vector<std::string> key;
    bool productIndex = false;
    while (indexes.FetchNext()) {
        CString name, column;
        indexes.GetName(name);
        indexes.GetColumnName(column);
        if (Utf8(name) == "PrimaryKey") key.push_back(Utf8(column));
        productIndex = productIndex || Utf8(column) == "ProductID";
    }
    EXPECT_EQ(key, (std::vector<std::string>{"OrderID", "ProductID"}));
    EXPECT_TRUE(productIndex);
    const std::string highest = converted.Rows(u"SELECT MAX(OrderID) FROM Orders")[0][0];
    converted.Rows(u"INSERT INTO Orders (CustomerID) VALUES ('ALFKI')");
    EXPECT_EQ(converted.Rows(u"SELECT MAX(OrderID) FROM Orders")[0][0], std::to_string(std::stol(highest) + 1));
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

TEST_F(AccessConvert, NothingIsEverWrittenOverAFileOrLeftHalfDone) {
    ORV_NEED_ACCESS_FIXTURE(source, "traders.mdb");
    OrvOleDbErrorInfo error;
    // An existing destination stays as it was.
    const std::string existing = m_dir.Path("existing.mdb");
    WriteFile(existing, "keep me");
    EXPECT_NE(Convert(source, existing, error), S_OK);
    EXPECT_NE(Utf8(error.GetErrorText()).find(existing), std::string::npos) << Utf8(error.GetErrorText());
    EXPECT_EQ(ReadFile(existing), "keep me");
    // A conversion the host stops leaves nothing behind.
    ProgressSeen stop;
    stop.stopAfter = 2;
    const std::string stopped = m_dir.Path("stopped.mdb");
    EXPECT_NE(Convert(source, stopped, error, &stop), S_OK);
    EXPECT_NE(Utf8(error.GetErrorText()).find("stopped"), std::string::npos) << Utf8(error.GetErrorText());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.Path("")), {}), 1);
    // A source that is no Access file is named.
    const std::string plain = m_dir.Path("plain.mdb");
    MakeDatabase(plain);
    EXPECT_NE(Convert(plain, m_dir.Path("out.mdb"), error), S_OK);
    EXPECT_NE(Utf8(error.GetErrorText()).find("no genuine Access database"), std::string::npos);
    EXPECT_FALSE(Exists(m_dir.Path("out.mdb")));
}

int ExitStatus(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(AccessConvert, OrvsqlConvertsAndRefusesToOverwrite) {
    ORV_NEED_ACCESS_FIXTURE(source, "traders.mdb");
    const std::string copy = m_dir.Path("traders copy.mdb");
    const std::string command = std::string(ORVSQL) + " --convert " + ShellQuote(source) + " " + ShellQuote(copy);
    EXPECT_EQ(ExitStatus(command + " > /dev/null"), 0);
    AccessConnection converted(copy);
    EXPECT_EQ(converted.Rows(u"SELECT COUNT(*) FROM Orders")[0][0], std::to_string(MdbExport(source, "Orders").size()));
    EXPECT_EQ(ExitStatus(command + " > /dev/null 2>&1"), 1);
    EXPECT_EQ(ExitStatus(std::string(ORVSQL) + " --convert " + ShellQuote(source) + " 2> /dev/null"), 2);
}

}  // namespace
