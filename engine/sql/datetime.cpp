#include "engine/sql/datetime.h"

#include <cmath>
#include <cstdio>

namespace orv::engine {
namespace {

constexpr long long kOleEpochDays = platform::kOleDateEpochDay;

bool ReadNumber(std::string_view& s, int digits, int& out) {
    if (s.size() < std::size_t(digits)) return false;
    int value = 0;
    for (int i = 0; i < digits; ++i) {
        char c = s[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    s.remove_prefix(digits);
    out = value;
    return true;
}

bool Take(std::string_view& s, char c) {
    if (s.empty() || s.front() != c) return false;
    s.remove_prefix(1);
    return true;
}

bool ReadTime(std::string_view& s, DateParts& p) {
    if (!ReadNumber(s, 2, p.hour) || !Take(s, ':') || !ReadNumber(s, 2, p.minute)) return false;
    if (Take(s, ':')) {
        if (!ReadNumber(s, 2, p.second)) return false;
        if (Take(s, '.')) {
            double scale = 0.1;
            bool any = false;
            while (!s.empty() && s.front() >= '0' && s.front() <= '9') {
                p.fraction += (s.front() - '0') * scale;
                scale /= 10;
                s.remove_prefix(1);
                any = true;
            }
            if (!any) return false;
        }
    }
    return p.hour < 24 && p.minute < 60 && p.second < 60;
}

}  // namespace

bool IsValidDate(int y, int m, int d) { return y >= 100 && y <= 9999 && platform::IsCalendarDate(y, m, d); }

std::optional<double> OleDateFromParts(const DateParts& p) {
    if (!IsValidDate(p.year, p.month, p.day) || p.hour > 23 || p.minute > 59 || p.second > 59) return std::nullopt;
    double days = static_cast<double>(platform::DaysFromCivil(p.year, p.month, p.day) - kOleEpochDays);
    double time = (p.hour * 3600.0 + p.minute * 60.0 + p.second + p.fraction) / 86400.0;
    // Before the epoch the fraction still counts forward from midnight: -1.25 is 29 Dec 1899 06:00.
    return days >= 0 ? days + time : days - time;
}

std::optional<DateParts> PartsFromOleDate(double date) {
    if (!std::isfinite(date) || date < -657434.0 || date >= 2958466.0) return std::nullopt;
    double wholeDays = std::trunc(date);
    double fraction = std::fabs(date - wholeDays);
    long long seconds = std::llround(fraction * 86400.0);
    long long day = static_cast<long long>(wholeDays);
    if (seconds >= 86400) {  // rounding reached the next midnight
        seconds -= 86400;
        day += date >= 0 ? 1 : -1;
    }
    DateParts p;
    const platform::CivilDate civil = platform::CivilFromDays(day + kOleEpochDays);
    p.year = civil.year, p.month = civil.month, p.day = civil.day;
    p.hour = static_cast<int>(seconds / 3600);
    p.minute = static_cast<int>(seconds / 60 % 60);
    p.second = static_cast<int>(seconds % 60);
    if (p.year > 9999) {
        // Only rounding can get here (the range check came first): the last second of the
        // range stays the last second rather than becoming a date that cannot be written.
        p.year = 9999;
        p.month = 12;
        p.day = 31;
        p.hour = 23;
        p.minute = 59;
        p.second = 59;
    }
    return p;
}

std::optional<DateParts> ParseIsoDateTime(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    DateParts p;
    std::string_view rest = s;
    if (s.size() >= 5 && s[2] == ':') {
        if (!ReadTime(rest, p) || !rest.empty()) return std::nullopt;
        return p;
    }
    if (!ReadNumber(rest, 4, p.year) || !Take(rest, '-') || !ReadNumber(rest, 2, p.month) || !Take(rest, '-') ||
        !ReadNumber(rest, 2, p.day))
        return std::nullopt;
    if (!rest.empty()) {
        if (!Take(rest, ' ') && !Take(rest, 'T')) return std::nullopt;
        if (!ReadTime(rest, p)) return std::nullopt;
        Take(rest, 'Z');  // a UTC marker: the engine keeps no time zones
    }
    if (!rest.empty() || !IsValidDate(p.year, p.month, p.day)) return std::nullopt;
    return p;
}

std::string FormatIsoDateTime(const DateParts& p) {
    char text[32];
    if (p.hour == 0 && p.minute == 0 && p.second == 0)
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.year, p.month, p.day);
    else
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute,
                      p.second);
    return text;
}

}  // namespace orv::engine
