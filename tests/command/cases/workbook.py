# The workbook of tests/command/workbook_test.cpp, made and read back with openpyxl.
#
#   workbook.py make PATH   a workbook as a spreadsheet program leaves it: a styled header,
#                           numbers, dates, booleans, non-ASCII text, a defined name, and a
#                           second sheet whose data starts at B3 with a column of mixed values
#   workbook.py dump PATH   every sheet's cells as "Sheet!A1=repr" lines, with bold fonts and
#                           date types marked, then the defined names
import datetime
import sys

import openpyxl
from openpyxl.styles import Font
from openpyxl.workbook.defined_name import DefinedName


def make(path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Parts"
    ws.append(["id", "name", "qty", "price", "added", "active"])
    for c in ws[1]:
        c.font = Font(bold=True)
    ws.append([1, "bolt", 10, 0.25, datetime.datetime(2024, 3, 1), True])
    ws.append([2, "Mutter \u00d88", 250, 0.1, datetime.datetime(2024, 3, 2, 13, 45), False])
    ws.append([3, "washer", 5, 1.5, datetime.datetime(2023, 12, 31), True])
    ws["D2"].number_format = "0.00"
    notes = wb.create_sheet("Notes")
    notes["B3"] = "part"
    notes["C3"] = "note"
    notes["B4"] = 1
    notes["C4"] = "first"
    notes["B5"] = 3
    notes["C5"] = 42
    wb.defined_names.append(DefinedName("Cheap", attr_text="Parts!$A$1:$D$3"))
    wb.save(path)


def dump(path):
    wb = openpyxl.load_workbook(path)
    for ws in wb.worksheets:
        print("sheet", ws.title)
        for row in ws.iter_rows():
            for c in row:
                if c.value is None:
                    continue
                flags = (" bold" if c.font and c.font.b else "") + (" date" if c.is_date else "")
                print("%s!%s=%r%s" % (ws.title, c.coordinate, c.value, flags))
    for name in wb.defined_names.definedName:
        print("name", name.name, name.attr_text)


if __name__ == "__main__":
    {"make": make, "dump": dump}[sys.argv[1]](sys.argv[2])
