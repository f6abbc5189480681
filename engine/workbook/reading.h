// What the .xlsx and .xls readers share, so that both read a workbook's cells alike: which
// number formats show a date or a time, how a date cell's stored number becomes the model's
// days (Cell::number of a Date), and putting a sheet's cells in the model's order.
//
// Functions only, without state; any thread.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/workbook/workbook.h"

namespace orv::engine::workbook {

// What a number format shows: kNotDate, kCalendar (a date, a time of day), or kElapsed (a
// duration such as [h]:mm, whose whole days are not days of a calendar).
constexpr std::uint8_t kNotDate = 0, kCalendar = 1, kElapsed = 2;

// The built-in number formats by their number (14 "m/d/yyyy", 22 "m/d/yyyy h:mm", 46
// "[h]:mm:ss", ...), for formats the file does not spell out.
std::uint8_t BuiltInDateFormat(std::uint64_t id);
// A format the file spells out ("yyyy-mm-dd", "[h]:mm", "0.00").
std::uint8_t CustomDateFormat(std::string_view code);

// Whether a number format code shows a date or a time ("yyyy-mm-dd", "[h]:mm", "m/d/yy
// h:mm AM/PM"), as opposed to a number ("0.00", "#,##0 \"kg\"", "[Red]0%").
bool IsDateFormatCode(std::string_view code);

// The days since 1899-12-30 of a cell that holds `serial` under a format of `kind` (not
// kNotDate), in a workbook of the 1904 date system or the 1900 one.
double DateCellDays(double serial, std::uint8_t kind, bool date1904);

// Sorts `cells` by row, then column; of a cell given twice, the last one is kept.
void PutCellsInOrder(std::vector<PlacedCell>& cells);

}  // namespace orv::engine::workbook
