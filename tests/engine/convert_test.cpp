// The engine's data conversions, through the internal API and the conversion library.
#include "engine/convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/common/decimal.h"
#include "platform/oleauto.h"
#include "platform/utf.h"

#include "support/case_file.h"

using orv::engine::CanConvertType;
using orv::engine::ConversionSize;
using orv::engine::ConvertValue;

namespace {

using u128 = unsigned __int128;

struct Outcome {
    HRESULT hr;
    DBSTATUS status;
    DBLENGTH length;
};

Outcome Convert(DBTYPE srcType, const void* src, DBLENGTH srcLength, DBTYPE dstType, void* dst, DBLENGTH dstMax,
                BYTE precision = 0, BYTE scale = 0, DBDATACONVERT flags = 0) {
    Outcome o{E_FAIL, 0xFFFF, 0xFFFF};
    o.hr = ConvertValue(srcType, src, srcLength, dstType, dst, dstMax, &o.length, &o.status, precision, scale, flags);
    return o;
}

// A fixed-length value into another fixed-length type.
template <class Dst, class Src>
Outcome To(DBTYPE srcType, const Src& src, DBTYPE dstType, Dst& dst, BYTE precision = 0, BYTE scale = 0) {
    return Convert(srcType, &src, sizeof src, dstType, &dst, sizeof dst, precision, scale);
}

// A value as WSTR text; the conversion must succeed untruncated.
std::u16string Text(DBTYPE srcType, const void* src, DBLENGTH srcLength = 0) {
    char16_t buf[300];
    const Outcome o = Convert(srcType, src, srcLength, DBTYPE_WSTR, buf, sizeof buf);
    EXPECT_EQ(o.hr, S_OK);
    EXPECT_EQ(o.status, DBSTATUS_S_OK);
    if (o.hr != S_OK) return u"<failed>";
    EXPECT_EQ(o.length, std::char_traits<char16_t>::length(buf) * 2);
    return buf;
}
template <class T>
std::u16string TextOf(DBTYPE type, const T& value) {
    return Text(type, &value, sizeof value);
}

// Text into a fixed-length type.
template <class Dst>
Outcome Parse(std::u16string_view text, DBTYPE dstType, Dst& dst) {
    return Convert(DBTYPE_WSTR, text.data(), text.size() * 2, dstType, &dst, sizeof dst);
}

DB_NUMERIC Numeric(BYTE precision, BYTE scale, bool negative, u128 magnitude) {
    DB_NUMERIC n{};
    n.precision = precision;
    n.scale = scale;
    n.sign = negative ? 0 : 1;
    for (int i = 0; i < 16; ++i) n.val[i] = static_cast<BYTE>(magnitude >> (8 * i));
    return n;
}

DECIMAL Decimal(bool negative, BYTE scale, u128 magnitude) {
    DECIMAL d{};
    d.scale = scale;
    d.sign = negative ? DECIMAL_NEG : 0;
    d.Hi32 = static_cast<ULONG>(magnitude >> 64);
    d.Lo64 = static_cast<ULONGLONG>(magnitude);
    return d;
}

// ---- Cases of tests/engine/cases/convert.test ---------------------------------------------

// The types the case file names, as DBTYPE_ spells them.
#define ORV_TYPE(name) std::pair<const char*, DBTYPE>(#name, DBTYPE_##name)
constexpr std::pair<const char*, DBTYPE> kTypes[] = {
    ORV_TYPE(I1),     ORV_TYPE(I2),          ORV_TYPE(I4),       ORV_TYPE(I8),         ORV_TYPE(UI1),
    ORV_TYPE(UI2),    ORV_TYPE(UI4),         ORV_TYPE(UI8),      ORV_TYPE(R4),         ORV_TYPE(R8),
    ORV_TYPE(CY),     ORV_TYPE(DATE),        ORV_TYPE(BOOL),     ORV_TYPE(DECIMAL),    ORV_TYPE(NUMERIC),
    ORV_TYPE(WSTR),   ORV_TYPE(STR),         ORV_TYPE(BYTES),    ORV_TYPE(GUID),       ORV_TYPE(DBDATE),
    ORV_TYPE(DBTIME), ORV_TYPE(DBTIMESTAMP), ORV_TYPE(FILETIME), ORV_TYPE(VARNUMERIC), ORV_TYPE(VARIANT),
    ORV_TYPE(NULL),   ORV_TYPE(UDT),         ORV_TYPE(EMPTY),    ORV_TYPE(BSTR)};
#undef ORV_TYPE

DBTYPE TypeNamed(const std::string& name) {
    if (name.ends_with("+BYREF")) return TypeNamed(name.substr(0, name.size() - 6)) | DBTYPE_BYREF;
    if (name.ends_with("+ARRAY")) return TypeNamed(name.substr(0, name.size() - 6)) | DBTYPE_ARRAY;
    for (const auto& [spelling, type] : kTypes)
        if (name == spelling) return type;
    ADD_FAILURE() << "unknown type " << name;
    return DBTYPE_EMPTY;
}
std::string NameOf(DBTYPE type) {
    for (const auto& [spelling, each] : kTypes)
        if (type == each) return spelling;
    return std::to_string(type);
}

std::string Trimmed(const std::string& s) {
    const std::size_t first = s.find_first_not_of(' '), last = s.find_last_not_of(' ');
    return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

// A quoted text with its \xHH escapes replaced.
std::string Unquoted(const std::string& field) {
    std::string out;
    for (std::size_t i = 1; i + 1 < field.size(); ++i) {
        if (field.compare(i, 2, "\\x") == 0) {
            out += static_cast<char>(std::stoi(field.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// "-123" -> negative, 123.
u128 Magnitude(const std::string& text, bool& negative) {
    negative = !text.empty() && text[0] == '-';
    u128 m = 0;
    for (char c : text.substr(negative)) m = m * 10 + static_cast<unsigned>(c - '0');
    return m;
}

template <class T>
std::vector<BYTE> BytesOf(const T& value) {
    std::vector<BYTE> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

std::vector<BYTE> SourceValue(DBTYPE type, const std::string& text) {
    const char* c = text.c_str();
    std::istringstream parts(text);
    switch (type) {
    case DBTYPE_I1: return BytesOf(static_cast<signed char>(std::strtoll(c, nullptr, 0)));
    case DBTYPE_I2: return BytesOf(static_cast<SHORT>(std::strtoll(c, nullptr, 0)));
    case DBTYPE_I4: return BytesOf(static_cast<LONG>(std::strtoll(c, nullptr, 0)));
    case DBTYPE_I8: return BytesOf(static_cast<LONGLONG>(std::strtoll(c, nullptr, 0)));
    case DBTYPE_UI1: return BytesOf(static_cast<BYTE>(std::strtoull(c, nullptr, 0)));
    case DBTYPE_UI2: return BytesOf(static_cast<USHORT>(std::strtoull(c, nullptr, 0)));
    case DBTYPE_UI4: return BytesOf(static_cast<ULONG>(std::strtoull(c, nullptr, 0)));
    case DBTYPE_UI8: return BytesOf(static_cast<ULONGLONG>(std::strtoull(c, nullptr, 0)));
    case DBTYPE_R4: return BytesOf(std::strtof(c, nullptr));
    case DBTYPE_R8:
    case DBTYPE_DATE: return BytesOf(std::strtod(c, nullptr));
    case DBTYPE_BOOL: return BytesOf(static_cast<VARIANT_BOOL>(std::strtol(c, nullptr, 0)));
    case DBTYPE_CY: {
        CY cy;
        cy.int64 = std::strtoll(c, nullptr, 0);
        return BytesOf(cy);
    }
    case DBTYPE_FILETIME: {
        const ULONGLONG ticks = std::strtoull(c, nullptr, 0);
        return BytesOf(FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)});
    }
    case DBTYPE_NUMERIC:
    case DBTYPE_DECIMAL: {
        std::vector<std::string> fields;
        for (std::string f; std::getline(parts, f, ',');) fields.push_back(f);
        bool negative = false;
        const u128 m = Magnitude(fields.back(), negative);
        if (type == DBTYPE_DECIMAL) return BytesOf(Decimal(negative, static_cast<BYTE>(std::stoi(fields[0])), m));
        return BytesOf(
            Numeric(static_cast<BYTE>(std::stoi(fields[0])), static_cast<BYTE>(std::stoi(fields[1])), negative, m));
    }
    case DBTYPE_DBDATE: {
        DBDATE d{};
        parts >> d.year >> d.month >> d.day;
        return BytesOf(d);
    }
    case DBTYPE_DBTIME: {
        DBTIME t{};
        parts >> t.hour >> t.minute >> t.second;
        return BytesOf(t);
    }
    case DBTYPE_DBTIMESTAMP: {
        DBTIMESTAMP ts{};
        parts >> ts.year >> ts.month >> ts.day >> ts.hour >> ts.minute >> ts.second >> ts.fraction;
        return BytesOf(ts);
    }
    case DBTYPE_VARIANT: {  // "TYPE VALUE", a VT_ of the same number (WSTR: a BSTR); EMPTY, NULL
        VARIANT v;
        VariantInit(&v);
        const std::size_t space = std::min(text.find(' '), text.size());
        const std::string value = text.substr(std::min(space + 1, text.size()));
        v.vt = TypeNamed(text.substr(0, space));
        if (v.vt == DBTYPE_WSTR) {
            v.vt = VT_BSTR;
            v.bstrVal = SysAllocString(orv::platform::Utf8ToUtf16(Unquoted(value)).c_str());
        } else if (v.vt != VT_EMPTY && v.vt != VT_NULL) {
            const std::vector<BYTE> bytes = SourceValue(v.vt, value);
            const VARTYPE vt = v.vt;  // a DECIMAL fills the whole VARIANT but for its type
            std::memcpy(vt == VT_DECIMAL ? static_cast<void*>(&v) : &v.lVal, bytes.data(), bytes.size());
            v.vt = vt;
        }
        return BytesOf(v);
    }
    case DBTYPE_WSTR: {
        const std::u16string wide = orv::platform::Utf8ToUtf16(Unquoted(text));
        const auto* units = reinterpret_cast<const BYTE*>(wide.data());
        return std::vector<BYTE>(units, units + wide.size() * 2);
    }
    default: {
        const std::string narrow = Unquoted(text);
        return std::vector<BYTE>(narrow.begin(), narrow.end());
    }
    }
}

// A status of the case file: the call's result and the value's status.
struct Expected {
    const char* name;
    HRESULT hr;
    DBSTATUS status;
};
constexpr Expected kStatuses[] = {{"OK", S_OK, DBSTATUS_S_OK},
                                  {"TRUNCATED", S_OK, DBSTATUS_S_TRUNCATED},
                                  {"OVERFLOW", DB_E_DATAOVERFLOW, DBSTATUS_E_DATAOVERFLOW},
                                  {"SIGNMISMATCH", DB_E_DATAOVERFLOW, DBSTATUS_E_SIGNMISMATCH},
                                  {"CANTCONVERT", DB_E_CANTCONVERTVALUE, DBSTATUS_E_CANTCONVERTVALUE},
                                  {"INVALIDARG", E_INVALIDARG, DBSTATUS_E_CANTCONVERTVALUE},
                                  {"UNSUPPORTED", DB_E_UNSUPPORTEDCONVERSION, DBSTATUS_E_CANTCONVERTVALUE},
                                  {"ISNULL", S_OK, DBSTATUS_S_ISNULL}};

void RunCase(const std::vector<std::string>& f) {
    const DBTYPE srcType = TypeNamed(f[0]);
    std::vector<BYTE> src = SourceValue(srcType & ~DBTYPE_BYREF, f[1]);
    const BYTE* srcData = src.data();  // what a source by reference points to
    // The destination: TYPE[(precision,scale)][/bytes].
    std::string dst = f[2];
    DBLENGTH dstMax = 600;
    if (const std::size_t slash = dst.find('/'); slash != std::string::npos) {
        dstMax = std::stoul(dst.substr(slash + 1));
        dst.resize(slash);
    }
    int precision = 0, scale = 0;
    if (const std::size_t paren = dst.find('('); paren != std::string::npos) {
        std::sscanf(dst.c_str() + paren, "(%d,%d)", &precision, &scale);
        dst.resize(paren);
    }
    const DBTYPE byref = TypeNamed(dst) & DBTYPE_BYREF, dstType = TypeNamed(dst) & ~DBTYPE_BYREF;
    std::istringstream statusField(f[3]);
    std::string statusName;
    long long length = -1;
    statusField >> statusName >> length;
    const Expected* expected = nullptr;
    for (const Expected& e : kStatuses)
        if (statusName == e.name) expected = &e;
    ASSERT_TRUE(expected) << "unknown status " << statusName;
    // Whether the pair converts at all does not depend on the value.
    EXPECT_EQ(CanConvertType(srcType, dstType | byref), expected->hr == DB_E_UNSUPPORTEDCONVERSION ? S_FALSE : S_OK);

    alignas(16) BYTE buffer[600];
    std::memset(buffer, 0xA5, sizeof buffer);
    const Outcome o =
        Convert(srcType, srcType & DBTYPE_BYREF ? static_cast<const void*>(&srcData) : srcData, src.size(),
                dstType | byref, buffer, dstMax, static_cast<BYTE>(precision), static_cast<BYTE>(scale));
    // A destination by reference is a buffer the conversion made, for the caller to free.
    const std::unique_ptr<BYTE, void (*)(void*)> made(
        byref && SUCCEEDED(o.hr) ? *reinterpret_cast<BYTE**>(buffer) : nullptr, CoTaskMemFree);
    const BYTE* out = byref ? made.get() : buffer;
    if (srcType == DBTYPE_VARIANT) VariantClear(reinterpret_cast<VARIANT*>(src.data()));
    EXPECT_EQ(o.hr, expected->hr);
    ASSERT_EQ(o.status, expected->status);
    if (length >= 0) {
        EXPECT_EQ(o.length, static_cast<DBLENGTH>(length));
    }
    const std::string& result = f[4];
    if (result.empty()) {  // the buffer as it was
        EXPECT_TRUE(std::all_of(buffer, buffer + sizeof buffer, [](BYTE b) { return b == 0xA5; }));
        return;
    }
    if (dstType == DBTYPE_WSTR) {
        const std::u16string text(reinterpret_cast<const char16_t*>(out));
        EXPECT_EQ(orv::platform::Utf16ToUtf8(text), result);
        if (length < 0 && expected->status == DBSTATUS_S_OK) {
            EXPECT_EQ(o.length, text.size() * 2);
        }
    } else if (dstType == DBTYPE_VARIANT) {  // its type, and what it holds as text
        VARIANT* v = reinterpret_cast<VARIANT*>(buffer);
        EXPECT_EQ(
            v->vt == VT_NULL ? "NULL" : NameOf(v->vt) + " " + orv::platform::Utf16ToUtf8(TextOf(DBTYPE_VARIANT, *v)),
            result);
        VariantClear(v);
    } else if (dstType == DBTYPE_STR) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(out)), result);
    } else if (dstType == DBTYPE_NUMERIC) {  // its shape too, as a source value is written
        DB_NUMERIC n;
        std::memcpy(&n, out, sizeof n);
        u128 magnitude = 0;
        for (int i = 15; i >= 0; --i) magnitude = magnitude << 8 | n.val[i];
        EXPECT_EQ(std::to_string(n.precision) + "," + std::to_string(n.scale) + "," + (n.sign ? "" : "-") +
                      orv::engine::U128Text(magnitude),
                  result);
    } else {  // as much of the value as the buffer holds
        EXPECT_EQ(orv::platform::Utf16ToUtf8(Text(dstType, out, byref ? o.length : std::min(o.length, dstMax))),
                  result);
    }
}

TEST(ConvertCases, EachLineOfTheCaseFile) {
    const int cases = orv::test::ForEachCase("convert.test", [](const std::string& line) {
        std::vector<std::string> fields;
        for (std::size_t from = 0;;) {
            const std::size_t bar = line.find(" |", from);
            fields.push_back(Trimmed(line.substr(from, bar == std::string::npos ? bar : bar - from)));
            if (bar == std::string::npos) break;
            from = bar + 2;
        }
        fields.resize(5);
        RunCase(fields);
    });
    EXPECT_GT(cases, 100);
}

// ---- Flags: narrow text that ends at its terminator, data that must not be cut ----------------

TEST(ConvertFlags, TextToItsTerminatorAndBytesThatMustNotBeCut) {
    char16_t wide[16];
    const Outcome o =
        Convert(DBTYPE_STR, "caf\xC3\xA9", 0, DBTYPE_WSTR, wide, sizeof wide, 0, 0, DBDATACONVERT_LENGTHFROMNTS);
    EXPECT_EQ(o.hr, S_OK);
    EXPECT_EQ(std::u16string(wide), u"caf\u00E9");
    const BYTE bytes[] = {1, 2, 3, 4, 5};
    BYTE out[3] = {9, 9, 9};
    EXPECT_EQ(Convert(DBTYPE_BYTES, bytes, 5, DBTYPE_BYTES, out, 3, 0, 0, DBDATACONVERT_SETDATABEHAVIOR).hr,
              DB_E_DATAOVERFLOW);
    EXPECT_EQ(out[0], 9);
}

// ---- Dates ----------------------------------------------------------------------------------

DBTIMESTAMP Stamp(const DATE& date) {
    DBTIMESTAMP ts{};
    EXPECT_EQ(To(DBTYPE_DATE, date, DBTYPE_DBTIMESTAMP, ts).status, DBSTATUS_S_OK) << date;
    return ts;
}

TEST(ConvertDates, TheWholeAutomationRangeAgreesWithVariantTime) {
    for (double day = -657434.0; day <= 2958465.0; day += 997.0) {
        for (double time : {0.0, 0.25, 0.999988425925926}) {  // midnight, 06:00, 23:59:59
            const double value = day < 0 ? day - time : day + time;
            const DBTIMESTAMP ts = Stamp(value);
            SYSTEMTIME st{};
            ASSERT_TRUE(VariantTimeToSystemTime(value, &st));
            ASSERT_EQ(ts.year, st.wYear);
            ASSERT_EQ(ts.month, st.wMonth);
            ASSERT_EQ(ts.day, st.wDay);
            ASSERT_EQ(ts.hour * 3600 + ts.minute * 60 + ts.second, st.wHour * 3600 + st.wMinute * 60 + st.wSecond);
            DATE back = 0;
            ASSERT_EQ(To(DBTYPE_DBTIMESTAMP, ts, DBTYPE_DATE, back).status, DBSTATUS_S_OK);
            ASSERT_NEAR(back, value, 1e-8);
            // And through text.
            const std::u16string text = TextOf(DBTYPE_DATE, value);
            ASSERT_EQ(Parse(text, DBTYPE_DATE, back).status, DBSTATUS_S_OK);
            ASSERT_NEAR(back, value, 1e-8);
        }
    }
}

TEST(ConvertDates, MillisecondsSurviveDate) {
    const DBTIMESTAMP precise{2021, 3, 4, 5, 6, 7, 123000000};
    DATE date = 0;
    EXPECT_EQ(To(DBTYPE_DBTIMESTAMP, precise, DBTYPE_DATE, date).status, DBSTATUS_S_OK);
    EXPECT_EQ(Stamp(date).fraction, 123000000u);
}

// ---- Variants, NULL -------------------------------------------------------------

// The rest of the VARIANT conversions are lines of the case file.
TEST(ConvertVariants, ACopyHoldsItsOwnTextAndAReferenceReadsWhatItPointsAt) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u" 42 ");
    VARIANT copy;
    EXPECT_EQ(To(DBTYPE_VARIANT, v, DBTYPE_VARIANT, copy).status, DBSTATUS_S_OK);
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, v.bstrVal);  // a copy of its own
    VariantClear(&copy);
    VariantClear(&v);
    LONG answer = 42;
    v.vt = VT_I4 | VT_BYREF;
    v.byref = &answer;
    EXPECT_EQ(TextOf(DBTYPE_VARIANT, v), u"42");
}

// ---- Pairs, sizes and the COM class ----------------------------------------------------------

TEST(ConvertPairs, CommonPairsAreOffered) {
    for (DBTYPE t : {DBTYPE_I1, DBTYPE_R8, DBTYPE_NUMERIC, DBTYPE_DATE, DBTYPE_DBTIME, DBTYPE_GUID, DBTYPE_BYTES,
                     DBTYPE_VARIANT, DBTYPE_BSTR}) {
        EXPECT_EQ(CanConvertType(t, DBTYPE_WSTR), S_OK) << t;
        EXPECT_EQ(CanConvertType(DBTYPE_WSTR, t), S_OK) << t;
        EXPECT_EQ(CanConvertType(t, t), S_OK) << t;
    }
}

TEST(ConvertLibrary, TheComClassAnswersAsTheFunctionsDo) {
    CComPtr<IDataConvert> convert;
    ASSERT_EQ(convert.CoCreateInstance(CLSID_OLEDB_CONVERSIONLIBRARY), S_OK);
    EXPECT_EQ(convert->CanConvert(DBTYPE_NUMERIC, DBTYPE_WSTR), S_OK);
    EXPECT_EQ(convert->CanConvert(DBTYPE_GUID, DBTYPE_DATE), S_FALSE);

    DB_NUMERIC n = Numeric(10, 2, true, 12345);
    char16_t buf[16];
    DBLENGTH length = 0;
    DBSTATUS status = 0;
    EXPECT_EQ(convert->DataConvert(DBTYPE_NUMERIC, DBTYPE_WSTR, sizeof n, &length, &n, buf, sizeof buf, DBSTATUS_S_OK,
                                   &status, 0, 0, 0),
              S_OK);
    EXPECT_EQ(std::u16string(buf), u"-123.45");
    EXPECT_EQ(length, 14u);
    // A NULL source passes its status through and leaves the buffer alone.
    buf[0] = u'x';
    EXPECT_EQ(convert->DataConvert(DBTYPE_NUMERIC, DBTYPE_WSTR, 0, &length, nullptr, buf, sizeof buf, DBSTATUS_S_ISNULL,
                                   &status, 0, 0, 0),
              S_OK);
    EXPECT_EQ(status, DBSTATUS_S_ISNULL);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(buf[0], u'x');
    EXPECT_EQ(convert->DataConvert(DBTYPE_I4, DBTYPE_WSTR, 4, &length, &n, buf, sizeof buf, DBSTATUS_S_DEFAULT, &status,
                                   0, 0, 0),
              DB_E_BADSTATUSVALUE);

    EXPECT_EQ(convert->GetConversionSize(DBTYPE_I4, DBTYPE_R8, nullptr, &length, nullptr), S_OK);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(convert->GetConversionSize(DBTYPE_I4, DBTYPE_WSTR, nullptr, &length, nullptr), S_OK);
    EXPECT_EQ(length, 24u);  // "-2147483648" and a terminator
    EXPECT_EQ(convert->GetConversionSize(DBTYPE_NUMERIC, DBTYPE_STR, nullptr, &length, &n), S_OK);
    EXPECT_EQ(length, 8u);
    char16_t text[] = u"hello";
    EXPECT_EQ(convert->GetConversionSize(DBTYPE_WSTR, DBTYPE_STR, nullptr, &length, text), S_OK);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(convert->GetConversionSize(DBTYPE_BYTES, DBTYPE_WSTR, nullptr, &length, nullptr), E_INVALIDARG);
    EXPECT_EQ(convert->GetConversionSize(DBTYPE_GUID, DBTYPE_I4, nullptr, &length, nullptr),
              DB_E_UNSUPPORTEDCONVERSION);
    EXPECT_EQ(convert->GetConversionSize(DBTYPE_I4, DBTYPE_I4, nullptr, nullptr, nullptr), E_INVALIDARG);
}

TEST(ConvertLibrary, ValuesAtOddAddressesAndMeasuringWithoutADestination) {
    alignas(8) BYTE buffer[64] = {};
    const LONG i4 = 123456;
    EXPECT_EQ(Convert(DBTYPE_I4, &i4, 4, DBTYPE_R8, buffer + 1, 8).status, DBSTATUS_S_OK);
    double r8 = 0;
    std::memcpy(&r8, buffer + 1, 8);
    EXPECT_EQ(r8, 123456.0);
    std::memcpy(buffer + 11, u"77", 4);
    LONG out = 0;
    EXPECT_EQ(Convert(DBTYPE_WSTR, buffer + 11, 4, DBTYPE_I4, &out, 4).status, DBSTATUS_S_OK);
    EXPECT_EQ(out, 77);
    const DB_NUMERIC n = Numeric(10, 2, true, 12345);
    const Outcome o = Convert(DBTYPE_NUMERIC, &n, sizeof n, DBTYPE_WSTR | DBTYPE_BYREF, nullptr, 0);
    EXPECT_EQ(o.status, DBSTATUS_S_OK);
    EXPECT_EQ(o.length, 14u);
}

}  // namespace
