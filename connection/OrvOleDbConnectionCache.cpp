// The process-wide cache of idle connections. Every public operation that touches the map
// or the limit runs under m_lock from its first step to its last; the connections in the
// queues are opened and closed under it too, so no connection is ever seen by two callers.
#include "OrvOleDbConnectionCache.h"

#include <cstring>
#include <memory>
#include <utility>

#include "platform/property_sets.h"
#include "platform/thread_annotations.h"

namespace {

// Holds a cache's critical section for one scope.
class ORV_SCOPED_CAPABILITY CacheLock {
public:
    explicit CacheLock(OrvCriticalSection& lock) ORV_ACQUIRE(lock) : m_lock(lock) { EnterCriticalSection(&m_lock); }
    ~CacheLock() ORV_RELEASE() { LeaveCriticalSection(&m_lock); }
    CacheLock(const CacheLock&) = delete;
    CacheLock& operator=(const CacheLock&) = delete;

private:
    OrvCriticalSection& m_lock;
};

// To destroy a connection is to run its destructor (which closes it) and free it.
void CloseAndDestroy(OrvOleDbConnection* conn) {
    conn->Close();
    delete conn;
}

}  // namespace

// m_theCache and m_refcount are defined with the application object (OrvOleDbApp.cpp): a
// program that uses the cache therefore always links the hooks that create and close it.

bool OrvOleDbConnectionCache::KeyLess::operator()(const CComBSTR& a, const CComBSTR& b) const {
    // Identical strings compare equal in any collation: the common case of a lookup that
    // hits is settled by one memory comparison instead of a collating walk.
    const unsigned int length = a.Length();
    if (length == b.Length() && (length == 0 || std::memcmp(a.m_str, b.m_str, length * sizeof(OLECHAR)) == 0))
        return false;
    return VarBstrCmp(a.m_str, b.m_str, LOCALE_USER_DEFAULT, 0) == VARCMP_LT;
}

OrvOleDbConnectionCache::OrvOleDbConnectionCache() : m_lock(), m_cacheSize(4) {}

OrvOleDbConnectionCache::~OrvOleDbConnectionCache() = default;

OrvOleDbConnectionCache* OrvOleDbConnectionCache::GetCacheManager() { return m_theCache; }

// ---- Start-up and shut-down --------------------------------------------------------------

bool OrvOleDbConnectionCache::InitConnectionCache() {
    if (InterlockedIncrement(&m_refcount) != 1) return true;
    m_theCache = new (std::nothrow) OrvOleDbConnectionCache;
    if (!m_theCache) return false;
    InitializeCriticalSection(&m_theCache->m_lock);
    return true;
}

void OrvOleDbConnectionCache::CloseConnectionCache() {
    if (__atomic_load_n(&m_refcount, __ATOMIC_SEQ_CST) <= 0) return;
    if (InterlockedDecrement(&m_refcount) != 0) return;
    if (!m_theCache) return;
    m_theCache->ClearCache();
    DeleteCriticalSection(&m_theCache->m_lock);
    delete m_theCache;
    m_theCache = nullptr;
}

// ---- Steps shared by the operations ------------------------------------------------------

OrvOleDbConnectionCache::ConnectionMap::iterator OrvOleDbConnectionCache::Find(const CComBSTR& init) {
    // The first key not less than `init` is the entry when `init` is not less than it either.
    auto it = m_connections.lower_bound(init);
    if (it != m_connections.end() && !KeyLess()(init, it->first)) return it;
    return m_connections.end();
}

OrvOleDbConnection* OrvOleDbConnectionCache::TakeFront(ConnectionMap::iterator entry) {
    ConnectionQueue* queue = entry->second;
    if (!queue || queue->empty()) {
        delete queue;
        m_connections.erase(entry);
        return nullptr;
    }
    OrvOleDbConnection* conn = queue->front();
    queue->pop_front();
    if (queue->empty()) {
        delete queue;
        m_connections.erase(entry);
    }
    return conn;
}

namespace {

// True when the provider reports the connection's link broken (a server that went away).
// A connection the host closed is not broken: the cache keeps what it is given.
bool Broken(OrvOleDbConnection* conn) {
    IOpenRowset* session = conn->GetSession().m_spOpenRowset;
    CComPtr<IGetDataSource> getter;
    CComPtr<IDBProperties> source;
    if (!session || FAILED(session->QueryInterface(IID_IGetDataSource, reinterpret_cast<void**>(&getter))) ||
        FAILED(getter->GetDataSource(IID_IDBProperties, reinterpret_cast<IUnknown**>(&source))))
        return false;
    orv::platform::ReturnedPropertySets sets;
    if (FAILED(orv::platform::QueryProperties(source.p, DBPROPSET_DATASOURCEINFO, {DBPROP_CONNECTIONSTATUS}, sets)))
        return false;
    const VARIANT* value = sets.Value(DBPROP_CONNECTIONSTATUS);
    return value && value->vt == VT_I4 && value->lVal == DBPROPVAL_CS_COMMUNICATIONFAILURE;
}

}  // namespace

OrvOleDbConnection* OrvOleDbConnectionCache::TakeLive(ConnectionMap::iterator entry) {
    // Taking the front may erase the entry: look it up again for each try.
    const CComBSTR init(entry->first);
    while (true) {
        auto found = Find(init);
        if (found == m_connections.end()) return nullptr;
        OrvOleDbConnection* conn = TakeFront(found);
        if (!conn || !Broken(conn)) return conn;
        CloseAndDestroy(conn);
    }
}

void OrvOleDbConnectionCache::DestroyQueue(ConnectionMap::iterator entry) {
    ConnectionQueue* queue = entry->second;
    if (!queue) return;
    while (!queue->empty()) {
        OrvOleDbConnection* conn = queue->front();
        queue->pop_front();
        CloseAndDestroy(conn);
    }
    delete queue;
    entry->second = nullptr;
}

OrvOleDbConnection* OrvOleDbConnectionCache::Open(const CComBSTR& init, bool prompt) {
    auto conn = std::make_unique<OrvOleDbConnection>();
    if (conn->OpenFromInitializationString(init, prompt) == S_OK) return conn.release();
    m_errorText = conn->GetErrorInfo(false);
    return nullptr;
}

void OrvOleDbConnectionCache::AddEntry(OrvOleDbConnection* conn) {
    auto queue = std::make_unique<ConnectionQueue>();
    queue->push_back(conn);
    const CComBSTR& init = conn->GetInit();
    m_connections.emplace_hint(m_connections.lower_bound(init), CComBSTR(init), queue.get());
    queue.release();
}

// ---- Public operations -------------------------------------------------------------------

OrvOleDbConnection* OrvOleDbConnectionCache::Connect(const CComBSTR& init, bool prompt) {
    CacheLock hold(m_lock);
    auto entry = Find(init);
    if (entry != m_connections.end()) {
        if (OrvOleDbConnection* idle = TakeLive(entry)) return idle;
        // The entry was found without connections: it is gone now, and a new open must not
        // put a prompt in front of the user for a string that was already cached.
        prompt = false;
    }
    return Open(init, prompt);
}

OrvOleDbConnection* OrvOleDbConnectionCache::ConnectFromCache(const CComBSTR& init) {
    CacheLock hold(m_lock);
    auto entry = Find(init);
    if (entry == m_connections.end()) return nullptr;
    return TakeLive(entry);
}

bool OrvOleDbConnectionCache::CreateCache(const CComBSTR& init) {
    CacheLock hold(m_lock);
    auto entry = Find(init);
    if (entry == m_connections.end()) {
        if (OrvOleDbConnection* first = Open(init, false)) {
            AddEntry(first);
            entry = Find(init);
        }
    }
    if (entry == m_connections.end()) return false;
    if (!entry->second) entry->second = new ConnectionQueue;
    ConnectionQueue& queue = *entry->second;
    while (queue.size() < m_cacheSize) {
        OrvOleDbConnection* conn = Open(init, false);
        if (!conn) return false;
        queue.push_back(conn);
    }
    return true;
}

void OrvOleDbConnectionCache::Cache(OrvOleDbConnection*& conn) {
    CacheLock hold(m_lock);
    if (Broken(conn)) {
        // A connection whose server went away is of no use to the next caller.
        CloseAndDestroy(conn);
        conn = nullptr;
        return;
    }
    auto entry = Find(conn->GetInit());
    if (entry == m_connections.end()) {
        AddEntry(conn);
        return;
    }
    ConnectionQueue* queue = entry->second;
    if (queue && queue->size() < m_cacheSize) {
        queue->push_back(conn);
        return;
    }
    CloseAndDestroy(conn);
    conn = nullptr;
}

void OrvOleDbConnectionCache::ClearCache(const CComBSTR& init) {
    CacheLock hold(m_lock);
    auto entry = Find(init);
    if (entry == m_connections.end()) return;
    DestroyQueue(entry);
    m_connections.erase(entry);
}

void OrvOleDbConnectionCache::ClearCache() {
    CacheLock hold(m_lock);
    for (auto entry = m_connections.begin(); entry != m_connections.end(); ++entry) DestroyQueue(entry);
    m_connections.clear();
}

size_t OrvOleDbConnectionCache::GetCacheSize() const {
    // Read without the lock, as the interface promises; the atomic load keeps that read
    // well-defined while another thread's SetCacheSize stores under the lock.
    return __atomic_load_n(&m_cacheSize, __ATOMIC_RELAXED);
}

void OrvOleDbConnectionCache::SetCacheSize(size_t size) {
    CacheLock hold(m_lock);
    __atomic_store_n(&m_cacheSize, size, __ATOMIC_RELAXED);
}
