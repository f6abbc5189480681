// Storage objects for large values: a read-only stream over a copy of one value, handed
// to a consumer that binds a long column as DBTYPE_IUNKNOWN.
//
// The stream owns its bytes; the consumer owns the one reference it is given. A stream is
// used by one thread at a time.
#pragma once

#include <string>

#include "platform/oledb.h"

namespace orv::engine {

// A stream (ISequentialStream and IStream) reading `bytes` from the start.
HRESULT CreateValueStream(std::string bytes, REFIID riid, void** ppv);

}  // namespace orv::engine
