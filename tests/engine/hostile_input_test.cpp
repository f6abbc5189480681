// Hostile files: a small workbook that claims a huge sheet, strings shared by many cells, a
// giant cell, files too wide for a table (statements that try to reach files outside the
// connection's data: sql/confinement.test). Each must fail alone, with a sentence that
// names the file and the limit, and never take the process down.
#include <gtest/gtest.h>

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

}  // namespace
