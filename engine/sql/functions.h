// Functions of the Windows data engine's SQL that every connection of the engine offers,
// registered on each SQLite connection a session opens.
//
// Registration is per connection; the functions keep no state and may run on any thread.
#pragma once

#include <sqlite3.h>

namespace orv::engine {

// The Windows engine's functions (Date, Now, Year, DateAdd, IIf, Nz, Left, Mid, InStr, CLng,
// Format, ...; docs/sql.md lists them) and orv_concat, the '&' operator. Dates are read from
// the engine's ISO text, other date text and OLE date numbers, and returned as ISO text; most
// functions return NULL for a NULL argument, as on Windows.
void RegisterFunctions(sqlite3* db);

}  // namespace orv::engine
