// COM runtime: task memory, BSTR, VARIANT, per-thread initialisation and the class
// registry behind CoCreateInstance.
#include "platform/com.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com_object.h"
#include "platform/utf.h"

// ---- Task memory -------------------------------------------------------------------------

LPVOID CoTaskMemAlloc(std::size_t cb) { return std::malloc(cb ? cb : 1); }
LPVOID CoTaskMemRealloc(LPVOID pv, std::size_t cb) { return std::realloc(pv, cb ? cb : 1); }
void CoTaskMemFree(LPVOID pv) { std::free(pv); }

// ---- BSTR --------------------------------------------------------------------------------

namespace {

constexpr std::size_t kPrefix = sizeof(std::uint32_t);

// Allocates a BSTR block for `bytes` bytes of text plus the terminator (two NUL bytes, so
// that byte-length strings of odd size still end in a whole NUL character).
BSTR AllocateBstrBytes(UINT bytes) {
    auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR) + 1));
    if (!block) return nullptr;
    std::uint32_t length = bytes;
    std::memcpy(block, &length, kPrefix);
    std::memset(block + kPrefix + bytes, 0, sizeof(OLECHAR) + 1);
    return reinterpret_cast<BSTR>(block + kPrefix);
}

unsigned char* BlockOf(BSTR bstr) { return reinterpret_cast<unsigned char*>(bstr) - kPrefix; }

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
    if (!psz) return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(orv::platform::StrLen16(psz)));
}

BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
    BSTR bstr = AllocateBstrBytes(cch * sizeof(OLECHAR));
    if (!bstr) return nullptr;
    if (pch) std::memcpy(bstr, pch, cch * sizeof(OLECHAR));
    else std::memset(bstr, 0, cch * sizeof(OLECHAR));
    return bstr;
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) {
    BSTR bstr = AllocateBstrBytes(len);
    if (!bstr) return nullptr;
    if (psz) std::memcpy(bstr, psz, len);
    else std::memset(bstr, 0, len);
    return bstr;
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT cch) {
    if (!pbstr) return FALSE;
    BSTR fresh = SysAllocStringLen(psz, cch);  // psz may point into *pbstr: copy first
    if (!fresh) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    return SysReAllocStringLen(pbstr, psz, static_cast<UINT>(orv::platform::StrLen16(psz)));
}

void SysFreeString(BSTR bstr) {
    if (bstr) std::free(BlockOf(bstr));
}

UINT SysStringByteLen(BSTR bstr) {
    if (!bstr) return 0;
    std::uint32_t length;
    std::memcpy(&length, BlockOf(bstr), kPrefix);
    return length;
}

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(OLECHAR); }

// ---- VARIANT -----------------------------------------------------------------------------

void VariantInit(VARIANT* pvarg) {
    if (!pvarg) return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

HRESULT VariantClear(VARIANT* pvarg) {
    if (!pvarg) return E_INVALIDARG;
    if (!(pvarg->vt & VT_BYREF)) {
        switch (pvarg->vt) {
        case VT_BSTR: SysFreeString(pvarg->bstrVal); break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (pvarg->punkVal) pvarg->punkVal->Release();
            break;
        default:
            if (pvarg->vt & VT_ARRAY) {
                HRESULT hr = SafeArrayDestroy(pvarg->parray);
                if (FAILED(hr)) return hr;
            }
            break;
        }
    }
    pvarg->vt = VT_EMPTY;
    pvarg->llVal = 0;
    return S_OK;
}

HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) {
    if (!pvargDest || !pvargSrc) return E_INVALIDARG;
    if (pvargDest == pvargSrc) return S_OK;
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) return hr;
    VARIANT copy = *pvargSrc;
    if (!(copy.vt & VT_BYREF)) {
        if ((copy.vt & VT_ARRAY) && copy.parray) {
            hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
            if (FAILED(hr)) return hr;
        } else if (copy.vt == VT_BSTR && copy.bstrVal) {
            copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
            if (!copy.bstrVal) return E_OUTOFMEMORY;
        } else if ((copy.vt == VT_UNKNOWN || copy.vt == VT_DISPATCH) && copy.punkVal) {
            copy.punkVal->AddRef();
        }
    }
    *pvargDest = copy;
    return S_OK;
}

// ---- SAFEARRAY -----------------------------------------------------------------------------

namespace {

ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR: return 4;
    case VT_R8:
    case VT_I8:
    case VT_UI8:
    case VT_CY:
    case VT_DATE: return 8;
    default: return 0;
    }
}

// The header and the data in one block; the data follows the header at an 8-byte boundary.
constexpr std::size_t kArrayHeader = (sizeof(SAFEARRAY) + 7) / 8 * 8;

bool ValidVector(SAFEARRAY* psa, UINT nDim) { return psa && psa->cDims == 1 && nDim == 1; }

}  // namespace

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    const ULONG size = ElementSize(vt);
    if (size == 0) return nullptr;
    const std::size_t bytes = std::size_t(size) * cElements;
    auto* block = static_cast<unsigned char*>(std::calloc(1, kArrayHeader + bytes));
    if (!block) return nullptr;
    auto* psa = reinterpret_cast<SAFEARRAY*>(block);
    psa->cDims = 1;
    psa->cbElements = size;
    psa->pvData = block + kArrayHeader;
    psa->rgsabound[0].cElements = cElements;
    psa->rgsabound[0].lLbound = lLbound;
    return psa;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (!psa) return S_OK;
    if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
    std::free(psa);
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
    if (!ppsaOut) return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa) return S_OK;
    const std::size_t bytes = kArrayHeader + std::size_t(psa->cbElements) * psa->rgsabound[0].cElements;
    auto* block = static_cast<unsigned char*>(std::malloc(bytes));
    if (!block) return E_OUTOFMEMORY;
    std::memcpy(block, psa, bytes);
    auto* copy = reinterpret_cast<SAFEARRAY*>(block);
    copy->cLocks = 0;
    copy->pvData = block + kArrayHeader;
    *ppsaOut = copy;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (!psa || !ppvData) return E_INVALIDARG;
    ++psa->cLocks;
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    if (!psa) return E_INVALIDARG;
    if (psa->cLocks == 0) return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (!psa || !plLbound) return E_INVALIDARG;
    if (!ValidVector(psa, nDim)) return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (!psa || !plUbound) return E_INVALIDARG;
    if (!ValidVector(psa, nDim)) return DISP_E_BADINDEX;
    *plUbound = psa->rgsabound[0].lLbound + static_cast<LONG>(psa->rgsabound[0].cElements) - 1;
    return S_OK;
}

// ---- Initialisation ------------------------------------------------------------------------

namespace {
thread_local int t_comInitCount = 0;
}

HRESULT CoInitializeEx(LPVOID, DWORD) { return ++t_comInitCount == 1 ? S_OK : S_FALSE; }
HRESULT CoInitialize(LPVOID reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }
void CoUninitialize() {
    if (t_comInitCount > 0) --t_comInitCount;
}

int orv::platform::ComInitCount() { return t_comInitCount; }

// ---- Class registry ------------------------------------------------------------------------

namespace {

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

// ProgIDs compare without regard to case, as the Windows registry does.
struct ProgIdLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const {
        return orv::platform::CompareNoCase16(a.c_str(), b.c_str()) < 0;
    }
};

struct Registry {
    std::mutex lock;
    std::map<CLSID, orv::platform::ClassFactoryFunction, GuidLess> classes;
    std::map<std::u16string, CLSID, ProgIdLess> progIds;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // never destroyed: usable during static teardown
    return *registry;
}

orv::platform::ClassFactoryFunction FindFactory(REFCLSID clsid) {
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    auto it = r.classes.find(clsid);
    return it == r.classes.end() ? nullptr : it->second;
}

// The class object handed out by CoGetClassObject: a stateless factory over the registered
// creation function.
class RegisteredFactory final : public orv::platform::ComObject<IClassFactory> {
public:
    explicit RegisteredFactory(orv::platform::ClassFactoryFunction create) : m_create(create) {}
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        return m_create(outer, riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    orv::platform::ClassFactoryFunction m_create;
};

}  // namespace

HRESULT orv::platform::RegisterClass(REFCLSID clsid, const OLECHAR* progId, ClassFactoryFunction create) {
    if (!create) return E_INVALIDARG;
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    r.classes[clsid] = create;
    if (progId && *progId) r.progIds[progId] = clsid;
    return S_OK;
}

HRESULT orv::platform::RegisterProgId(const OLECHAR* progId, REFCLSID clsid) {
    if (!progId || !*progId) return E_INVALIDARG;
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    if (!r.classes.count(clsid)) return REGDB_E_CLASSNOTREG;
    r.progIds[progId] = clsid;
    return S_OK;
}

HRESULT orv::platform::UnregisterClass(REFCLSID clsid) {
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    if (!r.classes.erase(clsid)) return REGDB_E_CLASSNOTREG;
    for (auto it = r.progIds.begin(); it != r.progIds.end();)
        it = it->second == clsid ? r.progIds.erase(it) : std::next(it);
    return S_OK;
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN outer, DWORD clsContext, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // Every class of this runtime lives in the process.
    if (!(clsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER))) return REGDB_E_CLASSNOTREG;
    orv::platform::ClassFactoryFunction create = FindFactory(rclsid);
    if (!create) return REGDB_E_CLASSNOTREG;
    return create(outer, riid, ppv);
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD clsContext, LPVOID, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!(clsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER))) return REGDB_E_CLASSNOTREG;
    orv::platform::ClassFactoryFunction create = FindFactory(rclsid);
    if (!create) return REGDB_E_CLASSNOTREG;
    return orv::platform::CreateComObject<RegisteredFactory>(nullptr, riid, ppv, create);
}

HRESULT CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) {
    if (!progId || !clsid) return E_INVALIDARG;
    Registry& r = TheRegistry();
    std::lock_guard guard(r.lock);
    auto it = r.progIds.find(progId);
    if (it == r.progIds.end()) {
        *clsid = GUID_NULL;
        return CO_E_CLASSSTRING;
    }
    *clsid = it->second;
    return S_OK;
}
