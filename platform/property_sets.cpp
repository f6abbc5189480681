// Freeing what GetProperties and GetPropertyInfo return, and looking into it.
#include "platform/property_sets.h"

namespace orv::platform {

void FreePropertySets(ULONG count, DBPROPSET* sets) {
    if (!sets) return;
    for (ULONG s = 0; s < count; ++s) {
        for (ULONG p = 0; p < sets[s].cProperties; ++p) VariantClear(&sets[s].rgProperties[p].vValue);
        CoTaskMemFree(sets[s].rgProperties);
    }
    CoTaskMemFree(sets);
}

const VARIANT* ReturnedPropertySets::Value(DBPROPID id) const {
    for (ULONG s = 0; s < m_count && m_sets; ++s)
        for (ULONG p = 0; p < m_sets[s].cProperties; ++p)
            if (m_sets[s].rgProperties[p].dwPropertyID == id) return &m_sets[s].rgProperties[p].vValue;
    return nullptr;
}

bool ReturnedPropertySets::IsTrue(DBPROPID id) const {
    const VARIANT* value = Value(id);
    return value && value->vt == VT_BOOL && value->boolVal == VARIANT_TRUE;
}

ReturnedPropertyInfo::~ReturnedPropertyInfo() {
    for (ULONG s = 0; s < m_count && m_sets; ++s) {
        for (ULONG k = 0; k < m_sets[s].cPropertyInfos; ++k) VariantClear(&m_sets[s].rgPropertyInfos[k].vValues);
        CoTaskMemFree(m_sets[s].rgPropertyInfos);
    }
    CoTaskMemFree(m_sets);
    CoTaskMemFree(m_buffer);
}

}  // namespace orv::platform
