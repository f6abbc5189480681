// What every provider's session answers alike: its properties (the autocommit isolation
// level), and ITableDefinition's changes, which are refused because tables are made and
// changed with SQL. A session class lists these in its interfaces instead of
// ISessionProperties and ITableCreation, and implements GetTableDefinition itself.
//
// Part of its session object: used by the session's thread.
#pragma once

#include "engine/properties.h"

namespace orv::engine {

class SessionPropertyBase : public ISessionProperties {
public:
    SessionPropertyBase();
    HRESULT STDMETHODCALLTYPE GetProperties(ULONG cPropertyIDSets, const DBPROPIDSET rgPropertyIDSets[],
                                            ULONG* pcPropertySets, DBPROPSET** prgPropertySets) override;
    HRESULT STDMETHODCALLTYPE SetProperties(ULONG cPropertySets, DBPROPSET rgPropertySets[]) override;

private:
    PropertyBag m_sessionProperties;
};

class TableCreationBase : public ITableCreation {
public:
    HRESULT STDMETHODCALLTYPE CreateTable(IUnknown* pUnkOuter, DBID* pTableID, DBORDINAL cColumnDescs,
                                          const DBCOLUMNDESC rgColumnDescs[], REFIID riid, ULONG cPropertySets,
                                          DBPROPSET rgPropertySets[], DBID** ppTableID, IUnknown** ppRowset) override;
    HRESULT STDMETHODCALLTYPE DropTable(DBID* pTableID) override;
    HRESULT STDMETHODCALLTYPE AddColumn(DBID* pTableID, DBCOLUMNDESC* pColumnDesc, DBID** ppColumnID) override;
    HRESULT STDMETHODCALLTYPE DropColumn(DBID* pTableID, DBID* pColumnID) override;
};

}  // namespace orv::engine
