// Dates as the engine stores and reads them: text in ISO form ("2024-03-01 13:45:00"), which
// SQLite's date functions understand, and OLE Automation dates (days since 30 December
// 1899, the time of day as the fraction) at the OLE DB boundary.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/calendar.h"

namespace orv::engine {

struct DateParts {
    int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
    double fraction = 0;  // of a second
};

// A day that an OLE Automation date can name: years 100 to 9999.
bool IsValidDate(int year, int month, int day);

// OLE Automation date <-> parts; nothing outside years 100 to 9999.
std::optional<double> OleDateFromParts(const DateParts& parts);
std::optional<DateParts> PartsFromOleDate(double date);

// What a date text says: a date, a time of day or both.
struct DateText {
    DateParts parts;  // a date alone is at midnight, a time alone on 30 December 1899
    std::uint32_t nanos = 0;  // the fraction of a second, to nine digits
    bool hasDate = false, hasTime = false;
};

enum class DateTextForm {
    // The engine's own text: "yyyy-mm-dd", "yyyy-mm-dd hh:mm[:ss[.fff]]" (also with a T and
    // a closing Z), "hh:mm[:ss]"; every field with all its digits.
    Stored,
    // Dates as people write them: ISO ("2024-3-1"), US month/day order ("3/1/2024",
    // "3/1/24": a one- or two-digit year takes its century from the window), month names
    // ("1-Mar-2024", "March 1, 2024", "Mar 1 2024"), each with a time after a blank or a T
    // ("h:mm[:ss[.fff]]", with AM or PM also "h AM"); or a time alone.
    Written,
};

// The date and time of `text`, blanks around it ignored; nullopt for anything else. Years
// 1 to 9999 are read; an OLE Automation date takes fewer (FitsOleDate).
std::optional<DateText> ReadDateText(std::string_view text, DateTextForm form = DateTextForm::Written);
// Whether an OLE Automation date can hold the date of `d` (a time alone always fits).
inline bool FitsOleDate(const DateText& d) {
    return !d.hasDate || IsValidDate(d.parts.year, d.parts.month, d.parts.day);
}

// Month 1 to 12 from its English name or three-letter abbreviation ("Sept" too), in any
// case; 0 for another word.
int MonthFromName(std::string_view name);
// "Jan" to "Dec".
const char* MonthAbbreviation(int month);

// The engine's own text of a date and time; nothing else.
std::optional<DateParts> ParseIsoDateTime(std::string_view text);
// "yyyy-mm-dd hh:mm:ss", or "yyyy-mm-dd" when the time is midnight and `withTime` is false.
std::string FormatIsoDateTime(const DateParts& parts, bool withTime = false);
// The same text written into `out`, which has room for kIsoDateTimeRoom units (no
// terminator is written), for a caller that formats a date per row; its length.
inline constexpr std::size_t kIsoDateTimeRoom = 19;
std::size_t WriteIsoDateTime(const DateParts& parts, bool withTime, char* out);

}  // namespace orv::engine
