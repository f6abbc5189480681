#include "engine/workbook/sheet_module.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <new>
#include <set>
#include <span>
#include <vector>

#include "engine/guard.h"
#include "engine/sql/datetime.h"
#include "engine/sql/quote.h"
#include "engine/store/files.h"
#include "engine/store/store.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine::workbook {

// ---- The file -------------------------------------------------------------------------------

WorkbookSource::Signature WorkbookSource::Stat(const std::string& path) {
    Signature s;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return s;
    s.exists = true;
    s.device = static_cast<long long>(info.st_dev);
    s.inode = static_cast<long long>(info.st_ino);
    s.size = static_cast<long long>(info.st_size);
    s.mtimeNs = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    return s;
}

Status WorkbookSource::Current(std::shared_ptr<const Workbook>& out) {
    std::lock_guard lock(m_mutex);
    Signature now = Stat(m_path);
    if (m_workbook && now == m_signature) {
        out = m_workbook;
        return Status::Success();
    }
    auto workbook = std::make_shared<Workbook>();
    if (now.exists) {
        std::string error;
        bool ok = DetectFormat(m_path) == Format::Xls ? LoadXls(m_path, *workbook, error)
                                                      : LoadXlsx(m_path, *workbook, error);
        if (!ok)
            return Status::Error(E_FAIL,
                                 platform::Format(u"Cannot open the workbook '%s': %s.", m_name.c_str(),
                                                  platform::Utf8ToUtf16(error).c_str()),
                                 u"08001");
    }
    m_workbook = workbook;
    m_signature = now;
    out = m_workbook;
    return Status::Success();
}

bool WorkbookSource::ChangedSince(const std::shared_ptr<const Workbook>& workbook) {
    std::lock_guard lock(m_mutex);
    return workbook != m_workbook || !(Stat(m_path) == m_signature);
}

namespace {

// ---- Values ---------------------------------------------------------------------------------

enum class Kind { Number, Date, Boolean, Text };

struct Column {
    std::string name;
    Kind kind = Kind::Text;
    std::string declared;
};

std::string NumberText(double x) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x);
    return ec == std::errc() ? std::string(buf, end) : std::string();
}

// A Date cell's days as ISO 8601 text into `out` ("2020-01-01" at midnight, else
// "2020-01-01 10:30:00"); its length.
std::size_t DateText(double days, char (&out)[32]) {
    auto parts = PartsFromOleDate(days);
    if (!parts) {
        auto [end, ec] = std::to_chars(out, out + sizeof out, days);
        return ec == std::errc() ? std::size_t(end - out) : 0;
    }
    return WriteIsoDateTime(*parts, false, out);
}

std::string DateText(double days) {
    char text[32];
    return std::string(text, DateText(days, text));
}

// A cell as a table reads it: one of the workbook's stored cells, or a value the table wrote.
struct CellView {
    CellType type = CellType::Empty;
    double number = 0;  // Number, Date, Boolean
    std::string_view text;  // Text, Error
};

CellView ViewOf(const Cell& cell) { return {cell.type, cell.number, cell.Text()}; }

CellView ViewOf(const SheetCells& cells, const SheetCells::Stored& cell) {
    if (cell.type == CellType::Text || cell.type == CellType::Error) return {cell.type, 0, cells.TextOf(cell)};
    return {cell.type, cell.number, {}};
}

// A cell as text, for header names and text columns.
std::string CellText(const CellView& cell) {
    switch (cell.type) {
    case CellType::Number: return NumberText(cell.number);
    case CellType::Date: return DateText(cell.number);
    case CellType::Boolean: return cell.number != 0 ? "TRUE" : "FALSE";
    case CellType::Text: return std::string(cell.text);
    case CellType::Empty:
    case CellType::Error: break;
    }
    return {};
}

void ResultCell(sqlite3_context* ctx, const CellView& cell, Kind kind) {
    if (cell.type == CellType::Empty || cell.type == CellType::Error) return sqlite3_result_null(ctx);
    // Copied, never lent: SQLite may keep a value past the row and past the cursor (max()
    // of a column, a scalar subquery), while a changed file replaces the workbook.
    if (cell.type == CellType::Text)
        return sqlite3_result_text64(ctx, cell.text.data(), cell.text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    if (kind == Kind::Text) {
        std::string text = CellText(cell);
        return sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    switch (cell.type) {
    case CellType::Number:
        if (std::nearbyint(cell.number) == cell.number && std::fabs(cell.number) < 9007199254740992.0)
            return sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(cell.number));
        return sqlite3_result_double(ctx, cell.number);
    case CellType::Boolean: return sqlite3_result_int(ctx, cell.number != 0);
    case CellType::Date: {
        char text[32];
        return sqlite3_result_text(ctx, text, static_cast<int>(DateText(cell.number, text)), SQLITE_TRANSIENT);
    }
    default: return sqlite3_result_null(ctx);
    }
}

// A value written to a cell of a column of `kind`. False (with `error`) for a value that
// no cell can hold.
bool CellFromValue(sqlite3_value* value, Kind kind, Cell& cell, std::string& error) {
    cell = Cell{};
    switch (sqlite3_value_type(value)) {
    case SQLITE_NULL: return true;
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
        cell.number = sqlite3_value_double(value);
        cell.type = kind == Kind::Date ? CellType::Date : kind == Kind::Boolean ? CellType::Boolean : CellType::Number;
        if (cell.type == CellType::Boolean) cell.number = cell.number != 0;
        return true;
    case SQLITE_BLOB: error = "a binary value cannot be written to a cell"; return false;
    default: break;
    }
    const char* p = reinterpret_cast<const char*>(sqlite3_value_text(value));
    std::string text(p ? p : "", static_cast<std::size_t>(sqlite3_value_bytes(value)));
    if (kind == Kind::Number) {
        double x;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), x);
        if (ec == std::errc() && end == text.data() + text.size() && !text.empty()) {
            cell.type = CellType::Number, cell.number = x;
            return true;
        }
    } else if (kind == Kind::Date) {
        if (auto parts = ParseIsoDateTime(text))
            if (auto serial = OleDateFromParts(*parts)) {
                cell.type = CellType::Date, cell.number = *serial;
                return true;
            }
    } else if (kind == Kind::Boolean) {
        if (platform::EqualsNoCase(text, "true") || platform::EqualsNoCase(text, "yes"))
            return cell.type = CellType::Boolean, cell.number = 1, true;
        if (platform::EqualsNoCase(text, "false") || platform::EqualsNoCase(text, "no"))
            return cell.type = CellType::Boolean, cell.number = 0, true;
    }
    cell.type = CellType::Text;
    cell.text = std::move(text);
    return true;
}

// The kind a CREATE TABLE type asks for.
Kind KindOfType(std::string type) {
    type = platform::Lower(type);
    type = type.substr(0, type.find('('));
    while (!type.empty() && type.back() == ' ') type.pop_back();
    static const std::set<std::string> numbers = {
        "integer",       "int",    "long",  "short",  "smallint", "byte",     "tinyint", "bigint",  "counter",
        "autoincrement", "double", "float", "single", "real",     "currency", "money",   "decimal", "numeric"};
    if (numbers.count(type)) return Kind::Number;
    if (type == "date" || type == "datetime" || type == "time" || type == "timestamp") return Kind::Date;
    if (type == "bit" || type == "boolean" || type == "yesno" || type == "logical") return Kind::Boolean;
    return Kind::Text;
}

const char* DeclaredFor(Kind kind) {
    switch (kind) {
    case Kind::Number: return "DOUBLE";
    case Kind::Date: return "DATETIME";
    case Kind::Boolean: return "YESNO";
    case Kind::Text: break;
    }
    return "TEXT(255)";
}

// ---- Tables ---------------------------------------------------------------------------------

constexpr std::uint32_t kLastRow = 1048576;

struct Book;

// What a transaction may roll back to: the rows and changes of a table.
// The cells of a table that hold something, by data row and table column (both from 0):
// a table's memory follows the cells that exist, not the rectangle they span (a sheet
// with cells at A1 and BXW1048576 is two cells, not two billion places).
class Grid {
public:
    using Stored = SheetCells::Stored;

    // The workbook's cells of the table's rows (a run of a sheet's stored cells, sorted by
    // row and column), seen from the table's first data row and first column; cells of other
    // columns in the run are never asked for. The Table keeps the workbook alive; the copies
    // that savepoints keep share the run.
    void Reset(const SheetCells* sheet, const Stored* begin, const Stored* end, std::uint32_t firstRow,
               std::uint32_t firstColumn) {
        for (const Stored* c = begin; c + 1 < end; ++c)
            ORV_ASSERT(c->row < c[1].row || (c->row == c[1].row && c->column < c[1].column));
        m_sheet = sheet;
        m_begin = begin;
        m_end = end;
        m_firstRow = firstRow;
        m_firstColumn = firstColumn;
        m_written.clear();
    }

    // The cell at a place; an Empty cell where there is none. `hint` is a position in the
    // workbook's cells at or before the row's first (a cursor keeps it, so that a scan
    // finds each row without searching from the top).
    CellView At(std::uint32_t row, std::uint32_t column, std::size_t& hint) const {
        if (!m_written.empty()) {
            auto written = m_written.find(Key(row, column));
            if (written != m_written.end()) return ViewOf(*written->second);
        }
        if (m_begin == m_end) return {};
        const std::size_t size = std::size_t(m_end - m_begin);
        const std::uint32_t sheetRow = row + m_firstRow, sheetColumn = column + m_firstColumn;
        if (hint > size || (hint < size && m_begin[hint].row > sheetRow)) hint = 0;
        auto before = [](const Stored& c, std::pair<std::uint32_t, std::uint32_t> place) {
            return c.row != place.first ? c.row < place.first : c.column < place.second;
        };
        // The row's first cell, then the column inside the row. A scan finds both a few cells
        // on from the hint, so a short walk comes first and a binary search only after it:
        // each probe of a search over a large sheet is a cache miss.
        const Stored* first = Seek(m_begin + hint, std::pair(sheetRow, 0u), before);
        hint = std::size_t(first - m_begin);
        const Stored* at = Seek(first, std::pair(sheetRow, sheetColumn), before);
        return at != m_end && at->row == sheetRow && at->column == sheetColumn ? ViewOf(*m_sheet, *at) : CellView{};
    }

    // The first cell at or after `place` from `from` on: a walk of a few cells, then a search.
    template <typename Before>
    const Stored* Seek(const Stored* from, std::pair<std::uint32_t, std::uint32_t> place, Before before) const {
        for (int step = 0; step < 16; ++step, ++from)
            if (from == m_end || !before(*from, place)) return from;
        return std::lower_bound(from, m_end, place, before);
    }

    void Set(std::uint32_t row, std::uint32_t column, const Cell* cell) { m_written[Key(row, column)] = cell; }

    // Forgets what was written to the row (an insert that failed half-way).
    void ForgetRow(std::uint32_t row) {
        m_written.erase(m_written.lower_bound(Key(row, 0)), m_written.lower_bound(Key(row + 1, 0)));
    }

private:
    static std::uint64_t Key(std::uint32_t row, std::uint32_t column) { return std::uint64_t(row) << 32 | column; }

    const SheetCells* m_sheet = nullptr;
    const Stored* m_begin = nullptr;
    const Stored* m_end = nullptr;
    std::uint32_t m_firstRow = 0, m_firstColumn = 0;
    std::map<std::uint64_t, const Cell*> m_written;  // the table's own values, over the workbook's
};

struct TableState {
    Grid grid;
    std::size_t rows = 0;
    std::map<std::uint32_t, std::map<std::uint32_t, Cell>> changes;  // sheet row -> column -> value
};

struct Table : sqlite3_vtab {
    Book* book = nullptr;
    std::string tableName;
    std::string sheet;
    bool wholeSheet = true;  // a sheet's used range, grown by appended rows
    Range range;  // the table's rectangle, header included
    bool header = true;
    bool created = false;  // made by this transaction's CREATE TABLE, not yet in the file
    std::vector<Column> columns;
    TableState state;
    std::uint64_t generation = 0;  // of the Book's workbook that the grid was read from
    std::shared_ptr<const Workbook> gridSource;  // keeps the grid's cells alive
    std::deque<Cell> written;  // values written since the grid was read; their places never move
    std::vector<std::pair<int, TableState>> savepoints;

    std::uint32_t FirstDataRow() const { return range.firstRow + (header ? 1 : 0); }
    std::size_t Width() const { return columns.size(); }
};

struct Cursor : sqlite3_vtab_cursor {
    std::size_t row = 0;
    std::size_t hint = 0;  // where the grid found the current row's cells
    // The workbook whose texts the scan hands to SQLite uncopied: kept for as long as the
    // cursor, also when another statement reads the table afresh meanwhile.
    std::shared_ptr<const Workbook> workbook;
};

struct Book {
    std::shared_ptr<WorkbookSource> source;
    BookOptions options;
    sqlite3* db = nullptr;
    std::shared_ptr<const Workbook> workbook;
    std::uint64_t generation = 1;
    std::vector<Table*> tables;  // every connected table of this connection
    std::set<std::string> clearSheets;  // sheets that a DROP TABLE of this transaction clears
    FileLock writeLock;  // held from the first write of a transaction to its end

    bool Pending() const {
        if (!clearSheets.empty()) return true;
        for (const Table* t : tables)
            if (t->created || !t->state.changes.empty()) return true;
        return false;
    }

    // Reads the file afresh when it changed and nothing of this connection is pending.
    Status Refresh() {
        if (workbook && Pending()) return Status::Success();
        std::shared_ptr<const Workbook> current;
        Status status = source->Current(current);
        if (!status.Ok()) return status;
        if (current != workbook) {
            workbook = std::move(current);
            ++generation;
        }
        return Status::Success();
    }

    const Sheet* FindSheet(const std::string& name) const {
        if (!workbook) return nullptr;
        for (const Sheet& s : workbook->sheets)
            if (platform::EqualsNoCase(s.name, name)) return &s;
        return nullptr;
    }

    Status Save();
    // The steps of Save: the edits of each sheet, and the tables once the file holds them.
    std::vector<SheetEdit> PendingEdits() const;
    void Saved();
    void Discard() {
        clearSheets.clear();
        for (Table* t : tables) {
            t->state = TableState{};
            t->savepoints.clear();
            t->created = false;
            t->generation = 0;
        }
        ++generation;
    }
};

// A sheet's cells as the workbook keeps them.
std::span<const SheetCells::Stored> StoredCells(const Sheet& sheet) { return {sheet.cells.Data(), sheet.cells.size()}; }

// The rectangle that a sheet's cells take up; empty rows and columns at the edges left out.
std::optional<Range> UsedRange(const Sheet& sheet) {
    std::optional<Range> used;
    for (const SheetCells::Stored& c : StoredCells(sheet)) {
        if (c.type == CellType::Empty) continue;
        const std::uint32_t column = c.column;
        if (!used) {
            used = Range{c.row, column, c.row, column};
            continue;
        }
        used->firstRow = std::min(used->firstRow, c.row);
        used->lastRow = std::max(used->lastRow, c.row);
        used->firstColumn = std::min(used->firstColumn, column);
        used->lastColumn = std::max(used->lastColumn, column);
    }
    return used;
}

bool Inside(const Range& r, std::uint32_t row, std::uint32_t column) {
    return row >= r.firstRow && row <= r.lastRow && column >= r.firstColumn && column <= r.lastColumn;
}

// Reads the table's rows from the Book's workbook: every row from the first data row to
// the last row of the rectangle that holds a value.
void FillGrid(Table& t) {
    t.state.grid.Reset(nullptr, nullptr, nullptr, 0, 0);
    t.state.rows = 0;
    t.gridSource = t.book->workbook;
    t.written.clear();
    t.generation = t.book->generation;
    const Sheet* sheet = t.book->FindSheet(t.sheet);
    if (!sheet || t.columns.empty()) return;
    const std::uint32_t first = t.FirstDataRow();
    std::uint32_t last = 0;
    for (const SheetCells::Stored& c : StoredCells(*sheet))
        if (c.row >= first && Inside(t.range, c.row, c.column) && c.type != CellType::Empty)
            last = std::max(last, c.row);
    if (last < first) return;
    t.state.rows = last - first + 1;
    // The grid reads the sheet's own cells of those rows (in row, then column order).
    auto byRow = [](const SheetCells::Stored& c, std::uint32_t row) { return c.row < row; };
    const SheetCells::Stored* cells = sheet->cells.Data();
    const SheetCells::Stored* begin = std::lower_bound(cells, cells + sheet->cells.size(), first, byRow);
    const SheetCells::Stored* end = std::lower_bound(begin, cells + sheet->cells.size(), last + 1, byRow);
    t.state.grid.Reset(&sheet->cells, begin, end, first, t.range.firstColumn);
}

// Decides the table's rectangle, names and types from the workbook.
void Describe(Table& t) {
    const Sheet* sheet = t.book->FindSheet(t.sheet);
    if (t.wholeSheet) {
        std::optional<Range> used = sheet ? UsedRange(*sheet) : std::nullopt;
        t.range = used ? *used : Range{1, 1, 1, 1};
        t.range.lastRow = kLastRow;
    }
    const std::uint32_t width = t.range.lastColumn - t.range.firstColumn + 1;
    std::vector<std::string> names(width);
    std::vector<std::optional<Kind>> kinds(width);
    std::vector<bool> mixed(width), longText(width);
    if (sheet)
        for (const SheetCells::Stored& c : StoredCells(*sheet)) {
            if (!Inside(t.range, c.row, c.column)) continue;
            const std::uint32_t i = c.column - t.range.firstColumn;
            if (t.header && c.row == t.range.firstRow) {
                names[i] = CellText(ViewOf(sheet->cells, c));
                continue;
            }
            Kind kind;
            switch (c.type) {
            case CellType::Number: kind = Kind::Number; break;
            case CellType::Date: kind = Kind::Date; break;
            case CellType::Boolean: kind = Kind::Boolean; break;
            case CellType::Text: kind = Kind::Text; break;
            default: continue;
            }
            if (c.type == CellType::Text && !longText[i] && sheet->cells.TextOf(c).size() > 255) {
                std::size_t characters = 0;  // UTF-8 lead bytes
                for (char ch : sheet->cells.TextOf(c)) characters += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
                if (characters > 255) longText[i] = true;
            }
            if (kinds[i] && *kinds[i] != kind) mixed[i] = true;
            kinds[i] = kind;
        }
    std::vector<std::string> unique = UniqueColumnNames(names);
    t.columns.clear();
    for (std::uint32_t i = 0; i < width; ++i) {
        Column column;
        column.name = unique[i];
        column.kind = mixed[i] ? Kind::Text : kinds[i].value_or(Kind::Text);
        column.declared = column.kind == Kind::Text && longText[i] ? "MEMO" : DeclaredFor(column.kind);
        t.columns.push_back(std::move(column));
    }
}

bool ParseRange(const std::string& text, Range& range) {
    std::size_t colon = text.find(':');
    std::string first = text.substr(0, colon), last = colon == std::string::npos ? first : text.substr(colon + 1);
    if (!ParseCellReference(first, range.firstRow, range.firstColumn) ||
        !ParseCellReference(last, range.lastRow, range.lastColumn))
        return false;
    if (range.firstRow > range.lastRow) std::swap(range.firstRow, range.lastRow);
    if (range.firstColumn > range.lastColumn) std::swap(range.firstColumn, range.lastColumn);
    return true;
}

std::string WorkbookName(const Book* book) { return platform::Utf16ToUtf8(book->source->Name()); }

void SetError(sqlite3_vtab* vtab, const std::string& message) {
    sqlite3_free(vtab->zErrMsg);
    vtab->zErrMsg = sqlite3_mprintf("%s", message.c_str());
}

int Declare(sqlite3* db, Table& t, char** err) {
    const std::size_t limit = std::size_t(sqlite3_limit(db, SQLITE_LIMIT_COLUMN, -1));
    if (t.columns.size() > limit) {
        *err = sqlite3_mprintf(
            "The sheet '%s' of the workbook '%s' cannot be read as a table: its cells span %lld columns "
            "(%s to %s), more than the %lld a table can have; name a narrower range, such as [%s$A1:%s]",
            t.sheet.c_str(), WorkbookName(t.book).c_str(), static_cast<long long>(t.columns.size()),
            CellReference(t.range.firstRow, t.range.firstColumn).c_str(),
            CellReference(t.range.firstRow, t.range.lastColumn).c_str(), static_cast<long long>(limit), t.sheet.c_str(),
            CellReference(100, std::uint32_t(limit)).c_str());
        return SQLITE_ERROR;
    }
    std::string sql = "CREATE TABLE x(";
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        if (i) sql += ", ";
        sql += QuoteName(t.columns[i].name) + " " + t.columns[i].declared;
    }
    sql += ")";
    int rc = sqlite3_declare_vtab(db, sql.c_str());
    if (rc != SQLITE_OK)
        *err = sqlite3_mprintf("The sheet '%s' of the workbook '%s' cannot be read as a table: %s", t.sheet.c_str(),
                               WorkbookName(t.book).c_str(), sqlite3_errmsg(db));
    return rc;
}

bool ValidSheetName(const std::string& name) {
    if (name.empty() || platform::Utf8ToUtf16(name).size() > 31 || name.front() == '\'' || name.back() == '\'')
        return false;
    return name.find_first_of(":\\/?*[]") == std::string::npos;
}

// The columns of a sheet table that CREATE TABLE declares, one module argument each.
int ReadCreatedColumns(Table& table, int argc, const char* const* argv, char** err) {
    if (argc - 5 < 1 || argc - 5 > 16384) {
        *err =
            sqlite3_mprintf("Cannot create the sheet '%s': a sheet table has 1 to 16384 columns.", table.sheet.c_str());
        return SQLITE_ERROR;
    }
    table.header = true;
    table.range = Range{1, 1, kLastRow, static_cast<std::uint32_t>(argc - 5)};
    for (int i = 5; i < argc; ++i) {
        std::string definition = UnquoteArgument(argv[i]);
        auto parsed = ParseCreateTable("CREATE TABLE t (" + definition + ")");
        if (!parsed || parsed->columns.size() != 1) {
            *err = sqlite3_mprintf("Cannot create the sheet '%s': the column '%s' cannot be read.", table.sheet.c_str(),
                                   definition.c_str());
            return SQLITE_ERROR;
        }
        Column column;
        column.name = parsed->columns[0].name;
        column.kind = KindOfType(parsed->columns[0].type);
        column.declared = DeclaredFor(column.kind);
        table.columns.push_back(std::move(column));
    }
    return SQLITE_OK;
}

// A new sheet, or a sheet that a DROP TABLE left empty, takes the header row.
int StartSheet(Book* book, Table& table, const Sheet* sheet, char** err) {
    if (!book->options.readOnlyWhy.empty()) {
        *err =
            sqlite3_mprintf("Cannot create the sheet '%s': the workbook '%s' is read-only (%s).", table.sheet.c_str(),
                            WorkbookName(book).c_str(), platform::Utf16ToUtf8(book->options.readOnlyWhy).c_str());
        return SQLITE_READONLY;
    }
    if (!ValidSheetName(table.sheet)) {
        *err = sqlite3_mprintf(
            "Cannot create the sheet '%s': a sheet name has 1 to 31 characters, none of : \\ / ? * [ ], "
            "and does not start or end with an apostrophe.",
            table.sheet.c_str());
        return SQLITE_ERROR;
    }
    bool cleared = false;
    for (const std::string& s : book->clearSheets) cleared = cleared || platform::EqualsNoCase(s, table.sheet);
    if (sheet && !sheet->cells.empty() && !cleared) {
        *err = sqlite3_mprintf("Cannot create the table '%s': the workbook '%s' already has a sheet '%s' with data.",
                               table.tableName.c_str(), WorkbookName(book).c_str(), sheet->name.c_str());
        return SQLITE_ERROR;
    }
    table.created = true;
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        Cell& headerCell = table.state.changes[1][static_cast<std::uint32_t>(i + 1)];
        headerCell.type = CellType::Text;
        headerCell.text = table.columns[i].name;
    }
    table.generation = book->generation;
    return SQLITE_OK;
}

// A table over an existing sheet, or over a cell range of it ("range").
int OpenSheet(Table& table, const Sheet* sheet, const std::string& what, int argc, const char* const* argv,
              char** err) {
    if (what == "range") {
        if (argc < 6 || !ParseRange(UnquoteArgument(argv[5]), table.range)) {
            *err = sqlite3_mprintf("The table '%s' names no cell range of the sheet '%s' (such as A1:C10).",
                                   table.tableName.c_str(), table.sheet.c_str());
            return SQLITE_ERROR;
        }
        table.wholeSheet = false;
    }
    if (!sheet) {
        *err = sqlite3_mprintf("The workbook '%s' has no sheet '%s'.", WorkbookName(table.book).c_str(),
                               table.sheet.c_str());
        return SQLITE_ERROR;
    }
    Describe(table);
    FillGrid(table);
    return SQLITE_OK;
}

int Connect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err, bool create) {
    Book* book = static_cast<Book*>(aux);
    if (argc < 5) {
        *err = sqlite3_mprintf("%s needs what the table is and its sheet", kSheetModuleName);
        return SQLITE_ERROR;
    }
    const std::string what = UnquoteArgument(argv[3]);
    auto table = std::unique_ptr<Table>(new (std::nothrow) Table());
    if (!table) return SQLITE_NOMEM;
    table->book = book;
    table->tableName = argv[2];
    table->sheet = UnquoteArgument(argv[4]);
    table->header = book->options.header;
    Status refreshed = book->Refresh();
    if (!refreshed.Ok()) {
        *err = sqlite3_mprintf("%s", platform::Utf16ToUtf8(refreshed.message).c_str());
        return SQLITE_ERROR;
    }
    const Sheet* sheet = book->FindSheet(table->sheet);
    int rc = SQLITE_OK;
    if (what == "create") {
        // The columns as the CREATE TABLE gave them; xConnect meets such a table again
        // when SQLite reloads the connection's schema, and then only reads the sheet.
        rc = ReadCreatedColumns(*table, argc, argv, err);
        if (rc == SQLITE_OK && create) rc = StartSheet(book, *table, sheet, err);
        else if (rc == SQLITE_OK) FillGrid(*table);
    } else {
        rc = OpenSheet(*table, sheet, what, argc, argv, err);
    }
    if (rc == SQLITE_OK) rc = Declare(db, *table, err);
    if (rc != SQLITE_OK) return rc;
    book->tables.push_back(table.get());
    *out = table.release();
    return SQLITE_OK;
}

int xCreate(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err) {
    return Connect(db, aux, argc, argv, out, err, true);
}
int xConnect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err) {
    return Connect(db, aux, argc, argv, out, err, false);
}

int Disconnect(sqlite3_vtab* vtab) {
    Table* t = static_cast<Table*>(vtab);
    auto& tables = t->book->tables;
    tables.erase(std::remove(tables.begin(), tables.end(), t), tables.end());
    delete t;
    return SQLITE_OK;
}

// DROP TABLE: a sheet is cleared (it stays in the workbook, empty); a range has its cells
// emptied. Either lands when the transaction commits.
int Destroy(sqlite3_vtab* vtab) {
    Table* t = static_cast<Table*>(vtab);
    Book* book = t->book;
    if (!book->options.readOnlyWhy.empty()) return SQLITE_READONLY;
    if (t->created) {
        // Created and dropped in one transaction: nothing reaches the file.
    } else if (t->wholeSheet) {
        book->clearSheets.insert(t->sheet);
    } else if (const Sheet* sheet = book->FindSheet(t->sheet)) {
        // The range's cells go; they are kept as changes of another table on the sheet,
        // or of a table that outlives this one: a table made for the purpose.
        auto keeper = std::make_unique<Table>();
        keeper->book = book;
        keeper->sheet = t->sheet;
        keeper->wholeSheet = false;
        keeper->generation = book->generation;
        for (const SheetCells::Stored& c : StoredCells(*sheet))
            if (Inside(t->range, c.row, c.column)) keeper->state.changes[c.row][c.column] = Cell{};
        book->tables.push_back(keeper.release());  // freed by the Book after the commit
    }
    return Disconnect(vtab);
}

int BestIndex(sqlite3_vtab*, sqlite3_index_info* info) {
    info->estimatedCost = 1000;
    return SQLITE_OK;
}

int Open(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
    auto* cursor = new (std::nothrow) Cursor();
    if (!cursor) return SQLITE_NOMEM;
    *out = cursor;
    return SQLITE_OK;
}

int Close(sqlite3_vtab_cursor* cursor) {
    delete static_cast<Cursor*>(cursor);
    return SQLITE_OK;
}

int Filter(sqlite3_vtab_cursor* base, int, const char*, int, sqlite3_value**) {
    Cursor* cursor = static_cast<Cursor*>(base);
    Table* t = static_cast<Table*>(base->pVtab);
    Status refreshed = t->book->Refresh();
    if (!refreshed.Ok()) {
        SetError(t, platform::Utf16ToUtf8(refreshed.message));
        return SQLITE_IOERR;
    }
    if (t->generation != t->book->generation && t->state.changes.empty() && !t->created) FillGrid(*t);
    cursor->row = 0;
    cursor->hint = 0;
    cursor->workbook = t->gridSource;
    return SQLITE_OK;
}

int Next(sqlite3_vtab_cursor* cursor) {
    ++static_cast<Cursor*>(cursor)->row;
    return SQLITE_OK;
}

int Eof(sqlite3_vtab_cursor* cursor) {
    return static_cast<Cursor*>(cursor)->row >= static_cast<Table*>(cursor->pVtab)->state.rows;
}

int ColumnValue(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int i) {
    Table* t = static_cast<Table*>(base->pVtab);
    Cursor* cursor = static_cast<Cursor*>(base);
    const std::size_t row = cursor->row;
    if (i < 0 || std::size_t(i) >= t->Width() || row >= t->state.rows) return sqlite3_result_null(ctx), SQLITE_OK;
    ResultCell(ctx, t->state.grid.At(std::uint32_t(row), std::uint32_t(i), cursor->hint),
               t->columns[std::size_t(i)].kind);
    return SQLITE_OK;
}

int Rowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid) {
    *rowid = static_cast<sqlite3_int64>(static_cast<Cursor*>(cursor)->row) + 1;
    return SQLITE_OK;
}

// Writes one row's values into the grid and the changes; false with the error set.
bool WriteRow(Table* t, std::size_t row, sqlite3_value** values) {
    const std::uint32_t sheetRow = t->FirstDataRow() + static_cast<std::uint32_t>(row);
    for (std::size_t i = 0; i < t->Width(); ++i) {
        Cell cell;
        std::string error;
        if (!CellFromValue(values[i], t->columns[i].kind, cell, error)) {
            SetError(t,
                     "Cannot write the column '" + t->columns[i].name + "' of '" + t->tableName + "': " + error + ".");
            return false;
        }
        std::size_t hint = 0;
        const CellView current = t->state.grid.At(std::uint32_t(row), std::uint32_t(i), hint);
        if (current.type == cell.type && current.number == cell.number && current.text == cell.text) continue;
        t->written.push_back(cell);
        t->state.grid.Set(std::uint32_t(row), std::uint32_t(i), &t->written.back());
        t->state.changes[sheetRow][t->range.firstColumn + static_cast<std::uint32_t>(i)] = std::move(cell);
    }
    return true;
}

int Update(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
    Table* t = static_cast<Table*>(vtab);
    if (!t->book->options.readOnlyWhy.empty()) {
        SetError(t, "Cannot change the table '" + t->tableName + "': the workbook '" + WorkbookName(t->book) +
                        "' is read-only (" + platform::Utf16ToUtf8(t->book->options.readOnlyWhy) + ").");
        return SQLITE_READONLY;
    }
    if (argc == 1) {
        SetError(t, "Rows cannot be deleted from the table '" + t->tableName + "' of the workbook '" +
                        WorkbookName(t->book) +
                        "': a workbook keeps its rows. Empty the cells with UPDATE ... SET column = NULL, or clear "
                        "the whole sheet with DROP TABLE.");
        return SQLITE_ERROR;
    }
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        if (sqlite3_value_type(argv[1]) != SQLITE_NULL) {
            SetError(t, "A row of a workbook table cannot be given a row number: leave it out of the INSERT.");
            return SQLITE_ERROR;
        }
        const std::size_t row = t->state.rows;
        const std::uint64_t sheetRow = t->FirstDataRow() + row;
        if (sheetRow > t->range.lastRow) {
            SetError(t, "Cannot add a row to '" + t->tableName + "': its cell range ends at row " +
                            std::to_string(t->range.lastRow) + ".");
            return SQLITE_ERROR;
        }
        ++t->state.rows;
        if (!WriteRow(t, row, argv + 2)) {
            t->state.grid.ForgetRow(std::uint32_t(row));
            --t->state.rows;
            return SQLITE_ERROR;
        }
        *rowid = static_cast<sqlite3_int64>(t->state.rows);
        return SQLITE_OK;
    }
    const sqlite3_int64 old = sqlite3_value_int64(argv[0]);
    if (sqlite3_value_int64(argv[1]) != old || old < 1 || static_cast<std::size_t>(old) > t->state.rows) {
        SetError(t, "The row numbers of a workbook table cannot be changed.");
        return SQLITE_ERROR;
    }
    return WriteRow(t, static_cast<std::size_t>(old - 1), argv + 2) ? SQLITE_OK : SQLITE_ERROR;
}

std::vector<SheetEdit> Book::PendingEdits() const {
    std::map<std::string, SheetEdit> edits;  // by case-folded sheet name, in a stable order
    std::vector<std::string> order;
    auto edit = [&](const std::string& sheet) -> SheetEdit& {
        const std::string key = platform::FoldCase(sheet);
        auto [it, inserted] = edits.try_emplace(key);
        if (inserted) {
            it->second.sheet = sheet;
            order.push_back(key);
        }
        return it->second;
    };
    for (const std::string& sheet : clearSheets) edit(sheet).clear = true;
    for (const Table* t : tables) {
        if (!t->created && t->state.changes.empty()) continue;
        SheetEdit& e = edit(t->sheet);
        if (t->created && !FindSheet(t->sheet)) e.create = true;
        if (t->created) e.clear = true;  // a sheet that a DROP TABLE emptied, or a new one
        for (const auto& [row, cells] : t->state.changes)
            for (const auto& [column, cell] : cells) e.cells[row][column] = cell;
    }
    std::vector<SheetEdit> list;
    for (const std::string& key : order) list.push_back(std::move(edits[key]));
    return list;
}

void Book::Saved() {
    clearSheets.clear();
    for (auto it = tables.begin(); it != tables.end();) {
        Table* t = *it;
        if (t->tableName.empty()) {  // kept only to carry a dropped range's changes
            delete t;
            it = tables.erase(it);
            continue;
        }
        t->state.changes.clear();
        t->created = false;
        t->savepoints.clear();
        ++it;
    }
    // The write has landed: a failure to read the file back (no memory for it) is no
    // failure of the write; the next statement reads it.
    workbook.reset();
    try {
        Refresh();
    } catch (const std::bad_alloc&) {}
}

Status Book::Save() {
    if (!Pending()) return Status::Success();
    const std::vector<SheetEdit> list = PendingEdits();
    const std::string& path = source->Path();
    struct stat info;
    const bool exists = ::stat(path.c_str(), &info) == 0;
    // Writers of the workbook take turns: a transaction holds the lock from its first
    // write (Begin); a DROP TABLE alone takes it here.
    const bool ownLock = exists && !writeLock.Held();
    if (ownLock) {
        Status locked = writeLock.Acquire(path, FileLock::Write, Env::LockMode::Exclusive, options.lockTimeoutMs,
                                          source->Name(), u"workbook");
        if (!locked.Ok()) return locked;
    }
    struct Unlock {
        FileLock& lock;
        bool own;
        ~Unlock() {
            if (own) lock.Release();
        }
    } unlock{writeLock, ownLock};
    if (source->ChangedSince(workbook))
        return Status::Error(E_FAIL,
                             platform::Format(u"Cannot write the workbook '%s': another program or connection changed "
                                              u"it after this one read it, and writing now would undo that change. "
                                              u"Run the statement again to work on the workbook as it is now.",
                                              source->Name().c_str()),
                             u"HY000");
    NewVersion version;
    Status status = version.Begin(path, source->Name(), u"workbook");
    if (!status.Ok()) return status;
    std::string error;
    if (!SaveXlsx(exists ? path : std::string(), list, version.Fd(), platform::FolderOf(path), error))
        return Status::Error(E_FAIL,
                             platform::Format(u"Cannot write the workbook '%s': %s.", source->Name().c_str(),
                                              platform::Utf8ToUtf16(error).c_str()),
                             u"HY000");
    status = exists ? version.Replace() : version.Publish();
    if (!status.Ok()) return status;

    // The file now holds what the tables show; read it back so that every table of the
    // connection sees the same workbook.
    Saved();
    return Status::Success();
}

int Sync(sqlite3_vtab* vtab) {
    Table* t = static_cast<Table*>(vtab);
    Status status = t->book->Save();
    if (status.Ok()) return SQLITE_OK;
    SetError(t, platform::Utf16ToUtf8(status.message));
    return SQLITE_IOERR;
}

// The first write of a transaction waits for other writers of the workbook and then works
// on the workbook as the last of them left it.
int Begin(sqlite3_vtab* vtab) {
    Table* t = static_cast<Table*>(vtab);
    Book* book = t->book;
    if (!book->options.readOnlyWhy.empty() || book->writeLock.Held()) return SQLITE_OK;  // Update refuses
    struct stat info;
    if (::stat(book->source->Path().c_str(), &info) == 0) {
        Status locked = book->writeLock.Acquire(book->source->Path(), FileLock::Write, Env::LockMode::Exclusive,
                                                book->options.lockTimeoutMs, book->source->Name(), u"workbook");
        if (!locked.Ok()) {
            SetError(t, platform::Utf16ToUtf8(locked.message));
            return SQLITE_BUSY;
        }
    }
    Status refreshed = book->Refresh();
    if (!refreshed.Ok()) {
        SetError(t, platform::Utf16ToUtf8(refreshed.message));
        return SQLITE_IOERR;
    }
    if (t->generation != book->generation && t->state.changes.empty() && !t->created) FillGrid(*t);
    return SQLITE_OK;
}
int Commit(sqlite3_vtab* vtab) {
    static_cast<Table*>(vtab)->book->writeLock.Release();
    return SQLITE_OK;
}
int Rollback(sqlite3_vtab* vtab) {
    static_cast<Table*>(vtab)->book->Discard();
    static_cast<Table*>(vtab)->book->writeLock.Release();
    return SQLITE_OK;
}

int SavepointBegin(sqlite3_vtab* vtab, int level) {
    Table* t = static_cast<Table*>(vtab);
    t->savepoints.emplace_back(level, t->state);
    return SQLITE_OK;
}
int SavepointRelease(sqlite3_vtab* vtab, int level) {
    Table* t = static_cast<Table*>(vtab);
    while (!t->savepoints.empty() && t->savepoints.back().first >= level) t->savepoints.pop_back();
    return SQLITE_OK;
}
int SavepointRollback(sqlite3_vtab* vtab, int level) {
    Table* t = static_cast<Table*>(vtab);
    while (!t->savepoints.empty() && t->savepoints.back().first > level) t->savepoints.pop_back();
    if (!t->savepoints.empty() && t->savepoints.back().first == level) t->state = t->savepoints.back().second;
    return SQLITE_OK;
}

const sqlite3_module kModule = {
    /* iVersion */ 2,
    /* xCreate */ &GuardedCallback<xCreate>::Call,
    /* xConnect */ &GuardedCallback<xConnect>::Call,
    /* xBestIndex */ &GuardedCallback<BestIndex>::Call,
    /* xDisconnect */ &GuardedCallback<Disconnect>::Call,
    /* xDestroy */ &GuardedCallback<Destroy>::Call,
    /* xOpen */ &GuardedCallback<Open>::Call,
    /* xClose */ &GuardedCallback<Close>::Call,
    /* xFilter */ &GuardedCallback<Filter>::Call,
    /* xNext */ &GuardedCallback<Next>::Call,
    /* xEof */ &GuardedCallback<Eof>::Call,
    /* xColumn */ &GuardedCallback<ColumnValue>::Call,
    /* xRowid */ &GuardedCallback<Rowid>::Call,
    /* xUpdate */ &GuardedCallback<Update>::Call,
    /* xBegin */ &GuardedCallback<Begin>::Call,
    /* xSync */ &GuardedCallback<Sync>::Call,
    /* xCommit */ &GuardedCallback<Commit>::Call,
    /* xRollback */ &GuardedCallback<Rollback>::Call,
    /* xFindFunction */ nullptr,
    /* xRename */ nullptr,
    /* xSavepoint */ &GuardedCallback<SavepointBegin>::Call,
    /* xRelease */ &GuardedCallback<SavepointRelease>::Call,
    /* xRollbackTo */ &GuardedCallback<SavepointRollback>::Call,
};

// A DROP TABLE changes no table that takes part in the transaction, so its change lands
// here, when the transaction commits; a failure turns the commit into a rollback.
int OnCommit(void* aux) {
    Book* book = static_cast<Book*>(aux);
    if (book->clearSheets.empty() &&
        std::none_of(book->tables.begin(), book->tables.end(), [](const Table* t) { return t->tableName.empty(); }))
        return 0;
    return book->Save().Ok() ? 0 : 1;
}

void OnRollback(void* aux) {
    Book* book = static_cast<Book*>(aux);
    for (auto it = book->tables.begin(); it != book->tables.end();) {
        if ((*it)->tableName.empty()) {
            delete *it;
            it = book->tables.erase(it);
        } else {
            ++it;
        }
    }
    book->clearSheets.clear();
    book->writeLock.Release();
}

void DeleteBook(void* aux) {
    Book* book = static_cast<Book*>(aux);
    for (Table* t : book->tables)
        if (t->tableName.empty()) delete t;
    delete book;
}

}  // namespace

int RegisterSheetModule(sqlite3* db, std::shared_ptr<WorkbookSource> source, const BookOptions& options) {
    // Ours until SQLite takes it (copying the options may fail); SQLite then frees it with
    // DeleteBook, also when the module cannot be registered.
    std::unique_ptr<Book> owned(new (std::nothrow) Book());
    if (!owned) return SQLITE_NOMEM;
    owned->source = std::move(source);
    owned->options = options;
    owned->db = db;
    Book* book = owned.release();
    int rc = sqlite3_create_module_v2(db, kSheetModuleName, &kModule, book, DeleteBook);
    if (rc != SQLITE_OK) return rc;  // SQLite has called DeleteBook
    sqlite3_commit_hook(db, &GuardedCallback<OnCommit>::Call, book);
    sqlite3_rollback_hook(db, &GuardedCallback<OnRollback>::Call, book);
    return SQLITE_OK;
}

}  // namespace orv::engine::workbook
