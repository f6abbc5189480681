// The provider's data source object: initialisation properties in, a store out.
#include <sqlite3.h>

#include "engine/guard.h"
#include "engine/provider.h"
#include "platform/format.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

constexpr DBPROPFLAGS kInit = DBPROPFLAGS_DBINIT | DBPROPFLAGS_READ | DBPROPFLAGS_WRITE;
constexpr DBPROPFLAGS kInfo = DBPROPFLAGS_DATASOURCEINFO | DBPROPFLAGS_READ;
constexpr DBPROPFLAGS kSource = DBPROPFLAGS_DATASOURCE | DBPROPFLAGS_READ;

const PropertyInfo kProperties[] = {
    {&DBPROPSET_DBINIT, DBPROP_AUTH_PASSWORD, VT_BSTR, kInit, u"Password"},
    {&DBPROPSET_DBINIT, DBPROP_AUTH_PERSIST_SENSITIVE_AUTHINFO, VT_BOOL, kInit, u"Persist Security Info"},
    {&DBPROPSET_DBINIT, DBPROP_AUTH_USERID, VT_BSTR, kInit, u"User ID"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_DATASOURCE, VT_BSTR, kInit, u"Data Source"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_HWND, VT_I8, kInit, u"Window Handle"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_LCID, VT_I4, kInit, u"Locale Identifier"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_LOCATION, VT_BSTR, kInit, u"Location"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_MODE, VT_I4, kInit, u"Mode"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_PROMPT, VT_I2, kInit, u"Prompt"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_PROVIDERSTRING, VT_BSTR, kInit, u"Extended Properties"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_TIMEOUT, VT_I4, kInit, u"Connect Timeout"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_OLEDBSERVICES, VT_I4, kInit, u"OLE DB Services"},

    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_ENGINE_TYPE, VT_I4, kInit, u"Jet OLEDB:Engine Type"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_DATABASE_PASSWORD, VT_BSTR, kInit, u"Jet OLEDB:Database Password"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_SYSTEM_DATABASE, VT_BSTR, kInit, u"Jet OLEDB:System database"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_REGISTRY_PATH, VT_BSTR, kInit, u"Jet OLEDB:Registry Path"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_DATABASE_LOCKING_MODE, VT_I4, kInit, u"Jet OLEDB:Database Locking Mode"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_GLOBAL_PARTIAL_BULK_OPS, VT_I4, kInit, u"Jet OLEDB:Global Partial Bulk Ops"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_GLOBAL_BULK_TRANSACTIONS, VT_I4, kInit,
     u"Jet OLEDB:Global Bulk Transactions"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_NEW_DATABASE_PASSWORD, VT_BSTR, kInit, u"Jet OLEDB:New Database Password"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_CREATE_SYSTEM_DATABASE, VT_BOOL, kInit, u"Jet OLEDB:Create System Database"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_ENCRYPT_DATABASE, VT_BOOL, kInit, u"Jet OLEDB:Encrypt Database"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_DONT_COPY_LOCALE_ON_COMPACT, VT_BOOL, kInit,
     u"Jet OLEDB:Don't Copy Locale on Compact"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_COMPACT_WITHOUT_REPLICA_REPAIR, VT_BOOL, kInit,
     u"Jet OLEDB:Compact Without Replica Repair"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_SFP, VT_BOOL, kInit, u"Jet OLEDB:SFP"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_LOCK_RETRY, VT_I4, kInit, u"Jet OLEDB:Lock Retry"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_LOCK_DELAY, VT_I4, kInit, u"Jet OLEDB:Lock Delay"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_MAX_BUFFER_SIZE, VT_I4, kInit, u"Jet OLEDB:Max Buffer Size"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_PAGE_TIMEOUT, VT_I4, kInit, u"Jet OLEDB:Page Timeout"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_FLUSH_TRANSACTION_TIMEOUT, VT_I4, kInit,
     u"Jet OLEDB:Flush Transaction Timeout"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_MAX_LOCKS_PER_FILE, VT_I4, kInit, u"Jet OLEDB:Max Locks Per File"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_IMPLICIT_COMMIT_SYNC, VT_BOOL, kInit, u"Jet OLEDB:Implicit Commit Sync"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_USER_COMMIT_SYNC, VT_BOOL, kInit, u"Jet OLEDB:User Commit Sync"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_RECYCLE_LONG_VALUED_PAGES, VT_BOOL, kInit,
     u"Jet OLEDB:Recycle Long-Valued Pages"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_TRANSACTION_COMMIT_MODE, VT_I4, kInit, u"Jet OLEDB:Transaction Commit Mode"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_SUPPORT_COMPLEX_DATA, VT_BOOL, kInit, u"Jet OLEDB:Support Complex Data"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_BYPASS_USERINFO_VALIDATION, VT_BOOL, kInit,
     u"Jet OLEDB:Bypass UserInfo Validation"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_LIMITED_DB_CACHING, VT_BOOL, kInit, u"Jet OLEDB:Limited DB Caching"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_BYPASS_CHOICEFIELD_VALIDATION, VT_BOOL, kInit,
     u"Jet OLEDB:Bypass ChoiceField Validation"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_CONNECTION_CONTROL, VT_I4, kInit, u"Jet OLEDB:Connection Control"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_ODBC_COMMAND_TIME_OUT, VT_I4, kInit, u"Jet OLEDB:ODBC Command Time Out"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_EXCLUSIVE_ASYNC_DELAY, VT_I4, kInit, u"Jet OLEDB:Exclusive Async Delay"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_SHARED_ASYNC_DELAY, VT_I4, kInit, u"Jet OLEDB:Shared Async Delay"},
    {&DBPROPSET_ENGINE_DBINIT, ENGINEPROP_RESET_ISAM_STATS, VT_BOOL, kInit, u"Jet OLEDB:Reset ISAM Stats"},

    {&DBPROPSET_DATASOURCEINFO, DBPROP_CONNECTIONSTATUS, VT_I4, kInfo, u"Connection Status"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_DATASOURCENAME, VT_BSTR, kInfo, u"Data Source Name"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_DATASOURCEREADONLY, VT_BOOL, kInfo, u"Read-Only Data Source"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_DBMSNAME, VT_BSTR, kInfo, u"DBMS Name"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_DBMSVER, VT_BSTR, kInfo, u"DBMS Version"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_PROVIDERNAME, VT_BSTR, kInfo, u"Provider Name"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_PROVIDERVER, VT_BSTR, kInfo, u"Provider Version"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_PROVIDEROLEDBVER, VT_BSTR, kInfo, u"OLE DB Version"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_SUPPORTEDTXNISOLEVELS, VT_I4, kInfo, u"Isolation Levels"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_SUPPORTEDTXNISORETAIN, VT_I4, kInfo, u"Isolation Retention"},
    {&DBPROPSET_DATASOURCE, DBPROP_CURRENTCATALOG, VT_BSTR, kSource, u"Current Catalog"},
};

VARIANT BstrVariant(const std::u16string& text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return v;
}

}  // namespace

HRESULT CreateDataSource(IUnknown* outer, REFIID riid, void** ppv) {
    return platform::CreateComObject<DataSource>(outer, riid, ppv);
}

DataSource::DataSource() : m_properties(kProperties) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = DB_MODE_SHARE_DENY_NONE;
    m_properties.Store(DBPROPSET_DBINIT, DBPROP_INIT_MODE, v);
    v.lVal = 5;  // the Jet 4 file format, which legacy strings name
    m_properties.Store(DBPROPSET_ENGINE_DBINIT, ENGINEPROP_ENGINE_TYPE, v);
    v.vt = VT_I2;
    v.iVal = DBPROMPT_NOPROMPT;
    m_properties.Store(DBPROPSET_DBINIT, DBPROP_INIT_PROMPT, v);
}

DataSource::~DataSource() = default;

bool DataSource::Readable(const GUID& set) const {
    return set == DBPROPSET_DBINIT || set == DBPROPSET_ENGINE_DBINIT || m_store != nullptr;
}

bool DataSource::ReadDynamic(const GUID& set, DBPROPID id, VARIANT* value) const {
    if (set == DBPROPSET_DATASOURCEINFO) {
        switch (id) {
        case DBPROP_CONNECTIONSTATUS:
            value->vt = VT_I4;
            value->lVal = m_store ? DBPROPVAL_CS_INITIALIZED : DBPROPVAL_CS_UNINITIALIZED;
            return true;
        case DBPROP_DATASOURCENAME: *value = BstrVariant(m_store ? m_store->Name() : u""); return true;
        case DBPROP_DATASOURCEREADONLY:
            value->vt = VT_BOOL;
            value->boolVal = m_store && m_store->ReadOnly() ? VARIANT_TRUE : VARIANT_FALSE;
            return true;
        case DBPROP_DBMSNAME: *value = BstrVariant(u"SQLite"); return true;
        case DBPROP_DBMSVER: *value = BstrVariant(platform::Utf8ToUtf16(sqlite3_libversion())); return true;
        case DBPROP_PROVIDERNAME: *value = BstrVariant(u"liborvoledb.so"); return true;
        case DBPROP_PROVIDERVER: *value = BstrVariant(u"01.00.0000"); return true;
        case DBPROP_PROVIDEROLEDBVER: *value = BstrVariant(u"02.70"); return true;
        case DBPROP_SUPPORTEDTXNISOLEVELS:
        case DBPROP_SUPPORTEDTXNISORETAIN:
            value->vt = VT_I4;
            value->lVal = id == DBPROP_SUPPORTEDTXNISOLEVELS
                              ? (DBPROPVAL_TI_READCOMMITTED | DBPROPVAL_TI_REPEATABLEREAD | DBPROPVAL_TI_SERIALIZABLE)
                              : 0;
            return true;
        default: return false;
        }
    }
    if (set == DBPROPSET_DATASOURCE && id == DBPROP_CURRENTCATALOG) {
        // A file is its own catalog: the path names it, as the data source name does.
        *value = BstrVariant(m_store ? m_store->Name() : u"");
        return true;
    }
    return false;
}

HRESULT DataSource::GetProperties(ULONG cSets, const DBPROPIDSET rgSets[], ULONG* pcSets, DBPROPSET** prgSets) {
    return GuardMethod(IID_IDBProperties, [&]() -> HRESULT {
        return m_properties.Get(
            cSets, rgSets, pcSets, prgSets, [this](const GUID& set) { return Readable(set); },
            [this](const GUID& set, DBPROPID id, VARIANT* value) { return ReadDynamic(set, id, value); });
    });
}

HRESULT DataSource::GetPropertyInfo(ULONG cSets, const DBPROPIDSET rgSets[], ULONG* pcInfoSets,
                                    DBPROPINFOSET** prgInfoSets, OLECHAR** ppDescBuffer) {
    return GuardMethod(IID_IDBProperties, [&]() -> HRESULT {
        // Descriptions are always available: they are how initialisation strings name keys.
        return m_properties.GetInfo(cSets, rgSets, pcInfoSets, prgInfoSets, ppDescBuffer,
                                    [](const GUID&) { return true; });
    });
}

HRESULT DataSource::SetProperties(ULONG cSets, DBPROPSET rgSets[]) {
    return GuardMethod(IID_IDBProperties, [&]() -> HRESULT {
        const bool initialised = m_store != nullptr;
        return m_properties.Set(cSets, rgSets, [initialised](const GUID& set) {
            return !initialised && (set == DBPROPSET_DBINIT || set == DBPROPSET_ENGINE_DBINIT);
        });
    });
}

StoreOptions DataSource::Options() const {
    StoreOptions options;
    options.dataSource = m_properties.String(DBPROPSET_DBINIT, DBPROP_INIT_DATASOURCE);
    options.providerString = m_properties.String(DBPROPSET_DBINIT, DBPROP_INIT_PROVIDERSTRING);
    LONG mode = m_properties.Integer(DBPROPSET_DBINIT, DBPROP_INIT_MODE, DB_MODE_SHARE_DENY_NONE);
    options.readOnly = (mode & DB_MODE_READWRITE) == DB_MODE_READ;
    LONG retry = m_properties.Integer(DBPROPSET_ENGINE_DBINIT, ENGINEPROP_LOCK_RETRY, 20);
    LONG delay = m_properties.Integer(DBPROPSET_ENGINE_DBINIT, ENGINEPROP_LOCK_DELAY, 60);
    options.lockTimeoutMs = static_cast<int>(std::max<LONG>(0, retry) * std::max<LONG>(0, delay));
    return options;
}

HRESULT DataSource::Initialize() {
    return GuardMethod(IID_IDBInitialize, [&]() -> HRESULT {
        if (m_store)
            return Report(Status::Error(DB_E_ALREADYINITIALIZED, u"The data source is already open."),
                          IID_IDBInitialize);
        StoreOptions options = Options();
        if (options.dataSource.empty())
            return Report(Status::Error(E_FAIL,
                                        u"No data source was given: the initialisation string needs "
                                        u"\"Data Source=\" followed by the path of the file to open.",
                                        u"08001"),
                          IID_IDBInitialize);
        std::unique_ptr<Store> store;
        Status status = OpenStore(options, store);
        if (!status.Ok()) return Report(status, IID_IDBInitialize);
        m_store = std::move(store);
        return S_OK;
    });
}

HRESULT DataSource::Uninitialize() {
    if (m_sessions > 0)
        return Report(Status::Error(DB_E_OBJECTOPEN, u"The data source still has open sessions."), IID_IDBInitialize);
    m_store.reset();
    return S_OK;
}

HRESULT DataSource::CreateSession(IUnknown* outer, REFIID riid, IUnknown** ppSession) {
    return GuardMethod(IID_IDBCreateSession, [&]() -> HRESULT {
        if (!ppSession) return E_INVALIDARG;
        *ppSession = nullptr;
        if (!m_store) return Report(Status::Error(E_UNEXPECTED, u"The data source is not open."), IID_IDBCreateSession);
        if (outer) return DB_E_NOAGGREGATION;
        sqlite3* db = nullptr;
        Status status = m_store->Connect(&db);
        if (!status.Ok()) return Report(status, IID_IDBCreateSession);
        Session* session = nullptr;
        try {
            session = new (std::nothrow) Session(this, db);
        } catch (...) {
            sqlite3_close_v2(db);  // the session never took it
            throw;
        }
        if (!session) {
            sqlite3_close(db);
            return E_OUTOFMEMORY;
        }
        HRESULT hr = session->QueryInterface(riid, reinterpret_cast<void**>(ppSession));
        session->Release();
        return hr;
    });
}

HRESULT DataSource::CreateDataSource(ULONG cSets, DBPROPSET rgSets[], IUnknown* outer, REFIID riid,
                                     IUnknown** ppDBSession) {
    return GuardMethod(IID_IDBDataSourceAdmin, [&]() -> HRESULT {
        if (ppDBSession) *ppDBSession = nullptr;
        if (m_store)
            return Report(Status::Error(DB_E_ALREADYINITIALIZED, u"The data source is already open."),
                          IID_IDBDataSourceAdmin);
        if (outer && riid != IID_IUnknown) return DB_E_NOAGGREGATION;
        HRESULT hr = SetProperties(cSets, rgSets);
        if (FAILED(hr)) return hr;
        const std::u16string path = m_properties.String(DBPROPSET_DBINIT, DBPROP_INIT_DATASOURCE);
        if (path.empty())
            return Report(Status::Error(E_INVALIDARG,
                                        u"No path was given for the new database file (the Data Source "
                                        u"property)."),
                          IID_IDBDataSourceAdmin);
        Status status = CreateDatabaseFile(path);
        if (!status.Ok()) return Report(status, IID_IDBDataSourceAdmin);
        // A created data source is an initialised one, open on its new file.
        hr = Initialize();
        if (hr != S_OK || !ppDBSession) return hr;
        return CreateSession(outer, riid, ppDBSession);
    });
}

HRESULT DataSource::DestroyDataSource() {
    return Report(Status::Error(DB_E_NOTSUPPORTED,
                                u"The provider does not delete database files: delete the file "
                                u"itself when no connection uses it."),
                  IID_IDBDataSourceAdmin);
}

HRESULT DataSource::GetCreationProperties(ULONG cSets, const DBPROPIDSET rgSets[], ULONG* pcInfoSets,
                                          DBPROPINFOSET** prgInfoSets, OLECHAR** ppDescBuffer) {
    return GetPropertyInfo(cSets, rgSets, pcInfoSets, prgInfoSets, ppDescBuffer);
}

HRESULT DataSource::ModifyDataSource(ULONG, DBPROPSET[]) {
    return Report(Status::Error(DB_E_NOTSUPPORTED, u"A database file's properties cannot be changed."),
                  IID_IDBDataSourceAdmin);
}

HRESULT DataSource::InterfaceSupportsErrorInfo(REFIID) { return S_OK; }

}  // namespace orv::engine
