// Reading date text: the forms people write, the engine's stored form, and the callers
// (date literals, text conversions, text files) agreeing on them.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "engine/sql/datetime.h"
#include "engine/sql/rewrite.h"
#include "engine/text/text_file.h"

namespace orv::engine {
namespace {

// The ISO text of a written date, or "none".
std::string Iso(std::string_view text) {
    const std::optional<DateText> d = ReadDateText(text);
    if (!d) return "none";
    return (d->hasDate ? "" : "time ") + FormatIsoDateTime(d->parts, d->hasTime);
}

TEST(DateText, WrittenForms) {
    EXPECT_EQ(Iso("3/1/2024"), "2024-03-01");
    EXPECT_EQ(Iso(" 2024-3-1 "), "2024-03-01");
    EXPECT_EQ(Iso("2024/03/01"), "2024-03-01");
    EXPECT_EQ(Iso("1-Mar-2024"), "2024-03-01");
    EXPECT_EQ(Iso("1 march 2024"), "2024-03-01");
    EXPECT_EQ(Iso("March 1, 2024"), "2024-03-01");
    EXPECT_EQ(Iso("Sept 9 2024"), "2024-09-09");
    // Two-digit years take their century from the window.
    EXPECT_EQ(Iso("12/31/29"), "2029-12-31");
    EXPECT_EQ(Iso("1/1/30"), "1930-01-01");
    EXPECT_EQ(Iso("1/1/100"), "0100-01-01");
    EXPECT_EQ(Iso("2/29/2024 1 PM"), "2024-02-29 13:00:00");
    EXPECT_EQ(Iso("1/2/2024 12:05 AM"), "2024-01-02 00:05:00");
    EXPECT_EQ(Iso("1/2/2024 12:05pm"), "2024-01-02 12:05:00");
    EXPECT_EQ(Iso("2024-03-01T13:45"), "2024-03-01 13:45:00");
    EXPECT_EQ(Iso("2024-03-01  1:45:30 PM"), "2024-03-01 13:45:30");
    EXPECT_EQ(Iso("9:05"), "time 1899-12-30 09:05:00");
    for (std::string_view bad : {"", "10", "2/30/2024", "13/1/2024", "3/1/20245", "3-1-2024", "Mar 2024", "1-Foo-2024",
                                 "1:5", "13:00 PM", "0:30 AM", "3/1/2024 25:00", "3/1/2024 10:60", "1 PM",
                                 "2024-03-01Z", "3/1/2024 10:00 PMX", "2024-03-01 T10:00"})
        EXPECT_EQ(Iso(bad), "none") << bad;
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

// The date literal, the text file's date values and the text conversions read the same
// forms: each once took some that the others refused.
TEST(DateText, CallersAgree) {
    EXPECT_EQ(ParseDateLiteral("2024-03-01 13:45:00.5"), std::optional<std::string>("2024-03-01 13:45:00"));
    EXPECT_EQ(ParseDateLiteral("3/1/2024 1:5"), std::nullopt);
    EXPECT_EQ(text::ParseDateValue("2024-03-01 1:45 PM"), std::optional<std::string>("2024-03-01 13:45:00"));
    EXPECT_EQ(text::ParseDateValue("3/1/24"), std::optional<std::string>("2024-03-01"));
    EXPECT_EQ(text::ParseDateValue("1-Mar-2024 00:00"), std::optional<std::string>("2024-03-01 00:00:00"));
    // A time alone is no date in a text file: the column stays text.
    EXPECT_EQ(text::ParseDateValue("10:30"), std::nullopt);
}

}  // namespace
}  // namespace orv::engine
