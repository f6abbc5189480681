// The server provider's data source: initialisation properties in, libpq connection
// parameters out, the first connection opened at Initialize.
#include "engine/guard.h"
#include "engine/init_string.h"
#include "engine/pg/provider.h"
#include "platform/format.h"
#include "platform/utf.h"

namespace orv::engine::pg {
namespace {

constexpr DBPROPFLAGS kInit = DBPROPFLAGS_DBINIT | DBPROPFLAGS_READ | DBPROPFLAGS_WRITE;
constexpr DBPROPFLAGS kInfo = DBPROPFLAGS_DATASOURCEINFO | DBPROPFLAGS_READ;

const PropertyInfo kProperties[] = {
    {&DBPROPSET_DBINIT, DBPROP_AUTH_PASSWORD, VT_BSTR, kInit, u"Password"},
    {&DBPROPSET_DBINIT, DBPROP_AUTH_PERSIST_SENSITIVE_AUTHINFO, VT_BOOL, kInit, u"Persist Security Info"},
    {&DBPROPSET_DBINIT, DBPROP_AUTH_USERID, VT_BSTR, kInit, u"User ID"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_DATASOURCE, VT_BSTR, kInit, u"Data Source"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_CATALOG, VT_BSTR, kInit, u"Initial Catalog"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_LOCATION, VT_BSTR, kInit, u"Location"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_PROVIDERSTRING, VT_BSTR, kInit, u"Extended Properties"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_TIMEOUT, VT_I4, kInit, u"Connect Timeout"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_GENERALTIMEOUT, VT_I4, kInit, u"General Timeout"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_MODE, VT_I4, kInit, u"Mode"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_PROMPT, VT_I2, kInit, u"Prompt"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_LCID, VT_I4, kInit, u"Locale Identifier"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_HWND, VT_I8, kInit, u"Window Handle"},
    {&DBPROPSET_DBINIT, DBPROP_INIT_OLEDBSERVICES, VT_I4, kInit, u"OLE DB Services"},

    {&DBPROPSET_DATASOURCEINFO, DBPROP_CONNECTIONSTATUS, VT_I4, kInfo, u"Connection Status"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_DATASOURCENAME, VT_BSTR, kInfo, u"Data Source Name"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_DATASOURCEREADONLY, VT_BOOL, kInfo, u"Read-Only Data Source"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_DBMSNAME, VT_BSTR, kInfo, u"DBMS Name"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_DBMSVER, VT_BSTR, kInfo, u"DBMS Version"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_PROVIDERNAME, VT_BSTR, kInfo, u"Provider Name"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_PROVIDERVER, VT_BSTR, kInfo, u"Provider Version"},
    {&DBPROPSET_DATASOURCEINFO, DBPROP_SUPPORTEDTXNISOLEVELS, VT_I4, kInfo, u"Isolation Levels"},
    {&DBPROPSET_DATASOURCE, DBPROP_CURRENTCATALOG, VT_BSTR, DBPROPFLAGS_DATASOURCE | DBPROPFLAGS_READ,
     u"Current Catalog"},
};

VARIANT TextVariant(std::string_view utf8) {
    VARIANT v;
    VariantInit(&v);
    std::u16string text = platform::Utf8ToUtf16(utf8);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return v;
}

bool IsAddress(std::string_view text) {
    return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}

// "host", "host:port", "[v6 address]:port", "/socket/folder" or "/socket/folder:port".
void AddServer(const std::string& source, ConnectParameters& out) {
    std::string host = source, port;
    const std::size_t colon = source.rfind(':');
    if (colon != std::string::npos && colon + 1 < source.size() &&
        source.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
        const std::string before = source.substr(0, colon);
        // A bare IPv6 address has colons of its own: only a bracketed one carries a port.
        if (before.find(':') == std::string::npos || (before.front() == '[' && before.back() == ']')) {
            host = before;
            port = source.substr(colon + 1);
        }
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (!host.empty()) out.emplace_back("host", host);
    if (!port.empty()) out.emplace_back("port", port);
}

}  // namespace

HRESULT CreateDataSource(IUnknown* outer, REFIID riid, void** ppv) {
    return platform::CreateComObject<DataSource>(outer, riid, ppv);
}

DataSource::DataSource() : m_properties(kProperties) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = DB_MODE_READWRITE;
    m_properties.Store(DBPROPSET_DBINIT, DBPROP_INIT_MODE, v);
    v.vt = VT_I2;
    v.iVal = DBPROMPT_NOPROMPT;
    m_properties.Store(DBPROPSET_DBINIT, DBPROP_INIT_PROMPT, v);
}

DataSource::~DataSource() = default;

Status DataSource::Parameters(ConnectParameters& out) const {
    auto utf8 = [this](DBPROPID id) { return platform::Utf16ToUtf8(m_properties.String(DBPROPSET_DBINIT, id)); };
    const std::string source = utf8(DBPROP_INIT_DATASOURCE);
    // An address first: the keys after it override its parts.
    if (IsAddress(source)) out.emplace_back("dbname", source);
    else AddServer(source, out);
    std::string database = utf8(DBPROP_INIT_CATALOG);
    if (database.empty()) database = utf8(DBPROP_INIT_LOCATION);
    if (!database.empty()) out.emplace_back("dbname", database);
    if (std::string user = utf8(DBPROP_AUTH_USERID); !user.empty()) out.emplace_back("user", user);
    if (std::string password = utf8(DBPROP_AUTH_PASSWORD); !password.empty()) out.emplace_back("password", password);
    if (LONG timeout = m_properties.Integer(DBPROPSET_DBINIT, DBPROP_INIT_TIMEOUT, 0); timeout > 0)
        out.emplace_back("connect_timeout", std::to_string(timeout));
    out.emplace_back("fallback_application_name", "OrvOleDb");

    std::string options;
    const LONG mode = m_properties.Integer(DBPROPSET_DBINIT, DBPROP_INIT_MODE, DB_MODE_READWRITE);
    if ((mode & DB_MODE_READWRITE) == DB_MODE_READ) options = "-c default_transaction_read_only=on";
    for (const InitPair& pair : ParsePropertyList(m_properties.String(DBPROPSET_DBINIT, DBPROP_INIT_PROVIDERSTRING))) {
        if (pair.value.empty())
            return Status::Error(E_INVALIDARG,
                                 platform::Format(u"'%s' in Extended Properties is not a connection parameter: write "
                                                  u"each as name=value (sslmode=require;application_name=billing).",
                                                  pair.key.c_str()),
                                 u"08001");
        std::string key = platform::Utf16ToUtf8(pair.key), value = platform::Utf16ToUtf8(pair.value);
        if (key == "options") options = options.empty() ? value : value + " " + options;
        else out.emplace_back(std::move(key), std::move(value));
    }
    if (!options.empty()) out.emplace_back("options", options);
    return Status::Success();
}

bool DataSource::ReadDynamic(const GUID& set, DBPROPID id, VARIANT* value) const {
    PGconn* conn = m_status ? m_status->Conn() : nullptr;
    if (set == DBPROPSET_DBINIT && id == DBPROP_AUTH_PASSWORD && m_initialised &&
        !m_properties.Boolean(DBPROPSET_DBINIT, DBPROP_AUTH_PERSIST_SENSITIVE_AUTHINFO, false)) {
        // Once connected, the password is not handed out again unless the string asked to keep it.
        VariantInit(value);
        return true;
    }
    if (set == DBPROPSET_DATASOURCE && id == DBPROP_CURRENTCATALOG) {
        *value = TextVariant(conn ? PQdb(conn) : "");
        return true;
    }
    if (set != DBPROPSET_DATASOURCEINFO) return false;
    switch (id) {
    case DBPROP_CONNECTIONSTATUS:
        value->vt = VT_I4;
        value->lVal = !m_initialised                  ? DBPROPVAL_CS_UNINITIALIZED
                      : m_status && m_status->Alive() ? DBPROPVAL_CS_INITIALIZED
                                                      : DBPROPVAL_CS_COMMUNICATIONFAILURE;
        return true;
    case DBPROP_DATASOURCENAME: {
        // The server as libpq reached it: host or socket folder, port, database.
        std::string name;
        if (conn) name = std::string(PQhost(conn)) + ":" + PQport(conn) + "/" + PQdb(conn);
        *value = TextVariant(name);
        return true;
    }
    case DBPROP_DATASOURCEREADONLY: {
        const LONG mode = m_properties.Integer(DBPROPSET_DBINIT, DBPROP_INIT_MODE, DB_MODE_READWRITE);
        value->vt = VT_BOOL;
        value->boolVal = (mode & DB_MODE_READWRITE) == DB_MODE_READ ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    }
    case DBPROP_DBMSNAME: *value = TextVariant("PostgreSQL"); return true;
    case DBPROP_DBMSVER: {
        const char* version = conn ? PQparameterStatus(conn, "server_version") : nullptr;
        *value = TextVariant(version ? version : "");
        return true;
    }
    case DBPROP_PROVIDERNAME: *value = TextVariant("liborvoledb.so"); return true;
    case DBPROP_PROVIDERVER: *value = TextVariant("01.00.0000"); return true;
    case DBPROP_SUPPORTEDTXNISOLEVELS:
        value->vt = VT_I4;
        value->lVal = DBPROPVAL_TI_READCOMMITTED | DBPROPVAL_TI_REPEATABLEREAD | DBPROPVAL_TI_SERIALIZABLE;
        return true;
    default: return false;
    }
}

HRESULT DataSource::GetProperties(ULONG cSets, const DBPROPIDSET rgSets[], ULONG* pcSets, DBPROPSET** prgSets) {
    return GuardMethod(IID_IDBProperties, [&]() -> HRESULT {
        return m_properties.Get(
            cSets, rgSets, pcSets, prgSets,
            [this](const GUID& set) { return set == DBPROPSET_DBINIT || m_initialised; },
            [this](const GUID& set, DBPROPID id, VARIANT* value) { return ReadDynamic(set, id, value); });
    });
}

HRESULT DataSource::GetPropertyInfo(ULONG cSets, const DBPROPIDSET rgSets[], ULONG* pcInfoSets,
                                    DBPROPINFOSET** prgInfoSets, OLECHAR** ppDescBuffer) {
    return GuardMethod(IID_IDBProperties, [&]() -> HRESULT {
        return m_properties.GetInfo(cSets, rgSets, pcInfoSets, prgInfoSets, ppDescBuffer,
                                    [](const GUID&) { return true; });
    });
}

HRESULT DataSource::SetProperties(ULONG cSets, DBPROPSET rgSets[]) {
    return GuardMethod(IID_IDBProperties, [&]() -> HRESULT {
        const bool initialised = m_initialised;
        return m_properties.Set(cSets, rgSets,
                                [initialised](const GUID& set) { return !initialised && set == DBPROPSET_DBINIT; });
    });
}

HRESULT DataSource::Initialize() {
    return GuardMethod(IID_IDBInitialize, [&]() -> HRESULT {
        if (m_initialised)
            return Report(Status::Error(DB_E_ALREADYINITIALIZED, u"The data source is already open."),
                          IID_IDBInitialize);
        ConnectParameters parameters;
        Status status = Parameters(parameters);
        if (status.Ok()) status = Link::Open(parameters, m_first);
        if (!status.Ok()) {
            m_first.reset();
            return Report(status, IID_IDBInitialize);
        }
        m_status = m_first;
        m_initialised = true;
        return S_OK;
    });
}

HRESULT DataSource::Uninitialize() {
    if (m_sessions > 0)
        return Report(Status::Error(DB_E_OBJECTOPEN, u"The data source still has open sessions."), IID_IDBInitialize);
    m_first.reset();
    m_status.reset();
    m_initialised = false;
    return S_OK;
}

HRESULT DataSource::CreateSession(IUnknown* outer, REFIID riid, IUnknown** ppSession) {
    return GuardMethod(IID_IDBCreateSession, [&]() -> HRESULT {
        if (!ppSession) return E_INVALIDARG;
        *ppSession = nullptr;
        if (!m_initialised)
            return Report(Status::Error(E_UNEXPECTED, u"The data source is not open."), IID_IDBCreateSession);
        if (outer) return DB_E_NOAGGREGATION;
        // Each session has a connection of its own, so that its transactions are its own.
        std::shared_ptr<Link> link = std::move(m_first);
        if (!link) {
            ConnectParameters parameters;
            Status status = Parameters(parameters);
            if (status.Ok()) status = Link::Open(parameters, link);
            if (!status.Ok()) return Report(status, IID_IDBCreateSession);
        }
        auto* session = new (std::nothrow) Session(this, std::move(link));
        if (!session) return E_OUTOFMEMORY;
        ++m_sessions;
        HRESULT hr = session->QueryInterface(riid, reinterpret_cast<void**>(ppSession));
        session->Release();
        return hr;
    });
}

HRESULT DataSource::InterfaceSupportsErrorInfo(REFIID) { return S_OK; }

}  // namespace orv::engine::pg
