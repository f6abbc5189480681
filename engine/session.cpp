// The provider's session: one SQLite connection on the data source's store.
#include <sqlite3.h>

#include "engine/command.h"
#include "engine/guard.h"
#include "engine/open_table.h"
#include "engine/provider.h"
#include "engine/sql/functions.h"
#include "platform/format.h"
#include "platform/utf.h"

namespace orv::engine {

Session::Session(DataSource* source, sqlite3* db)
    : m_source(source), m_db(db), m_policy(source->GetStore() ? source->GetStore()->Name() : std::u16string()) {
    // What may fail (out of memory) comes before the data source counts the session.
    RegisterFunctions(m_db);
    m_policy.Install(m_db);
    m_source->AddRef();
    m_source->SessionOpened();
}

Session::~Session() {
    // An open transaction ends with the session, as if aborted: SQLite rolls it back on close.
    sqlite3_close_v2(m_db);
    m_source->SessionClosed();
    m_source->Release();
}

HRESULT Session::OpenRowset(IUnknown* outer, DBID* pTableID, DBID* pIndexID, REFIID riid, ULONG, DBPROPSET[],
                            IUnknown** ppRowset) {
    return GuardMethod(IID_IOpenRowset, [&]() -> HRESULT {
        std::string sql;
        if (HRESULT hr = TableStatement(outer, pTableID, pIndexID, ppRowset, sql); hr != S_OK) return hr;
        sqlite3_stmt* statement = nullptr;
        int rc = sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr);
        if (rc != SQLITE_OK) return Report(StatementFailure(m_db, rc), IID_IOpenRowset);
        Status status = RunStatement(this, nullptr, statement, ppRowset ? riid : IID_NULL, nullptr, ppRowset);
        return Report(status, IID_IOpenRowset);
    });
}

HRESULT Session::CreateCommand(IUnknown* outer, REFIID riid, IUnknown** ppCommand) {
    return GuardMethod(IID_IDBCreateCommand, [&]() -> HRESULT {
        if (!ppCommand) return E_INVALIDARG;
        *ppCommand = nullptr;
        if (outer) return DB_E_NOAGGREGATION;
        return platform::CreateComObject<Command>(nullptr, riid, reinterpret_cast<void**>(ppCommand), this);
    });
}

// ---- Transactions ----------------------------------------------------------------------------

Status Session::Run(const char* sql) {
    char* error = nullptr;
    int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &error);
    sqlite3_free(error);
    return rc == SQLITE_OK ? Status::Success() : StatementFailure(m_db, rc);
}

HRESULT Session::StartTransaction(ISOLEVEL, ULONG isoFlags, ITransactionOptions*, ULONG* pulTransactionLevel) {
    return GuardMethod(IID_ITransactionLocal, [&]() -> HRESULT {
        if (pulTransactionLevel) *pulTransactionLevel = 0;
        if (isoFlags != 0) return XACT_E_NOISORETAIN;
        // SQLite isolates at least as strongly as any level asked for: every level is granted.
        Status status;
        if (m_transactionLevel == 0) {
            status = Run("BEGIN");
        } else {
            std::string savepoint = "SAVEPOINT orv_level_" + std::to_string(m_transactionLevel + 1);
            status = Run(savepoint.c_str());
        }
        if (!status.Ok()) return Report(status, IID_ITransactionLocal);
        ++m_transactionLevel;
        if (pulTransactionLevel) *pulTransactionLevel = m_transactionLevel;
        return S_OK;
    });
}

HRESULT Session::Commit(BOOL fRetaining, DWORD, DWORD) {
    return GuardMethod(IID_ITransaction, [&]() -> HRESULT {
        if (m_transactionLevel == 0) return Report(NoTransaction(true), IID_ITransaction);
        std::string sql =
            m_transactionLevel == 1 ? "COMMIT" : "RELEASE orv_level_" + std::to_string(m_transactionLevel);
        Status status = Run(sql.c_str());
        if (!status.Ok()) return Report(status, IID_ITransaction);
        --m_transactionLevel;
        if (fRetaining) return StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, nullptr);
        return S_OK;
    });
}

HRESULT Session::Abort(BOID*, BOOL fRetaining, BOOL fAsync) {
    return GuardMethod(IID_ITransaction, [&]() -> HRESULT {
        if (fAsync) return XACT_E_NOTSUPPORTED;
        if (m_transactionLevel == 0) return Report(NoTransaction(false), IID_ITransaction);
        std::string sql;
        if (m_transactionLevel == 1) {
            sql = "ROLLBACK";
        } else {
            std::string name = "orv_level_" + std::to_string(m_transactionLevel);
            sql = "ROLLBACK TO " + name + "; RELEASE " + name;
        }
        Status status = Run(sql.c_str());
        if (!status.Ok()) return Report(status, IID_ITransaction);
        --m_transactionLevel;
        if (fRetaining) return StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, nullptr);
        return S_OK;
    });
}

HRESULT Session::GetTransactionInfo(XACTTRANSINFO* info) {
    if (!info) return E_INVALIDARG;
    if (m_transactionLevel == 0) return XACT_E_NOTRANSACTION;
    std::memset(info, 0, sizeof *info);
    info->isoLevel = ISOLATIONLEVEL_SERIALIZABLE;
    return S_OK;
}

HRESULT Session::GetOptionsObject(ITransactionOptions** ppOptions) {
    if (ppOptions) *ppOptions = nullptr;
    return E_NOTIMPL;
}

HRESULT Session::GetDataSource(REFIID riid, IUnknown** ppDataSource) {
    if (!ppDataSource) return E_INVALIDARG;
    *ppDataSource = nullptr;
    return m_source->QueryInterface(riid, reinterpret_cast<void**>(ppDataSource));
}

HRESULT Session::InterfaceSupportsErrorInfo(REFIID) { return S_OK; }

}  // namespace orv::engine
