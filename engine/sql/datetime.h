// Dates as the engine stores and reads them: text in ISO form ("2024-03-01 13:45:00"), which
// SQLite's date functions understand, and OLE Automation dates (days since 30 December
// 1899, the time of day as the fraction) at the OLE DB boundary.
//
// Pure functions; any thread.
#pragma once

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

// "yyyy-mm-dd", "yyyy-mm-dd hh:mm[:ss[.fff]]" (also with a T), "hh:mm[:ss]" (a time on
// 30 December 1899), with blanks around; nothing else.
std::optional<DateParts> ParseIsoDateTime(std::string_view text);
// "yyyy-mm-dd hh:mm:ss", or "yyyy-mm-dd" when the time is midnight.
std::string FormatIsoDateTime(const DateParts& parts);

}  // namespace orv::engine
