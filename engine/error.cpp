#include "engine/error.h"

namespace orv::engine {

Status NoTransaction(bool commit) {
    return Status::Error(XACT_E_NOTRANSACTION,
                         commit ? u"There is no transaction to commit: start one first."
                                : u"There is no transaction to roll back: start one first.",
                         u"25000");
}

HRESULT Report(const Status& status, REFIID iid) {
    if (status.Ok()) {
        ::SetErrorInfo(0, nullptr);
        return S_OK;
    }
    CComPtr<IUnknown> sqlInfo;
    platform::CreateSQLErrorInfo(status.sqlState.c_str(), status.native, &sqlInfo);
    platform::ErrorRecord record;
    record.hrError = status.hr;
    record.iid = iid;
    record.description = status.message;
    record.source = kErrorSource;
    record.custom = sqlInfo;
    platform::PostErrorRecords({record});
    return status.hr;
}

}  // namespace orv::engine
