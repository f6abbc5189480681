// Writing delimited text files as they were written before: how a file lays out its
// records (line ending, quoting, final newline, byte order mark), records formatted in that
// layout, values turned into the text the reader reads back as the same value, and UTF-8
// turned into the file's character set.
//
// Plain values and functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/text/text_file.h"

namespace orv::engine::text {

// The layout of a file's records, read from the file so that written records match it.
struct WriteStyle {
    std::string lineEnd = "\r\n";  // new files end their lines with CRLF
    bool quoteAll = false;  // every field of the file is in quotes
    bool finalNewline = true;  // the last record ends with a line ending
    bool bom = false;  // the file starts with a byte order mark
};

// Reads the layout of the file at `path` (already described); an empty file keeps the
// defaults. False with errno set when it cannot be read.
bool DetectWriteStyle(const std::string& path, const TextFileDescription& description, WriteStyle& style);

// A field as written: NULL (nullopt) is an empty field, the empty text is "", a value that holds the delimiter,
// a quote, a line break or blanks at an end is quoted, every value is when `quoteAll`.
void AppendField(std::string& out, const std::optional<std::string>& value, char delimiter, bool quoteAll);
void AppendField(std::string& out, std::string_view value, char delimiter, bool quoteAll);

// The fields of a record as read (`count` of `fields`, `quoted` as the reader saw them),
// appended as one line without its line ending: what FormatRecord writes, without copying
// the fields first. An empty field that was quoted stays quoted, so it stays empty text.
void AppendRecordFields(std::string& out, const std::vector<std::string>& fields, const std::vector<bool>& quoted,
                        std::size_t count, char delimiter, bool quoteAll);

// One record, with its line ending.
std::string FormatRecord(const std::vector<std::optional<std::string>>& fields, char delimiter,
                         const WriteStyle& style);

// UTF-8 `text` in `charset`, appended to `out`. False when a character has no place in the
// character set (ANSI), with `bad` the first such code point.
bool EncodeText(std::string_view text, Charset charset, std::string& out, std::uint32_t& bad);

// The byte order mark of a character set ("" for ANSI).
std::string ByteOrderMark(Charset charset);

// The declared type of a CREATE TABLE column ("INTEGER", "VARCHAR(20)") as a text column:
// its kind, the type the table declares, and the schema.ini type that keeps it
// ("Long", "Text Width 20").
struct CreatedTextColumn {
    TextColumn column;
    std::string schemaType;
};
CreatedTextColumn TextColumnForType(const std::string& name, const std::string& type);

// A schema.ini with the section of `fileName` replaced by `lines` (removed when `lines` is
// empty); every other line is kept as it was.
std::string ReplaceSchemaSection(std::string_view ini, const std::string& fileName,
                                 const std::vector<std::string>& lines);

}  // namespace orv::engine::text
