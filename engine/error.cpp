#include "engine/error.h"

namespace orv::engine {

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
