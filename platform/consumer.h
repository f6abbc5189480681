// OLE DB consumer holders, in the shapes that ported host code knows: a data source
// (one IDBInitialize reference) and a session (one IOpenRowset reference).
//
// Each holder owns exactly one reference on its interface and releases it in Close or
// its destructor. A holder is used by one thread at a time.
#pragma once

#include "platform/com.h"
#include "platform/oledb.h"

class CDataSource {
public:
    CDataSource() = default;
    CDataSource(const CDataSource&) = delete;
    CDataSource& operator=(const CDataSource&) = delete;

    void Close() { m_spInit.Release(); }

    CComPtr<IDBInitialize> m_spInit;
};

class CSession {
public:
    CSession() = default;
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // Opens a session on an initialised data source.
    HRESULT Open(const CDataSource& source) {
        Close();
        if (!source.m_spInit) return E_FAIL;
        CComPtr<IDBCreateSession> create;
        HRESULT hr = source.m_spInit.QueryInterface(&create);
        if (FAILED(hr)) return hr;
        return create->CreateSession(nullptr, IID_IOpenRowset, reinterpret_cast<IUnknown**>(&m_spOpenRowset));
    }
    void Close() { m_spOpenRowset.Release(); }

    CComPtr<IOpenRowset> m_spOpenRowset;
};
