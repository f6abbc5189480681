// How the engine reports failures: a Status value (code, message, SQL state, native code)
// is made where the failure is found and turned into an error record on the calling
// thread only at the interface boundary, where the method returns its HRESULT.
//
// A Status is a plain value; Report must run on the thread of the failing call.
#pragma once

#include <string>

#include "platform/errorinfo.h"
#include "platform/oledb.h"

namespace orv::engine {

// The engine's name in the Source field of its error records.
inline constexpr const char16_t* kErrorSource = u"OrvOleDb engine";

struct Status {
    HRESULT hr = S_OK;
    std::u16string message;  // a sentence a person can act on: what failed, where, why
    std::u16string sqlState = u"HY000";
    LONG native = 0;  // the SQLite result code or errno behind the failure, where there is one

    bool Ok() const { return hr == S_OK; }
    static Status Success() { return {}; }
    static Status Error(HRESULT hr, std::u16string message, std::u16string sqlState = u"HY000", LONG native = 0) {
        return Status{hr, std::move(message), std::move(sqlState), native};
    }
};

// A commit (or a rollback) asked for without a transaction to end.
Status NoTransaction(bool commit);

// Posts `status` as the thread's error record (with an ISQLErrorInfo custom object) for a
// call of interface `iid`, and returns its code. A successful status clears the thread's
// error object, so that a consumer never reads a stale record.
HRESULT Report(const Status& status, REFIID iid);

}  // namespace orv::engine
