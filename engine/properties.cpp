#include "engine/properties.h"

#include <cstring>
#include <vector>

#include "platform/property_sets.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

const VARIANT& EmptyVariant() {
    static const VARIANT empty = [] {
        VARIANT v;
        VariantInit(&v);
        return v;
    }();
    return empty;
}

// The sets a request names: all supported sets for an empty request.
std::vector<GUID> RequestedSets(std::span<const PropertyInfo> supported, ULONG cIdSets, const DBPROPIDSET rg[]) {
    std::vector<GUID> sets;
    if (cIdSets == 0) {
        for (const PropertyInfo& p : supported) {
            bool seen = false;
            for (const GUID& g : sets) seen = seen || g == *p.set;
            if (!seen) sets.push_back(*p.set);
        }
    } else {
        for (ULONG i = 0; i < cIdSets; ++i) sets.push_back(rg[i].guidPropertySet);
    }
    return sets;
}

// The special sets of GetPropertyInfo that stand for every set of a property group.
DBPROPFLAGS GroupOf(const GUID& set) {
    if (set == DBPROPSET_DBINITALL) return DBPROPFLAGS_DBINIT;
    if (set == DBPROPSET_DATASOURCEALL) return DBPROPFLAGS_DATASOURCE;
    if (set == DBPROPSET_DATASOURCEINFOALL) return DBPROPFLAGS_DATASOURCEINFO;
    if (set == DBPROPSET_ROWSETALL) return DBPROPFLAGS_ROWSET;
    if (set == DBPROPSET_SESSIONALL) return DBPROPFLAGS_SESSION;
    return 0;
}

// Replaces each group set of a GetPropertyInfo request by the supported sets of its group;
// those expand to all their properties, as a set named without property ids does.
std::vector<DBPROPIDSET> ExpandGroups(std::span<const PropertyInfo> supported, ULONG cIdSets, const DBPROPIDSET rg[]) {
    std::vector<DBPROPIDSET> expanded;
    for (ULONG i = 0; i < cIdSets; ++i) {
        DBPROPFLAGS group = GroupOf(rg[i].guidPropertySet);
        if (!group) {
            expanded.push_back(rg[i]);
            continue;
        }
        for (const PropertyInfo& p : supported) {
            if (!(p.flags & group)) continue;
            bool seen = false;
            for (const DBPROPIDSET& e : expanded) seen = seen || e.guidPropertySet == *p.set;
            if (!seen) expanded.push_back(DBPROPIDSET{nullptr, 0, *p.set});
        }
    }
    return expanded;
}

template <class T>
T* AllocArray(std::size_t n) {
    return static_cast<T*>(CoTaskMemAlloc(sizeof(T) * (n ? n : 1)));
}

}  // namespace

bool PropertyBag::Key::operator<(const Key& o) const {
    int c = std::memcmp(&set, &o.set, sizeof(GUID));
    return c != 0 ? c < 0 : id < o.id;
}

PropertyBag::PropertyBag(std::span<const PropertyInfo> supported) : m_supported(supported) {}

PropertyBag::~PropertyBag() {
    for (auto& [key, value] : m_values) VariantClear(&value);
}

const PropertyInfo* PropertyBag::Find(const GUID& set, DBPROPID id) const {
    for (const PropertyInfo& p : m_supported)
        if (p.id == id && *p.set == set) return &p;
    return nullptr;
}

const PropertyInfo* PropertyBag::FindByDescription(std::u16string_view description) const {
    std::u16string wanted(description);
    for (const PropertyInfo& p : m_supported)
        if (platform::CompareNoCase16(p.description, wanted.c_str()) == 0) return &p;
    return nullptr;
}

const VARIANT& PropertyBag::Value(const GUID& set, DBPROPID id) const {
    auto it = m_values.find(Key{set, id});
    return it == m_values.end() ? EmptyVariant() : it->second;
}

std::u16string PropertyBag::String(const GUID& set, DBPROPID id) const {
    const VARIANT& v = Value(set, id);
    return v.vt == VT_BSTR && v.bstrVal ? std::u16string(v.bstrVal, SysStringLen(v.bstrVal)) : std::u16string();
}

LONG PropertyBag::Integer(const GUID& set, DBPROPID id, LONG fallback) const {
    const VARIANT& v = Value(set, id);
    switch (v.vt) {
    case VT_I4: return v.lVal;
    case VT_I2: return v.iVal;
    case VT_I8: return static_cast<LONG>(v.llVal);
    default: return fallback;
    }
}

bool PropertyBag::Boolean(const GUID& set, DBPROPID id, bool fallback) const {
    const VARIANT& v = Value(set, id);
    return v.vt == VT_BOOL ? v.boolVal != VARIANT_FALSE : fallback;
}

void PropertyBag::Store(const GUID& set, DBPROPID id, const VARIANT& value) {
    VARIANT& slot = m_values[Key{set, id}];  // a new slot is zero-filled: VT_EMPTY
    VariantCopy(&slot, &value);
}

HRESULT PropertyBag::Get(ULONG cIdSets, const DBPROPIDSET rgIdSets[], ULONG* pcSets, DBPROPSET** prgSets,
                         const SetFilter& readable, const Dynamic& dynamic) const {
    if (pcSets) *pcSets = 0;
    if (prgSets) *prgSets = nullptr;
    if (!pcSets || !prgSets || (cIdSets && !rgIdSets)) return E_INVALIDARG;
    for (ULONG i = 0; i < cIdSets; ++i)
        if (rgIdSets[i].cPropertyIDs && !rgIdSets[i].rgPropertyIDs) return E_INVALIDARG;

    std::vector<GUID> sets = RequestedSets(m_supported, cIdSets, rgIdSets);
    auto* out = AllocArray<DBPROPSET>(sets.size());
    if (!out) return E_OUTOFMEMORY;
    std::size_t good = 0, bad = 0;

    for (std::size_t s = 0; s < sets.size(); ++s) {
        const GUID& set = sets[s];
        const bool available = readable(set);
        std::vector<DBPROPID> ids;
        if (cIdSets && rgIdSets[s].cPropertyIDs) {
            ids.assign(rgIdSets[s].rgPropertyIDs, rgIdSets[s].rgPropertyIDs + rgIdSets[s].cPropertyIDs);
        } else if (available) {
            for (const PropertyInfo& p : m_supported)
                if (*p.set == set) ids.push_back(p.id);
        }
        DBPROPSET& result = out[s];
        result.guidPropertySet = set;
        result.cProperties = static_cast<ULONG>(ids.size());
        result.rgProperties = ids.empty() ? nullptr : AllocArray<DBPROP>(ids.size());
        if (!ids.empty() && !result.rgProperties) {
            orv::platform::FreePropertySets(static_cast<ULONG>(s), out);
            return E_OUTOFMEMORY;
        }
        if (ids.empty() && cIdSets && rgIdSets[s].cPropertyIDs == 0 && !available) ++bad;  // a whole set refused

        for (std::size_t k = 0; k < ids.size(); ++k) {
            DBPROP& prop = result.rgProperties[k];
            std::memset(&prop, 0, sizeof(prop));
            prop.dwPropertyID = ids[k];
            prop.dwOptions = DBPROPOPTIONS_REQUIRED;
            prop.colid = DB_NULLID;
            VariantInit(&prop.vValue);
            if (!available || !Find(set, ids[k])) {
                prop.dwStatus = DBPROPSTATUS_NOTSUPPORTED;
                ++bad;
                continue;
            }
            if (!(dynamic && dynamic(set, ids[k], &prop.vValue))) VariantCopy(&prop.vValue, &Value(set, ids[k]));
            prop.dwStatus = DBPROPSTATUS_OK;
            ++good;
        }
    }
    *pcSets = static_cast<ULONG>(sets.size());
    *prgSets = out;
    if (bad == 0) return S_OK;
    return good ? DB_S_ERRORSOCCURRED : DB_E_ERRORSOCCURRED;
}

HRESULT PropertyBag::Set(ULONG cSets, DBPROPSET rgSets[], const SetFilter& writable) {
    if (cSets && !rgSets) return E_INVALIDARG;
    for (ULONG s = 0; s < cSets; ++s)
        if (rgSets[s].cProperties && !rgSets[s].rgProperties) return E_INVALIDARG;
    std::size_t good = 0, bad = 0;
    for (ULONG s = 0; s < cSets; ++s) {
        DBPROPSET& set = rgSets[s];
        for (ULONG k = 0; k < set.cProperties; ++k) {
            DBPROP& prop = set.rgProperties[k];
            const PropertyInfo* info = Find(set.guidPropertySet, prop.dwPropertyID);
            if (prop.dwOptions != DBPROPOPTIONS_REQUIRED && prop.dwOptions != DBPROPOPTIONS_OPTIONAL) {
                prop.dwStatus = DBPROPSTATUS_BADOPTION;
            } else if (!info) {
                prop.dwStatus = DBPROPSTATUS_NOTSUPPORTED;
            } else if (!(info->flags & DBPROPFLAGS_WRITE) || !writable(set.guidPropertySet)) {
                prop.dwStatus = DBPROPSTATUS_NOTSETTABLE;
            } else if (prop.vValue.vt != VT_EMPTY && prop.vValue.vt != info->type) {
                prop.dwStatus = DBPROPSTATUS_BADVALUE;
            } else {
                if (prop.vValue.vt == VT_EMPTY) {
                    auto it = m_values.find(Key{set.guidPropertySet, prop.dwPropertyID});
                    if (it != m_values.end()) {
                        VariantClear(&it->second);
                        m_values.erase(it);
                    }
                } else {
                    Store(set.guidPropertySet, prop.dwPropertyID, prop.vValue);
                }
                prop.dwStatus = DBPROPSTATUS_OK;
                ++good;
                continue;
            }
            // An optional property that could not be set is not an error of the call.
            if (prop.dwOptions == DBPROPOPTIONS_OPTIONAL && prop.dwStatus != DBPROPSTATUS_BADOPTION)
                prop.dwStatus = DBPROPSTATUS_NOTSET;
            ++bad;
        }
    }
    if (bad == 0) return S_OK;
    return good ? DB_S_ERRORSOCCURRED : DB_E_ERRORSOCCURRED;
}

HRESULT PropertyBag::GetInfo(ULONG cIdSets, const DBPROPIDSET rgIdSets[], ULONG* pcInfoSets,
                             DBPROPINFOSET** prgInfoSets, OLECHAR** ppDescBuffer, const SetFilter& readable) const {
    if (pcInfoSets) *pcInfoSets = 0;
    if (prgInfoSets) *prgInfoSets = nullptr;
    if (ppDescBuffer) *ppDescBuffer = nullptr;
    if (!pcInfoSets || !prgInfoSets || (cIdSets && !rgIdSets)) return E_INVALIDARG;
    std::vector<DBPROPIDSET> expanded = ExpandGroups(m_supported, cIdSets, rgIdSets);
    if (cIdSets) {
        if (expanded.empty()) return DB_E_ERRORSOCCURRED;
        cIdSets = static_cast<ULONG>(expanded.size());
        rgIdSets = expanded.data();
    }

    std::vector<GUID> sets = RequestedSets(m_supported, cIdSets, rgIdSets);
    std::vector<std::vector<const PropertyInfo*>> chosen(sets.size());
    std::vector<std::vector<DBPROPID>> unknown(sets.size());
    std::size_t descriptionChars = 0, good = 0, bad = 0;
    for (std::size_t s = 0; s < sets.size(); ++s) {
        const bool available = readable(sets[s]);
        if (cIdSets && rgIdSets[s].cPropertyIDs) {
            for (ULONG k = 0; k < rgIdSets[s].cPropertyIDs; ++k) {
                const PropertyInfo* p = available ? Find(sets[s], rgIdSets[s].rgPropertyIDs[k]) : nullptr;
                if (p) {
                    chosen[s].push_back(p);
                    ++good;
                } else {
                    unknown[s].push_back(rgIdSets[s].rgPropertyIDs[k]);
                    ++bad;
                }
            }
        } else if (available) {
            for (const PropertyInfo& p : m_supported)
                if (*p.set == sets[s]) chosen[s].push_back(&p);
        }
        for (const PropertyInfo* p : chosen[s]) descriptionChars += platform::StrLen16(p->description) + 1;
    }

    auto* out = AllocArray<DBPROPINFOSET>(sets.size());
    OLECHAR* buffer = ppDescBuffer ? AllocArray<OLECHAR>(descriptionChars) : nullptr;
    if (!out || (ppDescBuffer && !buffer)) {
        CoTaskMemFree(out);
        CoTaskMemFree(buffer);
        return E_OUTOFMEMORY;
    }
    OLECHAR* next = buffer;
    for (std::size_t s = 0; s < sets.size(); ++s) {
        std::size_t n = chosen[s].size() + unknown[s].size();
        out[s].guidPropertySet = sets[s];
        out[s].cPropertyInfos = static_cast<ULONG>(n);
        out[s].rgPropertyInfos = n ? AllocArray<DBPROPINFO>(n) : nullptr;
        std::size_t k = 0;
        for (const PropertyInfo* p : chosen[s]) {
            DBPROPINFO& info = out[s].rgPropertyInfos[k++];
            info.dwPropertyID = p->id;
            info.dwFlags = p->flags;
            info.vtType = p->type;
            VariantInit(&info.vValues);
            info.pwszDescription = nullptr;
            if (next) {
                std::size_t len = platform::StrLen16(p->description);
                std::memcpy(next, p->description, (len + 1) * sizeof(OLECHAR));
                info.pwszDescription = next;
                next += len + 1;
            }
        }
        for (DBPROPID id : unknown[s]) {
            DBPROPINFO& info = out[s].rgPropertyInfos[k++];
            info.dwPropertyID = id;
            info.dwFlags = DBPROPFLAGS_NOTSUPPORTED;
            info.vtType = VT_EMPTY;
            VariantInit(&info.vValues);
            info.pwszDescription = nullptr;
        }
    }
    *pcInfoSets = static_cast<ULONG>(sets.size());
    *prgInfoSets = out;
    if (ppDescBuffer) *ppDescBuffer = buffer;
    if (bad == 0) return S_OK;
    return good ? DB_S_ERRORSOCCURRED : DB_E_ERRORSOCCURRED;
}

}  // namespace orv::engine
