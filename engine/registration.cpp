// Enters the engine's classes in the class registry when the library is loaded: the
// provider under its provider names, the service components, the conversion library and
// the compaction engine.
// A host needs nothing else to open a file.
#include "engine/provider.h"

namespace orv::engine {

HRESULT CreateDataInitialize(IUnknown* outer, REFIID riid, void** ppv);
HRESULT CreateDataConvert(IUnknown* outer, REFIID riid, void** ppv);
HRESULT CreateCompactionEngine(IUnknown* outer, REFIID riid, void** ppv);

namespace {

struct Registration {
    Registration() {
        platform::RegisterClass(CLSID_OrvEngine, u"Microsoft.ACE.OLEDB.12.0", CreateDataSource);
        // The names under which older and newer initialisation strings reach the same provider.
        platform::RegisterProgId(u"Microsoft.ACE.OLEDB.16.0", CLSID_OrvEngine);
        platform::RegisterProgId(u"Microsoft.Jet.OLEDB.4.0", CLSID_OrvEngine);
        platform::RegisterClass(CLSID_MSDAINITIALIZE, nullptr, CreateDataInitialize);
        platform::RegisterClass(CLSID_OLEDB_CONVERSIONLIBRARY, nullptr, CreateDataConvert);
        platform::RegisterClass(CLSID_DBEngine, nullptr, CreateCompactionEngine);
    }
};

const Registration kRegistration;

}  // namespace
}  // namespace orv::engine
