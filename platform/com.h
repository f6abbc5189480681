// The COM runtime that the library and its engine stand on: IUnknown, task memory, BSTR,
// VARIANT, per-thread initialisation and CoCreateInstance over an in-process class
// registry.
//
// Ownership follows COM: an interface pointer handed out carries one reference that the
// receiver releases; memory from CoTaskMemAlloc is freed with CoTaskMemFree; a BSTR with
// SysFreeString; a VARIANT's contents with VariantClear. Every function here may be called
// from any thread; the class registry takes its own lock.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "platform/wintypes.h"

// ---- Interfaces ----------------------------------------------------------------------------
//
// An interface is an abstract class with pure virtual methods and a static member `iid`,
// which templates (CComPtr, ComObject) use in place of the Windows compilers' __uuidof.

#define ORV_IID(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
    static constexpr IID iid = {d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}}

struct IUnknown {
    ORV_IID(0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;
inline constexpr IID IID_IUnknown = IUnknown::iid;

struct IClassFactory : IUnknown {
    ORV_IID(0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};
inline constexpr IID IID_IClassFactory = IClassFactory::iid;

// The late-bound interface; only its identity is needed (DBTYPE_IDISPATCH values).
struct IDispatch : IUnknown {
    ORV_IID(0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

protected:
    ~IDispatch() = default;
};
inline constexpr IID IID_IDispatch = IDispatch::iid;

// ---- Task memory -----------------------------------------------------------------------------

extern "C" {
ORV_API LPVOID CoTaskMemAlloc(std::size_t cb);
ORV_API LPVOID CoTaskMemRealloc(LPVOID pv, std::size_t cb);
ORV_API void CoTaskMemFree(LPVOID pv);
}

// ---- BSTR ------------------------------------------------------------------------------------
//
// A BSTR points at the first character of a block that starts four bytes earlier with the
// length in bytes and ends with a NUL that the length does not count. A null BSTR is the
// empty string for every function here.

extern "C" {
ORV_API BSTR SysAllocString(const OLECHAR* psz);
ORV_API BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);
ORV_API BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
ORV_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
ORV_API INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT cch);
ORV_API void SysFreeString(BSTR bstr);
ORV_API UINT SysStringLen(BSTR bstr);
ORV_API UINT SysStringByteLen(BSTR bstr);
}

// ---- VARIANT ---------------------------------------------------------------------------------

typedef unsigned short VARTYPE;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_FILETIME = 64,
    VT_CLSID = 72,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
};

// Currency: a 64-bit integer scaled by 10 000.
union CY {
    struct {
        ULONG Lo;
        LONG Hi;
    };
    LONGLONG int64;
};

// Decimal: 96-bit magnitude, a scale of 0 to 28 and a sign byte (0x80 for negative).
struct DECIMAL {
    USHORT wReserved;
    union {
        struct {
            BYTE scale;
            BYTE sign;
        };
        USHORT signscale;
    };
    ULONG Hi32;
    union {
        struct {
            ULONG Lo32;
            ULONG Mid32;
        };
        ULONGLONG Lo64;
    };
};
#define DECIMAL_NEG ((BYTE)0x80)

// A safe array. Only vectors (one dimension) of fixed-size elements are made here, which is
// what a VARIANT of bytes (VT_ARRAY | VT_UI1) needs; the block and the data are one
// allocation, freed by SafeArrayDestroy or by VariantClear of the VARIANT holding it.
struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};
struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};
typedef SAFEARRAY* LPSAFEARRAY;

struct VARIANT {
    union {
        struct {
            VARTYPE vt;
            WORD wReserved1;
            WORD wReserved2;
            WORD wReserved3;
            union {
                LONGLONG llVal;
                LONG lVal;
                BYTE bVal;
                SHORT iVal;
                FLOAT fltVal;
                DOUBLE dblVal;
                VARIANT_BOOL boolVal;
                SCODE scode;
                CY cyVal;
                DATE date;
                BSTR bstrVal;
                IUnknown* punkVal;
                IDispatch* pdispVal;
                VARIANT* pvarVal;
                void* byref;
                char cVal;
                USHORT uiVal;
                ULONG ulVal;
                ULONGLONG ullVal;
                INT intVal;
                UINT uintVal;
                SAFEARRAY* parray;
            };
        };
        DECIMAL decVal;  // overlays the whole VARIANT; its reserved word is `vt`
    };
};
typedef VARIANT VARIANTARG;

#define V_VT(v) ((v)->vt)
#define V_BSTR(v) ((v)->bstrVal)
#define V_I2(v) ((v)->iVal)
#define V_I4(v) ((v)->lVal)
#define V_I8(v) ((v)->llVal)
#define V_R8(v) ((v)->dblVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_UNKNOWN(v) ((v)->punkVal)

extern "C" {
ORV_API void VariantInit(VARIANT* pvarg);
ORV_API HRESULT VariantClear(VARIANT* pvarg);
ORV_API HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc);

// Vectors of VT_I1, VT_UI1, VT_I2, VT_UI2, VT_BOOL, VT_I4, VT_UI4, VT_R4, VT_R8, VT_I8, VT_UI8, VT_CY
// and VT_DATE elements, zeroed; null for other types or when memory is short.
ORV_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
// Fails with DISP_E_ARRAYISLOCKED while the data is accessed.
ORV_API HRESULT SafeArrayDestroy(SAFEARRAY* psa);
ORV_API HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
ORV_API HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
ORV_API HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
ORV_API UINT SafeArrayGetDim(SAFEARRAY* psa);
ORV_API HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
ORV_API HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
}

// ---- Initialisation and object creation ------------------------------------------------

enum CLSCTX : DWORD {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10,
    CLSCTX_ALL = 0x17,
};
enum COINIT : DWORD {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_DISABLE_OLE1DDE = 0x4,
};

extern "C" {
// Counts initialisations per thread: S_OK for the first, S_FALSE for each further one.
ORV_API HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
ORV_API HRESULT CoInitialize(LPVOID reserved);
ORV_API void CoUninitialize();
ORV_API HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN outer, DWORD clsContext, REFIID riid, LPVOID* ppv);
ORV_API HRESULT CoGetClassObject(REFCLSID rclsid, DWORD clsContext, LPVOID reserved, REFIID riid, LPVOID* ppv);
ORV_API HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid);
}

namespace orv::platform {

// Creates an object of one class: the registry calls it for CoCreateInstance.
using ClassFactoryFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

// The in-process class registry behind CoCreateInstance and CLSIDFromProgID. Providers
// register here under their CLSID and, optionally, a ProgID (a provider name such as
// "Microsoft.ACE.OLEDB.12.0"); tests register fakes the same way. A later registration of
// a CLSID replaces the earlier one.
ORV_API HRESULT RegisterClass(REFCLSID clsid, const OLECHAR* progId, ClassFactoryFunction create);
ORV_API HRESULT UnregisterClass(REFCLSID clsid);

// Adds a ProgID for a class registered before (a second provider name for one provider).
ORV_API HRESULT RegisterProgId(const OLECHAR* progId, REFCLSID clsid);

// Number of initialisations of COM on the calling thread not yet undone.
ORV_API int ComInitCount();

}  // namespace orv::platform

// ---- CComPtr ------------------------------------------------------------------------------

// Holds one reference on an interface, released when the holder goes out of scope.
template <class T>
class CComPtr {
public:
    CComPtr() noexcept = default;
    CComPtr(T* p) noexcept : p(p) {  // NOLINT: implicit as in ATL
        if (p) p->AddRef();
    }
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
    CComPtr(CComPtr&& other) noexcept : p(std::exchange(other.p, nullptr)) {}
    ~CComPtr() { Release(); }

    CComPtr& operator=(T* q) noexcept {
        if (q) q->AddRef();
        Release();
        p = q;
        return *this;
    }
    CComPtr& operator=(const CComPtr& other) noexcept { return *this = other.p; }
    CComPtr& operator=(CComPtr&& other) noexcept {
        if (this != std::addressof(other)) {
            Release();
            p = std::exchange(other.p, nullptr);
        }
        return *this;
    }

    void Release() noexcept {
        if (T* q = std::exchange(p, nullptr)) q->Release();
    }
    void Attach(T* q) noexcept {
        Release();
        p = q;
    }
    T* Detach() noexcept { return std::exchange(p, nullptr); }
    HRESULT CopyTo(T** out) const noexcept {
        if (!out) return E_POINTER;
        *out = p;
        if (p) p->AddRef();
        return S_OK;
    }

    template <class Q>
    HRESULT QueryInterface(Q** out) const noexcept {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!p) return E_POINTER;
        return p->QueryInterface(Q::iid, reinterpret_cast<void**>(out));
    }
    HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer = nullptr, DWORD context = CLSCTX_ALL) noexcept {
        Release();
        return ::CoCreateInstance(clsid, outer, context, T::iid, reinterpret_cast<void**>(&p));
    }

    operator T*() const noexcept { return p; }  // NOLINT: as in ATL
    T& operator*() const noexcept { return *p; }
    T* operator->() const noexcept { return p; }
    // For out-parameters: the holder must be empty, as ATL asserts.
    T** operator&() noexcept { return &p; }
    bool operator!() const noexcept { return p == nullptr; }

    T* p = nullptr;
};
