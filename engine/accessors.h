// The accessors an object has made (a rowset's row accessors, a command's parameter
// accessors), found by handle: each is counted by AddRef and Release and dropped at its
// last Release, and GetBindings hands a copy of its bindings to the consumer. What a
// binding may be is the maker's to check; the table only keeps the accepted ones.
//
// One thread at a time, its owner's.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/com.h"
#include "platform/oledb/errors.h"
#include "platform/oledb/types.h"

namespace orv::engine {

struct Accessor {
    // Room for `count` bindings, so that a kept binding's pObject stays where it points.
    Accessor(DBACCESSORFLAGS accessorFlags, std::size_t count) : flags(accessorFlags) {
        bindings.reserve(count);
        objects.reserve(count);
    }

    ULONG refs = 1;
    DBACCESSORFLAGS flags = 0;
    std::vector<DBBINDING> bindings;  // pTypeInfo and pBindExt cleared; pObject into `objects`
    std::vector<DBOBJECT> objects;  // copies of the bindings' pObject
    DBLENGTH setSize = 0;  // parameter accessors: bytes between two parameter sets

    // Keeps a copy of `b`, its object description included.
    void Keep(const DBBINDING& b) {
        DBBINDING copy = b;
        copy.pTypeInfo = nullptr;
        copy.pBindExt = nullptr;
        if (b.pObject) {
            objects.push_back(*b.pObject);
            copy.pObject = &objects.back();
        }
        bindings.push_back(copy);
    }
};

class AccessorTable {
public:
    HACCESSOR Add(std::unique_ptr<Accessor> accessor) {
        const auto handle = reinterpret_cast<HACCESSOR>(accessor.get());
        m_accessors.push_back(std::move(accessor));
        return handle;
    }

    Accessor* Find(HACCESSOR handle) const {
        for (const auto& a : m_accessors)
            if (reinterpret_cast<HACCESSOR>(a.get()) == handle) return a.get();
        return nullptr;
    }

    HRESULT AddRef(HACCESSOR handle, DBREFCOUNT* refs) const {
        Accessor* a = Find(handle);
        if (!a) return DB_E_BADACCESSORHANDLE;
        ++a->refs;
        if (refs) *refs = a->refs;
        return S_OK;
    }

    HRESULT Release(HACCESSOR handle, DBREFCOUNT* refs) {
        Accessor* a = Find(handle);
        if (!a) return DB_E_BADACCESSORHANDLE;
        const ULONG left = --a->refs;
        if (refs) *refs = left;
        if (left == 0)
            m_accessors.erase(std::find_if(m_accessors.begin(), m_accessors.end(),
                                           [a](const std::unique_ptr<Accessor>& p) { return p.get() == a; }));
        return S_OK;
    }

    // The bindings in task memory, each object description in a block of its own.
    HRESULT GetBindings(HACCESSOR handle, DBACCESSORFLAGS* flags, DBCOUNTITEM* count, DBBINDING** bindings) const {
        if (count) *count = 0;
        if (bindings) *bindings = nullptr;
        if (!flags || !count || !bindings) return E_INVALIDARG;
        const Accessor* a = Find(handle);
        if (!a) return DB_E_BADACCESSORHANDLE;
        auto* out = static_cast<DBBINDING*>(CoTaskMemAlloc(a->bindings.size() * sizeof(DBBINDING)));
        if (!out) return E_OUTOFMEMORY;
        for (std::size_t i = 0; i < a->bindings.size(); ++i) {
            out[i] = a->bindings[i];
            if (out[i].pObject) {
                out[i].pObject = static_cast<DBOBJECT*>(CoTaskMemAlloc(sizeof(DBOBJECT)));
                if (out[i].pObject) *out[i].pObject = *a->bindings[i].pObject;
            }
        }
        *flags = a->flags;
        *count = a->bindings.size();
        *bindings = out;
        return S_OK;
    }

private:
    std::vector<std::unique_ptr<Accessor>> m_accessors;
};

}  // namespace orv::engine
