// The embedded provider's identities and object classes: the data source (one per
// initialisation string) and the sessions it creates.
//
// Ownership: a session holds a reference on its data source, so the store stays open as
// long as any session lives. A data source and each session are used by one thread at a
// time, as OLE DB's free-threaded objects are by their consumers; reference counting is
// atomic.
#pragma once

#include <atomic>
#include <memory>

#include "engine/error.h"
#include "engine/properties.h"
#include "engine/sql/ddl.h"
#include "engine/session_parts.h"
#include "engine/sql/authorizer.h"
#include "engine/store/store.h"
#include "platform/com_object.h"

namespace orv::engine {

// The provider's class, reached through its provider names.
inline constexpr CLSID CLSID_OrvEngine = {0xF2212004, 0xCAAB, 0x41A7, {0xA1, 0x57, 0x1A, 0x98, 0xC0, 0x82, 0xE6, 0xF9}};

// The provider's own initialisation properties ("Jet OLEDB:..." keys).
inline constexpr GUID DBPROPSET_ENGINE_DBINIT = {
    0x4A329927, 0xF385, 0x4C59, {0x8E, 0xAE, 0xB0, 0x6A, 0xE3, 0x9C, 0x22, 0x30}};
enum EngineInitProperty : DBPROPID {
    ENGINEPROP_ENGINE_TYPE = 1,
    ENGINEPROP_DATABASE_PASSWORD,
    ENGINEPROP_SYSTEM_DATABASE,
    ENGINEPROP_REGISTRY_PATH,
    ENGINEPROP_DATABASE_LOCKING_MODE,
    ENGINEPROP_GLOBAL_PARTIAL_BULK_OPS,
    ENGINEPROP_GLOBAL_BULK_TRANSACTIONS,
    ENGINEPROP_NEW_DATABASE_PASSWORD,
    ENGINEPROP_CREATE_SYSTEM_DATABASE,
    ENGINEPROP_ENCRYPT_DATABASE,
    ENGINEPROP_DONT_COPY_LOCALE_ON_COMPACT,
    ENGINEPROP_COMPACT_WITHOUT_REPLICA_REPAIR,
    ENGINEPROP_SFP,
    ENGINEPROP_LOCK_RETRY,
    ENGINEPROP_LOCK_DELAY,
    ENGINEPROP_MAX_BUFFER_SIZE,
    ENGINEPROP_PAGE_TIMEOUT,
    ENGINEPROP_FLUSH_TRANSACTION_TIMEOUT,
    ENGINEPROP_MAX_LOCKS_PER_FILE,
    ENGINEPROP_IMPLICIT_COMMIT_SYNC,
    ENGINEPROP_USER_COMMIT_SYNC,
    ENGINEPROP_RECYCLE_LONG_VALUED_PAGES,
    ENGINEPROP_TRANSACTION_COMMIT_MODE,
    ENGINEPROP_SUPPORT_COMPLEX_DATA,
    ENGINEPROP_BYPASS_USERINFO_VALIDATION,
    ENGINEPROP_LIMITED_DB_CACHING,
    ENGINEPROP_BYPASS_CHOICEFIELD_VALIDATION,
    ENGINEPROP_CONNECTION_CONTROL,
    ENGINEPROP_ODBC_COMMAND_TIME_OUT,
    ENGINEPROP_EXCLUSIVE_ASYNC_DELAY,
    ENGINEPROP_SHARED_ASYNC_DELAY,
    ENGINEPROP_RESET_ISAM_STATS,
};

HRESULT CreateDataSource(IUnknown* outer, REFIID riid, void** ppv);

class DataSource final : public platform::ComObject<IDBInitialize, IDBProperties, IDBCreateSession, IDBDataSourceAdmin,
                                                    ISupportErrorInfo> {
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
    // IDBDataSourceAdmin: a new, empty database file at the DBPROP_INIT_DATASOURCE path
    HRESULT STDMETHODCALLTYPE CreateDataSource(ULONG cPropertySets, DBPROPSET rgPropertySets[], IUnknown* pUnkOuter,
                                               REFIID riid, IUnknown** ppDBSession) override;
    HRESULT STDMETHODCALLTYPE DestroyDataSource() override;
    HRESULT STDMETHODCALLTYPE GetCreationProperties(ULONG cPropertyIDSets, const DBPROPIDSET rgPropertyIDSets[],
                                                    ULONG* pcPropertyInfoSets, DBPROPINFOSET** prgPropertyInfoSets,
                                                    OLECHAR** ppDescBuffer) override;
    HRESULT STDMETHODCALLTYPE ModifyDataSource(ULONG cPropertySets, DBPROPSET rgPropertySets[]) override;
    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    Store* GetStore() const { return m_store.get(); }
    void SessionOpened() { ++m_sessions; }
    void SessionClosed() { --m_sessions; }

private:
    bool Readable(const GUID& set) const;
    bool ReadDynamic(const GUID& set, DBPROPID id, VARIANT* value) const;
    StoreOptions Options() const;

    PropertyBag m_properties;
    std::unique_ptr<Store> m_store;  // null while uninitialised
    std::atomic<int> m_sessions{0};
};

class Session final
    : public platform::ComObject<IOpenRowset, IGetDataSource, SessionPropertyBase, IDBCreateCommand, ITransactionLocal,
                                 IDBSchemaRowset, TableCreationBase, ISupportErrorInfo> {
public:
    Session(DataSource* source, sqlite3* db);
    ~Session() override;

    // IOpenRowset
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
    // IDBSchemaRowset (engine/schema.cpp): TABLES, COLUMNS and INDEXES of the database file.
    HRESULT STDMETHODCALLTYPE GetRowset(IUnknown* pUnkOuter, REFGUID rguidSchema, ULONG cRestrictions,
                                        const VARIANT rgRestrictions[], REFIID riid, ULONG cPropertySets,
                                        DBPROPSET rgPropertySets[], IUnknown** ppRowset) override;
    HRESULT STDMETHODCALLTYPE GetSchemas(ULONG* pcSchemas, GUID** prgSchemas, ULONG** prgRestrictionSupport) override;
    // ITableCreation: the column descriptions of a table, with auto-increment seed and step.
    HRESULT STDMETHODCALLTYPE GetTableDefinition(DBID* pTableID, DBORDINAL* pcColumnDescs,
                                                 DBCOLUMNDESC* prgColumnDescs[], ULONG* pcPropertySets,
                                                 DBPROPSET* prgPropertySets[], ULONG* pcConstraintDescs,
                                                 DBCONSTRAINTDESC* prgConstraintDescs[],
                                                 OLECHAR** ppwszStringBuffer) override;
    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    sqlite3* Db() const { return m_db; }
    DataSource* Source() const { return m_source; }
    SchemaCheck& Schema() { return m_schema; }
    // What SQL on the connection may reach (engine/sql/authorizer.h).
    SqlPolicy& Policy() { return m_policy; }

private:
    DataSource* m_source;  // one reference held
    Status Run(const char* sql);

    sqlite3* m_db;  // owned
    SchemaCheck m_schema;  // what the last command learnt of the schema
    SqlPolicy m_policy;  // the connection's authorizer; the destructor closes the connection before it goes
    ULONG m_transactionLevel = 0;  // 0: autocommit; 1: a transaction; more: savepoints inside it
};

}  // namespace orv::engine
