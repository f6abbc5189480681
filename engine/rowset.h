// The engine's rowset: the rows of one query, walked both ways.
//
// The rows come from a RowSource, which only steps forward, starts over and skips: a
// SQLite statement, or a server's cursor (engine/pg/). The rowset keeps a window of
// recent rows as copies, so that a forward walk holds bounded memory whatever the number
// of rows. Where the source skips without reading (a cursor), a move before the window
// starts the source over and skips to the wanted row. Where skipping means stepping (a
// SQLite statement), the rowset instead writes the rows it steps past to a spill file
// once a walk may come back (a move from the end, or a first move behind the window),
// and reads a move behind the window back from it: a walk backwards costs one pass over
// the statement and one over the file, in bounded memory, and returns the rows exactly
// as first read, whatever the statement. Rows handed to the consumer are reference
// counted and live until released, inside the window or not.
//
// Ownership: the rowset holds a reference on its owner (the session whose connection
// runs the query) and owns the source, the rows and the accessors. A rowset is used by
// one thread at a time.
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "engine/accessors.h"
#include "engine/error.h"
#include "engine/properties.h"
#include "engine/sql/types.h"
#include "engine/values.h"
#include "platform/com_object.h"

namespace orv::engine {

class Session;
class RowSpill;

struct RowsetColumn {
    std::u16string name;
    ColumnType type;
    bool nullable = true;
};

// Where a rowset's rows come from. Owned by one rowset, used on its thread.
class RowSource {
public:
    virtual ~RowSource() = default;
    // Names, types and nullability of the result's columns.
    virtual Status Describe(std::vector<RowsetColumn>& columns) = 0;
    // Moves to the next row; `gotRow` is false past the last one.
    virtual Status Step(bool& gotRow) = 0;
    // Copies the current row (one value per column).
    virtual void Load(std::vector<StoredValue>& values) = 0;
    // Goes back to before the first row.
    virtual Status Rewind() = 0;
    // Moves past `count` rows without reading them; `skipped` says how many there were.
    virtual Status Skip(DBCOUNTITEM count, DBCOUNTITEM& skipped);
    // True when Skip and Rewind cost about the same whatever the distance, so that a walk
    // backwards needs no larger window.
    virtual bool SkipsCheaply() const { return false; }
};

// Rows the engine made itself and holds whole (the server provider's catalogs).
class MemorySource final : public RowSource {
public:
    MemorySource(std::vector<RowsetColumn> columns, std::vector<std::vector<StoredValue>> rows)
        : m_columns(std::move(columns)), m_rows(std::move(rows)) {}
    Status Describe(std::vector<RowsetColumn>& columns) override {
        columns = m_columns;
        return Status::Success();
    }
    Status Step(bool& gotRow) override {
        gotRow = m_next < m_rows.size();
        if (gotRow) ++m_next;
        return Status::Success();
    }
    void Load(std::vector<StoredValue>& values) override { values = m_rows[m_next - 1]; }
    Status Rewind() override {
        m_next = 0;
        return Status::Success();
    }
    bool SkipsCheaply() const override { return true; }

private:
    std::vector<RowsetColumn> m_columns;
    std::vector<std::vector<StoredValue>> m_rows;
    std::size_t m_next = 0;  // rows stepped past
};

class Rowset final
    : public platform::ComObject<IRowset, IAccessor, IColumnsInfo, IRowsetInfo, IConvertType, ISupportErrorInfo> {
public:
    // Takes ownership of `statement`, which has been prepared and not yet stepped. The first
    // columns take the types in `forcedTypes` instead of those declared or inferred (schema
    // rowsets, whose columns have standard OLE DB types that no SQL declaration names).
    static Status Create(Session* session, IUnknown* command, sqlite3_stmt* statement, Rowset** out,
                         std::vector<ColumnType> forcedTypes = {});
    // The same over any source; `owner` is kept alive for as long as the rowset.
    static Status Create(IUnknown* owner, IUnknown* command, std::unique_ptr<RowSource> source, Rowset** out,
                         std::vector<ColumnType> forcedTypes = {});
    // Creates the rowset and hands it out as `riid`.
    static Status Open(IUnknown* owner, IUnknown* command, std::unique_ptr<RowSource> source, REFIID riid,
                       IUnknown** out, std::vector<ColumnType> forcedTypes = {});
    ~Rowset() override;

    // IRowset
    HRESULT STDMETHODCALLTYPE AddRefRows(DBCOUNTITEM cRows, const HROW rghRows[], DBREFCOUNT rgRefCounts[],
                                         DBROWSTATUS rgRowStatus[]) override;
    HRESULT STDMETHODCALLTYPE GetData(HROW hRow, HACCESSOR hAccessor, void* pData) override;
    HRESULT STDMETHODCALLTYPE GetNextRows(HCHAPTER hReserved, DBROWOFFSET lRowsOffset, DBROWCOUNT cRows,
                                          DBCOUNTITEM* pcRowsObtained, HROW** prghRows) override;
    HRESULT STDMETHODCALLTYPE ReleaseRows(DBCOUNTITEM cRows, const HROW rghRows[], DBROWOPTIONS rgRowOptions[],
                                          DBREFCOUNT rgRefCounts[], DBROWSTATUS rgRowStatus[]) override;
    HRESULT STDMETHODCALLTYPE RestartPosition(HCHAPTER hReserved) override;
    // IAccessor
    HRESULT STDMETHODCALLTYPE AddRefAccessor(HACCESSOR hAccessor, DBREFCOUNT* pcRefCount) override;
    HRESULT STDMETHODCALLTYPE CreateAccessor(DBACCESSORFLAGS dwAccessorFlags, DBCOUNTITEM cBindings,
                                             const DBBINDING rgBindings[], DBLENGTH cbRowSize, HACCESSOR* phAccessor,
                                             DBBINDSTATUS rgStatus[]) override;
    HRESULT STDMETHODCALLTYPE GetBindings(HACCESSOR hAccessor, DBACCESSORFLAGS* pdwAccessorFlags,
                                          DBCOUNTITEM* pcBindings, DBBINDING** prgBindings) override;
    HRESULT STDMETHODCALLTYPE ReleaseAccessor(HACCESSOR hAccessor, DBREFCOUNT* pcRefCount) override;
    // IColumnsInfo
    HRESULT STDMETHODCALLTYPE GetColumnInfo(DBORDINAL* pcColumns, DBCOLUMNINFO** prgInfo,
                                            OLECHAR** ppStringsBuffer) override;
    HRESULT STDMETHODCALLTYPE MapColumnIDs(DBORDINAL cColumnIDs, const DBID rgColumnIDs[],
                                           DBORDINAL rgColumns[]) override;
    // IRowsetInfo
    HRESULT STDMETHODCALLTYPE GetProperties(ULONG cPropertyIDSets, const DBPROPIDSET rgPropertyIDSets[],
                                            ULONG* pcPropertySets, DBPROPSET** prgPropertySets) override;
    HRESULT STDMETHODCALLTYPE GetReferencedRowset(DBORDINAL iOrdinal, REFIID riid,
                                                  IUnknown** ppReferencedRowset) override;
    HRESULT STDMETHODCALLTYPE GetSpecification(REFIID riid, IUnknown** ppSpecification) override;
    // IConvertType
    HRESULT STDMETHODCALLTYPE CanConvert(DBTYPE wFromType, DBTYPE wToType, DBCONVERTFLAGS dwConvertFlags) override;
    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    const std::vector<RowsetColumn>& Columns() const { return m_columns; }

private:
    struct Row {
        std::vector<StoredValue> values;
        ULONG refs = 0;  // held by the consumer
        bool inWindow = false;  // held by the window
    };
    Rowset(IUnknown* owner, IUnknown* command, std::unique_ptr<RowSource> source);

    Status Describe();
    void FitTypeToSample(std::size_t column);
    // The row at 0-based `index`, or null past the end (`status` says whether that was an error).
    Row* RowAt(DBCOUNTITEM index, Status& status);
    Status Step(bool& gotRow);
    Status Rescan();
    Status SkipTo(DBCOUNTITEM first, bool& reached);
    Row* KeepCurrentRow();
    Row* NewRow();
    void DropWindowFront();
    void ClearWindow(DBCOUNTITEM start);
    DBCOUNTITEM WindowEnd() const { return m_windowStart + m_window.size(); }
    void StartSpill();
    void DropSpill();
    bool LoadSpilledBlock(DBCOUNTITEM index);
    void Recycle(Row* row);
    Status CountAll(DBCOUNTITEM& total);
    Row* FindHeld(HROW handle) const;
    DBSTATUS WriteBinding(const DBBINDING& binding, const Row& row, BYTE* data);

    CComPtr<IUnknown> m_owner;  // the session, kept alive while its connection serves the source
    CComPtr<IUnknown> m_command;  // the command that made this rowset, for GetSpecification
    std::unique_ptr<RowSource> m_source;
    std::vector<RowsetColumn> m_columns;
    std::vector<ColumnType> m_forcedTypes;

    // Cursor over the statement: rows [m_windowStart, WindowEnd()) are in m_window, either
    // the last rows stepped (WindowEnd() == m_stepped) or a block read from the spill.
    std::deque<Row*> m_window;
    DBCOUNTITEM m_windowStart = 0;
    DBCOUNTITEM m_stepped = 0;  // rows stepped since the statement last started
    bool m_done = false;  // the statement reached its end
    DBCOUNTITEM m_total = 0;  // the number of rows, once m_done
    std::size_t m_windowLimit = 256;
    // Rows [0, m_spill->Rows()) once a walk may come back; while it exists it holds every
    // row stepped, so that Rows() == m_stepped. A spill that cannot be written is dropped,
    // and moves behind the window then run the statement again, in a window that doubles.
    std::unique_ptr<RowSpill> m_spill;
    bool m_spillFailed = false;

    // Next fetch position: rows [0, m_position) lie behind it. After RestartPosition it is
    // both before the first row and after the last, depending on the direction of the move.
    DBCOUNTITEM m_position = 0;
    bool m_restarted = true;

    std::vector<Row*> m_held;  // rows the consumer holds
    std::vector<Row*> m_fetched;  // the rows of the GetNextRows call under way
    std::vector<std::unique_ptr<Row>> m_rows;  // every row object, for reuse
    std::vector<Row*> m_free;
    AccessorTable m_accessors;
    PropertyBag m_properties;
    TypedValue m_scratch;  // reused per value, so that a walk allocates nothing per field
};

}  // namespace orv::engine
