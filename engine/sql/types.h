// How SQL column types become OLE DB types: declared type names (the Windows data engine's
// TEXT(n), MEMO, LONG, CURRENCY, YESNO, ... and SQLite's own) map to a DBTYPE with size,
// precision and scale; columns without a declared type (expressions) take the narrowest
// type that holds the values seen.
//
// Pure functions; any thread.
#pragma once

#include <string_view>

#include "platform/oledb.h"

namespace orv::engine {

// A text column longer than this many characters is a long (large) column.
inline constexpr DBLENGTH kLongColumnSize = 1073741823;
// The size of a text column declared without a length (SQLite's plain TEXT): as long as a
// value may be while still read in place.
inline constexpr DBLENGTH kUnsizedTextColumn = 8000;

struct ColumnType {
    DBTYPE type = DBTYPE_WSTR;
    DBLENGTH size = kUnsizedTextColumn;  // characters for text, bytes for binary, the type's size otherwise
    BYTE precision = 0xFF;
    BYTE scale = 0xFF;
    bool isLong = false;
    bool fixedLength = false;
    bool known = false;  // false when nothing was declared: to be inferred from values
};

// The OLE DB type of a declared column type; `known` is false for an empty declaration.
ColumnType MapDeclaredType(std::string_view declared);

using platform::FixedTypeSize;
// The precision OLE DB reports for the fixed-length numeric types.
BYTE DefaultPrecision(DBTYPE type);

// Narrows an undeclared column from the SQLite storage classes and values seen in it.
class TypeInference {
public:
    void SeeInteger(long long value);
    void SeeReal();
    void SeeText(std::size_t utf16Length);
    void SeeBlob(std::size_t bytes);
    ColumnType Result() const;

private:
    bool m_integer = false, m_wide = false, m_real = false, m_text = false, m_blob = false;
    std::size_t m_maxText = 0, m_maxBlob = 0;
};

}  // namespace orv::engine
