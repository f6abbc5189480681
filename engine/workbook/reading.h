// What the .xlsx and .xls readers share, so that both read a workbook's cells alike: how a
// date cell's stored number becomes the model's days (Cell::number of a Date); the cells
// are kept and put in order by SheetCells (workbook.h). Which formats are dates is in styles.h.
//
// Functions only, without state; any thread.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/workbook/styles.h"
#include "engine/workbook/workbook.h"

namespace orv::engine::workbook {

// The days since 1899-12-30 of a cell that holds `serial` under a format of `kind` (not
// kNotDate), in a workbook of the 1904 date system or the 1900 one.
double DateCellDays(double serial, std::uint8_t kind, bool date1904);

}  // namespace orv::engine::workbook
