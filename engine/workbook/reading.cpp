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

void PutCellsInOrder(std::vector<PlacedCell>& cells) {
    std::stable_sort(cells.begin(), cells.end(), [](const PlacedCell& a, const PlacedCell& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (kept > 0 && cells[kept - 1].row == cells[i].row && cells[kept - 1].column == cells[i].column) --kept;
        if (kept != i) cells[kept] = std::move(cells[i]);
        ++kept;
    }
    cells.resize(kept);
}

}  // namespace orv::engine::workbook
