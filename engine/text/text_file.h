// Delimited text files: how a file is read (character set, delimiter, header), what its
// columns are (from schema.ini or guessed from the first rows), and a streaming reader of
// its records. The SQLite module in text_module.h turns a described file into a table.
//
// A TextReader belongs to one cursor; everything else is plain values. Any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::engine::text {

enum class Charset { Utf8, Utf16LE, Utf16BE, Ansi };

// The value kinds a column of a text file can hold; a value that does not read as its
// column's kind is handed to SQLite as the text it is.
enum class Kind { Integer, BigInt, Real, Currency, Date, Boolean, Text };

struct TextColumn {
    std::string name;
    std::string declared;  // the type as the table declares it: LONG, DOUBLE, TEXT(255), ...
    Kind kind = Kind::Text;
};

// What the user said about a file: Extended Properties for every file of the folder, with
// its schema.ini section over them. Unset fields are decided from the file itself.
struct TextSettings {
    std::optional<bool> header;
    std::optional<char> delimiter;
    std::optional<Charset> charset;
    std::optional<int> maxScanRows;  // 0: every row
    std::vector<TextColumn> columns;  // Col1=, Col2=, ... in order
    std::string dateTimeFormat;  // schema.ini DateTimeFormat ("dd.mm.yyyy hh:nn"); empty: none
    std::string unsupported;  // a setting this reader cannot honour, named for the error
};

// Reads "HDR=YES;FMT=Delimited(;);MaxScanRows=50;CharacterSet=ANSI" (the words after the
// leading "text"); unknown keys are ignored, as they may belong to other layers.
TextSettings ParseExtendedProperties(std::string_view props);

// The sections of a schema.ini, by lower-cased file name. Later keys override earlier
// ones; a section applies over `base`.
struct SchemaIni {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> sections;
};
SchemaIni ParseSchemaIni(std::string_view text);
void ApplySchemaSection(const SchemaIni& ini, const std::string& fileName, TextSettings& settings);

// A file opened for reading, decoded to UTF-8 with a fixed-size buffer.
class TextReader {
public:
    TextReader() = default;
    ~TextReader();
    TextReader(const TextReader&) = delete;
    TextReader& operator=(const TextReader&) = delete;

    // Reads from memory (for tests and sniffing); `utf8` must outlive the reader.
    explicit TextReader(std::string_view utf8, char delimiter);

    // Opens `path`; false with errno set when it cannot be opened.
    bool Open(const std::string& path);
    // Back to the first record, with the given decoding and delimiter; false on a read error.
    bool Rewind(Charset charset, char delimiter);
    // Reads no further than `size` bytes of the file from now on (the file as it was at a
    // moment, while a writer appends to it).
    void LimitTo(off_t size) { m_limit = size; }
    int Fd() const { return m_fd; }

    // The next record's fields; false at the end of the data.
    bool Next(std::vector<std::string>& fields, std::size_t& count);
    // Which fields of the last record were quoted: "" is the empty text, a bare empty
    // field is NULL.
    const std::vector<bool>& Quoted() const { return m_quoted; }
    // Up to `max` bytes of the decoded text from the current position.
    std::string ReadDecoded(std::size_t max);
    bool Failed() const { return m_failed; }

private:
    int Get() {
        if (m_pos < m_buf.size()) return static_cast<unsigned char>(m_buf[m_pos++]);
        return Refill() ? static_cast<unsigned char>(m_buf[m_pos++]) : -1;
    }
    int Peek() {
        if (m_pos < m_buf.size()) return static_cast<unsigned char>(m_buf[m_pos]);
        return Refill() ? static_cast<unsigned char>(m_buf[m_pos]) : -1;
    }
    bool Refill();

    int m_fd = -1;
    off_t m_offset = 0;  // of the next read in the file
    off_t m_limit = -1;  // where reading stops; -1 at the file's end
    Charset m_charset = Charset::Utf8;
    char m_delimiter = ',';
    std::string m_raw;  // undecoded bytes read and not yet converted
    std::size_t m_rawPos = 0;
    std::string m_buf;  // UTF-8
    std::size_t m_pos = 0;
    bool m_eof = false, m_failed = false, m_memory = false;
    std::vector<bool> m_quoted;
};

// A file as the table reads it.
struct TextFileDescription {
    Charset charset = Charset::Utf8;
    char delimiter = ',';
    bool header = true;
    std::vector<TextColumn> columns;
    std::string dateTimeFormat;  // how the file writes dates, when schema.ini says so
};

// Reads the start of the file at `path` and decides what `settings` left open. On failure,
// `error` says why in a sentence part ("it cannot be read: ...").
bool DescribeTextFile(const std::string& path, const TextSettings& settings, TextFileDescription& out,
                      std::string& error);

// The character set of a file from its first bytes: a BOM, else UTF-8 unless the bytes are
// not valid UTF-8 (then ANSI). `bomLength` is the length of the BOM found.
Charset DetectCharset(std::string_view head, std::size_t& bomLength);

// The delimiter of the records in `sample` (UTF-8): the first of , ; tab | that splits every
// sample line into the same number (more than one) of fields; else the one that splits the
// first line into the most fields; else a comma.
char SniffDelimiter(std::string_view sample);

// Dates in a schema.ini DateTimeFormat: yyyy, yy, m, mm, mmm (Jan), d, dd, h, hh, n, nn
// (minutes; m and mm after an hour or before seconds are minutes too), s, ss and AM/PM;
// other characters stand for themselves. Parsing gives the ISO text ("2024-03-01" or
// "2024-03-01 13:45:00"), nullopt when the value does not follow the format.
std::optional<std::string> ParseDateWithFormat(std::string_view value, std::string_view format);
// ISO date text ("2024-03-01 13:45:00") written in `format`; nullopt when it is no date.
std::optional<std::string> FormatDateWithFormat(std::string_view iso, std::string_view format);

// The code point of a Windows-1252 byte.
std::uint32_t AnsiCodePoint(unsigned char c);

// More significant digits than a double keeps (15): such a number reads as its text, so
// that no digit changes.
bool TooManyDigitsForReal(std::string_view number);

// The kind a value of text reads as, for guessing column types; nullopt for an empty value.
std::optional<Kind> ClassifyValue(std::string_view value);

// The ISO text of a date value ("2024-03-01", "3/1/2024 1:45 PM"), nullopt when it is none.
std::optional<std::string> ParseDateValue(std::string_view value);

}  // namespace orv::engine::text
