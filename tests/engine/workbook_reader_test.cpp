// Reading workbooks into cells: .xlsx files as spreadsheet programs write them and as only
// hand-written XML has them (cached formula results, inline and rich text, cells without
// references, other folders), damaged archives refused with a sentence, large string tables.
// The fixtures come from scripts/fixtures/make_workbooks.py.
#include <gtest/gtest.h>
#include <zip.h>

#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "engine/workbook/workbook.h"
#include "engine/workbook/xlsx_reader.h"
#include "support/files.h"
#include "support/workbook_cells.h"
#include "support/xlsx_parts.h"

using namespace orv::engine::workbook;
using orv::test::OneSheet;
using orv::test::Parts;
using orv::test::WriteArchive;
using orv::test::kMain;

namespace {

using orv::test::At;
using orv::test::InOrder;
using orv::test::IsText;
using orv::test::IsValue;

std::string Fixture(const std::string& name) { return orv::test::WorkbookFixture(name); }

TEST(XlsxReaderTest, ReadsWhatASpreadsheetProgramWrites) {
    Workbook book;
    std::string error;
    ASSERT_TRUE(LoadXlsx(Fixture("basic.xlsx"), book, error)) << error;
    EXPECT_EQ(book.format, Format::Xlsx);

    // The chart sheet has no cells and is not a sheet of the model.
    ASSERT_EQ(book.sheets.size(), 3u);
    EXPECT_EQ(book.sheets[0].name, "Data");
    EXPECT_EQ(book.sheets[1].name, "Q's data");
    EXPECT_EQ(book.sheets[2].name, "Empty");
    EXPECT_TRUE(book.sheets[2].cells.empty());

    const Sheet& data = book.sheets[0];
    EXPECT_TRUE(InOrder(data));
    EXPECT_TRUE(IsText(data, "A1", "Name"));
    EXPECT_TRUE(IsText(data, "H2", "Zürich"));
    EXPECT_TRUE(IsValue(data, "B2", CellType::Number, 3));
    EXPECT_TRUE(IsValue(data, "B3", CellType::Number, -7));
    EXPECT_TRUE(IsValue(data, "C3", CellType::Number, 0.001));
    EXPECT_TRUE(IsValue(data, "D2", CellType::Date, 33010));  // 1990-05-17, yyyy-mm-dd
    EXPECT_TRUE(IsValue(data, "D3", CellType::Date, 45351.5625));  // 2024-02-29 13:30
    EXPECT_TRUE(IsValue(data, "E2", CellType::Boolean, 1));
    EXPECT_TRUE(IsValue(data, "E3", CellType::Boolean, 0));
    EXPECT_TRUE(IsValue(data, "F2", CellType::Date, 1.5));  // [h]:mm, an elapsed time
    EXPECT_TRUE(IsValue(data, "F3", CellType::Date, 0.25));  // h:mm:ss, built-in format 21
    // Letters of a date inside quotes and colour names do not make a date.
    EXPECT_TRUE(IsValue(data, "G2", CellType::Number, 4));  // 0 "days"
    EXPECT_TRUE(IsValue(data, "G3", CellType::Number, 5));  // [Red]0.00
    EXPECT_FALSE(At(data, "H3"));  // an inline string cell without its string
    EXPECT_TRUE(IsText(data, "A5", "after a gap"));
    EXPECT_EQ(data.cells.size(), 8u + 8u + 7u + 1u);

    const Sheet& quoted = book.sheets[1];
    EXPECT_TRUE(IsText(quoted, "A1", "k"));
    EXPECT_TRUE(IsValue(quoted, "B3", CellType::Number, 9));
}

TEST(XlsxReaderTest, KeepsWorkbookNamesOfOneRectangle) {
    Workbook book;
    std::string error;
    ASSERT_TRUE(LoadXlsx(Fixture("basic.xlsx"), book, error)) << error;
    // Formulas, #REF!, several areas, constants, unknown sheets and sheet-local names are
    // left out.
    ASSERT_EQ(book.names.size(), 5u);
    auto expect = [&](std::size_t i, const char* name, const char* sheet, Range range) {
        SCOPED_TRACE(name);
        EXPECT_EQ(book.names[i].name, name);
        EXPECT_EQ(book.names[i].sheet, sheet);
        EXPECT_EQ(book.names[i].range.firstRow, range.firstRow);
        EXPECT_EQ(book.names[i].range.firstColumn, range.firstColumn);
        EXPECT_EQ(book.names[i].range.lastRow, range.lastRow);
        EXPECT_EQ(book.names[i].range.lastColumn, range.lastColumn);
    };
    expect(0, "Region", "Q's data", {1, 1, 3, 2});
    expect(1, "OneCell", "Data", {2, 2, 2, 2});
    expect(2, "Cols", "Data", {1, 1, 1048576, 2});  // whole columns
    expect(3, "RowsTwoThree", "Data", {2, 1, 3, 16384});  // whole rows
    expect(4, "Backwards", "Data", {1, 1, 3, 3});

    // Built-in names (print area, filter range) are left out, hidden or not.
    ASSERT_TRUE(LoadXlsx(Fixture("handmade.xlsx"), book, error)) << error;
    ASSERT_EQ(book.names.size(), 1u);
    EXPECT_EQ(book.names[0].name, "Corner");
    EXPECT_EQ(book.names[0].range.lastRow, 1u);
}

TEST(XlsxReaderTest, ReadsStringsFormulaResultsAndDatesOfHandWrittenXml) {
    Workbook book;
    std::string error;
    ASSERT_TRUE(LoadXlsx(Fixture("handmade.xlsx"), book, error)) << error;
    ASSERT_EQ(book.sheets.size(), 2u);
    const Sheet& mixed = book.sheets[0];
    EXPECT_TRUE(InOrder(mixed));

    // Shared strings: rich runs joined, phonetic runs left out, white space kept, escapes decoded.
    EXPECT_TRUE(IsText(mixed, "A1", "plain"));
    EXPECT_TRUE(IsText(mixed, "B1", "rich text"));
    EXPECT_TRUE(IsText(mixed, "C1", "  padded  "));
    EXPECT_TRUE(IsText(mixed, "D1", "line\rbreak_x000D_"));
    EXPECT_TRUE(IsText(mixed, "E1", "東京"));
    EXPECT_TRUE(IsText(mixed, "F1", ""));
    EXPECT_TRUE(IsText(mixed, "G1", "\xF0\x9F\x98\x80"));  // a surrogate pair in two escapes

    // Formulas give their cached results; without one, or with an empty value, no cell.
    EXPECT_TRUE(IsValue(mixed, "A2", CellType::Number, 2));
    EXPECT_TRUE(IsText(mixed, "B2", "ab"));
    EXPECT_TRUE(IsValue(mixed, "C2", CellType::Boolean, 1));
    ASSERT_TRUE(At(mixed, "D2"));
    EXPECT_EQ(At(mixed, "D2")->type, CellType::Error);
    EXPECT_EQ(At(mixed, "D2")->text, "#DIV/0!");
    EXPECT_FALSE(At(mixed, "E2"));
    EXPECT_FALSE(At(mixed, "F2"));

    // Styles: cellXfs counts, cellStyleXfs and differential formats do not.
    EXPECT_TRUE(IsValue(mixed, "G2", CellType::Date, 45351.5));  // custom yyyy\-mm\-dd
    EXPECT_TRUE(IsValue(mixed, "H2", CellType::Number, 3));  // 0.0 "days"
    EXPECT_TRUE(IsValue(mixed, "I2", CellType::Date, 2));  // built-in 14: 1 January 1900
    EXPECT_TRUE(IsValue(mixed, "J2", CellType::Date, 1.25));  // built-in 46, [h]:mm:ss
    EXPECT_TRUE(IsValue(mixed, "K2", CellType::Number, 7));  // a style the file does not have

    EXPECT_TRUE(IsText(mixed, "A3", "inline"));
    EXPECT_TRUE(IsText(mixed, "B3", "inline rich"));
    EXPECT_TRUE(IsText(mixed, "C3", ""));
    EXPECT_TRUE(IsValue(mixed, "D3", CellType::Date, 45351.5625));  // t="d", ISO text
    EXPECT_TRUE(IsValue(mixed, "E3", CellType::Date, 45352));
    EXPECT_TRUE(IsValue(mixed, "F3", CellType::Date, 0.5));
    EXPECT_TRUE(IsValue(mixed, "G3", CellType::Boolean, 0));
    EXPECT_TRUE(IsValue(mixed, "H3", CellType::Number, -1500));

    // Rows and cells without a reference follow the one before.
    EXPECT_TRUE(IsValue(mixed, "A4", CellType::Number, 1));
    EXPECT_TRUE(IsValue(mixed, "B4", CellType::Number, 2));
    EXPECT_TRUE(IsValue(mixed, "E4", CellType::Number, 5));
    EXPECT_TRUE(IsValue(mixed, "F4", CellType::Number, 6));
    EXPECT_TRUE(IsValue(mixed, "A5", CellType::Number, 7));
    EXPECT_TRUE(IsValue(mixed, "B7", CellType::Number, 8));
    EXPECT_EQ(mixed.cells.size(), 7u + 9u + 8u + 4u + 1u + 1u);

    // Cells out of order come out sorted; of a cell given twice the last counts.
    const Sheet& shuffled = book.sheets[1];
    ASSERT_EQ(shuffled.cells.size(), 5u);
    EXPECT_TRUE(InOrder(shuffled));
    const char* order[] = {"A1", "C1", "B2", "A3", "B3"};
    const double values[] = {11, 13, 22, 31, 32};
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(IsValue(shuffled, order[i], CellType::Number, values[i]));
}

TEST(XlsxReaderTest, FindsPartsThroughRelationshipsAnywhereInTheArchive) {
    Workbook book;
    std::string error;
    ASSERT_TRUE(LoadXlsx(Fixture("relocated.xlsx"), book, error)) << error;
    ASSERT_EQ(book.sheets.size(), 1u);
    EXPECT_EQ(book.sheets[0].name, "Only");
    EXPECT_TRUE(IsText(book.sheets[0], "A1", "far away"));
    // The 1904 date system: serial 0.5 is noon on 1 January 1904.
    EXPECT_TRUE(IsValue(book.sheets[0], "B1", CellType::Date, 1462.5));
}

TEST(XlsxReaderTest, RefusesDamagedFilesWithASentence) {
    const std::pair<const char*, const char*> cases[] = {
        {"not_a_zip.xlsx", "it is not an .xlsx workbook (not a zip archive)"},
        {"encrypted.xlsx", "it is not an .xlsx workbook (not a zip archive)"},
        {"truncated.xlsx", "it is not an .xlsx workbook"},
        {"no_workbook.xlsx", "it is not an .xlsx workbook (the part xl/workbook.xml is missing)"},
        {"missing_sheet.xlsx",
         "the sheet 'Second' is missing: its part xl/worksheets/sheet2.xml is not in the archive"},
        {"malformed_sheet.xlsx", "xl/worksheets/sheet1.xml is not well-formed XML at line 3: mismatched tag"},
        {"bad_shared_index.xlsx",
         "cell B2 of the sheet 'Second' (xl/worksheets/sheet2.xml) refers to shared string 5, but the workbook has "
         "only 2 shared strings"},
        {"oversized_part.xlsx",
         "the part xl/worksheets/sheet1.xml would unpack to 3221225472 bytes, more than the 1 GiB"},
        {"understated_part.xlsx",
         "the part xl/worksheets/sheet1.xml unpacks to more than the 200 bytes the archive declares for it"},
        {"there_is_no_such.xlsx", "there is no such file"},
    };
    for (const auto& [file, expected] : cases) {
        SCOPED_TRACE(file);
        Workbook book;
        book.sheets.resize(2);
        std::string error;
        EXPECT_FALSE(LoadXlsx(Fixture(file), book, error));
        EXPECT_NE(error.find(expected), std::string::npos) << error;
        EXPECT_TRUE(book.sheets.empty());
    }
}

TEST(XlsxReaderTest, RefusesValuesThatDoNotReadAsTheirTypeNamingTheCell) {
    orv::test::TempDir dir;
    const std::pair<const char*, const char*> cases[] = {
        {"<row r=\"4\"><c r=\"C4\"><v>12abc</v></c></row>",
         "cell C4 of the sheet 'S' (xl/worksheets/sheet1.xml) holds the number '12abc'"},
        {"<row><c r=\"B1\" t=\"b\"><v>2</v></c></row>",
         "cell B1 of the sheet 'S' (xl/worksheets/sheet1.xml) holds the boolean '2'"},
        {"<row><c r=\"A1\" t=\"d\"><v>2024-02-30</v></c></row>", "holds the date '2024-02-30'"},
        {"<row><c r=\"A1\" t=\"s\"><v>0</v></c></row>", "refers to shared string 0, but the workbook has only 0"},
        {"<row><c r=\"A1\" t=\"q\"><v>1</v></c></row>",
         "cell A1 of the sheet 'S' (xl/worksheets/sheet1.xml) has the unknown value type 'q'"},
        {"<row><c r=\"A0\"><v>1</v></c></row>", "has a cell named 'A0', which is not a cell reference"},
        {"<row r=\"1048577\"><c><v>1</v></c></row>", "has a row numbered '1048577'"},
    };
    for (const auto& [data, expected] : cases) {
        SCOPED_TRACE(data);
        WriteArchive(dir.Path("bad.xlsx"), OneSheet(data));
        Workbook book;
        std::string error;
        EXPECT_FALSE(LoadXlsx(dir.Path("bad.xlsx"), book, error));
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
}

// The archive in memory reads as the same file does; its parts are found the same way.
TEST(XlsxReaderTest, ReadsAnArchiveInMemory) {
    std::string bytes;
    {
        std::ifstream file(Fixture("handmade.xlsx"), std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(file), {});
    }
    Workbook fromFile, fromMemory;
    std::string error;
    ASSERT_TRUE(LoadXlsx(Fixture("handmade.xlsx"), fromFile, error)) << error;
    ASSERT_TRUE(LoadXlsxFromMemory(bytes.data(), bytes.size(), fromMemory, error)) << error;
    ASSERT_EQ(fromMemory.sheets.size(), fromFile.sheets.size());
    for (std::size_t s = 0; s < fromFile.sheets.size(); ++s) {
        ASSERT_EQ(fromMemory.sheets[s].cells.size(), fromFile.sheets[s].cells.size());
        for (std::size_t c = 0; c < fromFile.sheets[s].cells.size(); ++c) {
            EXPECT_EQ(fromMemory.sheets[s].cells[c].cell.Text(), fromFile.sheets[s].cells[c].cell.Text());
            EXPECT_EQ(fromMemory.sheets[s].cells[c].cell.number, fromFile.sheets[s].cells[c].cell.number);
        }
    }

    EXPECT_FALSE(LoadXlsxFromMemory(bytes.data(), bytes.size() / 2, fromMemory, error));
    EXPECT_NE(error.find("it is not an .xlsx workbook"), std::string::npos) << error;
    EXPECT_FALSE(LoadXlsxFromMemory("", 0, fromMemory, error));
    EXPECT_NE(error.find("it is not an .xlsx workbook"), std::string::npos) << error;
}

// A workbook whose package names a workbook part that is not there, and a sheet whose
// relationship is missing.
TEST(XlsxReaderTest, NamesThePartsThatTheRelationshipsPromise) {
    orv::test::TempDir dir;
    auto parts = OneSheet("");
    parts.emplace_back("_rels/.rels",
                       "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                       "<Relationship Id=\"rId1\" Type=\"x/officeDocument\" Target=\"book/main.xml\"/>"
                       "</Relationships>");
    parts.erase(parts.begin());  // xl/workbook.xml
    WriteArchive(dir.Path("a.xlsx"), parts);
    Workbook book;
    std::string error;
    EXPECT_FALSE(LoadXlsx(dir.Path("a.xlsx"), book, error));
    EXPECT_NE(error.find("the part book/main.xml that _rels/.rels names as the workbook is missing"), std::string::npos)
        << error;

    parts = OneSheet("");
    parts[1].second = "<Relationships/>";
    WriteArchive(dir.Path("b.xlsx"), parts);
    EXPECT_FALSE(LoadXlsx(dir.Path("b.xlsx"), book, error));
    EXPECT_NE(error.find("the sheet 'S' has no part: xl/_rels/workbook.xml.rels has no relationship 'rId1'"),
              std::string::npos)
        << error;

    parts.erase(parts.begin() + 1);
    WriteArchive(dir.Path("c.xlsx"), parts);
    EXPECT_FALSE(LoadXlsx(dir.Path("c.xlsx"), book, error));
    EXPECT_NE(error.find("the sheet 'S' has no part: the part xl/_rels/workbook.xml.rels is missing"),
              std::string::npos)
        << error;
}

// Dates written as ISO text carry a zone at times; the wall-clock time is what counts.
TEST(XlsxReaderTest, ReadsIsoDatesWithTheirZonesDropped) {
    orv::test::TempDir dir;
    WriteArchive(dir.Path("d.xlsx"), OneSheet("<row r=\"1\">"
                                              "<c r=\"A1\" t=\"d\"><v>2024-03-01T12:00:00Z</v></c>"
                                              "<c r=\"B1\" t=\"d\"><v>2024-03-01T12:00:00+02:00</v></c>"
                                              "<c r=\"C1\" t=\"d\"><v>2024-03-01T12:00:00-0500</v></c>"
                                              "<c r=\"D1\" t=\"d\"><v>2024-03-01T06:00:00.5</v></c>"
                                              "<c r=\"E1\" t=\"d\"><v>1899-12-30</v></c>"
                                              "</row>"));
    Workbook book;
    std::string error;
    ASSERT_TRUE(LoadXlsx(dir.Path("d.xlsx"), book, error)) << error;
    const Sheet& sheet = book.sheets.at(0);
    EXPECT_TRUE(IsValue(sheet, "A1", CellType::Date, 45352.5));
    EXPECT_TRUE(IsValue(sheet, "B1", CellType::Date, 45352.5));
    EXPECT_TRUE(IsValue(sheet, "C1", CellType::Date, 45352.5));
    ASSERT_TRUE(At(sheet, "D1"));
    EXPECT_NEAR(At(sheet, "D1")->number, 45352.25 + 0.5 / 86400, 1e-9);
    EXPECT_TRUE(IsValue(sheet, "E1", CellType::Date, 0));
}

// A cell's own text (an inline string, a formula's text, an error) stays with its cell when
// the cells are put in order, and of a cell given twice the last text counts.
TEST(XlsxReaderTest, KeepsOwnTextsWithTheirCellsOutOfOrder) {
    orv::test::TempDir dir;
    WriteArchive(dir.Path("o.xlsx"), OneSheet("<row r=\"2\">"
                                              "<c r=\"B2\" t=\"inlineStr\"><is><t>second</t></is></c>"
                                              "<c r=\"A2\" t=\"e\"><v>#N/A</v></c></row>"
                                              "<row r=\"1\"><c r=\"A1\" t=\"str\"><f>x</f><v>first</v></c>"
                                              "<c r=\"A1\" t=\"inlineStr\"><is><t>again</t></is></c></row>"));
    Workbook book;
    std::string error;
    ASSERT_TRUE(LoadXlsx(dir.Path("o.xlsx"), book, error)) << error;
    const Sheet& sheet = book.sheets.at(0);
    ASSERT_EQ(sheet.cells.size(), 3u);
    EXPECT_TRUE(InOrder(sheet));
    EXPECT_TRUE(IsText(sheet, "A1", "again"));
    ASSERT_TRUE(At(sheet, "A2"));
    EXPECT_EQ(At(sheet, "A2")->type, CellType::Error);
    EXPECT_EQ(At(sheet, "A2")->text, "#N/A");
    EXPECT_TRUE(IsText(sheet, "B2", "second"));
}

// A table of 200,000 shared strings, each cell naming a different one, in reverse order.
TEST(XlsxReaderTest, ReadsALargeSharedStringTable) {
    constexpr int kCount = 200000;
    std::string strings = "<sst xmlns=\"" + std::string(kMain) + "\" uniqueCount=\"200000\">";
    std::string rows;
    strings.reserve(kCount * 40);
    rows.reserve(kCount * 50);
    for (int i = 0; i < kCount; ++i) {
        const std::string row = std::to_string(i + 1);
        strings.append("<si><t>string number ").append(std::to_string(i)).append("</t></si>");
        rows.append("<row r=\"").append(row).append("\"><c r=\"A").append(row).append("\" t=\"s\"><v>");
        rows.append(std::to_string(kCount - 1 - i)).append("</v></c></row>");
    }
    strings += "</sst>";
    orv::test::TempDir dir;
    WriteArchive(dir.Path("big.xlsx"), OneSheet(rows, strings));

    Workbook book;
    std::string error;
    ASSERT_TRUE(LoadXlsx(dir.Path("big.xlsx"), book, error)) << error;
    ASSERT_EQ(book.sheets.size(), 1u);
    const Sheet& sheet = book.sheets[0];
    ASSERT_EQ(sheet.cells.size(), std::size_t(kCount));
    EXPECT_EQ(sheet.cells.front().cell.Text(), "string number 199999");
    EXPECT_EQ(sheet.cells[150000].cell.Text(), "string number 49999");
    EXPECT_EQ(sheet.cells.back().row, std::uint32_t(kCount));
    EXPECT_EQ(sheet.cells.back().cell.Text(), "string number 0");
}

TEST(XlsxReaderTest, TellsDateFormatsFromNumberFormats) {
    for (const char* code : {"yyyy-mm-dd", "d/m/yy h:mm", "[$-409]mmmm d, yyyy;@", "h:mm AM/PM", "[h]:mm:ss", "[mm]:ss",
                             "[ss]", "DD.MM.YYYY", "[Red]yyyy"})
        EXPECT_TRUE(IsDateFormatCode(code)) << code;
    for (const char* code : {"General", "0.00", "#,##0 \"days\"", "[Red]0.00", "0.0\\d", "_(* #,##0_);_(* (#,##0)",
                             "0%", "0.00E+00", "@", "[>=100]0;0", "[$USD] #,##0", "[hm]", "[ms]"})
        EXPECT_FALSE(IsDateFormatCode(code)) << code;
    // A colour is not elapsed time: a calendar date of early 1900 keeps its correction.
    EXPECT_EQ(CustomDateFormat("[Magenta]yyyy-mm-dd"), kCalendar);
    EXPECT_EQ(CustomDateFormat("[Red][h]:mm"), kElapsed);
}

}  // namespace
