// OLE DB properties of one engine object: which properties it supports (a static table),
// their current values, and the OLE DB rules for reading, writing and describing them
// (per-property statuses, S_OK / DB_S_ERRORSOCCURRED / DB_E_ERRORSOCCURRED, arrays
// allocated with CoTaskMemAlloc for the caller to free).
//
// A PropertyBag belongs to its object and is used by one thread at a time.
#pragma once

#include <functional>
#include <map>
#include <span>
#include <string>

#include "platform/oledb.h"

namespace orv::engine {

struct PropertyInfo {
    const GUID* set;
    DBPROPID id;
    VARTYPE type;
    DBPROPFLAGS flags;  // DBPROPFLAGS_READ, _WRITE and the group flag
    const char16_t* description;
};

class PropertyBag {
public:
    // Computes a value at read time (connection status, data source name); returns false
    // when the bag's stored value is to be used.
    using Dynamic = std::function<bool(const GUID& set, DBPROPID id, VARIANT* value)>;
    // Tells whether a property set can be read, or written, in the object's current state.
    using SetFilter = std::function<bool(const GUID& set)>;

    explicit PropertyBag(std::span<const PropertyInfo> supported);
    ~PropertyBag();
    PropertyBag(const PropertyBag&) = delete;
    PropertyBag& operator=(const PropertyBag&) = delete;

    const PropertyInfo* Find(const GUID& set, DBPROPID id) const;
    const PropertyInfo* FindByDescription(std::u16string_view description) const;

    // Stored values; a property never set reads as VT_EMPTY.
    const VARIANT& Value(const GUID& set, DBPROPID id) const;
    std::u16string String(const GUID& set, DBPROPID id) const;
    LONG Integer(const GUID& set, DBPROPID id, LONG fallback) const;
    bool Boolean(const GUID& set, DBPROPID id, bool fallback) const;
    // Stores a value without the checks of Set (defaults, values the engine computes).
    void Store(const GUID& set, DBPROPID id, const VARIANT& value);

    HRESULT Get(ULONG cIdSets, const DBPROPIDSET rgIdSets[], ULONG* pcSets, DBPROPSET** prgSets,
                const SetFilter& readable, const Dynamic& dynamic) const;
    HRESULT Set(ULONG cSets, DBPROPSET rgSets[], const SetFilter& writable);
    HRESULT GetInfo(ULONG cIdSets, const DBPROPIDSET rgIdSets[], ULONG* pcInfoSets, DBPROPINFOSET** prgInfoSets,
                    OLECHAR** ppDescBuffer, const SetFilter& readable) const;

private:
    struct Key {
        GUID set;
        DBPROPID id;
        bool operator<(const Key& o) const;
    };

    std::span<const PropertyInfo> m_supported;
    std::map<Key, VARIANT> m_values;
};

}  // namespace orv::engine
