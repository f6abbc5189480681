// Values as the engine holds them between SQLite and the consumer: a StoredValue is one
// field of a result row copied out of SQLite (its storage class and bytes); Materialise
// turns it into the column's OLE DB type, which the accessor then hands to the consumer.
//
// Plain values; any thread.
#pragma once

#include <sqlite3.h>

#include <string>

#include "engine/sql/types.h"

namespace orv::engine {

struct StoredValue {
    int kind = SQLITE_NULL;  // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB, SQLITE_NULL
    long long integer = 0;
    double real = 0;
    std::string bytes;  // UTF-8 text or blob bytes

    void Load(sqlite3_stmt* statement, int column);
};

// A value in a column's OLE DB type. Fixed-size types live in `fixed`; text is UTF-16 in
// `text`; bytes point into the stored value (valid while it lives).
struct TypedValue {
    DBTYPE type = DBTYPE_EMPTY;
    DBSTATUS status = DBSTATUS_S_OK;
    alignas(8) unsigned char fixed[24] = {};
    std::u16string text;
    const void* bytes = nullptr;
    DBLENGTH length = 0;  // bytes of the value (text: UTF-16 bytes without terminator)

    const void* Data() const {
        if (type == DBTYPE_WSTR) return text.c_str();
        if (type == DBTYPE_BYTES) return bytes;
        return fixed;
    }
};

// Turns a stored value into `column`'s type; a value that does not fit gets an error
// status (DBSTATUS_E_CANTCONVERTVALUE, DBSTATUS_E_DATAOVERFLOW), NULL gets
// DBSTATUS_S_ISNULL.
void Materialise(const StoredValue& stored, const ColumnType& column, TypedValue& out);

// The shortest decimal text of a double that reads back as the same double, at most 17
// significant digits ("2.5", "0.1", "1e+300").
std::string ShortestReal(double value);

}  // namespace orv::engine
