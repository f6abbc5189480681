// COM error objects: the per-thread error object (SetErrorInfo/GetErrorInfo), the OLE DB
// error object with any number of records (IErrorRecords), and the custom SQL error
// object (ISQLErrorInfo).
//
// Ownership: SetErrorInfo takes a reference on the object it is given; GetErrorInfo hands
// the thread's object to the caller (one reference) and clears the thread's slot, so a
// second read finds nothing. Each thread has its own slot: the error object of a failed
// call must be read on the thread that made the call.
#pragma once

#include <string>
#include <vector>

#include "platform/com.h"

typedef LONG DISPID;

struct DISPPARAMS {
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

// What identifies one error record; the texts come from IErrorInfo.
struct ERRORINFO {
    HRESULT hrError;
    DWORD dwMinor;
    CLSID clsid;
    IID iid;
    DISPID dispid;
};

#define IDENTIFIER_SDK_MASK 0xF0000000
#define IDENTIFIER_SDK_ERROR 0x10000000

struct IErrorInfo : IUnknown {
    ORV_IID(0x1CF2B120, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19);
    virtual HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSource(BSTR* pBstrSource) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDescription(BSTR* pBstrDescription) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* pBstrHelpFile) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* pdwHelpContext) = 0;

protected:
    ~IErrorInfo() = default;
};
inline constexpr IID IID_IErrorInfo = IErrorInfo::iid;

struct ICreateErrorInfo : IUnknown {
    ORV_IID(0x22F03340, 0x547D, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19);
    virtual HRESULT STDMETHODCALLTYPE SetGUID(REFGUID rguid) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR szSource) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR szDescription) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR szHelpFile) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD dwHelpContext) = 0;

protected:
    ~ICreateErrorInfo() = default;
};
inline constexpr IID IID_ICreateErrorInfo = ICreateErrorInfo::iid;

struct IErrorRecords : IUnknown {
    ORV_IID(0x0C733A67, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE AddErrorRecord(ERRORINFO* pErrorInfo, DWORD dwLookupID, DISPPARAMS* pdispparams,
                                                     IUnknown* punkCustomError, DWORD dwDynamicErrorID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBasicErrorInfo(ULONG ulRecordNum, ERRORINFO* pErrorInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCustomErrorObject(ULONG ulRecordNum, REFIID riid, IUnknown** ppObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetErrorInfo(ULONG ulRecordNum, LCID lcid, IErrorInfo** ppErrorInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetErrorParameters(ULONG ulRecordNum, DISPPARAMS* pdispparams) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRecordCount(ULONG* pcRecords) = 0;

protected:
    ~IErrorRecords() = default;
};
inline constexpr IID IID_IErrorRecords = IErrorRecords::iid;

struct ISQLErrorInfo : IUnknown {
    ORV_IID(0x0C733A74, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE GetSQLInfo(BSTR* pbstrSQLState, LONG* plNativeError) = 0;

protected:
    ~ISQLErrorInfo() = default;
};
inline constexpr IID IID_ISQLErrorInfo = ISQLErrorInfo::iid;

extern "C" {
// Replaces the calling thread's error object (null clears it).
ORV_API HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
// Hands the calling thread's error object to the caller and clears the slot; S_FALSE and a
// null pointer when there is none.
ORV_API HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);
// Creates a plain error object to fill through ICreateErrorInfo.
ORV_API HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo);
}

namespace orv::platform {

// One record of an OLE DB error object as a provider describes it.
struct ErrorRecord {
    HRESULT hrError = E_FAIL;
    DWORD minor = 0;
    CLSID clsid = GUID_NULL;  // the class of the object that failed
    IID iid = GUID_NULL;  // the interface whose method failed
    std::u16string description;
    std::u16string source;
    std::u16string helpFile;
    DWORD helpContext = 0;
    // Optional custom error object, typically an ISQLErrorInfo; one reference is held.
    IUnknown* custom = nullptr;
};

// Builds an OLE DB error object holding `records` (record 0 first) and makes it the calling
// thread's error object. The records' custom objects are AddRef'ed, not adopted.
ORV_API HRESULT PostErrorRecords(const std::vector<ErrorRecord>& records);

// Creates a custom error object answering ISQLErrorInfo with a SQLSTATE and a native code.
ORV_API HRESULT CreateSQLErrorInfo(const OLECHAR* sqlState, LONG nativeError, IUnknown** out);

}  // namespace orv::platform
