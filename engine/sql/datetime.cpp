#include "engine/sql/datetime.h"

#include <cmath>

#include "platform/strings.h"

namespace orv::engine {
namespace {

constexpr long long kOleEpochDays = platform::kOleDateEpochDay;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

constexpr const char* kMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                         "July",    "August",   "September", "October", "November", "December"};
constexpr const char* kMonthAbbreviations[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Reads one date text from left to right. In the stored form every field has all its
// digits and only ISO dates are read; the written form takes what people type.
class DateReader {
public:
    DateReader(std::string_view text, DateTextForm form) : m_s(text), m_stored(form == DateTextForm::Stored) {}

    std::optional<DateText> Read() {
        DateText d;
        if (StartsTime()) {
            if (!ReadTime(d) || !AtEnd()) return std::nullopt;
            return d;
        }
        if (!(m_stored ? ReadIsoDate(d) : ReadWrittenDate(d))) return std::nullopt;
        d.hasDate = true;
        if (AtEnd()) return d;
        if (m_stored) {
            if (!Take(' ') && !Take('T')) return std::nullopt;
        } else if (!(IsDigit(m_s[m_i - 1]) && Take('T')) && !Blanks()) {
            return std::nullopt;
        }
        if (!ReadTime(d)) return std::nullopt;
        if (m_stored) Take('Z');  // a UTC marker: the engine keeps no time zones
        if (!AtEnd()) return std::nullopt;
        return d;
    }

private:
    bool AtEnd() const { return m_i == m_s.size(); }
    bool Peek(char c) const { return m_i < m_s.size() && m_s[m_i] == c; }
    bool Take(char c) {
        if (!Peek(c)) return false;
        ++m_i;
        return true;
    }
    bool Blanks() {
        const std::size_t start = m_i;
        while (m_i < m_s.size() && (m_s[m_i] == ' ' || m_s[m_i] == '\t')) ++m_i;
        return m_i > start;
    }
    // `least` to `most` digits; `count` how many there were.
    bool Digits(int least, int most, int& value, int* count = nullptr) {
        int n = 0;
        value = 0;
        while (m_i < m_s.size() && n < most && IsDigit(m_s[m_i])) {
            value = value * 10 + (m_s[m_i++] - '0');
            ++n;
        }
        if (count) *count = n;
        return n >= least;
    }
    // A year of the written form: one or two digits take their century from the window,
    // three or four are the year as written ("1/1/100").
    bool Year(int& year) {
        int n = 0;
        if (!Digits(1, 4, year, &n)) return false;
        if (n <= 2) year = platform::WindowedYear(year);
        return true;
    }
    std::string_view Word() {
        const std::size_t start = m_i;
        while (m_i < m_s.size() && IsLetter(m_s[m_i])) ++m_i;
        return m_s.substr(start, m_i - start);
    }

    // Digits and then ':' at the start: a time without a date.
    bool StartsTime() const {
        std::size_t k = 0;
        while (k < m_s.size() && IsDigit(m_s[k])) ++k;
        return k > 0 && k <= 2 && k < m_s.size() && m_s[k] == ':';
    }

    // yyyy-mm-dd; written, also yyyy-m-d and yyyy/m/d.
    bool ReadIsoDate(DateText& d) {
        DateParts& p = d.parts;
        const int least = m_stored ? 2 : 1;
        if (!Digits(4, 4, p.year)) return false;
        const char separator = !m_stored && Peek('/') ? '/' : '-';
        return Take(separator) && Digits(least, 2, p.month) && Take(separator) && Digits(least, 2, p.day) && Valid(p);
    }

    bool ReadWrittenDate(DateText& d) {
        DateParts& p = d.parts;
        const std::size_t start = m_i;
        int first = 0, n = 0;
        if (!Digits(1, 4, first, &n)) {  // March 1, 2024 / Mar 1 2024
            p.month = MonthFromName(Word());
            if (p.month == 0 || !Blanks() || !Digits(1, 2, p.day)) return false;
            const bool comma = Take(',');
            if (!Blanks() && !comma) return false;
            return Year(p.year) && Valid(p);
        }
        if (n == 4) {
            m_i = start;
            return ReadIsoDate(d);
        }
        if (n > 2) return false;
        if (Take('/')) {  // m/d/yyyy, m/d/yy
            p.month = first;
            return Digits(1, 2, p.day) && Take('/') && Year(p.year) && Valid(p);
        }
        // 1-Mar-2024, 1 Mar 2024
        p.day = first;
        const char separator = Peek('-') ? '-' : ' ';
        if (!(separator == '-' ? Take('-') : Blanks())) return false;
        p.month = MonthFromName(Word());
        if (p.month == 0 || !(separator == '-' ? Take('-') : Blanks())) return false;
        return Year(p.year) && Valid(p);
    }

    static bool Valid(const DateParts& p) { return p.year >= 1 && platform::IsCalendarDate(p.year, p.month, p.day); }

    // hh:mm[:ss[.fff]]; written, the hour may have one digit and AM or PM may follow, when
    // they do also after an hour alone ("1 PM").
    bool ReadTime(DateText& d) {
        DateParts& p = d.parts;
        d.hasTime = true;
        if (!Digits(m_stored ? 2 : 1, 2, p.hour)) return false;
        if (Take(':')) {
            if (!Digits(2, 2, p.minute)) return false;
            if (Take(':')) {
                if (!Digits(2, 2, p.second)) return false;
                if (Take('.') && !Fraction(d)) return false;
            }
        } else if (m_stored) {
            return false;
        } else if (!AmPmFollows()) {
            return false;
        }
        if (!m_stored && AmPmFollows()) {
            Blanks();
            const bool pm = m_s[m_i] == 'P' || m_s[m_i] == 'p';
            m_i += 2;
            if (p.hour < 1 || p.hour > 12) return false;
            p.hour = p.hour % 12 + (pm ? 12 : 0);
        }
        return p.hour < 24 && p.minute < 60 && p.second < 60;
    }
    // Whether (after blanks) AM or PM ends the text.
    bool AmPmFollows() const {
        std::size_t k = m_i;
        while (k < m_s.size() && (m_s[k] == ' ' || m_s[k] == '\t')) ++k;
        if (k + 2 != m_s.size()) return false;
        const std::string_view word = m_s.substr(k, 2);
        return platform::EqualsNoCase(word, "AM") || platform::EqualsNoCase(word, "PM");
    }
    // The digits after the point: nanoseconds (to nine digits) and the fraction of a second.
    bool Fraction(DateText& d) {
        int digits = 0;
        double scale = 0.1;
        for (; m_i < m_s.size() && IsDigit(m_s[m_i]); ++m_i, ++digits) {
            const int digit = m_s[m_i] - '0';
            if (digits < 9) d.nanos = d.nanos * 10 + static_cast<std::uint32_t>(digit);
            d.parts.fraction += digit * scale;
            scale /= 10;
        }
        if (digits == 0) return false;
        for (int k = digits; k < 9; ++k) d.nanos *= 10;
        return true;
    }

    std::string_view m_s;
    std::size_t m_i = 0;
    bool m_stored;
};

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

std::optional<DateText> ReadDateText(std::string_view text, DateTextForm form) {
    text = platform::Trim(text, form == DateTextForm::Stored ? " " : " \t");
    return DateReader(text, form).Read();
}

namespace {

// The two shapes of the engine's own date text that a DATETIME column holds,
// "yyyy-mm-dd hh:mm:ss" (or with a T) and "yyyy-mm-dd", read in one pass: a walk reads one
// per row. False for any other text (a fraction, a zone, blanks, a time alone), which the
// general reader takes; the caller checks what the fields hold.
bool ReadPlainIsoDate(std::string_view s, DateParts& p) {
    if (s.size() != 10 && s.size() != 19) return false;
    unsigned digit[19] = {};
    for (std::size_t i = 0; i < s.size(); ++i) digit[i] = static_cast<unsigned char>(s[i]) - unsigned{'0'};
    auto number = [&digit](std::size_t at, std::size_t n) {
        int value = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            if (digit[i] > 9) return -1;
            value = value * 10 + static_cast<int>(digit[i]);
        }
        return value;
    };
    if (s[4] != '-' || s[7] != '-') return false;
    p.year = number(0, 4), p.month = number(5, 2), p.day = number(8, 2);
    p.hour = p.minute = p.second = 0;
    p.fraction = 0;
    if (s.size() == 19) {
        if ((s[10] != ' ' && s[10] != 'T') || s[13] != ':' || s[16] != ':') return false;
        p.hour = number(11, 2), p.minute = number(14, 2), p.second = number(17, 2);
    }
    return p.year >= 0 && p.month >= 0 && p.day >= 0 && p.hour >= 0 && p.minute >= 0 && p.second >= 0;
}

}  // namespace

std::optional<DateParts> ParseIsoDateTime(std::string_view s) {
    // The common shapes in one pass; anything else, or fields out of range, goes to the
    // general reader, which decides.
    DateParts plain;
    if (ReadPlainIsoDate(s, plain) && IsValidDate(plain.year, plain.month, plain.day) && plain.hour <= 23 &&
        plain.minute <= 59 && plain.second <= 59)
        return plain;
    std::optional<DateText> d = ReadDateText(s, DateTextForm::Stored);
    if (!d || !FitsOleDate(*d)) return std::nullopt;
    return d->parts;
}

int MonthFromName(std::string_view name) {
    if (name.size() < 3) return 0;
    for (int m = 0; m < 12; ++m)
        if (platform::EqualsNoCase(name, kMonthAbbreviations[m]) || platform::EqualsNoCase(name, kMonthNames[m]))
            return m + 1;
    return platform::EqualsNoCase(name, "Sept") ? 9 : 0;
}

const char* MonthAbbreviation(int month) { return kMonthAbbreviations[month - 1]; }

std::size_t WriteIsoDateTime(const DateParts& p, bool withTime, char* out) {
    // Without printf: a scan of a sheet or a text file formats every date of a column.
    auto put = [out](std::size_t at, int value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10) out[at + std::size_t(i)] = char('0' + value % 10);
    };
    put(0, p.year, 4);
    out[4] = '-';
    put(5, p.month, 2);
    out[7] = '-';
    put(8, p.day, 2);
    if (!withTime && p.hour == 0 && p.minute == 0 && p.second == 0) return 10;
    out[10] = ' ';
    put(11, p.hour, 2);
    out[13] = ':';
    put(14, p.minute, 2);
    out[16] = ':';
    put(17, p.second, 2);
    return kIsoDateTimeRoom;
}

std::string FormatIsoDateTime(const DateParts& p, bool withTime) {
    char text[kIsoDateTimeRoom];
    return std::string(text, WriteIsoDateTime(p, withTime, text));
}

}  // namespace orv::engine
