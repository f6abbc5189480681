// The server provider's session: one connection, its transactions and its commands.
#include "engine/guard.h"
#include "engine/open_table.h"
#include "engine/pg/provider.h"
#include "engine/sql/quote.h"
#include "platform/utf.h"

namespace orv::engine::pg {

HRESULT CreateCommand(Session* session, REFIID riid, void** ppv);

namespace {

const char* IsolationClause(ISOLEVEL level) {
    switch (level) {
    case ISOLATIONLEVEL_REPEATABLEREAD: return " ISOLATION LEVEL REPEATABLE READ";
    case ISOLATIONLEVEL_SERIALIZABLE: return " ISOLATION LEVEL SERIALIZABLE";
    default: return " ISOLATION LEVEL READ COMMITTED";  // PostgreSQL reads nothing uncommitted
    }
}

}  // namespace

Session::Session(DataSource* source, std::shared_ptr<Link> link) : m_source(source), m_link(std::move(link)) {
    m_source->AddRef();
}

Session::~Session() {
    // An open transaction ends with the session, as if aborted.
    if (m_link->TransactionLevel() > 0 && m_link->Alive()) m_link->Run("ROLLBACK");
    m_link.reset();
    m_source->SessionClosed();
    m_source->Release();
}

HRESULT Session::OpenRowset(IUnknown* outer, DBID* pTableID, DBID* pIndexID, REFIID riid, ULONG, DBPROPSET[],
                            IUnknown** ppRowset) {
    return GuardMethod(IID_IOpenRowset, [&]() -> HRESULT {
        std::string sql;
        if (HRESULT hr = TableStatement(outer, pTableID, pIndexID, ppRowset, sql); hr != S_OK) return hr;
        return Report(Execute(sql, nullptr, ppRowset ? riid : IID_NULL, nullptr, ppRowset), IID_IOpenRowset);
    });
}

HRESULT Session::CreateCommand(IUnknown* outer, REFIID riid, IUnknown** ppCommand) {
    return GuardMethod(IID_IDBCreateCommand, [&]() -> HRESULT {
        if (!ppCommand) return E_INVALIDARG;
        *ppCommand = nullptr;
        if (outer) return DB_E_NOAGGREGATION;
        return pg::CreateCommand(this, riid, reinterpret_cast<void**>(ppCommand));
    });
}

// ---- Transactions ----------------------------------------------------------------------------

HRESULT Session::StartTransaction(ISOLEVEL isoLevel, ULONG isoFlags, ITransactionOptions*, ULONG* pulTransactionLevel) {
    return GuardMethod(IID_ITransactionLocal, [&]() -> HRESULT {
        if (pulTransactionLevel) *pulTransactionLevel = 0;
        if (isoFlags != 0) return XACT_E_NOISORETAIN;
        const unsigned level = m_link->TransactionLevel();
        Status status = level == 0 ? m_link->Run(std::string("BEGIN") + IsolationClause(isoLevel))
                                   : m_link->Run("SAVEPOINT orv_level_" + std::to_string(level + 1));
        if (!status.Ok()) return Report(status, IID_ITransactionLocal);
        m_link->TransactionStarted();
        if (pulTransactionLevel) *pulTransactionLevel = m_link->TransactionLevel();
        return S_OK;
    });
}

Status Session::EndTransaction(bool commit) {
    const unsigned level = m_link->TransactionLevel();
    if (level == 0) return NoTransaction(commit);
    const std::string savepoint = "orv_level_" + std::to_string(level);
    std::string sql;
    if (commit) sql = level == 1 ? "COMMIT" : "RELEASE " + savepoint;
    else sql = level == 1 ? "ROLLBACK" : "ROLLBACK TO " + savepoint + "; RELEASE " + savepoint;
    Status status = m_link->Run(sql);
    if (status.Ok()) m_link->TransactionEnded(commit);
    return status;
}

HRESULT Session::Commit(BOOL fRetaining, DWORD, DWORD) {
    return GuardMethod(IID_ITransaction, [&]() -> HRESULT {
        Status status = EndTransaction(true);
        if (!status.Ok()) return Report(status, IID_ITransaction);
        if (fRetaining) return StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, nullptr);
        return S_OK;
    });
}

HRESULT Session::Abort(BOID*, BOOL fRetaining, BOOL fAsync) {
    return GuardMethod(IID_ITransaction, [&]() -> HRESULT {
        if (fAsync) return XACT_E_NOTSUPPORTED;
        Status status = EndTransaction(false);
        if (!status.Ok()) return Report(status, IID_ITransaction);
        if (fRetaining) return StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, nullptr);
        return S_OK;
    });
}

HRESULT Session::GetTransactionInfo(XACTTRANSINFO* info) {
    if (!info) return E_INVALIDARG;
    if (m_link->TransactionLevel() == 0) return XACT_E_NOTRANSACTION;
    std::memset(info, 0, sizeof *info);
    info->isoLevel = ISOLATIONLEVEL_READCOMMITTED;
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

}  // namespace orv::engine::pg
