// The OLE DB conversion library (IDataConvert).
#include <cstring>

#include "engine/error.h"
#include "platform/com_object.h"

namespace orv::engine {
namespace {

// Size in bytes of the fixed-length types; 0 for variable-length ones.
DBLENGTH FixedSize(DBTYPE type) {
    switch (type) {
    case DBTYPE_I1:
    case DBTYPE_UI1: return 1;
    case DBTYPE_I2:
    case DBTYPE_UI2:
    case DBTYPE_BOOL: return 2;
    case DBTYPE_I4:
    case DBTYPE_UI4:
    case DBTYPE_R4:
    case DBTYPE_ERROR: return 4;
    case DBTYPE_I8:
    case DBTYPE_UI8:
    case DBTYPE_R8:
    case DBTYPE_CY:
    case DBTYPE_DATE:
    case DBTYPE_FILETIME: return 8;
    case DBTYPE_DECIMAL: return sizeof(DECIMAL);
    case DBTYPE_NUMERIC: return sizeof(DB_NUMERIC);
    case DBTYPE_GUID: return sizeof(GUID);
    case DBTYPE_DBDATE: return sizeof(DBDATE);
    case DBTYPE_DBTIME: return sizeof(DBTIME);
    case DBTYPE_DBTIMESTAMP: return sizeof(DBTIMESTAMP);
    default: return 0;
    }
}

class ConversionLibrary final : public platform::ComObject<IDataConvert> {
public:
    HRESULT STDMETHODCALLTYPE DataConvert(DBTYPE srcType, DBTYPE dstType, DBLENGTH cbSrcLength, DBLENGTH* pcbDstLength,
                                          void* pSrc, void* pDst, DBLENGTH cbDstMaxLength, DBSTATUS dbsSrcStatus,
                                          DBSTATUS* pdbsStatus, BYTE, BYTE, DBDATACONVERT) override {
        if (pdbsStatus) *pdbsStatus = DBSTATUS_S_OK;
        if (dbsSrcStatus == DBSTATUS_S_ISNULL) {
            if (pdbsStatus) *pdbsStatus = DBSTATUS_S_ISNULL;
            if (pcbDstLength) *pcbDstLength = 0;
            return S_OK;
        }
        if (srcType != dstType || !FixedSize(srcType)) {
            if (pdbsStatus) *pdbsStatus = DBSTATUS_E_CANTCONVERTVALUE;
            return DB_E_UNSUPPORTEDCONVERSION;
        }
        if (!pSrc || !pDst) return E_INVALIDARG;
        (void)cbSrcLength;
        (void)cbDstMaxLength;
        std::memcpy(pDst, pSrc, FixedSize(srcType));
        if (pcbDstLength) *pcbDstLength = FixedSize(srcType);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CanConvert(DBTYPE srcType, DBTYPE dstType) override {
        return srcType == dstType && FixedSize(srcType) ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE GetConversionSize(DBTYPE srcType, DBTYPE dstType, DBLENGTH*, DBLENGTH* pcbDstLength,
                                                void*) override {
        if (!pcbDstLength) return E_INVALIDARG;
        if (srcType != dstType || !FixedSize(srcType)) return DB_E_UNSUPPORTEDCONVERSION;
        *pcbDstLength = FixedSize(srcType);
        return S_OK;
    }
};

}  // namespace

HRESULT CreateDataConvert(IUnknown* outer, REFIID riid, void** ppv) {
    return platform::CreateComObject<ConversionLibrary>(outer, riid, ppv);
}

}  // namespace orv::engine
