// The .xlsx reader. Random bytes seldom make a zip archive that opens, so by default the
// input is the XML of the parts, separated by 0xFF bytes (which UTF-8 text never holds):
//
//   sheet1.xml 0xFF sharedStrings.xml 0xFF styles.xml 0xFF workbook.xml 0xFF workbook.xml.rels
//
// and the harness builds the archive around them (a part left out gets a plain default), so
// that the fuzzer works on the XML readers. An input that starts with "PK" is handed over
// as a whole archive instead, for the archive handling itself.
#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/workbook/workbook.h"
#include "engine/workbook/xlsx_reader.h"

namespace {

using orv::engine::workbook::Workbook;

const char* const kParts[] = {"xl/worksheets/sheet1.xml", "xl/sharedStrings.xml", "xl/styles.xml", "xl/workbook.xml",
                              "xl/_rels/workbook.xml.rels"};

const char* const kDefaults[] = {
    "<worksheet><sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row></sheetData></worksheet>",
    "<sst><si><t>a</t></si></sst>",
    "<styleSheet><cellXfs><xf numFmtId=\"14\"/></cellXfs></styleSheet>",
    "<workbook xmlns:r=\"r\"><sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/>"
    "<sheet name=\"T\" sheetId=\"2\" r:id=\"rId2\"/></sheets>"
    "<definedNames><definedName name=\"N\">S!$A$1:$B$2</definedName></definedNames></workbook>",
    "<Relationships>"
    "<Relationship Id=\"rId1\" Type=\"x/worksheet\" Target=\"worksheets/sheet1.xml\"/>"
    "<Relationship Id=\"rId2\" Type=\"x/worksheet\" Target=\"/xl/worksheets/sheet1.xml\"/>"
    "<Relationship Id=\"rId3\" Type=\"x/sharedStrings\" Target=\"sharedStrings.xml\"/>"
    "<Relationship Id=\"rId4\" Type=\"x/styles\" Target=\"styles.xml\"/></Relationships>",
};

// Every cell of a loaded workbook must keep the model's promises.
void Check(const Workbook& book) {
    for (const auto& sheet : book.sheets) {
        for (std::size_t i = 0; i < sheet.cells.size(); ++i) {
            const auto& cell = sheet.cells[i];
            if (cell.cell.type == orv::engine::workbook::CellType::Empty) __builtin_trap();
            if (cell.row == 0 || cell.row > 1048576 || cell.column == 0 || cell.column > 16384) __builtin_trap();
            if (i > 0) {
                const auto& before = sheet.cells[i - 1];
                if (before.row > cell.row || (before.row == cell.row && before.column >= cell.column)) __builtin_trap();
            }
        }
    }
    for (const auto& name : book.names)
        if (name.range.firstRow > name.range.lastRow || name.range.firstColumn > name.range.lastColumn ||
            name.range.firstRow == 0)
            __builtin_trap();
}

// The archive of the parts, uncompressed, in memory.
bool BuildArchive(const std::vector<std::string_view>& parts, std::string& archive) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (!buffer) return false;
    zip_t* zip = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
    if (!zip) {
        zip_source_free(buffer);
        return false;
    }
    zip_source_keep(buffer);  // the written archive is read back from it after zip_close
    for (std::size_t i = 0; i < std::size(kParts); ++i) {
        std::string_view text = i < parts.size() ? parts[i] : std::string_view(kDefaults[i]);
        zip_source_t* source = zip_source_buffer(zip, text.data(), text.size(), 0);
        zip_int64_t index = source ? zip_file_add(zip, kParts[i], source, 0) : -1;
        if (index < 0) {
            zip_source_free(source);
            continue;
        }
        zip_set_file_compression(zip, zip_uint64_t(index), ZIP_CM_STORE, 0);
    }
    bool ok = zip_close(zip) == 0;
    if (!ok) zip_discard(zip);
    zip_stat_t stat;
    if (ok && zip_source_stat(buffer, &stat) == 0 && zip_source_open(buffer) == 0) {
        archive.resize(stat.size);
        ok = zip_source_read(buffer, archive.data(), stat.size) == zip_int64_t(stat.size);
        zip_source_close(buffer);
    } else {
        ok = false;
    }
    zip_source_free(buffer);
    zip_error_fini(&error);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    Workbook book;
    std::string error;
    if (input.substr(0, 2) == "PK") {
        if (orv::engine::workbook::LoadXlsxFromMemory(data, size, book, error)) Check(book);
        else if (error.empty()) __builtin_trap();
        return 0;
    }
    std::vector<std::string_view> parts;
    while (parts.size() < std::size(kParts)) {
        std::size_t separator = input.find('\xFF');
        parts.push_back(input.substr(0, separator));
        if (separator == std::string_view::npos) break;
        input.remove_prefix(separator + 1);
    }
    std::string archive;
    if (!BuildArchive(parts, archive)) return 0;
    if (orv::engine::workbook::LoadXlsxFromMemory(archive.data(), archive.size(), book, error)) Check(book);
    else if (error.empty()) __builtin_trap();  // every refusal says why
    return 0;
}
