#include "engine/workbook/reading.h"

#include <algorithm>
#include <utility>

namespace orv::engine::workbook {

namespace {
// Serial day numbers of workbooks in the 1904 date system count from 1 January 1904.
constexpr double kDays1904 = 1462;
}  // namespace

std::uint8_t BuiltInDateFormat(std::uint64_t id) {
    if (id == 46) return kElapsed;  // [h]:mm:ss
    return (id >= 14 && id <= 22) || (id >= 27 && id <= 36) || (id >= 45 && id <= 47) || (id >= 50 && id <= 58)
               ? kCalendar
               : kNotDate;
}

std::uint8_t CustomDateFormat(std::string_view code) {
    if (!IsDateFormatCode(code)) return kNotDate;
    for (const char* elapsed : {"[h", "[H", "[m", "[M", "[s", "[S"})
        if (code.find(elapsed) != std::string_view::npos) return kElapsed;
    return kCalendar;
}

bool IsDateFormatCode(std::string_view code) {
    for (std::size_t i = 0; i < code.size(); ++i) {
        char c = code[i];
        switch (c) {
        case '"': {  // literal text
            std::size_t close = code.find('"', i + 1);
            if (close == std::string_view::npos) return false;
            i = close;
            continue;
        }
        case '\\':  // an escaped character
        case '_':   // the width of the next character, as a space
        case '*':   // the next character repeated to fill the cell
            ++i;
            continue;
        case '[': {
            std::size_t close = code.find(']', i + 1);
            if (close == std::string_view::npos) return false;
            std::string_view inside = code.substr(i + 1, close - i - 1);
            // [h], [mm], [ss]: elapsed time, a duration shown as a time.
            if (!inside.empty()) {
                char first = char(inside[0] | 0x20);
                if ((first == 'h' || first == 'm' || first == 's') &&
                    std::all_of(inside.begin(), inside.end(), [first](char x) { return char(x | 0x20) == first; }))
                    return true;
            }
            i = close;  // a colour, a condition, a locale
            continue;
        }
        default:
            break;
        }
        char lower = char(c | 0x20);
        if (lower == 'd' || lower == 'm' || lower == 'y' || lower == 'h' || lower == 's') return true;
    }
    return false;
}

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
