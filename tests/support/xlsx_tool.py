# Test support for the workbook writer: makes source workbooks with openpyxl and reads
# written ones back, printing one "key=value" line per fact so that a C++ test can compare.
# Run with Debian's /usr/bin/python3, which has openpyxl.
#
#   xlsx_tool.py make PATH [SHEET2_XML]   a styled two-sheet workbook with a formula, a defined
#                                         name and an unknown part; SHEET2_XML replaces the
#                                         second sheet's part as written by hand
#   xlsx_tool.py dump PATH                sheets, cells (value, number format, bold), names,
#                                         column widths, merged ranges
#   xlsx_tool.py entries PATH             archive entries in order: name, sha256 of the bytes,
#                                         sha256 of the compressed bytes, compression method
#   xlsx_tool.py part PATH NAME           one part's bytes
#   xlsx_tool.py sub PATH NAME OLD NEW    replaces text in one part
#   xlsx_tool.py big PATH ROWS            one sheet of ROWS rows of three cells
import datetime
import hashlib
import json
import struct
import sys
import zipfile

import openpyxl
from openpyxl.styles import Font
from openpyxl.workbook.defined_name import DefinedName

CUSTOM_XML = b'<?xml version="1.0"?><root xmlns="urn:test">  unknown   part </root>'


def rewrite_part(path, name, data):
    with zipfile.ZipFile(path) as source:
        items = [(info, source.read(info.filename)) for info in source.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as out:
        for info, payload in items:
            out.writestr(info, data if info.filename == name else payload)


def make(path, sheet2=None):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Data"
    ws["A1"] = "Name"
    ws["A1"].font = Font(bold=True)
    ws["B1"] = "Amount"
    ws["B1"].font = Font(bold=True)
    for row, (name, amount) in enumerate([("apple", 1.5), ("pear", 2.25), ("plum", 3)], start=2):
        ws.cell(row=row, column=1, value=name)
        ws.cell(row=row, column=2, value=amount).number_format = "0.00"
    ws["C2"] = "=B2*2"
    ws["C3"] = "=B3*2"
    ws["D1"] = "merged"
    ws.merge_cells("D1:E1")
    ws.column_dimensions["A"].width = 20
    other = wb.create_sheet("Other")
    other["A1"] = 42
    wb.defined_names.append(DefinedName("Amounts", attr_text="Data!$B$2:$B$4"))
    wb.save(path)
    with zipfile.ZipFile(path, "a", zipfile.ZIP_DEFLATED) as z:
        z.writestr("customXml/item1.xml", CUSTOM_XML)
        z.writestr(zipfile.ZipInfo("docs/stored.bin"), bytes(range(256)) * 4)  # stored, not deflated
    # A calculation chain as spreadsheet programs leave it, naming the formula cells.
    with zipfile.ZipFile(path) as z:
        rels = z.read("xl/_rels/workbook.xml.rels")
        types = z.read("[Content_Types].xml")
    rels = rels.replace(b"</Relationships>", b'<Relationship Id="rId99" Type="http://schemas.openxmlformats.org/'
                        b'officeDocument/2006/relationships/calcChain" Target="calcChain.xml"/></Relationships>')
    types = types.replace(b"</Types>", b'<Override PartName="/xl/calcChain.xml" ContentType="application/'
                          b'vnd.openxmlformats-officedocument.spreadsheetml.calcChain+xml"/></Types>')
    rewrite_part(path, "xl/_rels/workbook.xml.rels", rels)
    rewrite_part(path, "[Content_Types].xml", types)
    with zipfile.ZipFile(path, "a", zipfile.ZIP_DEFLATED) as z:
        z.writestr("xl/calcChain.xml", b'<?xml version="1.0"?><calcChain xmlns="http://schemas.openxmlformats.org/'
                   b'spreadsheetml/2006/main"><c r="C2" i="1"/><c r="C3"/></calcChain>')
    if sheet2:
        with open(sheet2, "rb") as f:
            rewrite_part(path, "xl/worksheets/sheet2.xml", f.read())


def value_text(v):
    if isinstance(v, bool):
        return "b:" + str(v)
    if isinstance(v, (int, float)):
        return "n:" + repr(v)
    if isinstance(v, datetime.date):  # a datetime too
        return "d:" + v.isoformat()
    return "s:" + json.dumps(v, ensure_ascii=False)


def dump(path):
    wb = openpyxl.load_workbook(path)
    print("sheets=" + ",".join(wb.sheetnames))
    for dn in wb.defined_names.definedName:
        print("name:%s=%s" % (dn.name, dn.attr_text))
    for ws in wb.worksheets:
        for row in ws.iter_rows():
            for c in row:
                if c.value is None:
                    continue
                print("%s!%s=%s fmt=%s bold=%d" % (ws.title, c.coordinate, value_text(c.value), c.number_format,
                                                  1 if c.font.b else 0))
        for key, dim in sorted(ws.column_dimensions.items()):
            if dim.width and dim.customWidth:
                print("width:%s!%s=%g" % (ws.title, key, dim.width))
        for rng in ws.merged_cells.ranges:
            print("merged:%s=%s" % (ws.title, rng.coord))


def raw_bytes(path, info):
    with open(path, "rb") as f:
        f.seek(info.header_offset)
        header = f.read(30)
        name_length, extra_length = struct.unpack("<HH", header[26:30])
        f.seek(info.header_offset + 30 + name_length + extra_length)
        return f.read(info.compress_size)


def entries(path):
    with zipfile.ZipFile(path) as z:
        for info in z.infolist():
            digest = hashlib.sha256(z.read(info.filename)).hexdigest()
            stored = hashlib.sha256(raw_bytes(path, info)).hexdigest()
            print("%s %s %s %d" % (info.filename, digest, stored, info.compress_type))


def part(path, name):
    with zipfile.ZipFile(path) as z:
        sys.stdout.buffer.write(z.read(name))


def big(path, rows):
    wb = openpyxl.Workbook(write_only=True)
    ws = wb.create_sheet("Big")
    for i in range(1, rows + 1):
        ws.append([i, "row %d" % i, i * 0.5])
    wb.save(path)


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    if command == "make":
        make(*args)
    elif command == "dump":
        dump(*args)
    elif command == "entries":
        entries(*args)
    elif command == "part":
        part(*args)
    elif command == "sub":
        with zipfile.ZipFile(args[0]) as z:
            text = z.read(args[1])
        if args[2].encode() not in text:
            sys.exit("%s has no %s" % (args[1], args[2]))
        rewrite_part(args[0], args[1], text.replace(args[2].encode(), args[3].encode()))
    elif command == "big":
        big(args[0], int(args[1]))
    else:
        sys.exit("unknown command " + command)
