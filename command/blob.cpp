// BLOB reading: copies a large value of the held row, bound as a storage object or by
// reference, into the caller's buffer or into a heap block for the caller.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "OrvOleDbCommand.h"
#include "command/command_state.h"

using orv::command::ColumnView;

namespace {

// Bytes asked of a stream per read by the heap form.
constexpr ULONG kChunk = 10000;

enum class BlobKind { None, Null, Stream, ByReference };

BlobKind Classify(const ColumnView& view) {
    if (view.status == DBSTATUS_S_ISNULL) return BlobKind::Null;
    if (view.status != DBSTATUS_S_OK && view.status != DBSTATUS_S_TRUNCATED) return BlobKind::None;
    if (!view.value) return BlobKind::None;
    const DBTYPE type = view.info->wType;
    if (type == DBTYPE_IUNKNOWN) return BlobKind::Stream;
    if (type & DBTYPE_BYREF) return BlobKind::ByReference;
    return BlobKind::None;
}

template <class T>
T Read(const BYTE* data) {
    T value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

// The provider's own type of a column whose binding replaced it with DBTYPE_IUNKNOWN,
// read again from the rowset.
bool ProviderType(IRowset* rowset, DBORDINAL ordinal, DBTYPE& type) {
    CComPtr<IColumnsInfo> columns;
    if (!rowset || FAILED(rowset->QueryInterface(IID_IColumnsInfo, reinterpret_cast<void**>(&columns))) || !columns)
        return false;
    DBORDINAL count = 0;
    DBCOLUMNINFO* info = nullptr;
    OLECHAR* strings = nullptr;
    bool found = false;
    if (SUCCEEDED(columns->GetColumnInfo(&count, &info, &strings)) && info) {
        for (DBORDINAL i = 0; i < count && !found; ++i) {
            if (info[i].iOrdinal == ordinal) {
                type = info[i].wType;
                found = true;
            }
        }
    }
    CoTaskMemFree(info);
    CoTaskMemFree(strings);
    return found;
}

// Only long bytes and long texts are read as streams.
bool Streamable(DBTYPE type) { return type == DBTYPE_BYTES || type == DBTYPE_STR || type == DBTYPE_WSTR; }

// The storage object's stream; the object itself stays with the row.
CComPtr<ISequentialStream> OpenStream(const BYTE* value) {
    CComPtr<ISequentialStream> stream;
    IUnknown* object = Read<IUnknown*>(value);
    if (!object) return stream;
    if (SUCCEEDED(object->QueryInterface(IID_ISequentialStream, reinterpret_cast<void**>(&stream))) && stream)
        return stream;
    stream.Release();
    CComPtr<IStream> full;
    if (SUCCEEDED(object->QueryInterface(IID_IStream, reinterpret_cast<void**>(&full))) && full) stream = full.p;
    return stream;
}

// The stream of a storage-object column, when its provider type is one read as a stream.
CComPtr<ISequentialStream> ColumnStream(IRowset* rowset, DBORDINAL ordinal, const ColumnView& view) {
    DBTYPE type = DBTYPE_EMPTY;
    if (!ProviderType(rowset, ordinal, type)) return {};
    CComPtr<ISequentialStream> stream = OpenStream(view.value);
    if (!stream || !Streamable(type)) return {};
    return stream;
}

}  // namespace

OrvOleDbCommand::dbStatus OrvOleDbCommand::GetBlobData(unsigned __int64 col, void* buffer, ULONG maxLength) {
    ColumnView view;
    if (!ColumnInRange(col) || !m_command->accessor.View(col, view)) return dbError;
    switch (Classify(view)) {
    case BlobKind::Null: return dbNull;
    case BlobKind::None: return dbError;
    case BlobKind::Stream: {
        CComPtr<ISequentialStream> stream = ColumnStream(m_command->rowset, col, view);
        if (!stream) return dbError;
        ULONG read = 0;
        return SUCCEEDED(stream->Read(buffer, maxLength, &read)) ? dbTrue : dbError;
    }
    case BlobKind::ByReference: {
        const BYTE* bytes = Read<const BYTE*>(view.value);
        if (!bytes) return dbError;
        const DBLENGTH copied = std::min<DBLENGTH>(view.length, maxLength);
        if (copied > 0 && !buffer) return dbError;
        if (copied > 0) std::memcpy(buffer, bytes, copied);
        return copied == view.length ? dbTrue : dbTruncated;
    }
    }
    return dbError;
}

ULONG OrvOleDbCommand::GetBlobData(unsigned __int64 col, CHeapPtr<unsigned char>& data) {
    ColumnView view;
    if (!ColumnInRange(col) || !m_command->accessor.View(col, view)) return 0;
    switch (Classify(view)) {
    case BlobKind::Null:
    case BlobKind::None: return 0;
    case BlobKind::Stream: {
        CComPtr<ISequentialStream> stream = ColumnStream(m_command->rowset, col, view);
        if (!stream) return 0;
        unsigned char chunk[kChunk];
        ULONG total = 0;
        ULONG read = 0;
        HRESULT hr = stream->Read(chunk, kChunk, &read);
        while (SUCCEEDED(hr) && read > 0) {
            if (read > ULONG_MAX - total) return 0;  // beyond what the result can count
            if (total == 0) {
                auto* block = static_cast<unsigned char*>(std::malloc(read));
                if (!block) return 0;
                data.Attach(block);
            } else if (!data.ReallocateBytes(total + read)) {
                return 0;
            }
            std::memcpy(data.m_pData + total, chunk, read);
            total += read;
            read = 0;
            hr = stream->Read(chunk, kChunk, &read);
        }
        return total;
    }
    case BlobKind::ByReference: {
        const BYTE* bytes = Read<const BYTE*>(view.value);
        if (!bytes || view.length == 0 || view.length > ULONG_MAX) return 0;
        auto* block = static_cast<unsigned char*>(std::malloc(view.length));
        if (!block) return 0;
        std::memcpy(block, bytes, view.length);
        data.Attach(block);
        return static_cast<ULONG>(view.length);
    }
    }
    return 0;
}
