// OrvOleDbConnectionCache: the process-wide store of idle open connections, grouped by the
// initialisation string they were opened with, so that opening a file is paid once per
// connection and not once per statement.
//
// There is one cache object, created when the library is loaded and destroyed when it is
// unloaded (OrvOleDb, the application object, does both); GetCacheManager() returns it, or
// null outside that time. Connections of one string form a first-in first-out queue: the
// one given back first is handed out first. Keys compare case-sensitively in the user's
// collation (VarBstrCmp), unlike OrvOleDbConnection::SameInit.
//
// Ownership: a connection returned by Connect or ConnectFromCache belongs to the caller, who
// destroys it or gives it back with Cache; from then on it belongs to the cache in every case
// (Cache nulls the caller's pointer only when it destroyed the connection). Idle connections
// are owned by their queue; the cache never keeps a connection it has handed out.
//
// Threads: any thread (with COM initialised) may call the public operations. One recursive
// lock, m_lock, is held for the whole of each operation, including the opening and closing
// of connections inside it, so a slow open blocks every other cache call of the process.
// GetCacheSize and GetCacheManager read without the lock. The rule is written below with
// clang's thread-safety annotations and checked by the clang build (-Wthread-safety).
#pragma once

#include <cstddef>
#include <list>
#include <map>

#include "OrvOleDbConnection.h"
#include "OrvOleDbErrorInfo.h"
#include "platform/platform.h"

#include "platform/thread_annotations.h"

// A CRITICAL_SECTION as the analysis sees it: the same structure, known to be a lock.
typedef CRITICAL_SECTION ORV_CAPABILITY("mutex") OrvCriticalSection;

class OrvOleDb;

class ORV_API OrvOleDbConnectionCache : public OrvOleDbErrorInfo {
    friend class OrvOleDb;

public:
    // The cache object; null before the library's start-up and after its shut-down.
    static OrvOleDbConnectionCache* GetCacheManager();

    // The connection at the front of the queue for `init`, or else a new connection opened
    // with OpenFromInitializationString(init, prompt), which is not entered in the cache.
    // Idle connections whose provider reports their link broken (a server that went away)
    // are destroyed on the way, never handed out.
    // Null when the open fails: the cache's error text is then the failed connection's.
    OrvOleDbConnection* Connect(const CComBSTR& init, bool prompt) ORV_EXCLUDES(m_lock);
    // The connection at the front of the queue for `init`, or null; never opens one.
    OrvOleDbConnection* ConnectFromCache(const CComBSTR& init) ORV_EXCLUDES(m_lock);
    // Opens connections for `init` until its queue holds GetCacheSize() of them (at least
    // one for a new string). False at the first failed open (error text as for Connect);
    // what was opened before stays cached.
    bool CreateCache(const CComBSTR& init) ORV_EXCLUDES(m_lock);
    // Gives `conn` (never null) back under its GetInit() string. Kept when the string has no
    // queue yet or its queue is below the limit, unless the provider reports its link broken;
    // otherwise closed, destroyed and nulled.
    void Cache(OrvOleDbConnection*& conn) ORV_EXCLUDES(m_lock);
    // Closes and destroys the idle connections of `init`, or of every string.
    void ClearCache(const CComBSTR& init) ORV_EXCLUDES(m_lock);
    void ClearCache() ORV_EXCLUDES(m_lock);
    // The most idle connections that Cache and CreateCache keep for one string (4 at
    // start). Lowering it trims nothing: longer queues shrink as connections are taken.
    size_t GetCacheSize() const ORV_NO_THREAD_SAFETY_ANALYSIS;
    void SetCacheSize(size_t size) ORV_EXCLUDES(m_lock);

    // Frees the map's keys and nodes only; the queues and connections are ClearCache's work,
    // which CloseConnectionCache does first.
    ~OrvOleDbConnectionCache();

protected:
    // Start-up and shut-down, counted: the first InitConnectionCache creates the object, the
    // CloseConnectionCache that brings the count back to 0 clears and destroys it. Only the
    // application object calls them, and never while anything else uses the cache.
    static bool InitConnectionCache();
    static void CloseConnectionCache();

private:
    // A list rather than a deque: a queue is made and dropped each time a string's last idle
    // connection is taken and another given back, and an empty list allocates nothing.
    typedef std::list<OrvOleDbConnection*> ConnectionQueue;

    // The key order: VarBstrCmp in the user's default locale, no flags, so case-sensitive.
    struct KeyLess {
        bool operator()(const CComBSTR& a, const CComBSTR& b) const;
    };
    typedef std::map<CComBSTR, ConnectionQueue*, KeyLess> ConnectionMap;

    OrvOleDbConnectionCache();
    OrvOleDbConnectionCache(const OrvOleDbConnectionCache&);
    OrvOleDbConnectionCache& operator=(const OrvOleDbConnectionCache&);

    // The entry for `init`, or end().
    ConnectionMap::iterator Find(const CComBSTR& init) ORV_REQUIRES(m_lock);
    // Takes the front connection of the entry's queue, erasing an entry left empty; null
    // (and the entry erased) when the queue was missing or empty.
    OrvOleDbConnection* TakeFront(ConnectionMap::iterator entry) ORV_REQUIRES(m_lock);
    // TakeFront, destroying the connections whose provider reports them broken on the way.
    OrvOleDbConnection* TakeLive(ConnectionMap::iterator entry) ORV_REQUIRES(m_lock);
    // Closes and destroys every connection of the entry's queue, front to back, and the queue.
    void DestroyQueue(ConnectionMap::iterator entry) ORV_REQUIRES(m_lock);
    // A new connection opened from `init`, or null with its error text copied into ours.
    OrvOleDbConnection* Open(const CComBSTR& init, bool prompt) ORV_REQUIRES(m_lock);
    // A new entry for `conn` under a copy of its GetInit() string.
    void AddEntry(OrvOleDbConnection* conn) ORV_REQUIRES(m_lock);

    static OrvOleDbConnectionCache* m_theCache;
    static LONG m_refcount;

    OrvCriticalSection m_lock;
    size_t m_cacheSize ORV_GUARDED_BY(m_lock);
    ConnectionMap m_connections ORV_GUARDED_BY(m_lock);
};

#include "platform/thread_annotations_end.h"
