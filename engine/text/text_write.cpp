#include "engine/text/text_write.h"
#include "platform/strings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>

namespace orv::engine::text {
namespace {

// The next code point of UTF-8 `s` at `i`; U+FFFD for a malformed sequence.
std::uint32_t NextCodePoint(std::string_view s, std::size_t& i) {
    unsigned char c = static_cast<unsigned char>(s[i++]);
    if (c < 0x80) return c;
    int more = (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (more < 0) return 0xFFFD;
    std::uint32_t cp = c & (0x3F >> more);
    for (int k = 0; k < more; ++k) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 0xFFFD;
        cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    return cp;
}

void AppendUnit(std::string& out, std::uint32_t unit, bool le) {
    const char lo = static_cast<char>(unit & 0xFF), hi = static_cast<char>(unit >> 8);
    if (le) out += lo, out += hi;
    else out += hi, out += lo;
}

}  // namespace

bool DetectWriteStyle(const std::string& path, const TextFileDescription& description, WriteStyle& style) {
    style = WriteStyle();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char head[3] = {}, tail[2] = {};
    const off_t size = ::lseek(fd, 0, SEEK_END);
    ssize_t headBytes = ::pread(fd, head, sizeof head, 0);
    ssize_t tailBytes = size >= 2 ? ::pread(fd, tail, 2, size - 2) : size == 1 ? ::pread(fd, tail + 1, 1, 0) : 0;
    ::close(fd);
    if (size < 0 || headBytes < 0 || tailBytes < 0) return false;

    std::size_t bom = 0;
    DetectCharset(std::string_view(reinterpret_cast<char*>(head), std::size_t(headBytes)), bom);
    style.bom = bom > 0;
    if (off_t(bom) >= size) return true;  // empty: new records take the defaults

    switch (description.charset) {
    case Charset::Utf16LE: style.finalNewline = tail[0] == '\n' && tail[1] == 0; break;
    case Charset::Utf16BE: style.finalNewline = tail[0] == 0 && tail[1] == '\n'; break;
    default: style.finalNewline = tail[1] == '\n'; break;
    }

    TextReader reader;
    if (!reader.Open(path) || !reader.Rewind(description.charset, description.delimiter)) return false;
    const std::string sample = reader.ReadDecoded(64 * 1024);
    if (reader.Failed()) return false;
    // The line ending of the first record that ends, outside quotes.
    bool quoted = false;
    for (std::size_t i = 0; i < sample.size(); ++i) {
        if (sample[i] == '"') quoted = !quoted;
        if (!quoted && sample[i] == '\n') {
            style.lineEnd = i > 0 && sample[i - 1] == '\r' ? "\r\n" : "\n";
            break;
        }
    }
    // Every non-empty field of the first records quoted: the file quotes every field.
    std::size_t quotedFields = 0, bareFields = 0, records = 0;
    bool fieldStart = true;
    quoted = false;
    for (std::size_t i = 0; i < sample.size() && records < 10; ++i) {
        const char c = sample[i];
        if (quoted) {
            if (c == '"') quoted = false;  // a doubled quote reopens at once
            continue;
        }
        if (fieldStart) {
            fieldStart = false;
            if (c == '"') {
                ++quotedFields;
                quoted = true;
                continue;
            }
            if (c != description.delimiter && c != '\r' && c != '\n') ++bareFields;
        }
        if (c == '"' && i > 0 && sample[i - 1] == '"') quoted = true;  // "" inside a quoted field
        if (c == description.delimiter) fieldStart = true;
        if (c == '\n') fieldStart = true, ++records;
    }
    style.quoteAll = quotedFields > 0 && bareFields == 0;
    return true;
}

void AppendField(std::string& out, const std::optional<std::string>& value, char delimiter, bool quoteAll) {
    if (value && value->empty()) out += "\"\"";  // an unquoted empty field would read as NULL
    else if (value) AppendField(out, std::string_view(*value), delimiter, quoteAll);
}

void AppendRecordFields(std::string& out, const std::vector<std::string>& fields, const std::vector<bool>& quoted,
                        std::size_t count, char delimiter, bool quoteAll) {
    if (count == 1 && fields[0].empty()) {
        out += "\"\"";  // not a blank line, which holds no record
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (i) out += delimiter;
        if (fields[i].empty() && i < quoted.size() && quoted[i]) out += "\"\"";
        else AppendField(out, std::string_view(fields[i]), delimiter, quoteAll);
    }
}

void AppendField(std::string& out, std::string_view v, char delimiter, bool quoteAll) {
    bool quote = quoteAll;
    for (char c : v)
        if (c == delimiter || c == '"' || c == '\r' || c == '\n') {
            quote = true;
            break;
        }
    if (!quote) {
        out += v;
        return;
    }
    out += '"';
    for (char c : v) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

std::string FormatRecord(const std::vector<std::optional<std::string>>& fields, char delimiter,
                         const WriteStyle& style) {
    std::string out;
    bool empty = true;
    for (const auto& f : fields)
        if (f && !f->empty()) empty = false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i) out += delimiter;
        // A record of empty fields only would be a blank line, which holds no record:
        // its first field is written as an empty quoted text.
        if (empty && i == 0 && fields.size() == 1) out += "\"\"";
        else AppendField(out, fields[i], delimiter, style.quoteAll);
    }
    if (fields.empty()) out += "\"\"";
    out += style.lineEnd;
    return out;
}

bool EncodeText(std::string_view text, Charset charset, std::string& out, std::uint32_t& bad) {
    switch (charset) {
    case Charset::Utf8: out.append(text); return true;
    case Charset::Ansi:
        for (std::size_t i = 0; i < text.size();) {
            const std::uint32_t cp = NextCodePoint(text, i);
            if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
                out += static_cast<char>(cp);
                continue;
            }
            bool found = false;
            for (unsigned b = 0x80; b < 0xA0 && !found; ++b)
                if (AnsiCodePoint(static_cast<unsigned char>(b)) == cp) out += static_cast<char>(b), found = true;
            if (!found) {
                bad = cp;
                return false;
            }
        }
        return true;
    case Charset::Utf16LE:
    case Charset::Utf16BE: {
        const bool le = charset == Charset::Utf16LE;
        out.reserve(out.size() + text.size() * 2);
        for (std::size_t i = 0; i < text.size();) {
            const std::uint32_t cp = NextCodePoint(text, i);
            if (cp >= 0x10000) {
                AppendUnit(out, 0xD800 + ((cp - 0x10000) >> 10), le);
                AppendUnit(out, 0xDC00 + ((cp - 0x10000) & 0x3FF), le);
            } else {
                AppendUnit(out, cp, le);
            }
        }
        return true;
    }
    }
    return true;
}

std::string ByteOrderMark(Charset charset) {
    switch (charset) {
    case Charset::Utf8: return "\xEF\xBB\xBF";
    case Charset::Utf16LE: return "\xFF\xFE";
    case Charset::Utf16BE: return "\xFE\xFF";
    case Charset::Ansi: break;
    }
    return "";
}

CreatedTextColumn TextColumnForType(const std::string& name, const std::string& type) {
    CreatedTextColumn out;
    out.column.name = name;
    const std::string upper = platform::Upper(platform::Trim(type));
    const std::size_t paren = upper.find('(');
    const std::string base(platform::Trim(std::string_view(upper).substr(0, paren)));
    long length = 0;
    if (paren != std::string::npos) length = std::strtol(upper.c_str() + paren + 1, nullptr, 10);
    auto set = [&](Kind kind, const char* declared, const char* schema) {
        out.column.kind = kind;
        out.column.declared = declared;
        out.schemaType = schema;
    };
    if (base == "INTEGER" || base == "INT" || base == "LONG" || base == "COUNTER" || base == "AUTOINCREMENT" ||
        base == "MEDIUMINT" || base == "INTEGER4" || base == "INT4") {
        set(Kind::Integer, "LONG", "Long");
    } else if (base == "SHORT" || base == "SMALLINT" || base == "INTEGER2" || base == "INT2") {
        set(Kind::Integer, "SHORT", "Short");
    } else if (base == "BYTE" || base == "TINYINT" || base == "INTEGER1") {
        set(Kind::Integer, "BYTE", "Byte");
    } else if (base == "BIGINT" || base == "INT8") {
        set(Kind::BigInt, "BIGINT", "BigInt");
    } else if (base == "SINGLE" || base == "FLOAT4" || base == "IEEESINGLE") {
        set(Kind::Real, "SINGLE", "Single");
    } else if ((base == "NUMERIC" || base == "DECIMAL") && length > 0) {
        // Precision and scale stay, so that the column reads back as the same decimal.
        const std::size_t comma = upper.find(',', paren);
        const long scale = comma == std::string::npos ? 0 : std::strtol(upper.c_str() + comma + 1, nullptr, 10);
        const std::string p = std::to_string(length), s = std::to_string(scale);
        out.column.kind = Kind::Real;
        out.column.declared = "DECIMAL(" + p + "," + s + ")";
        out.schemaType = "Decimal Precision " + p + " Scale " + s;
    } else if (base == "DOUBLE" || base == "FLOAT" || base == "REAL" || base == "NUMBER" || base == "NUMERIC" ||
               base == "DECIMAL" || base == "FLOAT8" || base == "IEEEDOUBLE" || base == "DOUBLE PRECISION") {
        set(Kind::Real, "DOUBLE", "Double");
    } else if (base == "CURRENCY" || base == "MONEY") {
        set(Kind::Currency, "CURRENCY", "Currency");
    } else if (base == "DATETIME" || base == "DATE" || base == "TIME" || base == "TIMESTAMP" ||
               base == "SMALLDATETIME") {
        set(Kind::Date, "DATETIME", "DateTime");
    } else if (base == "BIT" || base == "YESNO" || base == "BOOLEAN" || base == "LOGICAL" || base == "LOGICAL1") {
        set(Kind::Boolean, "YESNO", "Bit");
    } else if (base == "MEMO" || base == "LONGTEXT" || base == "LONGCHAR" || base == "NOTE" || base == "NTEXT") {
        set(Kind::Text, "MEMO", "Memo");
    } else {
        // TEXT(n), VARCHAR(n), CHAR(n) and anything else: text of the length given, 255 otherwise.
        const long width = length > 0 ? length : 255;
        out.column.kind = Kind::Text;
        out.column.declared = "TEXT(" + std::to_string(width) + ")";
        out.schemaType = "Text Width " + std::to_string(width);
    }
    return out;
}

std::string ReplaceSchemaSection(std::string_view ini, const std::string& fileName,
                                 const std::vector<std::string>& lines) {
    const std::string eol =
        ini.find("\r\n") != std::string_view::npos || ini.find('\n') == std::string_view::npos ? "\r\n" : "\n";
    const std::string wanted = platform::Lower(fileName);
    std::string out;
    bool skipping = false;
    std::size_t pos = 0;
    while (pos < ini.size()) {
        std::size_t end = ini.find('\n', pos);
        end = end == std::string_view::npos ? ini.size() : end + 1;
        const std::string_view line = ini.substr(pos, end - pos);
        pos = end;
        const std::string_view bare = platform::Trim(line);
        if (!bare.empty() && bare.front() == '[') {
            const std::size_t close = bare.find(']');
            const std::string name = platform::Lower(
                platform::Trim(bare.substr(1, close == std::string_view::npos ? bare.size() - 1 : close - 1)));
            skipping = name == wanted;
        }
        if (!skipping) out.append(line);
    }
    if (lines.empty()) return out;
    if (!out.empty() && out.back() != '\n') out += eol;
    for (const std::string& line : lines) out += line + eol;
    return out;
}

}  // namespace orv::engine::text
