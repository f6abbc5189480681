// Implementation helper for COM objects: reference counting and QueryInterface over a
// list of interfaces, so that each object class states only what it offers.
//
// An object starts with one reference, owned by whoever created it; it deletes itself when
// the last reference is released. Reference counting is atomic, so references may be
// added and released on any thread; everything else about an object is its own class's
// affair.
#pragma once

#include <atomic>
#include <new>
#include <tuple>
#include <type_traits>

#include "platform/com.h"

namespace orv::platform {

namespace detail {
template <class I, class = void>
struct BaseOf {
    using type = void;
};
template <class I>
struct BaseOf<I, std::void_t<typename I::BaseInterface>> {
    using type = typename I::BaseInterface;
};

// True when `riid` names interface I or one of the interfaces it derives from (an
// interface declares its parent, other than IUnknown, as `BaseInterface`).
template <class I>
bool Matches(REFIID riid) {
    if (riid == I::iid) return true;
    using Base = typename BaseOf<I>::type;
    if constexpr (!std::is_void_v<Base> && !std::is_same_v<Base, I>) return Matches<Base>(riid);
    else return false;
}
}  // namespace detail

template <class... Interfaces>
class ComObject : public Interfaces... {
    using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;

public:
    ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(static_cast<First*>(this));
        } else {
            (void)(... || Find<Interfaces>(riid, ppv));
            if (!*ppv) *ppv = QueryExtra(riid);
        }
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }

    // The object as IUnknown, without adding a reference.
    IUnknown* Identity() { return static_cast<IUnknown*>(static_cast<First*>(this)); }

protected:
    virtual ~ComObject() = default;

    // Lets a class offer an interface only in some states (an optional interface of a
    // provider object); the pointer returned is not yet AddRef'ed.
    virtual void* QueryExtra(REFIID) { return nullptr; }

private:
    template <class I>
    bool Find(REFIID riid, void** ppv) {
        if (!detail::Matches<I>(riid)) return false;
        *ppv = static_cast<I*>(this);
        return true;
    }

    std::atomic<ULONG> m_refs{1};
};

// Creates an object of class T and hands out the interface asked for: the pattern behind
// every class factory. The creation reference is dropped, so a failed query frees it.
template <class T, class... Args>
HRESULT CreateComObject(IUnknown* outer, REFIID riid, void** ppv, Args&&... args) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    T* object = nullptr;
    // A constructor that allocates may throw: the caller is a COM method or a class
    // factory, which returns a code instead.
    try {
        object = new T(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

}  // namespace orv::platform
