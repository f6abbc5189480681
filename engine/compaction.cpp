// The database engine object: writes a compacted copy of a database file and leaves the
// source as it was, and converts a genuine Access database into a new database file.
// Registered under the class the interface names for it.
#include <new>

#include "engine/error.h"
#include "engine/guard.h"
#include "engine/store/store.h"
#include "platform/com_object.h"

namespace orv::engine {
namespace {

// Hands the store's progress to the caller's callback; the first failure it returns stops
// the conversion.
class ProgressForwarder final : public ProgressSink {
public:
    explicit ProgressForwarder(IOrvProgress* callback) : m_callback(callback) {}
    bool Progress(unsigned long long done, unsigned long long total) override {
        if (m_callback && m_result == S_OK) m_result = m_callback->OnProgress(done, total);
        return m_result == S_OK;
    }
    HRESULT Result() const { return m_result; }

private:
    IOrvProgress* m_callback;
    HRESULT m_result = S_OK;
};

std::u16string Text(BSTR text) { return text ? std::u16string(text) : std::u16string(); }

class DatabaseEngine final : public platform::ComObject<_DBEngine, IOrvConvertDatabase> {
public:
    HRESULT STDMETHODCALLTYPE CompactDatabase(BSTR srcName, BSTR dstName, VARIANT, VARIANT, VARIANT) override {
        return GuardMethod(IID__DBEngine, [&]() -> HRESULT {
            const std::u16string source = Text(srcName), destination = Text(dstName);
            if (source.empty() || destination.empty())
                return Report(Status::Error(E_INVALIDARG,
                                            u"Compaction needs the path of the database file and the "
                                            u"path of its compacted copy."),
                              IID__DBEngine);
            return Report(CompactDatabaseFile(source, destination), IID__DBEngine);
        });
    }

    HRESULT STDMETHODCALLTYPE ConvertDatabase(BSTR srcName, BSTR dstName, IOrvProgress* progress) override {
        return GuardMethod(IID_IOrvConvertDatabase, [&]() -> HRESULT {
            const std::u16string source = Text(srcName), destination = Text(dstName);
            if (source.empty() || destination.empty())
                return Report(Status::Error(E_INVALIDARG,
                                            u"Conversion needs the path of the Access database and the "
                                            u"path of the new database file."),
                              IID_IOrvConvertDatabase);
            ProgressForwarder forwarder(progress);
            Status status = ConvertAccessDatabase(source, destination, &forwarder);
            if (!status.Ok() && forwarder.Result() != S_OK)
                status = Status::Error(forwarder.Result(), u"The conversion was stopped; no new file was written.",
                                       u"HY008");
            return Report(status, IID_IOrvConvertDatabase);
        });
    }
};

}  // namespace

HRESULT CreateCompactionEngine(IUnknown* outer, REFIID riid, void** ppv) {
    return platform::CreateComObject<DatabaseEngine>(outer, riid, ppv);
}

}  // namespace orv::engine
