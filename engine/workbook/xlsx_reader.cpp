// Reads an .xlsx workbook: a zip archive (libzip) of XML parts (expat). Every part is
// streamed through the XML parser in fixed chunks, so memory grows with the cells kept,
// never with the size of the XML around them, and a part that unpacks to more than it
// declares, or to more than a gigabyte, is refused before it can exhaust memory.
//
// What is read and what is left out:
// - sheets in the workbook's order; chart, dialog and macro sheets (no cells) are skipped;
// - a formula cell gives its cached result, or no cell when it has none;
// - a number in a cell whose format shows a date or time is a Date (the 1904 date system is
//   moved to the 1900 one); t="d" cells are ISO 8601 text read as dates;
// - a value that does not read as its type (a number cell holding "12abc", a boolean of 2,
//   a shared-string index past the table) refuses the workbook, naming the cell: a file a
//   spreadsheet program would call damaged is not loaded half-right;
// - workbook-level defined names that are one rectangle of one sheet: Sheet1!$A$1:$C$10,
//   a single cell, whole columns ($A:$C, rows 1 to 1048576) or whole rows ($1:$3, columns 1
//   to 16384); built-in "_xlnm." names (print areas, filter ranges) are left out, hidden
//   user names are kept.
#include "engine/workbook/xlsx_reader.h"

#include <expat.h>
#include <sys/mman.h>
#include <zip.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/sql/datetime.h"
#include "engine/workbook/package.h"
#include "engine/workbook/reading.h"
#include "engine/workbook/zip_env.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine::workbook {

namespace {

constexpr int kChunk = 64 * 1024;
constexpr std::uint32_t kMaxRows = 1048576, kMaxColumns = 16384;
// The most items reserved ahead from what a part claims; beyond it vectors grow as they fill.
constexpr std::uint64_t kMaxReserve = std::uint64_t(1) << 22;

bool ParseUnsigned(std::string_view text, std::uint64_t& value) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseNumber(std::string_view text, double& value) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

// The UTF-16 code unit of an "_xHHHH_" escape at `at`, or -1.
int EscapedUnit(const std::string& text, std::size_t at) {
    if (at + 7 > text.size() || text[at] != '_' || text[at + 1] != 'x' || text[at + 6] != '_') return -1;
    int unit = 0;
    for (std::size_t i = at + 2; i < at + 6; ++i) {
        int digit = platform::HexDigit(text[i]);
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

// Workbook text escapes characters that XML cannot hold (control characters, mostly) as
// "_xHHHH_", UTF-16 code units in hex; "_x005F_" is an underscore, so "_x005F_x000D_" reads
// as the seven characters "_x000D_".
void DecodeEscapes(std::string& text) {
    std::size_t at = text.find("_x");
    if (at == std::string::npos) return;
    std::string out(text, 0, at);
    out.reserve(text.size());
    while (at < text.size()) {
        int unit = EscapedUnit(text, at);
        if (unit < 0) {
            out += text[at++];
            continue;
        }
        at += 7;
        char32_t codePoint = char32_t(unit);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            int low = EscapedUnit(text, at);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                codePoint = 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(low) - 0xDC00);
                at += 7;
            } else {
                codePoint = 0xFFFD;
            }
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            codePoint = 0xFFFD;
        }
        platform::AppendCodePointUtf8(out, codePoint);
    }
    text = std::move(out);
}

// ---- XML ---------------------------------------------------------------------------------

// A handler of one part's elements. Element names arrive without their namespace prefix:
// files written by different programs bind the spreadsheet namespace to the default
// prefix or to "x:", and nothing in these parts needs the namespace to tell elements apart.
class XmlReader {
public:
    virtual ~XmlReader() = default;
    virtual void Start(std::string_view name, const XML_Char** attributes) = 0;
    virtual void End(std::string_view name) = 0;

    // Character data is appended to *m_target while it is set, up to the most one cell may
    // hold: a longer text stops the parse with TooMuchText's sentence.
    std::string* m_target = nullptr;
    void AppendText(const XML_Char* text, std::size_t length) {
        if (m_target->size() + length > kMaxCellTextBytes) return Fail(TooMuchText());
        m_target->append(text, length);
    }
    virtual std::string TooMuchText() const {
        return "a text of the workbook is longer than the " + std::to_string(kMaxCellTextBytes >> 20) +
               " MiB this reader accepts for one value";
    }
    // A handler's own failure (a bad value rather than bad XML), which stops the parse.
    std::string m_failure;
    XML_Parser m_parser = nullptr;

protected:
    void Fail(std::string message) {
        if (m_failure.empty()) m_failure = std::move(message);
        XML_StopParser(m_parser, XML_FALSE);
    }
};

// Expat is C: an exception must not pass through it. Running out of memory inside a handler
// (a part that holds more than this process can) stops the parse with a sentence instead.
template <typename Call>
void Guarded(XmlReader& reader, Call&& call) {
    // Expat may still report an element or two after a handler stopped the parse.
    if (!reader.m_failure.empty()) return;
    try {
        call();
    } catch (const std::exception&) {
        reader.m_failure = "there is not enough memory to read the workbook";
        XML_StopParser(reader.m_parser, XML_FALSE);
    }
}

void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto& reader = *static_cast<XmlReader*>(data);
    Guarded(reader, [&] { reader.Start(LocalName(name), attributes); });
}

void XMLCALL OnEnd(void* data, const XML_Char* name) {
    auto& reader = *static_cast<XmlReader*>(data);
    Guarded(reader, [&] { reader.End(LocalName(name)); });
}

void XMLCALL OnText(void* data, const XML_Char* text, int length) {
    auto& reader = *static_cast<XmlReader*>(data);
    if (reader.m_target) Guarded(reader, [&] { reader.AppendText(text, std::size_t(length)); });
}

// ---- Parts -------------------------------------------------------------------------------

// Streams a part of the package through `reader`, expat reading straight from the part's
// chunks (no copy in between).
bool Parse(const Package& package, const std::string& part, XmlReader& reader, std::string& error) {
    PartStream stream;
    if (!package.Open(part, stream, error)) return false;
    XML_Parser parser = XML_ParserCreate("UTF-8");
    if (!parser) {
        error = "there is not enough memory to read the part " + part;
        return false;
    }
    reader.m_parser = parser;
    XML_SetUserData(parser, &reader);
    XML_SetElementHandler(parser, OnStart, OnEnd);
    XML_SetCharacterDataHandler(parser, OnText);

    bool ok = true;
    for (;;) {
        void* buffer = XML_GetBuffer(parser, kChunk);
        if (!buffer) {
            error = "there is not enough memory to read the part " + part;
            ok = false;
            break;
        }
        zip_int64_t read = stream.Read(buffer, kChunk, error);
        if (read < 0) {
            ok = false;
            break;
        }
        if (XML_ParseBuffer(parser, int(read), read == 0) != XML_STATUS_OK) {
            if (!reader.m_failure.empty()) {
                error = reader.m_failure;
            } else {
                error = part + " is not well-formed XML at line " + std::to_string(XML_GetCurrentLineNumber(parser)) +
                        ": " + XML_ErrorString(XML_GetErrorCode(parser));
            }
            ok = false;
            break;
        }
        if (read == 0) break;
    }
    XML_ParserFree(parser);
    reader.m_parser = nullptr;
    return ok;
}

// ---- Relationships -----------------------------------------------------------------------

class RelationshipsReader : public XmlReader {
public:
    explicit RelationshipsReader(std::string source) : m_source(std::move(source)) {}
    std::vector<Relationship> m_relationships;

    void Start(std::string_view name, const XML_Char** attributes) override {
        if (name != "Relationship") return;
        std::optional<Relationship> relationship = RelationshipOf(attributes, m_source);
        // External targets (web addresses) are no parts of the workbook.
        if (relationship && !relationship->part.empty() && !relationship->type.empty())
            m_relationships.push_back(std::move(*relationship));
    }
    void End(std::string_view) override {}

private:
    std::string m_source;
};

// ---- workbook.xml ------------------------------------------------------------------------

struct SheetEntry {
    std::string name, relationship;
};

struct NameEntry {
    std::string name, text;
};

class WorkbookReader : public XmlReader {
public:
    std::vector<SheetEntry> m_sheets;
    std::vector<NameEntry> m_names;
    bool m_date1904 = false;

    void Start(std::string_view name, const XML_Char** attributes) override {
        if (name == "sheet") {
            const char* sheetName = Attribute(attributes, "name");
            const char* id = Attribute(attributes, "id");
            if (sheetName && id) m_sheets.push_back({sheetName, id});
        } else if (name == "workbookPr") {
            const char* date1904 = Attribute(attributes, "date1904");
            m_date1904 = date1904 && (std::strcmp(date1904, "1") == 0 || std::strcmp(date1904, "true") == 0);
        } else if (name == "definedName") {
            const char* nameText = Attribute(attributes, "name");
            // Names local to one sheet carry localSheetId; only workbook-level names are kept.
            m_keep = nameText && !Attribute(attributes, "localSheetId");
            if (m_keep) {
                m_name = nameText;
                m_text.clear();
                m_target = &m_text;
            }
        }
    }
    void End(std::string_view name) override {
        if (name == "definedName" && m_keep) {
            m_names.push_back({m_name, m_text});
            m_target = nullptr;
            m_keep = false;
        }
    }

private:
    bool m_keep = false;
    std::string m_name, m_text;
};

// ---- styles.xml --------------------------------------------------------------------------

class StylesReader : public XmlReader {
public:
    // Per cell format (the s attribute of a cell): whether it shows a date or time.
    std::vector<std::uint8_t> m_dateStyles;

    void Start(std::string_view name, const XML_Char** attributes) override {
        if (name == "numFmts") {
            m_inNumFmts = true;
        } else if (name == "cellXfs") {
            m_inCellXfs = true;
        } else if (name == "numFmt" && m_inNumFmts) {
            std::uint64_t id = 0;
            const char* idText = Attribute(attributes, "numFmtId");
            const char* code = Attribute(attributes, "formatCode");
            if (idText && code && ParseUnsigned(idText, id)) m_formats.Define(id, code);
        } else if (name == "xf" && m_inCellXfs) {
            std::uint64_t id = 0;
            const char* idText = Attribute(attributes, "numFmtId");
            if (idText) ParseUnsigned(idText, id);
            m_dateStyles.push_back(m_formats.DateKind(id));
        }
    }
    void End(std::string_view name) override {
        if (name == "numFmts") m_inNumFmts = false;
        if (name == "cellXfs") m_inCellXfs = false;
    }

private:
    bool m_inNumFmts = false, m_inCellXfs = false;
    NumberFormats m_formats;
};

// ---- sharedStrings.xml -------------------------------------------------------------------

class SharedStringsReader : public XmlReader {
public:
    explicit SharedStringsReader(zip_uint64_t partSize) : m_partSize(partSize) {}

    std::vector<std::string> m_strings;

    void Start(std::string_view name, const XML_Char** attributes) override {
        if (name == "si") {
            m_current.clear();
            m_inItem = true;
        } else if (name == "t" && m_inItem && m_phonetic == 0) {
            m_target = &m_current;
        } else if (name == "rPh") {
            ++m_phonetic;  // the reading aid of East Asian text is not part of the value
        } else if (name == "sst") {
            std::uint64_t count = 0;
            const char* unique = Attribute(attributes, "uniqueCount");
            // Each item takes at least "<si><t/></si>": a count beyond that is not believed.
            if (unique && ParseUnsigned(unique, count))
                m_strings.reserve(std::min<std::uint64_t>({count, m_partSize / 12, kMaxReserve}));
        }
    }
    void End(std::string_view name) override {
        if (name == "t") {
            m_target = nullptr;
        } else if (name == "rPh") {
            if (m_phonetic > 0) --m_phonetic;
        } else if (name == "si" && m_inItem) {
            DecodeEscapes(m_current);
            m_strings.push_back(m_current);
            m_inItem = false;
        }
    }

private:
    zip_uint64_t m_partSize;
    std::string m_current;
    bool m_inItem = false;
    int m_phonetic = 0;
};

// A large sheet's cells fill tens of megabytes of fresh memory, and touching it page by page
// costs a fault per 4 KiB, which on a virtual machine is a large share of the whole load.
// Huge pages for the block (where the system grants them on request) take that to a fault
// per 2 MiB. Only whole huge pages inside the block are named: the rest is not ours to advise.
void AskForHugePages(const void* block, std::size_t bytes) {
    constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
    if (bytes < 4 * kHuge) return;
    std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
    std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(block) + bytes) & ~(kHuge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// ---- A worksheet -------------------------------------------------------------------------

enum class ValueKind : std::uint8_t { Number, Shared, FormulaText, Inline, Boolean, Error, IsoDate, Unknown };

ValueKind KindOf(const char* t) {
    if (!t || std::strcmp(t, "n") == 0) return ValueKind::Number;
    if (std::strcmp(t, "s") == 0) return ValueKind::Shared;
    if (std::strcmp(t, "str") == 0) return ValueKind::FormulaText;
    if (std::strcmp(t, "inlineStr") == 0) return ValueKind::Inline;
    if (std::strcmp(t, "b") == 0) return ValueKind::Boolean;
    if (std::strcmp(t, "e") == 0) return ValueKind::Error;
    if (std::strcmp(t, "d") == 0) return ValueKind::IsoDate;
    return ValueKind::Unknown;
}

// A t="d" value: ISO 8601 date and time text. A zone designator after the time ("Z",
// "+02:00", "-0500") is dropped: the workbook's dates are the wall-clock times it shows.
bool IsoDateSerial(std::string_view text, double& serial) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (!text.empty() && (text.back() == 'Z' || text.back() == 'z')) {
        text.remove_suffix(1);
    } else if (std::size_t time = text.find_first_of("Tt "); time != std::string_view::npos) {
        std::size_t sign = text.find_last_of("+-");
        if (sign != std::string_view::npos && sign > time) text = text.substr(0, sign);
    }
    std::optional<DateParts> parts = ParseIsoDateTime(text);
    if (!parts) return false;
    std::optional<double> date = OleDateFromParts(*parts);
    if (!date) return false;
    serial = *date;
    return true;
}

class SheetReader : public XmlReader {
public:
    struct Context {
        const std::string* sheetName;
        const std::string* part;
        const std::vector<std::string>* sharedStrings;
        const std::vector<std::uint8_t>* dateStyles;
        bool date1904;
        zip_uint64_t partSize;
    };

    SheetReader(const Context& context, SheetCells& cells) : m_context(context), m_cells(cells) {}

    void Start(std::string_view name, const XML_Char** attributes) override {
        if (m_inSheetData) {
            if (name == "c") {
                StartCell(attributes);
            } else if (m_inCell) {
                if (name == "v") {
                    m_hasValue = true;
                    m_value.clear();
                    m_target = &m_value;
                } else if (name == "is") {
                    m_inInline = true;
                    m_hasInline = true;
                } else if (name == "t" && m_inInline && m_phonetic == 0) {
                    m_target = &m_inline;
                } else if (name == "rPh") {
                    ++m_phonetic;
                }
            } else if (name == "row") {
                StartRow(attributes);
            }
        } else if (name == "sheetData") {
            m_inSheetData = true;
            // Without a dimension, room for what the part can plausibly hold (a cell with a
            // reference and a value takes some 30 bytes); room never touched costs no memory.
            if (m_cells.Capacity() == 0) {
                m_cells.Reserve(std::min<std::uint64_t>(m_context.partSize / 32, kMaxReserve));
                AskForHugePages(m_cells.Data(), m_cells.Capacity() * sizeof(SheetCells::Stored));
            }
        } else if (name == "dimension") {
            Reserve(Attribute(attributes, "ref"));
        }
    }

    void End(std::string_view name) override {
        if (!m_inSheetData) return;
        if (m_inCell) {
            if (name == "v" || name == "t") {
                m_target = nullptr;
            } else if (name == "rPh") {
                if (m_phonetic > 0) --m_phonetic;
            } else if (name == "is") {
                m_inInline = false;
            } else if (name == "c") {
                m_inCell = false;
                m_target = nullptr;
                EndCell();
            }
        } else if (name == "sheetData") {
            m_inSheetData = false;
        }
    }

    // Called after the parse: cells in order, the last of any cell given twice kept.
    void Finish() {
        if (!m_ordered) m_cells.PutInOrder();
    }

private:
    // <dimension ref="A1:F1000">: room for that many cells, bounded by what the part's size
    // can hold (every cell takes at least "<c><v>0</v></c>"), so a false claim costs nothing.
    void Reserve(const char* ref) {
        if (!ref) return;
        std::string_view text = ref;
        std::size_t colon = text.find(':');
        if (colon == std::string_view::npos) return;
        std::uint32_t r1, c1, r2, c2;
        if (!ParseCellReference(text.substr(0, colon), r1, c1) || !ParseCellReference(text.substr(colon + 1), r2, c2))
            return;
        std::uint64_t count = std::uint64_t(r2 >= r1 ? r2 - r1 + 1 : 1) * (c2 >= c1 ? c2 - c1 + 1 : 1);
        m_cells.Reserve(std::min<std::uint64_t>({count, m_context.partSize / 16, kMaxReserve}));
        AskForHugePages(m_cells.Data(), m_cells.Capacity() * sizeof(SheetCells::Stored));
    }

    void StartRow(const XML_Char** attributes) {
        const char* r = Attribute(attributes, "r");
        std::uint64_t row = m_row + 1;  // a row without a number follows the one before
        if (r && (!ParseUnsigned(r, row) || row == 0 || row > kMaxRows)) {
            Fail(Where() + " has a row numbered '" + r + "', which is not a row number from 1 to 1048576");
            return;
        }
        if (row > kMaxRows) {
            Fail(Where() + " has more than 1048576 rows");
            return;
        }
        m_row = std::uint32_t(row);
        m_column = 0;
    }

    void StartCell(const XML_Char** attributes) {
        m_inCell = true;
        m_hasValue = m_hasInline = m_inInline = false;
        m_phonetic = 0;
        m_inline.clear();
        // A cell's own attributes are never prefixed: whole names compare, in one pass.
        const char *r = nullptr, *t = nullptr, *s = nullptr;
        for (const XML_Char** attribute = attributes; attribute[0]; attribute += 2) {
            const char* name = attribute[0];
            if (name[0] == '\0' || name[1] != '\0') continue;
            if (name[0] == 'r') r = attribute[1];
            else if (name[0] == 't') t = attribute[1];
            else if (name[0] == 's') s = attribute[1];
        }
        if (r) {
            std::uint32_t row = 0, column = 0;
            if (!ParseCellReference(r, row, column)) {
                Fail(Where() + " has a cell named '" + r + "', which is not a cell reference");
                return;
            }
            m_row = row;
            m_column = column;
        } else {
            // A cell without a reference follows the one before in its row.
            if (m_row == 0) m_row = 1;
            if (m_column >= kMaxColumns) {
                Fail(Where() + " has more than 16384 cells in row " + std::to_string(m_row));
                return;
            }
            ++m_column;
        }
        m_kind = KindOf(t);
        if (m_kind == ValueKind::Unknown) {
            Fail("cell " + CellReference(m_row, m_column) + " of " + Where() + " has the unknown value type '" + t +
                 "'");
            return;
        }
        m_date = kNotDate;
        if (s) {
            std::uint64_t style = 0;
            const auto& styles = *m_context.dateStyles;
            if (ParseUnsigned(s, style) && style < styles.size()) m_date = styles[style];
        }
    }

    void EndCell() {
        // The value is decided first and the cell stored at once: no temporary cell, and no
        // copy of its text but the one into the sheet's block.
        CellType type = CellType::Text;
        double number = 0;
        const std::string* text = nullptr;
        std::string& value = m_value;
        if (m_kind == ValueKind::Inline) {
            if (!m_hasInline) return;
            DecodeEscapes(m_inline);
            text = &m_inline;
        } else {
            // A formula without a cached result, or an empty value, leaves no cell.
            if (!m_hasValue || value.empty()) return;
            switch (m_kind) {
            case ValueKind::Number:
                if (!ParseNumber(value, number)) return BadValue("the number", value);
                type = m_date ? CellType::Date : CellType::Number;
                if (m_date) number = DateCellDays(number, m_date, m_context.date1904);
                break;
            case ValueKind::Shared: {
                std::uint64_t index = 0;
                const auto& strings = *m_context.sharedStrings;
                if (!ParseUnsigned(value, index)) return BadValue("the shared-string index", value);
                if (index >= strings.size()) {
                    Fail("cell " + CellReference(m_row, m_column) + " of " + Where() + " refers to shared string " +
                         std::to_string(index) + ", but the workbook has only " + std::to_string(strings.size()) +
                         " shared strings");
                    return;
                }
                text = &strings[index];
                break;
            }
            case ValueKind::FormulaText:
                DecodeEscapes(value);
                text = &value;
                break;
            case ValueKind::Boolean:
                if (value == "1" || value == "true") number = 1;
                else if (value == "0" || value == "false") number = 0;
                else return BadValue("the boolean", value);
                type = CellType::Boolean;
                break;
            case ValueKind::Error:
                type = CellType::Error;
                text = &value;
                break;
            case ValueKind::IsoDate:
                if (!IsoDateSerial(value, number)) return BadValue("the date", value);
                type = CellType::Date;
                break;
            default: return;
            }
        }
        if (const SheetCells::Stored* last = m_cells.Last())
            if (last->row > m_row || (last->row == m_row && last->column >= m_column)) m_ordered = false;
        // A shared string is pointed at (the workbook keeps the strings); other texts are
        // copied into the sheet's block.
        if (m_kind == ValueKind::Shared) m_cells.Add(m_row, m_column, type, number, text, {});
        else m_cells.Add(m_row, m_column, type, number, nullptr, text ? std::string_view(*text) : std::string_view());
    }

    std::string TooMuchText() const override {
        return "cell " + CellReference(m_row, m_column) + " of " + Where() + " holds more than the " +
               std::to_string(kMaxCellTextBytes >> 20) + " MiB of text this reader accepts for one cell";
    }

    void BadValue(const char* what, const std::string& value) {
        std::string shown = value.size() > 40 ? value.substr(0, 40) + "..." : value;
        Fail("cell " + CellReference(m_row, m_column) + " of " + Where() + " holds " + what + " '" + shown +
             "', which cannot be read");
    }

    std::string Where() const { return "the sheet '" + *m_context.sheetName + "' (" + *m_context.part + ")"; }

    Context m_context;
    SheetCells& m_cells;
    std::string m_value, m_inline;
    std::uint32_t m_row = 0, m_column = 0;
    ValueKind m_kind = ValueKind::Number;
    int m_phonetic = 0;
    bool m_inSheetData = false, m_inCell = false, m_inInline = false;
    bool m_hasValue = false, m_hasInline = false, m_ordered = true;
    std::uint8_t m_date = kNotDate;
};

// ---- Defined names -----------------------------------------------------------------------

// "$A" (a whole column) or "$12" (a whole row) of an area such as $A:$C or $1:$3.
bool ParseColumnOnly(std::string_view text, std::uint32_t& column) {
    if (!text.empty() && text.front() == '$') text.remove_prefix(1);
    if (text.empty() || text.size() > 3) return false;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
        if (c < 'A' || c > 'Z') return false;
        value = value * 26 + std::uint32_t(c - 'A' + 1);
    }
    if (value > kMaxColumns) return false;
    column = value;
    return true;
}

bool ParseRowOnly(std::string_view text, std::uint32_t& row) {
    if (!text.empty() && text.front() == '$') text.remove_prefix(1);
    std::uint64_t value = 0;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (text.empty() || text.size() > 7 || !std::all_of(text.begin(), text.end(), digit)) return false;
    ParseUnsigned(text, value);
    if (value == 0 || value > kMaxRows) return false;
    row = std::uint32_t(value);
    return true;
}

// One rectangle of one sheet: Sheet1!$A$1:$C$10, 'Q''s data'!$B$2, Sheet1!$A:$C (whole
// columns), Sheet1!$1:$3 (whole rows). Anything else (a formula, #REF!, several areas, a
// name of another workbook) is not a range.
bool ParseAreaReference(std::string_view text, std::string& sheet, Range& range) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (text.empty()) return false;
    sheet.clear();
    std::size_t at = 0;
    if (text[0] == '\'') {
        for (at = 1;; ++at) {
            if (at >= text.size()) return false;
            if (text[at] == '\'') {
                if (at + 1 < text.size() && text[at + 1] == '\'') {
                    sheet += '\'';
                    ++at;
                    continue;
                }
                break;
            }
            sheet += text[at];
        }
        ++at;
        if (at >= text.size() || text[at] != '!') return false;
    } else {
        at = text.find('!');
        if (at == std::string_view::npos || at == 0) return false;
        sheet = text.substr(0, at);
        if (sheet.find_first_of("'[]()\",:;{}=+-*/&<> ") != std::string::npos) return false;
    }
    std::string_view area = text.substr(at + 1);
    std::size_t colon = area.find(':');
    std::string_view first = area.substr(0, colon);
    std::string_view last = colon == std::string_view::npos ? first : area.substr(colon + 1);
    std::uint32_t r1, c1, r2, c2;
    if (ParseCellReference(first, r1, c1) && ParseCellReference(last, r2, c2)) {
    } else if (colon != std::string_view::npos && ParseColumnOnly(first, c1) && ParseColumnOnly(last, c2)) {
        r1 = 1;
        r2 = kMaxRows;
    } else if (colon != std::string_view::npos && ParseRowOnly(first, r1) && ParseRowOnly(last, r2)) {
        c1 = 1;
        c2 = kMaxColumns;
    } else {
        return false;
    }
    range.firstRow = std::min(r1, r2);
    range.lastRow = std::max(r1, r2);
    range.firstColumn = std::min(c1, c2);
    range.lastColumn = std::max(c1, c2);
    return true;
}

// ---- The workbook ------------------------------------------------------------------------

// The workbook part: the package's officeDocument relationship names it.
bool FindWorkbookPart(const Package& package, std::string& workbookPart, std::string& error) {
    workbookPart = "xl/workbook.xml";
    std::string named;
    if (package.Has("_rels/.rels")) {
        RelationshipsReader root("");
        if (!Parse(package, "_rels/.rels", root, error)) return false;
        if (const Relationship* document = FindRelationship(root.m_relationships, "/officeDocument")) {
            named = document->part;
            if (package.Has(named)) workbookPart = named;
        }
    }
    if (package.Has(workbookPart)) return true;
    error = named.empty() || named == workbookPart
                ? "it is not an .xlsx workbook (the part xl/workbook.xml is missing)"
                : "it is not an .xlsx workbook (the part " + named +
                      " that _rels/.rels names as the workbook is missing, and so is xl/workbook.xml)";
    return false;
}

// The part of a relationship of the workbook found by its type, or the usual name.
std::string WorkbookLink(const RelationshipsReader& links, std::string_view type, const char* usual) {
    const Relationship* link = FindRelationship(links.m_relationships, type);
    return link ? link->part : usual;
}

// The sheets' cells, each sheet's part found through the workbook's relationships.
bool LoadSheets(const Package& package, const std::string& workbookPart, const WorkbookReader& book,
                const RelationshipsReader& links, const SharedStringsReader& strings, const StylesReader& styles,
                Workbook& out, std::string& error) {
    const std::string linksPart = RelationshipsPart(workbookPart);
    out.sheets.reserve(book.m_sheets.size());
    for (const SheetEntry& entry : book.m_sheets) {
        const Relationship* link = nullptr;
        for (const Relationship& relationship : links.m_relationships) {
            if (relationship.id == entry.relationship) {
                link = &relationship;
                break;
            }
        }
        if (!link) {
            error = "the sheet '" + entry.name + "' has no part: " +
                    (package.Has(linksPart) ? linksPart + " has no relationship '" + entry.relationship + "'"
                                            : "the part " + linksPart + " is missing");
            return false;
        }
        // Chart sheets, dialog sheets and macro sheets hold no cells of their own.
        if (!link->type.ends_with("/worksheet")) continue;
        const std::string& part = link->part;
        if (!package.Has(part)) {
            error = "the sheet '" + entry.name + "' is missing: its part " + part + " is not in the archive";
            return false;
        }
        Sheet sheet;
        sheet.name = entry.name;
        SheetReader::Context context{&sheet.name,          &part,           &strings.m_strings,
                                     &styles.m_dateStyles, book.m_date1904, package.DeclaredSize(part)};
        SheetReader reader(context, sheet.cells);
        if (!Parse(package, part, reader, error)) return false;
        reader.Finish();
        out.sheets.push_back(std::move(sheet));
    }
    return true;
}

// The workbook-level names that are one rectangle of one of the sheets read.
void KeepDefinedNames(const WorkbookReader& book, Workbook& out) {
    for (const NameEntry& entry : book.m_names) {
        // Built-in names (print areas, filter ranges) are the program's, not the user's.
        if (entry.name.size() >= 6 && platform::EqualsNoCase(std::string_view(entry.name).substr(0, 6), "_xlnm."))
            continue;
        DefinedName name;
        name.name = entry.name;
        if (!ParseAreaReference(entry.text, name.sheet, name.range)) continue;
        auto sheet = std::find_if(out.sheets.begin(), out.sheets.end(),
                                  [&](const Sheet& s) { return platform::EqualsNoCase(s.name, name.sheet); });
        if (sheet == out.sheets.end()) continue;
        name.sheet = sheet->name;
        out.names.push_back(std::move(name));
    }
}

bool LoadArchive(const Package& package, Workbook& out, std::string& error) {
    if (package.Entries() <= 0) {
        error = "it is not an .xlsx workbook (an empty zip archive)";
        return false;
    }
    std::string workbookPart;
    if (!FindWorkbookPart(package, workbookPart, error)) return false;
    WorkbookReader book;
    if (!Parse(package, workbookPart, book, error)) return false;

    RelationshipsReader links(workbookPart);
    const std::string linksPart = RelationshipsPart(workbookPart);
    if (package.Has(linksPart) && !Parse(package, linksPart, links, error)) return false;

    const std::string stylesPart = WorkbookLink(links, "/styles", "xl/styles.xml");
    const std::string stringsPart = WorkbookLink(links, "/sharedStrings", "xl/sharedStrings.xml");
    StylesReader styles;
    if (package.Has(stylesPart) && !Parse(package, stylesPart, styles, error)) return false;
    SharedStringsReader strings(package.DeclaredSize(stringsPart));
    if (package.Has(stringsPart) && !Parse(package, stringsPart, strings, error)) return false;

    if (!LoadSheets(package, workbookPart, book, links, strings, styles, out, error)) return false;
    // The cells point at these strings; moving the vector keeps every string where it is.
    out.sharedStrings = std::move(strings.m_strings);
    KeepDefinedNames(book, out);
    return true;
}

// The whole workbook or nothing: on failure `out` is left empty.
bool LoadOrClear(const Package& package, Workbook& out, std::string& error) {
    bool ok = false;
    try {
        ok = LoadArchive(package, out, error);
    } catch (const std::exception&) {
        error = "there is not enough memory to read the workbook";
    }
    if (!ok) out = Workbook{};
    return ok;
}

std::string OpenError(int code) {
    switch (code) {
    case ZIP_ER_NOENT: return "there is no such file";
    case ZIP_ER_NOZIP: return "it is not an .xlsx workbook (not a zip archive)";
    case ZIP_ER_INCONS: return "it is not an .xlsx workbook (a damaged zip archive)";
    case ZIP_ER_MEMORY: return "there is not enough memory to open it";
    default: {
        zip_error_t zipError;
        zip_error_init_with_code(&zipError, code);
        std::string text = std::string("it cannot be read as a zip archive: ") + zip_error_strerror(&zipError);
        zip_error_fini(&zipError);
        return text;
    }
    }
}

}  // namespace

bool LoadXlsx(const std::string& path, Workbook& out, std::string& error) {
    out = Workbook{};
    out.format = Format::Xlsx;
    int code = 0, systemError = 0;
    zip_t* zip = OpenArchiveForReading(path, code, systemError);
    if (!zip) {
        error = systemError != 0 && code != ZIP_ER_NOENT
                    ? "it cannot be read (" + std::string(std::strerror(systemError)) + ")"
                    : OpenError(code);
        return false;
    }
    Package package(zip);
    return LoadOrClear(package, out, error);
}

bool LoadXlsxFromMemory(const void* data, std::size_t size, Workbook& out, std::string& error) {
    out = Workbook{};
    out.format = Format::Xlsx;
    zip_error_t zipError;
    zip_error_init(&zipError);
    zip_source_t* source = zip_source_buffer_create(data, size, 0, &zipError);
    if (!source) {
        zip_error_fini(&zipError);
        error = "there is not enough memory to open it";
        return false;
    }
    zip_t* zip = zip_open_from_source(source, ZIP_RDONLY, &zipError);
    if (!zip) {
        error = OpenError(zip_error_code_zip(&zipError));
        zip_source_free(source);
        zip_error_fini(&zipError);
        return false;
    }
    zip_error_fini(&zipError);
    Package package(zip);
    return LoadOrClear(package, out, error);
}

}  // namespace orv::engine::workbook
