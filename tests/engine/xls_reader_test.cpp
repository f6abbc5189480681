// Reading .xls workbooks into cells: files that LibreOffice and SheetJS wrote (every cell
// record, formula results, booleans, dates by their number formats, both date systems,
// text run on into CONTINUE records, small files whose streams live in the mini stream),
// and damaged or protected files refused with a sentence. The fixtures come from
// scripts/fixtures/make_office_workbooks.sh, make_sheetjs_workbooks.sh and make_workbooks.py.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "engine/workbook/workbook.h"
#include "engine/workbook/xls_reader.h"
#include "support/workbook_cells.h"

using namespace orv::engine::workbook;
using orv::test::At;
using orv::test::InOrder;
using orv::test::IsText;
using orv::test::IsValue;

namespace {

std::string Fixture(const std::string& name) { return orv::test::WorkbookFixture(name); }

std::string Bytes(const std::string& name) {
    std::ifstream in(Fixture(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Workbook Load(const std::string& name) {
    Workbook book;
    std::string error;
    EXPECT_TRUE(LoadXls(Fixture(name), book, error)) << name << ": " << error;
    EXPECT_EQ(book.format, Format::Xls);
    for (const Sheet& sheet : book.sheets) EXPECT_TRUE(InOrder(sheet));
    return book;
}

constexpr double kSecond = 1 / 86400.0;

::testing::AssertionResult IsError(const Sheet& sheet, const char* reference, const std::string& code) {
    const std::optional<Cell> cell = At(sheet, reference);
    if (!cell || cell->type != CellType::Error || cell->text != code)
        return ::testing::AssertionFailure() << reference << " is not the error " << code;
    return ::testing::AssertionSuccess();
}

TEST(XlsReaderTest, ReadsEveryValueThatLibreOfficeWrites) {
    const Workbook book = Load("calc_values.xls");
    ASSERT_EQ(book.sheets.size(), 3u);
    const Sheet& values = book.sheets[0];
    EXPECT_EQ(values.name, "Values");
    EXPECT_TRUE(IsValue(values, "B2", CellType::Number, 42));
    EXPECT_TRUE(IsValue(values, "B3", CellType::Number, -1234.5678));
    EXPECT_TRUE(IsValue(values, "B4", CellType::Number, 12345678901.0));
    EXPECT_TRUE(IsValue(values, "B5", CellType::Boolean, 1));
    EXPECT_TRUE(IsValue(values, "B6", CellType::Boolean, 0));
    EXPECT_TRUE(IsText(values, "B7", "Zürich – 東京"));
    // Dates by their number format: spelled out, with a time, a time alone, built in.
    EXPECT_TRUE(IsValue(values, "B8", CellType::Date, 45351));
    const std::optional<Cell> stamp = At(values, "B9");
    ASSERT_TRUE(stamp);
    EXPECT_EQ(stamp->type, CellType::Date);
    EXPECT_NEAR(stamp->number, 36525 + 86398 * kSecond, kSecond / 10);
    EXPECT_EQ(At(values, "B10")->type, CellType::Date);
    EXPECT_NEAR(At(values, "B10")->number, 0.2708333, 1e-6);
    EXPECT_TRUE(IsValue(values, "B11", CellType::Date, 37145));
    EXPECT_TRUE(IsValue(values, "B12", CellType::Number, 0.25));  // a percentage is no date
    EXPECT_TRUE(IsValue(values, "B13", CellType::Date, 16));  // 15 January 1900 keeps its day

    const Sheet& formulas = book.sheets[1];
    EXPECT_TRUE(IsValue(formulas, "B2", CellType::Number, 42));
    EXPECT_TRUE(IsText(formulas, "B3", "abcd"));
    EXPECT_FALSE(At(formulas, "B4"));  // an empty text result is no value
    EXPECT_TRUE(IsValue(formulas, "B5", CellType::Boolean, 1));
    EXPECT_TRUE(IsValue(formulas, "B6", CellType::Boolean, 0));
    EXPECT_TRUE(IsError(formulas, "B7", "#DIV/0!"));
    EXPECT_TRUE(IsError(formulas, "B8", "#N/A"));
    EXPECT_TRUE(IsValue(formulas, "B9", CellType::Date, 45352));
    EXPECT_TRUE(IsValue(formulas, "B10", CellType::Number, 42 - 1234.5678));

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
}

TEST(XlsReaderTest, ReadsWhatSheetJSWrites) {
    // Under 4 KB: the workbook stream lives in the compound file's mini stream.
    ASSERT_LT(Bytes("sheetjs.xls").size(), 4700u);
    const Workbook small = Load("sheetjs.xls");
    ASSERT_EQ(small.sheets.size(), 2u);
    const Sheet& orders = small.sheets[0];
    EXPECT_EQ(orders.name, "Orders");
    EXPECT_TRUE(IsValue(orders, "A2", CellType::Number, 1001));
    EXPECT_TRUE(IsText(orders, "B3", "Nakamura 株式会社"));
    EXPECT_TRUE(IsValue(orders, "C2", CellType::Date, 45306));
    EXPECT_NEAR(At(orders, "C3")->number, 45351 + 9.5 / 24, kSecond);
    EXPECT_TRUE(IsValue(orders, "F3", CellType::Number, 9));  // a formula's stored value
    EXPECT_TRUE(IsValue(orders, "G2", CellType::Boolean, 1));
    EXPECT_TRUE(IsValue(orders, "G3", CellType::Boolean, 0));
    EXPECT_FALSE(At(orders, "H3"));
    const Sheet& checks = small.sheets[1];
    EXPECT_TRUE(IsText(checks, "B2", "abcd"));
    EXPECT_TRUE(IsValue(checks, "B3", CellType::Boolean, 1));
    EXPECT_TRUE(IsError(checks, "B4", "#DIV/0!"));
    EXPECT_TRUE(IsValue(checks, "B5", CellType::Number, -0.125));

    // Beyond 4 KB, shared strings on, three sheets.
    const Workbook large = Load("sheetjs_large.xls");
    ASSERT_EQ(large.sheets.size(), 3u);
    const Sheet& items = large.sheets[0];
    ASSERT_EQ(items.cells.size(), 3u + 300 * 3);
    EXPECT_TRUE(IsText(items, "B8", "item number 7 – ünïcödé"));
    EXPECT_TRUE(IsValue(items, "A301", CellType::Number, 300));
    EXPECT_TRUE(IsValue(items, "C301", CellType::Date, 43830 + 300));
    EXPECT_TRUE(IsText(large.sheets[1], "A1", "empty"));
    EXPECT_TRUE(IsValue(large.sheets[2], "B2", CellType::Number, 4));
}

TEST(XlsReaderTest, ReadsFilesOfOtherWriters) {
    const Workbook book = Load("sample.xls");
    EXPECT_TRUE(book.names.empty());
    ASSERT_EQ(book.sheets.size(), 3u);
    EXPECT_EQ(book.sheets[2].name, "Blank");
    EXPECT_TRUE(book.sheets[2].cells.empty());
    const Sheet& people = book.sheets[0];
    EXPECT_EQ(people.cells.size(), 6u + 6u + 1u);
    EXPECT_TRUE(IsText(people, "A2", "Zürich"));
    EXPECT_TRUE(IsValue(people, "C2", CellType::Number, 2.5));
    EXPECT_TRUE(IsValue(people, "E2", CellType::Date, 45351 + (13 * 3600 + 30 * 60 + 15) * kSecond));
    EXPECT_TRUE(IsValue(people, "F2", CellType::Date, 0.25));
    EXPECT_TRUE(IsValue(people, "B4", CellType::Number, -123456789));
    EXPECT_TRUE(IsText(book.sheets[1], "C3", "c3"));
}

TEST(XlsReaderTest, ReadsDatesOfThe1904DateSystemAsThe1900One) {
    for (const char* file : {"dates1904.xls", "calc_1904.xls"}) {
        SCOPED_TRACE(file);
        const Workbook book = Load(file);
        ASSERT_EQ(book.sheets.size(), 1u);
        const bool header = std::string(file) == "calc_1904.xls";
        const std::optional<Cell> date = At(book.sheets[0], header ? "A2" : "A1");
        const std::optional<Cell> stamp = At(book.sheets[0], header ? "B2" : "B1");
        ASSERT_TRUE(date && stamp);
        EXPECT_EQ(date->type, CellType::Date);
        EXPECT_EQ(date->number, 33010);
        EXPECT_NEAR(stamp->number, 45351 + (13 * 3600 + 30 * 60 + 15) * kSecond, kSecond / 10);
    }
}

TEST(XlsReaderTest, RefusesProtectedAndForeignFilesWithASentence) {
    const std::pair<const char*, const char*> cases[] = {
        {"protected.xls", "it is protected with a password"},
        {"not_xls.xls", "it is not an .xls workbook"},
        {"encrypted.xlsx", "a password-protected .xlsx workbook"},
        {"basic.xlsx", "it is not an .xls workbook (it is a zip archive, as an .xlsx workbook is)"},
        {"truncated.xls", "it is damaged"},
        {"there_is_no_such.xls", "there is no such file"},
    };
    for (const auto& [file, expected] : cases) {
        SCOPED_TRACE(file);
        Workbook book;
        std::string error;
        EXPECT_FALSE(LoadXls(Fixture(file), book, error));
        EXPECT_NE(error.find(expected), std::string::npos) << error;
        EXPECT_TRUE(book.sheets.empty());
    }
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
    EXPECT_NE(Refusal(loop).find("the chain of sectors of the directory loops back to sector"), std::string::npos)
        << Refusal(loop);

    std::string beyond = good;  // a chain that leaves the file
    SetU32(beyond, FatEntry(beyond, directory), 0x00FFFFFF);
    EXPECT_NE(Refusal(beyond).find("refers to sector 16777215, which the file does not have"), std::string::npos)
        << Refusal(beyond);

    EXPECT_NE(Refusal(good.substr(0, 300)).find("it ends within its header"), std::string::npos);
    EXPECT_NE(Refusal(good.substr(0, good.size() / 2)).find("it is damaged"), std::string::npos);

    std::string sectors = good;  // a sector size the format does not have
    sectors[0x1E] = 10;
    EXPECT_NE(Refusal(sectors).find("sector size of 2^10 bytes"), std::string::npos);

    // A small file: its workbook stream is a chain of the MiniFAT.
    std::string small = Bytes("sheetjs.xls");
    const std::size_t miniFat = (U32(small, 0x3C) + 1) * 512;
    for (std::uint32_t i = 0; i < 8; ++i) SetU32(small, miniFat + 4 * i, i);  // every sector its own successor
    EXPECT_NE(Refusal(small).find("loops back to sector"), std::string::npos) << Refusal(small);
}

TEST(XlsReaderTest, NamesWhatIsWrongWithDamagedRecords) {
    const std::string good = Bytes("calc_values.xls");
    // A LABELSST record (type 0x00FD, 10 bytes) pointing past the shared strings.
    std::string strings = good;
    const std::size_t label = strings.find(std::string("\xFD\x00\x0A\x00", 4));
    ASSERT_NE(label, std::string::npos);
    SetU32(strings, label + 4 + 6, 0x00FFFFFF);
    EXPECT_NE(Refusal(strings).find("refers to shared string 16777215, but the workbook has only"), std::string::npos)
        << Refusal(strings);

    // The first BOUNDSHEET record (type 0x0085) sends its sheet past the stream's end.
    std::string sheet = good;
    const std::size_t bound = sheet.find(std::string("\x85\x00", 2));
    ASSERT_NE(bound, std::string::npos);
    SetU32(sheet, bound + 4, 0x7FFFFFF0);
    EXPECT_NE(Refusal(sheet).find("the sheet 'Values' is not where the workbook's list of sheets puts it"),
              std::string::npos)
        << Refusal(sheet);
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
