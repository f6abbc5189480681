// The proleptic Gregorian calendar, the one home of its arithmetic: days counted from
// 1 January 1970 (any fixed origin would do; this one keeps the formulas in their usual
// form), leap years, month lengths, the day 0 of OLE Automation dates and of FILETIMEs, and
// the window that gives a two-digit year its century. The platform's date conversions,
// the engine's date text, date functions and value conversions all count days here.
//
// constexpr functions; any thread.
#pragma once

namespace orv::platform {

// Days from 1 January 1970 to the given date (negative before it).
constexpr long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

struct CivilDate {
    int year;
    int month;  // 1 to 12
    int day;  // 1 to 31
};

// The date `days` after 1 January 1970.
constexpr CivilDate CivilFromDays(long long days) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const auto day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {static_cast<int>(static_cast<long long>(yoe) + era * 400 + (month <= 2)), month, day};
}

constexpr bool IsLeapYear(long long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Days of month `m` (1 to 12) of year `y`.
constexpr int DaysInMonth(long long y, int m) {
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Whether month `m` and day `d` name a day of year `y`.
constexpr bool IsCalendarDate(long long y, int m, int d) {
    return m >= 1 && m <= 12 && d >= 1 && d <= DaysInMonth(y, m);
}

// 0 for Sunday to 6 for Saturday; 1 January 1970 was a Thursday.
constexpr int DayOfWeek(long long daysFrom1970) { return static_cast<int>(((daysFrom1970 % 7) + 7 + 4) % 7); }

// Day 0 of an OLE Automation DATE (30 December 1899) and of a FILETIME (1 January 1601).
inline constexpr long long kOleDateEpochDay = DaysFromCivil(1899, 12, 30);
inline constexpr long long kFileTimeEpochDay = DaysFromCivil(1601, 1, 1);
static_assert(kOleDateEpochDay == -25569);

// The year a two-digit year stands for, as Windows reads one: 00 to 29 are 2000 to 2029,
// 30 to 99 are 1930 to 1999.
constexpr int WindowedYear(int twoDigits) { return twoDigits < 30 ? 2000 + twoDigits : 1900 + twoDigits; }

}  // namespace orv::platform
