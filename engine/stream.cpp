#include "engine/stream.h"

#include <algorithm>
#include <cstring>

#include "platform/com_object.h"

namespace orv::engine {
namespace {

class ValueStream final : public platform::ComObject<IStream> {
public:
    explicit ValueStream(std::string bytes) : m_bytes(std::move(bytes)) {}

    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pcbRead) *pcbRead = 0;
        if (!pv && cb) return STG_E_INVALIDPOINTER;
        std::size_t left = m_position < m_bytes.size() ? m_bytes.size() - m_position : 0;
        ULONG n = static_cast<ULONG>(std::min<std::size_t>(cb, left));
        if (n) std::memcpy(pv, m_bytes.data() + m_position, n);
        m_position += n;
        if (pcbRead) *pcbRead = n;
        return n < cb ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG* pcbWritten) override {
        if (pcbWritten) *pcbWritten = 0;
        return STG_E_ACCESSDENIED;
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
        long long base;
        switch (origin) {
        case STREAM_SEEK_SET: base = 0; break;
        case STREAM_SEEK_CUR: base = static_cast<long long>(m_position); break;
        case STREAM_SEEK_END: base = static_cast<long long>(m_bytes.size()); break;
        default: return STG_E_INVALIDFUNCTION;
        }
        long long target = base + move.QuadPart;
        if (target < 0) return STG_E_INVALIDFUNCTION;
        m_position = static_cast<std::size_t>(target);
        if (newPosition) newPosition->QuadPart = m_position;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER cb, ULARGE_INTEGER* read,
                                     ULARGE_INTEGER* written) override {
        if (!target) return STG_E_INVALIDPOINTER;
        std::size_t left = m_position < m_bytes.size() ? m_bytes.size() - m_position : 0;
        std::size_t n = static_cast<std::size_t>(std::min<ULONGLONG>(cb.QuadPart, left));
        ULONG done = 0;
        HRESULT hr = n ? target->Write(m_bytes.data() + m_position, static_cast<ULONG>(n), &done) : S_OK;
        m_position += n;
        if (read) read->QuadPart = n;
        if (written) written->QuadPart = done;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override {
        if (!stat) return STG_E_INVALIDPOINTER;
        std::memset(stat, 0, sizeof *stat);
        stat->type = STGTY_STREAM;
        stat->cbSize.QuadPart = m_bytes.size();
        stat->grfMode = STGM_READ;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IStream** out) override {
        if (!out) return STG_E_INVALIDPOINTER;
        auto* copy = new (std::nothrow) ValueStream(m_bytes);
        if (!copy) return E_OUTOFMEMORY;
        copy->m_position = m_position;
        *out = copy;
        return S_OK;
    }

private:
    std::string m_bytes;
    std::size_t m_position = 0;
};

}  // namespace

HRESULT CreateValueStream(std::string bytes, REFIID riid, void** ppv) {
    return platform::CreateComObject<ValueStream>(nullptr, riid, ppv, std::move(bytes));
}

}  // namespace orv::engine
