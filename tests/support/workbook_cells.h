// Looking at the cells a workbook reader produced: the cell at a reference, and assertions
// on its type and value and on the order of a sheet's cells. For the readers' tests; the
// fixtures they name are in tests/fixtures/workbooks.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "engine/workbook/workbook.h"

namespace orv::test {

inline std::string WorkbookFixture(const std::string& name) { return std::string(ORV_FIXTURES) + "/workbooks/" + name; }

// The cell at a reference such as "B2" (a copy: a sheet keeps its cells in a compact form),
// or nothing when the sheet has none there.
inline std::optional<engine::workbook::Cell> At(const engine::workbook::Sheet& sheet, const char* reference) {
    std::uint32_t row = 0, column = 0;
    if (!engine::workbook::ParseCellReference(reference, row, column)) return std::nullopt;
    for (const engine::workbook::PlacedCell& placed : sheet.cells)
        if (placed.row == row && placed.column == column) return placed.cell;
    return std::nullopt;
}

inline ::testing::AssertionResult IsText(const engine::workbook::Sheet& sheet, const char* reference,
                                         const std::string& text) {
    const std::optional<engine::workbook::Cell> cell = At(sheet, reference);
    if (!cell) return ::testing::AssertionFailure() << reference << " has no cell";
    if (cell->type != engine::workbook::CellType::Text)
        return ::testing::AssertionFailure() << reference << " is not text";
    if (cell->Text() != text) return ::testing::AssertionFailure() << reference << " is '" << cell->Text() << "'";
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult IsValue(const engine::workbook::Sheet& sheet, const char* reference,
                                          engine::workbook::CellType type, double number) {
    const std::optional<engine::workbook::Cell> cell = At(sheet, reference);
    if (!cell) return ::testing::AssertionFailure() << reference << " has no cell";
    if (cell->type != type) return ::testing::AssertionFailure() << reference << " has type " << int(cell->type);
    if (cell->number != number) return ::testing::AssertionFailure() << reference << " is " << cell->number;
    return ::testing::AssertionSuccess();
}

// Cells sorted by row, then column, none given twice and none Empty.
inline ::testing::AssertionResult InOrder(const engine::workbook::Sheet& sheet) {
    for (std::size_t i = 1; i < sheet.cells.size(); ++i) {
        const engine::workbook::PlacedCell& a = sheet.cells[i - 1];
        const engine::workbook::PlacedCell& b = sheet.cells[i];
        if (a.row > b.row || (a.row == b.row && a.column >= b.column))
            return ::testing::AssertionFailure() << "cell " << i << " of '" << sheet.name << "' is out of order";
        if (b.cell.type == engine::workbook::CellType::Empty) return ::testing::AssertionFailure() << "an Empty cell";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace orv::test
