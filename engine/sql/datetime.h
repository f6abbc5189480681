// Dates as the engine stores and reads them: text in ISO form ("2024-03-01 13:45:00"), which
// SQLite's date functions understand, and OLE Automation dates (days since 30 December
// 1899, the time of day as the fraction) at the OLE DB boundary.
//
// Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orv::engine {

struct DateParts {
    int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
    double fraction = 0;  // of a second
};

// Days from 1 January 1970 for a proleptic Gregorian date, and back.
constexpr long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

constexpr void CivilFromDays(long long z, int& year, int& month, int& day) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (month <= 2));
}
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
