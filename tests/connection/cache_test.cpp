// The connection cache on real database files: hand-out order, limits, keys, clearing,
// failures, and many threads taking and returning connections at once; and the cache of
// the shared library, which its unloading and the process's exit close.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/library_fixture.h"

using namespace orv::test;

namespace {

class CacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        m_cache = OrvOleDbConnectionCache::GetCacheManager();
        ASSERT_NE(m_cache, nullptr) << "the library's start-up creates the cache before main";
        ASSERT_EQ(m_cache, OrvOleDbConnectionCache::GetCacheManager()) << "there is one cache object";
        m_cache->ClearCache();
        m_cache->SetCacheSize(4);
        MakeDatabase(m_dir.Path("a.mdb"));
        MakeDatabase(m_dir.Path("b.mdb"));
    }
    void TearDown() override {
        if (m_cache) {
            m_cache->ClearCache();
            m_cache->SetCacheSize(4);
        }
        CoUninitialize();
    }

    CComBSTR Init(const char* file = "a.mdb") const { return CComBSTR(InitFor(m_dir.WPath(file)).c_str()); }

    OrvOleDbConnection* MustConnect(const CComBSTR& init) {
        OrvOleDbConnection* c = m_cache->Connect(init, false);
        EXPECT_NE(c, nullptr) << Utf8(m_cache->GetErrorText());
        return c;
    }

    TempDir m_dir;
    OrvOleDbConnectionCache* m_cache = nullptr;
};

// Connect opens a new connection while nothing was given back; given back, connections are
// handed out again first in first out, each string's apart.
TEST_F(CacheTest, AGivenBackConnectionIsHandedOutAgainFirstInFirstOut) {
    OrvOleDbConnection* a = MustConnect(Init());
    OrvOleDbConnection* b = MustConnect(Init());
    OrvOleDbConnection* other = MustConnect(Init("b.mdb"));
    ASSERT_TRUE(a && b && other);
    EXPECT_NE(a, b);
    EXPECT_TRUE(a->IsConnected() && b->IsConnected());
    EXPECT_EQ(m_cache->ConnectFromCache(Init()), nullptr) << "Connect entered nothing in the cache";
    OrvOleDbConnection *keptA = a, *keptB = b, *keptOther = other;
    m_cache->Cache(other);
    m_cache->Cache(a);
    m_cache->Cache(b);
    EXPECT_EQ(a, keptA) << "a kept connection leaves the caller's pointer as it was";
    EXPECT_EQ(b, keptB);
    EXPECT_EQ(m_cache->ConnectFromCache(Init("b.mdb")), keptOther);
    delete keptOther;

    EXPECT_EQ(m_cache->Connect(Init(), false), keptA);
    EXPECT_EQ(m_cache->Connect(Init(), false), keptB);
    // The entry went with its last connection: the next Connect opens a new one.
    OrvOleDbConnection* third = MustConnect(Init());
    EXPECT_NE(third, keptA);
    EXPECT_NE(third, keptB);
    delete keptA;
    delete keptB;
    delete third;
}

TEST_F(CacheTest, KeysAreCaseSensitiveAlthoughSameInitIsNot) {
    // The same file, its string written with the key names in another case.
    const CComBSTR upper = Init();
    const CComBSTR lower((u"provider=Microsoft.ACE.OLEDB.12.0;data source=" + m_dir.WPath("a.mdb") + u";").c_str());

    OrvOleDbConnection* c = MustConnect(upper);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->SameInit(lower));
    OrvOleDbConnection* kept = c;
    m_cache->Cache(c);

    OrvOleDbConnection* other = MustConnect(lower);
    EXPECT_NE(other, kept) << "a string in another case is another entry";
    EXPECT_EQ(m_cache->ConnectFromCache(lower), nullptr);
    EXPECT_EQ(m_cache->ConnectFromCache(upper), kept);
    delete other;
    delete kept;
}

// CreateCache fills a string's queue to the limit, and a connection given back to a full
// queue is destroyed. Lowering the limit trims no queue: only what is given back after it.
TEST_F(CacheTest, CreateCacheFillsToTheLimitAndAFifthIsDestroyed) {
    ASSERT_TRUE(m_cache->CreateCache(Init())) << Utf8(m_cache->GetErrorText());
    // A second call finds the queue full and opens nothing.
    EXPECT_TRUE(m_cache->CreateCache(Init()));

    OrvOleDbConnection* extra = new OrvOleDbConnection;
    ASSERT_TRUE(Opens(*extra, Init()));
    m_cache->Cache(extra);
    EXPECT_EQ(extra, nullptr) << "the queue was full: the connection was closed and destroyed";

    m_cache->SetCacheSize(2);
    EXPECT_EQ(m_cache->GetCacheSize(), 2u);
    std::vector<OrvOleDbConnection*> out;
    while (OrvOleDbConnection* c = m_cache->ConnectFromCache(Init())) out.push_back(c);
    ASSERT_EQ(out.size(), 4u);
    for (OrvOleDbConnection* c : out) {
        EXPECT_TRUE(c->IsConnected());
        EXPECT_TRUE(c->GetInit() == Init());
    }
    // Taking the last one erased the entry; giving them back now keeps two.
    EXPECT_EQ(m_cache->ConnectFromCache(Init()), nullptr);
    int destroyed = 0;
    for (OrvOleDbConnection*& c : out) {
        m_cache->Cache(c);
        destroyed += c == nullptr;
    }
    EXPECT_EQ(destroyed, 2);
}

// No limit applies to the first connection of a new string, whether made by CreateCache
// or given back; a second one is destroyed.
TEST_F(CacheTest, LimitZeroKeepsOnlyTheFirstConnectionOfAString) {
    m_cache->SetCacheSize(0);
    EXPECT_EQ(m_cache->GetCacheSize(), 0u);
    EXPECT_TRUE(m_cache->CreateCache(Init()));
    OrvOleDbConnection* made = m_cache->ConnectFromCache(Init());
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(m_cache->ConnectFromCache(Init()), nullptr);

    OrvOleDbConnection* second = MustConnect(Init());
    OrvOleDbConnection* kept = made;
    m_cache->Cache(made);
    EXPECT_EQ(made, kept);
    m_cache->Cache(second);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(m_cache->ConnectFromCache(Init()), kept);
    delete kept;
}

TEST_F(CacheTest, AClosedConnectionIsKeptUnderItsLastString) {
    OrvOleDbConnection* c = MustConnect(Init());
    ASSERT_NE(c, nullptr);
    c->Close();
    OrvOleDbConnection* kept = c;
    m_cache->Cache(c);
    OrvOleDbConnection* again = m_cache->Connect(Init(), false);
    EXPECT_EQ(again, kept);
    EXPECT_FALSE(again->IsConnected()) << "the cache hands out what it was given";
    delete again;
}

TEST_F(CacheTest, ClearCacheClosesTheIdleConnectionsOfOneStringOrOfAll) {
    const std::string a = m_dir.Path("a.mdb");
    const std::string b = m_dir.Path("b.mdb");
    // Clearing what is not there does nothing.
    m_cache->ClearCache(Init("a.mdb"));
    m_cache->ClearCache();

    ASSERT_TRUE(m_cache->CreateCache(Init("a.mdb")));
    ASSERT_TRUE(m_cache->CreateCache(Init("b.mdb")));
    EXPECT_GT(OpenDescriptorsOn(a), 0);
    EXPECT_GT(OpenDescriptorsOn(b), 0);

    m_cache->ClearCache(Init("a.mdb"));
    EXPECT_EQ(OpenDescriptorsOn(a), 0) << "every idle connection of the string was closed";
    EXPECT_GT(OpenDescriptorsOn(b), 0);
    EXPECT_EQ(m_cache->ConnectFromCache(Init("a.mdb")), nullptr);

    m_cache->ClearCache();
    EXPECT_EQ(OpenDescriptorsOn(b), 0);
    EXPECT_EQ(m_cache->ConnectFromCache(Init("b.mdb")), nullptr);
}

TEST_F(CacheTest, AFailedOpenLeavesTheConnectionsErrorTextOnTheCache) {
    CComBSTR missing(InitFor(m_dir.WPath("missing.mdb")).c_str());
    OrvOleDbConnection probe;
    ASSERT_NE(probe.OpenFromInitializationString(missing, false), S_OK);
    ASSERT_TRUE(probe.HasErrorInfo());

    EXPECT_EQ(m_cache->Connect(missing, false), nullptr);
    EXPECT_EQ(m_cache->GetErrorText().Str(), probe.GetErrorInfo(false).Str());

    // A later success keeps the text; CreateCache fails the same way.
    OrvOleDbConnection* c = MustConnect(Init());
    EXPECT_EQ(m_cache->GetErrorText().Str(), probe.GetErrorInfo(false).Str());
    delete c;
    m_cache->SetErrorInfo(CComBSTR(), CComBSTR());
    EXPECT_FALSE(m_cache->CreateCache(missing));
    EXPECT_EQ(m_cache->GetErrorText().Str(), probe.GetErrorInfo(false).Str());
    EXPECT_EQ(m_cache->ConnectFromCache(missing), nullptr);
}

// ---- Many threads ---------------------------------------------------------------------------

// Each connection that comes out of the cache is tagged through its error statement (which a
// successful open leaves empty and nothing in the cache touches), so a connection handed out
// again is recognised, and its state tells a double hand-out from a correct one.
enum class Use : int { Idle, InUse, Destroyed };

struct Ledger {
    std::mutex mutex;
    std::vector<std::unique_ptr<std::atomic<int>>> states;
    std::atomic<int> reused{0}, faults{0};

    // Records a connection that the cache just handed out; false on a fault.
    bool TakenOut(OrvOleDbConnection* c) {
        const CString& tag = c->GetErrorStatement();
        if (tag.IsEmpty()) {
            std::lock_guard<std::mutex> hold(mutex);
            states.push_back(std::make_unique<std::atomic<int>>(static_cast<int>(Use::InUse)));
            CString id;
            id.Format(u"%d", static_cast<int>(states.size() - 1));
            c->SetErrorInfo(CComBSTR(), CComBSTR(id));
            return true;
        }
        int expected = static_cast<int>(Use::Idle);
        ++reused;
        return State(c).compare_exchange_strong(expected, static_cast<int>(Use::InUse));
    }

    std::atomic<int>& State(OrvOleDbConnection* c) {
        int id = std::stoi(Utf8(c->GetErrorStatement()));
        std::lock_guard<std::mutex> hold(mutex);
        return *states.at(static_cast<std::size_t>(id));
    }
};

TEST_F(CacheTest, ThreadsTakingAndReturningConnectionsNeverShareOrLoseOne) {
    const std::vector<CComBSTR> inits = {Init("a.mdb"), Init("b.mdb")};
    Ledger ledger;
    std::atomic<bool> stop{false};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);

    auto worker = [&](unsigned seed) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::mt19937 random(seed);
        while (!stop.load()) {
            const CComBSTR& init = inits[random() % inits.size()];
            OrvOleDbConnection* c = random() % 4 == 0 ? m_cache->ConnectFromCache(init) : m_cache->Connect(init, false);
            if (!c) continue;
            if (!ledger.TakenOut(c)) ++ledger.faults;
            // Use it briefly, as a holder would.
            if (!c->IsConnected() || !(c->GetInit() == init)) ++ledger.faults;
            std::atomic<int>& state = ledger.State(c);
            int inUse = static_cast<int>(Use::InUse);
            if (!state.compare_exchange_strong(inUse, static_cast<int>(Use::Idle))) ++ledger.faults;
            m_cache->Cache(c);
            if (!c) {
                // Destroyed inside Cache: never entered a queue, so nobody else can have it.
                int idle = static_cast<int>(Use::Idle);
                if (!state.compare_exchange_strong(idle, static_cast<int>(Use::Destroyed))) ++ledger.faults;
            }
        }
        CoUninitialize();
    };
    auto changer = [&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::mt19937 random(99);
        while (std::chrono::steady_clock::now() < deadline) {
            switch (random() % 4) {
            case 0: m_cache->SetCacheSize(random() % 4); break;
            case 1: m_cache->ClearCache(inits[random() % inits.size()]); break;
            case 2: m_cache->ClearCache(); break;
            default: (void)m_cache->GetCacheSize(); break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        stop = true;
        CoUninitialize();
    };

    std::vector<std::thread> threads;
    for (unsigned i = 0; i < 4; ++i) threads.emplace_back(worker, i + 1);
    threads.emplace_back(changer);
    for (std::thread& t : threads) t.join();

    m_cache->ClearCache();
    EXPECT_EQ(ledger.faults.load(), 0) << "a connection was handed to two holders, or came back wrong";
    EXPECT_GT(ledger.reused.load(), 0) << "the run should have reused cached connections";
    // Every connection is now either destroyed by Cache or was idle and then cleared; none
    // is still in use, and none is still open on the files.
    int inUse = 0;
    for (const auto& s : ledger.states) inUse += s->load() == static_cast<int>(Use::InUse);
    EXPECT_EQ(inUse, 0);
    EXPECT_EQ(OpenDescriptorsOn(m_dir.Path("a.mdb")), 0);
    EXPECT_EQ(OpenDescriptorsOn(m_dir.Path("b.mdb")), 0);
}

// ---- The shared library's own cache ----------------------------------------------------------

// The library's start and stop: loading the shared library creates a cache of its own that
// unloading closes, idle connections and their open files included. (That the cache exists
// before main in a program that links the library's objects, the cache tests check.)

// The loaded image's own cache operations, called through its exported symbols so that the
// copy of the code linked into this program is not used by mistake. Non-virtual members
// take the object as their first argument.
struct LoadedLibrary {
    bool Load() {
        handle = dlopen(ORV_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        return handle && Find(getCacheManager, "_ZN23OrvOleDbConnectionCache15GetCacheManagerEv") &&
               Find(connect, "_ZN23OrvOleDbConnectionCache7ConnectERK8CComBSTRb") &&
               Find(connectFromCache, "_ZN23OrvOleDbConnectionCache16ConnectFromCacheERK8CComBSTR") &&
               Find(cache, "_ZN23OrvOleDbConnectionCache5CacheERP18OrvOleDbConnection");
    }
    template <class Fn>
    bool Find(Fn& fn, const char* symbol) {
        fn = reinterpret_cast<Fn>(dlsym(handle, symbol));
        return fn != nullptr;
    }

    void* handle = nullptr;
    OrvOleDbConnectionCache* (*getCacheManager)() = nullptr;
    OrvOleDbConnection* (*connect)(OrvOleDbConnectionCache*, const CComBSTR&, bool) = nullptr;
    OrvOleDbConnection* (*connectFromCache)(OrvOleDbConnectionCache*, const CComBSTR&) = nullptr;
    void (*cache)(OrvOleDbConnectionCache*, OrvOleDbConnection*&) = nullptr;
};

// A fault the child found: said on its standard error, and exit status 1.
int Fault(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    return 1;
}
constexpr int kStillLoaded = 2;  // dlclose left the library loaded

// Loads the library and gives one connection to its own cache, which must keep it and its
// file open: 0, or a fault.
int LoadAndKeepOne(LoadedLibrary& lib, const std::string& db, const CComBSTR& init) {
    if (!lib.Load()) return Fault("dlopen or dlsym failed");
    OrvOleDbConnectionCache* cache = lib.getCacheManager();
    if (!cache) return Fault("the loaded library has no cache");
    if (cache == OrvOleDbConnectionCache::GetCacheManager())
        return Fault("the loaded library shares the program's cache");
    OrvOleDbConnection* conn = lib.connect(cache, init, false);
    if (!conn) return Fault("Connect failed");
    lib.cache(cache, conn);
    if (!conn) return Fault("Cache did not keep the first connection");
    if (OpenDescriptorsOn(db) == 0) return Fault("the connection holds no file open");
    return 0;
}

// Runs in a child process, so that loading a second copy of the library (beside the objects
// linked into this program) and unloading it cannot disturb the other tests.
int LoadCacheAndUnload(const std::string& db, const CComBSTR& init) {
    LoadedLibrary lib;
    if (int fault = LoadAndKeepOne(lib, db, init)) return fault;
    dlclose(lib.handle);
    // A library with GNU unique symbols (which GCC emits for some inline statics) is kept
    // loaded by dlclose; its stop then comes at process exit, which the next test covers.
    if (void* kept = dlopen(ORV_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
        dlclose(kept);
        return kStillLoaded;
    }
    if (OpenDescriptorsOn(db) != 0) return Fault("the file is still open after dlclose");

    // Loaded again, the library starts with an empty cache.
    LoadedLibrary again;
    if (!again.Load()) return Fault("the second dlopen failed");
    OrvOleDbConnectionCache* fresh = again.getCacheManager();
    if (!fresh || again.connectFromCache(fresh, init) != nullptr) return Fault("the reloaded cache was not empty");
    dlclose(again.handle);
    return 0;
}

// Runs the steps in a child process and returns its exit status.
int InChild(int (*steps)(const std::string&, const CComBSTR&), const std::string& db, const CComBSTR& init) {
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) _exit(steps(db, init));
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The file whose descriptors the exit check looks for.
std::string g_exitCheckFile;

// Registered before the library is loaded, so it runs after the library's own exit-time
// destructors, and reports through the exit status what they left open.
void CheckAtExit() {
    _exit(OpenDescriptorsOn(g_exitCheckFile) == 0 ? 0 : Fault("the file was still open when the process exited"));
}

int LoadCacheAndExit(const std::string& db, const CComBSTR& init) {
    g_exitCheckFile = db;
    std::atexit(CheckAtExit);
    LoadedLibrary lib;
    if (int fault = LoadAndKeepOne(lib, db, init)) return fault;
    std::exit(0);  // CheckAtExit decides the status
}

// On a.mdb of the cache tests' folder.
class SharedLibraryTest : public CacheTest {};

TEST_F(SharedLibraryTest, ExitingTheProcessClosesTheLoadedLibrarysIdleConnections) {
    EXPECT_EQ(InChild(LoadCacheAndExit, m_dir.Path("a.mdb"), Init()), 0) << "the child's standard error says why";
}

TEST_F(SharedLibraryTest, UnloadingTheLibraryClosesItsIdleConnectionsAndItsCache) {
    const int code = InChild(LoadCacheAndUnload, m_dir.Path("a.mdb"), Init());
    if (code == kStillLoaded) GTEST_SKIP() << "this build of the library cannot be unloaded: dlclose left it loaded";
    EXPECT_EQ(code, 0) << "the child's standard error says why";
}

}  // namespace
