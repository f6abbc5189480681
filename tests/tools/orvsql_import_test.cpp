// orvsql's .import over many rows: every value arrives as written, and a row that cannot
// be stored is named by its number in the file.
#include <gtest/gtest.h>

#include <string>

#include "support/files.h"
#include "tools/shell_process.h"

namespace {

using orv::test::MakeDatabase;
using orv::test::RunShell;
using orv::test::TempDir;
using orv::test::WriteFile;

class OrvsqlImportTest : public ::testing::Test {
protected:
    TempDir m_dir;
    std::string m_db = m_dir.Path("d.db");
};

TEST_F(OrvsqlImportTest, ManyRowsArriveAsWrittenAndAFailureNamesItsRow) {
    // 1,000 rows, several statements' worth: quotes, commas and empty fields.
    std::string csv = "id,name,code,qty\r\n";
    for (int i = 1; i <= 1000; ++i)
        csv += std::to_string(i) + ",\"it's \"\"row\"\", " + std::to_string(i) + "\"," +
               (i % 4 == 0 ? std::string() : "c00" + std::to_string(i)) + "," + std::to_string(i % 7) + "\r\n";
    WriteFile(m_dir.Path("rows.csv"), csv);
    MakeDatabase(m_db, "CREATE TABLE r (id INTEGER PRIMARY KEY, name TEXT(40), code TEXT(10), qty LONG)");
    auto r = RunShell(m_dir, {m_db, ".import " + m_dir.Path("rows.csv") + " r"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("imported 1000 rows"), std::string::npos) << r.out;
    r = RunShell(m_dir, {"--csv", m_db,
                         "SELECT COUNT(*), SUM(qty), SUM(code IS NULL), MAX(name), MIN(code) FROM r "
                         "WHERE name = 'it''s \"row\", ' || id"});
    EXPECT_EQ(r.out,
              "COUNT(*),SUM(qty),SUM(code IS NULL),MAX(name),MIN(code)\r\n"
              "1000,3003,250,\"it's \"\"row\"\", 999\",c001\r\n")
        << r.err;

    // Row 1001 repeats a key: nothing of the file is kept, and the row is named.
    csv += "700,again,x,1\r\n";
    WriteFile(m_dir.Path("rows.csv"), csv);
    MakeDatabase(m_db, "DELETE FROM r");
    r = RunShell(m_dir, {m_db, ".import " + m_dir.Path("rows.csv") + " r"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("row 1001 could not be copied"), std::string::npos) << r.err;
    EXPECT_EQ(RunShell(m_dir, {"--csv", m_db, "SELECT COUNT(*) AS n FROM r"}).out, "n\r\n0\r\n");
}

}  // namespace
