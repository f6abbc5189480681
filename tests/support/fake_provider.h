// A strict hand-written fake provider, registered in the class registry under its own
// provider name, to produce what the real engine never does: a data source without
// connection status, a failing Initialize, a failing session.
#pragma once

#include <gtest/gtest.h>

#include "platform/com_object.h"
#include "platform/platform.h"

namespace orv::test {

struct FakeProviderBehaviour {
    bool supportsConnectionStatus = true;
    HRESULT initializeResult = S_OK;
    HRESULT sessionResult = S_OK;
    const char16_t* initializeError = nullptr;  // description of the error record Initialize leaves
};

inline FakeProviderBehaviour& FakeBehaviour() {
    static FakeProviderBehaviour behaviour;
    return behaviour;
}

class FakeSession : public platform::ComObject<IOpenRowset> {
public:
    HRESULT STDMETHODCALLTYPE OpenRowset(IUnknown*, DBID*, DBID*, REFIID, ULONG, DBPROPSET[], IUnknown** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
};

class FakeDataSource : public platform::ComObject<IDBInitialize, IDBProperties, IDBCreateSession> {
public:
    HRESULT STDMETHODCALLTYPE Initialize() override {
        const FakeProviderBehaviour& b = FakeBehaviour();
        if (b.initializeError) {
            platform::ErrorRecord record;
            record.description = b.initializeError;
            record.source = u"Fake provider";
            platform::PostErrorRecords({record});
        }
        if (b.initializeResult == S_OK) m_initialized = true;
        return b.initializeResult;
    }
    HRESULT STDMETHODCALLTYPE Uninitialize() override {
        m_initialized = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProperties(ULONG cSets, const DBPROPIDSET rgSets[], ULONG* pcSets,
                                            DBPROPSET** prgSets) override {
        *pcSets = 0;
        *prgSets = nullptr;
        if (cSets != 1 || rgSets[0].cPropertyIDs != 1) {
            ADD_FAILURE() << "the connection reads one property at a time";
            return E_INVALIDARG;
        }
        DBPROPID id = rgSets[0].rgPropertyIDs[0];
        auto* set = static_cast<DBPROPSET*>(CoTaskMemAlloc(sizeof(DBPROPSET)));
        auto* prop = static_cast<DBPROP*>(CoTaskMemAlloc(sizeof(DBPROP)));
        std::memset(prop, 0, sizeof *prop);
        prop->dwPropertyID = id;
        VariantInit(&prop->vValue);
        set->guidPropertySet = rgSets[0].guidPropertySet;
        set->cProperties = 1;
        set->rgProperties = prop;
        *pcSets = 1;
        *prgSets = set;
        if (id == DBPROP_CONNECTIONSTATUS && FakeBehaviour().supportsConnectionStatus) {
            prop->vValue.vt = VT_I4;
            prop->vValue.lVal = m_initialized ? DBPROPVAL_CS_INITIALIZED : DBPROPVAL_CS_UNINITIALIZED;
            return S_OK;
        }
        if (id == DBPROP_DATASOURCEREADONLY) {
            prop->vValue.vt = VT_BOOL;
            prop->vValue.boolVal = VARIANT_FALSE;
            return S_OK;
        }
        prop->dwStatus = DBPROPSTATUS_NOTSUPPORTED;
        return DB_E_ERRORSOCCURRED;
    }
    HRESULT STDMETHODCALLTYPE GetPropertyInfo(ULONG, const DBPROPIDSET[], ULONG* pcInfoSets, DBPROPINFOSET** prgInfoSets,
                                              OLECHAR** ppDescBuffer) override {
        *pcInfoSets = 0;
        *prgInfoSets = nullptr;
        if (ppDescBuffer) *ppDescBuffer = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetProperties(ULONG cSets, DBPROPSET rgSets[]) override {
        for (ULONG s = 0; s < cSets; ++s)
            for (ULONG k = 0; k < rgSets[s].cProperties; ++k) rgSets[s].rgProperties[k].dwStatus = DBPROPSTATUS_OK;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateSession(IUnknown*, REFIID riid, IUnknown** out) override {
        *out = nullptr;
        if (FakeBehaviour().sessionResult != S_OK) return FakeBehaviour().sessionResult;
        return platform::CreateComObject<FakeSession>(nullptr, riid, reinterpret_cast<void**>(out));
    }

private:
    bool m_initialized = false;
};

inline constexpr CLSID kFakeProviderClass = {0x7F4327F0, 0xFA5A, 0x40DB, {0xAF, 0xD5, 0x6A, 0x38, 0x4A, 0xF3, 0x79, 0x14}};

// Registers the fake under "Fake.Provider" for the life of the object, with fresh behaviour.
class FakeProviderRegistration {
public:
    FakeProviderRegistration() {
        FakeBehaviour() = FakeProviderBehaviour{};
        platform::RegisterClass(kFakeProviderClass, u"Fake.Provider", [](IUnknown* outer, REFIID riid, void** ppv) {
            return platform::CreateComObject<FakeDataSource>(outer, riid, ppv);
        });
    }
    ~FakeProviderRegistration() { platform::UnregisterClass(kFakeProviderClass); }
};

}  // namespace orv::test
