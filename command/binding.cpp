// The row binding: every column of a result, the bookmark included, bound with value,
// length and status in one row-data accessor over one zeroed buffer.
#include <algorithm>
#include <cstring>
#include <new>

#include "command/command_state.h"
#include "platform/property_sets.h"

namespace orv::command {
namespace {

// Every value part starts at a multiple of 8 bytes: a multiple of the natural size of
// every type of up to 8 bytes, and the alignment of every larger structure (DECIMAL,
// VARIANT, DBTIMESTAMP, ...), so a value can be read in place.
constexpr std::size_t kValueAlignment = 8;

std::size_t AlignUp(std::size_t offset, std::size_t alignment) {
    return (offset + alignment - 1) / alignment * alignment;
}

// Places a binding's length, status and (when it has one) value part in the row buffer
// from `offset` on, and notes them in the column's slot; the offset after them.
std::size_t PlaceBinding(DBBINDING& b, DBLENGTH valueSize, std::size_t offset, ColumnSlot& slot) {
    offset = AlignUp(offset, alignof(DBLENGTH));
    b.obLength = offset;
    offset += sizeof(DBLENGTH);
    b.obStatus = offset;
    offset += sizeof(DBSTATUS);
    if (b.dwPart & DBPART_VALUE) {
        offset = AlignUp(offset, kValueAlignment);
        b.obValue = offset;
        offset += valueSize;
    }
    slot.statusOffset = b.obStatus;
    slot.lengthOffset = b.obLength;
    slot.valueOffset = b.obValue;
    slot.valueSize = valueSize;
    slot.boundType = b.wType;
    slot.hasValue = (b.dwPart & DBPART_VALUE) != 0;
    return offset;
}

bool Delivered(DBSTATUS status) { return status == DBSTATUS_S_OK || status == DBSTATUS_S_TRUNCATED; }

template <class T>
T ReadAt(const BYTE* buffer, DBBYTEOFFSET offset) {
    T value;
    std::memcpy(&value, buffer + offset, sizeof value);
    return value;
}

}  // namespace

// Which stream interface storage objects ask for: ISequentialStream unless the rowset
// says it offers only IStream.
IID RowAccessor::StorageInterface(IRowset* rowset) {
    bool sequential = false;
    bool stream = false;
    CComPtr<IRowsetInfo> info;
    if (SUCCEEDED(rowset->QueryInterface(IID_IRowsetInfo, reinterpret_cast<void**>(&info))) && info) {
        orv::platform::ReturnedPropertySets sets;
        if (SUCCEEDED(orv::platform::QueryProperties(info.p, DBPROPSET_ROWSET,
                                                     {DBPROP_ISequentialStream, DBPROP_IStream}, sets))) {
            sequential = sets.IsTrue(DBPROP_ISequentialStream);
            stream = sets.IsTrue(DBPROP_IStream);
        }
    }
    if (sequential) return IID_ISequentialStream;
    if (stream) return IID_IStream;
    return IID_ISequentialStream;
}

HRESULT RowAccessor::ReadColumns(IRowset* rowset) {
    CComPtr<IColumnsInfo> columns;
    HRESULT hr = rowset->QueryInterface(IID_IColumnsInfo, reinterpret_cast<void**>(&columns));
    if (FAILED(hr)) return hr;
    if (!columns) return E_NOINTERFACE;
    hr = columns->GetColumnInfo(&m_columnCount, &m_columnInfo, &m_strings);
    if (FAILED(hr)) {
        // A failing provider should hand out nothing; free whatever it did hand out.
        CoTaskMemFree(m_columnInfo);
        CoTaskMemFree(m_strings);
        m_columnInfo = nullptr;
        m_strings = nullptr;
        m_columnCount = 0;
        return hr;
    }
    if (!m_columnInfo) m_columnCount = 0;
    return S_OK;
}

// Decides every column's binding in column order and lays the buffer out. The column
// information is rewritten to show each large column as bound.
HRESULT RowAccessor::Layout(IRowset* rowset, std::vector<DBBINDING>& bindings) {
    const DBORDINAL count = m_columnCount;
    bindings.assign(count, DBBINDING{});
    m_slots.assign(count, ColumnSlot{});
    m_objects.reset(new (std::nothrow) DBOBJECT[count ? count : 1]);
    if (!m_objects) return E_OUTOFMEMORY;

    bool storageKnown = false;
    IID storageIid = IID_ISequentialStream;
    std::size_t offset = 0;
    for (DBORDINAL i = 0; i < count; ++i) {
        DBCOLUMNINFO& info = m_columnInfo[i];
        DBBINDING& b = bindings[i];
        ColumnSlot& slot = m_slots[i];
        b.iOrdinal = info.iOrdinal;
        b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
        b.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
        b.eParamIO = DBPARAMIO_NOTPARAM;
        b.bPrecision = info.bPrecision;
        b.bScale = info.bScale;

        const DBTYPE type = info.wType;
        const bool large = info.ulColumnSize > kBlobThreshold && type != DBTYPE_IUNKNOWN;
        DBLENGTH valueSize = 0;
        if (large && m_blobMode == DBBLOBHANDLING_DEFAULT) {
            if (!storageKnown) {
                storageIid = StorageInterface(rowset);
                storageKnown = true;
            }
            m_objects[i] = DBOBJECT{STGM_READ, storageIid};
            b.pObject = &m_objects[i];
            b.wType = DBTYPE_IUNKNOWN;
            b.cbMaxLen = sizeof(IUnknown*);
            info.wType = DBTYPE_IUNKNOWN;
            info.ulColumnSize = sizeof(IUnknown*);
            valueSize = sizeof(IUnknown*);
        } else if (large && m_blobMode == DBBLOBHANDLING_NOSTREAMS) {
            // The provider allocates the whole value; the command frees it.
            b.wType = static_cast<DBTYPE>(type | DBTYPE_BYREF);
            b.cbMaxLen = sizeof(void*);
            info.wType = b.wType;
            info.ulColumnSize = sizeof(void*);
            valueSize = sizeof(void*);
            slot.consumerOwned = true;
        } else if (large) {
            b.dwPart = DBPART_LENGTH | DBPART_STATUS;
            b.wType = type;
            b.cbMaxLen = 0;
            info.ulColumnSize = 0;
        } else if (type == DBTYPE_IUNKNOWN) {
            m_objects[i] = DBOBJECT{STGM_READ, IID_IUnknown};
            b.pObject = &m_objects[i];
            b.wType = DBTYPE_IUNKNOWN;
            b.cbMaxLen = sizeof(IUnknown*);
            valueSize = sizeof(IUnknown*);
        } else {
            b.wType = type;
            if (type == DBTYPE_STR) b.cbMaxLen = info.ulColumnSize + 1;
            else if (type == DBTYPE_WSTR) b.cbMaxLen = info.ulColumnSize * 2 + 2;
            else b.cbMaxLen = std::max(info.ulColumnSize, orv::platform::FixedTypeSize(type));
            valueSize = std::max(b.cbMaxLen, orv::platform::FixedTypeSize(type));
        }

        offset = PlaceBinding(b, valueSize, offset, slot);
        slot.providerType = type;
    }

    m_bufferSize = AlignUp(std::max<std::size_t>(offset, 1), kValueAlignment);
    m_buffer.reset(new (std::nothrow) BYTE[m_bufferSize]());
    if (!m_buffer) return E_OUTOFMEMORY;
    return S_OK;
}

HRESULT RowAccessor::Bind(IRowset* rowset) {
    Release();
    if (!rowset) return E_POINTER;
    HRESULT hr = rowset->QueryInterface(IID_IAccessor, reinterpret_cast<void**>(&m_accessor));
    if (FAILED(hr)) return hr;
    if (!m_accessor) return E_NOINTERFACE;
    hr = ReadColumns(rowset);
    if (FAILED(hr)) return hr;

    std::vector<DBBINDING> bindings;
    std::vector<DBBINDSTATUS> statuses;
    try {
        hr = Layout(rowset, bindings);
        statuses.assign(m_columnCount, DBBINDSTATUS_OK);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) return hr;

    HACCESSOR handle = DB_NULL_HACCESSOR;
    hr = m_accessor->CreateAccessor(DBACCESSOR_ROWDATA, m_columnCount, bindings.data(), m_bufferSize, &handle,
                                    statuses.data());
    if (FAILED(hr)) return hr;
    m_handle = handle;
    m_attached = true;
    return S_OK;
}

void RowAccessor::FreeValues() {
    BYTE* buffer = m_buffer.get();
    if (!buffer) return;
    for (const ColumnSlot& slot : m_slots) {
        if (!slot.hasValue) continue;
        const bool delivered = Delivered(ReadAt<DBSTATUS>(buffer, slot.statusOffset));
        BYTE* value = buffer + slot.valueOffset;
        const DBTYPE type = slot.boundType;
        if (type & DBTYPE_BYREF) {
            if (!slot.consumerOwned) continue;
            void* memory = ReadAt<void*>(buffer, slot.valueOffset);
            if (delivered && memory) CoTaskMemFree(memory);
            std::memset(value, 0, sizeof(void*));
            continue;
        }
        switch (type) {
        case DBTYPE_IUNKNOWN:
        case DBTYPE_IDISPATCH: {
            IUnknown* object = ReadAt<IUnknown*>(buffer, slot.valueOffset);
            if (delivered && object) object->Release();
            std::memset(value, 0, sizeof(IUnknown*));
            break;
        }
        case DBTYPE_BSTR: {
            BSTR text = ReadAt<BSTR>(buffer, slot.valueOffset);
            if (delivered && text) SysFreeString(text);
            std::memset(value, 0, sizeof(BSTR));
            break;
        }
        case DBTYPE_VARIANT:
            if (delivered) VariantClear(reinterpret_cast<VARIANT*>(value));
            std::memset(value, 0, sizeof(VARIANT));
            break;
        default: break;
        }
    }
}

void RowAccessor::Release() {
    FreeValues();
    if (m_attached && m_accessor) m_accessor->ReleaseAccessor(m_handle, nullptr);
    m_attached = false;
    m_handle = DB_NULL_HACCESSOR;
    m_accessor.Release();
    CoTaskMemFree(m_columnInfo);
    CoTaskMemFree(m_strings);
    m_columnInfo = nullptr;
    m_strings = nullptr;
    m_columnCount = 0;
    m_slots.clear();
    m_objects.reset();
    m_buffer.reset();
    m_bufferSize = 0;
}

bool RowAccessor::HasBookmark() const {
    for (DBORDINAL i = 0; i < m_columnCount; ++i)
        if (m_columnInfo[i].iOrdinal == 0 && (m_columnInfo[i].dwFlags & DBCOLUMNFLAGS_ISBOOKMARK)) return true;
    return false;
}

const DBCOLUMNINFO* RowAccessor::Entry(DBORDINAL ordinal, std::size_t& index) const {
    // With a bookmark column the entry of ordinal n is entry n, without one entry n - 1.
    if (ordinal < m_columnCount && m_columnInfo[ordinal].iOrdinal == ordinal) {
        index = ordinal;
        return &m_columnInfo[ordinal];
    }
    if (ordinal >= 1 && ordinal - 1 < m_columnCount && m_columnInfo[ordinal - 1].iOrdinal == ordinal) {
        index = ordinal - 1;
        return &m_columnInfo[ordinal - 1];
    }
    for (DBORDINAL i = 0; i < m_columnCount; ++i) {
        if (m_columnInfo[i].iOrdinal == ordinal) {
            index = i;
            return &m_columnInfo[i];
        }
    }
    return nullptr;
}

bool RowAccessor::View(DBORDINAL ordinal, ColumnView& view) const {
    std::size_t index = 0;
    const DBCOLUMNINFO* info = Entry(ordinal, index);
    const BYTE* buffer = m_buffer.get();
    if (!info || !buffer || index >= m_slots.size()) return false;
    const ColumnSlot& slot = m_slots[index];
    view.info = info;
    view.slot = &slot;
    view.status = ReadAt<DBSTATUS>(buffer, slot.statusOffset);
    view.length = ReadAt<DBLENGTH>(buffer, slot.lengthOffset);
    view.value = slot.hasValue ? buffer + slot.valueOffset : nullptr;
    return true;
}

}  // namespace orv::command
