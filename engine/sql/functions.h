// Functions of the Windows data engine's SQL that every connection of the engine offers,
// registered on each SQLite connection a session opens.
//
// Registration is per connection; the functions keep no state and may run on any thread.
#pragma once

#include <sqlite3.h>

namespace orv::engine {

// Date(), Now() and Time(): the current local date, date and time, and time, as the ISO
// text the engine stores dates in.
void RegisterFunctions(sqlite3* db);

}  // namespace orv::engine
