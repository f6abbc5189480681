// Field conversion: the held row's values as wide text, as 32-bit and 64-bit integers, as
// doubles and as VARIANTs, by the type each column was bound with.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "OrvOleDbCommand.h"
#include "command/command_state.h"
#include "platform/oleauto.h"

using orv::command::ColumnView;

namespace {

// Where a value sits and how much of the buffer it may use.
struct Value {
    DBTYPE type;
    const BYTE* data;
    DBLENGTH capacity;  // bytes of the value part
    DBLENGTH length;  // the length part: bytes of the value as the provider reported them
};

template <class T>
T Read(const BYTE* data) {
    T value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

CString Formatted(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    CString text;
    text.FormatV(format, args);
    va_end(args);
    return text;
}

// ASCII digits as UTF-16 text; numbers are short enough to stay inside the string itself.
CString AsciiText(const char* text, const char* end) {
    std::u16string units(static_cast<std::size_t>(end - text), u'\0');
    std::copy(text, end, units.begin());
    return CString(std::move(units));
}

// An integer in decimal, the digits "%d" and its kin print, without the formatter's
// parsing and its buffer for longer texts.
template <class Integer>
CString IntegerText(Integer value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    return AsciiText(digits, result.ptr);
}

// A number as "%f" prints it: six decimals, the same exact digits; infinities and NaNs in
// the C library's words through the formatter.
CString FixedText(double value) {
    if (!std::isfinite(value)) return Formatted(u"%f", value);
    // When a value in millionths rounds to a whole number below 2^52, the rounding moved it
    // by a quarter at most, so that number is the value rounded to six places: its digits
    // with the point put in are "%f"'s (prices, quarters and most stored amounts).
    const double millionths = value * 1e6;
    if (value != 0 && std::fabs(millionths) < 4503599627370496.0 && std::trunc(millionths) == millionths) {
        char digits[32];
        char* end = digits + sizeof digits;
        char* p = end;
        auto units = static_cast<unsigned long long>(std::fabs(millionths));
        for (int place = 0; place <= 6 || units != 0; ++place) {  // at least one digit before the point
            if (place == 6) *--p = '.';
            *--p = static_cast<char>('0' + units % 10);
            units /= 10;
        }
        if (value < 0) *--p = '-';
        return AsciiText(p, end);
    }
    char digits[400];  // the largest double has 309 digits before the point
    const auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 6);
    if (result.ec != std::errc()) return Formatted(u"%f", value);
    return AsciiText(digits, result.ptr);
}

// Text in a fixed-size part ends at its terminator, or at the end of the part when the
// provider filled it completely. The part is sized for the column's largest value (16 KB
// for text without a declared size) while the value is usually a few dozen units, so only
// the units up to the terminator are read and copied. The terminator, not the reported
// length, ends the text: a value holding a NUL unit has always been cut there.
std::u16string WideText(const BYTE* data, DBLENGTH capacity) {
    // The value part is aligned for its type and the provider wrote it as UTF-16 units.
    const auto* units = reinterpret_cast<const char16_t*>(data);
    const std::size_t room = capacity / sizeof(char16_t);
    const char16_t* end = std::char_traits<char16_t>::find(units, room, u'\0');
    return std::u16string(units, end ? static_cast<std::size_t>(end - units) : room);
}

std::u16string NarrowText(const BYTE* data, DBLENGTH capacity) {
    const char* text = reinterpret_cast<const char*>(data);
    const char* end = static_cast<const char*>(std::memchr(text, '\0', capacity));
    // Narrow text from the provider is UTF-8, the encoding of the stores behind it.
    return orv::platform::Utf8ToUtf16(std::string_view(text, end ? end - text : capacity));
}

// ---- Dates

constexpr const char16_t* kInvalidDate = u"Invalid DateTime";

// The user's locale's text of the date, as VarBstrFromDate gives it, formatted on the stack:
// a walk reads a date per row, and a BSTR made only to be copied and freed would cost two
// allocations each.
CString DateText(DATE date, ULONG flags) {
    char16_t text[orv::platform::kDateTextRoom];
    std::size_t length = 0;
    if (FAILED(orv::platform::FormatDate(date, LANG_USER_DEFAULT, flags, text, length))) return CString(kInvalidDate);
    return CString(std::u16string_view(text, length));
}

// Fields that do not make a real moment (31 April, hour 25) are refused rather than
// carried into the next month or day.
CString FieldsText(int year, int month, int day, int hour, int minute, int second, ULONG flags) {
    SYSTEMTIME fields = {};
    fields.wYear = static_cast<WORD>(year);
    fields.wMonth = static_cast<WORD>(month);
    fields.wDay = static_cast<WORD>(day);
    fields.wHour = static_cast<WORD>(hour);
    fields.wMinute = static_cast<WORD>(minute);
    fields.wSecond = static_cast<WORD>(second);
    SYSTEMTIME in = fields;
    DATE date = 0;
    SYSTEMTIME back = {};
    if (!SystemTimeToVariantTime(&in, &date) || !VariantTimeToSystemTime(date, &back)) return CString(kInvalidDate);
    if (back.wYear != fields.wYear || back.wMonth != fields.wMonth || back.wDay != fields.wDay ||
        back.wHour != fields.wHour || back.wMinute != fields.wMinute || back.wSecond != fields.wSecond)
        return CString(kInvalidDate);
    return DateText(date, flags);
}

CString FileTimeText(const FILETIME& time) {
    SYSTEMTIME st = {};
    if (!FileTimeToSystemTime(&time, &st)) return CString();
    return FieldsText(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, 0);
}

// ---- Exact numbers

// The 96-bit magnitude in decimal with the point `scale` digits from the right: 12345 with
// scale 2 is 123.45, 7 with scale 0 is "7.", 5 with scale 3 is 0.005.
CString DecimalText(const DECIMAL& value) {
    unsigned __int128 magnitude = (static_cast<unsigned __int128>(value.Hi32) << 64) | value.Lo64;
    std::u16string digits;
    do {
        digits.push_back(static_cast<char16_t>(u'0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    std::reverse(digits.begin(), digits.end());

    const std::size_t scale = value.scale;
    std::u16string text;
    if (digits.size() > scale) {
        const std::size_t whole = digits.size() - scale;
        text = digits.substr(0, whole) + u"." + digits.substr(whole);
    } else {
        digits.insert(0, scale - digits.size(), u'0');
        text = u"0." + digits;
    }
    if (value.sign != 0) text.insert(0, 1, u'-');
    return CString(std::move(text));
}

// A currency amount exactly, as a reader of money expects it: the point and up to four
// decimals only where the amount has them (12.5, -0.0001, 3), a minus sign in front.
CString CurrencyText(LONGLONG scaled) {
    const bool negative = scaled < 0;
    const ULONGLONG magnitude = negative ? 0 - static_cast<ULONGLONG>(scaled) : static_cast<ULONGLONG>(scaled);
    const ULONGLONG whole = magnitude / 10000;
    ULONGLONG fraction = magnitude % 10000;
    CString text = Formatted(u"%s%llu", negative ? u"-" : u"", static_cast<unsigned long long>(whole));
    if (fraction != 0) {
        int digits = 4;
        while (fraction % 10 == 0) {
            fraction /= 10;
            --digits;
        }
        text.AppendFormat(u".%0*llu", digits, static_cast<unsigned long long>(fraction));
    }
    return text;
}

// NUMERIC and VARNUMERIC through the connection's conversion object.
CString NumericText(const Value& value, OrvOleDbConnection* connection) {
    IDataConvert* convert = connection ? connection->GetIDataConvert() : nullptr;
    if (!convert) return CString();
    DBLENGTH sourceLength = sizeof(DB_NUMERIC);
    if (value.type == DBTYPE_VARNUMERIC) {
        // The whole variable-length value, as long as the provider said it is.
        sourceLength = value.length == 0 || value.length > value.capacity ? value.capacity : value.length;
    }
    char16_t text[200] = {};
    DBLENGTH textLength = 0;
    DBSTATUS status = DBSTATUS_S_OK;
    HRESULT hr = convert->DataConvert(value.type, DBTYPE_WSTR, sourceLength, &textLength, const_cast<BYTE*>(value.data),
                                      text, sizeof text, DBSTATUS_S_OK, &status, 0, 0, DBDATACONVERT_DEFAULT);
    if (hr != S_OK) return CString();
    text[199] = u'\0';
    return CString(text);
}

CString GuidText(const GUID& guid) {
    RPC_WSTR text = nullptr;
    if (UuidToStringW(&guid, &text) != RPC_S_OK) return CString();
    CString result(text);
    RpcStringFreeW(&text);
    return result;
}

CString ValueText(const Value& value, OrvOleDbConnection* connection);

// A VARIANT as the type it holds says; empty for the empty, null, object and by-reference
// kinds.
CString VariantText(const VARIANT& variant, OrvOleDbConnection* connection) {
    const BYTE* payload = reinterpret_cast<const BYTE*>(&variant.llVal);
    DBTYPE type = variant.vt;
    switch (variant.vt) {
    case VT_DECIMAL: payload = reinterpret_cast<const BYTE*>(&variant.decVal); break;
    case VT_INT: type = DBTYPE_I4; break;
    case VT_UINT: type = DBTYPE_UI4; break;
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL: break;
    default: return CString();
    }
    return ValueText(Value{type, payload, sizeof(VARIANT), 0}, connection);
}

CString ValueText(const Value& value, OrvOleDbConnection* connection) {
    const BYTE* data = value.data;
    switch (value.type) {
    case DBTYPE_I1: return Formatted(u"%c", static_cast<int>(Read<signed char>(data)));
    case DBTYPE_UI1: return IntegerText(static_cast<unsigned>(Read<BYTE>(data)));
    case DBTYPE_I2: return IntegerText(static_cast<int>(Read<SHORT>(data)));
    case DBTYPE_UI2: return IntegerText(static_cast<unsigned>(Read<USHORT>(data)));
    case DBTYPE_I4: return IntegerText(static_cast<int>(Read<LONG>(data)));
    case DBTYPE_UI4: return IntegerText(static_cast<unsigned>(Read<ULONG>(data)));
    case DBTYPE_I8: return IntegerText(static_cast<long long>(Read<LONGLONG>(data)));
    case DBTYPE_UI8: return IntegerText(static_cast<unsigned long long>(Read<ULONGLONG>(data)));
    case DBTYPE_R4: return FixedText(static_cast<double>(Read<float>(data)));
    case DBTYPE_R8: return FixedText(Read<double>(data));
    case DBTYPE_ERROR: return IntegerText(static_cast<int>(Read<SCODE>(data)));
    case DBTYPE_IDISPATCH: return Formatted(u"%p", Read<void*>(data));
    case DBTYPE_WSTR: return CString(WideText(data, value.capacity));
    case DBTYPE_STR: return CString(NarrowText(data, value.capacity));
    case DBTYPE_BSTR: return CString(Read<BSTR>(data));
    case DBTYPE_GUID: return GuidText(Read<GUID>(data));
    case DBTYPE_DATE: return DateText(Read<DATE>(data), 0);
    case DBTYPE_DBDATE: {
        const DBDATE d = Read<DBDATE>(data);
        return FieldsText(d.year, d.month, d.day, 0, 0, 0, VAR_DATEVALUEONLY);
    }
    case DBTYPE_DBTIME: {
        const DBTIME t = Read<DBTIME>(data);
        return FieldsText(1899, 12, 30, t.hour, t.minute, t.second, VAR_TIMEVALUEONLY);
    }
    case DBTYPE_DBTIMESTAMP: {
        const DBTIMESTAMP ts = Read<DBTIMESTAMP>(data);
        return FieldsText(ts.year, ts.month, ts.day, ts.hour, ts.minute, ts.second, 0);
    }
    case DBTYPE_FILETIME: return FileTimeText(Read<FILETIME>(data));
    case DBTYPE_DECIMAL: return DecimalText(Read<DECIMAL>(data));
    case DBTYPE_NUMERIC:
    case DBTYPE_VARNUMERIC: return NumericText(value, connection);
    case DBTYPE_CY: return CurrencyText(Read<LONGLONG>(data));
    // The words of the Automation conversion; FieldAsLong gives the numbers -1 and 0.
    case DBTYPE_BOOL: return CString(Read<VARIANT_BOOL>(data) != VARIANT_FALSE ? u"True" : u"False");
    case DBTYPE_VARIANT: return VariantText(*reinterpret_cast<const VARIANT*>(data), connection);
    default: return CString();
    }
}

// A 32-bit integer from decimal text, as the run time reads it: leading blanks, a sign,
// digits up to the first other character.
LONG TextToLong(const std::u16string& text) { return static_cast<LONG>(_wtol(text.c_str())); }

LONG ValueLong(const Value& value) {
    const BYTE* data = value.data;
    switch (value.type) {
    case DBTYPE_I1: return Read<signed char>(data);
    case DBTYPE_I2: return Read<SHORT>(data);
    case DBTYPE_UI1: return Read<BYTE>(data);
    case DBTYPE_UI2: return Read<USHORT>(data);
    case DBTYPE_I4:
    case DBTYPE_ERROR: return Read<LONG>(data);
    case DBTYPE_UI4: return static_cast<LONG>(Read<ULONG>(data));
    case DBTYPE_I8:
    case DBTYPE_UI8: return static_cast<LONG>(static_cast<ULONG>(Read<ULONGLONG>(data)));
    case DBTYPE_R4:
    case DBTYPE_R8: {
        const double number = value.type == DBTYPE_R4 ? Read<float>(data) : Read<double>(data);
        // Out of range and NaN give the 32-bit "integer indefinite" value.
        if (!(number > -2147483649.0 && number < 2147483648.0)) return static_cast<LONG>(0x80000000u);
        return static_cast<LONG>(number);
    }
    case DBTYPE_CY: return static_cast<LONG>(static_cast<ULONG>(static_cast<ULONGLONG>(Read<LONGLONG>(data) / 10000)));
    case DBTYPE_BOOL: return Read<VARIANT_BOOL>(data);
    case DBTYPE_DATE: {
        LONG result = 0;
        return VarI4FromDate(Read<DATE>(data), &result) == S_OK ? result : 0;
    }
    case DBTYPE_DECIMAL: {
        const DECIMAL decimal = Read<DECIMAL>(data);
        LONG result = 0;
        return VarI4FromDec(&decimal, &result) == S_OK ? result : 0;
    }
    case DBTYPE_BSTR: {
        const BSTR text = Read<BSTR>(data);
        return text ? static_cast<LONG>(_wtol(text)) : 0;
    }
    case DBTYPE_STR: return TextToLong(NarrowText(data, value.capacity));
    case DBTYPE_WSTR: return TextToLong(WideText(data, value.capacity));
    default: return 0;
    }
}

// The value of a column that holds one: open, in range, neither NULL nor in error.
bool ReadableValue(const ColumnView& view, Value& value) {
    if (view.status != DBSTATUS_S_OK && view.status != DBSTATUS_S_TRUNCATED) return false;
    if (!view.value) return false;
    value = Value{view.info->wType, view.value, view.slot->valueSize, view.length};
    return true;
}

// ---- Typed reads

// The value as the natural VARIANT of its type, through the connection's conversion object
// for the exact and date types it has rules for; false when it has no VARIANT form.
bool ConvertedVariant(const Value& value, OrvOleDbConnection* connection, VARIANT& out) {
    IDataConvert* convert = connection ? connection->GetIDataConvert() : nullptr;
    if (!convert) return false;
    DBLENGTH length = 0;
    DBSTATUS status = DBSTATUS_S_OK;
    const DBLENGTH sourceLength = value.type == DBTYPE_VARNUMERIC && value.length ? value.length : value.capacity;
    HRESULT hr = convert->DataConvert(value.type, DBTYPE_VARIANT, sourceLength, &length, const_cast<BYTE*>(value.data),
                                      &out, sizeof out, DBSTATUS_S_OK, &status, 0, 0, DBDATACONVERT_DEFAULT);
    if (hr == S_OK && status == DBSTATUS_S_OK) return true;
    VariantInit(&out);
    return false;
}

BSTR NewBstr(const std::u16string& text) { return SysAllocStringLen(text.data(), static_cast<UINT>(text.size())); }

bool BytesVariant(const BYTE* data, std::size_t size, VARIANT& out) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
    if (!array) return false;
    if (size) std::memcpy(array->pvData, data, size);
    out.vt = VT_ARRAY | VT_UI1;
    out.parray = array;
    return true;
}

// A value bound in place.
void ValueVariant(const Value& value, OrvOleDbConnection* connection, VARIANT& out) {
    const BYTE* data = value.data;
    switch (value.type) {
    case DBTYPE_I1: out.vt = VT_I2, out.iVal = Read<signed char>(data); return;
    case DBTYPE_I2: out.vt = VT_I2, out.iVal = Read<SHORT>(data); return;
    case DBTYPE_UI1: out.vt = VT_UI1, out.bVal = Read<BYTE>(data); return;
    case DBTYPE_UI2: out.vt = VT_I4, out.lVal = Read<USHORT>(data); return;
    case DBTYPE_I4: out.vt = VT_I4, out.lVal = Read<LONG>(data); return;
    case DBTYPE_UI4: out.vt = VT_I8, out.llVal = Read<ULONG>(data); return;
    case DBTYPE_I8: out.vt = VT_I8, out.llVal = Read<LONGLONG>(data); return;
    case DBTYPE_UI8: {
        const ULONGLONG n = Read<ULONGLONG>(data);
        if (n <= static_cast<ULONGLONG>(INT64_MAX)) {
            out.vt = VT_I8, out.llVal = static_cast<LONGLONG>(n);
        } else {  // beyond VT_I8: a DECIMAL holds it whole
            DECIMAL d{};
            d.Lo64 = n;
            out.decVal = d;
            out.vt = VT_DECIMAL;
        }
        return;
    }
    case DBTYPE_R4: out.vt = VT_R4, out.fltVal = Read<float>(data); return;
    case DBTYPE_R8: out.vt = VT_R8, out.dblVal = Read<double>(data); return;
    case DBTYPE_CY: out.vt = VT_CY, out.cyVal.int64 = Read<LONGLONG>(data); return;
    case DBTYPE_BOOL: out.vt = VT_BOOL, out.boolVal = Read<VARIANT_BOOL>(data); return;
    case DBTYPE_DATE: out.vt = VT_DATE, out.date = Read<DATE>(data); return;
    case DBTYPE_DECIMAL: {
        const DECIMAL d = Read<DECIMAL>(data);
        out.decVal = d;
        out.vt = VT_DECIMAL;  // after the value: its first word is the VARTYPE
        return;
    }
    case DBTYPE_WSTR: out.vt = VT_BSTR, out.bstrVal = NewBstr(WideText(data, value.capacity)); return;
    case DBTYPE_STR: out.vt = VT_BSTR, out.bstrVal = NewBstr(NarrowText(data, value.capacity)); return;
    case DBTYPE_BSTR: {
        const BSTR text = Read<BSTR>(data);
        out.vt = VT_BSTR, out.bstrVal = SysAllocStringLen(text, SysStringLen(text));
        return;
    }
    case DBTYPE_GUID: {
        OLECHAR text[40] = {};
        const GUID guid = Read<GUID>(data);
        if (StringFromGUID2(guid, text, 40) > 0) out.vt = VT_BSTR, out.bstrVal = SysAllocString(text);
        return;
    }
    case DBTYPE_BYTES: BytesVariant(data, std::min<DBLENGTH>(value.length, value.capacity), out); return;
    case DBTYPE_VARIANT: VariantCopy(&out, reinterpret_cast<const VARIANT*>(data)); return;
    // NUMERIC and the other dates: the conversion object has their rules (VT_DECIMAL, VT_DATE).
    default: ConvertedVariant(value, connection, out); return;
    }
}

// Field `col` as `type` into `out`, by the conversion library's rules for every source
// type (fractions cut toward zero, ranges checked); `out` stays as it was when the field is
// NULL or does not convert whole.
void ReadConverted(OrvOleDbCommand& command, unsigned __int64 col, DBTYPE type, void* out, DBLENGTH size) {
    VARIANT v;
    if (!command.FieldAsVariant(col, v)) return;
    OrvOleDbConnection* connection = command.GetConnection();
    IDataConvert* convert = connection ? connection->GetIDataConvert() : nullptr;
    alignas(8) BYTE result[8] = {};
    DBLENGTH length = 0;
    DBSTATUS status = DBSTATUS_S_OK;
    if (convert && v.vt != VT_NULL && v.vt != VT_EMPTY &&
        convert->DataConvert(DBTYPE_VARIANT, type, sizeof v, &length, &v, result, size, DBSTATUS_S_OK, &status, 0, 0,
                             DBDATACONVERT_DEFAULT) == S_OK &&
        status == DBSTATUS_S_OK)
        std::memcpy(out, result, size);
    VariantClear(&v);
}

}  // namespace

CString OrvOleDbCommand::FieldAsString(unsigned __int64 col) {
    ColumnView view;
    Value value;
    if (!ColumnInRange(col) || !m_command->accessor.View(col, view) || !ReadableValue(view, value)) return CString();
    return ValueText(value, m_connection);
}

CString OrvOleDbCommand::FieldAsStringEx(unsigned __int64 col) {
    CString text = FieldAsString(col);
    text.TrimRight();
    return text;
}

LONG OrvOleDbCommand::FieldAsLong(unsigned __int64 col) {
    ColumnView view;
    Value value;
    if (!ColumnInRange(col) || !m_command->accessor.View(col, view) || !ReadableValue(view, value)) return 0;
    return ValueLong(value);
}

bool OrvOleDbCommand::FieldAsVariant(unsigned __int64 col, VARIANT& value) {
    VariantInit(&value);
    ColumnView view;
    if (!ColumnInRange(col) || !m_command->accessor.View(col, view)) return false;
    if (view.status == DBSTATUS_S_ISNULL) {
        value.vt = VT_NULL;
        return true;
    }
    const DBTYPE bound = view.info->wType;
    if ((bound & DBTYPE_BYREF) || (bound == DBTYPE_IUNKNOWN && view.slot->providerType != DBTYPE_IUNKNOWN)) {
        // A large value: read whole, as text or bytes by the column's own type.
        CHeapPtr<unsigned char> data;
        const ULONG size = GetBlobData(col, data);
        const DBTYPE own = static_cast<DBTYPE>(view.slot->providerType & ~DBTYPE_BYREF);
        if (own == DBTYPE_WSTR || own == DBTYPE_BSTR) {
            value.vt = VT_BSTR;
            value.bstrVal = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(data.m_pData), size / sizeof(OLECHAR));
        } else if (own == DBTYPE_STR) {
            value.vt = VT_BSTR;
            value.bstrVal = NewBstr(
                orv::platform::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data.m_pData), size)));
        } else {
            BytesVariant(data.m_pData, size, value);
        }
        return true;
    }
    Value field;
    if (ReadableValue(view, field)) ValueVariant(field, m_connection, value);
    return true;
}

LONGLONG OrvOleDbCommand::FieldAsInt64(unsigned __int64 col) {
    LONGLONG result = 0;
    ReadConverted(*this, col, DBTYPE_I8, &result, sizeof result);
    return result;
}

double OrvOleDbCommand::FieldAsDouble(unsigned __int64 col) {
    double result = 0.0;
    ReadConverted(*this, col, DBTYPE_R8, &result, sizeof result);
    return result;
}
