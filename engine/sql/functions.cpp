#include "engine/sql/functions.h"

#include <ctime>

namespace orv::engine {
namespace {

// Formats the current local time with `format` (strftime) as the function's text result.
void LocalNow(sqlite3_context* context, const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::size_t n = std::strftime(text, sizeof text, format, &local);
    sqlite3_result_text(context, text, static_cast<int>(n), SQLITE_TRANSIENT);
}

void Date(sqlite3_context* context, int, sqlite3_value**) { LocalNow(context, "%Y-%m-%d"); }
void Now(sqlite3_context* context, int, sqlite3_value**) { LocalNow(context, "%Y-%m-%d %H:%M:%S"); }
void Time(sqlite3_context* context, int, sqlite3_value**) { LocalNow(context, "%H:%M:%S"); }

}  // namespace

void RegisterFunctions(sqlite3* db) {
    // Registered with no arguments only: SQLite's own date(X, ...) and time(X, ...) keep
    // their meaning when called with arguments. Names are matched without regard to case.
    const int flags = SQLITE_UTF8;
    sqlite3_create_function_v2(db, "date", 0, flags, nullptr, Date, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db, "now", 0, flags, nullptr, Now, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db, "time", 0, flags, nullptr, Time, nullptr, nullptr, nullptr);
}

}  // namespace orv::engine
