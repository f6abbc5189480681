// Hostile files and hostile SQL: a small workbook that claims a huge sheet, strings shared
// by many cells, a giant cell, files too wide for a table, and statements that try to
// reach files outside the connection's data. Each must fail alone, with a sentence that
// names the file and the limit, and never take the process down.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/workbook/workbook.h"
#include "support/engine_session.h"
#include "support/query_text.h"
#include "support/xlsx_parts.h"
#include "support/holds.h"

using namespace orv::test;
using orv::platform::Utf16ToUtf8;

namespace {

using HostileInputTest = SessionTest;

// ---- Workbooks: memory follows the cells, not the rectangle or the copies -------------------

TEST_F(HostileInputTest, ATinyWorkbookWithFarApartCellsReadsInLittleMemory) {
    // Two cells, A1 and BXW1048576: a rectangle of 1,999 columns by 1,048,576 rows that used
    // to be laid out as a grid of two billion places.
    WriteArchive(m_dir.Path("far.xlsx"),
                 OneSheet("<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>head</t></is></c></row>"
                          "<row r=\"1048576\"><c r=\"BXW1048576\"><v>7</v></c></row>"));
    OpenWorkbook("far.xlsx");
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM [S$]"), u"1048575");
    EXPECT_EQ(Scalar(u"SELECT F1999 FROM [S$] WHERE F1999 IS NOT NULL"), u"7");
    // Writes find their place in the same sparse table.
    ASSERT_EQ(RunSql(m_session, u"UPDATE [S$] SET head = 'x' WHERE F1999 = 7"), S_OK)
        << Utf16ToUtf8(LastErrorDescription());
}

TEST_F(HostileInputTest, ASharedStringIsKeptOnceHoweverManyCellsUseIt) {
    const std::string big(4 << 20, 'x');
    std::string rows = "<row r=\"1\"><c t=\"inlineStr\"><is><t>h</t></is></c></row>";
    for (int r = 2; r <= 4097; ++r) rows += "<row r=\"" + std::to_string(r) + "\"><c t=\"s\"><v>0</v></c></row>";
    WriteArchive(m_dir.Path("shared.xlsx"),
                 OneSheet(rows, "<sst xmlns=\"" + std::string(kMain) + "\"><si><t>" + big + "</t></si></sst>"));
    orv::engine::workbook::Workbook book;
    std::string error;
    ASSERT_TRUE(orv::engine::workbook::LoadXlsx(m_dir.Path("shared.xlsx"), book, error)) << error;
    const auto& cells = book.sheets[0].cells;
    ASSERT_EQ(cells.size(), 4097u);
    for (std::size_t i = 1; i < cells.size(); ++i) {
        ASSERT_EQ(&cells[i].cell.Text(), &book.sharedStrings[0]);  // one string, not 16 GiB of copies
        ASSERT_TRUE(cells[i].cell.text.empty());
    }
    OpenWorkbook("shared.xlsx");
    EXPECT_EQ(Scalar(u"SELECT count(*), max(length(h)) FROM [S$] WHERE rowid % 1024 = 0"), u"4");
    EXPECT_EQ(QueryText(m_session, u"SELECT max(length(h)) FROM [S$] WHERE rowid = 4096").rows[0][0], u"4194304");
}

TEST_F(HostileInputTest, AGiantCellIsRefusedNamingTheCellAndTheLimit) {
    const std::string giant(orv::engine::workbook::kMaxCellTextBytes + 1, 'y');
    WriteArchive(m_dir.Path("giant.xlsx"),
                 OneSheet("<row r=\"1\"><c r=\"B1\" t=\"inlineStr\"><is><t>" + giant + "</t></is></c></row>"));
    orv::engine::workbook::Workbook book;
    std::string error;
    EXPECT_FALSE(orv::engine::workbook::LoadXlsx(m_dir.Path("giant.xlsx"), book, error));
    EXPECT_TRUE(Holds(error, {"cell B1 of the sheet 'S'", "16 MiB"}));
}

TEST_F(HostileInputTest, OneSheetTooWideForATableFailsAloneNamingItsWidth) {
    WriteArchive(m_dir.Path("wide.xlsx"),
                 Sheets({{"Good",
                          "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>n</t></is></c></row>"
                          "<row r=\"2\"><c r=\"A2\"><v>5</v></c></row>"},
                         {"Wide", "<row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"CVW1\"><v>2</v></c></row>"}}));
    OpenWorkbook("wide.xlsx");
    EXPECT_EQ(Scalar(u"SELECT n FROM [Good$]"), u"5");
    const std::string why = Refused(u"SELECT * FROM [Wide$]");
    EXPECT_TRUE(Holds(why, {"'Wide'", "2623 columns", "more than the 2000"}));
    // A narrower range of the same sheet still reads.
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM [Wide$A1:C5]"), u"0");
}

// ---- Text folders: one bad file fails alone -------------------------------------------------

TEST_F(HostileInputTest, ATextFileTooWideForATableFailsAloneNamingFileAndLimit) {
    std::string header, record;
    for (int i = 1; i <= 2001; ++i) {
        header += (i > 1 ? "," : "") + std::string("c") + std::to_string(i);
        record += (i > 1 ? "," : "") + std::to_string(i);
    }
    WriteFile(m_dir.Path("wide.csv"), header + "\n" + record + "\n");
    WriteFile(m_dir.Path("good.csv"), "id,name\n1,bolt\n");
    OpenFolder(u"text;HDR=YES");
    EXPECT_EQ(Scalar(u"SELECT name FROM [good.csv]"), u"bolt");
    const std::string why = Refused(u"SELECT c1 FROM [wide.csv]");
    EXPECT_TRUE(Holds(why, {"wide.csv", "2001 columns, more than the 2000"}));
    EXPECT_EQ(Scalar(u"SELECT count(*) FROM [good.csv]"), u"1");
}

// ---- SQL stays inside the connection's data -------------------------------------------------

TEST_F(HostileInputTest, SqlCannotDeclareTablesOverOtherFiles) {
    TempDir outside;
    WriteFile(outside.Path("secret.csv"), "k\nhidden\n");
    WriteFile(m_dir.Path("t.csv"), "a\n1\n");
    OpenFolder(u"text;HDR=YES");
    const std::u16string path = outside.WPath("secret.csv");
    std::u16string sql = u"CREATE VIRTUAL TABLE p USING orv_text('" + path + u"', 'text;HDR=YES')";
    std::string why = Refused(sql.c_str());
    EXPECT_TRUE(Holds(why, {"Cannot create the virtual table 'p'", "own data"}));
    why = Refused(u"CREATE VIRTUAL TABLE temp.q USING fts5(x)");
    EXPECT_NE(why.find("virtual table 'q'"), std::string::npos) << why;
    // The engine's own declarations still work: CREATE TABLE makes a file of the folder.
    ASSERT_EQ(RunSql(m_session, u"CREATE TABLE [new.csv] (id INTEGER)"), S_OK) << Utf16ToUtf8(LastErrorDescription());
    EXPECT_TRUE(std::filesystem::exists(m_dir.Path("new.csv")));
}

TEST_F(HostileInputTest, AttachReachesOnlyTheDataFolder) {
    TempDir outside;
    MakeDatabase(m_dir.Path("main.mdb"));
    MakeDatabase(m_dir.Path("other.mdb"), "CREATE TABLE o(x); INSERT INTO o VALUES (42)");
    m_session = OpenSession(m_dir.WPath("main.mdb"));
    ASSERT_TRUE(m_session);
    std::u16string sql = u"ATTACH '" + m_dir.WPath("other.mdb") + u"' AS other";
    ASSERT_EQ(RunSql(m_session, sql.c_str()), S_OK) << Utf16ToUtf8(LastErrorDescription());
    EXPECT_EQ(Scalar(u"SELECT x FROM other.o"), u"42");

    sql = u"ATTACH '" + outside.WPath("made.db") + u"' AS elsewhere";
    std::string why = Refused(sql.c_str());
    EXPECT_NE(why.find("Cannot attach the database"), std::string::npos) << why;
    EXPECT_FALSE(std::filesystem::exists(outside.Path("made.db")));
    // A symbolic link in the folder that points out of it is no way round.
    ASSERT_EQ(::symlink(outside.Path().c_str(), m_dir.Path("door").c_str()), 0);
    sql = u"ATTACH '" + m_dir.WPath("door/made.db") + u"' AS elsewhere";
    Refused(sql.c_str());
    Refused(u"ATTACH '/tmp/' || 'x.db' AS computed");  // a name that is not a literal cannot be checked
    sql = u"VACUUM INTO '" + outside.WPath("copy.db") + u"'";
    why = Refused(sql.c_str());
    EXPECT_NE(why.find("VACUUM INTO"), std::string::npos) << why;
    // Comments and a schema name around INTO hide nothing.
    sql = u"/* c */ VACUUM main/**/INTO'" + outside.WPath("copy.db") + u"'";
    Refused(sql.c_str());
    EXPECT_FALSE(std::filesystem::exists(outside.Path("copy.db")));
}

TEST_F(HostileInputTest, ASymbolicLinkOutOfATextFolderIsNotATable) {
    TempDir outside;
    WriteFile(outside.Path("secret.csv"), "k\nhidden\n");
    WriteFile(m_dir.Path("real.csv"), "k\nshown\n");
    ASSERT_EQ(::symlink(outside.Path("secret.csv").c_str(), m_dir.Path("leak.csv").c_str()), 0);
    ASSERT_EQ(::symlink(m_dir.Path("real.csv").c_str(), m_dir.Path("alias.csv").c_str()), 0);
    OpenFolder(u"text;HDR=YES");
    EXPECT_EQ(Scalar(u"SELECT k FROM [alias.csv]"), u"shown");  // a link inside the folder is followed
    std::string why = Refused(u"SELECT k FROM [leak.csv]");
    EXPECT_NE(why.find("such table"), std::string::npos) << why;
}

}  // namespace
