// The provider objects behind one OrvOleDbCommand: the OLE DB command, the rowset of the
// current result, the held row and the accessor that copies every column of that row into
// one buffer.
//
// Everything here belongs to one command and is used by that command's thread only, except
// `command` itself, which Cancel reads from any thread under `commandLock`. The
// rowset and the accessor live from a successful binding to CloseResultSet; the OLE DB
// command from one Execute to the next; the BLOB mode for as long as the command.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "OrvOleDbCommand.h"

namespace orv::command {

// Large columns are those whose size exceeds this many bytes (and that are not objects
// already).
inline constexpr DBLENGTH kBlobThreshold = 8000;

// m_columnCount while the count of the current result has not been computed.
inline constexpr unsigned __int64 kColumnsNotCounted = ~0ULL;

// Where one column's parts sit in the row buffer.
struct ColumnSlot {
    DBBYTEOFFSET statusOffset = 0;
    DBBYTEOFFSET lengthOffset = 0;
    DBBYTEOFFSET valueOffset = 0;
    DBLENGTH valueSize = 0;  // bytes reserved for the value part; 0 without one
    DBTYPE boundType = DBTYPE_EMPTY;
    DBTYPE providerType = DBTYPE_EMPTY;  // the column's own type, before a large one was bound
        // as a storage object or by reference
    bool hasValue = false;  // SKIP mode binds length and status only
    bool consumerOwned = false;  // the value points at memory the command frees
};

// One column of the held row as the buffer has it.
struct ColumnView {
    const DBCOLUMNINFO* info = nullptr;
    const ColumnSlot* slot = nullptr;
    DBSTATUS status = DBSTATUS_S_OK;
    DBLENGTH length = 0;
    const BYTE* value = nullptr;  // null when the column has no value part
};

// The dynamic accessor: column information as bound, the bindings and the row buffer.
class RowAccessor {
public:
    RowAccessor() = default;
    RowAccessor(const RowAccessor&) = delete;
    RowAccessor& operator=(const RowAccessor&) = delete;
    ~RowAccessor() { Release(); }

    // Reads the rowset's columns, decides each binding and creates the accessor.
    HRESULT Bind(IRowset* rowset);
    // Frees what the held row's values own and clears their pointers, so that a value is
    // never freed twice.
    void FreeValues();
    // Releases the accessor handle and frees the column information and the buffer.
    void Release();

    bool IsAttached() const { return m_attached; }
    HACCESSOR Handle() const { return m_handle; }
    BYTE* Buffer() const { return m_buffer.get(); }

    DBORDINAL EntryCount() const { return m_columnCount; }
    // An entry with ordinal 0 flagged as bookmark.
    bool HasBookmark() const;
    // The entry and buffer parts of the column whose ordinal is `ordinal`; false when the
    // result has no such column.
    bool View(DBORDINAL ordinal, ColumnView& view) const;

    // The mode in force for the next binding.
    DBBLOBHANDLINGENUM m_blobMode = DBBLOBHANDLING_DEFAULT;

private:
    HRESULT ReadColumns(IRowset* rowset);
    HRESULT Layout(IRowset* rowset, std::vector<DBBINDING>& bindings);
    IID StorageInterface(IRowset* rowset);
    const DBCOLUMNINFO* Entry(DBORDINAL ordinal, std::size_t& index) const;

    CComPtr<IAccessor> m_accessor;
    HACCESSOR m_handle = DB_NULL_HACCESSOR;
    bool m_attached = false;
    DBORDINAL m_columnCount = 0;
    DBCOLUMNINFO* m_columnInfo = nullptr;  // CoTaskMem, as the provider returned it
    OLECHAR* m_strings = nullptr;  // CoTaskMem, the names m_columnInfo points into
    std::vector<ColumnSlot> m_slots;  // one per entry of m_columnInfo
    std::unique_ptr<DBOBJECT[]> m_objects;  // storage-object requests the bindings point at
    std::unique_ptr<BYTE[]> m_buffer;
    std::size_t m_bufferSize = 0;
};

class CommandState {
public:
    CommandState() = default;
    CommandState(const CommandState&) = delete;
    CommandState& operator=(const CommandState&) = delete;
    ~CommandState() {
        CloseResultSet();
        std::lock_guard<std::mutex> lock(commandLock);
        command.Release();
    }

    // Releases the held row, the accessor and the rowset; the OLE DB command stays.
    void CloseResultSet();
    void ReleaseHeldRow();

    // Creates the provider command on the session and gives it the text.
    HRESULT CreateCommand(IOpenRowset* session, const CString& text);
    // Asks for scrolling and stream interfaces; only a failure code fails.
    HRESULT SetRowsetProperties();
    // Executes; with a rowset, binds it. S_OK when a result (or none) is ready.
    HRESULT Execute(DBROWCOUNT* rowsAffected);

    bool HasResults() const { return rowset && accessor.IsAttached(); }

    // Row moves: each releases the held row first and leaves at most one row held.
    HRESULT MoveNext(DBROWOFFSET skip);
    HRESULT MoveFirst();
    HRESULT MoveLast();
    // ICommand::Cancel on the current OLE DB command; S_OK when there is none.
    HRESULT Cancel();

    // Replaced only under commandLock, so that Cancel never meets a released command.
    CComPtr<ICommand> command;
    std::mutex commandLock;
    CComPtr<IRowset> rowset;
    CComPtr<IRowsetChange> rowsetChange;
    RowAccessor accessor;
    HROW row = DB_NULL_HROW;
    bool rowHeld = false;

private:
    HRESULT GetNextRow(DBROWOFFSET offset);
};

}  // namespace orv::command
