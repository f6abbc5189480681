// A connection: data source and session from an initialisation string, and the state
// questions a host asks of them.
#include "OrvOleDbConnection.h"

#include <new>

#include "platform/com_object.h"
#include "platform/property_sets.h"

OrvOleDbConnection::OrvOleDbConnection() : m_dataConvert(nullptr) {}

OrvOleDbConnection::~OrvOleDbConnection() {
    if (m_dataConvert) {
        m_dataConvert->Release();
        m_dataConvert = nullptr;
    }
    Close();
}

HRESULT OrvOleDbConnection::ReadProperty(const GUID& set, DBPROPID id, VARIANT* value) const {
    CComPtr<IDBProperties> properties;
    HRESULT hr = m_dataSource.m_spInit.QueryInterface(&properties);
    if (FAILED(hr)) return hr;

    orv::platform::ReturnedPropertySets sets;
    hr = orv::platform::QueryProperties(properties.p, set, {id}, sets);
    if (FAILED(hr)) return hr;
    const VARIANT* found = sets.Value(id);
    return found ? VariantCopy(value, found) : E_FAIL;
}

namespace {

// A data source object for `init`, made by the service components and not yet initialised.
HRESULT DataSourceFor(const CComBSTR& init, CComPtr<IDBInitialize>& source) {
    CComPtr<IDataInitialize> dataLinks;
    HRESULT hr = CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER, IID_IDataInitialize,
                                  reinterpret_cast<void**>(&dataLinks));
    if (FAILED(hr)) return hr;
    return dataLinks->GetDataSource(nullptr, CLSCTX_INPROC_SERVER, init.m_str, IID_IDBInitialize,
                                    reinterpret_cast<IUnknown**>(&source));
}

// The sentence for a provider that keeps no database files (a server): it offers no
// IDBDataSourceAdmin, so there is nothing to create or compact.
constexpr const char16_t* kNoDatabaseFiles =
    u"The provider of this connection keeps its data on a server, not in a database file: there is no file to %s. "
    u"Use the server's own tools (CREATE DATABASE, VACUUM) for that.";

bool HasDatabaseFiles(IUnknown* dataSource) {
    CComPtr<IDBDataSourceAdmin> admin;
    return dataSource &&
           SUCCEEDED(dataSource->QueryInterface(IID_IDBDataSourceAdmin, reinterpret_cast<void**>(&admin)));
}

// One property of the DBINIT set, in a set of its own; the value is cleared with the object.
struct InitProperty {
    DBPROP property;
    DBPROPSET set;

    InitProperty(DBPROPID id, DBPROPOPTIONS options) {
        std::memset(&property, 0, sizeof property);
        property.dwPropertyID = id;
        property.dwOptions = options;
        property.colid = DB_NULLID;
        VariantInit(&property.vValue);
        set.rgProperties = &property;
        set.cProperties = 1;
        set.guidPropertySet = DBPROPSET_DBINIT;
    }
    ~InitProperty() { VariantClear(&property.vValue); }
    InitProperty(const InitProperty&) = delete;
    InitProperty& operator=(const InitProperty&) = delete;
};

}  // namespace

HRESULT OrvOleDbConnection::OpenDataSource(const CComBSTR& init, bool prompt) {
    HRESULT hr = DataSourceFor(init, m_dataSource.m_spInit);
    if (FAILED(hr)) return hr;
    if (prompt) {
        CComPtr<IDBProperties> properties;
        hr = m_dataSource.m_spInit.QueryInterface(&properties);
        if (FAILED(hr)) return hr;
        InitProperty prompting(DBPROP_INIT_PROMPT, DBPROPOPTIONS_REQUIRED);
        prompting.property.vValue.vt = VT_I2;
        prompting.property.vValue.iVal = DBPROMPT_COMPLETEREQUIRED;
        hr = properties->SetProperties(1, &prompting.set);
        if (FAILED(hr)) return hr;
    }
    return m_dataSource.m_spInit->Initialize();
}

HRESULT OrvOleDbConnection::OpenFromInitializationString(const CComBSTR& init, bool prompt) {
    Close();
    HRESULT hr = OpenDataSource(init, prompt);
    if (!CheckResult(hr)) return E_FAIL;

    m_init = init;
    if (init.m_str && !m_init.m_str) AfxThrowMemoryException();

    hr = m_session.Open(m_dataSource);
    CheckResult(hr);
    return hr;
}

void OrvOleDbConnection::Close() {
    m_dataSource.Close();
    m_session.Close();
}

bool OrvOleDbConnection::IsConnected() const {
    if (!m_dataSource.m_spInit || !m_session.m_spOpenRowset) return false;
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = ReadProperty(DBPROPSET_DATASOURCEINFO, DBPROP_CONNECTIONSTATUS, &value);
    if (FAILED(hr)) return true;  // a provider that cannot say counts as connected
    bool connected = value.lVal == DBPROPVAL_CS_INITIALIZED;
    VariantClear(&value);
    return connected;
}

bool OrvOleDbConnection::IsReadOnly() {
    if (!m_dataSource.m_spInit) return true;
    VARIANT value;
    VariantInit(&value);
    if (!CheckResult(ReadProperty(DBPROPSET_DATASOURCEINFO, DBPROP_DATASOURCEREADONLY, &value))) {
        VariantClear(&value);
        return true;
    }
    bool readOnly = value.boolVal == VARIANT_TRUE;
    VariantClear(&value);
    return readOnly;
}

bool OrvOleDbConnection::ReadTextProperty(const GUID& set, DBPROPID id, CString& out) {
    out.Empty();
    if (m_dataSource.m_spInit) {
        VARIANT value;
        VariantInit(&value);
        if (CheckResult(ReadProperty(set, id, &value)) && value.vt != VT_EMPTY)
            out = value.vt == VT_BSTR && value.bstrVal ? value.bstrVal : u"";
        VariantClear(&value);
    }
    return !out.IsEmpty();
}

bool OrvOleDbConnection::GetDatasource(CString& name) {
    return ReadTextProperty(DBPROPSET_DATASOURCEINFO, DBPROP_DATASOURCENAME, name);
}

bool OrvOleDbConnection::GetCurrentCatalog(CString& catalog) {
    return ReadTextProperty(DBPROPSET_DATASOURCE, DBPROP_CURRENTCATALOG, catalog);
}

IDataConvert* OrvOleDbConnection::GetIDataConvert() {
    if (!m_dataConvert)
        CoCreateInstance(CLSID_OLEDB_CONVERSIONLIBRARY, nullptr, CLSCTX_INPROC_SERVER, IID_IDataConvert,
                         reinterpret_cast<void**>(&m_dataConvert));
    return m_dataConvert;
}

bool OrvOleDbConnection::SameInit(const CComBSTR& init) const {
    if (!m_init.m_str || SysStringLen(m_init.m_str) == 0) return false;
    return _wcsicmp(init.m_str ? init.m_str : u"", m_init.m_str) == 0;
}

const CComBSTR& OrvOleDbConnection::GetInit() const { return m_init; }

CSession& OrvOleDbConnection::GetSession() { return m_session; }

// ---- Transactions --------------------------------------------------------------------------

bool OrvOleDbConnection::TransactionCall(HRESULT (*call)(IOpenRowset* session)) {
    if (!m_session.m_spOpenRowset) {
        // Nothing to ask the provider: say so in the error text rather than leave it empty.
        CheckResult(S_OK);
        m_errorText = u"The connection is not open: open it before starting, committing or rolling back a transaction.";
        return false;
    }
    return CheckResult(call(m_session.m_spOpenRowset));
}

bool OrvOleDbConnection::StartTransaction() {
    return TransactionCall([](IOpenRowset* session) {
        CComPtr<ITransactionLocal> local;
        HRESULT hr = session->QueryInterface(IID_ITransactionLocal, reinterpret_cast<void**>(&local));
        if (FAILED(hr)) return hr;
        return local->StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, nullptr);
    });
}

bool OrvOleDbConnection::Commit() {
    return TransactionCall([](IOpenRowset* session) {
        CComPtr<ITransaction> transaction;
        HRESULT hr = session->QueryInterface(IID_ITransaction, reinterpret_cast<void**>(&transaction));
        if (FAILED(hr)) return hr;
        return transaction->Commit(FALSE, XACTTC_SYNC, 0);
    });
}

bool OrvOleDbConnection::Rollback() {
    return TransactionCall([](IOpenRowset* session) {
        CComPtr<ITransaction> transaction;
        HRESULT hr = session->QueryInterface(IID_ITransaction, reinterpret_cast<void**>(&transaction));
        if (FAILED(hr)) return hr;
        return transaction->Abort(nullptr, FALSE, FALSE);
    });
}

// ---- Database files --------------------------------------------------------------------

HRESULT OrvOleDbConnection::CreateMdbFile(const CComBSTR& init, const CComBSTR& path, OrvOleDbErrorInfo& error) {
    CComPtr<IDBInitialize> source;
    HRESULT hr = DataSourceFor(init, source);
    if (!error.CheckResult(hr)) return hr;
    CComPtr<IDBDataSourceAdmin> admin;
    hr = source.QueryInterface(&admin);
    source.Release();
    if (hr == E_NOINTERFACE) {
        CString text;
        text.Format(kNoDatabaseFiles, u"create");
        error.SetErrorInfo(CComBSTR(text.GetString()), CComBSTR());
        return hr;
    }
    if (!error.CheckResult(hr)) return hr;

    InitProperty location(DBPROP_INIT_DATASOURCE, DBPROPOPTIONS_OPTIONAL);
    location.property.vValue.vt = VT_BSTR;
    location.property.vValue.bstrVal = path.Copy();
    if (path.m_str && !location.property.vValue.bstrVal) return E_FAIL;

    hr = admin->CreateDataSource(1, &location.set, nullptr, IID_IDBDataSourceAdmin, nullptr);
    if (!error.CheckResult(hr) && hr == E_UNEXPECTED && PathFileExistsW(path.m_str)) hr = S_OK;
    return hr;
}

HRESULT OrvOleDbConnection::CreateMdbFile(const CComBSTR& init, const CComBSTR& path) {
    OrvOleDbErrorInfo discarded;
    return CreateMdbFile(init, path, discarded);
}

namespace {

// The compacted copy's path: the source up to its last "." and "_TMP_.mdb". A path without
// any "." gets "_TMP_.mdb" appended, so that the copy never lands on the source itself.
CString TemporaryCompactPath(const CString& source) {
    const int dot = source.ReverseFind(u'.');
    return (dot < 0 ? source : source.Left(dot)) + CString(u"_TMP_.mdb");
}

VARIANT Omitted() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

}  // namespace

HRESULT OrvOleDbConnection::CompactMdb() {
    if (!IsConnected()) {
        // Only reading is needed: reopen the data source read-only.
        Close();
        if (!m_init.m_str || SysStringLen(m_init.m_str) == 0) AfxThrowOleException(E_INVALIDARG);
        CComBSTR readOnly(m_init);
        if (readOnly.m_str[readOnly.Length() - 1] != u';') readOnly.Append(u";");
        readOnly.Append(u"Mode=Read;");
        HRESULT hr = OpenDataSource(readOnly, false);
        if (!CheckResult(hr)) return hr;
        if (!m_dataSource.m_spInit) return E_FAIL;
    }
    if (!HasDatabaseFiles(m_dataSource.m_spInit)) {
        // Refused before anything is closed: the connection stays as it was.
        CheckResult(S_OK);
        m_errorText.Format(kNoDatabaseFiles, u"compact");
        return E_NOINTERFACE;
    }
    CString source;
    if (!GetDatasource(source)) return E_FAIL;
    Close();

    const CString temporary = TemporaryCompactPath(source);
    DeleteFileW(temporary.GetString());

    CComPtr<_DBEngine> engine;
    HRESULT hr =
        CoCreateInstance(CLSID_DBEngine, nullptr, CLSCTX_ALL, IID__DBEngine, reinterpret_cast<void**>(&engine));
    if (SUCCEEDED(hr)) {
        CComBSTR from(source.GetString()), to(temporary.GetString());
        hr = engine->CompactDatabase(from.m_str, to.m_str, Omitted(), Omitted(), Omitted());
    }
    if (CheckResult(hr) &&
        !MoveFileExW(temporary.GetString(), source.GetString(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        hr = E_FAIL;
        m_errorText.Format(
            u"The compacted copy '%s' could not replace '%s'; the database file is unchanged and the "
            u"copy is left where it is.",
            temporary.GetString(), source.GetString());
    }
    return hr;
}

// ---- Conversion of genuine Access files --------------------------------------------------

namespace {

// The engine's progress callback, forwarded to the host's function.
class ProgressCallback final : public orv::platform::ComObject<IOrvProgress> {
public:
    ProgressCallback(OrvOleDbConnection::ConvertProgress function, void* context)
        : m_function(function), m_context(context) {}
    HRESULT STDMETHODCALLTYPE OnProgress(ULONGLONG done, ULONGLONG total) override {
        return m_function(done, total, m_context) ? S_OK : E_ABORT;
    }

private:
    OrvOleDbConnection::ConvertProgress m_function;
    void* m_context;
};

}  // namespace

HRESULT OrvOleDbConnection::ConvertMdbFile(const CComBSTR& source, const CComBSTR& destination,
                                           OrvOleDbErrorInfo& error, ConvertProgress progress, void* context) {
    CComPtr<IOrvConvertDatabase> engine;
    HRESULT hr = CoCreateInstance(CLSID_DBEngine, nullptr, CLSCTX_ALL, IID_IOrvConvertDatabase,
                                  reinterpret_cast<void**>(&engine));
    if (!error.CheckResult(hr)) return hr;
    CComPtr<IOrvProgress> callback;
    if (progress) {
        callback.p = new (std::nothrow) ProgressCallback(progress, context);
        if (!callback.p) return E_OUTOFMEMORY;
    }
    hr = engine->ConvertDatabase(source.m_str, destination.m_str, callback.p);
    error.CheckResult(hr);
    return hr;
}
