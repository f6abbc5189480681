// What a GetProperties or GetPropertyInfo call hands back, owned: the arrays of sets, of
// properties and their values (and the descriptions' buffer), freed together as the caller
// of those methods must free them. Every consumer that asks an object for some properties
// goes through QueryProperties, so that no caller repeats the freeing loop.
#pragma once

#include <initializer_list>

#include "platform/oleauto.h"
#include "platform/oledb.h"

namespace orv::platform {

// Clears every value and frees every array of `count` property sets, then the sets.
void FreePropertySets(ULONG count, DBPROPSET* sets);

// The property sets a GetProperties call returned. Even a failed call
// (DB_E_ERRORSOCCURRED) may return sets, holding each property's status; they are freed
// all the same.
class ReturnedPropertySets {
public:
    ReturnedPropertySets() = default;
    ~ReturnedPropertySets() { FreePropertySets(m_count, m_sets); }
    ReturnedPropertySets(const ReturnedPropertySets&) = delete;
    ReturnedPropertySets& operator=(const ReturnedPropertySets&) = delete;

    // The out-parameters of GetProperties; meant for one call on an empty holder.
    ULONG* CountOut() { return &m_count; }
    DBPROPSET** SetsOut() { return &m_sets; }

    // The value of the first property returned as `id`, or null when none was.
    const VARIANT* Value(DBPROPID id) const;
    // True when a property returned as `id` is the boolean true.
    bool IsTrue(DBPROPID id) const;

private:
    ULONG m_count = 0;
    DBPROPSET* m_sets = nullptr;
};

// Asks `source` (IDBProperties, ICommandProperties, IRowsetInfo, ...) for the properties
// `ids` of the set `set`.
template <class Source>
HRESULT QueryProperties(Source* source, const GUID& set, std::initializer_list<DBPROPID> ids,
                        ReturnedPropertySets& out) {
    DBPROPIDSET request;
    request.rgPropertyIDs = const_cast<DBPROPID*>(ids.begin());
    request.cPropertyIDs = static_cast<ULONG>(ids.size());
    request.guidPropertySet = set;
    return source->GetProperties(1, &request, out.CountOut(), out.SetsOut());
}

// The property descriptions a GetPropertyInfo call returned, with their string buffer.
class ReturnedPropertyInfo {
public:
    ReturnedPropertyInfo() = default;
    ~ReturnedPropertyInfo();
    ReturnedPropertyInfo(const ReturnedPropertyInfo&) = delete;
    ReturnedPropertyInfo& operator=(const ReturnedPropertyInfo&) = delete;

    // The out-parameters of GetPropertyInfo; meant for one call on an empty holder.
    ULONG* CountOut() { return &m_count; }
    DBPROPINFOSET** SetsOut() { return &m_sets; }
    OLECHAR** BufferOut() { return &m_buffer; }

    ULONG Count() const { return m_count; }
    const DBPROPINFOSET& operator[](ULONG index) const { return m_sets[index]; }

private:
    ULONG m_count = 0;
    DBPROPINFOSET* m_sets = nullptr;
    OLECHAR* m_buffer = nullptr;
};

}  // namespace orv::platform
