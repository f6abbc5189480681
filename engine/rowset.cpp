// The engine's rowset: a window of rows over a forward-only SQLite statement.
#include "engine/rowset.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "engine/command.h"
#include "engine/common/env.h"
#include "engine/convert.h"
#include "engine/guard.h"
#include "engine/provider.h"
#include "engine/stream.h"
#include "platform/format.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

// Rows read at Execute to type the columns that declare none and to check the others.
constexpr DBCOUNTITEM kSampleRows = 100;
// The window never grows beyond this many rows, whatever the walk.
constexpr std::size_t kMaxWindow = std::size_t(1) << 24;

constexpr DBPROPFLAGS kRowsetRead = DBPROPFLAGS_ROWSET | DBPROPFLAGS_READ;

const PropertyInfo kRowsetProperties[] = {
    {&DBPROPSET_ROWSET, DBPROP_CANFETCHBACKWARDS, VT_BOOL, kRowsetRead, u"Fetch Backwards"},
    {&DBPROPSET_ROWSET, DBPROP_CANSCROLLBACKWARDS, VT_BOOL, kRowsetRead, u"Scroll Backwards"},
    {&DBPROPSET_ROWSET, DBPROP_CANHOLDROWS, VT_BOOL, kRowsetRead, u"Hold Rows"},
    {&DBPROPSET_ROWSET, DBPROP_ISequentialStream, VT_BOOL, kRowsetRead, u"ISequentialStream"},
    {&DBPROPSET_ROWSET, DBPROP_IStream, VT_BOOL, kRowsetRead, u"IStream"},
    {&DBPROPSET_ROWSET, DBPROP_IRowset, VT_BOOL, kRowsetRead, u"IRowset"},
    {&DBPROPSET_ROWSET, DBPROP_IAccessor, VT_BOOL, kRowsetRead, u"IAccessor"},
    {&DBPROPSET_ROWSET, DBPROP_IColumnsInfo, VT_BOOL, kRowsetRead, u"IColumnsInfo"},
    {&DBPROPSET_ROWSET, DBPROP_IRowsetInfo, VT_BOOL, kRowsetRead, u"IRowsetInfo"},
    {&DBPROPSET_ROWSET, DBPROP_IRowsetChange, VT_BOOL, kRowsetRead, u"IRowsetChange"},
    {&DBPROPSET_ROWSET, DBPROP_IRowsetLocate, VT_BOOL, kRowsetRead, u"IRowsetLocate"},
    {&DBPROPSET_ROWSET, DBPROP_BOOKMARKS, VT_BOOL, kRowsetRead, u"Use Bookmarks"},
    {&DBPROPSET_ROWSET, DBPROP_LITERALIDENTITY, VT_BOOL, kRowsetRead, u"Literal Row Identity"},
    {&DBPROPSET_ROWSET, DBPROP_BLOCKINGSTORAGEOBJECTS, VT_BOOL, kRowsetRead, u"Blocking Storage Objects"},
    {&DBPROPSET_ROWSET, DBPROP_MAXOPENROWS, VT_I4, kRowsetRead, u"Maximum Open Rows"},
};

void StoreBool(PropertyBag& bag, DBPROPID id, bool value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    bag.Store(DBPROPSET_ROWSET, id, v);
}

// A row that cannot be stepped to fails with the text a statement would give (a lock, a
// full disk, a damaged file say so), under the code of rows that could not be fetched.
Status SqliteFailure(sqlite3* db, int rc) {
    Status status = StatementFailure(db, rc);
    status.hr = DB_E_ERRORSOCCURRED;
    return status;
}

bool IsStreamInterface(REFIID iid) { return iid == IID_ISequentialStream || iid == IID_IStream || iid == IID_IUnknown; }

// The rows of one prepared SQLite statement, stepped on the session's connection.
class StatementSource final : public RowSource {
public:
    explicit StatementSource(sqlite3_stmt* statement) : m_statement(statement) {}
    ~StatementSource() override { sqlite3_finalize(m_statement); }

    Status Describe(std::vector<RowsetColumn>& columns) override;
    Status Step(bool& gotRow) override {
        gotRow = false;
        int rc = sqlite3_step(m_statement);
        if (rc == SQLITE_ROW) gotRow = true;
        else if (rc != SQLITE_DONE) return SqliteFailure(sqlite3_db_handle(m_statement), rc);
        return Status::Success();
    }
    void Load(std::vector<StoredValue>& values) override {
        for (std::size_t c = 0; c < values.size(); ++c) values[c].Load(m_statement, static_cast<int>(c));
    }
    Status Rewind() override {
        sqlite3_reset(m_statement);  // reports the last step's error, which is not news
        return Status::Success();
    }

private:
    sqlite3_stmt* m_statement;  // owned
};

Status StatementSource::Describe(std::vector<RowsetColumn>& columns) {
    sqlite3* db = sqlite3_db_handle(m_statement);
    const int count = sqlite3_column_count(m_statement);
    columns.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        RowsetColumn& column = columns[static_cast<std::size_t>(i)];
        const char* name = sqlite3_column_name(m_statement, i);
        column.name = platform::Utf8ToUtf16(name ? name : "");
        const char* declared = sqlite3_column_decltype(m_statement, i);
        column.type = MapDeclaredType(declared ? declared : "");

        const char* table = sqlite3_column_table_name(m_statement, i);
        const char* origin = sqlite3_column_origin_name(m_statement, i);
        const char* schema = sqlite3_column_database_name(m_statement, i);
        int notNull = 0, primaryKey = 0, autoIncrement = 0;
        if (table && origin &&
            sqlite3_table_column_metadata(db, schema, table, origin, nullptr, nullptr, &notNull, &primaryKey,
                                          &autoIncrement) == SQLITE_OK)
            column.nullable = !notNull && !(primaryKey && column.type.type == DBTYPE_I4);
    }
    return Status::Success();
}

}  // namespace

// ---- The spill: rows already read, for moves behind the window -----------------------------

// Rows [0, Rows()) of a result, written as they are stepped past to an unnamed scratch file
// in the temporary folder, in blocks of at most kRowsPerBlock rows (or kBlockBytes, for
// rows with large values). A move behind the window reads one block back instead of
// running the statement again: a walk backwards reads every row once more from the file,
// and memory holds a block and the index of the blocks (a few bytes per block). The file
// is made when the first block is full, so a result that fits the window never makes one,
// and it disappears with the rowset (or the process).
class RowSpill {
public:
    static constexpr DBCOUNTITEM kRowsPerBlock = 256;
    static constexpr std::size_t kBlockBytes = std::size_t(1) << 20;

    DBCOUNTITEM Rows() const { return m_rows; }

    // Adds the row numbered Rows(); 0 or an errno.
    int Append(const std::vector<StoredValue>& values) {
        if (m_pendingRows == 0) m_pendingFirst = m_rows;
        for (const StoredValue& v : values) {
            m_pending.push_back(static_cast<char>(v.kind));
            switch (v.kind) {
            case SQLITE_INTEGER: Put(&v.integer, sizeof v.integer); break;
            case SQLITE_FLOAT: Put(&v.real, sizeof v.real); break;
            case SQLITE_TEXT:
            case SQLITE_BLOB: {
                const auto size = static_cast<std::uint32_t>(v.bytes.size());  // SQLite values stay below 2 GB
                Put(&size, sizeof size);
                m_pending.append(v.bytes);
                break;
            }
            default: break;
            }
        }
        ++m_rows;
        ++m_pendingRows;
        if (m_pendingRows == kRowsPerBlock || m_pending.size() >= kBlockBytes) return Flush();
        return 0;
    }

    // Reads the block that holds row `index` (< Rows()) into `rows`; `first` is the number
    // of its first row. 0 or an errno.
    template <class NextRow>
    int ReadBlock(DBCOUNTITEM index, DBCOUNTITEM& first, NextRow nextRow) {
        if (m_pendingRows && index >= m_pendingFirst) {
            if (int err = Flush(); err != 0) return err;
        }
        auto block = std::upper_bound(m_blocks.begin(), m_blocks.end(), index,
                                      [](DBCOUNTITEM i, const Block& b) { return i < b.first; }) -
                     1;
        const off_t end = block + 1 == m_blocks.end() ? m_end : (block + 1)->offset;
        m_read.resize(static_cast<std::size_t>(end - block->offset));
        std::size_t done = 0;
        for (std::size_t at = 0; at < m_read.size(); at += done) {
            if (int err = CurrentEnv().Read(m_file.Get(), m_read.data() + at, m_read.size() - at,
                                            block->offset + static_cast<off_t>(at), done);
                err != 0)
                return err;
            if (done == 0) return EIO;
        }
        first = block->first;
        const DBCOUNTITEM rows = (block + 1 == m_blocks.end() ? m_rows - m_pendingRows : (block + 1)->first) - first;
        const char* at = m_read.data();
        for (DBCOUNTITEM r = 0; r < rows; ++r) {
            std::vector<StoredValue>& values = nextRow();
            for (StoredValue& v : values) {
                v.kind = static_cast<unsigned char>(*at++);
                switch (v.kind) {
                case SQLITE_INTEGER: Get(at, &v.integer, sizeof v.integer); break;
                case SQLITE_FLOAT: Get(at, &v.real, sizeof v.real); break;
                case SQLITE_TEXT:
                case SQLITE_BLOB: {
                    std::uint32_t size = 0;
                    Get(at, &size, sizeof size);
                    v.bytes.assign(at, size);
                    at += size;
                    break;
                }
                default: break;
                }
            }
        }
        if (m_read.capacity() > 4 * kBlockBytes) std::string().swap(m_read);
        return 0;
    }

private:
    struct Block {
        DBCOUNTITEM first;  // number of its first row
        off_t offset;  // where it starts in the file; it ends where the next one starts
    };

    void Put(const void* data, std::size_t size) { m_pending.append(static_cast<const char*>(data), size); }
    static void Get(const char*& at, void* data, std::size_t size) {
        std::memcpy(data, at, size);
        at += size;
    }

    int Flush() {
        if (m_pendingRows == 0) return 0;
        if (!m_file) {
            std::error_code ec;
            std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
            int fd = -1;
            if (int err = CurrentEnv().OpenScratch(ec ? std::string("/tmp") : folder.string(), fd); err != 0)
                return err;
            m_file.Reset(fd);
        }
        if (int err = WriteAll(m_file.Get(), m_pending, m_end); err != 0) return err;
        m_blocks.push_back({m_pendingFirst, m_end});
        m_end += static_cast<off_t>(m_pending.size());
        m_pending.clear();
        m_pendingRows = 0;
        if (m_pending.capacity() > 4 * kBlockBytes) std::string().swap(m_pending);  // after a very large row
        return 0;
    }

    FileHandle m_file;
    std::vector<Block> m_blocks;
    off_t m_end = 0;  // bytes written
    DBCOUNTITEM m_rows = 0;  // rows appended, written or pending
    std::string m_pending;  // the block being filled
    DBCOUNTITEM m_pendingFirst = 0;
    DBCOUNTITEM m_pendingRows = 0;
    std::string m_read;  // the block last read
};

Status RowSource::Skip(DBCOUNTITEM count, DBCOUNTITEM& skipped) {
    skipped = 0;
    while (skipped < count) {
        bool gotRow = false;
        Status status = Step(gotRow);
        if (!status.Ok() || !gotRow) return status;
        ++skipped;
    }
    return Status::Success();
}

Rowset::Rowset(IUnknown* owner, IUnknown* command, std::unique_ptr<RowSource> source)
    : m_owner(owner), m_command(command), m_source(std::move(source)), m_properties(kRowsetProperties) {
    for (DBPROPID id : {DBPROP_CANFETCHBACKWARDS, DBPROP_CANSCROLLBACKWARDS, DBPROP_CANHOLDROWS,
                        DBPROP_ISequentialStream, DBPROP_IStream, DBPROP_IRowset, DBPROP_IAccessor, DBPROP_IColumnsInfo,
                        DBPROP_IRowsetInfo, DBPROP_LITERALIDENTITY})
        StoreBool(m_properties, id, true);
    for (DBPROPID id : {DBPROP_IRowsetChange, DBPROP_IRowsetLocate, DBPROP_BOOKMARKS, DBPROP_BLOCKINGSTORAGEOBJECTS})
        StoreBool(m_properties, id, false);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = 0;
    m_properties.Store(DBPROPSET_ROWSET, DBPROP_MAXOPENROWS, v);
}

Rowset::~Rowset() {
    // The source uses its owner's connection: it goes first.
    m_source.reset();
}

Status Rowset::Create(Session* session, IUnknown* command, sqlite3_stmt* statement, Rowset** out,
                      std::vector<ColumnType> forcedTypes) {
    *out = nullptr;
    std::unique_ptr<RowSource> source(new (std::nothrow) StatementSource(statement));
    if (!source) {
        sqlite3_finalize(statement);
        return Status::Error(E_OUTOFMEMORY, u"Out of memory.");
    }
    return Create(session->Identity(), command, std::move(source), out, std::move(forcedTypes));
}

Status Rowset::Create(IUnknown* owner, IUnknown* command, std::unique_ptr<RowSource> source, Rowset** out,
                      std::vector<ColumnType> forcedTypes) {
    *out = nullptr;
    // Held by its one reference until it is handed out, so that a failure in Describe (an
    // error or an exception) releases it, and with it the owner and the command it holds.
    CComPtr<Rowset> rowset;
    rowset.Attach(new (std::nothrow) Rowset(owner, command, std::move(source)));
    if (!rowset) return Status::Error(E_OUTOFMEMORY, u"Out of memory.");
    rowset->m_forcedTypes = std::move(forcedTypes);
    Status status = rowset->Describe();
    if (!status.Ok()) return status;
    *out = rowset.Detach();
    return Status::Success();
}

Status Rowset::Open(IUnknown* owner, IUnknown* command, std::unique_ptr<RowSource> source, REFIID riid, IUnknown** out,
                    std::vector<ColumnType> forcedTypes) {
    Rowset* rowset = nullptr;
    Status status = Create(owner, command, std::move(source), &rowset, std::move(forcedTypes));
    if (!status.Ok()) return status;
    HRESULT hr = rowset->QueryInterface(riid, reinterpret_cast<void**>(out));
    rowset->Release();
    return hr == S_OK ? Status::Success() : Status::Error(hr, u"The rowset does not offer the interface asked for.");
}

Status Rowset::Describe() {
    Status described = m_source->Describe(m_columns);
    if (!described.Ok()) return described;
    for (std::size_t i = 0; i < m_columns.size() && i < m_forcedTypes.size(); ++i) m_columns[i].type = m_forcedTypes[i];

    // Reading the first rows now makes a statement that fails at run time fail at Execute,
    // and lets the values correct the types: SQLite stores any value in any column.
    Status status;
    for (DBCOUNTITEM i = 0; i < kSampleRows; ++i) {
        if (!RowAt(i, status)) break;
    }
    if (!status.Ok()) return status;
    for (std::size_t c = 0; c < m_columns.size(); ++c) FitTypeToSample(c);
    return Status::Success();
}

void Rowset::FitTypeToSample(std::size_t c) {
    if (c < m_forcedTypes.size()) return;
    ColumnType& type = m_columns[c].type;
    if (!type.known) {
        TypeInference inference;
        for (Row* row : m_window) {
            const StoredValue& v = row->values[c];
            switch (v.kind) {
            case SQLITE_INTEGER: inference.SeeInteger(v.integer); break;
            case SQLITE_FLOAT: inference.SeeReal(); break;
            case SQLITE_TEXT: inference.SeeText(platform::Utf8ToUtf16(v.bytes).size()); break;
            case SQLITE_BLOB: inference.SeeBlob(v.bytes.size()); break;
            default: break;
            }
        }
        type = inference.Result();
        return;
    }
    // A declared type that a sampled value does not fit widens, so that the value reads as
    // itself: an integer column to I8, any other to text.
    for (Row* row : m_window) {
        Materialise(row->values[c], type, m_scratch);
        if (m_scratch.status == DBSTATUS_S_OK || m_scratch.status == DBSTATUS_S_ISNULL) continue;
        const bool integer = type.type == DBTYPE_I2 || type.type == DBTYPE_I4 || type.type == DBTYPE_UI1;
        if (integer && row->values[c].kind == SQLITE_INTEGER) {
            type = MapDeclaredType("BIGINT");
        } else if (type.type != DBTYPE_WSTR && type.type != DBTYPE_BYTES) {
            type = MapDeclaredType("TEXT");
            return;
        }
    }
}

// ---- The cursor over the statement ---------------------------------------------------------

Status Rowset::Step(bool& gotRow) {
    gotRow = false;
    if (m_done) return Status::Success();
    Status status = m_source->Step(gotRow);
    if (status.Ok() && !gotRow) {
        m_done = true;
        m_total = m_stepped;
    }
    return status;
}

Rowset::Row* Rowset::NewRow() {
    Row* row;
    if (!m_free.empty()) {
        row = m_free.back();
        m_free.pop_back();
    } else {
        m_rows.push_back(std::make_unique<Row>());
        row = m_rows.back().get();
    }
    row->values.resize(m_columns.size());
    row->inWindow = true;
    return row;
}

Rowset::Row* Rowset::KeepCurrentRow() {
    if (WindowEnd() != m_stepped) ClearWindow(m_stepped);  // the window held a block of the spill
    Row* row = NewRow();
    m_source->Load(row->values);
    m_window.push_back(row);
    ++m_stepped;
    if (m_spill && m_spill->Append(row->values) != 0) DropSpill();
    while (m_window.size() > m_windowLimit) DropWindowFront();
    return row;
}

void Rowset::DropWindowFront() {
    Row* row = m_window.front();
    m_window.pop_front();
    ++m_windowStart;
    row->inWindow = false;
    if (row->refs == 0) Recycle(row);
}

void Rowset::ClearWindow(DBCOUNTITEM start) {
    while (!m_window.empty()) DropWindowFront();
    m_windowStart = start;
}

void Rowset::Recycle(Row* row) { m_free.push_back(row); }

// Starts the spill at the source's first row: the rows stepped so far must all be in the
// window, and go in first.
void Rowset::StartSpill() {
    m_spill = std::make_unique<RowSpill>();
    for (Row* row : m_window) {
        if (m_spill->Append(row->values) != 0) {
            DropSpill();
            return;
        }
    }
}

// Without a spill file (a full or unwritable temporary folder) the walk still works, by
// running the statement again for each move behind the window.
void Rowset::DropSpill() {
    m_spill.reset();
    m_spillFailed = true;
}

// Makes the spill's block that holds row `index` the window; false when it cannot be read.
bool Rowset::LoadSpilledBlock(DBCOUNTITEM index) {
    ClearWindow(index);
    DBCOUNTITEM first = 0;
    const int err = m_spill->ReadBlock(index, first, [this]() -> std::vector<StoredValue>& {
        m_window.push_back(NewRow());
        return m_window.back()->values;
    });
    m_windowStart = first;
    if (err == 0) return true;
    ClearWindow(m_stepped);
    DropSpill();
    return false;
}

Status Rowset::Rescan() {
    ClearWindow(0);
    m_stepped = 0;
    m_done = false;
    return m_source->Rewind();
}

// Moves the source on to row `first` (0-based) with an empty window; `reached` is false
// when the rows end before it.
Status Rowset::SkipTo(DBCOUNTITEM first, bool& reached) {
    reached = false;
    ClearWindow(m_stepped);
    if (m_done) return Status::Success();
    DBCOUNTITEM skipped = 0;
    Status status = m_source->Skip(first - m_stepped, skipped);
    m_stepped += skipped;
    m_windowStart = m_stepped;
    if (!status.Ok()) return status;
    if (m_stepped < first) {
        m_done = true;
        m_total = m_stepped;
        return Status::Success();
    }
    reached = true;
    return Status::Success();
}

Rowset::Row* Rowset::RowAt(DBCOUNTITEM index, Status& status) {
    if (m_done && index >= m_total) return nullptr;
    if (index >= m_windowStart && index < WindowEnd()) return m_window[index - m_windowStart];
    if (m_spill && index < m_spill->Rows() && LoadSpilledBlock(index)) return m_window[index - m_windowStart];

    if (index < m_stepped) {
        // Behind the source: run the statement again from its first row, this time keeping
        // the rows in a spill so that the next moves back need not.
        const bool spill = !m_source->SkipsCheaply() && !m_spillFailed;
        if (!spill && index >= m_windowLimit && !m_source->SkipsCheaply())
            m_windowLimit = std::min(m_windowLimit * 2, kMaxWindow);
        status = Rescan();
        if (!status.Ok()) return nullptr;
        if (spill) StartSpill();
    }

    // A spill holds every row, so the rows before the wanted one are stepped, not skipped.
    const DBCOUNTITEM first = !m_spill && index + 1 > m_windowLimit ? index + 1 - m_windowLimit : 0;
    bool gotRow = false;
    if (m_stepped < first) {
        bool reached = false;
        status = SkipTo(first, reached);
        if (!status.Ok() || !reached) return nullptr;
    }
    while (m_stepped <= index) {
        status = Step(gotRow);
        if (!status.Ok() || !gotRow) return nullptr;
        KeepCurrentRow();
    }
    return m_window.back();
}

Status Rowset::CountAll(DBCOUNTITEM& total) {
    Status status;
    if (!m_done && m_source->SkipsCheaply()) {
        // Counted at the source; the rows of a walk from the end are fetched when asked for.
        bool reached = false;
        status = SkipTo(~DBCOUNTITEM(0), reached);
        total = m_total;
        return status;
    }
    if (!m_done && !m_spill && !m_spillFailed) {
        // A move from the end is usually followed by a walk backwards: keep every row on the
        // way. The spill starts at the first row, so a source that has left rows behind the
        // window starts over.
        if (m_windowStart != 0 || WindowEnd() != m_stepped) {
            status = Rescan();
            if (!status.Ok()) return status;
        }
        StartSpill();
    }
    while (!m_done) {
        bool gotRow = false;
        status = Step(gotRow);
        if (!status.Ok()) return status;
        if (gotRow) KeepCurrentRow();  // keeps the last rows, where a walk from the end starts
    }
    total = m_total;
    return status;
}

// ---- IRowset -------------------------------------------------------------------------------

Rowset::Row* Rowset::FindHeld(HROW handle) const {
    for (Row* row : m_held)
        if (reinterpret_cast<HROW>(row) == handle) return row;
    return nullptr;
}

HRESULT Rowset::GetNextRows(HCHAPTER hReserved, DBROWOFFSET offset, DBROWCOUNT count, DBCOUNTITEM* obtained,
                            HROW** rows) {
    return GuardMethod(IID_IRowset, [&]() -> HRESULT {
        if (obtained) *obtained = 0;
        if (!obtained || !rows) return E_INVALIDARG;
        if (hReserved != DB_NULL_HCHAPTER) return DB_E_BADCHAPTER;
        if (count == 0) return S_OK;

        Status status;
        long long base;
        if (m_restarted && (offset < 0 || (offset == 0 && count < 0))) {
            DBCOUNTITEM total = 0;
            status = CountAll(total);  // the restarted position is after the last row for moves backwards
            if (!status.Ok()) return Report(status, IID_IRowset);
            base = static_cast<long long>(total);
        } else {
            base = m_restarted ? 0 : static_cast<long long>(m_position);
        }
        m_restarted = false;
        const long long start = base + offset;
        if (start < 0) {
            m_position = 0;
            return DB_S_ENDOFROWSET;
        }

        const DBCOUNTITEM wanted = static_cast<DBCOUNTITEM>(count < 0 ? -count : count);
        std::vector<Row*>& got = m_fetched;  // reused: a walk fetches one row per call
        got.clear();
        got.reserve(std::min<DBCOUNTITEM>(wanted, 1024));
        for (DBCOUNTITEM k = 0; k < wanted; ++k) {
            long long index = count > 0 ? start + static_cast<long long>(k) : start - 1 - static_cast<long long>(k);
            if (index < 0) break;
            Row* row = RowAt(static_cast<DBCOUNTITEM>(index), status);
            if (!row) break;
            got.push_back(row);
        }
        if (!status.Ok()) return Report(status, IID_IRowset);

        HROW* out = *rows;
        if (!got.empty() && !out) {
            out = static_cast<HROW*>(CoTaskMemAlloc(got.size() * sizeof(HROW)));
            if (!out) return E_OUTOFMEMORY;
            *rows = out;
        }
        for (std::size_t k = 0; k < got.size(); ++k) {
            Row* row = got[k];
            if (row->refs++ == 0) m_held.push_back(row);
            out[k] = reinterpret_cast<HROW>(row);
        }
        *obtained = got.size();
        m_position = static_cast<DBCOUNTITEM>(count > 0 ? start + static_cast<long long>(got.size())
                                                        : start - static_cast<long long>(got.size()));
        return got.size() < wanted ? DB_S_ENDOFROWSET : S_OK;
    });
}

HRESULT Rowset::RestartPosition(HCHAPTER hReserved) {
    return GuardMethod(IID_IRowset, [&]() -> HRESULT {
        if (hReserved != DB_NULL_HCHAPTER) return DB_E_BADCHAPTER;
        m_restarted = true;
        m_position = 0;
        return S_OK;
    });
}

HRESULT Rowset::AddRefRows(DBCOUNTITEM cRows, const HROW rghRows[], DBREFCOUNT rgRefCounts[],
                           DBROWSTATUS rgRowStatus[]) {
    if (cRows && !rghRows) return E_INVALIDARG;
    DBCOUNTITEM bad = 0;
    for (DBCOUNTITEM i = 0; i < cRows; ++i) {
        Row* row = FindHeld(rghRows[i]);
        if (row) ++row->refs;
        else ++bad;
        if (rgRefCounts) rgRefCounts[i] = row ? row->refs : 0;
        if (rgRowStatus) rgRowStatus[i] = row ? DBROWSTATUS_S_OK : DBROWSTATUS_E_INVALID;
    }
    if (bad == 0) return S_OK;
    return bad == cRows ? DB_E_ERRORSOCCURRED : DB_S_ERRORSOCCURRED;
}

HRESULT Rowset::ReleaseRows(DBCOUNTITEM cRows, const HROW rghRows[], DBROWOPTIONS[], DBREFCOUNT rgRefCounts[],
                            DBROWSTATUS rgRowStatus[]) {
    if (cRows && !rghRows) return E_INVALIDARG;
    DBCOUNTITEM bad = 0;
    for (DBCOUNTITEM i = 0; i < cRows; ++i) {
        Row* row = FindHeld(rghRows[i]);
        ULONG left = 0;
        if (!row) {
            ++bad;
        } else {
            left = --row->refs;
            if (left == 0) {
                m_held.erase(std::find(m_held.begin(), m_held.end(), row));
                if (!row->inWindow) Recycle(row);
            }
        }
        if (rgRefCounts) rgRefCounts[i] = left;
        if (rgRowStatus) rgRowStatus[i] = row ? DBROWSTATUS_S_OK : DBROWSTATUS_E_INVALID;
    }
    if (bad == 0) return S_OK;
    return bad == cRows ? DB_E_ERRORSOCCURRED : DB_S_ERRORSOCCURRED;
}

// ---- Reading values ------------------------------------------------------------------------

namespace {

// A storage object over the value (a binding of IUnknown): text as UTF-16, binary as it is.
DBSTATUS WriteStorageObject(const DBBINDING& b, const ColumnType& type, const StoredValue& stored, TypedValue& scratch,
                            void* value, DBLENGTH& length) {
    std::string bytes;
    if (type.type == DBTYPE_WSTR) {
        std::u16string text;
        Materialise(stored, type, scratch);
        text.swap(scratch.text);
        bytes.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
    } else {
        bytes = stored.bytes;
    }
    length = bytes.size();
    void* object = nullptr;
    REFIID iid = b.pObject ? b.pObject->iid : IID_IUnknown;
    const DBSTATUS status =
        FAILED(CreateValueStream(std::move(bytes), iid, &object)) ? DBSTATUS_E_CANTCREATE : DBSTATUS_S_OK;
    if (value) *static_cast<void**>(value) = object;
    else if (object) static_cast<IUnknown*>(object)->Release();
    return status;
}

// A long text by reference, converted straight into the block handed out: a UTF-8 byte
// never gives more than one UTF-16 unit.
DBSTATUS WriteTextByReference(const StoredValue& stored, void* value, DBLENGTH& length) {
    auto* copy = static_cast<char16_t*>(CoTaskMemAlloc((stored.bytes.size() + 1) * sizeof(char16_t)));
    DBSTATUS status = DBSTATUS_S_OK;
    if (!copy) {
        status = DBSTATUS_E_CANTCREATE;
    } else {
        const std::size_t units = platform::Utf8ToUtf16(stored.bytes.data(), stored.bytes.size(), copy);
        copy[units] = 0;
        length = units * sizeof(char16_t);
    }
    if (value) *static_cast<char16_t**>(value) = copy;
    else CoTaskMemFree(copy);  // the length alone was asked for
    return status;
}

// Text or bytes already in the bound type: copied into a block of their own (by
// reference) or into the consumer's buffer, cut to fit with a terminator for text.
DBSTATUS WriteVariableLength(const DBBINDING& b, DBTYPE base, bool byRef, const TypedValue& typed, void* value,
                             DBLENGTH& length) {
    const bool text = base == DBTYPE_WSTR;
    length = typed.length;
    if (byRef) {
        auto* copy = static_cast<BYTE*>(CoTaskMemAlloc(length + (text ? sizeof(char16_t) : 0)));
        if (value) *static_cast<BYTE**>(value) = copy;
        if (!copy) return DBSTATUS_E_CANTCREATE;
        std::memcpy(copy, typed.Data(), length);
        if (text) std::memset(copy + length, 0, sizeof(char16_t));
        return DBSTATUS_S_OK;
    }
    if (!value) return DBSTATUS_S_OK;
    const DBLENGTH room = text ? (b.cbMaxLen >= 2 ? (b.cbMaxLen - 2) & ~DBLENGTH(1) : 0) : b.cbMaxLen;
    const DBLENGTH n = std::min(room, length);
    std::memcpy(value, typed.Data(), n);
    if (text && b.cbMaxLen >= 2) static_cast<char16_t*>(value)[n / 2] = 0;
    return n < length ? DBSTATUS_S_TRUNCATED : DBSTATUS_S_OK;
}

// Any other value: in the column's type first, then as it is when the binding asks for
// that type, else through the conversions.
DBSTATUS WriteConverted(const DBBINDING& b, const ColumnType& type, const StoredValue& stored, TypedValue& scratch,
                        void* value, DBLENGTH& length) {
    const DBTYPE base = static_cast<DBTYPE>(b.wType & ~DBTYPE_BYREF);
    const bool byRef = (b.wType & DBTYPE_BYREF) != 0;
    Materialise(stored, type, scratch);
    if (scratch.status != DBSTATUS_S_OK) return scratch.status;
    if (base == type.type && (base == DBTYPE_WSTR || base == DBTYPE_BYTES))
        return WriteVariableLength(b, base, byRef, scratch, value, length);
    if (base == type.type && !byRef && FixedTypeSize(base)) {
        length = FixedTypeSize(base);
        if (value) std::memcpy(value, scratch.fixed, length);
        return DBSTATUS_S_OK;
    }
    DBSTATUS status = DBSTATUS_S_OK;
    const HRESULT hr = ConvertValue(type.type, scratch.Data(), scratch.length, b.wType, value, b.cbMaxLen, &length,
                                    &status, b.bPrecision, b.bScale, DBDATACONVERT_DEFAULT);
    if (FAILED(hr) && status == DBSTATUS_S_OK) status = DBSTATUS_E_CANTCONVERTVALUE;
    return status;
}

}  // namespace

DBSTATUS Rowset::WriteBinding(const DBBINDING& b, const Row& row, BYTE* data) {
    const std::size_t c = static_cast<std::size_t>(b.iOrdinal - 1);
    const ColumnType& type = m_columns[c].type;
    const StoredValue& stored = row.values[c];
    void* value = (b.dwPart & DBPART_VALUE) ? data + b.obValue : nullptr;
    DBSTATUS status = DBSTATUS_S_OK;
    DBLENGTH length = 0;
    const DBTYPE base = static_cast<DBTYPE>(b.wType & ~DBTYPE_BYREF);
    const bool byRef = (b.wType & DBTYPE_BYREF) != 0;
    const bool storedText = type.type == DBTYPE_WSTR && stored.kind == SQLITE_TEXT;

    if (stored.kind == SQLITE_NULL) {
        status = DBSTATUS_S_ISNULL;
        if (value && (b.wType == DBTYPE_IUNKNOWN || byRef)) *static_cast<void**>(value) = nullptr;
    } else if (b.wType == DBTYPE_IUNKNOWN) {
        status = WriteStorageObject(b, type, stored, m_scratch, value, length);
    } else if (base == DBTYPE_WSTR && !byRef && storedText && value &&
               (stored.bytes.size() + 1) * sizeof(char16_t) <= b.cbMaxLen) {
        // The common case, converted straight into the consumer's buffer.
        auto* out = static_cast<char16_t*>(value);
        const std::size_t units = platform::Utf8ToUtf16(stored.bytes.data(), stored.bytes.size(), out);
        out[units] = 0;
        length = units * sizeof(char16_t);
    } else if (base == DBTYPE_WSTR && byRef && storedText) {
        status = WriteTextByReference(stored, value, length);
    } else {
        status = WriteConverted(b, type, stored, m_scratch, value, length);
    }
    if (b.dwPart & DBPART_LENGTH) *reinterpret_cast<DBLENGTH*>(data + b.obLength) = length;
    if (b.dwPart & DBPART_STATUS) *reinterpret_cast<DBSTATUS*>(data + b.obStatus) = status;
    return status;
}

HRESULT Rowset::GetData(HROW hRow, HACCESSOR hAccessor, void* pData) {
    return GuardMethod(IID_IRowset, [&]() -> HRESULT {
        Row* row = FindHeld(hRow);
        if (!row) return DB_E_BADROWHANDLE;
        Accessor* accessor = m_accessors.Find(hAccessor);
        if (!accessor) return DB_E_BADACCESSORHANDLE;
        if (!pData && !accessor->bindings.empty()) return E_INVALIDARG;
        // A stored value that cannot be given in the bound type is reported in its status only:
        // consumers take any code but S_OK as "no row", and one odd value must not hide its row.
        // Only a storage object that cannot be made fails the call.
        std::size_t failed = 0;
        for (const DBBINDING& b : accessor->bindings)
            if (WriteBinding(b, *row, static_cast<BYTE*>(pData)) == DBSTATUS_E_CANTCREATE) ++failed;
        if (failed == 0) return S_OK;
        return failed == accessor->bindings.size() ? DB_E_ERRORSOCCURRED : DB_S_ERRORSOCCURRED;
    });
}

// ---- IAccessor -----------------------------------------------------------------------------

HRESULT Rowset::CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM cBindings, const DBBINDING rgBindings[], DBLENGTH,
                               HACCESSOR* phAccessor, DBBINDSTATUS rgStatus[]) {
    return GuardMethod(IID_IAccessor, [&]() -> HRESULT {
        if (!phAccessor) return E_INVALIDARG;
        *phAccessor = DB_NULL_HACCESSOR;
        if (cBindings && !rgBindings) return E_INVALIDARG;
        if (!(flags & DBACCESSOR_ROWDATA) || (flags & DBACCESSOR_PARAMETERDATA)) return DB_E_BADACCESSORFLAGS;
        if (cBindings == 0) return DB_E_NULLACCESSORNOTSUPPORTED;

        auto accessor = std::make_unique<Accessor>(flags, cBindings);
        bool bad = false;
        for (DBCOUNTITEM i = 0; i < cBindings; ++i) {
            const DBBINDING& b = rgBindings[i];
            DBBINDSTATUS status = DBBINDSTATUS_OK;
            const DBPART parts = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
            if (b.iOrdinal == 0 || b.iOrdinal > m_columns.size()) {
                status = DBBINDSTATUS_BADORDINAL;
            } else if (b.dwPart == 0 || (b.dwPart & ~parts)) {
                status = DBBINDSTATUS_BADBINDINFO;
            } else if (b.wType == DBTYPE_IUNKNOWN) {
                if (b.pObject && (!IsStreamInterface(b.pObject->iid) || (b.pObject->dwFlags & ~STGM_READ)))
                    status = b.pObject && !IsStreamInterface(b.pObject->iid) ? DBBINDSTATUS_NOINTERFACE
                                                                             : DBBINDSTATUS_BADSTORAGEFLAGS;
            } else if (CanConvertType(m_columns[b.iOrdinal - 1].type.type, b.wType) != S_OK) {
                status = DBBINDSTATUS_UNSUPPORTEDCONVERSION;
            }
            if (rgStatus) rgStatus[i] = status;
            bad = bad || status != DBBINDSTATUS_OK;
            accessor->Keep(b);
        }
        if (bad) return DB_E_ERRORSOCCURRED;
        *phAccessor = m_accessors.Add(std::move(accessor));
        return S_OK;
    });
}

HRESULT Rowset::AddRefAccessor(HACCESSOR hAccessor, DBREFCOUNT* pcRefCount) {
    return m_accessors.AddRef(hAccessor, pcRefCount);
}

HRESULT Rowset::ReleaseAccessor(HACCESSOR hAccessor, DBREFCOUNT* pcRefCount) {
    return m_accessors.Release(hAccessor, pcRefCount);
}

HRESULT Rowset::GetBindings(HACCESSOR hAccessor, DBACCESSORFLAGS* pdwFlags, DBCOUNTITEM* pcBindings,
                            DBBINDING** prgBindings) {
    return GuardMethod(IID_IAccessor,
                       [&] { return m_accessors.GetBindings(hAccessor, pdwFlags, pcBindings, prgBindings); });
}

// ---- IColumnsInfo, IRowsetInfo, IConvertType -----------------------------------------------

HRESULT Rowset::GetColumnInfo(DBORDINAL* pcColumns, DBCOLUMNINFO** prgInfo, OLECHAR** ppStringsBuffer) {
    return GuardMethod(IID_IColumnsInfo, [&]() -> HRESULT {
        if (pcColumns) *pcColumns = 0;
        if (prgInfo) *prgInfo = nullptr;
        if (ppStringsBuffer) *ppStringsBuffer = nullptr;
        if (!pcColumns || !prgInfo || !ppStringsBuffer) return E_INVALIDARG;
        std::size_t chars = 0;
        for (const RowsetColumn& c : m_columns) chars += c.name.size() + 1;
        auto* info = static_cast<DBCOLUMNINFO*>(
            CoTaskMemAlloc(std::max<std::size_t>(1, m_columns.size()) * sizeof(DBCOLUMNINFO)));
        auto* strings = static_cast<OLECHAR*>(CoTaskMemAlloc(std::max<std::size_t>(1, chars) * sizeof(OLECHAR)));
        if (!info || !strings) {
            CoTaskMemFree(info);
            CoTaskMemFree(strings);
            return E_OUTOFMEMORY;
        }
        OLECHAR* next = strings;
        for (std::size_t i = 0; i < m_columns.size(); ++i) {
            const RowsetColumn& c = m_columns[i];
            DBCOLUMNINFO& out = info[i];
            std::memset(&out, 0, sizeof out);
            std::memcpy(next, c.name.c_str(), (c.name.size() + 1) * sizeof(OLECHAR));
            out.pwszName = next;
            out.iOrdinal = i + 1;
            out.dwFlags = DBCOLUMNFLAGS_WRITEUNKNOWN;
            if (c.nullable) out.dwFlags |= DBCOLUMNFLAGS_MAYBENULL | DBCOLUMNFLAGS_ISNULLABLE;
            if (c.type.fixedLength) out.dwFlags |= DBCOLUMNFLAGS_ISFIXEDLENGTH;
            if (c.type.isLong) out.dwFlags |= DBCOLUMNFLAGS_ISLONG;
            out.ulColumnSize = c.type.size;
            out.wType = c.type.type;
            out.bPrecision = c.type.precision;
            out.bScale = c.type.scale;
            out.columnid.eKind = DBKIND_NAME;
            out.columnid.uName.pwszName = next;
            next += c.name.size() + 1;
        }
        *pcColumns = m_columns.size();
        *prgInfo = info;
        *ppStringsBuffer = strings;
        return S_OK;
    });
}

HRESULT Rowset::MapColumnIDs(DBORDINAL cColumnIDs, const DBID rgColumnIDs[], DBORDINAL rgColumns[]) {
    return GuardMethod(IID_IColumnsInfo, [&]() -> HRESULT {
        if (cColumnIDs && (!rgColumnIDs || !rgColumns)) return E_INVALIDARG;
        DBORDINAL bad = 0;
        for (DBORDINAL i = 0; i < cColumnIDs; ++i) {
            rgColumns[i] = DB_INVALIDCOLUMN;
            const DBID& id = rgColumnIDs[i];
            if ((id.eKind == DBKIND_NAME || id.eKind == DBKIND_GUID_NAME || id.eKind == DBKIND_PGUID_NAME) &&
                id.uName.pwszName) {
                for (std::size_t c = 0; c < m_columns.size(); ++c) {
                    if (platform::CompareNoCase16(m_columns[c].name.c_str(), id.uName.pwszName) == 0) {
                        rgColumns[i] = c + 1;
                        break;
                    }
                }
            }
            if (rgColumns[i] == DB_INVALIDCOLUMN) ++bad;
        }
        if (bad == 0) return S_OK;
        return bad == cColumnIDs ? DB_E_ERRORSOCCURRED : DB_S_ERRORSOCCURRED;
    });
}

HRESULT Rowset::GetProperties(ULONG cSets, const DBPROPIDSET rgSets[], ULONG* pcSets, DBPROPSET** prgSets) {
    return GuardMethod(IID_IRowsetInfo, [&]() -> HRESULT {
        return m_properties.Get(
            cSets, rgSets, pcSets, prgSets, [](const GUID& set) { return set == DBPROPSET_ROWSET; },
            [](const GUID&, DBPROPID, VARIANT*) { return false; });
    });
}

HRESULT Rowset::GetReferencedRowset(DBORDINAL, REFIID, IUnknown** out) {
    if (out) *out = nullptr;
    return DB_E_NOTAREFERENCECOLUMN;
}

HRESULT Rowset::GetSpecification(REFIID riid, IUnknown** out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!m_command) return S_FALSE;
    return m_command->QueryInterface(riid, reinterpret_cast<void**>(out));
}

HRESULT Rowset::CanConvert(DBTYPE from, DBTYPE to, DBCONVERTFLAGS) { return CanConvertType(from, to); }

HRESULT Rowset::InterfaceSupportsErrorInfo(REFIID) { return S_OK; }

}  // namespace orv::engine
