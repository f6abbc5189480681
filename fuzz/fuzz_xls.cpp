// The .xls reader: the input is a whole file, a compound document whose workbook stream
// holds BIFF8 records. Its seeds are the small .xls fixtures, so that the fuzzer starts from
// files with a valid directory and allocation tables and mutates from there.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/workbook/workbook.h"
#include "engine/workbook/xls_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace orv::engine::workbook;
    Workbook book;
    std::string error;
    if (!LoadXlsFromMemory(data, size, book, error)) {
        if (error.empty() || !book.sheets.empty()) __builtin_trap();  // every refusal says why, and keeps nothing
        return 0;
    }
    // A loaded workbook keeps the model's promises: cells sorted, none Empty, in bounds.
    for (const Sheet& sheet : book.sheets) {
        for (std::size_t i = 0; i < sheet.cells.size(); ++i) {
            const PlacedCell& cell = sheet.cells[i];
            if (cell.cell.type == CellType::Empty || cell.row == 0 || cell.row > 65536 || cell.column == 0 ||
                cell.column > 16384)
                __builtin_trap();
            if (i > 0) {
                const PlacedCell& before = sheet.cells[i - 1];
                if (before.row > cell.row || (before.row == cell.row && before.column >= cell.column)) __builtin_trap();
            }
        }
    }
    return 0;
}
