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

// A sheet's cells as a loaded workbook keeps them: 16 bytes a cell, the texts that are not
// shared strings in one block beside them. A sheet of a million cells held as PlacedCells
// took 64 MB and a page fault per 64 cells as it filled; a scan reads the stored form.
//
// Reading one cell (`[i]`, `front()`, a range-for) makes a PlacedCell: the cell's own text
// copied, a shared string pointed at as the loaded cell did.
class SheetCells {
public:
    struct Stored {
        std::uint32_t row = 0;
        std::uint16_t column = 0;
        CellType type = CellType::Empty;
        bool ownText = false;  // Text or Error whose text is in the block, at `offset`
        union {
            double number;  // Number, Date, Boolean
            const std::string* shared;  // Text that is one of the workbook's shared strings
            std::uint64_t offset;  // ownText: where its length (4 bytes) and then its bytes start
        };
        Stored() : number(0) {}
    };
    static_assert(sizeof(Stored) == 16);

    // A standard container's names: range-for and the callers read the cells as they read
    // a vector's.
    // NOLINTBEGIN(readability-identifier-naming)
    std::size_t size() const { return m_cells.size(); }
    bool empty() const { return m_cells.empty(); }
    PlacedCell operator[](std::size_t i) const { return Placed(m_cells[i]); }
    PlacedCell front() const { return Placed(m_cells.front()); }
    PlacedCell back() const { return Placed(m_cells.back()); }

    class Iterator {
    public:
        Iterator(const SheetCells* cells, std::size_t at) : m_cells(cells), m_at(at) {}
        PlacedCell operator*() const { return (*m_cells)[m_at]; }
        Iterator& operator++() {
            ++m_at;
            return *this;
        }
        bool operator==(const Iterator& other) const { return m_at == other.m_at; }

    private:
        const SheetCells* m_cells;
        std::size_t m_at;
    };
    Iterator begin() const { return Iterator(this, 0); }
    Iterator end() const { return Iterator(this, m_cells.size()); }
    // NOLINTEND(readability-identifier-naming)

    // The stored form, for readers of many cells: a Text cell's text is TextOf(cell).
    const Stored* Data() const { return m_cells.data(); }
    std::string_view TextOf(const Stored& cell) const {
        if (!cell.ownText) return cell.type == CellType::Text && cell.shared ? std::string_view(*cell.shared) : "";
        std::uint32_t length = 0;
        m_texts.copy(reinterpret_cast<char*>(&length), sizeof length, cell.offset);
        return std::string_view(m_texts).substr(cell.offset + sizeof length, length);
    }

    // Filling, for the readers: cells in any order, then PutInOrder when they came out of it.
    void Reserve(std::size_t count) { m_cells.reserve(count); }
    std::size_t Capacity() const { return m_cells.capacity(); }
    const Stored* Last() const { return m_cells.empty() ? nullptr : &m_cells.back(); }
    // A Number, Date or Boolean (`number`), a Text of the workbook's shared strings (`shared`,
    // which must outlive the workbook's cells), or a Text or Error of its own (`text`).
    void Add(std::uint32_t row, std::uint32_t column, CellType type, double number, const std::string* shared,
             std::string_view text);
    void Add(std::uint32_t row, std::uint32_t column, const Cell& cell) {
        Add(row, column, cell.type, cell.number, cell.shared, cell.text);
    }
    // Sorts by row, then column; of a cell given twice, the last one is kept.
    void PutInOrder();

private:
    PlacedCell Placed(const Stored& stored) const;

    std::vector<Stored> m_cells;
    std::string m_texts;
};

struct Sheet {
    std::string name;
    SheetCells cells;  // sorted by row, then column; no Empty cells
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
