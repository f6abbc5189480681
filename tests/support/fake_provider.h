// A strict, scriptable fake provider, registered as "Fake.Provider", to produce what the
// real engine never does: a data source that fails to initialise, lacks the connection
// status or gives no session; a session that creates commands; commands that execute into
// a scripted result; and a rowset that follows OLE DB's position rules (a restarted
// position is both before the first and after the last row), checks every binding it is
// given, writes values by value, by reference or as storage objects, and counts every call.
//
// A test fills Fake().script before Execute and reads Fake().log afterwards. Methods that
// the command has no business calling fail the test. Everything runs on the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "OrvOleDb.h"
#include "platform/com_object.h"
#include "platform/platform.h"

namespace orv::test {

// One value of a scripted row, laid out as its column's type has it (text: its code
// units without terminator).
struct FakeCell {
    DBSTATUS status = DBSTATUS_S_OK;
    std::vector<BYTE> bytes;
    std::shared_ptr<VARIANT> variant;  // DBTYPE_VARIANT cells

    static FakeCell Null() { return {DBSTATUS_S_ISNULL}; }
    static FakeCell Status(DBSTATUS status) { return {status}; }
    static FakeCell Bytes(const void* data, std::size_t size) {
        const BYTE* bytes = static_cast<const BYTE*>(data);
        return {DBSTATUS_S_OK, std::vector<BYTE>(bytes, bytes + size)};
    }
    template <class T>
    static FakeCell Of(const T& value) {
        return Bytes(&value, sizeof value);
    }
    static FakeCell Text(std::u16string_view text) { return Bytes(text.data(), text.size() * 2); }
    static FakeCell Narrow(std::string_view text) { return Bytes(text.data(), text.size()); }
    // `size` bytes of a recognisable pattern (see BlobByte).
    static FakeCell Blob(std::size_t size) {
        FakeCell cell{DBSTATUS_S_OK, std::vector<BYTE>(size)};
        for (std::size_t i = 0; i < size; ++i) cell.bytes[i] = BlobByte(i);
        return cell;
    }
    static FakeCell Variant(const VARIANT& value) {
        FakeCell cell;
        cell.variant.reset(new VARIANT, [](VARIANT* v) {
            VariantClear(v);
            delete v;
        });
        VariantInit(cell.variant.get());
        VariantCopy(cell.variant.get(), &value);
        return cell;
    }
    static BYTE BlobByte(std::size_t i) { return static_cast<BYTE>(i * 7 % 251); }
};

struct FakeColumn {
    std::u16string name;
    DBTYPE type = DBTYPE_I4;
    DBLENGTH size = 4;
    bool named = true;
};

struct FakeScript {
    std::vector<FakeColumn> columns;
    std::vector<std::vector<FakeCell>> rows;
    bool bookmark = false;  // a bookmark column at ordinal 0
    bool returnsRowset = true;  // false: a statement without result set
    DBROWCOUNT rowsAffected = DB_COUNTUNAVAILABLE;

    HRESULT createCommandResult = S_OK;
    HRESULT setPropertiesResult = S_OK;
    HRESULT executeResult = S_OK;
    HRESULT createAccessorResult = S_OK;
    std::map<std::size_t, HRESULT> getDataResults;  // by row index: a result GetData gives instead
    std::u16string errorText;  // the description of the error record that scripted failures leave

    bool offerRowsetInfo = true;
    bool sequentialStreamProperty = true;  // DBPROP_ISequentialStream as the rowset reports it
    bool iStreamProperty = true;  // DBPROP_IStream
    bool storageObjectsFail = false;  // GetData cannot create storage objects (DB_S_ERRORSOCCURRED)

    bool connectionStatus = true;  // the data source reports DBPROP_CONNECTIONSTATUS
    HRESULT initializeResult = S_OK;
    HRESULT sessionResult = S_OK;
};

struct FakeLog {
    int execute = 0, getNextRows = 0, restartPosition = 0, releaseAccessor = 0, rowsetProperties = 0;
    int liveRowsets = 0, heldRows = 0, liveStreams = 0, liveObjects = 0;
    int rowsetsAliveAtCreateCommand = -1;
    std::vector<std::u16string> texts;
    std::vector<DBROWOFFSET> offsets;
    std::vector<DBPROP> commandProperties;  // VT_BOOL values only: plain copies
    std::vector<DBBINDING> bindings;  // of the last accessor; pObject is not kept
    std::vector<IID> objectIids;  // the interface each binding asked for, or GUID_NULL
    IUnknown* lastObject = nullptr;  // the last IUnknown/IDispatch value handed out
};

struct FakeWorld {
    FakeScript script;
    FakeLog log;
};

inline FakeWorld& Fake() {
    static FakeWorld world;
    return world;
}

// `result`; a failure leaves an error record with the scripted text, when there is one.
inline HRESULT Scripted(HRESULT result) {
    if (SUCCEEDED(result) || Fake().script.errorText.empty()) return result;
    platform::ErrorRecord record;
    record.description = Fake().script.errorText;
    record.source = u"Fake provider";
    platform::PostErrorRecords({record});
    return result;
}

// The properties `ids` asks for, each answered by answer(property), in memory the caller frees.
template <class Answer>
DBPROPSET* PropertySet(const DBPROPIDSET& ids, Answer answer) {
    auto* set = static_cast<DBPROPSET*>(CoTaskMemAlloc(sizeof(DBPROPSET)));
    set->cProperties = ids.cPropertyIDs;
    set->guidPropertySet = ids.guidPropertySet;
    set->rgProperties = static_cast<DBPROP*>(CoTaskMemAlloc(sizeof(DBPROP) * std::max<ULONG>(ids.cPropertyIDs, 1)));
    for (ULONG i = 0; i < ids.cPropertyIDs; ++i) {
        DBPROP& p = set->rgProperties[i];
        std::memset(&p, 0, sizeof p);
        p.dwPropertyID = ids.rgPropertyIDs[i];
        VariantInit(&p.vValue);
        answer(p);
    }
    return set;
}

#define ORV_FAKE_UNEXPECTED(name)                             \
    do {                                                      \
        ADD_FAILURE() << "the command should not call " name; \
        return E_NOTIMPL;                                     \
    } while (0)

// ---- Values handed out ----------------------------------------------------------------

class FakeObject final : public platform::ComObject<IDispatch> {
public:
    FakeObject() { ++Fake().log.liveObjects; }
    ~FakeObject() override { --Fake().log.liveObjects; }
};

// A storage object over a value; no test reads one through IStream.
class FakeStream final : public platform::ComObject<ISequentialStream> {
public:
    explicit FakeStream(std::vector<BYTE> bytes) : m_bytes(std::move(bytes)) { ++Fake().log.liveStreams; }
    ~FakeStream() override { --Fake().log.liveStreams; }

    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pcbRead) *pcbRead = 0;
        if (!pv) return STG_E_INVALIDPOINTER;
        ULONG n = static_cast<ULONG>(std::min<std::size_t>(cb, m_bytes.size() - m_position));
        if (n) std::memcpy(pv, m_bytes.data() + m_position, n);
        m_position += n;
        if (pcbRead) *pcbRead = n;
        return n < cb ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { ORV_FAKE_UNEXPECTED("Write"); }

private:
    std::vector<BYTE> m_bytes;
    std::size_t m_position = 0;
};

// ---- Rowset -------------------------------------------------------------------------------

class FakeRowset final : public platform::ComObject<IRowset, IAccessor, IColumnsInfo, IRowsetInfo> {
public:
    explicit FakeRowset(const FakeScript& script) : m_script(script) {
        ++Fake().log.liveRowsets;
        if (m_script.bookmark) m_columns.push_back({u"", DBTYPE_I4, 4, false});
        m_columns.insert(m_columns.end(), m_script.columns.begin(), m_script.columns.end());
    }
    ~FakeRowset() override {
        --Fake().log.liveRowsets;
        EXPECT_TRUE(m_held.empty()) << "the rowset was released while rows were held";
        EXPECT_TRUE(m_accessors.empty()) << "the rowset was released before its accessor";
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IRowsetInfo && !m_script.offerRowsetInfo) {
            if (ppv) *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return ComObject::QueryInterface(riid, ppv);
    }

    // ---- IRowset
    HRESULT STDMETHODCALLTYPE AddRefRows(DBCOUNTITEM, const HROW[], DBREFCOUNT[], DBROWSTATUS[]) override {
        ORV_FAKE_UNEXPECTED("AddRefRows");
    }
    HRESULT STDMETHODCALLTYPE GetNextRows(HCHAPTER chapter, DBROWOFFSET offset, DBROWCOUNT count, DBCOUNTITEM* obtained,
                                          HROW** rows) override {
        FakeLog& log = Fake().log;
        ++log.getNextRows;
        log.offsets.push_back(offset);
        *obtained = 0;
        EXPECT_EQ(chapter, DB_NULL_HCHAPTER);
        EXPECT_EQ(count, 1) << "the command fetches one row at a time";
        const DBROWOFFSET n = static_cast<DBROWOFFSET>(m_script.rows.size());
        const DBROWOFFSET start = m_restarted ? (offset >= 0 ? offset : n + offset) : m_next + offset;
        m_restarted = false;
        if (start < 0 || start >= n) {
            m_next = start < 0 ? 0 : n;
            return DB_S_ENDOFROWSET;
        }
        m_next = start + 1;
        if (!*rows) *rows = static_cast<HROW*>(CoTaskMemAlloc(sizeof(HROW)));
        (*rows)[0] = static_cast<HROW>(start + 1);
        ++m_held[(*rows)[0]];
        ++log.heldRows;
        *obtained = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseRows(DBCOUNTITEM count, const HROW rows[], DBROWOPTIONS[], DBREFCOUNT[],
                                          DBROWSTATUS[]) override {
        for (DBCOUNTITEM i = 0; i < count; ++i) {
            auto it = m_held.find(rows[i]);
            if (it == m_held.end()) {
                ADD_FAILURE() << "released a row that is not held: " << rows[i];
                continue;
            }
            --Fake().log.heldRows;
            if (--it->second == 0) m_held.erase(it);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RestartPosition(HCHAPTER chapter) override {
        ++Fake().log.restartPosition;
        EXPECT_EQ(chapter, DB_NULL_HCHAPTER);
        m_restarted = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetData(HROW row, HACCESSOR accessor, void* data) override {
        auto found = m_accessors.find(accessor);
        if (!m_held.count(row) || found == m_accessors.end() || !data) {
            ADD_FAILURE() << "GetData on row " << row << " with accessor " << accessor;
            return DB_E_BADROWHANDLE;
        }
        const std::size_t index = row - 1;
        auto forced = m_script.getDataResults.find(index);
        if (forced != m_script.getDataResults.end() && FAILED(forced->second)) return Scripted(forced->second);
        bool errors = false;
        for (const Binding& b : found->second) errors |= !Write(b, index, static_cast<BYTE*>(data));
        if (forced != m_script.getDataResults.end()) return forced->second;
        return errors ? DB_S_ERRORSOCCURRED : S_OK;
    }

    // ---- IAccessor
    HRESULT STDMETHODCALLTYPE AddRefAccessor(HACCESSOR, DBREFCOUNT*) override { ORV_FAKE_UNEXPECTED("AddRefAccessor"); }
    HRESULT STDMETHODCALLTYPE CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM count, const DBBINDING bindings[],
                                             DBLENGTH rowSize, HACCESSOR* accessor, DBBINDSTATUS statuses[]) override {
        FakeLog& log = Fake().log;
        *accessor = DB_NULL_HACCESSOR;
        EXPECT_EQ(flags, static_cast<DBACCESSORFLAGS>(DBACCESSOR_ROWDATA));
        EXPECT_EQ(count, m_columns.size()) << "every column, the bookmark included, is bound";
        log.bindings.assign(bindings, bindings + count);
        log.objectIids.clear();
        std::vector<Binding> kept;
        for (DBCOUNTITEM i = 0; i < count; ++i) {
            Binding b{bindings[i], bindings[i].pObject ? bindings[i].pObject->iid : GUID_NULL};
            EXPECT_TRUE(b.binding.iOrdinal < m_columns.size() + (m_script.bookmark ? 0 : 1) &&
                        (m_script.bookmark || b.binding.iOrdinal >= 1))
                << "binding for a column the rowset does not have: " << b.binding.iOrdinal;
            log.objectIids.push_back(b.iid);
            if (statuses) statuses[i] = DBBINDSTATUS_OK;
            Check(b.binding, rowSize);
            kept.push_back(b);
        }
        if (FAILED(m_script.createAccessorResult)) return Scripted(m_script.createAccessorResult);
        *accessor = ++m_lastAccessor;
        m_accessors[*accessor] = kept;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBindings(HACCESSOR, DBACCESSORFLAGS*, DBCOUNTITEM*, DBBINDING**) override {
        ORV_FAKE_UNEXPECTED("GetBindings");
    }
    HRESULT STDMETHODCALLTYPE ReleaseAccessor(HACCESSOR accessor, DBREFCOUNT* refs) override {
        ++Fake().log.releaseAccessor;
        if (refs) *refs = 0;
        if (!m_accessors.erase(accessor)) ADD_FAILURE() << "released an unknown accessor";
        return S_OK;
    }

    // ---- IColumnsInfo
    HRESULT STDMETHODCALLTYPE GetColumnInfo(DBORDINAL* count, DBCOLUMNINFO** info, OLECHAR** strings) override {
        std::size_t units = 0;
        for (const FakeColumn& c : m_columns) units += c.named ? c.name.size() + 1 : 0;
        *count = m_columns.size();
        *info = static_cast<DBCOLUMNINFO*>(CoTaskMemAlloc(sizeof(DBCOLUMNINFO) * m_columns.size()));
        *strings = static_cast<OLECHAR*>(CoTaskMemAlloc(sizeof(OLECHAR) * (units ? units : 1)));
        OLECHAR* next = *strings;
        for (std::size_t i = 0; i < m_columns.size(); ++i) {
            const FakeColumn& c = m_columns[i];
            DBCOLUMNINFO& e = (*info)[i];
            std::memset(&e, 0, sizeof e);
            e.iOrdinal = m_script.bookmark ? i : i + 1;
            e.wType = c.type;
            e.ulColumnSize = c.size;
            e.dwFlags = m_script.bookmark && i == 0 ? DBCOLUMNFLAGS_ISBOOKMARK | DBCOLUMNFLAGS_ISFIXEDLENGTH : 0;
            e.columnid = DB_NULLID;
            if (c.named) {
                std::memcpy(next, c.name.c_str(), (c.name.size() + 1) * sizeof(OLECHAR));
                e.pwszName = next;
                next += c.name.size() + 1;
            }
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE MapColumnIDs(DBORDINAL, const DBID[], DBORDINAL[]) override {
        ORV_FAKE_UNEXPECTED("MapColumnIDs");
    }

    // ---- IRowsetInfo
    HRESULT STDMETHODCALLTYPE GetProperties(ULONG setCount, const DBPROPIDSET sets[], ULONG* outCount,
                                            DBPROPSET** outSets) override {
        ++Fake().log.rowsetProperties;
        *outCount = 0;
        *outSets = nullptr;
        if (setCount != 1 || sets[0].guidPropertySet != DBPROPSET_ROWSET) {
            ADD_FAILURE() << "the command reads rowset properties only";
            return E_INVALIDARG;
        }
        *outSets = PropertySet(sets[0], [&](DBPROP& p) {
            const bool on = (p.dwPropertyID == DBPROP_ISequentialStream && m_script.sequentialStreamProperty) ||
                            (p.dwPropertyID == DBPROP_IStream && m_script.iStreamProperty);
            p.vValue.vt = VT_BOOL;
            p.vValue.boolVal = on ? VARIANT_TRUE : VARIANT_FALSE;
        });
        *outCount = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetReferencedRowset(DBORDINAL, REFIID, IUnknown**) override {
        ORV_FAKE_UNEXPECTED("GetReferencedRowset");
    }
    HRESULT STDMETHODCALLTYPE GetSpecification(REFIID, IUnknown**) override { ORV_FAKE_UNEXPECTED("GetSpecification"); }

private:
    struct Binding {
        DBBINDING binding;
        IID iid;
    };

    static std::size_t Alignment(DBTYPE type) {
        static const std::map<DBTYPE, std::size_t> alignments = {
            {DBTYPE_I2, 2},          {DBTYPE_UI2, 2},     {DBTYPE_BOOL, 2},   {DBTYPE_WSTR, 2},
            {DBTYPE_DBDATE, 2},      {DBTYPE_DBTIME, 2},  {DBTYPE_I4, 4},     {DBTYPE_UI4, 4},
            {DBTYPE_R4, 4},          {DBTYPE_ERROR, 4},   {DBTYPE_GUID, 4},   {DBTYPE_FILETIME, 4},
            {DBTYPE_DBTIMESTAMP, 4}, {DBTYPE_I8, 8},      {DBTYPE_UI8, 8},    {DBTYPE_R8, 8},
            {DBTYPE_CY, 8},          {DBTYPE_DATE, 8},    {DBTYPE_BSTR, 8},   {DBTYPE_IUNKNOWN, 8},
            {DBTYPE_IDISPATCH, 8},   {DBTYPE_VARIANT, 8}, {DBTYPE_DECIMAL, 8}};
        if (type & DBTYPE_BYREF) return sizeof(void*);
        const auto found = alignments.find(type);
        return found == alignments.end() ? 1 : found->second;
    }

    // Every part of a binding lies inside the row and is aligned for its type.
    static void Check(const DBBINDING& b, DBLENGTH rowSize) {
        EXPECT_EQ(b.dwPart & (DBPART_LENGTH | DBPART_STATUS), static_cast<DBPART>(DBPART_LENGTH | DBPART_STATUS));
        EXPECT_EQ(b.dwMemOwner, static_cast<DBMEMOWNER>(DBMEMOWNER_CLIENTOWNED));
        EXPECT_EQ(b.obLength % alignof(DBLENGTH), 0u);
        EXPECT_EQ(b.obStatus % alignof(DBSTATUS), 0u);
        EXPECT_LE(b.obLength + sizeof(DBLENGTH), rowSize);
        EXPECT_LE(b.obStatus + sizeof(DBSTATUS), rowSize);
        if (b.dwPart & DBPART_VALUE) {
            EXPECT_EQ(b.obValue % Alignment(b.wType), 0u) << "value of type " << b.wType << " misaligned";
            EXPECT_LE(b.obValue + b.cbMaxLen, rowSize);
        }
    }

    // Writes one column of row `index`; false when the value could not be delivered.
    bool Write(const Binding& bound, std::size_t index, BYTE* data) {
        const DBBINDING& b = bound.binding;
        const FakeColumn& column = m_columns[b.iOrdinal - (m_script.bookmark ? 0 : 1)];
        FakeCell cell =
            b.iOrdinal == 0 ? FakeCell::Of(static_cast<LONG>(index + 1)) : m_script.rows[index][b.iOrdinal - 1];
        DBSTATUS status = cell.status;
        DBLENGTH length = cell.bytes.size();
        BYTE* value = data + b.obValue;
        if (status == DBSTATUS_S_OK && (b.dwPart & DBPART_VALUE)) {
            if (b.wType == (column.type | DBTYPE_BYREF)) {
                std::size_t terminator = column.type == DBTYPE_WSTR ? 2 : column.type == DBTYPE_STR ? 1 : 0;
                BYTE* copy = static_cast<BYTE*>(CoTaskMemAlloc(length + terminator));
                if (length) std::memcpy(copy, cell.bytes.data(), length);
                std::memset(copy + length, 0, terminator);
                std::memcpy(value, &copy, sizeof copy);
            } else if (b.wType == DBTYPE_IUNKNOWN && column.type != DBTYPE_IUNKNOWN) {
                if (m_script.storageObjectsFail) {
                    status = DBSTATUS_E_CANTCREATE;
                } else {
                    EXPECT_EQ(bound.iid, IID_ISequentialStream) << "no test reads a value through IStream";
                    ISequentialStream* stream = new FakeStream(cell.bytes);
                    std::memcpy(value, &stream, sizeof stream);
                }
            } else if (b.wType == DBTYPE_IUNKNOWN || b.wType == DBTYPE_IDISPATCH) {
                EXPECT_EQ(b.wType, column.type);
                auto* object = new FakeObject;
                Fake().log.lastObject = object->Identity();
                IUnknown* handed = b.wType == DBTYPE_IDISPATCH ? static_cast<IDispatch*>(object) : object->Identity();
                std::memcpy(value, &handed, sizeof handed);
                length = sizeof handed;
            } else {
                EXPECT_EQ(b.wType, column.type) << "a value is bound in its own type";
                WriteByValue(b, cell, value, status, length);
            }
        }
        if (status == DBSTATUS_S_ISNULL) length = 0;
        std::memcpy(data + b.obStatus, &status, sizeof status);
        std::memcpy(data + b.obLength, &length, sizeof length);
        return status == DBSTATUS_S_OK || status == DBSTATUS_S_ISNULL || status == DBSTATUS_S_TRUNCATED;
    }

    static void WriteByValue(const DBBINDING& b, const FakeCell& cell, BYTE* value, DBSTATUS& status,
                             DBLENGTH& length) {
        const std::size_t size = cell.bytes.size();
        switch (b.wType) {
        case DBTYPE_BSTR: {
            BSTR text =
                SysAllocStringLen(reinterpret_cast<const OLECHAR*>(cell.bytes.data()), static_cast<UINT>(size / 2));
            std::memcpy(value, &text, sizeof text);
            length = sizeof text;
            return;
        }
        case DBTYPE_VARIANT: {
            VARIANT copy;
            VariantInit(&copy);
            VariantCopy(&copy, cell.variant.get());
            std::memcpy(value, &copy, sizeof copy);
            length = sizeof copy;
            return;
        }
        case DBTYPE_WSTR:
        case DBTYPE_STR:
        case DBTYPE_BYTES: {
            const std::size_t terminator = b.wType == DBTYPE_WSTR ? 2 : b.wType == DBTYPE_STR ? 1 : 0;
            std::size_t room = b.cbMaxLen - terminator;
            if (b.wType == DBTYPE_WSTR) room &= ~std::size_t{1};
            const std::size_t copied = std::min(size, room);
            if (copied) std::memcpy(value, cell.bytes.data(), copied);
            std::memset(value + copied, 0, terminator);
            if (copied < size) status = DBSTATUS_S_TRUNCATED;
            return;
        }
        default:
            if (size) std::memcpy(value, cell.bytes.data(), size);
            return;
        }
    }

    FakeScript m_script;
    std::vector<FakeColumn> m_columns;  // the bookmark first, when there is one
    std::map<HROW, int> m_held;
    std::map<HACCESSOR, std::vector<Binding>> m_accessors;
    HACCESSOR m_lastAccessor = 0;
    DBROWOFFSET m_next = 0;
    bool m_restarted = true;
};

// ---- Command, session, data source ----------------------------------------------------------

class FakeCommand final : public platform::ComObject<ICommandText, ICommandProperties> {
public:
    HRESULT STDMETHODCALLTYPE Cancel() override { ORV_FAKE_UNEXPECTED("Cancel"); }
    HRESULT STDMETHODCALLTYPE Execute(IUnknown* outer, REFIID riid, DBPARAMS* params, DBROWCOUNT* rowsAffected,
                                      IUnknown** rowset) override {
        const FakeScript& script = Fake().script;
        ++Fake().log.execute;
        EXPECT_EQ(outer, nullptr);
        EXPECT_EQ(riid, IID_IRowset);
        EXPECT_EQ(params, nullptr);
        EXPECT_FALSE(m_text.empty()) << "executed without a text";
        *rowset = nullptr;
        if (FAILED(script.executeResult)) return Scripted(script.executeResult);
        if (rowsAffected) *rowsAffected = script.rowsAffected;
        if (script.returnsRowset) {
            HRESULT hr = platform::CreateComObject<FakeRowset>(nullptr, riid, reinterpret_cast<void**>(rowset), script);
            if (FAILED(hr)) return hr;
        }
        return script.executeResult;
    }
    HRESULT STDMETHODCALLTYPE GetDBSession(REFIID, IUnknown**) override { ORV_FAKE_UNEXPECTED("GetDBSession"); }
    HRESULT STDMETHODCALLTYPE GetCommandText(GUID*, LPOLESTR*) override { ORV_FAKE_UNEXPECTED("GetCommandText"); }
    HRESULT STDMETHODCALLTYPE SetCommandText(REFGUID dialect, LPCOLESTR text) override {
        EXPECT_EQ(dialect, DBGUID_DEFAULT);
        m_text = text ? text : u"";
        Fake().log.texts.push_back(m_text);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProperties(ULONG, const DBPROPIDSET[], ULONG*, DBPROPSET**) override {
        ORV_FAKE_UNEXPECTED("ICommandProperties::GetProperties");
    }
    HRESULT STDMETHODCALLTYPE SetProperties(ULONG count, DBPROPSET sets[]) override {
        Fake().log.commandProperties.clear();
        for (ULONG s = 0; s < count; ++s) {
            EXPECT_EQ(sets[s].guidPropertySet, DBPROPSET_ROWSET);
            for (ULONG p = 0; p < sets[s].cProperties; ++p) {
                DBPROP& prop = sets[s].rgProperties[p];
                EXPECT_EQ(prop.vValue.vt, VT_BOOL);
                prop.dwStatus = DBPROPSTATUS_OK;
                Fake().log.commandProperties.push_back(prop);
            }
        }
        return Scripted(Fake().script.setPropertiesResult);
    }

private:
    std::u16string m_text;
};

class FakeSession final : public platform::ComObject<IOpenRowset, IDBCreateCommand> {
public:
    HRESULT STDMETHODCALLTYPE OpenRowset(IUnknown*, DBID*, DBID*, REFIID, ULONG, DBPROPSET[], IUnknown**) override {
        ORV_FAKE_UNEXPECTED("OpenRowset");
    }
    HRESULT STDMETHODCALLTYPE CreateCommand(IUnknown* outer, REFIID riid, IUnknown** command) override {
        FakeLog& log = Fake().log;
        log.rowsetsAliveAtCreateCommand = log.liveRowsets;
        *command = nullptr;
        EXPECT_EQ(outer, nullptr);
        if (FAILED(Fake().script.createCommandResult)) return Scripted(Fake().script.createCommandResult);
        return platform::CreateComObject<FakeCommand>(nullptr, riid, reinterpret_cast<void**>(command));
    }
};

class FakeDataSource final : public platform::ComObject<IDBInitialize, IDBProperties, IDBCreateSession> {
public:
    HRESULT STDMETHODCALLTYPE Initialize() override {
        const FakeScript& script = Fake().script;
        if (script.initializeResult == S_OK) m_initialized = true;
        return Scripted(script.initializeResult);
    }
    HRESULT STDMETHODCALLTYPE Uninitialize() override {
        m_initialized = false;
        return S_OK;
    }
    // The connection's status (unless scripted away) and read-only answer; the rest is
    // "not supported".
    HRESULT STDMETHODCALLTYPE GetProperties(ULONG setCount, const DBPROPIDSET sets[], ULONG* count,
                                            DBPROPSET** out) override {
        *count = 0;
        *out = nullptr;
        if (setCount != 1 || sets[0].cPropertyIDs != 1) ORV_FAKE_UNEXPECTED("GetProperties for more than one property");
        HRESULT result = DB_E_ERRORSOCCURRED;
        *out = PropertySet(sets[0], [&](DBPROP& p) {
            if (p.dwPropertyID == DBPROP_CONNECTIONSTATUS && Fake().script.connectionStatus) {
                p.vValue.vt = VT_I4;
                p.vValue.lVal = m_initialized ? DBPROPVAL_CS_INITIALIZED : DBPROPVAL_CS_UNINITIALIZED;
            } else if (p.dwPropertyID == DBPROP_DATASOURCEREADONLY) {
                p.vValue.vt = VT_BOOL;
                p.vValue.boolVal = VARIANT_FALSE;
            } else {
                p.dwStatus = DBPROPSTATUS_NOTSUPPORTED;
                return;
            }
            result = S_OK;
        });
        *count = 1;
        return result;
    }
    HRESULT STDMETHODCALLTYPE GetPropertyInfo(ULONG, const DBPROPIDSET[], ULONG* count, DBPROPINFOSET** sets,
                                              OLECHAR** descriptions) override {
        *count = 0;
        *sets = nullptr;
        if (descriptions) *descriptions = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetProperties(ULONG count, DBPROPSET sets[]) override {
        for (ULONG s = 0; s < count; ++s)
            for (ULONG k = 0; k < sets[s].cProperties; ++k) sets[s].rgProperties[k].dwStatus = DBPROPSTATUS_OK;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateSession(IUnknown*, REFIID riid, IUnknown** session) override {
        *session = nullptr;
        if (Fake().script.sessionResult != S_OK) return Fake().script.sessionResult;
        return platform::CreateComObject<FakeSession>(nullptr, riid, reinterpret_cast<void**>(session));
    }

private:
    bool m_initialized = false;
};

inline constexpr CLSID kFakeProviderClass = {
    0x3C2A9E61, 0x7B0D, 0x4F12, {0x9A, 0x4E, 0x51, 0x0B, 0xC7, 0x2D, 0x88, 0x16}};

// Registers the fake as "Fake.Provider" for the life of the object, with an empty script
// and log.
class FakeProvider {
public:
    FakeProvider() {
        Fake() = FakeWorld{};
        platform::RegisterClass(kFakeProviderClass, u"Fake.Provider", [](IUnknown* outer, REFIID riid, void** ppv) {
            return platform::CreateComObject<FakeDataSource>(outer, riid, ppv);
        });
    }
    ~FakeProvider() {
        platform::UnregisterClass(kFakeProviderClass);
        Fake() = FakeWorld{};
    }
    FakeProvider(const FakeProvider&) = delete;
    FakeProvider& operator=(const FakeProvider&) = delete;
};

#undef ORV_FAKE_UNEXPECTED

// A command on a connection to the fake, with the text "SELECT * FROM t". At the end of
// each test the command is closed and nothing of the provider's may stay alive or held.
class FakeRowsetTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_EQ(m_connection.OpenFromInitializationString(CComBSTR(u"Provider=Fake.Provider;"), false), S_OK)
            << m_connection.GetErrorText();
        m_command.SetConnection(&m_connection);
        m_command.SetCommandText(CString(u"SELECT * FROM t"));
    }
    void TearDown() override {
        m_command.Close();
        EXPECT_EQ(Log().heldRows, 0);
        EXPECT_EQ(Log().liveRowsets, 0);
        EXPECT_EQ(Log().liveStreams, 0);
        EXPECT_EQ(Log().liveObjects, 0);
        m_connection.Close();
        CoUninitialize();
    }

    static FakeScript& Script() { return Fake().script; }
    static FakeLog& Log() { return Fake().log; }

    // One I4 column "n" holding 1, 2, ... `count`.
    static void Numbers(int count) {
        Script().columns = {{u"n", DBTYPE_I4, 4}};
        Script().rows.clear();
        for (int i = 1; i <= count; ++i) Script().rows.push_back({FakeCell::Of<LONG>(i)});
    }

    FakeProvider m_provider;
    OrvOleDbConnection m_connection;
    OrvOleDbCommand m_command;
};

}  // namespace orv::test
