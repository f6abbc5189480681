#include "engine/session_parts.h"

#include "engine/error.h"
#include "engine/guard.h"

namespace orv::engine {
namespace {

const PropertyInfo kSessionProperties[] = {
    {&DBPROPSET_SESSION, DBPROP_SESS_AUTOCOMMITISOLEVELS, VT_I4,
     DBPROPFLAGS_SESSION | DBPROPFLAGS_READ | DBPROPFLAGS_WRITE, u"Autocommit Isolation Levels"},
};

HRESULT RefuseTableChange(const char16_t* what) {
    return Report(Status::Error(DB_E_NOTSUPPORTED,
                                std::u16string(what) + u" through ITableDefinition is not supported: use SQL DDL."),
                  IID_ITableDefinition);
}

}  // namespace

SessionPropertyBase::SessionPropertyBase() : m_sessionProperties(kSessionProperties) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = ISOLATIONLEVEL_READCOMMITTED;
    m_sessionProperties.Store(DBPROPSET_SESSION, DBPROP_SESS_AUTOCOMMITISOLEVELS, v);
}

HRESULT SessionPropertyBase::GetProperties(ULONG cSets, const DBPROPIDSET rgSets[], ULONG* pcSets,
                                           DBPROPSET** prgSets) {
    return GuardMethod(IID_ISessionProperties, [&]() -> HRESULT {
        return m_sessionProperties.Get(
            cSets, rgSets, pcSets, prgSets, [](const GUID&) { return true; },
            [](const GUID&, DBPROPID, VARIANT*) { return false; });
    });
}

HRESULT SessionPropertyBase::SetProperties(ULONG cSets, DBPROPSET rgSets[]) {
    return GuardMethod(IID_ISessionProperties, [&]() -> HRESULT {
        return m_sessionProperties.Set(cSets, rgSets, [](const GUID& set) { return set == DBPROPSET_SESSION; });
    });
}

HRESULT TableCreationBase::CreateTable(IUnknown*, DBID*, DBORDINAL, const DBCOLUMNDESC[], REFIID, ULONG, DBPROPSET[],
                                       DBID** ppTableID, IUnknown** ppRowset) {
    return GuardMethod(IID_ITableDefinition, [&]() -> HRESULT {
        if (ppTableID) *ppTableID = nullptr;
        if (ppRowset) *ppRowset = nullptr;
        return RefuseTableChange(u"Creating a table");
    });
}

HRESULT TableCreationBase::DropTable(DBID*) { return RefuseTableChange(u"Dropping a table"); }

HRESULT TableCreationBase::AddColumn(DBID*, DBCOLUMNDESC*, DBID** ppColumnID) {
    return GuardMethod(IID_ITableDefinition, [&]() -> HRESULT {
        if (ppColumnID) *ppColumnID = nullptr;
        return RefuseTableChange(u"Adding a column");
    });
}

HRESULT TableCreationBase::DropColumn(DBID*, DBID*) { return RefuseTableChange(u"Dropping a column"); }

}  // namespace orv::engine
