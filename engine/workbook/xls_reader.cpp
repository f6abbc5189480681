// Reads an .xls workbook: the BIFF8 records of the "Workbook" stream of a compound document
// (engine/workbook/compound_file.h). The stream starts with the workbook's globals (its
// sheets, shared strings, number formats, cell formats and date system), then each sheet's
// records at the place its BOUNDSHEET record gives.
//
// What is read and what is left out:
// - worksheets in the workbook's order; chart, macro and module sheets are skipped;
// - every cell record: shared strings (LABELSST), strings of their own (LABEL, RSTRING),
//   numbers (NUMBER, RK, MULRK), booleans and errors (BOOLERR), and formulas (FORMULA) as
//   the value the writing program stored with them: a number, a boolean, an error, or the
//   text of the STRING record that follows; blank cells (BLANK, MULBLANK) hold no value;
// - a number in a cell whose format shows a date or time is a Date, as in .xlsx files
//   (engine/workbook/reading.h), the 1904 date system moved to the 1900 one;
// - text split across CONTINUE records, compressed (Latin-1) or as UTF-16;
// - defined names are not read: an .xls workbook has sheets as tables, and cell ranges.
//
// A record is checked against its length before any field is read, and a value that points
// elsewhere (a shared-string index, a sheet's offset) against what it points into: a file a
// spreadsheet program would call damaged is refused with what is wrong, never read half-right.
#include "engine/workbook/xls_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/workbook/compound_file.h"
#include "engine/workbook/reading.h"
#include "platform/utf.h"

namespace orv::engine::workbook {

namespace {

// Record types.
constexpr std::uint16_t kFormula = 0x0006, kEof = 0x000A, kDateMode = 0x0022, kFilePass = 0x002F, kContinue = 0x003C,
                        kBoundSheet = 0x0085, kMulRk = 0x00BD, kMulBlank = 0x00BE, kRString = 0x00D6, kXf = 0x00E0,
                        kSst = 0x00FC, kLabelSst = 0x00FD, kBlank = 0x0201, kNumber = 0x0203, kLabel = 0x0204,
                        kBoolErr = 0x0205, kString = 0x0207, kRk = 0x027E, kFormat = 0x041E, kBof = 0x0809;
// BOF records of the formats before BIFF5, whose workbooks are single sheets.
constexpr std::uint16_t kOldBofs[] = {0x0009, 0x0209, 0x0409};
constexpr std::uint16_t kBiff8 = 0x0600, kGlobals = 0x0005;
constexpr std::uint32_t kMaxColumns = 16384;

std::uint16_t U16(std::string_view data, std::size_t at) {
    return std::uint16_t(std::uint8_t(data[at]) | std::uint8_t(data[at + 1]) << 8);
}
std::uint32_t U32(std::string_view data, std::size_t at) {
    return std::uint32_t(U16(data, at)) | std::uint32_t(U16(data, at + 2)) << 16;
}
double F64(std::string_view data, std::size_t at) {
    std::uint64_t bits = U32(data, at) | std::uint64_t(U32(data, at + 4)) << 32;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::string Damaged(const std::string& what) { return "it is damaged: " + what; }

// One record with the bodies of the CONTINUE records that follow it, which carry on its
// data where a record's length (8224 bytes at most) would cut it.
struct Record {
    std::uint16_t type = 0;
    std::size_t offset = 0;  // in the workbook stream, for messages
    std::vector<std::string_view> pieces;
    std::string_view Body() const { return pieces.front(); }
};

// The records of the workbook stream, from a given offset.
class Records {
public:
    explicit Records(std::string_view stream) : m_stream(stream) {}

    void Seek(std::size_t offset) { m_at = offset; }
    bool AtEnd() const { return m_at >= m_stream.size(); }

    // The next record and its CONTINUE records; false with `error` set when the stream ends
    // within a record.
    bool Next(Record& record, std::string& error) {
        record.pieces.clear();
        std::string_view body;
        if (!Read(record.type, body, error)) return false;
        record.offset = m_at - body.size() - 4;
        record.pieces.push_back(body);
        std::uint16_t type = 0;
        while (m_at + 4 <= m_stream.size() && U16(m_stream, m_at) == kContinue) {
            if (!Read(type, body, error)) return false;
            record.pieces.push_back(body);
        }
        return true;
    }

private:
    bool Read(std::uint16_t& type, std::string_view& body, std::string& error) {
        if (m_at + 4 > m_stream.size()) {
            error = Damaged("the workbook stream ends within the record at offset " + std::to_string(m_at));
            return false;
        }
        type = U16(m_stream, m_at);
        const std::size_t length = U16(m_stream, m_at + 2);
        if (m_at + 4 + length > m_stream.size()) {
            error = Damaged("the record at offset " + std::to_string(m_at) + " of the workbook stream runs " +
                            std::to_string(m_at + 4 + length - m_stream.size()) + " bytes past its end");
            return false;
        }
        body = m_stream.substr(m_at + 4, length);
        m_at += 4 + length;
        return true;
    }

    std::string_view m_stream;
    std::size_t m_at = 0;
};

// Reads the fields of a record across its CONTINUE pieces. Text is the one field that is
// continued differently: where a string's characters run on into the next piece, that piece
// starts with a byte saying whether they go on compressed or as UTF-16.
class Fields {
public:
    explicit Fields(const Record& record, std::size_t skip = 0) : m_pieces(record.pieces), m_at(skip) {}

    bool Skip(std::uint64_t count) {
        while (count > 0) {
            if (!Settle()) return false;
            const std::size_t step = std::size_t(std::min<std::uint64_t>(count, Piece().size() - m_at));
            m_at += step;
            count -= step;
        }
        return true;
    }
    bool Byte(std::uint8_t& value) {
        if (!Settle()) return false;
        value = std::uint8_t(Piece()[m_at++]);
        return true;
    }
    bool Word(std::uint16_t& value) {
        std::uint8_t low = 0, high = 0;
        if (!Byte(low) || !Byte(high)) return false;
        value = std::uint16_t(low | high << 8);
        return true;
    }
    bool Long(std::uint32_t& value) {
        std::uint16_t low = 0, high = 0;
        if (!Word(low) || !Word(high)) return false;
        value = std::uint32_t(low) | std::uint32_t(high) << 16;
        return true;
    }

    // A string whose count of characters is `count` and whose option byte comes next
    // (bit 0: UTF-16; bit 2: phonetic data follows; bit 3: formatting runs follow), as UTF-8.
    bool Text(std::uint32_t count, std::string& out) {
        std::uint8_t options = 0;
        std::uint16_t runs = 0;
        std::uint32_t phonetic = 0;
        if (!Byte(options)) return false;
        if ((options & 0x08) && !Word(runs)) return false;
        if ((options & 0x04) && !Long(phonetic)) return false;
        std::u16string units;
        units.reserve(count);
        bool wide = options & 0x01;
        while (units.size() < count) {
            if (m_at >= Piece().size()) {
                // The characters go on in the next piece, which says how they are stored.
                if (m_piece + 1 >= m_pieces.size()) return false;
                ++m_piece;
                m_at = 0;
                std::uint8_t continued = 0;
                if (!Byte(continued)) return false;
                wide = continued & 0x01;
                continue;
            }
            if (wide) {
                if (m_at + 2 > Piece().size()) return false;
                units.push_back(char16_t(U16(Piece(), m_at)));
                m_at += 2;
            } else {
                units.push_back(char16_t(std::uint8_t(Piece()[m_at++])));
            }
        }
        out.clear();
        platform::AppendUtf16ToUtf8(out, units);
        return Skip(std::uint64_t(runs) * 4 + phonetic);
    }

private:
    std::string_view Piece() const { return m_pieces[m_piece]; }
    // Moves on to the next piece when this one is used up; false at the end of the record.
    bool Settle() {
        while (m_piece < m_pieces.size() && m_at >= m_pieces[m_piece].size()) {
            if (m_piece + 1 >= m_pieces.size()) return false;
            ++m_piece;
            m_at = 0;
        }
        return m_piece < m_pieces.size();
    }

    const std::vector<std::string_view>& m_pieces;
    std::size_t m_piece = 0, m_at = 0;
};

// A number stored in 32 bits: an integer or the high half of a double, possibly scaled.
double RkValue(std::uint32_t rk) {
    double value;
    if (rk & 0x02) {
        value = double(std::int32_t(rk) >> 2);
    } else {
        const std::uint64_t bits = std::uint64_t(rk & 0xFFFFFFFCu) << 32;
        std::memcpy(&value, &bits, sizeof value);
    }
    return rk & 0x01 ? value / 100 : value;
}

const char* ErrorText(std::uint8_t code) {
    switch (code) {
    case 0x00: return "#NULL!";
    case 0x07: return "#DIV/0!";
    case 0x0F: return "#VALUE!";
    case 0x17: return "#REF!";
    case 0x1D: return "#NAME?";
    case 0x24: return "#NUM!";
    case 0x2A: return "#N/A";
    default: return "#GETTING_DATA";
    }
}

struct SheetEntry {
    std::string name;
    std::uint32_t offset = 0;
    std::uint8_t type = 0;  // 0 a worksheet; 1 a macro sheet, 2 a chart, 6 a module
};

// What the globals say that the sheets need.
struct Globals {
    bool date1904 = false;
    std::vector<std::string> strings;  // the shared strings
    std::vector<std::uint8_t> dateFormats;  // per cell format (XF): kNotDate, kCalendar, kElapsed
    std::vector<SheetEntry> sheets;
};

class XlsReader {
public:
    XlsReader(std::string_view stream, std::string& error) : m_stream(stream), m_records(stream), m_error(error) {}

    bool Read(Workbook& out) {
        if (!ReadGlobals()) return false;
        // Cells point at the shared strings, which the workbook keeps: a long string used by
        // many cells is held once.
        out.sharedStrings = std::move(m_globals.strings);
        m_strings = &out.sharedStrings;
        for (const SheetEntry& entry : m_globals.sheets) {
            if (entry.type != 0) continue;
            Sheet sheet;
            sheet.name = entry.name;
            if (!ReadSheet(entry, sheet.cells)) return false;
            out.sheets.push_back(std::move(sheet));
        }
        return true;
    }

private:
    bool Fail(const std::string& error) {
        m_error = error;
        return false;
    }
    bool Short(const Record& record, const char* what) {
        return Fail(Damaged("the " + std::string(what) + " record at offset " + std::to_string(record.offset) +
                            " of the workbook stream is shorter than its fields"));
    }

    // ---- Globals ---------------------------------------------------------------------------

    bool ReadGlobals() {
        Record record;
        if (!m_records.Next(record, m_error)) return false;
        if (!CheckBof(record)) return false;
        std::map<std::uint16_t, std::uint8_t> formats;  // FORMAT records: number -> what it shows
        std::vector<std::uint16_t> xfFormats;  // XF records: the number format of each
        for (;;) {
            if (m_records.AtEnd()) return Fail(Damaged("the workbook stream ends before the end of its globals"));
            if (!m_records.Next(record, m_error)) return false;
            const std::string_view body = record.Body();
            switch (record.type) {
            case kEof:
                for (std::uint16_t id : xfFormats) {
                    auto format = formats.find(id);
                    m_globals.dateFormats.push_back(format != formats.end() ? format->second : BuiltInDateFormat(id));
                }
                return true;
            case kFilePass: return Fail("it is protected with a password; save it without the password to read it");
            case kDateMode:
                if (body.size() < 2) return Short(record, "DATEMODE");
                m_globals.date1904 = U16(body, 0) == 1;
                break;
            case kFormat: {
                Fields fields(record);
                std::uint16_t id = 0, count = 0;
                std::string code;
                if (!fields.Word(id) || !fields.Word(count) || !fields.Text(count, code))
                    return Short(record, "FORMAT");
                // A format the file defines wins over the built-in one with its number.
                formats[id] = CustomDateFormat(code);
                break;
            }
            case kXf:
                if (body.size() < 4) return Short(record, "XF");
                xfFormats.push_back(U16(body, 2));
                break;
            case kSst:
                if (!ReadSharedStrings(record)) return false;
                break;
            case kBoundSheet:
                if (!ReadBoundSheet(record)) return false;
                break;
            default: break;
            }
        }
    }

    bool CheckBof(const Record& record) {
        for (std::uint16_t old : kOldBofs)
            if (record.type == old)
                return Fail(
                    "it is an .xls workbook of an early format (BIFF2 to BIFF4) that this reader does not "
                    "read; save it as .xlsx to read it");
        if (record.type != kBof || record.Body().size() < 4)
            return Fail(Damaged("the workbook stream does not start with a BOF record"));
        if (U16(record.Body(), 0) != kBiff8)
            return Fail(
                "it is an .xls workbook of an early format (BIFF5 or older) that this reader does not read; "
                "save it as .xlsx to read it");
        if (U16(record.Body(), 2) != kGlobals)
            return Fail(Damaged("the workbook stream does not start with the workbook's globals"));
        return true;
    }

    bool ReadSharedStrings(const Record& record) {
        Fields fields(record);
        std::uint32_t total = 0, unique = 0;
        if (!fields.Long(total) || !fields.Long(unique)) return Short(record, "SST");
        // Every string takes at least three bytes, so a count the record cannot hold is not
        // believed for the reservation.
        std::size_t bytes = 0;
        for (std::string_view piece : record.pieces) bytes += piece.size();
        m_globals.strings.reserve(std::min<std::size_t>(unique, bytes / 3));
        for (std::uint32_t i = 0; i < unique; ++i) {
            std::uint16_t count = 0;
            std::string text;
            if (!fields.Word(count) || !fields.Text(count, text))
                return Fail(Damaged("its shared strings end after " + std::to_string(i) + " of the " +
                                    std::to_string(unique) + " strings they announce"));
            m_globals.strings.push_back(std::move(text));
        }
        return true;
    }

    bool ReadBoundSheet(const Record& record) {
        Fields fields(record);
        SheetEntry entry;
        std::uint8_t state = 0, count = 0;
        if (!fields.Long(entry.offset) || !fields.Byte(state) || !fields.Byte(entry.type) || !fields.Byte(count) ||
            !fields.Text(count, entry.name))
            return Short(record, "BOUNDSHEET");
        m_globals.sheets.push_back(std::move(entry));
        return true;
    }

    // ---- Sheets ----------------------------------------------------------------------------

    bool ReadSheet(const SheetEntry& entry, SheetCells& cells) {
        m_sheet = &entry;
        m_cells = &cells;
        m_ordered = true;
        m_pendingFormula.reset();
        Record record;
        m_records.Seek(entry.offset);
        if (entry.offset >= m_stream.size() || !m_records.Next(record, m_error) || record.type != kBof)
            return Fail(Damaged("the sheet '" + entry.name + "' is not where the workbook's list of sheets puts it " +
                                "(offset " + std::to_string(entry.offset) + ")"));
        // A chart within the sheet brings records of its own, between a BOF and an EOF.
        int depth = 1;
        while (depth > 0) {
            if (m_records.AtEnd())
                return Fail(Damaged("the workbook stream ends within the sheet '" + entry.name + "'"));
            if (!m_records.Next(record, m_error)) return false;
            if (record.type == kBof) ++depth;
            else if (record.type == kEof) --depth;
            else if (depth == 1 && !ReadCellRecord(record)) return false;
        }
        if (!m_ordered) cells.PutInOrder();
        return true;
    }

    bool ReadCellRecord(const Record& record) {
        const std::string_view body = record.Body();
        switch (record.type) {
        case kNumber:
            if (body.size() < 14) return Short(record, "NUMBER");
            return AddNumber(body, F64(body, 6));
        case kRk:
            if (body.size() < 10) return Short(record, "RK");
            return AddNumber(body, RkValue(U32(body, 6)));
        case kMulRk: {
            // Row, first column, (format, value) per cell, last column.
            if (body.size() < 6 || (body.size() - 6) % 6 != 0) return Short(record, "MULRK");
            const std::uint16_t row = U16(body, 0), first = U16(body, 2);
            for (std::size_t i = 0; 4 + 6 * i + 6 <= body.size() - 2; ++i)
                if (!AddNumberAt(row, first + std::uint32_t(i), U16(body, 4 + 6 * i), RkValue(U32(body, 6 + 6 * i))))
                    return false;
            return true;
        }
        case kBoolErr:
            if (body.size() < 8) return Short(record, "BOOLERR");
            return body[7] ? AddError(body, std::uint8_t(body[6])) : AddBoolean(body, body[6] != 0);
        case kLabelSst: {
            if (body.size() < 10) return Short(record, "LABELSST");
            const std::uint32_t index = U32(body, 6);
            if (index >= m_strings->size())
                return Fail(Damaged("cell " + Where(body) + " refers to shared string " + std::to_string(index) +
                                    ", but the workbook has only " + std::to_string(m_strings->size()) +
                                    " shared strings"));
            return AddSharedText(body, (*m_strings)[index]);
        }
        case kLabel:
        case kRString: {
            Fields fields(record, 6);
            std::uint16_t count = 0;
            std::string text;
            if (body.size() < 6 || !fields.Word(count) || !fields.Text(count, text)) return Short(record, "LABEL");
            return AddText(body, text);
        }
        case kFormula:
            if (body.size() < 20) return Short(record, "FORMULA");
            return ReadFormula(body);
        case kString: {
            // The text result of the formula just before it.
            if (!m_pendingFormula) return true;
            Fields fields(record);
            std::uint16_t count = 0;
            std::string text;
            if (!fields.Word(count) || !fields.Text(count, text)) return Short(record, "STRING");
            const std::string_view cell = *m_pendingFormula;
            m_pendingFormula.reset();
            return text.empty() || AddText(cell, text);
        }
        case kBlank:
        case kMulBlank: return true;  // formatting without a value
        default: return true;
        }
    }

    bool ReadFormula(std::string_view body) {
        m_pendingFormula.reset();
        // The stored result: a number, or (when its last two bytes are 0xFFFF) a kind in its
        // first byte and, for a boolean or an error, the value in its third.
        if (U16(body, 12) != 0xFFFF) return AddNumber(body, F64(body, 6));
        switch (std::uint8_t(body[6])) {
        case 0: m_pendingFormula = body; return true;  // text, in the STRING record that follows
        case 1: return AddBoolean(body, body[8] != 0);
        case 2: return AddError(body, std::uint8_t(body[8]));
        default: return true;  // an empty text: no value
        }
    }

    // Every cell record starts with its row, its column and its cell format.
    bool AddNumber(std::string_view body, double number) {
        return AddNumberAt(U16(body, 0), U16(body, 2), U16(body, 4), number);
    }
    bool AddNumberAt(std::uint32_t row, std::uint32_t column, std::uint16_t xf, double number) {
        Cell cell;
        cell.type = CellType::Number;
        cell.number = number;
        const std::uint8_t date = xf < m_globals.dateFormats.size() ? m_globals.dateFormats[xf] : kNotDate;
        if (date != kNotDate) {
            cell.type = CellType::Date;
            cell.number = DateCellDays(number, date, m_globals.date1904);
        }
        return Add(row, column, std::move(cell));
    }
    bool AddBoolean(std::string_view body, bool value) {
        Cell cell;
        cell.type = CellType::Boolean;
        cell.number = value ? 1 : 0;
        return Add(U16(body, 0), U16(body, 2), std::move(cell));
    }
    bool AddError(std::string_view body, std::uint8_t code) {
        Cell cell;
        cell.type = CellType::Error;
        cell.text = ErrorText(code);
        return Add(U16(body, 0), U16(body, 2), std::move(cell));
    }
    bool AddText(std::string_view body, const std::string& text) {
        Cell cell;
        cell.type = CellType::Text;
        cell.text = text;
        return Add(U16(body, 0), U16(body, 2), std::move(cell));
    }
    bool AddSharedText(std::string_view body, const std::string& shared) {
        Cell cell;
        cell.type = CellType::Text;
        cell.shared = &shared;
        return Add(U16(body, 0), U16(body, 2), std::move(cell));
    }

    bool Add(std::uint32_t row, std::uint32_t column, Cell&& cell) {
        if (column >= kMaxColumns)
            return Fail(Damaged("the sheet '" + m_sheet->name + "' has a cell in column " + std::to_string(column + 1) +
                                ", beyond the last column (16384)"));
        if (const SheetCells::Stored* last = m_cells->Last())
            if (last->row > row + 1 || (last->row == row + 1 && last->column >= column + 1)) m_ordered = false;
        m_cells->Add(row + 1, column + 1, cell);
        return true;
    }

    std::string Where(std::string_view body) const {
        return CellReference(U16(body, 0) + 1u, U16(body, 2) + 1u) + " of the sheet '" + m_sheet->name + "'";
    }

    std::string_view m_stream;
    Records m_records;
    std::string& m_error;
    Globals m_globals;
    const std::vector<std::string>* m_strings = &m_globals.strings;  // the workbook's, once the globals are read
    const SheetEntry* m_sheet = nullptr;
    SheetCells* m_cells = nullptr;
    bool m_ordered = true;
    std::optional<std::string_view> m_pendingFormula;  // a formula whose text result follows
};

bool ReadWorkbook(std::string_view data, Workbook& out, std::string& error) {
    CompoundFile file;
    if (data.substr(0, 4) == "PK\x03\x04") {
        error = "it is not an .xls workbook (it is a zip archive, as an .xlsx workbook is)";
        return false;
    }
    if (!file.Open(data, error)) {
        if (error == "it is not a compound document") error = "it is not an .xls workbook";
        return false;
    }
    if (!file.HasStream(u"Workbook")) {
        if (file.HasStream(u"Book"))
            error =
                "it is an .xls workbook of an early format (BIFF5, 1993 to 1996) that this reader does not read; "
                "save it as .xlsx to read it";
        else if (file.HasStream(u"EncryptedPackage"))
            // Password-protected .xlsx files are compound documents of this kind.
            error =
                "it is not an .xls workbook (a compound document without a workbook stream; a password-protected "
                ".xlsx workbook looks like this and must be saved without its password first)";
        else error = "it is not an .xls workbook (a compound document without a workbook stream)";
        return false;
    }
    std::string stream;
    if (!file.ReadStream(u"Workbook", stream, error)) return false;
    return XlsReader(stream, error).Read(out);
}

// The whole workbook or nothing: on failure `out` is left empty.
bool LoadOrClear(std::string_view data, Workbook& out, std::string& error) {
    out = Workbook{};
    out.format = Format::Xls;
    bool ok = false;
    try {
        ok = ReadWorkbook(data, out, error);
    } catch (const std::exception&) {
        error = "there is not enough memory to read the workbook";
    }
    if (!ok) {
        out = Workbook{};
        out.format = Format::Xls;
    }
    return ok;
}

bool ReadFile(const std::string& path, std::string& data, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        const int code = errno;
        if (fd >= 0) ::close(fd);
        error = code == ENOENT ? "there is no such file" : std::string("it cannot be read: ") + std::strerror(code);
        return false;
    }
    data.resize(std::size_t(info.st_size));
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int code = n < 0 ? errno : 0;
            ::close(fd);
            error =
                code ? std::string("it cannot be read: ") + std::strerror(code) : "it became shorter while it was read";
            return false;
        }
        done += std::size_t(n);
    }
    ::close(fd);
    return true;
}

}  // namespace

bool LoadXls(const std::string& path, Workbook& out, std::string& error) {
    std::string data;
    try {
        if (!ReadFile(path, data, error)) {
            out = Workbook{};
            out.format = Format::Xls;
            return false;
        }
    } catch (const std::exception&) {
        error = "there is not enough memory to read the workbook";
        return false;
    }
    return LoadOrClear(data, out, error);
}

bool LoadXlsFromMemory(const void* data, std::size_t size, Workbook& out, std::string& error) {
    return LoadOrClear(std::string_view(static_cast<const char*>(data), size), out, error);
}

}  // namespace orv::engine::workbook
