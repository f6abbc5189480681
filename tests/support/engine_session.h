// Test support: a session of the embedded provider on a database file, reached the way a
// consumer reaches it (service components, class registry), and commands run on it.
#pragma once

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/files.h"

namespace orv::test {

// A data source of the embedded provider for `path`, made through the service components
// and not yet initialised.
inline CComPtr<IDBInitialize> DataSource(const std::u16string& path, const std::u16string& more = u"") {
    CComPtr<IDataInitialize> links;
    EXPECT_EQ(CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER, IID_IDataInitialize,
                               reinterpret_cast<void**>(&links)),
              S_OK);
    CComPtr<IDBInitialize> source;
    std::u16string init = InitFor(path, more);
    EXPECT_EQ(links->GetDataSource(nullptr, CLSCTX_INPROC_SERVER, init.c_str(), IID_IDBInitialize,
                                   reinterpret_cast<IUnknown**>(&source)),
              S_OK);
    return source;
}

inline CComPtr<IOpenRowset> OpenSession(const std::u16string& path, const std::u16string& more = u"") {
    CComPtr<IDBInitialize> source = DataSource(path, more);
    EXPECT_EQ(source->Initialize(), S_OK);
    CComPtr<IDBCreateSession> create;
    source.QueryInterface(&create);
    CComPtr<IOpenRowset> session;
    EXPECT_EQ(create->CreateSession(nullptr, IID_IOpenRowset, reinterpret_cast<IUnknown**>(&session)), S_OK);
    return session;
}

// Runs `sql`; the rowset when it returns rows, and the rows-affected count.
inline HRESULT RunSql(IOpenRowset* session, const char16_t* sql, IRowset** rowset = nullptr,
                      DBROWCOUNT* affected = nullptr) {
    CComPtr<IDBCreateCommand> create;
    HRESULT hr = session->QueryInterface(IID_IDBCreateCommand, reinterpret_cast<void**>(&create));
    if (FAILED(hr)) return hr;
    CComPtr<ICommandText> command;
    hr = create->CreateCommand(nullptr, IID_ICommandText, reinterpret_cast<IUnknown**>(&command));
    if (FAILED(hr)) return hr;
    hr = command->SetCommandText(DBGUID_DEFAULT, sql);
    if (FAILED(hr)) return hr;
    DBROWCOUNT count = 0;
    IUnknown** out = reinterpret_cast<IUnknown**>(rowset);
    hr = command->Execute(nullptr, rowset ? IID_IRowset : IID_NULL, nullptr, &count, out);
    if (affected) *affected = count;
    return hr;
}

// The description of the error record the last failing call left on the thread.
inline std::u16string LastErrorDescription() {
    CComPtr<IErrorInfo> error;
    if (GetErrorInfo(0, &error) != S_OK) return u"";
    BSTR text = nullptr;
    error->GetDescription(&text);
    std::u16string result = text ? text : u"";
    SysFreeString(text);
    return result;
}

}  // namespace orv::test
