// orvsql's result writers: aligned table, CSV (RFC 4180), JSON lines and TSV.
#include "output.h"

#include <algorithm>
#include <cstdint>

namespace orvsql {

namespace {

// The code point that starts at s[i], advancing i past it; malformed bytes read as U+FFFD.
char32_t NextCodePoint(const std::string& s, size_t& i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + extra >= s.size() + (extra == 0 ? 1 : 0)) {
        ++i;
        return extra == 0 ? c : 0xFFFD;
    }
    char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += extra + 1;
    return cp;
}

int CodePointWidth(char32_t cp) {
    if ((cp >= 0x300 && cp <= 0x36F) || (cp >= 0x200B && cp <= 0x200F)) return 0;
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
                      (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
                      (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1FAFF) ||
                      (cp >= 0x20000 && cp <= 0x3FFFD);
    return wide ? 2 : 1;
}

// ---- Aligned table. Numbers are right-aligned, everything else left-aligned.

class TableWriter : public ResultWriter {
public:
    TableWriter(std::FILE* out, bool colour) : m_out(out), m_colour(colour) {}

    void Begin(const std::vector<std::string>& names) override {
        m_names = names;
        m_rows.clear();
        m_widths.assign(names.size(), 0);
        m_rightAligned.assign(names.size(), false);
        for (size_t c = 0; c < names.size(); ++c) m_widths[c] = DisplayWidth(names[c]);
    }

    void Row(const std::vector<Cell>& cells) override {
        for (size_t c = 0; c < cells.size() && c < m_widths.size(); ++c) {
            m_widths[c] = std::max(m_widths[c], DisplayWidth(Shown(cells[c])));
            if (cells[c].kind == Cell::Number) m_rightAligned[c] = true;
        }
        m_rows.push_back(cells);
    }

    void End() override {
        std::string line;
        for (size_t c = 0; c < m_names.size(); ++c) {
            if (c) line += " | ";
            line += m_names[c] + std::string(m_widths[c] - DisplayWidth(m_names[c]), ' ');
        }
        Print(line);
        line.clear();
        for (size_t c = 0; c < m_names.size(); ++c) line += (c ? "-+-" : "") + std::string(m_widths[c], '-');
        Print(line);
        for (const auto& row : m_rows) {
            line.clear();
            for (size_t c = 0; c < row.size() && c < m_widths.size(); ++c) {
                if (c) line += " | ";
                const std::string shown = Shown(row[c]);
                const std::string pad(m_widths[c] - DisplayWidth(shown), ' ');
                std::string text = shown;
                if (row[c].kind == Cell::Null && m_colour) text = "\x1b[2m" + shown + "\x1b[0m";
                line += m_rightAligned[c] ? pad + text : text + pad;
            }
            Print(line);
        }
        m_rows.clear();
    }

private:
    static std::string Shown(const Cell& cell) { return cell.kind == Cell::Null ? "(null)" : cell.text; }

    void Print(std::string& line) {
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::fprintf(m_out, "%s\n", line.c_str());
    }

    std::FILE* m_out;
    bool m_colour;
    std::vector<std::string> m_names;
    std::vector<size_t> m_widths;
    std::vector<bool> m_rightAligned;
    std::vector<std::vector<Cell>> m_rows;
};

// ---- Delimited text: a header line of the names, then one line a row, each field
// written by the format's own rule.

class DelimitedWriter : public ResultWriter {
public:
    DelimitedWriter(std::FILE* out, char separator, const char* lineEnd)
        : m_out(out), m_separator(separator), m_lineEnd(lineEnd) {}

    void Begin(const std::vector<std::string>& names) override {
        std::vector<Cell> header;
        for (const auto& n : names) header.push_back(Cell{Cell::Text, n});
        Row(header);
    }

    void Row(const std::vector<Cell>& cells) override {
        std::string line;
        for (size_t c = 0; c < cells.size(); ++c) {
            if (c) line += m_separator;
            line += Field(cells[c]);
        }
        line += m_lineEnd;
        std::fwrite(line.data(), 1, line.size(), m_out);
    }

    void End() override {}

protected:
    virtual std::string Field(const Cell& cell) const = 0;

private:
    std::FILE* m_out;
    char m_separator;
    const char* m_lineEnd;
};

// CSV as RFC 4180 has it: CRLF line ends, a field quoted when it holds a comma, a quote
// or a line break, quotes doubled. NULL is the empty field, the empty text "".
class CsvWriter : public DelimitedWriter {
public:
    explicit CsvWriter(std::FILE* out) : DelimitedWriter(out, ',', "\r\n") {}

protected:
    std::string Field(const Cell& cell) const override {
        if (cell.kind == Cell::Null) return "";
        if (cell.kind != Cell::Text) return cell.text;
        if (!cell.text.empty() && cell.text.find_first_of(",\"\r\n") == std::string::npos) return cell.text;
        std::string quoted = "\"";
        for (char ch : cell.text) {
            if (ch == '"') quoted += '"';
            quoted += ch;
        }
        return quoted + "\"";
    }
};

// ---- JSON lines: one object per row on one line, the column names as keys.

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char ch : s) {
        switch (ch) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (ch < 0x20 || ch == 0x7F) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", ch);
                out += buffer;
            } else {
                out += static_cast<char>(ch);
            }
        }
    }
    return out + "\"";
}

// A number only when the text is one by JSON's grammar; anything else (an infinity the
// library renders as text, say) stays a string so the output always parses.
bool IsJsonNumber(const std::string& s) {
    size_t i = 0;
    auto digits = [&] {
        size_t start = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        return i > start;
    };
    if (i < s.size() && s[i] == '-') ++i;
    if (i < s.size() && s[i] == '0') ++i;
    else if (!digits()) return false;
    if (i < s.size() && s[i] == '.') {
        ++i;
        if (!digits()) return false;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (!digits()) return false;
    }
    return i == s.size();
}

class JsonWriter : public ResultWriter {
public:
    explicit JsonWriter(std::FILE* out) : m_out(out) {}

    void Begin(const std::vector<std::string>& names) override {
        m_keys.clear();
        for (const auto& n : names) m_keys.push_back(JsonString(n));
    }

    void Row(const std::vector<Cell>& cells) override {
        std::string line = "{";
        for (size_t c = 0; c < cells.size() && c < m_keys.size(); ++c) {
            if (c) line += ',';
            line += m_keys[c] + ':';
            const Cell& cell = cells[c];
            if (cell.kind == Cell::Null) line += "null";
            else if (cell.kind == Cell::Number && IsJsonNumber(cell.text)) line += cell.text;
            else if (cell.kind == Cell::Boolean) line += cell.text == "True" ? "true" : "false";
            else line += JsonString(cell.text);
        }
        line += "}\n";
        std::fwrite(line.data(), 1, line.size(), m_out);
    }

    void End() override {}

private:
    std::FILE* m_out;
    std::vector<std::string> m_keys;
};

// TSV: tab-separated, with tab, line breaks and backslash escaped (\t, \n, \r, a doubled
// backslash) so that a row is always one line; NULL is \N.
class TsvWriter : public DelimitedWriter {
public:
    explicit TsvWriter(std::FILE* out) : DelimitedWriter(out, '\t', "\n") {}

protected:
    std::string Field(const Cell& cell) const override {
        if (cell.kind == Cell::Null) return "\\N";
        std::string field;
        for (char ch : cell.text) {
            switch (ch) {
            case '\t': field += "\\t"; break;
            case '\n': field += "\\n"; break;
            case '\r': field += "\\r"; break;
            case '\\': field += "\\\\"; break;
            default: field += ch;
            }
        }
        return field;
    }
};

}  // namespace

bool ParseOutputMode(const std::string& name, OutputMode& mode) {
    if (name == "table") mode = OutputMode::Table;
    else if (name == "csv") mode = OutputMode::Csv;
    else if (name == "json") mode = OutputMode::Json;
    else if (name == "tsv") mode = OutputMode::Tsv;
    else return false;
    return true;
}

std::unique_ptr<ResultWriter> MakeWriter(OutputMode mode, std::FILE* out, bool colour) {
    switch (mode) {
    case OutputMode::Csv: return std::make_unique<CsvWriter>(out);
    case OutputMode::Json: return std::make_unique<JsonWriter>(out);
    case OutputMode::Tsv: return std::make_unique<TsvWriter>(out);
    case OutputMode::Table: break;
    }
    return std::make_unique<TableWriter>(out, colour);
}

size_t DisplayWidth(const std::string& utf8) {
    size_t width = 0;
    for (size_t i = 0; i < utf8.size();) width += CodePointWidth(NextCodePoint(utf8, i));
    return width;
}

std::string FitForTable(const std::string& utf8, size_t columns) {
    std::string out;
    size_t width = 0;
    for (size_t i = 0; i < utf8.size();) {
        const size_t start = i;
        const char32_t cp = NextCodePoint(utf8, i);
        const int w = CodePointWidth(cp);
        if (width + w > columns - 1 && (width + w > columns || i < utf8.size())) {
            out += "\xE2\x80\xA6";  // …
            return out;
        }
        width += w;
        if (cp < 0x20 || cp == 0x7F) out += ' ';
        else out.append(utf8, start, i - start);
    }
    return out;
}

}  // namespace orvsql
