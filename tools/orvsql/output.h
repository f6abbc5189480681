// orvsql's result writers: the aligned table, box, Markdown and line views for people, and
// CSV, JSON lines and TSV for programs. A writer is given the column names once, then the rows' cells as UTF-8 text;
// the shell decides what a cell holds (see Cell), the writer only how it is printed.
// Used by the shell's one thread.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace orvsql {

enum class OutputMode { Table, Box, Markdown, Line, Csv, Json, Tsv };

// Parses a mode's name ("table", "box", "markdown", "line", "csv", "json", "tsv"); false
// for anything else.
bool ParseOutputMode(const std::string& name, OutputMode& mode);
const char* OutputModeName(OutputMode mode);
// The names, as the help and error texts list them: "table, box, ..., tsv".
const char* OutputModeNames();

struct Cell {
    enum Kind { Text, Number, Boolean, Null, Binary };
    Kind kind = Text;
    // UTF-8 text; for Number the value as the library renders it, for Boolean "True" or
    // "False" (JSON writes true and false); for Binary the hex digits
    // (data modes) or a size such as "<25000 bytes>" (table mode).
    std::string text;
};

class ResultWriter {
public:
    virtual ~ResultWriter() = default;
    virtual void Begin(const std::vector<std::string>& names) = 0;
    virtual void Row(const std::vector<Cell>& cells) = 0;
    // Ends the result; the table writer prints everything here, having needed every row
    // to know the widths.
    virtual void End() = 0;
};

// How the settings of the prompt (.headers, .nullvalue, .separator) shape a result.
struct WriterOptions {
    bool headers = true;  // a header row of the names (not in line and JSON views)
    bool nullGiven = false;  // NULL is `null` rather than the mode's own text
    std::string null;
    std::string separator;  // CSV and TSV: between fields, when not empty
    std::string rowSeparator;  // CSV and TSV: after each row, when not empty
    bool colour = false;  // NULL is dimmed with a terminal escape sequence
};

std::unique_ptr<ResultWriter> MakeWriter(OutputMode mode, std::FILE* out, const WriterOptions& options);

// The columns a text takes on a terminal: East Asian wide characters take two, combining
// marks none.
size_t DisplayWidth(const std::string& utf8);
// At most `columns` display columns of `utf8`, ending with "…" when something was cut;
// line breaks and other control characters become spaces so one cell stays one line.
std::string FitForTable(const std::string& utf8, size_t columns);

}  // namespace orvsql
