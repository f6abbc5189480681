// Includes only OrvOleDb.h and links only the installed library.
#include <cstdio>

#include "OrvOleDb.h"

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    OrvOleDbConnection connection;
    HRESULT hr = connection.OpenFromInitializationString(
        CComBSTR(u"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=/nonexistent/consumer.mdb"), false);
    bool explained = hr == E_FAIL && connection.HasErrorInfo();
    std::printf("%s\n", orv::platform::Utf16ToUtf8(connection.GetErrorText().GetString()).c_str());
    CoUninitialize();
    return explained ? 0 : 1;
}
