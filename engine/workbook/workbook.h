// The contents of a workbook as the engine sees them: sheets of typed cells and the
// workbook-level names of cell ranges, read from an .xlsx archive or an .xls compound
// document, and the edits that a write carries back into an .xlsx file.
//
// Plain values; a Workbook belongs to whoever loaded it. The functions may be called
// from any thread, on different files at once.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::engine::workbook {

enum class CellType : std::uint8_t { Empty, Number, Date, Boolean, Text, Error };

struct Cell {
    CellType type = CellType::Empty;
    double number = 0;  // Number; Date as days since 1899-12-30 (the time as the fraction); Boolean 0 or 1
    std::string text;  // Text (UTF-8); Error as its code ("#N/A", "#DIV/0!")
    // A cell of a loaded workbook whose text is one of the workbook's shared strings points
    // at it instead of copying it into `text` (a long string used by many cells would
    // otherwise take its length times theirs). Valid while the Workbook lives; cells made
    // for a write (SheetEdit) always carry their own text.
    const std::string* shared = nullptr;

    const std::string& Text() const { return shared ? *shared : text; }
};

// A non-empty cell and its place; rows and columns count from 1 (A1 is row 1, column 1).
struct PlacedCell {
    std::uint32_t row = 0, column = 0;
    Cell cell;
};

struct Sheet {
    std::string name;
    std::vector<PlacedCell> cells;  // sorted by row, then column; no Empty cells
};

// A rectangle of cells, rows and columns from 1, bounds included.
struct Range {
    std::uint32_t firstRow = 0, firstColumn = 0, lastRow = 0, lastColumn = 0;
};

// A workbook-level defined name that refers to one rectangle of one sheet.
struct DefinedName {
    std::string name;
    std::string sheet;
    Range range;
};

enum class Format { Xlsx, Xls };

struct Workbook {
    Format format = Format::Xlsx;
    std::vector<Sheet> sheets;  // in the workbook's order
    std::vector<DefinedName> names;  // names of other kinds (formulas, sheet-local names) are left out
    std::vector<std::string> sharedStrings;  // what Cell::shared points into; never changed after loading

    Workbook() = default;
    // Moving keeps the shared strings where the cells point; a copy would not.
    Workbook(Workbook&&) = default;
    Workbook& operator=(Workbook&&) = default;
    Workbook(const Workbook&) = delete;
    Workbook& operator=(const Workbook&) = delete;
};

// The most text one cell may hold when a workbook is read, in UTF-8 bytes: far beyond the
// 32,767 characters spreadsheet programs allow, and far below what would exhaust memory.
inline constexpr std::size_t kMaxCellTextBytes = std::size_t(16) << 20;

// The format of the workbook file at `path`, from its first bytes (a zip archive or a
// compound document); nullopt for anything else or a file that cannot be read.
std::optional<Format> DetectFormat(const std::string& path);

// Reads the whole workbook at `path`. On failure `error` completes the sentence
// "Cannot open the workbook '<path>': ..." ("it is not a zip archive", "the part
// xl/workbook.xml is missing", "xl/sharedStrings.xml is not well-formed XML at line 3").
bool LoadXlsx(const std::string& path, Workbook& out, std::string& error);
bool LoadXls(const std::string& path, Workbook& out, std::string& error);

// A change to one sheet of an .xlsx file. Cells not named keep their value, style and
// formula; a named cell takes the new value (an Empty cell is removed) and keeps its style,
// except that a Date value gets a date format when its cell has none.
struct SheetEdit {
    std::string sheet;
    bool create = false;  // a new sheet, added after the last one
    bool clear = false;  // every cell of the sheet removed before `cells` are applied
    std::map<std::uint32_t, std::map<std::uint32_t, Cell>> cells;  // row -> column -> value
};

// Writes to `destination` (made anew; a failure removes it) the workbook at `source` with `edits` applied: every
// other part of the archive (other sheets, styles, names, pictures, parts this engine does
// not know) is copied unchanged. An empty `source` makes a new workbook holding only the
// created sheets. On failure `error` completes "Cannot write the workbook '<path>': ...".
bool SaveXlsx(const std::string& source, const std::vector<SheetEdit>& edits, const std::string& destination,
              std::string& error);
// The same into the empty file behind `destination` (the caller's, left open and unsynced),
// with scratch files in `scratchFolder`.
bool SaveXlsx(const std::string& source, const std::vector<SheetEdit>& edits, int destination,
              const std::string& scratchFolder, std::string& error);

// A date cell's serial number in the workbook's 1900 date system <-> days since 1899-12-30
// (Cell::number of a Date). The format counts a 29 February 1900 that never was, so its
// serials of January and February 1900 are one less than those days.
double DaysFromSerial(double serial);
double SerialFromDays(double days);

// "A1" <-> (row, column); false when the text is not a cell reference. "$A$1" is accepted.
bool ParseCellReference(std::string_view text, std::uint32_t& row, std::uint32_t& column);
std::string CellReference(std::uint32_t row, std::uint32_t column);

}  // namespace orv::engine::workbook
