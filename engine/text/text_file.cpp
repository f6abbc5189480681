#include "engine/text/text_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>

#include "engine/sql/datetime.h"
#include "engine/sql/quote.h"
#include "engine/store/store.h"
#include "platform/calendar.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine::text {

namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kSampleBytes = 64 * 1024;
constexpr int kDefaultScanRows = 25;

void AppendUtf8(std::string& out, std::uint32_t cp) { platform::AppendCodePointUtf8(out, cp); }

// Windows-1252 at 0x80..0x9F; the rest of the code page is Latin-1. Undefined bytes map to
// the C1 control of the same value, as Windows' own conversion does.
constexpr std::uint16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                           0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool ValidUtf8(std::string_view s, bool truncated) {
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0) return false;
        if (i + len > s.size()) return truncated;  // cut by the sample's end
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

bool ParseInt(std::string_view t, long long& out) {
    if (!t.empty() && t.front() == '+') t.remove_prefix(1);
    if (t.empty()) return false;
    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
    return ec == std::errc() && p == t.data() + t.size();
}

bool ParseDigits(std::string_view s, std::size_t& i, int minDigits, int maxDigits, int& out) {
    int n = 0, v = 0;
    while (i < s.size() && n < maxDigits && std::isdigit(static_cast<unsigned char>(s[i]))) {
        v = v * 10 + (s[i] - '0');
        ++i;
        ++n;
    }
    out = v;
    return n >= minDigits;
}

Kind Merge(Kind a, Kind b) {
    if (a == b) return a;
    auto integral = [](Kind k) { return k == Kind::Integer || k == Kind::BigInt; };
    auto numeric = [&](Kind k) { return integral(k) || k == Kind::Real; };
    if (integral(a) && integral(b)) return Kind::BigInt;
    if (numeric(a) && numeric(b)) return Kind::Real;
    return Kind::Text;
}

std::string DeclaredFor(std::optional<Kind> kind, std::size_t maxLength) {
    switch (kind.value_or(Kind::Text)) {
    case Kind::Integer: return "LONG";
    case Kind::BigInt: return "BIGINT";
    case Kind::Real: return "DOUBLE";
    case Kind::Currency: return "CURRENCY";
    case Kind::Date: return "DATETIME";
    case Kind::Boolean: return "YESNO";
    case Kind::Text: break;
    }
    return maxLength > 255 ? "MEMO" : "TEXT(255)";
}

std::size_t CharacterCount(std::string_view s) {
    std::size_t n = 0;
    for (char c : s)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

// A schema.ini column type ("Long", "Text Width 30", "Char Width 30") as a declared type.
TextColumn SchemaColumn(std::string_view definition) {
    TextColumn column;
    definition = platform::Trim(definition);
    std::size_t i = 0;
    if (!definition.empty() && definition.front() == '"') {
        std::size_t close = definition.find('"', 1);
        if (close == std::string_view::npos) close = definition.size();
        column.name = std::string(definition.substr(1, close - 1));
        i = std::min(definition.size(), close + 1);
    } else {
        while (i < definition.size() && definition[i] != ' ' && definition[i] != '\t') ++i;
        column.name = std::string(definition.substr(0, i));
    }
    std::vector<std::string> words;
    std::string rest(platform::Trim(definition.substr(i)));
    for (std::size_t p = 0; p < rest.size();) {
        while (p < rest.size() && std::isspace(static_cast<unsigned char>(rest[p]))) ++p;
        std::size_t start = p;
        while (p < rest.size() && !std::isspace(static_cast<unsigned char>(rest[p]))) ++p;
        if (p > start) words.push_back(platform::Lower(rest.substr(start, p - start)));
    }
    long width = 0, precision = 0, scale = 0;
    for (std::size_t w = 0; w + 1 < words.size(); ++w) {
        if (words[w] == "width") width = std::strtol(words[w + 1].c_str(), nullptr, 10);
        if (words[w] == "precision") precision = std::strtol(words[w + 1].c_str(), nullptr, 10);
        if (words[w] == "scale") scale = std::strtol(words[w + 1].c_str(), nullptr, 10);
    }
    std::string type = words.empty() ? "text" : words[0];
    if (type == "bit" || type == "boolean" || type == "yesno") {
        column.declared = "YESNO", column.kind = Kind::Boolean;
    } else if (type == "byte") {
        column.declared = "BYTE", column.kind = Kind::Integer;
    } else if (type == "short" || type == "smallint") {
        column.declared = "SHORT", column.kind = Kind::Integer;
    } else if (type == "long" || type == "integer" || type == "int") {
        column.declared = "LONG", column.kind = Kind::Integer;
    } else if (type == "bigint") {
        column.declared = "BIGINT", column.kind = Kind::BigInt;
    } else if (type == "currency") {
        column.declared = "CURRENCY", column.kind = Kind::Currency;
    } else if (type == "single") {
        column.declared = "SINGLE", column.kind = Kind::Real;
    } else if (type == "double" || type == "float") {
        column.declared = "DOUBLE", column.kind = Kind::Real;
    } else if (type == "decimal" || type == "numeric") {
        // "Decimal Precision 28 Scale 4"; 18 digits, none after the point, when not said.
        precision = precision > 0 && precision <= 38 ? precision : 18;
        scale = std::clamp(scale, 0L, precision);
        column.declared = "DECIMAL(" + std::to_string(precision) + "," + std::to_string(scale) + ")";
        column.kind = Kind::Real;
    } else if (type == "datetime" || type == "date") {
        column.declared = "DATETIME", column.kind = Kind::Date;
    } else if (type == "memo" || type == "longchar") {
        column.declared = "MEMO", column.kind = Kind::Text;
    } else {
        column.declared = "TEXT(" + std::to_string(width > 0 ? width : 255) + ")";
        column.kind = Kind::Text;
    }
    return column;
}

std::optional<char> FormatDelimiter(std::string_view value, std::string& unsupported) {
    std::string v = platform::Lower(platform::Trim(value));
    if (v == "csvdelimited") return ',';
    if (v == "tabdelimited") return '\t';
    if (v.rfind("delimited(", 0) == 0 && v.size() >= 12 && v.back() == ')') {
        std::string_view inner = platform::Trim(value).substr(10);
        const char delimiter = inner.front();
        // A quote or a line break cannot separate fields: records could not be told apart.
        if (delimiter == '"' || delimiter == '\r' || delimiter == '\n' || delimiter == '\0') {
            unsupported =
                "delimiters that are quotes or line breaks (Format=Delimited(" + std::string(1, delimiter) + "))";
            return std::nullopt;
        }
        return delimiter;
    }
    if (v == "fixedlength") unsupported = "fixed-length files (Format=FixedLength)";
    return std::nullopt;  // plain "Delimited": sniff
}

std::optional<Charset> CharsetNamed(std::string_view value) {
    std::string v = platform::Lower(platform::Trim(value));
    if (v == "utf-8" || v == "utf8" || v == "65001") return Charset::Utf8;
    if (v == "ansi" || v == "1252" || v == "windows-1252" || v == "oem" || v == "437" || v == "850")
        return Charset::Ansi;
    if (v == "unicode" || v == "utf-16" || v == "1200") return Charset::Utf16LE;
    return std::nullopt;
}

std::optional<bool> YesNo(std::string_view value) {
    std::string v = platform::Lower(platform::Trim(value));
    if (v == "yes" || v == "true" || v == "1") return true;
    if (v == "no" || v == "false" || v == "0") return false;
    return std::nullopt;
}

}  // namespace

std::uint32_t AnsiCodePoint(unsigned char c) { return c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c; }

// ---- Settings ---------------------------------------------------------------------------

TextSettings ParseExtendedProperties(std::string_view props) {
    TextSettings settings;
    std::size_t start = 0;
    while (start <= props.size()) {
        std::size_t end = props.find(';', start);
        // FMT=Delimited(;) holds the separator itself.
        std::size_t open = props.find('(', start);
        if (open != std::string_view::npos && open < end) {
            std::size_t close = props.find(')', open + 1);
            if (close != std::string_view::npos && close > end) end = props.find(';', close);
        }
        if (end == std::string_view::npos) end = props.size();
        std::string_view item = props.substr(start, end - start);
        std::size_t eq = item.find('=');
        if (eq != std::string_view::npos) {
            std::string key = platform::Lower(platform::Trim(item.substr(0, eq)));
            std::string_view value = item.substr(eq + 1);
            if (key == "hdr" || key == "colnameheader") {
                settings.header = YesNo(value);
            } else if (key == "fmt" || key == "format") {
                settings.delimiter = FormatDelimiter(value, settings.unsupported);
            } else if (key == "maxscanrows") {
                settings.maxScanRows = static_cast<int>(
                    std::max(0L, std::strtol(std::string(platform::Trim(value)).c_str(), nullptr, 10)));
            } else if (key == "characterset") {
                if (auto cs = CharsetNamed(value)) settings.charset = cs;
            }
        }
        start = end + 1;
    }
    return settings;
}

SchemaIni ParseSchemaIni(std::string_view text) {
    SchemaIni ini;
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::vector<std::pair<std::string, std::string>>* section = nullptr;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = platform::Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            std::size_t close = line.find(']');
            section = &ini.sections[platform::Lower(
                platform::Trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1)))];
            continue;
        }
        std::size_t eq = line.find('=');
        if (!section || eq == std::string_view::npos) continue;
        section->emplace_back(platform::Lower(platform::Trim(line.substr(0, eq))),
                              std::string(platform::Trim(line.substr(eq + 1))));
    }
    return ini;
}

void ApplySchemaSection(const SchemaIni& ini, const std::string& fileName, TextSettings& settings) {
    auto found = ini.sections.find(platform::Lower(fileName));
    if (found == ini.sections.end()) return;
    std::map<long, TextColumn> columns;
    for (const auto& [key, value] : found->second) {
        if (key == "colnameheader") {
            if (auto b = YesNo(value)) settings.header = b;
        } else if (key == "format") {
            std::string unsupported;
            settings.delimiter = FormatDelimiter(value, unsupported);
            settings.unsupported = unsupported;
        } else if (key == "maxscanrows") {
            settings.maxScanRows = static_cast<int>(std::max(0L, std::strtol(value.c_str(), nullptr, 10)));
        } else if (key == "characterset") {
            if (auto cs = CharsetNamed(value)) settings.charset = cs;
        } else if (key.size() > 3 && key.compare(0, 3, "col") == 0 &&
                   std::all_of(key.begin() + 3, key.end(),
                               [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
            columns[std::strtol(key.c_str() + 3, nullptr, 10)] = SchemaColumn(value);
        }
        if (key == "datetimeformat") settings.dateTimeFormat = value;
        // DecimalSymbol, CurrencySymbol, ...: numbers are read in the forms the reader knows.
    }
    if (!columns.empty()) {
        settings.columns.clear();
        for (auto& [n, column] : columns) settings.columns.push_back(std::move(column));
    }
}

// ---- Reading ----------------------------------------------------------------------------

TextReader::~TextReader() {
    if (m_fd >= 0) ::close(m_fd);
}

TextReader::TextReader(std::string_view utf8, char delimiter) : m_delimiter(delimiter), m_buf(utf8), m_memory(true) {}

bool TextReader::Open(const std::string& path) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return m_fd >= 0;
}

bool TextReader::Rewind(Charset charset, char delimiter) {
    m_charset = charset;
    m_delimiter = delimiter;
    m_raw.clear();
    m_rawPos = 0;
    m_buf.clear();
    m_pos = 0;
    m_eof = false;
    m_failed = false;
    if (::lseek(m_fd, 0, SEEK_SET) < 0) {
        m_failed = true;
        return false;
    }
    // Skip a byte order mark of the file's encoding.
    unsigned char head[3];
    ssize_t n;
    do n = ::pread(m_fd, head, sizeof head, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        m_failed = true;
        return false;
    }
    off_t skip = 0;
    if (charset == Charset::Utf8 && n >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) skip = 3;
    if (charset == Charset::Utf16LE && n >= 2 && head[0] == 0xFF && head[1] == 0xFE) skip = 2;
    if (charset == Charset::Utf16BE && n >= 2 && head[0] == 0xFE && head[1] == 0xFF) skip = 2;
    m_offset = skip;
    return ::lseek(m_fd, skip, SEEK_SET) >= 0;
}

bool TextReader::Refill() {
    if (m_memory || m_fd < 0) return false;
    m_buf.clear();
    m_pos = 0;
    while (m_buf.empty()) {
        if (m_eof) return false;
        m_raw.erase(0, m_rawPos);
        m_rawPos = 0;
        std::size_t old = m_raw.size();
        m_raw.resize(old + kChunk);
        std::size_t wanted = kChunk;
        if (m_limit >= 0)
            wanted = m_offset >= m_limit ? 0 : std::min<std::size_t>(kChunk, std::size_t(m_limit - m_offset));
        ssize_t n = 0;
        if (wanted > 0) {
            do n = ::read(m_fd, m_raw.data() + old, wanted);
            while (n < 0 && errno == EINTR);
        }
        if (n > 0) m_offset += n;
        if (n < 0) {
            m_raw.resize(old);
            m_failed = true;
            return false;
        }
        m_raw.resize(old + std::size_t(n));
        if (n == 0) m_eof = true;

        switch (m_charset) {
        case Charset::Utf8:
            m_buf.swap(m_raw);
            m_raw.clear();
            break;
        case Charset::Ansi:
            for (char ch : m_raw) {
                unsigned char c = static_cast<unsigned char>(ch);
                AppendUtf8(m_buf, AnsiCodePoint(c));
            }
            m_raw.clear();
            break;
        case Charset::Utf16LE:
        case Charset::Utf16BE: {
            const bool le = m_charset == Charset::Utf16LE;
            auto unit = [&](std::size_t at) {
                unsigned char a = static_cast<unsigned char>(m_raw[at]), b = static_cast<unsigned char>(m_raw[at + 1]);
                return static_cast<std::uint32_t>(le ? a | (b << 8) : (a << 8) | b);
            };
            std::size_t i = 0;
            while (i + 2 <= m_raw.size()) {
                std::uint32_t u = unit(i);
                if (u >= 0xD800 && u < 0xDC00) {
                    if (i + 4 > m_raw.size()) {
                        if (!m_eof) break;  // the low half is in the next chunk
                        AppendUtf8(m_buf, 0xFFFD);
                        i += 2;
                        continue;
                    }
                    std::uint32_t low = unit(i + 2);
                    if (low >= 0xDC00 && low < 0xE000) {
                        AppendUtf8(m_buf, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                        i += 4;
                        continue;
                    }
                    u = 0xFFFD;
                } else if (u >= 0xDC00 && u < 0xE000) {
                    u = 0xFFFD;
                }
                AppendUtf8(m_buf, u);
                i += 2;
            }
            m_rawPos = i;
            if (m_eof) m_raw.clear(), m_rawPos = 0;  // an odd last byte is dropped
            break;
        }
        }
    }
    return true;
}

std::string TextReader::ReadDecoded(std::size_t max) {
    std::string s;
    while (s.size() < max) {
        if (m_pos >= m_buf.size() && !Refill()) break;
        std::size_t take = std::min(max - s.size(), m_buf.size() - m_pos);
        s.append(m_buf, m_pos, take);
        m_pos += take;
    }
    return s;
}

bool TextReader::Next(std::vector<std::string>& fields, std::size_t& count) {
    const int delimiter = static_cast<unsigned char>(m_delimiter);
    // Appends bytes up to one of three stops; returns the stop consumed, or -1 at the end.
    auto takeUntil = [this](std::string& f, char a, char b, char c) -> int {
        for (;;) {
            if (m_pos >= m_buf.size() && !Refill()) return -1;
            const char* p = m_buf.data() + m_pos;
            const char* e = m_buf.data() + m_buf.size();
            const char* q = p;
            while (q < e && *q != a && *q != b && *q != c) ++q;
            f.append(p, q);
            m_pos = std::size_t(q - m_buf.data());
            if (q < e) {
                ++m_pos;
                return static_cast<unsigned char>(*q);
            }
        }
    };
    for (;;) {
        count = 0;
        int c = Get();
        if (c < 0) return false;
        if (c == '\n') continue;  // blank lines hold no record
        if (c == '\r') {
            if (Peek() == '\n') Get();
            continue;
        }
        for (;;) {
            if (count == fields.size()) fields.emplace_back();
            std::string& f = fields[count++];
            f.clear();
            if (m_quoted.size() < count) m_quoted.resize(count);
            m_quoted[count - 1] = c == '"';
            if (c == '"') {
                for (;;) {
                    c = takeUntil(f, '"', '"', '"');
                    if (c < 0) break;  // an unterminated quote runs to the end of the file
                    if (Peek() == '"') {
                        Get();
                        f += '"';
                        continue;
                    }
                    c = Get();
                    break;
                }
                // Text after the closing quote belongs to the field, as written.
                if (c >= 0 && c != delimiter && c != '\r' && c != '\n') {
                    f += static_cast<char>(c);
                    c = takeUntil(f, m_delimiter, '\r', '\n');
                }
            } else if (c != delimiter && c != '\r' && c != '\n') {
                f += static_cast<char>(c);
                c = takeUntil(f, m_delimiter, '\r', '\n');
            }
            if (c == delimiter) {
                c = Get();
                if (c < 0 || c == '\r' || c == '\n') {
                    if (count == fields.size()) fields.emplace_back();
                    fields[count++].clear();  // a trailing delimiter ends with an empty field
                    if (m_quoted.size() < count) m_quoted.resize(count);
                    m_quoted[count - 1] = false;
                } else {
                    continue;
                }
            }
            if (c == '\r' && Peek() == '\n') Get();
            return true;
        }
    }
}

// ---- Dates in a schema.ini format ---------------------------------------------------------

namespace {

// A format cut into its parts: a field ("yyyy", "mm", "nn", "AM/PM") or a literal character.
struct DateToken {
    char field = 0;  // y, M (month), D, h, n (minute), s, a (AM/PM), 0 (literal)
    int width = 0;  // digits written: 2 for "mm", 1 for "m" (no padding), 4 for "yyyy"
    char literal = 0;
};

std::vector<DateToken> TokenizeDateFormat(std::string_view format) {
    std::vector<DateToken> tokens;
    for (std::size_t i = 0; i < format.size();) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
        if (c == 'a' && (platform::EqualsNoCase(format.substr(i, 5), "am/pm"))) {
            tokens.push_back({'a', 0, 0});
            i += 5;
            continue;
        }
        if (std::strchr("ymdhns", c) == nullptr) {
            tokens.push_back({0, 0, format[i]});
            ++i;
            continue;
        }
        std::size_t n = 1;
        while (i + n < format.size() && std::tolower(static_cast<unsigned char>(format[i + n])) == c) ++n;
        DateToken t;
        t.width = static_cast<int>(n);
        t.field = c == 'm' ? 'M' : c == 'd' ? 'D' : c;
        tokens.push_back(t);
        i += n;
    }
    // m and mm right after an hour, or right before seconds, are minutes.
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i].field != 'M' || tokens[i].width > 2) continue;
        auto field = [&](std::size_t k) { return k < tokens.size() ? tokens[k].field : 0; };
        const char before = i >= 2 && tokens[i - 1].field == 0 ? field(i - 2) : i >= 1 ? field(i - 1) : 0;
        const char after = i + 2 < tokens.size() && tokens[i + 1].field == 0 ? field(i + 2) : field(i + 1);
        if (before == 'h' || after == 's') tokens[i].field = 'n';
    }
    return tokens;
}

}  // namespace

std::optional<std::string> ParseDateWithFormat(std::string_view value, std::string_view format) {
    const std::string_view s = platform::Trim(value);
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    bool timed = false, pm = false, am = false, dated = false;
    std::size_t i = 0;
    for (const DateToken& t : TokenizeDateFormat(format)) {
        if (t.field == 0) {
            if (t.literal == ' ') {
                while (i < s.size() && s[i] == ' ') ++i;
                continue;
            }
            if (i >= s.size() || s[i] != t.literal) return std::nullopt;
            ++i;
            continue;
        }
        if (t.field == 'a') {
            if (i + 2 > s.size()) return std::nullopt;
            if (platform::EqualsNoCase(s.substr(i, 2), "am")) am = true;
            else if (platform::EqualsNoCase(s.substr(i, 2), "pm")) pm = true;
            else return std::nullopt;
            i += 2;
            continue;
        }
        if (t.field == 'M' && t.width >= 3) {  // "Mar", "March"
            const std::size_t start = i;
            while (i < s.size() && std::isalpha(static_cast<unsigned char>(s[i]))) ++i;
            mo = MonthFromName(s.substr(start, i - start));
            if (mo == 0) return std::nullopt;
            continue;
        }
        int v = 0;
        const int maxDigits = t.field == 'y' ? (t.width >= 3 ? 4 : 2) : 2;
        if (!ParseDigits(s, i, 1, maxDigits, v)) return std::nullopt;
        switch (t.field) {
        case 'y': y = t.width >= 3 ? v : platform::WindowedYear(v), dated = true; break;
        case 'M': mo = v, dated = true; break;
        case 'D': d = v, dated = true; break;
        case 'h': h = v, timed = true; break;
        case 'n': mi = v, timed = true; break;
        case 's': sec = v, timed = true; break;
        }
    }
    if (i != s.size() || !dated) return std::nullopt;
    if (am || pm) {
        if (h < 1 || h > 12) return std::nullopt;
        if (am && h == 12) h = 0;
        if (pm && h != 12) h += 12;
    }
    if (!IsValidDate(y, mo, d) || h > 23 || mi > 59 || sec > 59) return std::nullopt;
    DateParts parts;
    parts.year = y, parts.month = mo, parts.day = d, parts.hour = h, parts.minute = mi, parts.second = sec;
    return FormatIsoDateTime(parts, timed);
}

std::optional<std::string> FormatDateWithFormat(std::string_view iso, std::string_view format) {
    auto parts = ParseIsoDateTime(iso);
    if (!parts) return std::nullopt;
    const std::vector<DateToken> tokens = TokenizeDateFormat(format);
    bool twelve = false;
    for (const DateToken& t : tokens) twelve = twelve || t.field == 'a';
    std::string out;
    char buffer[16];
    for (const DateToken& t : tokens) {
        int v = 0;
        switch (t.field) {
        case 0: out += t.literal; continue;
        case 'a': out += parts->hour < 12 ? "AM" : "PM"; continue;
        case 'y': v = t.width >= 3 ? parts->year : parts->year % 100; break;
        case 'M':
            if (t.width >= 3) {
                out += MonthAbbreviation(parts->month);
                continue;
            }
            v = parts->month;
            break;
        case 'D': v = parts->day; break;
        case 'h': v = twelve ? (parts->hour % 12 == 0 ? 12 : parts->hour % 12) : parts->hour; break;
        case 'n': v = parts->minute; break;
        case 's': v = parts->second; break;
        }
        std::snprintf(buffer, sizeof buffer, t.width >= 2 ? (t.field == 'y' && t.width >= 3 ? "%04d" : "%02d") : "%d",
                      v);
        out += buffer;
    }
    return out;
}

// ---- Describing a file -------------------------------------------------------------------

Charset DetectCharset(std::string_view head, std::size_t& bomLength) {
    bomLength = 0;
    if (head.size() >= 3 && head.substr(0, 3) == "\xEF\xBB\xBF") {
        bomLength = 3;
        return Charset::Utf8;
    }
    if (head.size() >= 2 && head.substr(0, 2) == "\xFF\xFE") {
        bomLength = 2;
        return Charset::Utf16LE;
    }
    if (head.size() >= 2 && head.substr(0, 2) == "\xFE\xFF") {
        bomLength = 2;
        return Charset::Utf16BE;
    }
    return ValidUtf8(head, true) ? Charset::Utf8 : Charset::Ansi;
}

char SniffDelimiter(std::string_view sample) {
    constexpr char kCandidates[] = {',', ';', '\t', '|'};
    constexpr std::size_t kLines = 10;
    char best = ',';
    std::size_t bestFirst = 1;
    for (char candidate : kCandidates) {
        TextReader reader(sample, candidate);
        std::vector<std::string> fields;
        std::size_t count = 0, first = 0, lines = 0;
        bool same = true;
        while (lines < kLines && reader.Next(fields, count)) {
            if (lines == 0) first = count;
            else if (count != first) same = false;
            ++lines;
        }
        if (lines > 0 && same && first > 1) return candidate;
        if (first > bestFirst) best = candidate, bestFirst = first;
    }
    return best;
}

std::optional<std::string> ParseDateValue(std::string_view value) {
    // A time alone is no date: such a column stays text.
    const std::optional<DateText> d = ReadDateText(value);
    if (!d || !d->hasDate || !FitsOleDate(*d)) return std::nullopt;
    return FormatIsoDateTime(d->parts, d->hasTime);
}

namespace {

// A leading zero ("08123": a code, not a quantity) that a number would drop.
bool HasLeadingZero(std::string_view number) {
    if (!number.empty() && (number.front() == '-' || number.front() == '+')) number.remove_prefix(1);
    return number.size() > 1 && number[0] == '0' && std::isdigit(static_cast<unsigned char>(number[1]));
}

}  // namespace

bool TooManyDigitsForReal(std::string_view number) {
    int digits = 0;
    bool significant = false;
    for (char c : number) {
        if (c == 'e' || c == 'E') break;
        if (!std::isdigit(static_cast<unsigned char>(c))) continue;
        significant = significant || c != '0';
        if (significant) ++digits;
    }
    return digits > 15;
}

std::optional<Kind> ClassifyValue(std::string_view value) {
    std::string_view t = platform::Trim(value);
    if (t.empty()) return std::nullopt;
    long long n;
    if (ParseInt(t, n)) {
        if (HasLeadingZero(t)) return Kind::Text;
        return n >= -2147483648LL && n <= 2147483647LL ? Kind::Integer : Kind::BigInt;
    }
    const char first = t.front();
    if (std::isdigit(static_cast<unsigned char>(first)) || first == '-' || first == '+' || first == '.') {
        std::string_view r = first == '+' ? t.substr(1) : t;
        double d;
        auto [p, ec] = std::from_chars(r.data(), r.data() + r.size(), d);
        if (ec == std::errc() && p == r.data() + r.size() && r.find_first_of("0123456789") != std::string_view::npos)
            return HasLeadingZero(t) || TooManyDigitsForReal(r) ? Kind::Text : Kind::Real;
        if (ec == std::errc::result_out_of_range) return Kind::Text;
    }
    if (ParseDateValue(t)) return Kind::Date;
    if (platform::EqualsNoCase(t, "true") || platform::EqualsNoCase(t, "false") || platform::EqualsNoCase(t, "yes") ||
        platform::EqualsNoCase(t, "no"))
        return Kind::Boolean;
    return Kind::Text;
}

namespace {

// The character set of the file from its first bytes: a byte order mark wins over any setting.
bool ReadCharset(const std::string& path, const TextSettings& settings, TextFileDescription& out, std::string& error) {
    std::string head(kSampleBytes, '\0');
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? ::read(fd, head.data(), head.size()) : -1;
    if (fd >= 0) ::close(fd);
    if (n < 0) {
        error = std::string("it cannot be read: ") + std::strerror(errno);
        return false;
    }
    head.resize(std::size_t(n));
    std::size_t bom = 0;
    Charset detected = DetectCharset(head, bom);
    out.charset = bom > 0 || !settings.charset ? detected : *settings.charset;
    return true;
}

// The delimiter the settings give, else the one sniffed over whole decoded lines of the
// start of the file.
bool FindDelimiter(TextReader& reader, const TextSettings& settings, TextFileDescription& out, std::string& error) {
    if (settings.delimiter) {
        out.delimiter = *settings.delimiter;
        return true;
    }
    if (!reader.Rewind(out.charset, ',')) {
        error = "it cannot be read";
        return false;
    }
    std::string sample = reader.ReadDecoded(kSampleBytes);
    if (sample.size() >= kSampleBytes) {
        std::size_t lastLine = sample.rfind('\n');
        if (lastLine != std::string::npos) sample.resize(lastLine + 1);
    }
    out.delimiter = SniffDelimiter(sample);
    return true;
}

// Column types guessed from the values of the first rows (all of them for a scan of 0).
bool GuessColumns(TextReader& reader, const TextSettings& settings, std::size_t headerColumns, TextFileDescription& out,
                  std::string& error) {
    const int scan = settings.maxScanRows.value_or(kDefaultScanRows);
    std::vector<std::optional<Kind>> kinds(headerColumns);
    std::vector<std::size_t> lengths(headerColumns);
    std::vector<std::string> fields;
    std::size_t count = 0;
    for (int row = 0; (scan == 0 || row < scan) && reader.Next(fields, count); ++row) {
        if (count > kinds.size()) kinds.resize(count), lengths.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            std::optional<Kind> kind = ClassifyValue(fields[i]);
            if (kind == Kind::Text && !out.dateTimeFormat.empty() && ParseDateWithFormat(fields[i], out.dateTimeFormat))
                kind = Kind::Date;
            if (!kind) continue;
            kinds[i] = kinds[i] ? Merge(*kinds[i], *kind) : *kind;
            lengths[i] = std::max(lengths[i], CharacterCount(fields[i]));
        }
    }
    if (reader.Failed()) {
        error = std::string("it cannot be read: ") + std::strerror(errno);
        return false;
    }
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        TextColumn column;
        column.kind = kinds[i].value_or(Kind::Text);
        column.declared = DeclaredFor(kinds[i], lengths[i]);
        out.columns.push_back(std::move(column));
    }
    return true;
}

// Names: the schema's, else the header's; empty ones are F<n>, repeats get a suffix.
void NameColumns(const std::vector<std::string>& header, TextFileDescription& out) {
    std::vector<std::string> candidates(out.columns.size());
    for (std::size_t i = 0; i < out.columns.size(); ++i)
        candidates[i] = !out.columns[i].name.empty() ? out.columns[i].name
                        : i < header.size()          ? header[i]
                                                     : std::string();
    std::vector<std::string> unique = UniqueColumnNames(candidates);
    for (std::size_t i = 0; i < out.columns.size(); ++i) out.columns[i].name = std::move(unique[i]);
    if (out.columns.empty()) out.columns.push_back(TextColumn{"F1", "TEXT(255)", Kind::Text});
}

}  // namespace

bool DescribeTextFile(const std::string& path, const TextSettings& settings, TextFileDescription& out,
                      std::string& error) {
    if (!settings.unsupported.empty()) {
        error = settings.unsupported + " are not supported";
        return false;
    }
    TextReader reader;
    if (!reader.Open(path)) {
        error = std::string("it cannot be opened: ") + std::strerror(errno);
        return false;
    }
    if (!ReadCharset(path, settings, out, error) || !FindDelimiter(reader, settings, out, error)) return false;
    out.header = settings.header.value_or(true);
    out.dateTimeFormat = settings.dateTimeFormat;

    if (!reader.Rewind(out.charset, out.delimiter)) {
        error = std::string("it cannot be read: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::string> fields;
    std::size_t count = 0;
    std::vector<std::string> header;
    if (out.header && reader.Next(fields, count)) header.assign(fields.begin(), fields.begin() + long(count));

    out.columns.clear();
    if (!settings.columns.empty()) out.columns = settings.columns;
    else if (!GuessColumns(reader, settings, header.size(), out, error)) return false;
    NameColumns(header, out);
    return true;
}

}  // namespace orv::engine::text
