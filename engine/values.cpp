#include "engine/values.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>

#include "engine/common/decimal.h"
#include "engine/sql/datetime.h"
#include "platform/strings.h"
#include "platform/utf.h"
#include "platform/win32.h"

namespace orv::engine {
namespace {

template <class T>
void Put(TypedValue& out, T value) {
    static_assert(sizeof(T) <= sizeof(out.fixed));
    std::memcpy(out.fixed, &value, sizeof(T));
    out.length = sizeof(T);
}

// Text that stands for a number or a date may have spaces and tabs around it.
constexpr std::string_view kValueBlanks = " \t";

bool ParseInteger(std::string_view text, long long& out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && ptr == text.data() + text.size() && !text.empty();
}

bool ParseReal(std::string_view text, double& out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && ptr == text.data() + text.size() && !text.empty();
}

// A number from any storage class; false for text that is no number.
bool AsReal(const StoredValue& v, double& out) {
    switch (v.kind) {
    case SQLITE_INTEGER: out = static_cast<double>(v.integer); return true;
    case SQLITE_FLOAT: out = v.real; return true;
    case SQLITE_TEXT: return ParseReal(platform::Trim(v.bytes, kValueBlanks), out);
    default: return false;
    }
}

// An integer from any storage class; fractions are cut toward zero, as SQL's CAST does.
bool AsInteger(const StoredValue& v, long long& out, bool& overflow) {
    overflow = false;
    double d;
    switch (v.kind) {
    case SQLITE_INTEGER: out = v.integer; return true;
    case SQLITE_TEXT:
        if (ParseInteger(platform::Trim(v.bytes, kValueBlanks), out)) return true;
        if (!ParseReal(platform::Trim(v.bytes, kValueBlanks), d)) return false;
        break;
    case SQLITE_FLOAT: d = v.real; break;
    default: return false;
    }
    d = std::trunc(d);
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) {
        overflow = true;
        return false;
    }
    out = static_cast<long long>(d);
    return true;
}

bool AsDecimal(const StoredValue& v, Decimal& out) {
    switch (v.kind) {
    case SQLITE_INTEGER: return ParseDecimal(std::to_string(v.integer), out);
    case SQLITE_FLOAT: return std::isfinite(v.real) && ParseDecimal(ShortestReal(v.real), out);
    case SQLITE_TEXT: {
        std::string_view t = platform::Trim(v.bytes, kValueBlanks);
        return ParseDecimal(t, out);
    }
    default: return false;
    }
}

// `d` at `scale` places, rounded half away from zero, within `maxDigits` digits.
bool ScaleDecimal(Decimal& d, int scale, int maxDigits) {
    return RoundToScale(d, scale) && (d.magnitude == 0 || DigitCount(d.magnitude) <= maxDigits);
}

void MaterialiseText(const StoredValue& v, TypedValue& out) {
    out.type = DBTYPE_WSTR;
    out.text.clear();
    switch (v.kind) {
    case SQLITE_INTEGER: {
        char buffer[24];
        auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, v.integer);
        (void)ec;
        out.text.assign(buffer, ptr);
        break;
    }
    case SQLITE_FLOAT: {
        std::string s = ShortestReal(v.real);
        out.text.assign(s.begin(), s.end());
        break;
    }
    default: platform::AppendUtf8ToUtf16(out.text, v.bytes); break;
    }
    out.length = out.text.size() * sizeof(char16_t);
}

void MaterialiseDate(const StoredValue& v, TypedValue& out) {
    if (v.kind == SQLITE_TEXT) {
        auto parts = ParseIsoDateTime(v.bytes);
        auto date = parts ? OleDateFromParts(*parts) : std::nullopt;
        if (!date) {
            out.status = DBSTATUS_E_CANTCONVERTVALUE;
            return;
        }
        Put(out, *date);
        return;
    }
    double number;
    if (!AsReal(v, number)) {
        out.status = DBSTATUS_E_CANTCONVERTVALUE;
        return;
    }
    Put(out, number);  // a number in a date column is an OLE Automation date
}

void MaterialiseGuid(const StoredValue& v, TypedValue& out) {
    GUID g;
    if (v.kind == SQLITE_BLOB && v.bytes.size() == sizeof(GUID)) {
        std::memcpy(&g, v.bytes.data(), sizeof g);
        Put(out, g);
        return;
    }
    if (v.kind == SQLITE_TEXT) {
        std::u16string text = platform::Utf8ToUtf16(platform::Trim(v.bytes, kValueBlanks));
        if (text.size() == 36) text = u"{" + text + u"}";
        if (CLSIDFromString(text.c_str(), &g) == S_OK) {
            Put(out, g);
            return;
        }
    }
    out.status = DBSTATUS_E_CANTCONVERTVALUE;
}

template <class T>
void MaterialiseInteger(const StoredValue& v, TypedValue& out, long long min, long long max) {
    long long value;
    bool overflow;
    if (!AsInteger(v, value, overflow)) {
        out.status = overflow ? DBSTATUS_E_DATAOVERFLOW : DBSTATUS_E_CANTCONVERTVALUE;
        return;
    }
    if (value < min || value > max) {
        out.status = value < 0 && min == 0 ? DBSTATUS_E_SIGNMISMATCH : DBSTATUS_E_DATAOVERFLOW;
        return;
    }
    Put(out, static_cast<T>(value));
}

// ---- One column type each: the stored value, converted or refused with its status ----

void MaterialiseBytes(const StoredValue& v, TypedValue& out) {
    if (v.kind == SQLITE_BLOB || v.kind == SQLITE_TEXT) {
        out.bytes = v.bytes.data();
        out.length = v.bytes.size();
    } else {
        out.status = DBSTATUS_E_CANTCONVERTVALUE;
    }
}

void MaterialiseReal(const StoredValue& v, DBTYPE type, TypedValue& out) {
    double d;
    if (!AsReal(v, d)) {
        out.status = DBSTATUS_E_CANTCONVERTVALUE;
    } else if (type == DBTYPE_R8) {
        Put(out, d);
    } else if (std::isfinite(d) && std::fabs(d) > 3.402823466e38) {
        out.status = DBSTATUS_E_DATAOVERFLOW;
    } else {
        Put(out, static_cast<float>(d));
    }
}

void MaterialiseBool(const StoredValue& v, TypedValue& out) {
    double d;
    VARIANT_BOOL b;
    if (AsReal(v, d)) {
        b = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    } else {
        std::string_view t = platform::Trim(v.bytes, kValueBlanks);
        auto is = [&](const char* word) { return platform::EqualsNoCase(t, word); };
        if (is("true") || is("yes") || is("on")) b = VARIANT_TRUE;
        else if (is("false") || is("no") || is("off")) b = VARIANT_FALSE;
        else {
            out.status = DBSTATUS_E_CANTCONVERTVALUE;
            return;
        }
    }
    Put(out, b);
}

void MaterialiseCurrency(const StoredValue& v, TypedValue& out) {
    // The double nearest to each end of the range stands for that end: SQLite keeps
    // 922337203685477.5807 as 922337203685477.625, which lies beyond the range by less
    // than the double's own spacing there.
    if (v.kind == SQLITE_FLOAT && (v.real == 922337203685477.5807 || v.real == -922337203685477.5808)) {
        Put(out, v.real > 0 ? INT64_MAX : INT64_MIN);
        return;
    }
    Decimal d;
    if (!AsDecimal(v, d)) {
        out.status = DBSTATUS_E_CANTCONVERTVALUE;
    } else if (!ScaleDecimal(d, 4, 19) || d.magnitude > static_cast<u128>(INT64_MAX) + (d.negative ? 1 : 0)) {
        out.status = DBSTATUS_E_DATAOVERFLOW;
    } else {
        const long long scaled = d.negative ? static_cast<long long>(-static_cast<__int128>(d.magnitude))
                                            : static_cast<long long>(d.magnitude);
        Put(out, scaled);
    }
}

void MaterialiseNumeric(const StoredValue& v, const ColumnType& column, TypedValue& out) {
    Decimal d;
    int scale = column.scale == 0xFF ? 0 : column.scale;
    int precision = column.precision == 0xFF ? 38 : column.precision;
    if (!AsDecimal(v, d)) {
        out.status = DBSTATUS_E_CANTCONVERTVALUE;
    } else if (!ScaleDecimal(d, scale, precision)) {
        out.status = DBSTATUS_E_DATAOVERFLOW;
    } else {
        DB_NUMERIC n{};
        n.precision = static_cast<BYTE>(precision);
        n.scale = static_cast<BYTE>(scale);
        n.sign = d.negative && d.magnitude != 0 ? 0 : 1;
        for (int i = 0; i < 16; ++i) n.val[i] = static_cast<BYTE>(d.magnitude >> (8 * i));
        Put(out, n);
    }
}

}  // namespace

// One look-up of the column, then its value's accessors: each sqlite3_column_* call finds
// the column again and checks the connection's allocation state, and a row is loaded for
// every row a walk steps over.
void StoredValue::Load(sqlite3_stmt* statement, int column) {
    sqlite3_value* value = sqlite3_column_value(statement, column);
    kind = sqlite3_value_type(value);
    switch (kind) {
    case SQLITE_INTEGER: integer = sqlite3_value_int64(value); break;
    case SQLITE_FLOAT: real = sqlite3_value_double(value); break;
    case SQLITE_TEXT: {
        const unsigned char* text = sqlite3_value_text(value);
        bytes.assign(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_value_bytes(value)));
        break;
    }
    case SQLITE_BLOB: {
        const void* blob = sqlite3_value_blob(value);
        int n = sqlite3_value_bytes(value);
        bytes.assign(static_cast<const char*>(blob), blob ? static_cast<std::size_t>(n) : 0);
        break;
    }
    default: break;
    }
}

std::string ShortestReal(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
    char buffer[32];
    for (int precision = 15; precision <= 17; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
        if (std::strtod(buffer, nullptr) == value) break;
    }
    return buffer;
}

void Materialise(const StoredValue& v, const ColumnType& column, TypedValue& out) {
    out.type = column.type;
    out.status = DBSTATUS_S_OK;
    out.length = 0;
    if (v.kind == SQLITE_NULL) {
        out.status = DBSTATUS_S_ISNULL;
        return;
    }
    switch (column.type) {
    case DBTYPE_WSTR: MaterialiseText(v, out); return;
    case DBTYPE_BYTES: MaterialiseBytes(v, out); return;
    case DBTYPE_I1: MaterialiseInteger<signed char>(v, out, -128, 127); return;
    case DBTYPE_UI1: MaterialiseInteger<unsigned char>(v, out, 0, 255); return;
    case DBTYPE_I2: MaterialiseInteger<short>(v, out, -32768, 32767); return;
    case DBTYPE_UI2: MaterialiseInteger<unsigned short>(v, out, 0, 65535); return;
    case DBTYPE_I4: MaterialiseInteger<int>(v, out, -2147483648LL, 2147483647LL); return;
    case DBTYPE_UI4: MaterialiseInteger<unsigned>(v, out, 0, 4294967295LL); return;
    case DBTYPE_I8:
    case DBTYPE_UI8:
        MaterialiseInteger<long long>(v, out, column.type == DBTYPE_UI8 ? 0 : INT64_MIN, INT64_MAX);
        return;
    case DBTYPE_R8:
    case DBTYPE_R4: MaterialiseReal(v, column.type, out); return;
    case DBTYPE_BOOL: MaterialiseBool(v, out); return;
    case DBTYPE_CY: MaterialiseCurrency(v, out); return;
    case DBTYPE_NUMERIC: MaterialiseNumeric(v, column, out); return;
    case DBTYPE_DATE: MaterialiseDate(v, out); return;
    case DBTYPE_GUID: MaterialiseGuid(v, out); return;
    default: out.status = DBSTATUS_E_CANTCONVERTVALUE; return;
    }
}

}  // namespace orv::engine
