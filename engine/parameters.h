// A command's parameter accessors, and the binding of one parameter set's values to a
// compiled statement. A statement names its parameters `?`, `?NNN` or `:name`; a parameter
// accessor binds them by ordinal, input only, in the consumer's own types (integers, reals,
// booleans, UTF-16 or UTF-8 text, bytes), NULL through the status part.
//
// One thread at a time, the command's.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/accessors.h"
#include "engine/error.h"
#include "platform/oledb/types.h"

namespace orv::engine {

class ParameterAccessors {
public:
    // Checks and keeps `bindings`; a binding the engine cannot take gets its status in
    // `bindStatus` (when given) and the whole call fails. `setSize` is the distance in bytes
    // between two parameter sets of one DBPARAMS.
    Status Create(DBACCESSORFLAGS flags, DBCOUNTITEM count, const DBBINDING bindings[], DBLENGTH setSize,
                  HACCESSOR* handle, DBBINDSTATUS bindStatus[]);
    // Counting, releasing and describing the accessors made.
    AccessorTable& Table() { return m_accessors; }

    // Binds the values of set `set` (0-based) of `params` to `statement`. Every parameter of
    // the statement must be bound. With `copy` false the statement refers to the consumer's
    // memory and this object's, which must stay until it has run (and the next Bind).
    Status Bind(sqlite3_stmt* statement, const DBPARAMS& params, DBCOUNTITEM set, bool copy);

private:
    Status BindValue(sqlite3_stmt* statement, const DBBINDING& b, const unsigned char* base, int index,
                     void (*lifetime)(void*));

    AccessorTable m_accessors;
    std::vector<std::string> m_texts;  // UTF-16 text converted for SQLite, by ordinal
    std::vector<unsigned> m_boundIn;  // by ordinal: the Bind call that last bound it
    unsigned m_binding = 0;  // counts Bind calls
};

}  // namespace orv::engine
