// The OLE DB conversion library (IDataConvert) and the conversions behind it.
//
// A conversion decodes the source into a Value (an exact decimal, a double, text, a date,
// bytes, ...), then encodes that Value as the destination type. Each destination asks the
// Value for the one form it needs (ToDecimal, ToDouble, ToText, ToMoment, ...), so every
// rule (range checks, rounding, text forms) lives in one place whatever the source.
#include "engine/convert.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "engine/common/decimal.h"
#include "engine/common/number_text.h"
#include "engine/sql/datetime.h"
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/calendar.h"
#include "platform/com_object.h"
#include "platform/guid_text.h"
#include "platform/oleauto.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

constexpr u128 kU128Max = ~static_cast<u128>(0);
constexpr std::size_t kWhole = std::string::npos;  // a text that may not be cut at all

enum class Outcome { Ok, Truncated, Null, Overflow, SignMismatch, CantConvert, Unsupported, OutOfMemory, InvalidArg };

// Consumer buffers put values at any offset, so every access goes through memcpy.
template <class T>
T Load(const void* p) {
    T value;
    std::memcpy(static_cast<void*>(&value), p, sizeof value);
    return value;
}
template <class T>
void Store(void* p, const T& value) {
    std::memcpy(p, static_cast<const void*>(&value), sizeof value);
}

// ---- Types -------------------------------------------------------------------------------

constexpr DBTYPE kByRef = DBTYPE_BYREF;
constexpr DBTYPE kOtherModifiers = DBTYPE_ARRAY | DBTYPE_VECTOR | DBTYPE_RESERVED;

enum class Family { None, Null, Number, Bool, Text, Date, Guid, Bytes, Variant, Error, Interface, Chapter };

Family FamilyOf(DBTYPE type) {
    if (platform::IsNumericType(type)) return Family::Number;
    switch (type) {
    case DBTYPE_EMPTY:
    case DBTYPE_NULL: return Family::Null;
    case DBTYPE_BOOL: return Family::Bool;
    case DBTYPE_WSTR:
    case DBTYPE_STR:
    case DBTYPE_BSTR: return Family::Text;
    case DBTYPE_DATE:
    case DBTYPE_DBDATE:
    case DBTYPE_DBTIME:
    case DBTYPE_DBTIMESTAMP:
    case DBTYPE_FILETIME: return Family::Date;
    case DBTYPE_GUID: return Family::Guid;
    case DBTYPE_BYTES: return Family::Bytes;
    case DBTYPE_VARIANT: return Family::Variant;
    case DBTYPE_ERROR: return Family::Error;
    case DBTYPE_IUNKNOWN:
    case DBTYPE_IDISPATCH: return Family::Interface;
    case DBTYPE_HCHAPTER: return Family::Chapter;
    default: return Family::None;
    }
}

bool IsVariableLength(DBTYPE type) {
    return type == DBTYPE_WSTR || type == DBTYPE_STR || type == DBTYPE_BYTES || type == DBTYPE_VARNUMERIC;
}

using platform::FixedTypeSize;

// Types whose conversion to themselves is a plain copy of their bytes.
bool CopiesAsBytes(DBTYPE type) {
    if (platform::IsIntegerOrRealType(type)) return true;
    switch (type) {
    case DBTYPE_CY:
    case DBTYPE_DECIMAL:
    case DBTYPE_BOOL:
    case DBTYPE_DATE:
    case DBTYPE_FILETIME:
    case DBTYPE_GUID:
    case DBTYPE_ERROR:
    case DBTYPE_HCHAPTER: return true;
    default: return false;
    }
}

bool PairSupported(DBTYPE s, DBTYPE d) {
    const Family fs = FamilyOf(s), fd = FamilyOf(d);
    if (fs == Family::None || fd == Family::None || fd == Family::Null) return false;
    if (fs == Family::Null || s == d) return true;
    auto among = [](Family f, std::initializer_list<Family> set) {
        return std::find(set.begin(), set.end(), f) != set.end();
    };
    using F = Family;
    if (fd == F::Variant) return among(fs, {F::Number, F::Bool, F::Text, F::Date, F::Guid, F::Error, F::Interface});
    if (fs == F::Variant)
        return among(fd, {F::Number, F::Bool, F::Text, F::Date, F::Guid, F::Bytes, F::Error, F::Interface});
    if (fd == F::Text) return among(fs, {F::Number, F::Bool, F::Text, F::Date, F::Guid, F::Bytes});
    if (fs == F::Text) return among(fd, {F::Number, F::Bool, F::Date, F::Guid, F::Bytes});
    switch (fs) {
    case F::Number: return fd == F::Number || fd == F::Bool || d == DBTYPE_DATE;
    case F::Bool: return fd == F::Number || fd == F::Bool;
    case F::Date:
        if (fd == F::Date)
            return !((s == DBTYPE_DBDATE && d == DBTYPE_DBTIME) || (s == DBTYPE_DBTIME && d == DBTYPE_DBDATE));
        return s == DBTYPE_DATE && fd == F::Number;
    case F::Guid: return fd == F::Bytes;
    case F::Bytes: return fd == F::Guid;
    case F::Interface: return d == DBTYPE_IUNKNOWN;
    default: return false;
    }
}

// ---- Exact decimals --------------------------------------------------------------------------

// Decimal, Rescale and DecimalText live in engine/common/decimal.h; here a rescale that
// does not fit is an overflow outcome.
Outcome Rescaled(Decimal& d, int scale) { return Rescale(d, scale) ? Outcome::Ok : Outcome::Overflow; }

// ---- Number text ----------------------------------------------------------------------------

Outcome DecimalFromNumber(const NumberText& n, Decimal& d) {
    if (n.special == NumberText::NaN) return Outcome::CantConvert;
    if (n.special == NumberText::Infinity) return Outcome::Overflow;
    d = Decimal{};
    std::string_view digits = n.digits;
    long long exponent = n.exponent;
    // No exact type holds more than 38 digits: surplus fraction digits are cut off.
    if (digits.size() > 38 && exponent < 0) {
        const auto cut = std::min<long long>(static_cast<long long>(digits.size()) - 38, -exponent);
        digits.remove_suffix(static_cast<std::size_t>(cut));
        exponent += cut;
    }
    if (digits.empty()) {
        d.scale = static_cast<int>(std::clamp<long long>(-exponent, 0, 255));
        return Outcome::Ok;
    }
    for (char c : digits) {
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (d.magnitude > (kU128Max - digit) / 10) return Outcome::Overflow;
        d.magnitude = d.magnitude * 10 + digit;
    }
    if (exponent > 1000) return Outcome::Overflow;
    d.negative = n.negative;
    d.scale = static_cast<int>(-exponent);
    if (d.scale > 255) return Rescaled(d, 255);
    return Outcome::Ok;
}

// The ASCII form from_chars reads: optional minus, digits, exponent.
std::string NumberAscii(bool negative, std::string_view digits, long long exponent) {
    std::string s;
    if (negative) s += '-';
    if (digits.empty()) {
        s += '0';
    } else {
        s += digits;
    }
    s += 'e';
    s += std::to_string(exponent);
    return s;
}

template <class Real>
Outcome RealFromAscii(const std::string& ascii, std::size_t significant, long long exponent, Real& out) {
    Real value{};
    auto [end, error] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    (void)end;
    if (error == std::errc::result_out_of_range) {
        // Too large, or so small that it is zero.
        if (significant && static_cast<long long>(significant) + exponent > 0) return Outcome::Overflow;
        value = ascii[0] == '-' ? -Real(0) : Real(0);
    } else if (error != std::errc()) {
        return Outcome::CantConvert;
    }
    out = value;
    return Outcome::Ok;
}

template <class Real>
Outcome RealFromNumber(const NumberText& n, Real& out) {
    if (n.special == NumberText::NaN) {
        out = std::numeric_limits<Real>::quiet_NaN();
        return Outcome::Ok;
    }
    if (n.special == NumberText::Infinity) {
        out = n.negative ? -std::numeric_limits<Real>::infinity() : std::numeric_limits<Real>::infinity();
        return Outcome::Ok;
    }
    return RealFromAscii(NumberAscii(n.negative, n.digits, n.exponent), n.digits.size(), n.exponent, out);
}

template <class Real>
Outcome RealFromDecimal(const Decimal& d, Real& out) {
    const std::string digits = d.magnitude ? U128Text(d.magnitude) : std::string();
    return RealFromAscii(NumberAscii(d.negative, digits, -static_cast<long long>(d.scale)), digits.size(),
                         -static_cast<long long>(d.scale), out);
}

// A floating-point value as the decimal its text shows (15 significant digits, 7 for R4),
// or exactly where every value of its magnitude is whole.
Outcome DecimalFromReal(double x, bool single, Decimal& d) {
    if (std::isnan(x)) return Outcome::CantConvert;
    if (std::isinf(x)) return Outcome::Overflow;
    d = Decimal{};
    const double magnitude = std::fabs(x);
    if (magnitude >= (single ? 1e7 : 1e15)) {
        if (magnitude >= 0x1p127) return Outcome::Overflow;
        d.negative = x < 0;
        d.magnitude = static_cast<u128>(std::trunc(magnitude));
        return Outcome::Ok;
    }
    char buf[64];
    const auto result = single
                            ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(x), std::chars_format::general, 7)
                            : std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, 15);
    NumberText n;
    if (!ParseNumber(std::string_view(buf, static_cast<std::size_t>(result.ptr - buf)), n)) return Outcome::CantConvert;
    return DecimalFromNumber(n, d);
}

// Text of a double: up to 15 (7) significant digits, as printf's %G shows them.
std::string RealText(double x, bool single, std::size_t& mandatory) {
    if (std::isnan(x)) {
        mandatory = kWhole;
        return "NaN";
    }
    if (std::isinf(x)) {
        mandatory = kWhole;
        return x < 0 ? "-Infinity" : "Infinity";
    }
    if (x == 0) x = 0;  // no "-0"
    char buf[64];
    const auto result = single
                            ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(x), std::chars_format::general, 7)
                            : std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, 15);
    std::string s(buf, static_cast<std::size_t>(result.ptr - buf));
    const std::size_t e = s.find('e');
    if (e != std::string::npos) {
        s[e] = 'E';
        mandatory = kWhole;
    } else {
        const std::size_t point = s.find('.');
        mandatory = point == std::string::npos ? kWhole : point;
    }
    return s;
}

// ---- Dates -------------------------------------------------------------------------------

constexpr long long kDateEpoch = platform::kOleDateEpochDay;
constexpr long long kFileTimeEpoch = platform::kFileTimeEpochDay;
constexpr long long kTicksPerSecond = 10'000'000;
constexpr long long kTicksPerDay = 86400 * kTicksPerSecond;
// The DATE values of 1 January 100 00:00:00 and of the day after 31 December 9999.
constexpr double kFirstDate = -657435.0;  // exclusive: -657434.999 is 1 January 100, 23:59
constexpr double kEndDate = 2958466.0;

// A day a DBDATE or DBTIMESTAMP may name: years 1 to 9999.
bool ValidDate(int y, int m, int d) { return y >= 1 && y <= 9999 && platform::IsCalendarDate(y, m, d); }
bool ValidTime(int h, int mi, int s) { return h >= 0 && h <= 23 && mi >= 0 && mi <= 59 && s >= 0 && s <= 59; }

// A date and time of day as fields. A date alone is at midnight; a time alone is on 30
// December 1899, day 0 of a DATE.
struct Moment {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0;
    std::uint32_t nanos = 0;
    bool hasDate = true, hasTime = true;
};

Moment MomentFromDays(long long daysFrom1970, long long secondOfDay, std::uint32_t nanos) {
    Moment m;
    const platform::CivilDate civil = platform::CivilFromDays(daysFrom1970);
    m.year = civil.year, m.month = civil.month, m.day = civil.day;
    m.hour = static_cast<int>(secondOfDay / 3600);
    m.minute = static_cast<int>(secondOfDay / 60 % 60);
    m.second = static_cast<int>(secondOfDay % 60);
    m.nanos = nanos;
    return m;
}

// A DATE as fields, to the second (as Automation splits it) or to the millisecond.
Outcome MomentFromDate(double date, bool milliseconds, Moment& m) {
    if (std::isnan(date)) return Outcome::CantConvert;
    if (!(date > kFirstDate && date < kEndDate)) return Outcome::Overflow;
    // A time within the last second of the range would round up past it: it stays the last
    // second, so that every DATE the conversions make can be written out again.
    constexpr double kLastSecond = kEndDate - 1.0 / 86400.0;
    if (date > kLastSecond) date = kLastSecond;
    if (!milliseconds) {
        SYSTEMTIME st{};
        if (!VariantTimeToSystemTime(date, &st)) return Outcome::Overflow;
        m = Moment{};
        m.year = st.wYear;
        m.month = st.wMonth;
        m.day = st.wDay;
        m.hour = st.wHour;
        m.minute = st.wMinute;
        m.second = st.wSecond;
        return Outcome::Ok;
    }
    // The integer part counts days; the fraction is the time of day, forward from midnight
    // for negative dates too.
    const double day = std::trunc(date);
    long long ms = std::llround(std::fabs(date - day) * 86'400'000.0);
    long long days = static_cast<long long>(day) + kDateEpoch;
    if (ms >= 86'400'000) {
        ms -= 86'400'000;
        ++days;
    }
    m = MomentFromDays(days, ms / 1000, static_cast<std::uint32_t>(ms % 1000) * 1'000'000u);
    if (m.year > 9999) return Outcome::Overflow;
    return Outcome::Ok;
}

Outcome DateFromMoment(const Moment& m, double& date) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(m.hasDate ? m.year : 1899);
    st.wMonth = static_cast<WORD>(m.hasDate ? m.month : 12);
    st.wDay = static_cast<WORD>(m.hasDate ? m.day : 30);
    if (m.hasTime) {
        st.wHour = static_cast<WORD>(m.hour);
        st.wMinute = static_cast<WORD>(m.minute);
        st.wSecond = static_cast<WORD>(m.second);
    }
    if (m.hasDate && (m.year < 100 || m.year > 9999)) return Outcome::Overflow;
    double whole = 0;
    if (!SystemTimeToVariantTime(&st, &whole)) return Outcome::Overflow;
    if (m.hasTime && m.nanos) {
        // The fraction of a second goes the way the time of day goes: away from day 0 for
        // negative dates.
        const double fraction = m.nanos / 86'400e9;
        const bool negativeDay = platform::DaysFromCivil(st.wYear, st.wMonth, st.wDay) < kDateEpoch;
        whole = negativeDay ? whole - fraction : whole + fraction;
    }
    date = whole;
    return Outcome::Ok;
}

Outcome MomentFromFileTime(std::uint64_t ticks, Moment& m) {
    if (ticks > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return Outcome::CantConvert;
    const auto t = static_cast<long long>(ticks);
    const long long rest = t % kTicksPerDay;
    m = MomentFromDays(t / kTicksPerDay + kFileTimeEpoch, rest / kTicksPerSecond,
                       static_cast<std::uint32_t>(rest % kTicksPerSecond) * 100u);
    return Outcome::Ok;
}

Outcome FileTimeFromMoment(const Moment& m, std::uint64_t& ticks) {
    const int year = m.hasDate ? m.year : 1899;
    if (year < 1601) return Outcome::Overflow;
    const long long days =
        m.hasDate ? platform::DaysFromCivil(m.year, static_cast<unsigned>(m.month), static_cast<unsigned>(m.day))
                  : kDateEpoch;
    long long t = (days - kFileTimeEpoch) * kTicksPerDay;
    if (m.hasTime) t += (m.hour * 3600LL + m.minute * 60 + m.second) * kTicksPerSecond + m.nanos / 100;
    ticks = static_cast<std::uint64_t>(t);
    return Outcome::Ok;
}

// yyyy-mm-dd, hh:mm:ss and a fraction of a second without its trailing zeros.
void AppendDate(std::string& s, const Moment& m) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", m.year, m.month, m.day);
    s += buf;
}
void AppendTime(std::string& s, const Moment& m, bool fraction) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", m.hour, m.minute, m.second);
    s += buf;
    if (fraction && m.nanos) {
        std::snprintf(buf, sizeof buf, ".%09u", static_cast<unsigned>(m.nanos));
        std::string digits(buf);
        while (digits.back() == '0') digits.pop_back();
        s += digits;
    }
}

// Date text in the forms people write (engine/sql/datetime.h). It is ASCII: text with any
// other character is no date.
template <class Char>
bool ParseMoment(std::basic_string_view<Char> text, Moment& m) {
    text = platform::Trim(text);
    std::string narrow(text.size(), ' ');
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (static_cast<char32_t>(text[i]) >= 0x80) return false;
        narrow[i] = static_cast<char>(text[i]);
    }
    const std::optional<DateText> d = ReadDateText(narrow);
    if (!d) return false;
    m = Moment{};
    m.year = d->parts.year, m.month = d->parts.month, m.day = d->parts.day;
    m.hour = d->parts.hour, m.minute = d->parts.minute, m.second = d->parts.second;
    m.nanos = d->nanos;
    m.hasDate = d->hasDate;
    m.hasTime = d->hasTime;
    return true;
}

// ---- GUIDs and bytes -------------------------------------------------------------------

template <class Char>
bool ParseHex(std::basic_string_view<Char> s, std::string& out) {
    s = platform::Trim(s);
    if (s.size() % 2) return false;
    out.resize(s.size() / 2);
    for (std::size_t i = 0; i < s.size(); i += 2) {
        const int hi = platform::HexDigit(s[i]), lo = platform::HexDigit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i / 2] = static_cast<char>(hi * 16 + lo);
    }
    return true;
}

template <class Char>
bool ParseGuid(std::basic_string_view<Char> s, GUID& g) {
    s = platform::Trim(s);
    if (s.size() == platform::kGuidDigitsLength + 2 && s.front() == '{' && s.back() == '}')
        s = s.substr(1, platform::kGuidDigitsLength);
    return s.size() == platform::kGuidDigitsLength && platform::ReadGuidDigits(s.data(), g);
}

std::string GuidText(const GUID& g) {
    std::string s(platform::kGuidDigitsLength + 2, '{');
    platform::WriteGuidDigits(g, s.data() + 1, true);
    s.back() = '}';
    return s;
}

std::string HexText(const BYTE* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s(size * 2, '0');
    for (std::size_t i = 0; i < size; ++i) {
        s[2 * i] = kDigits[bytes[i] >> 4];
        s[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    return s;
}

// ---- Decoded values ----------------------------------------------------------------------

enum class Kind { Null, Exact, Real, Bool, Wide, Narrow, Bytes, Guid, Date, Moment, Error, Interface, Chapter };

// A decoded source. Views point into the caller's buffers (or `storage`), which outlive
// the conversion; a Value is never copied.
struct Value {
    Kind kind = Kind::Null;
    DBTYPE type = DBTYPE_NULL;  // what it came as (a VARIANT's content type): picks its text form
    Decimal dec;
    double real = 0;  // R4, R8, and a DATE
    bool truth = false;
    std::u16string_view wide;
    std::u16string ownedWide;
    std::string_view narrow;
    const BYTE* bytes = nullptr;
    std::size_t size = 0;
    GUID guid{};
    Moment moment;
    SCODE scode = 0;
    IUnknown* unknown = nullptr;
    HCHAPTER chapter = 0;
    bool empty = false;  // DBTYPE_EMPTY or VT_EMPTY, not NULL
    const VARIANT* variant = nullptr;  // a VARIANT source, copied whole to a VARIANT destination
    VARIANT storage{};

    Value() = default;
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
};

int NaturalPrecision(DBTYPE type) {
    switch (type) {
    case DBTYPE_I1:
    case DBTYPE_UI1: return 3;
    case DBTYPE_I2:
    case DBTYPE_UI2: return 5;
    case DBTYPE_I4:
    case DBTYPE_UI4: return 10;
    case DBTYPE_I8:
    case DBTYPE_CY: return 19;
    case DBTYPE_UI8: return 20;
    case DBTYPE_DECIMAL: return 29;
    default: return 0;
    }
}

void SetInteger(Value& v, bool negative, u128 magnitude) {
    v.kind = Kind::Exact;
    v.dec.negative = negative && magnitude;
    v.dec.magnitude = magnitude;
    v.dec.precision = NaturalPrecision(v.type);
}

template <class T>
void DecodeInteger(Value& v, const void* src) {
    const T x = Load<T>(src);
    if constexpr (std::is_signed_v<T>) {
        const auto wide = static_cast<long long>(x);
        SetInteger(v, wide < 0, wide < 0 ? static_cast<u128>(-static_cast<__int128>(wide)) : static_cast<u128>(wide));
    } else {
        SetInteger(v, false, static_cast<u128>(x));
    }
}

Outcome DecodeVariant(const void* src, Value& v, int depth);

// The steps of Decode, one per family of types: each reads `src` into `v` and returns the
// outcome, or nothing when `type` is not of its family.

std::optional<Outcome> DecodeNumber(DBTYPE type, const void* src, DBLENGTH length, Value& v) {
    switch (type) {
    case DBTYPE_I1: DecodeInteger<std::int8_t>(v, src); break;
    case DBTYPE_I2: DecodeInteger<std::int16_t>(v, src); break;
    case DBTYPE_I4: DecodeInteger<std::int32_t>(v, src); break;
    case DBTYPE_I8: DecodeInteger<std::int64_t>(v, src); break;
    case DBTYPE_UI1: DecodeInteger<std::uint8_t>(v, src); break;
    case DBTYPE_UI2: DecodeInteger<std::uint16_t>(v, src); break;
    case DBTYPE_UI4: DecodeInteger<std::uint32_t>(v, src); break;
    case DBTYPE_UI8: DecodeInteger<std::uint64_t>(v, src); break;
    case DBTYPE_CY:
        DecodeInteger<std::int64_t>(v, src);
        v.dec.scale = 4;
        break;
    case DBTYPE_R4:
        v.kind = Kind::Real;
        v.real = Load<float>(src);
        break;
    case DBTYPE_R8:
        v.kind = Kind::Real;
        v.real = Load<double>(src);
        break;
    case DBTYPE_DECIMAL: {
        const auto dec = Load<DECIMAL>(src);
        if (dec.scale > 28 || (dec.sign != 0 && dec.sign != DECIMAL_NEG)) return Outcome::CantConvert;
        SetInteger(v, dec.sign == DECIMAL_NEG, static_cast<u128>(dec.Hi32) << 64 | dec.Lo64);
        v.dec.scale = dec.scale;
        break;
    }
    case DBTYPE_NUMERIC: {
        const auto num = Load<DB_NUMERIC>(src);
        u128 magnitude = 0;
        for (int i = 15; i >= 0; --i) magnitude = magnitude << 8 | num.val[i];
        SetInteger(v, num.sign == 0, magnitude);
        v.dec.scale = num.scale;
        v.dec.precision = num.precision;
        break;
    }
    case DBTYPE_VARNUMERIC: {
        if (length < 3) return Outcome::CantConvert;
        const auto* p = static_cast<const BYTE*>(src);
        u128 magnitude = 0;
        for (DBLENGTH i = length - 3; i-- > 0;) {
            if (i >= 16) {
                if (p[3 + i]) return Outcome::Overflow;
                continue;
            }
            magnitude = magnitude << 8 | p[3 + i];
        }
        SetInteger(v, p[2] == 0, magnitude);
        v.dec.scale = static_cast<SBYTE>(p[1]);
        v.dec.precision = p[0];
        break;
    }
    case DBTYPE_BOOL:
        v.kind = Kind::Bool;
        v.truth = Load<VARIANT_BOOL>(src) != 0;
        break;
    default: return std::nullopt;
    }
    return Outcome::Ok;
}

std::optional<Outcome> DecodeTextOrBytes(DBTYPE type, const void* src, DBLENGTH length, DBDATACONVERT flags, Value& v) {
    switch (type) {
    case DBTYPE_WSTR: {
        const auto* text = static_cast<const char*>(src);
        std::size_t units = 0;
        if (flags & DBDATACONVERT_LENGTHFROMNTS) {
            while (Load<char16_t>(text + units * sizeof(char16_t))) ++units;
        } else {
            units = static_cast<std::size_t>(length / sizeof(char16_t));
        }
        v.kind = Kind::Wide;
        if (reinterpret_cast<std::uintptr_t>(src) % alignof(char16_t)) {
            // A binding at an odd offset: read the text through an aligned copy.
            v.ownedWide.resize(units);
            std::memcpy(v.ownedWide.data(), src, units * sizeof(char16_t));
            v.wide = v.ownedWide;
        } else {
            v.wide = std::u16string_view(static_cast<const char16_t*>(src), units);
        }
        break;
    }
    case DBTYPE_STR: {
        const auto* text = static_cast<const char*>(src);
        v.kind = Kind::Narrow;
        v.narrow = flags & DBDATACONVERT_LENGTHFROMNTS ? std::string_view(text)
                                                       : std::string_view(text, static_cast<std::size_t>(length));
        break;
    }
    case DBTYPE_BSTR: {
        const BSTR b = Load<BSTR>(src);
        v.kind = Kind::Wide;
        v.wide = b ? std::u16string_view(b, SysStringLen(b)) : std::u16string_view();
        break;
    }
    case DBTYPE_BYTES:
        v.kind = Kind::Bytes;
        v.bytes = static_cast<const BYTE*>(src);
        v.size = static_cast<std::size_t>(length);
        break;
    default: return std::nullopt;
    }
    return Outcome::Ok;
}

std::optional<Outcome> DecodeDateOrTime(DBTYPE type, const void* src, Value& v) {
    switch (type) {
    case DBTYPE_DATE:
        v.kind = Kind::Date;
        v.real = Load<double>(src);
        break;
    case DBTYPE_DBDATE: {
        const auto d = Load<DBDATE>(src);
        if (!ValidDate(d.year, d.month, d.day)) return Outcome::CantConvert;
        v.kind = Kind::Moment;
        v.moment.year = d.year;
        v.moment.month = d.month;
        v.moment.day = d.day;
        v.moment.hasTime = false;
        break;
    }
    case DBTYPE_DBTIME: {
        const auto t = Load<DBTIME>(src);
        if (!ValidTime(t.hour, t.minute, t.second)) return Outcome::CantConvert;
        v.kind = Kind::Moment;
        v.moment.hour = t.hour;
        v.moment.minute = t.minute;
        v.moment.second = t.second;
        v.moment.hasDate = false;
        break;
    }
    case DBTYPE_DBTIMESTAMP: {
        const auto ts = Load<DBTIMESTAMP>(src);
        if (!ValidDate(ts.year, ts.month, ts.day) || !ValidTime(ts.hour, ts.minute, ts.second) ||
            ts.fraction >= 1'000'000'000u)
            return Outcome::CantConvert;
        v.kind = Kind::Moment;
        v.moment = Moment{ts.year, ts.month, ts.day, ts.hour, ts.minute, ts.second, ts.fraction, true, true};
        break;
    }
    case DBTYPE_FILETIME: {
        const auto ft = Load<FILETIME>(src);
        v.kind = Kind::Moment;
        return MomentFromFileTime(static_cast<std::uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime, v.moment);
    }
    default: return std::nullopt;
    }
    return Outcome::Ok;
}

std::optional<Outcome> DecodeOther(DBTYPE type, const void* src, Value& v) {
    switch (type) {
    case DBTYPE_GUID:
        v.kind = Kind::Guid;
        v.guid = Load<GUID>(src);
        break;
    case DBTYPE_ERROR:
        v.kind = Kind::Error;
        v.scode = Load<SCODE>(src);
        break;
    case DBTYPE_IUNKNOWN:
    case DBTYPE_IDISPATCH:
        v.kind = Kind::Interface;
        v.unknown = Load<IUnknown*>(src);
        break;
    case DBTYPE_HCHAPTER:
        v.kind = Kind::Chapter;
        v.chapter = Load<HCHAPTER>(src);
        break;
    default: return std::nullopt;
    }
    return Outcome::Ok;
}

Outcome Decode(DBTYPE type, const void* src, DBLENGTH length, DBDATACONVERT flags, Value& v, int depth = 0) {
    if (type & kByRef) {
        if (!src) return Outcome::InvalidArg;
        type = static_cast<DBTYPE>(type & ~kByRef);
        src = Load<const void*>(src);
    }
    v.type = type;
    if (type == DBTYPE_EMPTY || type == DBTYPE_NULL) {
        v.kind = Kind::Null;
        v.empty = type == DBTYPE_EMPTY;
        return Outcome::Ok;
    }
    if (!src) {
        if (IsVariableLength(type) && length == 0 && !(flags & DBDATACONVERT_LENGTHFROMNTS)) {
            src = "";
        } else {
            return Outcome::InvalidArg;
        }
    }
    if (type == DBTYPE_VARIANT) return DecodeVariant(src, v, depth);
    if (auto o = DecodeNumber(type, src, length, v)) return *o;
    if (auto o = DecodeTextOrBytes(type, src, length, flags, v)) return *o;
    if (auto o = DecodeDateOrTime(type, src, v)) return *o;
    if (auto o = DecodeOther(type, src, v)) return *o;
    return Outcome::Unsupported;
}

// A VARIANT decodes as the value it holds; VT_BYREF follows the pointer.
Outcome DecodeVariant(const void* src, Value& v, int depth) {
    if (depth > 4) return Outcome::CantConvert;
    v.storage = Load<VARIANT>(src);
    const VARIANT& var = v.storage;
    const VARTYPE vt = var.vt;
    if (vt & VT_ARRAY) return Outcome::CantConvert;
    VARTYPE base = static_cast<VARTYPE>(vt & ~VT_BYREF);
    if (base == VT_INT) base = VT_I4;
    if (base == VT_UINT) base = VT_UI4;
    switch (base) {
    case VT_EMPTY:
    case VT_NULL:
        if (vt & VT_BYREF) return Outcome::CantConvert;
        v.variant = &v.storage;
        v.type = base;
        v.kind = Kind::Null;
        v.empty = base == VT_EMPTY;
        return Outcome::Ok;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_BOOL:
    case VT_ERROR:
    case VT_DECIMAL:
    case VT_UNKNOWN:
    case VT_DISPATCH:
    case VT_VARIANT: break;
    default: return Outcome::CantConvert;
    }
    if (vt & VT_BYREF) {
        if (!var.byref) return Outcome::CantConvert;
        return Decode(base, var.byref, 0, 0, v, depth + 1);
    }
    if (base == VT_VARIANT) return Outcome::CantConvert;  // only by reference
    v.variant = &v.storage;
    // A DECIMAL overlays the whole VARIANT; every other value sits in the union.
    const void* data =
        base == VT_DECIMAL ? static_cast<const void*>(&var.decVal) : static_cast<const void*>(&var.llVal);
    return Decode(base, data, 0, 0, v, depth + 1);
}

// ---- Forms a destination asks for --------------------------------------------------------

template <class F>
auto WithText(const Value& v, F&& f) {
    return v.kind == Kind::Wide ? f(v.wide) : f(v.narrow);
}

Outcome ToDecimal(const Value& v, bool forUnsigned, Decimal& d) {
    switch (v.kind) {
    case Kind::Exact: d = v.dec; return Outcome::Ok;
    case Kind::Real: return DecimalFromReal(v.real, v.type == DBTYPE_R4, d);
    case Kind::Date: return DecimalFromReal(v.real, false, d);
    case Kind::Bool:
        d = Decimal{};
        d.magnitude = v.truth ? 1 : 0;
        d.negative = v.truth && !forUnsigned;
        d.precision = 1;
        return Outcome::Ok;
    case Kind::Wide:
    case Kind::Narrow: {
        NumberText n;
        if (!WithText(v, [&](auto s) { return ParseNumber(s, n); })) return Outcome::CantConvert;
        return DecimalFromNumber(n, d);
    }
    default: return Outcome::CantConvert;
    }
}

template <class Real>
Outcome ToReal(const Value& v, Real& out) {
    switch (v.kind) {
    case Kind::Exact: return RealFromDecimal(v.dec, out);
    case Kind::Bool: out = v.truth ? Real(-1) : Real(0); return Outcome::Ok;
    case Kind::Real:
    case Kind::Date:
        if constexpr (std::is_same_v<Real, float>) {
            // Values at or past the midpoint between FLT_MAX and the next power of two round to
            // infinity: an overflow, unless the source was infinite already.
            if (std::isfinite(v.real) && std::fabs(v.real) >= 0x1.ffffffp+127) return Outcome::Overflow;
        }
        out = static_cast<Real>(v.real);
        return Outcome::Ok;
    case Kind::Wide:
    case Kind::Narrow: {
        NumberText n;
        if (!WithText(v, [&](auto s) { return ParseNumber(s, n); })) return Outcome::CantConvert;
        return RealFromNumber(n, out);
    }
    default: return Outcome::CantConvert;
    }
}

Outcome ToBool(const Value& v, bool& out) {
    switch (v.kind) {
    case Kind::Bool: out = v.truth; return Outcome::Ok;
    case Kind::Exact: out = v.dec.magnitude != 0; return Outcome::Ok;
    case Kind::Real:
        if (std::isnan(v.real)) return Outcome::CantConvert;
        out = v.real != 0;
        return Outcome::Ok;
    case Kind::Wide:
    case Kind::Narrow: {
        const auto word = [&](std::string_view w) {
            return WithText(v, [&](auto s) { return platform::EqualsAsciiWord(platform::Trim(s), w); });
        };
        if (word("true") || word("yes")) {
            out = true;
            return Outcome::Ok;
        }
        if (word("false") || word("no")) {
            out = false;
            return Outcome::Ok;
        }
        NumberText n;
        if (!WithText(v, [&](auto s) { return ParseNumber(s, n); }) || n.special == NumberText::NaN)
            return Outcome::CantConvert;
        out = n.special == NumberText::Infinity || !n.digits.empty();
        return Outcome::Ok;
    }
    default: return Outcome::CantConvert;
    }
}

// The date of a value. A DATE splits to the millisecond for `milliseconds`, else to the second.
Outcome ToMoment(const Value& v, bool milliseconds, Moment& m) {
    switch (v.kind) {
    case Kind::Date: return MomentFromDate(v.real, milliseconds, m);
    case Kind::Moment: m = v.moment; return Outcome::Ok;
    case Kind::Wide:
    case Kind::Narrow:
        return WithText(v, [&](auto s) { return ParseMoment(s, m); }) ? Outcome::Ok : Outcome::CantConvert;
    default: return Outcome::CantConvert;
    }
}

// Text to write, with where it may be cut.
struct Text {
    bool isWide = false;
    std::u16string_view wide;
    std::string_view narrow;  // UTF-8
    bool ascii = false;  // `narrow` is ASCII: one unit a byte in either encoding
    std::size_t mandatory = 0;  // leading units that may not be cut (kWhole: none may be)
    bool number = false;  // a cut that leaves a trailing point drops it
    bool wholeBytes = false;  // hexadecimal: cut between bytes only
    std::string formatted;
    std::u16string converted;
};

Outcome ToText(const Value& v, Text& t) {
    switch (v.kind) {
    case Kind::Wide:
        t.isWide = true;
        t.wide = v.wide;
        return Outcome::Ok;
    case Kind::Narrow: t.narrow = v.narrow; return Outcome::Ok;
    case Kind::Exact: {
        Decimal d = v.dec;
        if (v.type == DBTYPE_CY) {
            while (d.scale > 0 && d.magnitude % 10 == 0) {
                d.magnitude /= 10;
                --d.scale;
            }
        }
        std::size_t point = 0;
        t.formatted = DecimalText(d, point);
        t.mandatory = point;
        t.number = true;
        break;
    }
    case Kind::Real:
        t.formatted = RealText(v.real, v.type == DBTYPE_R4, t.mandatory);
        t.number = true;
        break;
    case Kind::Bool:
        t.formatted = v.truth ? "True" : "False";
        t.mandatory = kWhole;
        break;
    case Kind::Date: {
        Moment m;
        if (Outcome o = MomentFromDate(v.real, false, m); o != Outcome::Ok) return o;
        AppendDate(t.formatted, m);
        if (m.hour || m.minute || m.second) {
            t.formatted += ' ';
            AppendTime(t.formatted, m, false);
        }
        t.mandatory = kWhole;
        break;
    }
    case Kind::Moment:
        if (v.moment.hasDate) AppendDate(t.formatted, v.moment);
        if (v.moment.hasDate && v.moment.hasTime) t.formatted += ' ';
        if (v.moment.hasTime) AppendTime(t.formatted, v.moment, true);
        t.mandatory = kWhole;
        break;
    case Kind::Guid:
        t.formatted = GuidText(v.guid);
        t.mandatory = kWhole;
        break;
    case Kind::Bytes:
        t.formatted = HexText(v.bytes, v.size);
        t.wholeBytes = true;
        break;
    default: return Outcome::CantConvert;
    }
    t.narrow = t.formatted;
    t.ascii = true;
    return Outcome::Ok;
}

// Bytes of a value: its own, a GUID's 16, or text read as hexadecimal (into `storage`).
Outcome ToBytes(const Value& v, std::string& storage, const BYTE*& bytes, std::size_t& size) {
    switch (v.kind) {
    case Kind::Bytes:
        bytes = v.bytes;
        size = v.size;
        return Outcome::Ok;
    case Kind::Guid:
        bytes = reinterpret_cast<const BYTE*>(&v.guid);
        size = sizeof(GUID);
        return Outcome::Ok;
    case Kind::Wide:
    case Kind::Narrow:
        if (!WithText(v, [&](auto s) { return ParseHex(s, storage); })) return Outcome::CantConvert;
        bytes = reinterpret_cast<const BYTE*>(storage.data());
        size = storage.size();
        return Outcome::Ok;
    default: return Outcome::CantConvert;
    }
}

Outcome ToGuid(const Value& v, GUID& g) {
    switch (v.kind) {
    case Kind::Guid: g = v.guid; return Outcome::Ok;
    case Kind::Bytes:
        if (v.size != sizeof(GUID)) return Outcome::CantConvert;
        std::memcpy(&g, v.bytes, sizeof g);
        return Outcome::Ok;
    case Kind::Wide:
    case Kind::Narrow: return WithText(v, [&](auto s) { return ParseGuid(s, g); }) ? Outcome::Ok : Outcome::CantConvert;
    default: return Outcome::CantConvert;
    }
}

// ---- Destinations --------------------------------------------------------------------------

struct Target {
    void* dst;  // null: measure only
    DBLENGTH max;
    bool byRef;
    BYTE precision;
    BYTE scale;
    DBDATACONVERT flags;
    DBLENGTH length = 0;
};

template <class T>
Outcome PutFixed(Target& t, const T& value) {
    if (t.dst) Store(t.dst, value);
    return Outcome::Ok;
}

template <class T>
Outcome EncodeInteger(const Value& v, Target& t) {
    Decimal d;
    Outcome o = ToDecimal(v, std::is_unsigned_v<T>, d);
    if (o == Outcome::Ok) o = Rescaled(d, 0);
    if (o != Outcome::Ok) return o;
    if (d.negative) {
        if constexpr (std::is_unsigned_v<T>) {
            return Outcome::SignMismatch;
        } else {
            if (d.magnitude > static_cast<u128>(std::numeric_limits<T>::max()) + 1) return Outcome::Overflow;
            return PutFixed(t, static_cast<T>(-static_cast<__int128>(d.magnitude)));
        }
    }
    if (d.magnitude > static_cast<u128>(std::numeric_limits<T>::max())) return Outcome::Overflow;
    return PutFixed(t, static_cast<T>(d.magnitude));
}

Outcome EncodeCurrency(const Value& v, Target& t) {
    Decimal d;
    Outcome o = ToDecimal(v, false, d);
    if (o == Outcome::Ok) o = Rescaled(d, 4);
    if (o != Outcome::Ok) return o;
    const u128 limit = static_cast<u128>(std::numeric_limits<std::int64_t>::max()) + (d.negative ? 1 : 0);
    if (d.magnitude > limit) return Outcome::Overflow;
    CY cy;
    cy.int64 =
        d.negative ? static_cast<LONGLONG>(-static_cast<__int128>(d.magnitude)) : static_cast<LONGLONG>(d.magnitude);
    return PutFixed(t, cy);
}

Outcome EncodeDecimal(const Value& v, Target& t) {
    Decimal d;
    Outcome o = ToDecimal(v, false, d);
    if (o == Outcome::Ok) o = Rescaled(d, std::clamp(d.scale, 0, 28));
    if (o != Outcome::Ok) return o;
    constexpr u128 kMax96 = (static_cast<u128>(1) << 96) - 1;
    while (d.magnitude > kMax96 && d.scale > 0) Rescaled(d, d.scale - 1);
    if (d.magnitude > kMax96) return Outcome::Overflow;
    DECIMAL dec;
    std::memset(&dec, 0, sizeof dec);
    dec.scale = static_cast<BYTE>(d.scale);
    dec.sign = d.negative ? DECIMAL_NEG : 0;
    dec.Hi32 = static_cast<ULONG>(d.magnitude >> 64);
    dec.Lo64 = static_cast<ULONGLONG>(d.magnitude);
    return PutFixed(t, dec);
}

// The precision and scale of a NUMERIC or VARNUMERIC result: the caller's, or the value's.
Outcome Shape(Decimal& d, const Target& t, int minScale, int maxScale, int maxPrecision, int& precision) {
    if (t.precision) {
        precision = t.precision;
        if (Outcome o = Rescaled(d, minScale < 0 ? static_cast<SBYTE>(t.scale) : t.scale); o != Outcome::Ok) return o;
    } else {
        if (Outcome o = Rescaled(d, std::clamp(d.scale, minScale, maxScale)); o != Outcome::Ok) return o;
        while (d.magnitude && DigitCount(d.magnitude) > maxPrecision && d.scale > std::max(minScale, 0))
            Rescaled(d, d.scale - 1);
        precision = std::max({d.precision, d.magnitude ? DigitCount(d.magnitude) : 1, d.scale, 1});
        precision = std::min(precision, maxPrecision);
    }
    if (d.magnitude && DigitCount(d.magnitude) > precision) return Outcome::Overflow;
    return Outcome::Ok;
}

Outcome EncodeNumeric(const Value& v, Target& t) {
    if (t.precision && (t.precision > 38 || t.scale > t.precision)) return Outcome::InvalidArg;
    Decimal d;
    int precision = 0;
    Outcome o = ToDecimal(v, false, d);
    if (o == Outcome::Ok) o = Shape(d, t, 0, 38, 38, precision);
    if (o != Outcome::Ok) return o;
    DB_NUMERIC num;
    std::memset(&num, 0, sizeof num);
    num.precision = static_cast<BYTE>(precision);
    num.scale = static_cast<BYTE>(d.scale);
    num.sign = d.negative ? 0 : 1;
    for (int i = 0; i < 16; ++i) num.val[i] = static_cast<BYTE>(d.magnitude >> (8 * i));
    return PutFixed(t, num);
}

Outcome EncodeVarNumeric(const Value& v, Target& t) {
    Decimal d;
    int precision = 0;
    Outcome o = ToDecimal(v, false, d);
    if (o == Outcome::Ok) o = Shape(d, t, -128, 127, 255, precision);
    if (o != Outcome::Ok) return o;
    BYTE bytes[3 + 16];
    std::size_t n = 1;
    for (int i = 0; i < 16; ++i) {
        bytes[3 + i] = static_cast<BYTE>(d.magnitude >> (8 * i));
        if (bytes[3 + i]) n = static_cast<std::size_t>(i) + 1;
    }
    bytes[0] = static_cast<BYTE>(precision);
    bytes[1] = static_cast<BYTE>(static_cast<SBYTE>(d.scale));
    bytes[2] = d.negative ? 0 : 1;
    t.length = 3 + n;
    if (!t.dst) return Outcome::Ok;
    if (t.byRef) {
        void* p = CoTaskMemAlloc(3 + n);
        if (!p) return Outcome::OutOfMemory;
        std::memcpy(p, bytes, 3 + n);
        Store(t.dst, p);
        return Outcome::Ok;
    }
    if (t.max < 3 + n) return Outcome::Overflow;
    std::memcpy(t.dst, bytes, 3 + n);
    return Outcome::Ok;
}

template <class Real>
Outcome EncodeReal(const Value& v, Target& t) {
    Real x{};
    if (Outcome o = ToReal(v, x); o != Outcome::Ok) return o;
    return PutFixed(t, x);
}

Outcome EncodeBool(const Value& v, Target& t) {
    bool truth = false;
    if (Outcome o = ToBool(v, truth); o != Outcome::Ok) return o;
    return PutFixed(t, truth ? VARIANT_TRUE : VARIANT_FALSE);
}

Outcome EncodeDate(const Value& v, Target& t) {
    double date = 0;
    switch (v.kind) {
    case Kind::Date: date = v.real; break;
    case Kind::Exact:
    case Kind::Real:
    case Kind::Bool: {
        if (Outcome o = ToReal(v, date); o != Outcome::Ok) return o;
        if (std::isnan(date)) return Outcome::CantConvert;
        if (!(date > kFirstDate && date < kEndDate)) return Outcome::Overflow;
        break;
    }
    default: {
        Moment m;
        Outcome o = ToMoment(v, true, m);
        if (o == Outcome::Ok) o = DateFromMoment(m, date);
        if (o != Outcome::Ok) return o;
    }
    }
    return PutFixed(t, date);
}

Outcome CheckYear(const Moment& m) {
    return !m.hasDate || (m.year >= 1 && m.year <= 9999) ? Outcome::Ok : Outcome::Overflow;
}

Outcome EncodeDbDate(const Value& v, Target& t) {
    Moment m;
    Outcome o = ToMoment(v, false, m);
    if (o == Outcome::Ok) o = CheckYear(m);
    if (o != Outcome::Ok) return o;
    DBDATE d{static_cast<SHORT>(m.year), static_cast<USHORT>(m.month), static_cast<USHORT>(m.day)};
    if (!m.hasDate) d = DBDATE{1899, 12, 30};
    return PutFixed(t, d);
}

Outcome EncodeDbTime(const Value& v, Target& t) {
    Moment m;
    if (Outcome o = ToMoment(v, false, m); o != Outcome::Ok) return o;
    DBTIME time{};
    if (m.hasTime)
        time = DBTIME{static_cast<USHORT>(m.hour), static_cast<USHORT>(m.minute), static_cast<USHORT>(m.second)};
    return PutFixed(t, time);
}

Outcome EncodeTimestamp(const Value& v, Target& t) {
    Moment m;
    Outcome o = ToMoment(v, true, m);
    if (o == Outcome::Ok) o = CheckYear(m);
    if (o != Outcome::Ok) return o;
    DBTIMESTAMP ts{1899, 12, 30, 0, 0, 0, 0};
    if (m.hasDate) {
        ts.year = static_cast<SHORT>(m.year);
        ts.month = static_cast<USHORT>(m.month);
        ts.day = static_cast<USHORT>(m.day);
    }
    if (m.hasTime) {
        ts.hour = static_cast<USHORT>(m.hour);
        ts.minute = static_cast<USHORT>(m.minute);
        ts.second = static_cast<USHORT>(m.second);
        ts.fraction = m.nanos;
    }
    return PutFixed(t, ts);
}

Outcome EncodeFileTime(const Value& v, Target& t) {
    Moment m;
    std::uint64_t ticks = 0;
    Outcome o = ToMoment(v, true, m);
    if (o == Outcome::Ok) o = FileTimeFromMoment(m, ticks);
    if (o != Outcome::Ok) return o;
    FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return PutFixed(t, ft);
}

Outcome EncodeGuid(const Value& v, Target& t) {
    GUID g{};
    if (Outcome o = ToGuid(v, g); o != Outcome::Ok) return o;
    return PutFixed(t, g);
}

// How much of a text that does not fit is kept: `room` units at most, never part of a
// character, never less than its mandatory part.
template <class Unit>
Outcome CutText(const Text& text, std::basic_string_view<Unit> units, std::size_t room, DBDATACONVERT flags,
                std::size_t& kept) {
    if (text.mandatory == kWhole || room < text.mandatory || (flags & DBDATACONVERT_SETDATABEHAVIOR))
        return Outcome::Overflow;
    std::size_t n = room;
    if constexpr (sizeof(Unit) == 2) {
        if (n > 0 && units[n - 1] >= 0xD800 && units[n - 1] <= 0xDBFF) --n;
    } else {
        while (n > 0 && (static_cast<unsigned char>(units[n]) & 0xC0) == 0x80) --n;
    }
    if (text.wholeBytes) n &= ~static_cast<std::size_t>(1);
    if (text.number && n > 0 && units[n - 1] == '.') --n;
    kept = n;
    return Outcome::Truncated;
}

// Writes `units` and a terminator to a WSTR or STR destination (or a new buffer for BYREF).
template <class Unit>
Outcome PutString(const Text& text, std::basic_string_view<Unit> units, Target& t) {
    t.length = units.size() * sizeof(Unit);
    if (!t.dst) return Outcome::Ok;
    if (t.byRef) {
        auto* p = static_cast<Unit*>(CoTaskMemAlloc((units.size() + 1) * sizeof(Unit)));
        if (!p) return Outcome::OutOfMemory;
        std::memcpy(p, units.data(), units.size() * sizeof(Unit));
        p[units.size()] = 0;
        Store(t.dst, static_cast<void*>(p));
        return Outcome::Ok;
    }
    const std::size_t capacity = static_cast<std::size_t>(t.max / sizeof(Unit));
    std::size_t kept = units.size();
    Outcome o = Outcome::Ok;
    if (units.size() >= capacity && !(units.empty() && capacity == 0)) {
        o = CutText(text, units, capacity ? capacity - 1 : 0, t.flags, kept);
        if (o != Outcome::Truncated) return o;
    }
    auto* out = static_cast<BYTE*>(t.dst);
    std::memcpy(out, units.data(), kept * sizeof(Unit));
    if (capacity) Store(out + kept * sizeof(Unit), Unit(0));
    return o;
}

std::u16string_view WideOf(Text& text) {
    if (text.isWide) return text.wide;
    if (text.ascii) {
        text.converted.assign(text.narrow.begin(), text.narrow.end());
    } else {
        text.converted = platform::Utf8ToUtf16(text.narrow);
    }
    return text.converted;
}

std::string_view NarrowOf(Text& text) {
    if (!text.isWide) return text.narrow;
    text.formatted = platform::Utf16ToUtf8(text.wide);
    return text.formatted;
}

Outcome EncodeText(const Value& v, DBTYPE type, Target& t) {
    Text text;
    if (Outcome o = ToText(v, text); o != Outcome::Ok) return o;
    switch (type) {
    case DBTYPE_WSTR: return PutString(text, WideOf(text), t);
    case DBTYPE_STR: return PutString(text, NarrowOf(text), t);
    default: {  // BSTR
        const std::u16string_view units = WideOf(text);
        if (!t.dst) return Outcome::Ok;
        BSTR b = SysAllocStringLen(units.data(), static_cast<UINT>(units.size()));
        if (!b) return Outcome::OutOfMemory;
        Store(t.dst, b);
        return Outcome::Ok;
    }
    }
}

Outcome EncodeBytes(const Value& v, Target& t) {
    std::string storage;
    const BYTE* bytes = nullptr;
    std::size_t size = 0;
    if (Outcome o = ToBytes(v, storage, bytes, size); o != Outcome::Ok) return o;
    t.length = size;
    if (!t.dst) return Outcome::Ok;
    if (t.byRef) {
        void* p = CoTaskMemAlloc(size ? size : 1);
        if (!p) return Outcome::OutOfMemory;
        if (size) std::memcpy(p, bytes, size);
        Store(t.dst, p);
        return Outcome::Ok;
    }
    if (size <= t.max) {
        if (size) std::memcpy(t.dst, bytes, size);
        return Outcome::Ok;
    }
    if (t.flags & DBDATACONVERT_SETDATABEHAVIOR) return Outcome::Overflow;
    if (t.max) std::memcpy(t.dst, bytes, static_cast<std::size_t>(t.max));
    return Outcome::Truncated;
}

Outcome Encode(const Value& v, DBTYPE type, Target& t);

// The type a value is encoded as in a VARIANT; DBTYPE_EMPTY for a type no VARIANT holds.
DBTYPE VariantEncoding(DBTYPE type) {
    if (platform::IsIntegerOrRealType(type)) return type;
    switch (type) {
    case DBTYPE_CY:
    case DBTYPE_BOOL:
    case DBTYPE_ERROR:
    case DBTYPE_DATE:
    case DBTYPE_DECIMAL:
    case DBTYPE_IUNKNOWN:
    case DBTYPE_IDISPATCH: return type;
    case DBTYPE_NUMERIC:
    case DBTYPE_VARNUMERIC: return DBTYPE_DECIMAL;
    case DBTYPE_DBDATE:
    case DBTYPE_DBTIME:
    case DBTYPE_DBTIMESTAMP:
    case DBTYPE_FILETIME: return DBTYPE_DATE;
    case DBTYPE_WSTR:
    case DBTYPE_STR:
    case DBTYPE_BSTR:
    case DBTYPE_GUID: return DBTYPE_BSTR;
    default: return DBTYPE_EMPTY;
    }
}

// The VARTYPE that a value takes in a VARIANT, and the type it is encoded as there.
bool VariantForm(DBTYPE type, VARTYPE& vt, DBTYPE& as) {
    as = VariantEncoding(type);
    vt = static_cast<VARTYPE>(as);  // the VARTYPEs of these types share their DBTYPE numbers
    return as != DBTYPE_EMPTY;
}

Outcome EncodeVariant(const Value& v, Target& t) {
    if (v.variant) {
        if (!t.dst) return Outcome::Ok;
        VARIANT copy;
        VariantInit(&copy);
        const HRESULT hr = VariantCopy(&copy, v.variant);
        if (FAILED(hr)) return hr == E_OUTOFMEMORY ? Outcome::OutOfMemory : Outcome::CantConvert;
        Store(t.dst, copy);
        return Outcome::Ok;
    }
    VARTYPE vt = VT_EMPTY;
    DBTYPE as = DBTYPE_EMPTY;
    if (!VariantForm(v.type, vt, as)) return Outcome::CantConvert;
    VARIANT out;
    VariantInit(&out);
    void* slot = as == DBTYPE_DECIMAL ? static_cast<void*>(&out.decVal) : static_cast<void*>(&out.llVal);
    Target inner{t.dst ? slot : nullptr, 0, false, 0, 0, t.flags};
    if (Outcome o = Encode(v, as, inner); o != Outcome::Ok) return o;
    out.vt = vt;  // after the value: a DECIMAL's first word is the VARTYPE
    return PutFixed(t, out);
}

Outcome EncodeError(const Value& v, Target& t) {
    if (v.kind != Kind::Error) return Outcome::CantConvert;
    return PutFixed(t, v.scode);
}

Outcome EncodeInterface(const Value& v, Target& t) {
    if (v.kind != Kind::Interface) return Outcome::CantConvert;
    if (t.dst && v.unknown) v.unknown->AddRef();
    return PutFixed(t, v.unknown);
}

Outcome EncodeChapter(const Value& v, Target& t) {
    if (v.kind != Kind::Chapter) return Outcome::CantConvert;
    return PutFixed(t, v.chapter);
}

Outcome Encode(const Value& v, DBTYPE type, Target& t) {
    t.length = FixedTypeSize(type);
    switch (type) {
    case DBTYPE_I1: return EncodeInteger<std::int8_t>(v, t);
    case DBTYPE_I2: return EncodeInteger<std::int16_t>(v, t);
    case DBTYPE_I4: return EncodeInteger<std::int32_t>(v, t);
    case DBTYPE_I8: return EncodeInteger<std::int64_t>(v, t);
    case DBTYPE_UI1: return EncodeInteger<std::uint8_t>(v, t);
    case DBTYPE_UI2: return EncodeInteger<std::uint16_t>(v, t);
    case DBTYPE_UI4: return EncodeInteger<std::uint32_t>(v, t);
    case DBTYPE_UI8: return EncodeInteger<std::uint64_t>(v, t);
    case DBTYPE_R4: return EncodeReal<float>(v, t);
    case DBTYPE_R8: return EncodeReal<double>(v, t);
    case DBTYPE_CY: return EncodeCurrency(v, t);
    case DBTYPE_DECIMAL: return EncodeDecimal(v, t);
    case DBTYPE_NUMERIC: return EncodeNumeric(v, t);
    case DBTYPE_VARNUMERIC: return EncodeVarNumeric(v, t);
    case DBTYPE_BOOL: return EncodeBool(v, t);
    case DBTYPE_DATE: return EncodeDate(v, t);
    case DBTYPE_DBDATE: return EncodeDbDate(v, t);
    case DBTYPE_DBTIME: return EncodeDbTime(v, t);
    case DBTYPE_DBTIMESTAMP: return EncodeTimestamp(v, t);
    case DBTYPE_FILETIME: return EncodeFileTime(v, t);
    case DBTYPE_GUID: return EncodeGuid(v, t);
    case DBTYPE_WSTR:
    case DBTYPE_STR:
    case DBTYPE_BSTR: return EncodeText(v, type, t);
    case DBTYPE_BYTES: return EncodeBytes(v, t);
    case DBTYPE_VARIANT: return EncodeVariant(v, t);
    case DBTYPE_ERROR: return EncodeError(v, t);
    case DBTYPE_IUNKNOWN:
    case DBTYPE_IDISPATCH: return EncodeInterface(v, t);
    case DBTYPE_HCHAPTER: return EncodeChapter(v, t);
    default: return Outcome::Unsupported;
    }
}

HRESULT Finish(Outcome o, DBLENGTH length, DBLENGTH* dstLength, DBSTATUS* status) {
    HRESULT hr = S_OK;
    DBSTATUS s = DBSTATUS_S_OK;
    switch (o) {
    case Outcome::Ok: break;
    case Outcome::Truncated: s = DBSTATUS_S_TRUNCATED; break;
    case Outcome::Null:
        s = DBSTATUS_S_ISNULL;
        length = 0;
        break;
    case Outcome::Overflow:
        hr = DB_E_DATAOVERFLOW;
        s = DBSTATUS_E_DATAOVERFLOW;
        break;
    case Outcome::SignMismatch:
        hr = DB_E_DATAOVERFLOW;
        s = DBSTATUS_E_SIGNMISMATCH;
        break;
    case Outcome::CantConvert:
        hr = DB_E_CANTCONVERTVALUE;
        s = DBSTATUS_E_CANTCONVERTVALUE;
        break;
    case Outcome::Unsupported:
        hr = DB_E_UNSUPPORTEDCONVERSION;
        s = DBSTATUS_E_CANTCONVERTVALUE;
        break;
    case Outcome::OutOfMemory:
        hr = E_OUTOFMEMORY;
        s = DBSTATUS_E_CANTCREATE;
        break;
    case Outcome::InvalidArg:
        hr = E_INVALIDARG;
        s = DBSTATUS_E_CANTCONVERTVALUE;
        break;
    }
    if (dstLength) *dstLength = length;
    if (status) *status = s;
    return hr;
}

// The longest text of any value of a fixed-length type, in characters; 0 when unknown.
DBLENGTH MaxTextLength(DBTYPE type) {
    switch (type) {
    case DBTYPE_I1: return 4;
    case DBTYPE_I2: return 6;
    case DBTYPE_I4: return 11;
    case DBTYPE_I8:
    case DBTYPE_UI8: return 20;
    case DBTYPE_UI1: return 3;
    case DBTYPE_UI2: return 5;
    case DBTYPE_UI4: return 10;
    case DBTYPE_R4: return 15;
    case DBTYPE_R8: return 23;
    case DBTYPE_CY: return 21;
    case DBTYPE_DECIMAL: return 31;
    case DBTYPE_NUMERIC: return 41;
    case DBTYPE_BOOL: return 5;
    case DBTYPE_DATE: return 19;
    case DBTYPE_DBDATE: return 10;
    case DBTYPE_DBTIME: return 8;
    case DBTYPE_DBTIMESTAMP: return 29;
    case DBTYPE_FILETIME: return 28;
    case DBTYPE_GUID: return 38;
    default: return 0;
    }
}

class ConversionLibrary final : public platform::ComObject<IDataConvert> {
public:
    HRESULT STDMETHODCALLTYPE DataConvert(DBTYPE srcType, DBTYPE dstType, DBLENGTH cbSrcLength, DBLENGTH* pcbDstLength,
                                          void* pSrc, void* pDst, DBLENGTH cbDstMaxLength, DBSTATUS dbsSrcStatus,
                                          DBSTATUS* pdbsStatus, BYTE bPrecision, BYTE bScale,
                                          DBDATACONVERT dwFlags) override {
        if (dbsSrcStatus == DBSTATUS_S_ISNULL) {
            if (CanConvertType(srcType, dstType) != S_OK)
                return Finish(Outcome::Unsupported, 0, pcbDstLength, pdbsStatus);
            return ConvertValue(DBTYPE_NULL, nullptr, 0, dstType, pDst, cbDstMaxLength, pcbDstLength, pdbsStatus,
                                bPrecision, bScale, dwFlags);
        }
        if (dbsSrcStatus != DBSTATUS_S_OK) {
            if (pdbsStatus) *pdbsStatus = DBSTATUS_E_BADSTATUS;
            return DB_E_BADSTATUSVALUE;
        }
        return ConvertValue(srcType, pSrc, cbSrcLength, dstType, pDst, cbDstMaxLength, pcbDstLength, pdbsStatus,
                            bPrecision, bScale, dwFlags);
    }
    HRESULT STDMETHODCALLTYPE CanConvert(DBTYPE srcType, DBTYPE dstType) override {
        return CanConvertType(srcType, dstType);
    }
    HRESULT STDMETHODCALLTYPE GetConversionSize(DBTYPE srcType, DBTYPE dstType, DBLENGTH* pcbSrcLength,
                                                DBLENGTH* pcbDstLength, void* pSrc) override {
        return ConversionSize(srcType, dstType, pcbSrcLength, pcbDstLength, pSrc);
    }
};

}  // namespace

HRESULT CanConvertType(DBTYPE srcType, DBTYPE dstType) {
    if ((srcType & kOtherModifiers) || (dstType & kOtherModifiers)) return S_FALSE;
    const auto dstBase = static_cast<DBTYPE>(dstType & ~kByRef);
    if ((dstType & kByRef) && !IsVariableLength(dstBase)) return S_FALSE;
    return PairSupported(static_cast<DBTYPE>(srcType & ~kByRef), dstBase) ? S_OK : S_FALSE;
}

HRESULT ConvertValue(DBTYPE srcType, const void* src, DBLENGTH srcLength, DBTYPE dstType, void* dst,
                     DBLENGTH dstMaxLength, DBLENGTH* dstLength, DBSTATUS* status, BYTE precision, BYTE scale,
                     DBDATACONVERT flags) {
    // The common case of a rowset reading a column in its own type: a plain copy.
    if (srcType == dstType && CopiesAsBytes(srcType) && src) {
        if (dst) std::memcpy(dst, src, static_cast<std::size_t>(FixedTypeSize(srcType)));
        return Finish(Outcome::Ok, FixedTypeSize(srcType), dstLength, status);
    }
    if (CanConvertType(srcType, dstType) != S_OK) return Finish(Outcome::Unsupported, 0, dstLength, status);
    try {
        Value v;
        Outcome o = Decode(srcType, src, srcLength, flags, v);
        if (o != Outcome::Ok) return Finish(o, 0, dstLength, status);
        const auto dstBase = static_cast<DBTYPE>(dstType & ~kByRef);
        if (v.kind == Kind::Null) {
            if (dstBase == DBTYPE_VARIANT && dst) {
                VARIANT null;
                VariantInit(&null);
                null.vt = v.empty ? VT_EMPTY : VT_NULL;
                Store(dst, null);
            }
            return Finish(Outcome::Null, 0, dstLength, status);
        }
        // A VARIANT converts as what it holds, which may not go where its type would.
        if (v.variant != nullptr || (srcType & ~kByRef) == DBTYPE_VARIANT) {
            if (dstBase != DBTYPE_VARIANT && !PairSupported(v.type, dstBase))
                return Finish(Outcome::CantConvert, 0, dstLength, status);
        }
        Target t{dst, dstMaxLength, (dstType & kByRef) != 0, precision, scale, flags};
        o = Encode(v, dstBase, t);
        const bool lengthKnown = o == Outcome::Ok || o == Outcome::Truncated ||
                                 (o == Outcome::Overflow && (dstBase == DBTYPE_WSTR || dstBase == DBTYPE_STR ||
                                                             dstBase == DBTYPE_BYTES || dstBase == DBTYPE_VARNUMERIC));
        return Finish(o, lengthKnown ? t.length : 0, dstLength, status);
    } catch (const std::bad_alloc&) {
        return Finish(Outcome::OutOfMemory, 0, dstLength, status);
    }
}

HRESULT ConversionSize(DBTYPE srcType, DBTYPE dstType, const DBLENGTH* srcLength, DBLENGTH* dstLength,
                       const void* src) {
    if (!dstLength) return E_INVALIDARG;
    if (CanConvertType(srcType, dstType) != S_OK) return DB_E_UNSUPPORTEDCONVERSION;
    const auto srcBase = static_cast<DBTYPE>(srcType & ~kByRef);
    const auto dstBase = static_cast<DBTYPE>(dstType & ~kByRef);
    if (dstType & kByRef) {
        *dstLength = sizeof(void*);
        return S_OK;
    }
    if (const DBLENGTH fixed = FixedTypeSize(dstBase)) {
        *dstLength = fixed;
        return S_OK;
    }
    const DBLENGTH terminator = dstBase == DBTYPE_WSTR ? 2 : dstBase == DBTYPE_STR ? 1 : 0;
    if (src) {
        DBDATACONVERT flags = DBDATACONVERT_DEFAULT;
        if (IsVariableLength(srcBase) && !srcLength) {
            if (srcBase != DBTYPE_WSTR && srcBase != DBTYPE_STR) return E_INVALIDARG;
            flags = DBDATACONVERT_LENGTHFROMNTS;
        }
        DBLENGTH needed = 0;
        DBSTATUS status = DBSTATUS_S_OK;
        const HRESULT hr =
            ConvertValue(srcType, src, srcLength ? *srcLength : 0, dstBase, nullptr, 0, &needed, &status, 0, 0, flags);
        if (FAILED(hr)) return hr;
        *dstLength = needed + terminator;
        return S_OK;
    }
    // No value: the most any value of the source type needs.
    if (dstBase == DBTYPE_VARNUMERIC) {
        *dstLength = 3 + 16;
        return S_OK;
    }
    DBLENGTH chars = MaxTextLength(srcBase);
    if (!chars) {
        if (!srcLength) return E_INVALIDARG;
        const DBLENGTH n = *srcLength;
        switch (srcBase) {
        case DBTYPE_WSTR: chars = dstBase == DBTYPE_STR ? n / 2 * 3 : dstBase == DBTYPE_BYTES ? n / 4 : n / 2; break;
        case DBTYPE_STR: chars = dstBase == DBTYPE_BYTES ? n / 2 : n; break;
        case DBTYPE_BYTES: chars = dstBase == DBTYPE_BYTES ? n : 2 * n; break;
        case DBTYPE_VARNUMERIC: chars = (n > 3 ? (n - 3) * 8 * 30103 / 100000 + 1 : 1) + 3 + 255; break;
        default: return E_INVALIDARG;
        }
    } else if (dstBase == DBTYPE_BYTES) {
        chars = sizeof(GUID);  // a GUID, the one fixed-length type that converts to bytes
    }
    *dstLength = dstBase == DBTYPE_WSTR ? chars * 2 + terminator : chars + terminator;
    return S_OK;
}

HRESULT CreateDataConvert(IUnknown* outer, REFIID riid, void** ppv) {
    return platform::CreateComObject<ConversionLibrary>(outer, riid, ppv);
}

}  // namespace orv::engine
