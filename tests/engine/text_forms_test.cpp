// Text the engine reads in one function (dates in their written forms, a text file's
// values and delimiter, exact decimals, names in statements, cell references, tokens):
// the cases of tests/engine/cases/text_forms.test, and the engine's stored date form.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "engine/common/decimal.h"
#include "engine/init_string.h"
#include "engine/sql/datetime.h"
#include "engine/sql/rewrite.h"
#include "engine/sql/tokens.h"
#include "engine/store/store.h"
#include "engine/text/text_file.h"
#include "engine/workbook/workbook.h"
#include "platform/utf.h"

#include "support/case_file.h"

namespace orv::engine {
namespace {

// The ISO text of a written date, or "none".
std::string Iso(std::string_view text) {
    const std::optional<DateText> d = ReadDateText(text);
    if (!d) return "none";
    return (d->hasDate ? "" : "time ") + FormatIsoDateTime(d->parts, d->hasTime);
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

std::string Tokens(std::string_view sql) {
    std::string out;
    for (const SqlToken& t : TokenizeSql(sql)) out += "_cswqnh.v"[static_cast<int>(t.kind)];
    return out;
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

const std::map<std::string, std::function<std::string(const std::string&)>> kFunctions = {
    {"date", [](const std::string& s) { return Iso(s); }},
    {"date-literal", [](const std::string& s) { return OrNone(ParseDateLiteral(s)); }},
    {"date-value", [](const std::string& s) { return OrNone(text::ParseDateValue(s)); }},
    {"classify", [](const std::string& s) { return KindName(text::ClassifyValue(s)); }},
    {"delimiter", [](const std::string& s) { return std::string(1, text::SniffDelimiter(s)); }},
    {"decimal", DecimalWritten},
    {"drop-table", [](const std::string& s) { return OrNone(ParseDropTable(s)); }},
    {"cell", Cell},
    {"tokens", [](const std::string& s) { return Tokens(s); }},
    {"unquote", [](const std::string& s) { return UnquoteName(s); }},
    {"init", InitValue},
    {"create-table", Definition},
    {"create-shape", Shape},
    {"property-list", PropertyList},
};

// "{...}": what the braces hold, with \n as a line break.
std::string Input(const std::string& field) {
    if (field.empty() || field[0] != '{') return field;
    std::string out;
    for (std::size_t i = 1; i + 1 < field.size(); ++i) {
        const bool lineBreak = field.compare(i, 2, "\\n") == 0;
        out += lineBreak ? '\n' : field[i];
        i += lineBreak;
    }
    return out;
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
    for (std::string_view bad : {"2024-3-1", "3/1/2024", "1:30", "2024-03-01 1 PM", "2024-03-01 10:00 AM"})
        EXPECT_FALSE(ReadDateText(bad, DateTextForm::Stored)) << bad;
    // An OLE date cannot name years before 100; the stored reader keeps to them.
    EXPECT_FALSE(ParseIsoDateTime("0099-12-31"));
}

}  // namespace
}  // namespace orv::engine
