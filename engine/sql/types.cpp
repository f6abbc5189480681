#include "engine/sql/types.h"
#include "platform/strings.h"

#include <cctype>
#include <string>

namespace orv::engine {
namespace {

// Reads "(a)" or "(a, b)" after the type name; missing numbers stay as they were.
void ReadArguments(const std::string& rest, long& a, long& b) {
    std::size_t open = rest.find('(');
    if (open == std::string::npos) return;
    char* end = nullptr;
    long first = std::strtol(rest.c_str() + open + 1, &end, 10);
    if (end == rest.c_str() + open + 1) return;
    a = first;
    while (*end == ' ') ++end;
    if (*end == ',') {
        const char* start = end + 1;
        long second = std::strtol(start, &end, 10);
        if (end != start) b = second;
    }
}

ColumnType Fixed(DBTYPE type) {
    ColumnType t;
    t.type = type;
    t.size = FixedTypeSize(type);
    t.precision = DefaultPrecision(type);
    t.fixedLength = true;
    t.known = true;
    return t;
}

// A text or binary column of `size` characters or bytes; beyond 8000 it is a long column.
ColumnType Sized(DBTYPE type, DBLENGTH size, bool fixed = false) {
    ColumnType t;
    t.type = type;
    t.known = true;
    t.fixedLength = fixed;
    if (size > 8000) {
        t.size = kLongColumnSize;
        t.isLong = true;
    } else {
        t.size = size ? size : 1;
    }
    return t;
}

ColumnType Text(DBLENGTH size, bool fixed = false) { return Sized(DBTYPE_WSTR, size, fixed); }
ColumnType Binary(DBLENGTH size) { return Sized(DBTYPE_BYTES, size); }

}  // namespace

BYTE DefaultPrecision(DBTYPE type) {
    switch (type) {
    case DBTYPE_I1:
    case DBTYPE_UI1: return 3;
    case DBTYPE_I2: return 5;
    case DBTYPE_I4: return 10;
    case DBTYPE_I8: return 19;
    case DBTYPE_R4: return 7;
    case DBTYPE_R8: return 15;
    case DBTYPE_CY: return 19;
    case DBTYPE_DATE: return 0;
    case DBTYPE_NUMERIC: return 18;
    default: return 0xFF;
    }
}

ColumnType MapDeclaredType(std::string_view declared) {
    std::string text(platform::Trim(platform::Upper(declared)));
    if (text.empty()) return ColumnType{};
    std::size_t nameEnd = text.find('(');
    std::string name(platform::Trim(std::string_view(text).substr(0, nameEnd)));
    std::string rest = nameEnd == std::string::npos ? std::string() : text.substr(nameEnd);
    long a = -1, b = -1;
    ReadArguments(rest, a, b);

    auto is = [&](std::initializer_list<const char*> names) {
        for (const char* n : names)
            if (name == n) return true;
        return false;
    };

    if (is({"TEXT", "VARCHAR", "NVARCHAR", "CHARACTER VARYING", "NATIONAL CHARACTER VARYING", "STRING",
            "VARYING CHARACTER", "NATIONAL VARCHAR", "ALPHANUMERIC"}))
        return Text(a > 0 ? DBLENGTH(a) : kUnsizedTextColumn);
    if (is({"CHAR", "NCHAR", "CHARACTER", "NATIONAL CHARACTER", "NATIONAL CHAR"}))
        return Text(a > 0 ? DBLENGTH(a) : 1, true);
    if (is({"MEMO", "LONGTEXT", "LONGCHAR", "NOTE", "NTEXT", "CLOB", "MEDIUMTEXT", "HYPERLINK"}))
        return Text(kLongColumnSize);
    if (is({"INTEGER", "INT", "LONG", "INT4", "INTEGER4", "MEDIUMINT", "COUNTER", "AUTOINCREMENT", "IDENTITY"}))
        return Fixed(DBTYPE_I4);
    if (is({"SMALLINT", "SHORT", "INT2", "INTEGER2"})) return Fixed(DBTYPE_I2);
    if (is({"TINYINT", "BYTE", "INTEGER1", "UNSIGNED BYTE"})) return Fixed(DBTYPE_UI1);
    if (is({"BIGINT", "INT8", "INTEGER8", "LONGLONG", "UNSIGNED BIG INT"})) return Fixed(DBTYPE_I8);
    if (is({"SINGLE", "FLOAT4", "IEEESINGLE"})) return Fixed(DBTYPE_R4);
    if (is({"REAL", "DOUBLE", "FLOAT", "FLOAT8", "NUMBER", "DOUBLE PRECISION", "IEEEDOUBLE"})) return Fixed(DBTYPE_R8);
    if (is({"CURRENCY", "MONEY", "SMALLMONEY"})) return Fixed(DBTYPE_CY);
    if (is({"DATETIME", "DATE", "TIME", "TIMESTAMP", "SMALLDATETIME", "DATETIME2"})) return Fixed(DBTYPE_DATE);
    if (is({"YESNO", "BIT", "BOOLEAN", "BOOL", "LOGICAL", "LOGICAL1"})) return Fixed(DBTYPE_BOOL);
    if (is({"GUID", "UNIQUEIDENTIFIER"})) return Fixed(DBTYPE_GUID);
    if (is({"DECIMAL", "NUMERIC", "DEC"})) {
        ColumnType t = Fixed(DBTYPE_NUMERIC);
        t.precision = static_cast<BYTE>(a > 0 && a <= 38 ? a : 18);
        t.scale = static_cast<BYTE>(b >= 0 && b <= t.precision ? b : 0);
        return t;
    }
    if (is({"BINARY", "VARBINARY"})) return Binary(a > 0 ? DBLENGTH(a) : 510);
    if (is({"LONGBINARY", "OLEOBJECT", "GENERAL", "IMAGE", "BLOB", "LONGBLOB", "VARBINARY(MAX)"}))
        return Binary(kLongColumnSize);

    // Any other name: SQLite's affinity rules, by the words it contains.
    if (name.find("INT") != std::string::npos) return Fixed(DBTYPE_I4);
    if (name.find("CHAR") != std::string::npos || name.find("CLOB") != std::string::npos ||
        name.find("TEXT") != std::string::npos)
        return Text(a > 0 ? DBLENGTH(a) : kUnsizedTextColumn);
    if (name.find("BLOB") != std::string::npos) return Binary(kLongColumnSize);
    if (name.find("REAL") != std::string::npos || name.find("FLOA") != std::string::npos ||
        name.find("DOUB") != std::string::npos)
        return Fixed(DBTYPE_R8);
    ColumnType unknown;  // decide from the values
    return unknown;
}

void TypeInference::SeeInteger(long long value) {
    m_integer = true;
    if (value < -2147483648LL || value > 2147483647LL) m_wide = true;
}
void TypeInference::SeeReal() { m_real = true; }
void TypeInference::SeeText(std::size_t utf16Length) {
    m_text = true;
    if (utf16Length > m_maxText) m_maxText = utf16Length;
}
void TypeInference::SeeBlob(std::size_t bytes) {
    m_blob = true;
    if (bytes > m_maxBlob) m_maxBlob = bytes;
}

ColumnType TypeInference::Result() const {
    ColumnType t;
    t.known = true;
    if (m_blob && !m_text && !m_integer && !m_real) {
        t = Binary(m_maxBlob > 8000 ? kLongColumnSize : 8000);
        return t;
    }
    if (m_text || m_blob) {
        t = Text(m_maxText > 8000 ? kLongColumnSize : kUnsizedTextColumn);
        return t;
    }
    if (m_real) return Fixed(DBTYPE_R8);
    if (m_integer) return Fixed(m_wide ? DBTYPE_I8 : DBTYPE_I4);
    // Only NULLs: text reads every value that may come.
    t = Text(kUnsizedTextColumn);
    return t;
}

}  // namespace orv::engine
