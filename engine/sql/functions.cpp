#include "engine/sql/functions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "engine/guard.h"
#include "engine/sql/datetime.h"
#include "platform/calendar.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

// --- values -------------------------------------------------------------------------------

bool IsNull(sqlite3_value* v) { return sqlite3_value_type(v) == SQLITE_NULL; }

std::string TextOf(sqlite3_value* v) {
    const unsigned char* s = sqlite3_value_text(v);
    return s ? std::string(reinterpret_cast<const char*>(s), static_cast<std::size_t>(sqlite3_value_bytes(v)))
             : std::string();
}

void ResultText(sqlite3_context* c, const std::string& s) {
    sqlite3_result_text(c, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

// Text as code points, so that lengths and positions count characters, not bytes.
std::u32string Decode(const std::string& s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
        for (int k = 1; k < n && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out += cp;
        i += n;
    }
    return out;
}

std::string Encode(const std::u32string& s) {
    std::string out;
    for (char32_t cp : s) platform::AppendCodePointUtf8(out, cp);
    return out;
}

// UCase and LCase map case as the library's strings do (CString::MakeUpper, MakeLower);
// code points beyond the basic plane have no case there and keep theirs.
char32_t Upper(char32_t c) { return c < 0x10000 ? platform::ToUpper16(static_cast<char16_t>(c)) : c; }
char32_t Lower(char32_t c) { return c < 0x10000 ? platform::ToLower16(static_cast<char16_t>(c)) : c; }

// The number at the start of text as Val reads it: blanks are skipped, &H and &O prefixes.
double Val(const std::string& text) {
    std::string s;
    for (char ch : text)
        if (ch != ' ' && ch != '\t' && ch != '\r' && ch != '\n') s += ch;
    if (s.size() > 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h'))
        return static_cast<double>(std::strtoll(s.c_str() + 2, nullptr, 16));
    if (s.size() > 2 && s[0] == '&' && (s[1] == 'O' || s[1] == 'o'))
        return static_cast<double>(std::strtoll(s.c_str() + 2, nullptr, 8));
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
        std::size_t k = i + 1;
        if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
        if (k < s.size() && std::isdigit(static_cast<unsigned char>(s[k]))) {
            s[i] = 'e';
            i = k;
            while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        }
    }
    return std::strtod(s.substr(0, i).c_str(), nullptr);
}

// A number from a value: numbers as they are, text as a number when it is one entirely.
std::optional<double> NumberOf(sqlite3_value* v) {
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER: return static_cast<double>(sqlite3_value_int64(v));
    case SQLITE_FLOAT: return sqlite3_value_double(v);
    case SQLITE_TEXT: {
        std::string s = TextOf(v);
        char* end = nullptr;
        double d = std::strtod(s.c_str(), &end);
        while (end && *end == ' ') ++end;
        if (end != s.c_str() && end && *end == 0) return d;
        return std::nullopt;
    }
    default: return std::nullopt;
    }
}

// The truth of a value as the Windows engine sees it: non-zero numbers, "True", "Yes".
bool Truth(sqlite3_value* v) {
    if (IsNull(v)) return false;
    if (auto n = NumberOf(v)) return *n != 0;
    const std::string s = platform::Lower(TextOf(v));
    return s == "true" || s == "yes" || s == "on";
}

std::string NumberText(double d) {
    if (d == std::floor(d) && std::fabs(d) < 1e15) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(d));
        return buf;
    }
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", d);
    return buf;
}

// A date from ISO text, other date text ("3/1/2024") or an OLE date number.
std::optional<DateParts> DateOf(sqlite3_value* v) {
    switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT: return PartsFromOleDate(sqlite3_value_double(v));
    case SQLITE_TEXT: {
        const std::string s = TextOf(v);
        if (auto p = ParseIsoDateTime(s)) return p;
        const std::optional<DateText> d = ReadDateText(s);
        if (!d || !FitsOleDate(*d)) return std::nullopt;
        DateParts parts = d->parts;
        parts.fraction = 0;  // a written date counts whole seconds
        return parts;
    }
    default: return std::nullopt;
    }
}

long long DayNumber(const DateParts& p) {
    return platform::DaysFromCivil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day));
}
long long SecondNumber(const DateParts& p) { return DayNumber(p) * 86400 + p.hour * 3600 + p.minute * 60 + p.second; }

DateParts FromSeconds(long long s) {
    long long days = s >= 0 ? s / 86400 : -((-s + 86399) / 86400);
    long long rest = s - days * 86400;
    DateParts p;
    const platform::CivilDate civil = platform::CivilFromDays(days);
    p.year = civil.year, p.month = civil.month, p.day = civil.day;
    p.hour = static_cast<int>(rest / 3600);
    p.minute = static_cast<int>(rest / 60 % 60);
    p.second = static_cast<int>(rest % 60);
    return p;
}

// Sunday = 1.
int DayOfWeek(const DateParts& p) {
    long long d = DayNumber(p);  // 1970-01-01 was a Thursday
    return static_cast<int>(((d + 4) % 7 + 7) % 7) + 1;
}

DateParts AddMonths(DateParts p, long long months) {
    long long total = p.year * 12LL + (p.month - 1) + months;
    p.year = static_cast<int>(total >= 0 ? total / 12 : -((-total + 11) / 12));
    p.month = static_cast<int>(total - p.year * 12LL) + 1;
    p.day = std::min(p.day, platform::DaysInMonth(p.year, p.month));
    return p;
}

std::string Lowered(std::string s) {
    s = std::string(platform::Trim(platform::Lower(s), " "));
    return s;
}

void Error(sqlite3_context* c, const std::string& message) { sqlite3_result_error(c, message.c_str(), -1); }

void ResultDate(sqlite3_context* c, const DateParts& p) {
    if (p.year < 100 || p.year > 9999) return Error(c, "The date is outside the years 100 to 9999.");
    ResultText(c, FormatIsoDateTime(p));
}

// --- current time ---------------------------------------------------------------------------

void LocalNow(sqlite3_context* context, const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::size_t n = std::strftime(text, sizeof text, format, &local);
    sqlite3_result_text(context, text, static_cast<int>(n), SQLITE_TRANSIENT);
}

void Date(sqlite3_context* c, int, sqlite3_value**) { LocalNow(c, "%Y-%m-%d"); }
void Now(sqlite3_context* c, int, sqlite3_value**) { LocalNow(c, "%Y-%m-%d %H:%M:%S"); }
void Time(sqlite3_context* c, int, sqlite3_value**) { LocalNow(c, "%H:%M:%S"); }

// --- date parts -----------------------------------------------------------------------------

template <int (*Part)(const DateParts&)>
void DatePartOf(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return sqlite3_result_null(c);
    auto p = DateOf(v[0]);
    if (!p) return Error(c, "The value is not a date: " + TextOf(v[0]));
    sqlite3_result_int(c, Part(*p));
}
int YearOf(const DateParts& p) { return p.year; }
int MonthOf(const DateParts& p) { return p.month; }
int DayOf(const DateParts& p) { return p.day; }
int HourOf(const DateParts& p) { return p.hour; }
int MinuteOf(const DateParts& p) { return p.minute; }
int SecondOf(const DateParts& p) { return p.second; }

int FirstDay(int argc, sqlite3_value** v, int at) {
    if (argc <= at || IsNull(v[at])) return 1;
    int d = sqlite3_value_int(v[at]);
    return d < 1 || d > 7 ? 1 : d;
}

void Weekday(sqlite3_context* c, int argc, sqlite3_value** v) {
    if (IsNull(v[0])) return sqlite3_result_null(c);
    auto p = DateOf(v[0]);
    if (!p) return Error(c, "The value is not a date: " + TextOf(v[0]));
    int first = FirstDay(argc, v, 1);
    sqlite3_result_int(c, (DayOfWeek(*p) - first + 7) % 7 + 1);
}

int WeekOfYear(const DateParts& p, int first) {
    DateParts jan1 = p;
    jan1.month = 1;
    jan1.day = 1;
    int offset = (DayOfWeek(jan1) - first + 7) % 7;  // days of week 1 before 1 January
    return static_cast<int>((DayNumber(p) - DayNumber(jan1) + offset) / 7) + 1;
}

void DatePart(sqlite3_context* c, int argc, sqlite3_value** v) {
    if (IsNull(v[0]) || IsNull(v[1])) return sqlite3_result_null(c);
    auto p = DateOf(v[1]);
    if (!p) return Error(c, "The value is not a date: " + TextOf(v[1]));
    std::string i = Lowered(TextOf(v[0]));
    int first = FirstDay(argc, v, 2);
    int r;
    if (i == "yyyy") r = p->year;
    else if (i == "q") r = (p->month - 1) / 3 + 1;
    else if (i == "m") r = p->month;
    else if (i == "y") r = static_cast<int>(DayNumber(*p) - platform::DaysFromCivil(p->year, 1, 1)) + 1;
    else if (i == "d") r = p->day;
    else if (i == "w") r = (DayOfWeek(*p) - first + 7) % 7 + 1;
    else if (i == "ww") r = WeekOfYear(*p, first);
    else if (i == "h") r = p->hour;
    else if (i == "n") r = p->minute;
    else if (i == "s") r = p->second;
    else return Error(c, "DatePart does not know the interval '" + TextOf(v[0]) + "'.");
    sqlite3_result_int(c, r);
}

void DateAdd(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0]) || IsNull(v[1]) || IsNull(v[2])) return sqlite3_result_null(c);
    auto p = DateOf(v[2]);
    if (!p) return Error(c, "The value is not a date: " + TextOf(v[2]));
    auto n = NumberOf(v[1]);
    if (!n) return Error(c, "DateAdd takes a number of intervals.");
    long long k = static_cast<long long>(std::trunc(*n));
    std::string i = Lowered(TextOf(v[0]));
    if (i == "yyyy") return ResultDate(c, AddMonths(*p, 12 * k));
    if (i == "q") return ResultDate(c, AddMonths(*p, 3 * k));
    if (i == "m") return ResultDate(c, AddMonths(*p, k));
    long long seconds;
    if (i == "d" || i == "y" || i == "w") seconds = k * 86400;
    else if (i == "ww") seconds = k * 7 * 86400;
    else if (i == "h") seconds = k * 3600;
    else if (i == "n") seconds = k * 60;
    else if (i == "s") seconds = k;
    else return Error(c, "DateAdd does not know the interval '" + TextOf(v[0]) + "'.");
    ResultDate(c, FromSeconds(SecondNumber(*p) + seconds));
}

long long FloorDiv(long long a, long long b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

void DateDiff(sqlite3_context* c, int argc, sqlite3_value** v) {
    if (IsNull(v[0]) || IsNull(v[1]) || IsNull(v[2])) return sqlite3_result_null(c);
    auto a = DateOf(v[1]);
    auto b = DateOf(v[2]);
    if (!a || !b) return Error(c, "The value is not a date: " + TextOf(a ? v[2] : v[1]));
    std::string i = Lowered(TextOf(v[0]));
    long long r;
    if (i == "yyyy") r = b->year - a->year;
    else if (i == "q") r = (b->year * 4LL + (b->month - 1) / 3) - (a->year * 4LL + (a->month - 1) / 3);
    else if (i == "m") r = (b->year * 12LL + b->month) - (a->year * 12LL + a->month);
    else if (i == "d" || i == "y") r = DayNumber(*b) - DayNumber(*a);
    else if (i == "w") r = (DayNumber(*b) - DayNumber(*a)) / 7;
    else if (i == "ww") {
        // Week boundaries (first day of week, Sunday unless given) crossed.
        int first = FirstDay(argc, v, 3);
        long long shift = 4 - (first - 1);  // day number of a first-day-of-week when 0
        r = FloorDiv(DayNumber(*b) + shift, 7) - FloorDiv(DayNumber(*a) + shift, 7);
    } else if (i == "h") r = FloorDiv(SecondNumber(*b), 3600) - FloorDiv(SecondNumber(*a), 3600);
    else if (i == "n") r = FloorDiv(SecondNumber(*b), 60) - FloorDiv(SecondNumber(*a), 60);
    else if (i == "s") r = SecondNumber(*b) - SecondNumber(*a);
    else return Error(c, "DateDiff does not know the interval '" + TextOf(v[0]) + "'.");
    sqlite3_result_int64(c, r);
}

void DateSerial(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0]) || IsNull(v[1]) || IsNull(v[2])) return sqlite3_result_null(c);
    long long y = sqlite3_value_int64(v[0]), m = sqlite3_value_int64(v[1]), d = sqlite3_value_int64(v[2]);
    if (y >= 0 && y < 100) y = platform::WindowedYear(static_cast<int>(y));
    DateParts p;
    p.year = static_cast<int>(y);
    p.month = 1;
    p.day = 1;
    p = AddMonths(p, m - 1);
    long long day = DayNumber(p) + d - 1;
    DateParts q;
    const platform::CivilDate civil = platform::CivilFromDays(day);
    q.year = civil.year, q.month = civil.month, q.day = civil.day;
    q.hour = q.minute = q.second = 0;
    ResultDate(c, q);
}

void CDate(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return sqlite3_result_null(c);
    auto p = DateOf(v[0]);
    if (!p) return Error(c, "The value is not a date: " + TextOf(v[0]));
    ResultText(c, FormatIsoDateTime(*p));
}

// --- logic ----------------------------------------------------------------------------------

void IIf(sqlite3_context* c, int, sqlite3_value** v) { sqlite3_result_value(c, Truth(v[0]) ? v[1] : v[2]); }

void Nz(sqlite3_context* c, int argc, sqlite3_value** v) {
    if (!IsNull(v[0])) return sqlite3_result_value(c, v[0]);
    if (argc > 1) return sqlite3_result_value(c, v[1]);
    sqlite3_result_text(c, "", 0, SQLITE_STATIC);
}

void IsNullFn(sqlite3_context* c, int, sqlite3_value** v) { sqlite3_result_int(c, IsNull(v[0]) ? -1 : 0); }

// a & b: text concatenation where NULL counts as empty text; NULL only when every part is.
void Concat(sqlite3_context* c, int argc, sqlite3_value** v) {
    std::string out;
    bool any = false;
    for (int i = 0; i < argc; ++i) {
        if (IsNull(v[i])) continue;
        any = true;
        if (sqlite3_value_type(v[i]) == SQLITE_FLOAT) out += NumberText(sqlite3_value_double(v[i]));
        else out += TextOf(v[i]);
    }
    if (!any) return sqlite3_result_null(c);
    ResultText(c, out);
}

// --- text -----------------------------------------------------------------------------------

std::string ValueText(sqlite3_value* v) {
    if (sqlite3_value_type(v) == SQLITE_FLOAT) return NumberText(sqlite3_value_double(v));
    return TextOf(v);
}

void Len(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return sqlite3_result_null(c);
    sqlite3_result_int64(c, static_cast<long long>(Decode(ValueText(v[0])).size()));
}

bool CountArg(sqlite3_context* c, sqlite3_value* v, long long& n, const char* what) {
    n = sqlite3_value_int64(v);
    if (n < 0) {
        Error(c, std::string(what) + " takes a length of zero or more.");
        return false;
    }
    return true;
}

void Left(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0]) || IsNull(v[1])) return sqlite3_result_null(c);
    long long n;
    if (!CountArg(c, v[1], n, "Left")) return;
    std::u32string s = Decode(ValueText(v[0]));
    ResultText(c,
               Encode(s.substr(0, static_cast<std::size_t>(std::min<long long>(n, static_cast<long long>(s.size()))))));
}

void Right(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0]) || IsNull(v[1])) return sqlite3_result_null(c);
    long long n;
    if (!CountArg(c, v[1], n, "Right")) return;
    std::u32string s = Decode(ValueText(v[0]));
    std::size_t k = static_cast<std::size_t>(std::min<long long>(n, static_cast<long long>(s.size())));
    ResultText(c, Encode(s.substr(s.size() - k)));
}

void Mid(sqlite3_context* c, int argc, sqlite3_value** v) {
    if (IsNull(v[0]) || IsNull(v[1]) || (argc > 2 && IsNull(v[2]))) return sqlite3_result_null(c);
    long long start = sqlite3_value_int64(v[1]);
    if (start < 1) return Error(c, "Mid takes a start of 1 or more.");
    long long n = -1;
    if (argc > 2 && !CountArg(c, v[2], n, "Mid")) return;
    std::u32string s = Decode(ValueText(v[0]));
    if (start > static_cast<long long>(s.size())) return sqlite3_result_text(c, "", 0, SQLITE_STATIC);
    std::size_t from = static_cast<std::size_t>(start - 1);
    ResultText(c, Encode(n < 0 ? s.substr(from) : s.substr(from, static_cast<std::size_t>(n))));
}

// Text compared without case meets as names do: every code point simply case-folded.
std::u32string Folded(std::u32string s) {
    for (char32_t& ch : s) ch = platform::FoldCase(ch);
    return s;
}

// InStr([start,] s1, s2 [, compare]): 1-based; text comparison ignores case unless compare is 0.
void InStr(sqlite3_context* c, int argc, sqlite3_value** v) {
    int at = 0;
    long long start = 1;
    bool explicitStart = argc >= 3;
    if (explicitStart) {
        if (IsNull(v[0])) return sqlite3_result_null(c);
        start = sqlite3_value_int64(v[0]);
        if (start < 1) return Error(c, "InStr takes a start of 1 or more.");
        at = 1;
    }
    if (IsNull(v[at]) || IsNull(v[at + 1])) return sqlite3_result_null(c);
    bool binary = argc == 4 && !IsNull(v[3]) && sqlite3_value_int(v[3]) == 0;
    std::u32string hay = Decode(ValueText(v[at])), needle = Decode(ValueText(v[at + 1]));
    if (!binary) {
        hay = Folded(hay);
        needle = Folded(needle);
    }
    if (start > static_cast<long long>(hay.size()) && !(needle.empty() && start == 1)) return sqlite3_result_int(c, 0);
    if (needle.empty()) return sqlite3_result_int64(c, start);
    std::size_t p = hay.find(needle, static_cast<std::size_t>(start - 1));
    sqlite3_result_int64(c, p == std::u32string::npos ? 0 : static_cast<long long>(p) + 1);
}

void UCase(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return sqlite3_result_null(c);
    std::u32string s = Decode(ValueText(v[0]));
    for (char32_t& ch : s) ch = Upper(ch);
    ResultText(c, Encode(s));
}

void LCase(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return sqlite3_result_null(c);
    std::u32string s = Decode(ValueText(v[0]));
    for (char32_t& ch : s) ch = Lower(ch);
    ResultText(c, Encode(s));
}

void Space(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return sqlite3_result_null(c);
    long long n;
    if (!CountArg(c, v[0], n, "Space")) return;
    ResultText(c, std::string(static_cast<std::size_t>(n), ' '));
}

void String(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0]) || IsNull(v[1])) return sqlite3_result_null(c);
    long long n;
    if (!CountArg(c, v[0], n, "String")) return;
    std::u32string unit;
    if (sqlite3_value_type(v[1]) == SQLITE_TEXT) {
        std::u32string s = Decode(TextOf(v[1]));
        if (s.empty()) return Error(c, "String takes a character to repeat.");
        unit = s.substr(0, 1);
    } else {
        unit = std::u32string(1, static_cast<char32_t>(sqlite3_value_int(v[1]) & 0xFFFF));
    }
    std::u32string out;
    for (long long i = 0; i < n; ++i) out += unit;
    ResultText(c, Encode(out));
}

void StrComp(sqlite3_context* c, int argc, sqlite3_value** v) {
    if (IsNull(v[0]) || IsNull(v[1])) return sqlite3_result_null(c);
    bool binary = argc == 3 && !IsNull(v[2]) && sqlite3_value_int(v[2]) == 0;
    const std::string a = ValueText(v[0]), b = ValueText(v[1]);
    const int r = binary ? Decode(a).compare(Decode(b)) : platform::CompareNoCase(a, b);
    sqlite3_result_int(c, r < 0 ? -1 : r > 0 ? 1 : 0);
}

// --- conversion -----------------------------------------------------------------------------

void ValFn(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return sqlite3_result_null(c);
    if (sqlite3_value_type(v[0]) == SQLITE_INTEGER) return sqlite3_result_int64(c, sqlite3_value_int64(v[0]));
    double d = sqlite3_value_type(v[0]) == SQLITE_FLOAT ? sqlite3_value_double(v[0]) : Val(TextOf(v[0]));
    if (d == std::floor(d) && std::fabs(d) < 9e15) return sqlite3_result_int64(c, static_cast<long long>(d));
    sqlite3_result_double(c, d);
}

void Str(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return sqlite3_result_null(c);
    auto n = NumberOf(v[0]);
    if (!n) return Error(c, "Str takes a number.");
    std::string s = NumberText(*n);
    ResultText(c, *n >= 0 ? " " + s : s);
}

void CStr(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return Error(c, "Invalid use of Null: CStr of a NULL value.");
    ResultText(c, ValueText(v[0]));
}

// A number for the C... conversions: numbers, numeric text, True/False text.
std::optional<double> Convertible(sqlite3_value* v) {
    if (auto n = NumberOf(v)) return n;
    std::string s = Lowered(TextOf(v));
    if (s == "true" || s == "yes") return -1.0;
    if (s == "false" || s == "no") return 0.0;
    return std::nullopt;
}

template <long long Min, long long Max>
void CInteger(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return Error(c, "Invalid use of Null: a NULL value has no number.");
    auto n = Convertible(v[0]);
    if (!n) return Error(c, "Type mismatch: '" + TextOf(v[0]) + "' is not a number.");
    double r = std::nearbyint(*n);  // halves to even, as the Windows conversions do
    if (r < static_cast<double>(Min) || r > static_cast<double>(Max))
        return Error(c, "Overflow: " + NumberText(*n) + " is out of range.");
    sqlite3_result_int64(c, static_cast<long long>(r));
}

void CDbl(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return Error(c, "Invalid use of Null: a NULL value has no number.");
    auto n = Convertible(v[0]);
    if (!n) return Error(c, "Type mismatch: '" + TextOf(v[0]) + "' is not a number.");
    sqlite3_result_double(c, *n);
}

void CCur(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return Error(c, "Invalid use of Null: a NULL value has no number.");
    auto n = Convertible(v[0]);
    if (!n) return Error(c, "Type mismatch: '" + TextOf(v[0]) + "' is not a number.");
    sqlite3_result_double(c, std::nearbyint(*n * 10000.0) / 10000.0);
}

void CBool(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return Error(c, "Invalid use of Null: a NULL value has no truth.");
    auto n = Convertible(v[0]);
    if (!n) return Error(c, "Type mismatch: '" + TextOf(v[0]) + "' is not a truth value.");
    sqlite3_result_int(c, *n != 0 ? -1 : 0);
}

template <double (*Op)(double)>
void Whole(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return sqlite3_result_null(c);
    if (sqlite3_value_type(v[0]) == SQLITE_INTEGER) return sqlite3_result_int64(c, sqlite3_value_int64(v[0]));
    auto n = NumberOf(v[0]);
    if (!n) return Error(c, "Type mismatch: '" + TextOf(v[0]) + "' is not a number.");
    sqlite3_result_double(c, Op(*n));
}
double Floor(double d) { return std::floor(d); }
double Trunc(double d) { return std::trunc(d); }

void Sgn(sqlite3_context* c, int, sqlite3_value** v) {
    if (IsNull(v[0])) return sqlite3_result_null(c);
    auto n = NumberOf(v[0]);
    if (!n) return Error(c, "Type mismatch: '" + TextOf(v[0]) + "' is not a number.");
    sqlite3_result_int(c, *n > 0 ? 1 : *n < 0 ? -1 : 0);
}

// Round(x [, places]): halves go to the even neighbour.
void Round(sqlite3_context* c, int argc, sqlite3_value** v) {
    if (IsNull(v[0]) || (argc > 1 && IsNull(v[1]))) return sqlite3_result_null(c);
    int places = argc > 1 ? sqlite3_value_int(v[1]) : 0;
    if (places < 0) return Error(c, "Round takes zero or more decimal places.");
    if (sqlite3_value_type(v[0]) == SQLITE_INTEGER) return sqlite3_result_int64(c, sqlite3_value_int64(v[0]));
    auto n = NumberOf(v[0]);
    if (!n) return Error(c, "Type mismatch: '" + TextOf(v[0]) + "' is not a number.");
    double scale = std::pow(10.0, places);
    sqlite3_result_double(c, std::nearbyint(*n * scale) / scale);
}

// --- Format ---------------------------------------------------------------------------------

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

std::string Two(int n) {
    char b[8];
    std::snprintf(b, sizeof b, "%02d", n);
    return b;
}

std::string FormatDate(const DateParts& p, const std::string& fmt) {
    std::string out;
    bool twelve = false;
    {
        std::string low = Lowered(fmt);
        twelve = low.find("am/pm") != std::string::npos;
    }
    bool afterHour = false;
    for (std::size_t i = 0; i < fmt.size();) {
        char ch = static_cast<char>(std::tolower(static_cast<unsigned char>(fmt[i])));
        std::size_t run = 1;
        while (i + run < fmt.size() && std::tolower(static_cast<unsigned char>(fmt[i + run])) == ch) ++run;
        if (ch == 'y') {
            out += run >= 3 ? std::to_string(p.year) : Two(p.year % 100);
        } else if (ch == 'm' && afterHour) {  // m right after an hour is minutes
            out += run >= 2 ? Two(p.minute) : std::to_string(p.minute);
            afterHour = false;
        } else if (ch == 'm') {
            if (run >= 4) out += kMonths[p.month - 1];
            else if (run == 3) out += std::string(kMonths[p.month - 1]).substr(0, 3);
            else out += run == 2 ? Two(p.month) : std::to_string(p.month);
        } else if (ch == 'd') {
            int dow = DayOfWeek(p) - 1;
            if (run >= 4) out += kDays[dow];
            else if (run == 3) out += std::string(kDays[dow]).substr(0, 3);
            else out += run == 2 ? Two(p.day) : std::to_string(p.day);
        } else if (ch == 'h') {
            int h = twelve ? (p.hour % 12 == 0 ? 12 : p.hour % 12) : p.hour;
            out += run >= 2 ? Two(h) : std::to_string(h);
            afterHour = true;
            i += run;
            continue;
        } else if (ch == 'n') {
            out += run >= 2 ? Two(p.minute) : std::to_string(p.minute);
        } else if (ch == 's') {
            out += run >= 2 ? Two(p.second) : std::to_string(p.second);
        } else if (ch == 'q') {
            out += std::to_string((p.month - 1) / 3 + 1);
        } else if (ch == 'a' && Lowered(fmt.substr(i, 5)) == "am/pm") {
            bool upper = std::isupper(static_cast<unsigned char>(fmt[i]));
            out += p.hour < 12 ? (upper ? "AM" : "am") : (upper ? "PM" : "pm");
            run = 5;
        } else if (fmt[i] == '\\' && i + 1 < fmt.size()) {
            out += fmt[i + 1];
            run = 2;
        } else {
            out.append(fmt, i, run);
        }
        if (ch != ' ' && ch != ':') afterHour = afterHour && (ch == 'h');
        i += run;
    }
    return out;
}

std::string Grouped(const std::string& digits) {
    std::string out;
    int n = static_cast<int>(digits.size());
    for (int i = 0; i < n; ++i) {
        if (i && (n - i) % 3 == 0) out += ',';
        out += digits[static_cast<std::size_t>(i)];
    }
    return out;
}

// Custom numeric formats: 0 and # digits, ',' thousands, '.' decimals, '%', literal text around.
std::string FormatNumber(double d, std::string fmt) {
    std::size_t semi = fmt.find(';');
    std::string negative;
    if (semi != std::string::npos) {
        negative = fmt.substr(semi + 1);
        std::size_t second = negative.find(';');
        if (second != std::string::npos) negative.resize(second);
        fmt.resize(semi);
        if (d < 0 && !negative.empty()) return FormatNumber(-d, negative);
    }
    std::size_t first = fmt.find_first_of("0#"), last = fmt.find_last_of("0#");
    if (first == std::string::npos) return fmt;
    std::string prefix = fmt.substr(0, first), suffix = fmt.substr(last + 1),
                body = fmt.substr(first, last - first + 1);
    bool percent = fmt.find('%') != std::string::npos;
    if (percent) d *= 100;
    bool grouping = body.find(',') != std::string::npos;
    std::size_t dot = body.find('.');
    std::string whole = dot == std::string::npos ? body : body.substr(0, dot);
    std::string frac = dot == std::string::npos ? "" : body.substr(dot + 1);
    int minWhole = static_cast<int>(std::count(whole.begin(), whole.end(), '0'));
    int minFrac = static_cast<int>(std::count(frac.begin(), frac.end(), '0'));
    int maxFrac =
        static_cast<int>(std::count(frac.begin(), frac.end(), '0') + std::count(frac.begin(), frac.end(), '#'));
    double scale = std::pow(10.0, maxFrac);
    double rounded = std::round(std::fabs(d) * scale) / scale;  // formats round halves away from zero
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", maxFrac, rounded);
    std::string text = buf;
    std::string intPart = text.substr(0, text.find('.'));
    std::string fracPart = maxFrac ? text.substr(text.find('.') + 1) : "";
    while (static_cast<int>(fracPart.size()) > minFrac && !fracPart.empty() && fracPart.back() == '0')
        fracPart.pop_back();
    if (intPart == "0" && minWhole == 0) intPart.clear();
    while (static_cast<int>(intPart.size()) < minWhole) intPart = "0" + intPart;
    if (grouping) intPart = Grouped(intPart);
    std::string out = intPart;
    if (dot != std::string::npos && (!fracPart.empty() || minFrac > 0)) out += "." + fracPart;
    bool isNegative = d < 0 && rounded != 0;
    return (isNegative ? "-" : "") + prefix + out + suffix;
}

bool LooksLikeDateFormat(const std::string& low) {
    static const char* const names[] = {"general date", "long date",   "medium date", "short date",
                                        "long time",    "medium time", "short time"};
    for (const char* n : names)
        if (low == n) return true;
    return low.find_first_of("ydhns") != std::string::npos ||
           (low.find('m') != std::string::npos && low.find_first_of("0#") == std::string::npos);
}

void Format(sqlite3_context* c, int argc, sqlite3_value** v) {
    if (IsNull(v[0])) return sqlite3_result_null(c);
    std::string fmt = argc > 1 && !IsNull(v[1]) ? TextOf(v[1]) : "";
    std::string low = Lowered(fmt);
    auto number = NumberOf(v[0]);
    if (fmt.empty()) return ResultText(c, ValueText(v[0]));
    static const char* const numberNames[] = {"general number", "currency", "fixed",      "standard", "percent",
                                              "scientific",     "yes/no",   "true/false", "on/off"};
    bool namedNumber = false;
    for (const char* n : numberNames) namedNumber = namedNumber || low == n;
    if (namedNumber && number) {
        double d = *number;
        if (low == "general number") return ResultText(c, NumberText(d));
        if (low == "currency")
            return ResultText(c, d < 0 ? "(" + FormatNumber(-d, "$#,##0.00") + ")" : FormatNumber(d, "$#,##0.00"));
        if (low == "fixed") return ResultText(c, FormatNumber(d, "0.00"));
        if (low == "standard") return ResultText(c, FormatNumber(d, "#,##0.00"));
        if (low == "percent") return ResultText(c, FormatNumber(d, "0.00%"));
        if (low == "scientific") {
            char b[40];
            std::snprintf(b, sizeof b, "%.2E", d);
            return ResultText(c, b);
        }
        if (low == "yes/no") return ResultText(c, d != 0 ? "Yes" : "No");
        if (low == "true/false") return ResultText(c, d != 0 ? "True" : "False");
        if (low == "on/off") return ResultText(c, d != 0 ? "On" : "Off");
    }
    if (LooksLikeDateFormat(low)) {
        auto p = DateOf(v[0]);
        if (!p) return ResultText(c, ValueText(v[0]));
        std::string pattern = fmt;
        if (low == "general date") pattern = p->hour || p->minute || p->second ? "m/d/yyyy h:nn:ss AM/PM" : "m/d/yyyy";
        else if (low == "long date") pattern = "dddd, mmmm d, yyyy";
        else if (low == "medium date") pattern = "dd-mmm-yy";
        else if (low == "short date") pattern = "m/d/yyyy";
        else if (low == "long time") pattern = "h:nn:ss AM/PM";
        else if (low == "medium time") pattern = "hh:nn AM/PM";
        else if (low == "short time") pattern = "hh:nn";
        return ResultText(c, FormatDate(*p, pattern));
    }
    if (!number) return ResultText(c, ValueText(v[0]));
    ResultText(c, FormatNumber(*number, fmt));
}

struct Registration {
    const char* name;
    int args;
    void (*fn)(sqlite3_context*, int, sqlite3_value**);
    bool deterministic;
};

}  // namespace

void RegisterFunctions(sqlite3* db) {
    // Date(), Now() and Time() are registered with no arguments only: SQLite's own date(X, ...)
    // and time(X, ...) keep their meaning when called with arguments. Where SQLite's function
    // of the same name and arity already behaves as the Windows one (abs, trim, ltrim, rtrim,
    // replace), SQLite's stays. Names are matched without regard to case.
    static const Registration functions[] = {
        {"date", 0, Date, false},
        {"now", 0, Now, false},
        {"time", 0, Time, false},
        {"year", 1, DatePartOf<YearOf>, true},
        {"month", 1, DatePartOf<MonthOf>, true},
        {"day", 1, DatePartOf<DayOf>, true},
        {"hour", 1, DatePartOf<HourOf>, true},
        {"minute", 1, DatePartOf<MinuteOf>, true},
        {"second", 1, DatePartOf<SecondOf>, true},
        {"weekday", 1, Weekday, true},
        {"weekday", 2, Weekday, true},
        {"dateadd", 3, DateAdd, true},
        {"datediff", 3, DateDiff, true},
        {"datediff", 4, DateDiff, true},
        {"datepart", 2, DatePart, true},
        {"datepart", 3, DatePart, true},
        {"dateserial", 3, DateSerial, true},
        {"cdate", 1, CDate, true},
        {"iif", 3, IIf, true},
        {"nz", 1, Nz, true},
        {"nz", 2, Nz, true},
        {"isnull", 1, IsNullFn, true},
        {"orv_isnull", 1, IsNullFn, true},
        // orv_ names: the rewrite's spellings of '&' and of functions whose names SQLite
        // reads as keywords (IsNull, Left, Right).
        {"orv_concat", -1, Concat, true},
        {"len", 1, Len, true},
        {"left", 2, Left, true},
        {"right", 2, Right, true},
        {"orv_left", 2, Left, true},
        {"orv_right", 2, Right, true},
        {"mid", 2, Mid, true},
        {"mid", 3, Mid, true},
        {"instr", 2, InStr, true},
        {"instr", 3, InStr, true},
        {"instr", 4, InStr, true},
        {"ucase", 1, UCase, true},
        {"lcase", 1, LCase, true},
        {"space", 1, Space, true},
        {"string", 2, String, true},
        {"strcomp", 2, StrComp, true},
        {"strcomp", 3, StrComp, true},
        {"val", 1, ValFn, true},
        {"str", 1, Str, true},
        {"cstr", 1, CStr, true},
        {"cint", 1, CInteger<-32768, 32767>, true},
        {"clng", 1, CInteger<-2147483648LL, 2147483647LL>, true},
        {"cdbl", 1, CDbl, true},
        {"ccur", 1, CCur, true},
        {"cbool", 1, CBool, true},
        {"int", 1, Whole<Floor>, true},
        {"fix", 1, Whole<Trunc>, true},
        {"sgn", 1, Sgn, true},
        {"round", 1, Round, true},
        {"round", 2, Round, true},
        {"format", 1, Format, true},
        {"format", 2, Format, true},
    };
    for (const Registration& r : functions) {
        int flags = SQLITE_UTF8 | (r.deterministic ? SQLITE_DETERMINISTIC : 0);
        RegisterGuardedFunction(db, r.name, r.args, flags, r.fn);
    }
}

}  // namespace orv::engine
