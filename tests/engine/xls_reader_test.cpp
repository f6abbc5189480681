// Reading .xls workbooks into cells: files that LibreOffice and SheetJS wrote (every cell
// record, formula results, booleans, dates by their number formats, both date systems,
// text run on into CONTINUE records, small files whose streams live in the mini stream),
// and damaged or protected files refused with a sentence. The fixtures come from
// scripts/fixtures/make_office_workbooks.sh, make_sheetjs_workbooks.sh and make_workbooks.py.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "engine/workbook/workbook.h"
#include "engine/workbook/xls_reader.h"
#include "support/files.h"
#include "support/holds.h"
#include "support/workbook_cells.h"

using namespace orv::engine::workbook;
using orv::test::At;
using orv::test::Holds;
using orv::test::InOrder;
using orv::test::IsText;

namespace {

std::string Fixture(const std::string& name) { return orv::test::WorkbookFixture(name); }
std::string Bytes(const std::string& name) { return orv::test::ReadFile(Fixture(name)); }

Workbook Load(const std::string& name) {
    Workbook book;
    std::string error;
    EXPECT_TRUE(LoadXls(Fixture(name), book, error)) << name << ": " << error;
    EXPECT_EQ(book.format, Format::Xls);
    for (const Sheet& sheet : book.sheets) EXPECT_TRUE(InOrder(sheet));
    return book;
}

// The cells of the fixtures are lines of tests/engine/cases/workbook_cells.test.
TEST(XlsReaderTest, ReadsTextRunOnIntoContinueRecordsAsSharedStrings) {
    const Workbook book = Load("calc_values.xls");
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
