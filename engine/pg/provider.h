// The PostgreSQL provider: the same OLE DB objects as the file engine's (data source,
// session, command; the rowset is the engine's own over a server cursor), on libpq.
// Registered under "PostgreSQL" and "PostgreSQL.1".
//
// Ownership: the data source opens the first connection (a refused connection fails
// Initialize) and hands it to its first session; any further session opens its own. A
// session holds a reference on its data source; commands hold their session; rowsets hold
// their session and share its connection. Each object is used by one thread at a time;
// reference counting is atomic.
#pragma once

#include <memory>
#include <string>

#include "engine/error.h"
#include "engine/pg/link.h"
#include "engine/properties.h"
#include "engine/session_parts.h"
#include "platform/com_object.h"

namespace orv::engine::pg {

inline constexpr CLSID CLSID_OrvPostgres = {
    0x5C1E6B3A, 0x7D2F, 0x4E8B, {0x9A, 0x41, 0x3F, 0x60, 0xB2, 0x7C, 0x18, 0xD5}};

HRESULT CreateDataSource(IUnknown* outer, REFIID riid, void** ppv);

class DataSource final : public platform::ComObject<IDBInitialize, IDBProperties, IDBCreateSession, ISupportErrorInfo> {
public:
    DataSource();
    ~DataSource() override;

    // IDBInitialize
    HRESULT STDMETHODCALLTYPE Initialize() override;
    HRESULT STDMETHODCALLTYPE Uninitialize() override;
    // IDBProperties
    HRESULT STDMETHODCALLTYPE GetProperties(ULONG cPropertyIDSets, const DBPROPIDSET rgPropertyIDSets[],
                                            ULONG* pcPropertySets, DBPROPSET** prgPropertySets) override;
    HRESULT STDMETHODCALLTYPE GetPropertyInfo(ULONG cPropertyIDSets, const DBPROPIDSET rgPropertyIDSets[],
                                              ULONG* pcPropertyInfoSets, DBPROPINFOSET** prgPropertyInfoSets,
                                              OLECHAR** ppDescBuffer) override;
    HRESULT STDMETHODCALLTYPE SetProperties(ULONG cPropertySets, DBPROPSET rgPropertySets[]) override;
    // IDBCreateSession
    HRESULT STDMETHODCALLTYPE CreateSession(IUnknown* pUnkOuter, REFIID riid, IUnknown** ppDBSession) override;
    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    void SessionClosed() { --m_sessions; }

private:
    bool ReadDynamic(const GUID& set, DBPROPID id, VARIANT* value) const;
    Status Parameters(ConnectParameters& out) const;

    PropertyBag m_properties;
    std::shared_ptr<Link> m_first;  // the connection opened by Initialize, until a session takes it
    std::shared_ptr<Link> m_status;  // the connection whose state the data source reports
    bool m_initialised = false;
    int m_sessions = 0;
};

class Session final
    : public platform::ComObject<IOpenRowset, IGetDataSource, SessionPropertyBase, IDBCreateCommand, ITransactionLocal,
                                 IDBSchemaRowset, TableCreationBase, ISupportErrorInfo> {
public:
    Session(DataSource* source, std::shared_ptr<Link> link);
    ~Session() override;

    // IOpenRowset: every row of one table
    HRESULT STDMETHODCALLTYPE OpenRowset(IUnknown* pUnkOuter, DBID* pTableID, DBID* pIndexID, REFIID riid,
                                         ULONG cPropertySets, DBPROPSET rgPropertySets[], IUnknown** ppRowset) override;
    // IGetDataSource
    HRESULT STDMETHODCALLTYPE GetDataSource(REFIID riid, IUnknown** ppDataSource) override;
    // IDBCreateCommand
    HRESULT STDMETHODCALLTYPE CreateCommand(IUnknown* pUnkOuter, REFIID riid, IUnknown** ppCommand) override;
    // ITransaction, ITransactionLocal: nested levels are savepoints.
    HRESULT STDMETHODCALLTYPE Commit(BOOL fRetaining, DWORD grfTC, DWORD grfRM) override;
    HRESULT STDMETHODCALLTYPE Abort(BOID* pboidReason, BOOL fRetaining, BOOL fAsync) override;
    HRESULT STDMETHODCALLTYPE GetTransactionInfo(XACTTRANSINFO* pinfo) override;
    HRESULT STDMETHODCALLTYPE GetOptionsObject(ITransactionOptions** ppOptions) override;
    HRESULT STDMETHODCALLTYPE StartTransaction(ISOLEVEL isoLevel, ULONG isoFlags, ITransactionOptions* pOtherOptions,
                                               ULONG* pulTransactionLevel) override;
    // IDBSchemaRowset (engine/pg/catalog.cpp): TABLES, COLUMNS and INDEXES of the database.
    HRESULT STDMETHODCALLTYPE GetRowset(IUnknown* pUnkOuter, REFGUID rguidSchema, ULONG cRestrictions,
                                        const VARIANT rgRestrictions[], REFIID riid, ULONG cPropertySets,
                                        DBPROPSET rgPropertySets[], IUnknown** ppRowset) override;
    HRESULT STDMETHODCALLTYPE GetSchemas(ULONG* pcSchemas, GUID** prgSchemas, ULONG** prgRestrictionSupport) override;
    // ITableCreation: the columns of a table, identity columns with their sequence's start and step.
    HRESULT STDMETHODCALLTYPE GetTableDefinition(DBID* pTableID, DBORDINAL* pcColumnDescs,
                                                 DBCOLUMNDESC* prgColumnDescs[], ULONG* pcPropertySets,
                                                 DBPROPSET* prgPropertySets[], ULONG* pcConstraintDescs,
                                                 DBCONSTRAINTDESC* prgConstraintDescs[],
                                                 OLECHAR** ppwszStringBuffer) override;
    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    const std::shared_ptr<Link>& GetLink() const { return m_link; }
    // Runs a consumer's statement: a query becomes a rowset read through a cursor, any other
    // statement runs and reports the rows it changed.
    Status Execute(const std::string& sql, IUnknown* specification, REFIID riid, DBROWCOUNT* rowsAffected,
                   IUnknown** rowset);

private:
    Status EndTransaction(bool commit);

    DataSource* m_source;  // one reference held
    std::shared_ptr<Link> m_link;
};

// The Windows functions that statements handed to the library carry (Date(), Time()),
// written as PostgreSQL's; everything else of the text passes through as it is.
std::string ServeWindowsFunctions(const std::string& sql);

}  // namespace orv::engine::pg
