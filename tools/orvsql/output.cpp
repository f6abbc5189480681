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
    const bool wide =
        (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) || (cp >= 0x3041 && cp <= 0x33FF) ||
        (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
        (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) ||
        (cp >= 0xFF00 && cp <= 0xFF60) || (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1FAFF) ||
        (cp >= 0x20000 && cp <= 0x3FFFD);
    return wide ? 2 : 1;
}

// ---- Aligned views: every row is needed to know the widths, so they print at End.
// Numbers are right-aligned, everything else left-aligned. The plain table draws with
// ASCII, the box with line-drawing characters, Markdown as a pipe table.

enum class TableStyle { Plain, Box, Markdown };

class TableWriter : public ResultWriter {
public:
    TableWriter(std::FILE* out, TableStyle style, const WriterOptions& options)
        : m_out(out), m_style(style), m_options(options) {}

    void Begin(const std::vector<std::string>& names) override {
        m_names.clear();
        for (const auto& n : names) m_names.push_back(Escaped(n));
        m_rows.clear();
        m_widths.assign(names.size(), 0);
        m_rightAligned.assign(names.size(), false);
        for (size_t c = 0; c < names.size(); ++c) m_widths[c] = m_options.headers ? DisplayWidth(m_names[c]) : 0;
        if (m_style == TableStyle::Markdown)
            for (size_t& w : m_widths) w = std::max<size_t>(w, 3);  // "---" is the shortest rule
    }

    void Row(const std::vector<Cell>& cells) override {
        std::vector<std::string> shown;
        for (size_t c = 0; c < cells.size() && c < m_widths.size(); ++c) {
            shown.push_back(Shown(cells[c]));
            m_widths[c] = std::max(m_widths[c], DisplayWidth(shown.back()));
            if (cells[c].kind == Cell::Number) m_rightAligned[c] = true;
        }
        m_rows.push_back({cells, std::move(shown)});
    }

    void End() override {
        const bool box = m_style == TableStyle::Box, markdown = m_style == TableStyle::Markdown;
        if (box) Rule("\u250C", "\u252C", "\u2510");
        if (m_options.headers) {
            Line(m_names, nullptr);
            if (box) Rule("\u251C", "\u253C", "\u2524");
            else if (markdown) MarkdownRule();
            else Rule("", "-+-", "");
        }
        for (const auto& row : m_rows) Line(row.shown, &row.cells);
        if (box) Rule("\u2514", "\u2534", "\u2518");
        m_rows.clear();
    }

private:
    struct ShownRow {
        std::vector<Cell> cells;
        std::vector<std::string> shown;
    };

    std::string Shown(const Cell& cell) const {
        if (cell.kind != Cell::Null) return Escaped(cell.text);
        return m_options.nullGiven ? Escaped(m_options.null) : "(null)";
    }
    // A pipe inside a Markdown cell would end the cell.
    std::string Escaped(const std::string& text) const {
        if (m_style != TableStyle::Markdown || text.find('|') == std::string::npos) return text;
        std::string out;
        for (char ch : text) {
            if (ch == '|') out += '\\';
            out += ch;
        }
        return out;
    }

    // A horizontal line: `left`, the rule of each column joined by `middle`, `right`. An empty
    // `left` is the plain table's rule, which has no frame and pads by one less.
    void Rule(const char* left, const char* middle, const char* right) {
        const bool framed = *left != 0;
        const char* dash = framed ? "\u2500" : "-";
        std::string line = left;
        for (size_t c = 0; c < m_widths.size(); ++c) {
            if (c) line += middle;
            for (size_t i = 0; i < m_widths[c] + (framed ? 2 : 0); ++i) line += dash;
        }
        line += right;
        Print(line);
    }

    void MarkdownRule() {
        std::string line = "|";
        for (size_t c = 0; c < m_widths.size(); ++c)
            line += " " + std::string(m_widths[c] - (m_rightAligned[c] ? 1 : 0), '-') + (m_rightAligned[c] ? ":" : "") +
                    " |";
        Print(line);
    }

    // One line of cells; `cells` (null for the header) says which are NULL, for the colour.
    void Line(const std::vector<std::string>& shown, const std::vector<Cell>* cells) {
        const char* edge = m_style == TableStyle::Box ? "\u2502" : m_style == TableStyle::Markdown ? "|" : "";
        const std::string between = m_style == TableStyle::Plain ? " | " : std::string(" ") + edge + " ";
        std::string line = *edge ? std::string(edge) + " " : "";
        for (size_t c = 0; c < shown.size() && c < m_widths.size(); ++c) {
            if (c) line += between;
            const std::string pad(m_widths[c] - DisplayWidth(shown[c]), ' ');
            std::string text = shown[c];
            if (cells && (*cells)[c].kind == Cell::Null && m_options.colour) text = "\x1b[2m" + text + "\x1b[0m";
            line += cells && m_rightAligned[c] ? pad + text : text + pad;
        }
        if (*edge) line += std::string(" ") + edge;
        Print(line);
    }

    void Print(std::string& line) {
        if (m_style == TableStyle::Plain)
            while (!line.empty() && line.back() == ' ') line.pop_back();
        std::fprintf(m_out, "%s\n", line.c_str());
    }

    std::FILE* m_out;
    TableStyle m_style;
    WriterOptions m_options;
    std::vector<std::string> m_names;
    std::vector<size_t> m_widths;
    std::vector<bool> m_rightAligned;
    std::vector<ShownRow> m_rows;
};

// ---- One line per column, "name = value", a blank line between rows: for wide rows.

class LineWriter : public ResultWriter {
public:
    LineWriter(std::FILE* out, const WriterOptions& options) : m_out(out), m_options(options) {}

    void Begin(const std::vector<std::string>& names) override {
        m_names = names;
        m_width = 0;
        for (const auto& n : names) m_width = std::max(m_width, DisplayWidth(n));
        m_first = true;
    }

    void Row(const std::vector<Cell>& cells) override {
        std::string text = m_first ? "" : "\n";
        m_first = false;
        for (size_t c = 0; c < cells.size() && c < m_names.size(); ++c) {
            const std::string value = cells[c].kind != Cell::Null ? cells[c].text
                                      : m_options.nullGiven       ? m_options.null
                                                                  : "(null)";
            text += std::string(m_width - DisplayWidth(m_names[c]), ' ') + m_names[c] + " = " + value + "\n";
        }
        std::fwrite(text.data(), 1, text.size(), m_out);
    }

    void End() override {}

private:
    std::FILE* m_out;
    WriterOptions m_options;
    std::vector<std::string> m_names;
    size_t m_width = 0;
    bool m_first = true;
};

// ---- Delimited text: a header line of the names, then one line a row, each field
// written by the format's own rule. .separator replaces the field and row separators.

class DelimitedWriter : public ResultWriter {
public:
    DelimitedWriter(std::FILE* out, const char* separator, const char* lineEnd, const WriterOptions& options)
        : m_out(out),
          m_options(options),
          m_separator(options.separator.empty() ? separator : options.separator),
          m_lineEnd(options.rowSeparator.empty() ? lineEnd : options.rowSeparator) {}

    void Begin(const std::vector<std::string>& names) override {
        if (!m_options.headers) return;
        std::vector<Cell> header;
        for (const auto& n : names) header.push_back(Cell{Cell::Text, n});
        Row(header);
    }

    void Row(const std::vector<Cell>& cells) override {
        std::string line;
        for (size_t c = 0; c < cells.size(); ++c) {
            if (c) line += m_separator;
            line += cells[c].kind == Cell::Null && m_options.nullGiven ? m_options.null : Field(cells[c]);
        }
        line += m_lineEnd;
        std::fwrite(line.data(), 1, line.size(), m_out);
    }

    void End() override {}

protected:
    virtual std::string Field(const Cell& cell) const = 0;
    const std::string& Separator() const { return m_separator; }

private:
    std::FILE* m_out;
    WriterOptions m_options;
    std::string m_separator;
    std::string m_lineEnd;
};

// CSV as RFC 4180 has it: CRLF line ends, a field quoted when it holds the separator, a
// quote or a line break, quotes doubled. NULL is the empty field, the empty text "".
class CsvWriter : public DelimitedWriter {
public:
    CsvWriter(std::FILE* out, const WriterOptions& options) : DelimitedWriter(out, ",", "\r\n", options) {}

protected:
    std::string Field(const Cell& cell) const override {
        if (cell.kind == Cell::Null) return "";
        if (cell.kind != Cell::Text) return cell.text;
        if (!cell.text.empty() && cell.text.find_first_of("\"\r\n") == std::string::npos &&
            cell.text.find(Separator()) == std::string::npos)
            return cell.text;
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
    TsvWriter(std::FILE* out, const WriterOptions& options) : DelimitedWriter(out, "\t", "\n", options) {}

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

namespace {
constexpr OutputMode kModes[] = {OutputMode::Table, OutputMode::Box,  OutputMode::Markdown, OutputMode::Line,
                                 OutputMode::Csv,   OutputMode::Json, OutputMode::Tsv};
}  // namespace

const char* OutputModeName(OutputMode mode) {
    switch (mode) {
    case OutputMode::Table: return "table";
    case OutputMode::Box: return "box";
    case OutputMode::Markdown: return "markdown";
    case OutputMode::Line: return "line";
    case OutputMode::Csv: return "csv";
    case OutputMode::Json: return "json";
    case OutputMode::Tsv: return "tsv";
    }
    return "table";
}

const char* OutputModeNames() { return "table, box, markdown, line, csv, json or tsv"; }

bool ParseOutputMode(const std::string& name, OutputMode& mode) {
    for (OutputMode candidate : kModes)
        if (name == OutputModeName(candidate)) {
            mode = candidate;
            return true;
        }
    return false;
}

std::unique_ptr<ResultWriter> MakeWriter(OutputMode mode, std::FILE* out, const WriterOptions& options) {
    switch (mode) {
    case OutputMode::Csv: return std::make_unique<CsvWriter>(out, options);
    case OutputMode::Json: return std::make_unique<JsonWriter>(out);
    case OutputMode::Tsv: return std::make_unique<TsvWriter>(out, options);
    case OutputMode::Line: return std::make_unique<LineWriter>(out, options);
    case OutputMode::Box: return std::make_unique<TableWriter>(out, TableStyle::Box, options);
    case OutputMode::Markdown: return std::make_unique<TableWriter>(out, TableStyle::Markdown, options);
    case OutputMode::Table: break;
    }
    return std::make_unique<TableWriter>(out, TableStyle::Plain, options);
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
