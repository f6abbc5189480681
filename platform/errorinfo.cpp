// Per-thread error objects and the OLE DB error object with records.
#include "platform/errorinfo.h"

#include "platform/com_object.h"

namespace orv::platform {
namespace {

// The thread's error object; released when the thread ends without anyone reading it.
struct ErrorSlot {
    IErrorInfo* object = nullptr;
    ~ErrorSlot() {
        if (object) object->Release();
    }
};
thread_local ErrorSlot t_errorSlot;

// Hands out a BSTR copy of `text` (a null BSTR for empty text, as COM objects commonly do).
HRESULT CopyOut(const std::u16string& text, BSTR* out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (text.empty()) return S_OK;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// The texts of one error: the plain COM error object, and each record of an OLE DB one.
class BasicErrorInfo final : public ComObject<IErrorInfo, ICreateErrorInfo> {
public:
    BasicErrorInfo() = default;
    explicit BasicErrorInfo(const ErrorRecord& r)
        : m_guid(r.iid),
          m_source(r.source),
          m_description(r.description),
          m_helpFile(r.helpFile),
          m_helpContext(r.helpContext) {}

    HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) override {
        if (!pGUID) return E_INVALIDARG;
        *pGUID = m_guid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* out) override { return CopyOut(m_source, out); }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override { return CopyOut(m_description, out); }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* out) override { return CopyOut(m_helpFile, out); }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* out) override {
        if (!out) return E_INVALIDARG;
        *out = m_helpContext;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetGUID(REFGUID guid) override {
        m_guid = guid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR s) override { return Assign(m_source, s); }
    HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR s) override { return Assign(m_description, s); }
    HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR s) override { return Assign(m_helpFile, s); }
    HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD context) override {
        m_helpContext = context;
        return S_OK;
    }

private:
    static HRESULT Assign(std::u16string& field, LPOLESTR s) {
        field = s ? s : u"";
        return S_OK;
    }

    GUID m_guid = GUID_NULL;
    std::u16string m_source, m_description, m_helpFile;
    DWORD m_helpContext = 0;
};

class SqlErrorInfo final : public ComObject<ISQLErrorInfo> {
public:
    SqlErrorInfo(const OLECHAR* state, LONG native) : m_state(state ? state : u""), m_native(native) {}
    HRESULT STDMETHODCALLTYPE GetSQLInfo(BSTR* state, LONG* native) override {
        if (!state || !native) return E_INVALIDARG;
        *native = m_native;
        return CopyOut(m_state, state);
    }

private:
    std::u16string m_state;
    LONG m_native;
};

// The OLE DB error object: a list of records, itself describing the first one.
class ErrorRecordsObject final : public ComObject<IErrorInfo, IErrorRecords> {
public:
    ~ErrorRecordsObject() override {
        for (ErrorRecord& r : m_records)
            if (r.custom) r.custom->Release();
    }

    void Add(ErrorRecord r) {
        if (r.custom) r.custom->AddRef();
        m_records.push_back(std::move(r));
    }

    // IErrorInfo: the first record.
    HRESULT STDMETHODCALLTYPE GetGUID(GUID* out) override {
        if (!out) return E_INVALIDARG;
        *out = m_records.empty() ? GUID_NULL : m_records[0].iid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* out) override { return CopyOut(First().source, out); }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override { return CopyOut(First().description, out); }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* out) override { return CopyOut(First().helpFile, out); }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* out) override {
        if (!out) return E_INVALIDARG;
        *out = First().helpContext;
        return S_OK;
    }

    // IErrorRecords. Descriptions normally come from a lookup service by `dwLookupID`; this
    // runtime has none, so a record added through this method takes its description from
    // the first parameter when that is a string.
    HRESULT STDMETHODCALLTYPE AddErrorRecord(ERRORINFO* info, DWORD, DISPPARAMS* params, IUnknown* custom,
                                             DWORD) override {
        if (!info) return E_INVALIDARG;
        ErrorRecord r;
        r.hrError = info->hrError;
        r.minor = info->dwMinor;
        r.clsid = info->clsid;
        r.iid = info->iid;
        if (params && params->cArgs > 0 && params->rgvarg && params->rgvarg[0].vt == VT_BSTR &&
            params->rgvarg[0].bstrVal)
            r.description = params->rgvarg[0].bstrVal;
        r.custom = custom;
        Add(std::move(r));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBasicErrorInfo(ULONG n, ERRORINFO* out) override {
        if (!out) return E_INVALIDARG;
        if (n >= m_records.size()) return DB_E_BADRECORDNUM;
        const ErrorRecord& r = m_records[n];
        *out = ERRORINFO{r.hrError, r.minor, r.clsid, r.iid, 0};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCustomErrorObject(ULONG n, REFIID riid, IUnknown** out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (n >= m_records.size()) return DB_E_BADRECORDNUM;
        IUnknown* custom = m_records[n].custom;
        if (!custom) return S_OK;  // no custom object: success with a null pointer
        HRESULT hr = custom->QueryInterface(riid, reinterpret_cast<void**>(out));
        return hr == E_NOINTERFACE ? S_OK : hr;
    }
    HRESULT STDMETHODCALLTYPE GetErrorInfo(ULONG n, LCID, IErrorInfo** out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (n >= m_records.size()) return DB_E_BADRECORDNUM;
        return CreateComObject<BasicErrorInfo>(nullptr, IID_IErrorInfo, reinterpret_cast<void**>(out), m_records[n]);
    }
    HRESULT STDMETHODCALLTYPE GetErrorParameters(ULONG n, DISPPARAMS* out) override {
        if (!out) return E_INVALIDARG;
        if (n >= m_records.size()) return DB_E_BADRECORDNUM;
        *out = DISPPARAMS{nullptr, nullptr, 0, 0};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetRecordCount(ULONG* out) override {
        if (!out) return E_INVALIDARG;
        *out = static_cast<ULONG>(m_records.size());
        return S_OK;
    }

private:
    // The standard code for a record number past the end.
    static constexpr HRESULT DB_E_BADRECORDNUM = static_cast<HRESULT>(0x80040E5A);

    const ErrorRecord& First() const {
        static const ErrorRecord none;
        return m_records.empty() ? none : m_records[0];
    }

    std::vector<ErrorRecord> m_records;
};

}  // namespace

HRESULT PostErrorRecords(const std::vector<ErrorRecord>& records) {
    auto* object = new (std::nothrow) ErrorRecordsObject;
    if (!object) return E_OUTOFMEMORY;
    for (const ErrorRecord& r : records) object->Add(r);
    HRESULT hr = ::SetErrorInfo(0, object);
    object->Release();
    return hr;
}

HRESULT CreateSQLErrorInfo(const OLECHAR* sqlState, LONG nativeError, IUnknown** out) {
    if (!out) return E_POINTER;
    return CreateComObject<SqlErrorInfo>(nullptr, IID_IUnknown, reinterpret_cast<void**>(out), sqlState, nativeError);
}

}  // namespace orv::platform

HRESULT SetErrorInfo(ULONG, IErrorInfo* perrinfo) {
    if (perrinfo) perrinfo->AddRef();
    IErrorInfo* old = std::exchange(orv::platform::t_errorSlot.object, perrinfo);
    if (old) old->Release();
    return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** pperrinfo) {
    if (!pperrinfo) return E_INVALIDARG;
    *pperrinfo = std::exchange(orv::platform::t_errorSlot.object, nullptr);
    return *pperrinfo ? S_OK : S_FALSE;
}

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
    if (!pperrinfo) return E_INVALIDARG;
    return orv::platform::CreateComObject<orv::platform::BasicErrorInfo>(nullptr, IID_ICreateErrorInfo,
                                                                         reinterpret_cast<void**>(pperrinfo));
}
