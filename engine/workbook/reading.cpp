#include "engine/workbook/reading.h"

#include <algorithm>
#include <utility>

namespace orv::engine::workbook {

namespace {
// Serial day numbers of workbooks in the 1904 date system count from 1 January 1904.
constexpr double kDays1904 = 1462;
}  // namespace

double DateCellDays(double serial, std::uint8_t kind, bool date1904) {
    // A duration keeps its days; a calendar date of early 1900 is corrected.
    if (date1904) return serial + kDays1904;
    return kind == kCalendar ? DaysFromSerial(serial) : serial;
}

void SheetCells::Add(std::uint32_t row, std::uint32_t column, CellType type, double number, const std::string* shared,
                     std::string_view text) {
    Stored& cell = m_cells.emplace_back();
    cell.row = row;
    cell.column = static_cast<std::uint16_t>(column);
    cell.type = type;
    if (type == CellType::Text && shared) {
        cell.shared = shared;
    } else if (type == CellType::Text || type == CellType::Error) {
        // Lengths are at most kMaxCellTextBytes; the length goes before the bytes, so that a
        // cell takes no more than its place in the block.
        const auto length = static_cast<std::uint32_t>(text.size());
        cell.ownText = true;
        cell.offset = m_texts.size();
        m_texts.append(reinterpret_cast<const char*>(&length), sizeof length);
        m_texts.append(text);
    } else {
        cell.number = number;
    }
}

void SheetCells::PutInOrder() {
    std::stable_sort(m_cells.begin(), m_cells.end(), [](const Stored& a, const Stored& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_cells.size(); ++i) {
        if (kept > 0 && m_cells[kept - 1].row == m_cells[i].row && m_cells[kept - 1].column == m_cells[i].column)
            --kept;
        if (kept != i) m_cells[kept] = m_cells[i];
        ++kept;
    }
    m_cells.resize(kept);
}

PlacedCell SheetCells::Placed(const Stored& stored) const {
    PlacedCell placed;
    placed.row = stored.row;
    placed.column = stored.column;
    placed.cell.type = stored.type;
    if (stored.ownText) placed.cell.text = TextOf(stored);
    else if (stored.type == CellType::Text) placed.cell.shared = stored.shared;
    else placed.cell.number = stored.number;
    return placed;
}

}  // namespace orv::engine::workbook
