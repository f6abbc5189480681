// The compaction engine object: writes a compacted copy of a database file and leaves the
// source as it was. Registered under the class the interface names for it.
#include "engine/error.h"
#include "engine/store/store.h"
#include "platform/com_object.h"

namespace orv::engine {
namespace {

class CompactionEngine final : public platform::ComObject<_DBEngine> {
public:
    HRESULT STDMETHODCALLTYPE CompactDatabase(BSTR srcName, BSTR dstName, VARIANT, VARIANT, VARIANT) override {
        std::u16string source = srcName ? std::u16string(srcName) : std::u16string();
        std::u16string destination = dstName ? std::u16string(dstName) : std::u16string();
        if (source.empty() || destination.empty())
            return Report(Status::Error(E_INVALIDARG, u"Compaction needs the path of the database file and the "
                                                      u"path of its compacted copy."),
                          IID__DBEngine);
        return Report(CompactDatabaseFile(source, destination), IID__DBEngine);
    }
};

}  // namespace

HRESULT CreateCompactionEngine(IUnknown* outer, REFIID riid, void** ppv) {
    return platform::CreateComObject<CompactionEngine>(outer, riid, ppv);
}

}  // namespace orv::engine
