// Reading workbooks into cells: .xlsx files as spreadsheet programs write them and as only
// hand-written XML has them (cached formula results, inline and rich text, cells without
// references, other folders), damaged archives refused with a sentence, large string tables;
// .xls files that LibreOffice and SheetJS wrote (every cell record, formula results, dates
// by their number formats, both date systems, text run on into CONTINUE records, streams in
// the mini stream), and damaged compound files and records refused with a sentence. The
// fixtures come from scripts/fixtures/make_workbooks.py, make_office_workbooks.sh and
// make_sheetjs_workbooks.sh.
#include <gtest/gtest.h>
#include <zip.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/workbook/workbook.h"
#include "engine/workbook/xls_reader.h"
#include "engine/workbook/xlsx_reader.h"
#include "support/braced.h"
#include "support/files.h"
#include "support/case_file.h"
#include "support/holds.h"
#include "support/workbook_cells.h"
#include "support/xlsx_parts.h"

using namespace orv::engine::workbook;
using orv::test::OneSheet;
using orv::test::Parts;
using orv::test::WriteArchive;
using orv::test::kMain;

namespace {

using orv::test::At;
using orv::test::Holds;
using orv::test::InOrder;
using orv::test::IsText;
using orv::test::IsValue;

std::string Fixture(const std::string& name) { return orv::test::WorkbookFixture(name); }

// ---- The cases of tests/engine/cases/workbook_cells.test, for both readers ----------------

::testing::AssertionResult IsError(const Sheet& sheet, const char* reference, const std::string& code) {
    const std::optional<Cell> cell = At(sheet, reference);
    if (!cell || cell->type != CellType::Error || cell->text != code)
        return ::testing::AssertionFailure() << reference << " is not the error " << code;
    return ::testing::AssertionSuccess();
}

// A number of the case file; "45351+48615s" is a day and seconds, added as a date's parts are.
double Number(const std::string& text) {
    const std::size_t plus = text.find('+', 1);
    const double value = std::strtod(text.c_str(), nullptr);
    return plus == std::string::npos ? value : value + std::strtod(text.c_str() + plus + 1, nullptr) * (1 / 86400.0);
}

// A field as a case file writes it: "{...}" read by the braced-text rules, else as it is.
std::string Braced(const std::string& field) {
    std::size_t at = 0;
    return field.starts_with('{') ? orv::test::Braced(field, at) : field;
}

::testing::AssertionResult CellIs(const Sheet& sheet, const std::string& reference, const std::string& expected) {
    const std::size_t space = expected.find(' ');
    const std::string type = expected.substr(0, space);
    const std::string value = space == std::string::npos ? "" : expected.substr(space + 1);
    const std::optional<Cell> cell = At(sheet, reference.c_str());
    if (type == "none") return cell ? ::testing::AssertionFailure() << "a cell" : ::testing::AssertionSuccess();
    if (type == "text") return IsText(sheet, reference.c_str(), Braced(value));
    if (type == "error") return IsError(sheet, reference.c_str(), value);
    static const std::map<std::string, CellType> kTypes = {
        {"number", CellType::Number}, {"date", CellType::Date}, {"boolean", CellType::Boolean}};
    const std::size_t tilde = value.find(" ~");
    if (tilde == std::string::npos) return IsValue(sheet, reference.c_str(), kTypes.at(type), Number(value));
    if (!cell || cell->type != kTypes.at(type) ||
        std::fabs(cell->number - Number(value.substr(0, tilde))) > std::strtod(value.c_str() + tilde + 2, nullptr))
        return ::testing::AssertionFailure() << (cell ? std::to_string(cell->number) : "no cell");
    return ::testing::AssertionSuccess();
}

bool Load(const std::string& reader, const std::string& file, Workbook& book, std::string& error) {
    return reader == "xls" ? LoadXls(Fixture(file), book, error) : LoadXlsx(Fixture(file), book, error);
}

TEST(WorkbookCells, EachLineOfTheCaseFile) {
    std::map<std::string, Workbook> books;
    orv::test::TempDir dir;
    orv::test::ForEachCase("workbook_cells.test", [&](const std::string& line) {
        const std::size_t equals = line.find(" = ");
        ASSERT_NE(equals, std::string::npos);
        const std::string expected = line.substr(equals + 3);
        std::istringstream arguments(line.substr(0, equals));
        std::string kind, first, second, third;
        arguments >> kind >> first >> second >> third;
        if (kind == "xml") {  // xml FILE = the rows of the sheet 'S', written here as an .xlsx file
            WriteArchive(dir.Path(first), OneSheet(expected));
            std::string error;
            ASSERT_TRUE(LoadXlsx(dir.Path(first), books[first], error)) << error;
            for (const Sheet& each : books[first].sheets) EXPECT_TRUE(InOrder(each)) << each.name;
            return;
        }
        if (kind == "refuses") {  // refuses READER FILE, or refuses xml ROWS
            Workbook book;
            book.sheets.resize(2);
            std::string error;
            if (first == "xml") WriteArchive(dir.Path("refused.xlsx"), OneSheet(line.substr(12, equals - 12)));
            EXPECT_FALSE(first == "xml" ? LoadXlsx(dir.Path("refused.xlsx"), book, error)
                                        : Load(first, second, book, error));
            EXPECT_TRUE(Holds(error, {expected}));
            EXPECT_TRUE(book.sheets.empty());
            return;
        }
        const std::string reader = first.ends_with(".xls") ? "xls" : "xlsx";
        auto [loaded, fresh] = books.try_emplace(first);
        Workbook& book = loaded->second;
        if (fresh) {
            std::string error;
            ASSERT_TRUE(Load(reader, first, book, error)) << error;
            EXPECT_EQ(book.format, reader == "xls" ? Format::Xls : Format::Xlsx);
            for (const Sheet& each : book.sheets) EXPECT_TRUE(InOrder(each)) << each.name;
        }
        if (kind == "sheets") {
            std::string names;
            for (const Sheet& each : book.sheets) names += (names.empty() ? "" : "|") + each.name;
            EXPECT_EQ(names, expected);
        } else if (kind == "names") {
            EXPECT_EQ(std::to_string(book.names.size()), expected);
        } else if (kind == "name") {
            const DefinedName& name = book.names.at(std::stoul(second));
            const Range& r = name.range;
            EXPECT_EQ(name.name + "|" + name.sheet + "|" + std::to_string(r.firstRow) + " " +
                          std::to_string(r.firstColumn) + " " + std::to_string(r.lastRow) + " " +
                          std::to_string(r.lastColumn),
                      expected);
        } else if (kind == "cells") {
            EXPECT_EQ(std::to_string(book.sheets.at(std::stoul(second)).cells.size()), expected);
        } else {
            ASSERT_EQ(kind, "cell");
            EXPECT_TRUE(CellIs(book.sheets.at(std::stoul(second)), third, expected));
        }
    });
}

// The archive in memory reads as the same file does; its parts are found the same way.
TEST(XlsxReaderTest, ReadsAnArchiveInMemory) {
    const std::string bytes = orv::test::ReadFile(Fixture("handmade.xlsx"));
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
    EXPECT_TRUE(Holds(error, {"it is not an .xlsx workbook"}));
    EXPECT_FALSE(LoadXlsxFromMemory("", 0, fromMemory, error));
    EXPECT_TRUE(Holds(error, {"it is not an .xlsx workbook"}));
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
    EXPECT_TRUE(Holds(error, {"the part book/main.xml that _rels/.rels names as the workbook is missing"}));

    parts = OneSheet("");
    parts[1].second = "<Relationships/>";
    WriteArchive(dir.Path("b.xlsx"), parts);
    EXPECT_FALSE(LoadXlsx(dir.Path("b.xlsx"), book, error));
    EXPECT_TRUE(Holds(error, {"the sheet 'S' has no part: xl/_rels/workbook.xml.rels has no relationship 'rId1'"}));

    parts.erase(parts.begin() + 1);
    WriteArchive(dir.Path("c.xlsx"), parts);
    EXPECT_FALSE(LoadXlsx(dir.Path("c.xlsx"), book, error));
    EXPECT_TRUE(Holds(error, {"the sheet 'S' has no part: the part xl/_rels/workbook.xml.rels is missing"}));
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

std::string Bytes(const std::string& name) { return orv::test::ReadFile(Fixture(name)); }

// ---- .xls files: the cells of the fixtures are lines of cases/workbook_cells.test -----------

TEST(XlsReaderTest, ReadsTextRunOnIntoContinueRecordsAsSharedStrings) {
    // Its order and format: the case file's runner checks them.
    Workbook book;
    std::string error;
    ASSERT_TRUE(LoadXls(Fixture("calc_values.xls"), book, error)) << error;
    ASSERT_EQ(book.sheets.size(), 3u);
    // The shared strings of this sheet run on through several CONTINUE records.
    const Sheet& lines = book.sheets[2];
    ASSERT_EQ(lines.cells.size(), 82u);
    for (int n = 1; n <= 40; ++n) {
        std::string expected;
        for (int i = 0; i < 4; ++i) expected += "line " + std::to_string(n) + " of a long text with ümlauts and 字 ";
        const std::string reference = "B" + std::to_string(n + 1);
        EXPECT_TRUE(IsText(lines, reference.c_str(), expected));
    }
    // A shared string is held once, by the workbook; its cells point at it.
    for (const PlacedCell& placed : lines.cells) {
        if (placed.cell.type != CellType::Text || !placed.cell.shared) continue;
        EXPECT_TRUE(placed.cell.text.empty());
        EXPECT_GE(placed.cell.shared, book.sharedStrings.data());
        EXPECT_LT(placed.cell.shared, book.sharedStrings.data() + book.sharedStrings.size());
    }
    EXPECT_TRUE(At(lines, "B2")->shared);
    // Under 4 KB: the workbook stream of this one lives in the compound file's mini stream.
    EXPECT_LT(Bytes("sheetjs.xls").size(), 4700u);
}

// ---- Damaged files, made from the fixtures ------------------------------------------------

std::uint32_t U32(const std::string& data, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, data.data() + at, 4);
    return value;
}
void SetU32(std::string& data, std::size_t at, std::uint32_t value) { std::memcpy(data.data() + at, &value, 4); }

std::string Refusal(const std::string& data) {
    Workbook book;
    std::string error;
    if (LoadXlsFromMemory(data.data(), data.size(), book, error)) return "loaded";
    EXPECT_TRUE(book.sheets.empty());
    return error;
}

// The files here have 512-byte sectors: sector n starts at (n + 1) * 512.
std::size_t FatEntry(const std::string& data, std::uint32_t sector) { return (U32(data, 0x4C) + 1) * 512 + 4 * sector; }

TEST(XlsReaderTest, NamesWhatIsWrongWithADamagedCompoundFile) {
    const std::string good = Bytes("calc_values.xls");
    const std::uint32_t directory = U32(good, 0x30);

    std::string loop = good;  // the directory's chain of sectors comes back to its start
    SetU32(loop, FatEntry(loop, directory), directory);
    EXPECT_TRUE(Holds(Refusal(loop), {"the chain of sectors of the directory loops back to sector"}));

    std::string beyond = good;  // a chain that leaves the file
    SetU32(beyond, FatEntry(beyond, directory), 0x00FFFFFF);
    EXPECT_TRUE(Holds(Refusal(beyond), {"refers to sector 16777215, which the file does not have"}));

    EXPECT_TRUE(Holds(Refusal(good.substr(0, 300)), {"it ends within its header"}));
    EXPECT_TRUE(Holds(Refusal(good.substr(0, good.size() / 2)), {"it is damaged"}));

    std::string sectors = good;  // a sector size the format does not have
    sectors[0x1E] = 10;
    EXPECT_TRUE(Holds(Refusal(sectors), {"sector size of 2^10 bytes"}));

    // A small file: its workbook stream is a chain of the MiniFAT.
    std::string small = Bytes("sheetjs.xls");
    const std::size_t miniFat = (U32(small, 0x3C) + 1) * 512;
    for (std::uint32_t i = 0; i < 8; ++i) SetU32(small, miniFat + 4 * i, i);  // every sector its own successor
    EXPECT_TRUE(Holds(Refusal(small), {"loops back to sector"}));
}

TEST(XlsReaderTest, NamesWhatIsWrongWithDamagedRecords) {
    const std::string good = Bytes("calc_values.xls");
    // A LABELSST record (type 0x00FD, 10 bytes) pointing past the shared strings.
    std::string strings = good;
    const std::size_t label = strings.find(std::string("\xFD\x00\x0A\x00", 4));
    ASSERT_NE(label, std::string::npos);
    SetU32(strings, label + 4 + 6, 0x00FFFFFF);
    EXPECT_TRUE(Holds(Refusal(strings), {"refers to shared string 16777215, but the workbook has only"}));

    // The first BOUNDSHEET record (type 0x0085) sends its sheet past the stream's end.
    std::string sheet = good;
    const std::size_t bound = sheet.find(std::string("\x85\x00", 2));
    ASSERT_NE(bound, std::string::npos);
    SetU32(sheet, bound + 4, 0x7FFFFFF0);
    EXPECT_TRUE(Holds(Refusal(sheet), {"the sheet 'Values' is not where the workbook's list of sheets puts it"}));
}

// Whatever the damage, the reader answers with a workbook or a reason, and reads nothing
// outside the file (the sanitizer builds check that): every length cut and a byte flipped
// at every place of a small file.
TEST(XlsReaderTest, SurvivesEveryCutAndFlippedByte) {
    const std::string good = Bytes("sheetjs.xls");
    for (std::size_t length = 0; length < good.size(); length += 7) {
        Workbook book;
        std::string error;
        if (!LoadXlsFromMemory(good.data(), length, book, error)) {
            EXPECT_FALSE(error.empty()) << length;
        }
    }
    for (std::size_t at = 0; at < good.size(); ++at) {
        std::string damaged = good;
        damaged[at] = char(damaged[at] ^ 0x5A);
        Workbook book;
        std::string error;
        if (!LoadXlsFromMemory(damaged.data(), damaged.size(), book, error)) {
            EXPECT_FALSE(error.empty()) << at;
        } else {
            for (const Sheet& sheet : book.sheets) EXPECT_TRUE(InOrder(sheet)) << at;
        }
    }
}

}  // namespace
