// A small host program: shows how a provider failure reaches the host as error text.
//
// A provider leaves error records on the calling thread; the object that made the call
// hands the call's HRESULT to CheckResult and the host reads the text back.
#include <cstdio>

#include "OrvOleDb.h"

namespace {

void Print(const char* label, const CString& text) {
    std::printf("%s%s\n", label, orv::platform::Utf16ToUtf8(text.GetString()).c_str());
}

}  // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    // What a provider does when a statement names a table that is not there.
    IUnknown* sqlState = nullptr;
    orv::platform::CreateSQLErrorInfo(u"42S02", -1305, &sqlState);
    orv::platform::ErrorRecord record;
    record.hrError = DB_E_NOTABLE;
    record.source = u"Example provider";
    record.description = u"The table 'parts' does not exist.";
    record.custom = sqlState;
    orv::platform::PostErrorRecords({record});
    sqlState->Release();

    // What the host sees.
    OrvOleDbErrorInfo info;
    info.CheckResult(DB_E_NOTABLE);
    info.SetErrorInfo(CComBSTR(info.GetErrorText().GetString()), CComBSTR(u"SELECT * FROM parts"));
    Print("", info.GetErrorInfo(true));

    CoUninitialize();
    return info.HasErrorInfo() ? 0 : 1;
}
