// Reads an .xls workbook (the binary format of compound documents) with FreeXL, which
// decodes the cells and hands dates over as ISO text. Defined names are not available
// through FreeXL, so an .xls workbook has none.
#include <freexl.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "engine/sql/datetime.h"
#include "engine/workbook/workbook.h"

namespace orv::engine::workbook {

namespace {

std::string OpenError(int code) {
    switch (code) {
    case FREEXL_FILE_NOT_FOUND:
        return "there is no such file, or it cannot be read";
    case FREEXL_INSUFFICIENT_MEMORY:
        return "there is not enough memory to read it";
    case FREEXL_INVALID_CFBF_HEADER:
    case FREEXL_CFBF_INVALID_SIGNATURE:
        return "it is not an .xls workbook";
    case FREEXL_BIFF_WORKBOOK_NOT_FOUND:
        // Password-protected .xlsx files are compound documents of this kind too.
        return "it is not an .xls workbook (a compound document without a workbook stream; a password-protected "
               ".xlsx workbook looks like this and must be saved without its password first)";
    default:
        return "it is damaged and cannot be read (error " + std::to_string(code) + " while reading its structure)";
    }
}

// FreeXL reports a file that is too short for a compound document as a read error, like a
// damaged one; the signature tells them apart first, and names what the file is instead.
bool CheckSignature(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "there is no such file, or it cannot be read";
        return false;
    }
    char head[8] = {};
    file.read(head, sizeof head);
    if (file.gcount() == 8 && std::memcmp(head, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) == 0) return true;
    if (file.gcount() >= 4 && std::memcmp(head, "PK\x03\x04", 4) == 0)
        error = "it is not an .xls workbook (it is a zip archive, as an .xlsx workbook is)";
    else
        error = "it is not an .xls workbook";
    return false;
}

// The place of a cell in messages: "B2".
std::string Name(unsigned row, unsigned column) { return CellReference(row + 1, column + 1); }

class Handle {
public:
    ~Handle() {
        if (m_handle) freexl_close(m_handle);
    }
    const void* m_handle = nullptr;
};

bool ReadXls(const std::string& path, Workbook& out, std::string& error) {
    if (!CheckSignature(path, error)) return false;
    Handle file;
    // A failed open may still have allocated the handle, which must be closed either way.
    int rc = freexl_open(path.c_str(), &file.m_handle);
    if (rc != FREEXL_OK) {
        error = OpenError(rc);
        return false;
    }
    unsigned int info = 0;
    if (freexl_get_info(file.m_handle, FREEXL_BIFF_PASSWORD, &info) == FREEXL_OK && info == FREEXL_BIFF_OBFUSCATED) {
        error = "it is protected with a password; save it without the password to read it";
        return false;
    }
    unsigned int sheetCount = 0;
    if (freexl_get_info(file.m_handle, FREEXL_BIFF_SHEET_COUNT, &sheetCount) != FREEXL_OK) {
        error = "it is damaged: its list of sheets cannot be read";
        return false;
    }
    out.sheets.reserve(sheetCount);
    for (unsigned int index = 0; index < sheetCount && index <= 0xFFFF; ++index) {
        Sheet sheet;
        const char* name = nullptr;
        if (freexl_get_worksheet_name(file.m_handle, static_cast<unsigned short>(index), &name) != FREEXL_OK ||
            freexl_select_active_worksheet(file.m_handle, static_cast<unsigned short>(index)) != FREEXL_OK) {
            error = "it is damaged: sheet " + std::to_string(index + 1) + " cannot be read";
            return false;
        }
        sheet.name = name ? name : "";
        unsigned int rows = 0;
        unsigned short columns = 0;
        if (freexl_worksheet_dimensions(file.m_handle, &rows, &columns) != FREEXL_OK) {
            error = "it is damaged: the size of the sheet '" + sheet.name + "' cannot be read";
            return false;
        }
        // The dimensions are counts of rows and columns: cells are numbered from 0 below them.
        for (unsigned int row = 0; row < rows; ++row) {
            for (unsigned short column = 0; column < columns; ++column) {
                FreeXL_CellValue value;
                if (freexl_get_cell_value(file.m_handle, row, column, &value) != FREEXL_OK) {
                    error = "it is damaged: cell " + Name(row, column) + " of the sheet '" + sheet.name +
                            "' cannot be read";
                    return false;
                }
                Cell cell;
                switch (value.type) {
                case FREEXL_CELL_INT:
                    cell.type = CellType::Number;
                    cell.number = value.value.int_value;
                    break;
                case FREEXL_CELL_DOUBLE:
                    cell.type = CellType::Number;
                    cell.number = value.value.double_value;
                    break;
                case FREEXL_CELL_TEXT:
                case FREEXL_CELL_SST_TEXT:
                    cell.type = CellType::Text;
                    cell.text = value.value.text_value ? value.value.text_value : "";
                    break;
                case FREEXL_CELL_DATE:
                case FREEXL_CELL_DATETIME:
                case FREEXL_CELL_TIME: {
                    // "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS" or "HH:MM:SS" (a time of 30 December 1899).
                    const char* text = value.value.text_value ? value.value.text_value : "";
                    std::optional<DateParts> parts = ParseIsoDateTime(text);
                    std::optional<double> serial = parts ? OleDateFromParts(*parts) : std::nullopt;
                    if (serial) {
                        cell.type = CellType::Date;
                        cell.number = *serial;
                    } else {
                        // A date FreeXL could not place in the calendar is kept as it reads.
                        cell.type = CellType::Text;
                        cell.text = text;
                    }
                    break;
                }
                default:  // FREEXL_CELL_NULL: an empty cell
                    continue;
                }
                sheet.cells.push_back(PlacedCell{row + 1, static_cast<std::uint32_t>(column) + 1, std::move(cell)});
            }
        }
        out.sheets.push_back(std::move(sheet));
    }
    return true;
}

}  // namespace

bool LoadXls(const std::string& path, Workbook& out, std::string& error) {
    out = Workbook{};
    out.format = Format::Xls;
    if (ReadXls(path, out, error)) return true;
    out = Workbook{};
    out.format = Format::Xls;
    return false;
}

}  // namespace orv::engine::workbook
