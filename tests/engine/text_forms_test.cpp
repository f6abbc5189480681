// Text the engine reads in one function (dates in their written forms, a text file's
// values, records and delimiter, exact decimals and the stored values read as them, names
// in statements, cell references, number formats, tokens): the cases of
// tests/engine/cases/text_forms.test, and the engine's stored date form.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "engine/common/decimal.h"
#include "engine/init_string.h"
#include "engine/sql/datetime.h"
#include "engine/sql/rewrite.h"
#include "engine/sql/tokens.h"
#include "engine/store/store.h"
#include "engine/text/text_file.h"
#include "engine/values.h"
#include "engine/workbook/styles.h"
#include "engine/workbook/workbook.h"
#include "platform/utf.h"

#include "support/braced.h"
#include "support/case_file.h"

namespace orv::engine {
namespace {

// The ISO text of a written date, or "none".
std::string Iso(std::string_view text) {
    const std::optional<DateText> d = ReadDateText(text);
    if (!d) return "none";
    return (d->hasDate ? "" : "time ") + FormatIsoDateTime(d->parts, d->hasTime);
}

// A DATETIME column's stored text as the column reads it, the common shapes in one pass
// first: the ISO text of its date, or "none"; "differs" when the general reader alone
// would read it otherwise.
std::string StoredDate(std::string_view text) {
    const std::optional<DateParts> read = ParseIsoDateTime(text);
    const std::optional<double> date = read ? OleDateFromParts(*read) : std::nullopt;
    const std::optional<DateText> general = ReadDateText(text, DateTextForm::Stored);
    if (date != (general && FitsOleDate(*general) ? OleDateFromParts(general->parts) : std::nullopt)) return "differs";
    return date ? FormatIsoDateTime(*read, true) : "none";
}

std::string OrNone(const std::optional<std::string>& text) { return text.value_or("none"); }

std::string KindName(std::optional<text::Kind> kind) {
    static const char* const kNames[] = {"Integer", "BigInt", "Real", "Currency", "Date", "Boolean", "Text"};
    return kind ? kNames[static_cast<int>(*kind)] : "none";
}

std::string Cell(const std::string& reference) {
    std::uint32_t row = 0, column = 0;
    if (!workbook::ParseCellReference(reference, row, column)) return "none";
    return std::to_string(row) + " " + std::to_string(column) + " " + workbook::CellReference(row, column);
}

// The tokens' kinds; the tokens' texts joined must give the statement back.
std::string Tokens(std::string_view sql) {
    std::string out, joined;
    for (const SqlToken& t : TokenizeSql(sql)) {
        out += "_cswqnh.v"[static_cast<int>(t.kind)];
        joined += t.text;
    }
    EXPECT_EQ(joined, sql);
    return out;
}

// The records a text file's reader finds in TEXT, fields joined by "|", records by " / ".
std::string Records(const std::string& text) {
    text::TextReader reader(text, ',');
    std::vector<std::string> fields;
    std::string out;
    for (std::size_t count = 0; reader.Next(fields, count);) {
        out += out.empty() ? "" : " / ";
        for (std::size_t i = 0; i < count; ++i) out += (i ? "|" : "") + fields[i];
    }
    return out;
}

// The delimiter that a text file's extended properties give, or why they are refused (a
// line break shown as \n).
std::string Delimiter(const std::string& props) {
    const text::TextSettings settings = text::ParseExtendedProperties(props);
    if (settings.delimiter) return std::string(1, *settings.delimiter);
    std::string why = "refused: " + settings.unsupported;
    for (std::size_t at; (at = why.find('\n')) != std::string::npos;) why.replace(at, 1, "\\n");
    return why;
}

std::string NumberFormat(const std::string& code) {
    if (!workbook::IsDateFormatCode(code)) return "number";
    return workbook::CustomDateFormat(code) == workbook::kElapsed ? "elapsed" : "calendar";
}

// "TYPE STORAGE VALUE": a value stored as text, real or integer, read into a CY column (its
// scaled integer) or a NUMERIC(P,S) one (its sign, magnitude and scale), or "overflow".
std::string Stored(const std::string& input) {
    std::istringstream words(input);
    std::string type, storage, value;
    words >> type >> storage >> value;
    StoredValue stored;
    stored.kind = storage == "text" ? SQLITE_TEXT : storage == "real" ? SQLITE_FLOAT : SQLITE_INTEGER;
    stored.bytes = value;
    stored.real = std::strtod(value.c_str(), nullptr);
    stored.integer = std::strtoll(value.c_str(), nullptr, 10);
    ColumnType column;
    int precision = 0, scale = 0;
    column.type = std::sscanf(type.c_str(), "NUMERIC(%d,%d)", &precision, &scale) == 2 ? DBTYPE_NUMERIC : DBTYPE_CY;
    column.precision = static_cast<BYTE>(precision);
    column.scale = static_cast<BYTE>(scale);
    TypedValue out;
    Materialise(stored, column, out);
    if (out.status != DBSTATUS_S_OK) return out.status == DBSTATUS_E_DATAOVERFLOW ? "overflow" : "failed";
    if (column.type == DBTYPE_CY) {
        LONGLONG scaled = 0;
        std::memcpy(&scaled, out.fixed, sizeof scaled);
        return std::to_string(scaled);
    }
    DB_NUMERIC n;
    std::memcpy(&n, out.fixed, sizeof n);
    u128 magnitude = 0;
    for (int i = 15; i >= 0; --i) magnitude = magnitude << 8 | n.val[i];
    return (n.sign ? "" : "-") + U128Text(magnitude) + " scale " + std::to_string(n.scale);
}

// "KEY @ TEXT": the value that the initialisation string TEXT gives KEY, in brackets, with
// how many pairs TEXT holds ("none": no such key), or the sentence that refuses TEXT.
std::string InitValue(const std::string& input) {
    const std::size_t at = input.find(" @ ");
    std::u16string error;
    const std::optional<InitString> init = InitString::Parse(platform::Utf8ToUtf16(input.substr(at + 3)), error);
    if (!init) return "error: " + platform::Utf16ToUtf8(error);
    const std::u16string* value = init->Find(platform::Utf8ToUtf16(input.substr(0, at)));
    return (value ? "[" + platform::Utf16ToUtf8(*value) + "]" : "none") + " of " + std::to_string(init->Pairs().size());
}

// A property list's pairs as "key=value|key=value".
std::string PropertyList(const std::string& input) {
    std::string out;
    for (const InitPair& pair : ParsePropertyList(platform::Utf8ToUtf16(input)))
        out += (out.empty() ? "" : "|") + platform::Utf16ToUtf8(pair.key) + "=" + platform::Utf16ToUtf8(pair.value);
    return out;
}

// A CREATE TABLE statement read for a store: its table ("if not exists" after it when given)
// and each column as name:type, joined by " | "; or "none".
std::string Definition(const std::string& sql) {
    const std::optional<CreatedTable> d = ParseCreateTable(sql);
    if (!d) return "none";
    std::string out = d->name + (d->ifNotExists ? " if not exists" : "");
    for (const CreatedColumn& c : d->columns) out += " | " + c.name + ":" + c.type;
    return out;
}

// The same from the tokens: the table and each definition's own text, joined by "|".
std::string Shape(const std::string& sql) {
    const std::vector<SqlToken> t = TokenizeSql(sql);
    const std::optional<CreateTableShape> shape = ReadCreateTable(t);
    if (!shape) return "none";
    std::string out = shape->table + (shape->ifNotExists ? " if not exists" : "");
    for (const auto& [first, last] : shape->definitions) {
        out += "|";
        for (std::size_t k = first; k < last; ++k) out += t[k].text;
    }
    return out;
}

std::string DecimalWritten(const std::string& text) {
    Decimal d;
    std::size_t point = 0;
    return ParseDecimal(text, d) ? DecimalText(d, point) : "none";
}

// "TEXT SCALE": the decimal cut (rescale) or rounded (round) to SCALE, or "none".
template <bool (*Change)(Decimal&, int)>
std::string Rescaled(const std::string& input) {
    const std::size_t space = input.find(' ');
    Decimal d;
    std::size_t point = 0;
    if (!ParseDecimal(input.substr(0, space), d)) return "unreadable";
    return Change(d, std::stoi(input.substr(space + 1))) ? DecimalText(d, point) : "none";
}

const std::map<std::string, std::function<std::string(const std::string&)>> kFunctions = {
    {"date", [](const std::string& s) { return Iso(s); }},
    {"stored-date", [](const std::string& s) { return StoredDate(s); }},
    {"date-literal", [](const std::string& s) { return OrNone(ParseDateLiteral(s)); }},
    {"date-value", [](const std::string& s) { return OrNone(text::ParseDateValue(s)); }},
    {"classify", [](const std::string& s) { return KindName(text::ClassifyValue(s)); }},
    {"delimiter", [](const std::string& s) { return std::string(1, text::SniffDelimiter(s)); }},
    {"decimal", DecimalWritten},
    {"rescale", Rescaled<Rescale>},
    {"round", Rescaled<RoundToScale>},
    {"stored", Stored},
    {"records", Records},
    {"text-delimiter", Delimiter},
    {"number-format", NumberFormat},
    {"closed-quote", [](const std::string& s) { return std::string(IsClosedQuote(s) ? "yes" : "no"); }},
    {"drop-table", [](const std::string& s) { return OrNone(ParseDropTable(s)); }},
    {"cell", Cell},
    {"tokens", [](const std::string& s) { return Tokens(s); }},
    {"unquote", [](const std::string& s) { return UnquoteName(s); }},
    {"init", InitValue},
    {"create-table", Definition},
    {"create-shape", Shape},
    {"property-list", PropertyList},
};

// A field as a case file writes it: "{...}" read by the braced-text rules, else as it is.
std::string Input(const std::string& field) {
    std::size_t at = 0;
    return field.starts_with('{') ? orv::test::Braced(field, at) : field;
}

TEST(TextForms, EachLineOfTheCaseFile) {
    orv::test::ForEachCase("text_forms.test", [](const std::string& line) {
        // A braced input may hold " = "; the output follows its closing brace.
        const std::size_t space = line.find(' ');
        const std::size_t equals = line.find(" = ", line[space + 1] == '{' ? line.find("} = ", space) : space);
        const auto function = kFunctions.find(line.substr(0, space));
        ASSERT_TRUE(function != kFunctions.end() && equals != std::string::npos);
        EXPECT_EQ(function->second(Input(line.substr(space + 1, equals - space - 1))), line.substr(equals + 3));
    });
}

TEST(DateText, StoredFormTakesOnlyTheEnginesOwnText) {
    const std::optional<DateText> d = ReadDateText("2024-03-01T10:00:00.25Z", DateTextForm::Stored);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->parts.hour, 10);
    EXPECT_DOUBLE_EQ(d->parts.fraction, 0.25);
    EXPECT_EQ(d->nanos, 250000000u);
    // Other forms: stored-date lines of the case file.
}

}  // namespace
}  // namespace orv::engine
