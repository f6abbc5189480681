// What IOpenRowset::OpenRowset asks of its arguments, the same for every session of the
// engine (database files, text folders, workbooks, a server): the checks, and the statement
// that reads the whole table.
//
// Stateless; called on the thread of the interface call.
#pragma once

#include <string>

#include "platform/oledb.h"

namespace orv::engine {

// S_OK with `sql` set to "SELECT * FROM" the table, its name quoted so that any name works;
// otherwise the code the method returns, its error record posted where there is something
// to say. `out` is set to null first.
HRESULT TableStatement(IUnknown* outer, const DBID* table, const DBID* index, IUnknown** out, std::string& sql);

}  // namespace orv::engine
