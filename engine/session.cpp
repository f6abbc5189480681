// The provider's session: one SQLite connection on the data source's store.
#include <sqlite3.h>

#include "engine/provider.h"

namespace orv::engine {
namespace {

const PropertyInfo kSessionProperties[] = {
    {&DBPROPSET_SESSION, DBPROP_SESS_AUTOCOMMITISOLEVELS, VT_I4,
     DBPROPFLAGS_SESSION | DBPROPFLAGS_READ | DBPROPFLAGS_WRITE, u"Autocommit Isolation Levels"},
};

}  // namespace

Session::Session(DataSource* source, sqlite3* db) : m_source(source), m_db(db), m_properties(kSessionProperties) {
    m_source->AddRef();
    m_source->SessionOpened();
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = ISOLATIONLEVEL_READCOMMITTED;
    m_properties.Store(DBPROPSET_SESSION, DBPROP_SESS_AUTOCOMMITISOLEVELS, v);
}

Session::~Session() {
    sqlite3_close_v2(m_db);
    m_source->SessionClosed();
    m_source->Release();
}

HRESULT Session::OpenRowset(IUnknown*, DBID*, DBID*, REFIID, ULONG, DBPROPSET[], IUnknown** ppRowset) {
    if (ppRowset) *ppRowset = nullptr;
    return Report(Status::Error(E_NOTIMPL, u"Opening a table as a rowset is not available yet."), IID_IOpenRowset);
}

HRESULT Session::GetDataSource(REFIID riid, IUnknown** ppDataSource) {
    if (!ppDataSource) return E_INVALIDARG;
    *ppDataSource = nullptr;
    return m_source->QueryInterface(riid, reinterpret_cast<void**>(ppDataSource));
}

HRESULT Session::GetProperties(ULONG cSets, const DBPROPIDSET rgSets[], ULONG* pcSets, DBPROPSET** prgSets) {
    return m_properties.Get(
        cSets, rgSets, pcSets, prgSets, [](const GUID&) { return true; },
        [](const GUID&, DBPROPID, VARIANT*) { return false; });
}

HRESULT Session::SetProperties(ULONG cSets, DBPROPSET rgSets[]) {
    return m_properties.Set(cSets, rgSets, [](const GUID& set) { return set == DBPROPSET_SESSION; });
}

HRESULT Session::InterfaceSupportsErrorInfo(REFIID) { return S_OK; }

}  // namespace orv::engine
