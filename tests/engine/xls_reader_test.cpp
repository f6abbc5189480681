#include <gtest/gtest.h>
#include <cstdio>
#include "engine/workbook/workbook.h"
#include "engine/workbook/xls_reader.h"
#include "support/workbook_cells.h"
using namespace orv::engine::workbook;
TEST(XlsDump, Dump) {
    for (const char* f : {"calc_values.xls", "calc_1904.xls", "sheetjs.xls", "sheetjs_large.xls", "office.xls", "sample.xls"}) {
        Workbook book; std::string error;
        bool ok = LoadXls(orv::test::WorkbookFixture(f), book, error);
        printf("== %s ok=%d %s\n", f, ok, error.c_str());
        for (auto& s : book.sheets) {
            printf(" sheet %s (%zu cells)\n", s.name.c_str(), s.cells.size());
            int n = 0;
            for (auto& c : s.cells) { if (n++ > 30) break; printf("  %s t=%d n=%.10g '%s'\n", CellReference(c.row, c.column).c_str(), int(c.cell.type), c.cell.number, c.cell.text.substr(0,60).c_str()); }
        }
    }
}
