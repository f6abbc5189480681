// Cursor movement: one row held at a time, moved with GetNextRows offsets so that the
// provider's backward scrolling serves FetchPrev and FetchLast.
#include "OrvOleDbCommand.h"
#include "command/command_state.h"

namespace orv::command {

// Asks for one row at `offset` from the current position into `row`.
HRESULT CommandState::GetNextRow(DBROWOFFSET offset) {
    DBCOUNTITEM obtained = 0;
    HROW* rows = &row;
    HRESULT hr = rowset->GetNextRows(DB_NULL_HCHAPTER, offset, 1, &obtained, &rows);
    if (rows && rows != &row) {
        // A provider that ignored the array it was given allocated its own.
        if (obtained > 0) row = rows[0];
        CoTaskMemFree(rows);
    }
    // Whatever the result, a handle handed out is released before the next move.
    if (obtained > 0) rowHeld = true;
    if (hr == S_OK && obtained == 0) return DB_S_ENDOFROWSET;
    return hr;
}

HRESULT CommandState::MoveNext(DBROWOFFSET skip) {
    ReleaseHeldRow();
    HRESULT hr = GetNextRow(skip);
    if (hr != S_OK) return hr;
    hr = rowset->GetData(row, accessor.Handle(), accessor.Buffer());
    if (FAILED(hr)) ReleaseHeldRow();
    return hr;
}

HRESULT CommandState::MoveFirst() {
    ReleaseHeldRow();
    HRESULT hr = rowset->RestartPosition(DB_NULL_HCHAPTER);
    if (FAILED(hr)) return hr;
    return MoveNext(0);
}

HRESULT CommandState::MoveLast() {
    ReleaseHeldRow();
    // A restarted position is both before the first and after the last row, so one step
    // back from it reaches the last row.
    rowset->RestartPosition(DB_NULL_HCHAPTER);
    HRESULT hr = GetNextRow(-1);
    if (hr != S_OK) return hr;
    if (FAILED(rowset->GetData(row, accessor.Handle(), accessor.Buffer()))) ReleaseHeldRow();
    return S_OK;
}

}  // namespace orv::command

OrvOleDbCommand::dbStatus OrvOleDbCommand::FetchNext(int skip) {
    if (!m_open) return dbError;
    if (m_afterLast) return dbFalse;
    if (!m_command->HasResults()) return dbError;
    HRESULT hr;
    if (m_beforeFirst) {
        m_beforeFirst = false;
        hr = m_command->MoveFirst();
        hr = RetryBlobHandling(hr);
    } else {
        hr = m_command->MoveNext(skip);
    }
    m_afterLast = !CheckResult(hr);
    return m_afterLast ? dbFalse : dbTrue;
}

OrvOleDbCommand::dbStatus OrvOleDbCommand::FetchNext() { return FetchNext(0); }

OrvOleDbCommand::dbStatus OrvOleDbCommand::FetchPrev() {
    if (!m_open) return dbError;
    if (m_beforeFirst) return dbFalse;
    if (!m_command->HasResults()) return dbError;
    // From the position after the held row, two back and one forward is the row before it.
    HRESULT hr = m_command->MoveNext(-2);
    m_beforeFirst = !CheckResult(hr);
    m_afterLast = false;
    return m_beforeFirst ? dbFalse : dbTrue;
}

OrvOleDbCommand::dbStatus OrvOleDbCommand::FetchFirst() {
    if (!m_open) return dbError;
    if (!m_command->HasResults()) return dbError;
    HRESULT hr = m_command->MoveFirst();
    m_beforeFirst = false;
    hr = RetryBlobHandling(hr);
    m_afterLast = !CheckResult(hr);
    return m_afterLast ? dbFalse : dbTrue;
}

OrvOleDbCommand::dbStatus OrvOleDbCommand::FetchLast() {
    if (!m_open) return dbError;
    if (!m_command->HasResults()) return dbError;
    HRESULT hr = m_command->MoveLast();
    m_beforeFirst = false;
    m_afterLast = !CheckResult(hr);
    return m_afterLast ? dbFalse : dbTrue;
}
