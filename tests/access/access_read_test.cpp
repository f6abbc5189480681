// Genuine Access files read through the library: every field of every table compared with
// what Debian's mdb-export prints, the types as the file declares them, SQL across tables,
// the catalogs, refused writes and refused password-protected files.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "access/access_support.h"
#include "engine/access/access_file.h"

using namespace orv::test;

namespace {

// The date and time parts of "yyyy-mm-dd[ hh:mm:ss]" or "m/d/yyyy[ h:mm:ss[ AM|PM]]".
std::vector<int> DateParts(const std::string& text) {
    std::vector<int> parts;
    int value = -1;
    for (char c : text + " ") {
        if (c >= '0' && c <= '9') value = (value < 0 ? 0 : value * 10) + (c - '0');
        else if (value >= 0) parts.push_back(value), value = -1;
    }
    if (text.find('/') != std::string::npos && parts.size() >= 3) {  // m/d/y -> y, m, d
        std::swap(parts[0], parts[2]);
        std::swap(parts[1], parts[2]);
    }
    if (text.find("PM") != std::string::npos && parts.size() > 3 && parts[3] < 12) parts[3] += 12;
    if (text.find("AM") != std::string::npos && parts.size() > 3 && parts[3] == 12) parts[3] = 0;
    parts.resize(6, 0);
    return parts;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}

// Whether our reading of a field equals mdb-export's text for it.
bool SameField(unsigned short type, const std::string& ours, const std::string& theirs) {
    if (ours == "<null>") return theirs.empty();
    switch (type & ~DBTYPE_BYREF) {
    case DBTYPE_BOOL: return (ours == "True" || ours == "-1" || ours == "1") == (theirs == "1");
    case DBTYPE_UI1:
    case DBTYPE_I2:
    case DBTYPE_I4:
    case DBTYPE_I8:
    case DBTYPE_R4:
    case DBTYPE_R8:
    case DBTYPE_CY:
    case DBTYPE_NUMERIC: {
        const double a = std::stod(ours), b = std::stod(theirs),
                     close = (type & ~DBTYPE_BYREF) == DBTYPE_R4 ? 1e-6 : 1e-9;
        return std::fabs(a - b) <= close * std::max(1.0, std::fabs(b));
    }
    case DBTYPE_DATE: return DateParts(ours) == DateParts(theirs);
    default: return ours == theirs;
    }
}

// Every field of every user table of `file`, through OrvOleDbCommand, against mdb-export.
void CompareWithMdbExport(const std::string& file) {
    AccessConnection connection(file);
    ASSERT_EQ(connection.Result(), S_OK) << connection.Error();
    const std::vector<std::string> tables = MdbTables(file);
    ASSERT_FALSE(tables.empty());
    for (const std::string& table : tables) {
        SCOPED_TRACE(table);
        const auto expected = MdbExport(file, table);
        OrvOleDbCommand command;
        command.SetConnection(&connection.Get());
        command.SetCommandText(CString(orv::platform::Utf8ToUtf16("SELECT * FROM [" + table + "]").c_str()));
        ASSERT_EQ(command.Execute(), OrvOleDbCommand::dbTrue) << Utf8(command.GetErrorInfo(true));
        std::size_t row = 0;
        while (command.FetchNext() == OrvOleDbCommand::dbTrue) {
            ASSERT_LT(row, expected.size());
            ASSERT_EQ(command.GetColumnCount(), expected[row].size());
            for (unsigned __int64 c = 1; c <= command.GetColumnCount(); ++c) {
                const unsigned short type = command.GetRawType(c);
                std::string ours;
                if (command.IsNull(c) == OrvOleDbCommand::dbTrue) {
                    ours = "<null>";
                } else if (command.IsBlob(c) == OrvOleDbCommand::dbTrue) {
                    CHeapPtr<unsigned char> data;
                    const ULONG n = command.GetBlobData(c, data);
                    if ((type & 0xFF) == DBTYPE_WSTR)  // a memo comes as UTF-16
                        ours = orv::platform::Utf16ToUtf8(
                            std::u16string(reinterpret_cast<const char16_t*>(data.m_pData), n / 2));
                    else ours = Hex(std::string(reinterpret_cast<const char*>(data.m_pData), n));
                } else {
                    ours = Utf8(command.FieldAsString(c));
                }
                EXPECT_TRUE(SameField(type, ours, expected[row][c - 1]))
                    << "row " << row + 1 << ", column " << Utf8(command.GetColumnName(c)) << ": ours '" << ours
                    << "', mdb-export '" << expected[row][c - 1] << "'";
            }
            ++row;
        }
        EXPECT_EQ(row, expected.size());
    }
}

// A Jet 3 file and an ACE file.
TEST(AccessRead, EveryFieldOfEitherFormatMatchesMdbExport) {
    for (const char* name : {"traders.mdb", "assets.accdb"}) {
        ORV_NEED_ACCESS_FIXTURE(file, name);
        CompareWithMdbExport(file);
    }
}

// The types, sizes, user tables and catalogs orvsql shows are cases of
// access/cases/orvsql.test; not shown there are the long-column flag, and the MSys tables
// as SYSTEM TABLEs (beside SQLite's own schema table, listed for every store).
TEST(AccessRead, LongColumnsAndSystemTablesInTheCatalogs) {
    ORV_NEED_ACCESS_FIXTURE(file, "traders.mdb");
    AccessConnection connection(file);
    ASSERT_EQ(connection.Result(), S_OK) << connection.Error();
    for (const char16_t* column : {u"Description", u"Picture"}) {
        OrvOleDbColumns columns;
        ASSERT_TRUE(columns.Open(&connection.Get(), nullptr, nullptr, u"Categories", column, false));
        ASSERT_TRUE(columns.FetchNext());
        EXPECT_TRUE(columns.Flags() & DBCOLUMNFLAGS_ISLONG);
    }
    OrvOleDbTables tables;
    ASSERT_TRUE(tables.Open(&connection.Get(), nullptr, nullptr, nullptr, u"SYSTEM TABLE"))
        << Utf8(tables.GetErrorText());
    std::vector<CString> names;
    ASSERT_TRUE(tables.GetTableList(names));
    EXPECT_NE(std::find(names.begin(), names.end(), CString(u"MSysObjects")), names.end());
    for (const CString& name : names)
        EXPECT_TRUE(Utf8(name).rfind("MSys", 0) == 0 || Utf8(name).rfind("sqlite_", 0) == 0) << Utf8(name);
}

TEST(AccessRead, EveryWriteIsRefusedWithTheSentenceAndTheFileStaysAsItWas) {
    ORV_NEED_ACCESS_FIXTURE(fixture, "traders.mdb");
    TempDir dir;
    const std::string file = dir.Path("plant.mdb");
    std::filesystem::copy_file(fixture, file);
    {
        AccessConnection connection(file);
        ASSERT_EQ(connection.Result(), S_OK) << connection.Error();
        EXPECT_TRUE(connection.Get().IsReadOnly());
        for (const char16_t* sql :
             {u"INSERT INTO Shippers (ShipperID, CompanyName) VALUES (9, 'x')", u"UPDATE Shippers SET Phone = '1'",
              u"DELETE FROM Shippers", u"CREATE TABLE t (a LONG)", u"DROP TABLE Shippers",
              u"ALTER TABLE Shippers ADD COLUMN x LONG", u"CREATE INDEX i ON Shippers (Phone)"}) {
            const std::string error = Fails(connection.Get(), sql);
            EXPECT_TRUE(Holds(error, {file, "genuine Access", "read-only", "--convert"}));
        }
        EXPECT_NE(connection.Get().CompactMdb(), S_OK);
        EXPECT_TRUE(Holds(Utf8(connection.Get().GetErrorText()), {"read-only"}));
    }
    EXPECT_EQ(ReadFile(file), ReadFile(fixture));
}

// A copy of `fixture` whose first page says it has a password.
std::string WithPassword(const TempDir& dir, const std::string& fixture) {
    std::string bytes = ReadFile(fixture);
    auto* page = reinterpret_cast<unsigned char*>(bytes.data());
    using namespace orv::engine::access;
    const FileFormat format = DetectFormat(page, bytes.size());
    ToggleHeaderMask(page, bytes.size(), format);
    EXPECT_FALSE(HasDatabasePassword(page, bytes.size(), format));
    page[0x42] ^= 'x';  // the password's first character
    EXPECT_TRUE(HasDatabasePassword(page, bytes.size(), format));
    ToggleHeaderMask(page, bytes.size(), format);
    const std::string path = dir.Path("secret.mdb");
    WriteFile(path, bytes);
    return path;
}

TEST(AccessRead, APasswordProtectedFileIsRefusedWithASentence) {
    for (const char* name : {"traders.mdb", "assets.accdb"}) {
        ORV_NEED_ACCESS_FIXTURE(fixture, name);
        TempDir dir;
        const std::string file = WithPassword(dir, fixture);
        AccessConnection connection(file);
        EXPECT_NE(connection.Result(), S_OK);
        EXPECT_TRUE(Holds(connection.Error(), {"password", file}));
    }
}

TEST(AccessRead, SessionsOnSeveralThreadsReadTheSameRows) {
    ORV_NEED_ACCESS_FIXTURE(file, "traders.mdb");
    const std::u16string sql =
        u"SELECT o.OrderID, SUM(d.UnitPrice * d.Quantity) FROM Orders o "
        u"JOIN [Order Details] d ON d.OrderID = o.OrderID GROUP BY o.OrderID";
    std::vector<std::vector<std::string>> results[4];
    std::vector<std::thread> threads;
    for (auto& result : results)
        threads.emplace_back([&] {
            AccessConnection connection(file);
            if (connection.Result() == S_OK) result = connection.Rows(sql);
        });
    for (auto& t : threads) t.join();
    EXPECT_GT(results[0].size(), 800u);
    for (const auto& result : results) EXPECT_EQ(result, results[0]);
}

}  // namespace
