// The text orvsql shows for one field of a command's held row, in each output mode.
//
// A real number is the shortest text that reads back as the same double in every mode
// ("0.30000000000000004", "1e-10", "1.5"). Programs read CSV, TSV and JSON back, so there
// currency and decimals keep every digit and dates are ISO 8601 ("2024-03-02 13:30:00",
// "2024-03-02" at midnight); the table, for people, shows them as FieldAsString does
// (dates in the user's locale).
//
// Stateless; the caller's thread, which is the command's.
#pragma once

#include <string>

#include "OrvOleDb.h"
#include "output.h"

namespace orvsql {

// Field `col` of `command`'s held row, which is neither NULL nor a large value, as UTF-8.
std::string FieldText(OrvOleDbCommand& command, unsigned __int64 col, OutputMode mode);

}  // namespace orvsql
