// Reading workbooks into cells: .xlsx files as spreadsheet programs write them and as only
// hand-written XML has them (cached formula results, inline and rich text, cells without
// references, other folders), damaged archives refused with a sentence, large string tables.
// The fixtures come from scripts/fixtures/make_workbooks.py.
#include <gtest/gtest.h>
#include <zip.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/workbook/workbook.h"
#include "engine/workbook/xls_reader.h"
#include "engine/workbook/xlsx_reader.h"
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

// "{...}": what the braces hold, with \r as a carriage return.
std::string Braced(const std::string& field) {
    if (field.empty() || field[0] != '{') return field;
    std::string out;
    for (std::size_t i = 1; i + 1 < field.size(); ++i) {
        const bool carriageReturn = field.compare(i, 2, "\\r") == 0;
        out += carriageReturn ? '\r' : field[i];
        i += carriageReturn;
    }
    return out;
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

}  // namespace
