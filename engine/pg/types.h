// PostgreSQL's types as OLE DB types, and the text of a value (libpq's text format) as
// the engine's StoredValue, from which the engine's own conversions take over.
//
// The mapping goes through the declared type names that the engine already reads
// (MapDeclaredType), so sizes, precision and flags are decided in one place.
//
// Pure functions; any thread.
#pragma once

#include <libpq-fe.h>

#include <string>

#include "engine/sql/types.h"
#include "engine/values.h"

namespace orv::engine::pg {

// How a value's text becomes a StoredValue.
enum class TextForm {
    Plain,  // as it is
    Bool,  // 't' / 'f'
    Bytes,  // bytea's hex form, \x...
    Money,  // "-$1,234.56" (lc_monetary C)
    Zoned,  // a time or timestamp with a UTC offset at its end, read as the session's local time
};

struct PgType {
    ColumnType type;
    TextForm form = TextForm::Plain;
    std::string declared;  // the engine's declared type name that gives `type`
};

// The OLE DB type of a column of type `oid` with modifier `typmod` (-1 when none).
PgType MapPgType(Oid oid, int typmod);

// Reads one field's text (`length` bytes; null for SQL NULL) into `out`.
void LoadText(const char* text, int length, TextForm form, StoredValue& out);

}  // namespace orv::engine::pg
