// Command execution: the provider command, its rowset properties, the result binding,
// closing, and the one retry that binds large values by reference instead of as streams.
#include "OrvOleDbCommand.h"

#include <cstring>

#include "command/command_state.h"

namespace orv::command {
namespace {

// The rowset properties every execution asks for, optionally: backward scrolling and
// fetching for FetchPrev and FetchLast, and both stream interfaces for large values.
class RowsetProperties {
public:
    RowsetProperties() {
        const DBPROPID ids[kCount] = {DBPROP_CANSCROLLBACKWARDS, DBPROP_CANFETCHBACKWARDS, DBPROP_ISequentialStream,
                                      DBPROP_IStream};
        for (int i = 0; i < kCount; ++i) {
            DBPROP& p = m_props[i];
            std::memset(&p, 0, sizeof p);
            p.dwPropertyID = ids[i];
            p.dwOptions = DBPROPOPTIONS_OPTIONAL;
            p.colid = DB_NULLID;
            VariantInit(&p.vValue);
            p.vValue.vt = VT_BOOL;
            p.vValue.boolVal = VARIANT_TRUE;
        }
        m_set.rgProperties = m_props;
        m_set.cProperties = kCount;
        m_set.guidPropertySet = DBPROPSET_ROWSET;
    }
    ~RowsetProperties() {
        for (DBPROP& p : m_props) VariantClear(&p.vValue);
    }
    RowsetProperties(const RowsetProperties&) = delete;
    RowsetProperties& operator=(const RowsetProperties&) = delete;

    DBPROPSET* Set() { return &m_set; }

private:
    static constexpr int kCount = 4;
    DBPROP m_props[kCount];
    DBPROPSET m_set;
};

}  // namespace

void CommandState::ReleaseHeldRow() {
    accessor.FreeValues();
    if (rowHeld && rowset) rowset->ReleaseRows(1, &row, nullptr, nullptr, nullptr);
    rowHeld = false;
    row = DB_NULL_HROW;
}

void CommandState::CloseResultSet() {
    if (rowset) ReleaseHeldRow();
    accessor.Release();
    rowsetChange.Release();
    rowset.Release();
    rowHeld = false;
    row = DB_NULL_HROW;
}

HRESULT CommandState::CreateCommand(IOpenRowset* session, const CString& text) {
    CComPtr<ICommand> created;
    {
        std::lock_guard<std::mutex> lock(commandLock);
        command.Release();
    }
    if (!session) return E_POINTER;
    CComPtr<IDBCreateCommand> factory;
    HRESULT hr = session->QueryInterface(IID_IDBCreateCommand, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    if (!factory) return E_NOINTERFACE;
    hr = factory->CreateCommand(nullptr, IID_ICommand, reinterpret_cast<IUnknown**>(&created));
    if (FAILED(hr)) return hr;
    if (!created) return E_NOINTERFACE;
    CComPtr<ICommandText> commandText;
    hr = created.QueryInterface(&commandText);
    if (FAILED(hr)) return hr;
    hr = commandText->SetCommandText(DBGUID_DEFAULT, text.GetString());
    std::lock_guard<std::mutex> lock(commandLock);
    command = created;
    return hr;
}

HRESULT CommandState::Cancel() {
    std::lock_guard<std::mutex> lock(commandLock);
    return command ? command->Cancel() : S_OK;
}

HRESULT CommandState::SetRowsetProperties() {
    CComPtr<ICommandProperties> properties;
    HRESULT hr = command.QueryInterface(&properties);
    if (FAILED(hr)) return hr;
    RowsetProperties request;
    hr = properties->SetProperties(1, request.Set());
    // An optional property the provider could not set is not a failure.
    return FAILED(hr) ? hr : S_OK;
}

HRESULT CommandState::Execute(DBROWCOUNT* rowsAffected) {
    HRESULT hr = command->Execute(nullptr, IID_IRowset, nullptr, rowsAffected, reinterpret_cast<IUnknown**>(&rowset));
    if (FAILED(hr)) {
        rowset.Release();
        return hr;
    }
    if (!rowset) return hr;
    rowset.QueryInterface(&rowsetChange);
    HRESULT bound = accessor.Bind(rowset);
    return FAILED(bound) ? bound : S_OK;
}

}  // namespace orv::command

using orv::command::CommandState;
using orv::command::kColumnsNotCounted;

OrvOleDbCommand::OrvOleDbCommand()
    : m_connection(nullptr),
      m_command(new CommandState),
      m_beforeFirst(false),
      m_open(false),
      m_afterLast(false),
      m_rowsAffected(0),
      m_columnCount(kColumnsNotCounted),
      m_blobHandling(DBBLOBHANDLING_NOSTREAMS) {}

OrvOleDbCommand::~OrvOleDbCommand() {
    OrvOleDbCommand::Close();
    m_commandText.Empty();
    m_command.reset();
}

void OrvOleDbCommand::SetConnection(OrvOleDbConnection* connection) { m_connection = connection; }

void OrvOleDbCommand::SetCommandText(const CString& text) { m_commandText = text; }

OrvOleDbCommand::dbStatus OrvOleDbCommand::Execute() {
    // This class's close, not an override: a derived class's Close may give up the
    // connection, which Execute is about to use.
    m_command->CloseResultSet();
    m_open = false;
    if (!m_connection || !m_connection->IsConnected()) return dbError;
    if (m_commandText.IsEmpty()) return dbError;

    m_columnCount = kColumnsNotCounted;
    m_rowsAffected = 0;
    if (m_blobHandling >= DBBLOBHANDLING_DEFAULT && m_blobHandling <= DBBLOBHANDLING_SKIP)
        m_command->accessor.m_blobMode = m_blobHandling;

    HRESULT hr = m_command->CreateCommand(m_connection->GetSession().m_spOpenRowset, m_commandText);
    if (SUCCEEDED(hr)) hr = m_command->SetRowsetProperties();
    if (SUCCEEDED(hr)) hr = m_command->Execute(&m_rowsAffected);

    if (CheckResult(hr)) {
        m_afterLast = false;
        m_beforeFirst = true;
        m_open = true;
        return dbTrue;
    }
    m_errorStatement = m_commandText;
    m_command->CloseResultSet();
    return dbError;
}

bool OrvOleDbCommand::Cancel() { return SUCCEEDED(m_command->Cancel()); }

__int64 OrvOleDbCommand::GetRowsAffected() { return m_rowsAffected; }

bool OrvOleDbCommand::HasResults() { return m_command->HasResults(); }

void OrvOleDbCommand::Close() {
    m_command->CloseResultSet();
    m_open = false;
}

bool OrvOleDbCommand::IsConnected() const { return m_connection && m_connection->IsConnected(); }

OrvOleDbConnection* OrvOleDbCommand::GetConnection() const { return m_connection; }

bool OrvOleDbCommand::SetBlobHandling(DBBLOBHANDLINGENUM mode) {
    if (m_open) return false;
    m_blobHandling = mode;
    return true;
}

HRESULT OrvOleDbCommand::RetryBlobHandling(HRESULT hr) {
    if (hr != DB_S_ERRORSOCCURRED || m_blobHandling == DBBLOBHANDLING_NOSTREAMS) return hr;
    // The provider could not deliver a storage object: bind large values by reference from
    // now on, for this and every later execution.
    m_blobHandling = DBBLOBHANDLING_NOSTREAMS;
    if (Execute() == dbTrue) {
        hr = m_command->MoveFirst();
        // The new result's first row is already held: the next FetchNext moves past it
        // rather than delivering it a second time.
        m_beforeFirst = false;
    }
    return hr;
}
