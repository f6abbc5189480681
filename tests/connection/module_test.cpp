// The library's start and stop: the cache exists before main in a program that links the
// library's objects, and loading the shared library creates a cache of its own that
// unloading closes, idle connections and their open files included.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "OrvOleDb.h"
#include "support/files.h"

using namespace orv::test;

namespace {

TEST(ModuleTest, TheCacheExistsBeforeMainWithItsDefaults) {
    OrvOleDbConnectionCache* cache = OrvOleDbConnectionCache::GetCacheManager();
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(cache, OrvOleDbConnectionCache::GetCacheManager()) << "there is one cache object";
}

// The loaded image's own cache operations, called through its exported symbols so that the
// copy of the code linked into this program is not used by mistake. Non-virtual members
// take the object as their first argument.
struct LoadedLibrary {
    typedef OrvOleDbConnectionCache* (*GetCacheManagerFn)();
    typedef OrvOleDbConnection* (*ConnectFn)(OrvOleDbConnectionCache*, const CComBSTR&, bool);
    typedef OrvOleDbConnection* (*ConnectFromCacheFn)(OrvOleDbConnectionCache*, const CComBSTR&);
    typedef void (*CacheFn)(OrvOleDbConnectionCache*, OrvOleDbConnection*&);

    bool Load() {
        handle = dlopen(ORV_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return false;
        getCacheManager =
            reinterpret_cast<GetCacheManagerFn>(dlsym(handle, "_ZN23OrvOleDbConnectionCache15GetCacheManagerEv"));
        connect = reinterpret_cast<ConnectFn>(dlsym(handle, "_ZN23OrvOleDbConnectionCache7ConnectERK8CComBSTRb"));
        connectFromCache = reinterpret_cast<ConnectFromCacheFn>(
            dlsym(handle, "_ZN23OrvOleDbConnectionCache16ConnectFromCacheERK8CComBSTR"));
        cache = reinterpret_cast<CacheFn>(dlsym(handle, "_ZN23OrvOleDbConnectionCache5CacheERP18OrvOleDbConnection"));
        return getCacheManager && connect && connectFromCache && cache;
    }

    void* handle = nullptr;
    GetCacheManagerFn getCacheManager = nullptr;
    ConnectFn connect = nullptr;
    ConnectFromCacheFn connectFromCache = nullptr;
    CacheFn cache = nullptr;
};

// What the child found, as its exit status.
enum Step {
    Passed = 0,
    LoadFailed,
    NoCache,
    SharedCache,
    ConnectFailed,
    NotKept,
    FileNotOpen,
    FileStillOpen,
    ReloadFailed,
    CacheNotFresh,
    StillLoaded,
    FileOpenAtExit
};

// Runs in a child process, so that loading a second copy of the library (beside the objects
// linked into this program) and unloading it cannot disturb the other tests.
Step LoadCacheAndUnload(const std::string& db, const CComBSTR& init) {
    LoadedLibrary lib;
    if (!lib.Load()) return LoadFailed;
    OrvOleDbConnectionCache* cache = lib.getCacheManager();
    if (!cache) return NoCache;
    if (cache == OrvOleDbConnectionCache::GetCacheManager()) return SharedCache;

    OrvOleDbConnection* conn = lib.connect(cache, init, false);
    if (!conn) return ConnectFailed;
    lib.cache(cache, conn);
    if (!conn) return NotKept;
    if (OpenDescriptorsOn(db) == 0) return FileNotOpen;

    dlclose(lib.handle);
    // A library with GNU unique symbols (which GCC emits for some inline statics) is kept
    // loaded by dlclose; its stop then comes at process exit, which the next test covers.
    if (void* kept = dlopen(ORV_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
        dlclose(kept);
        return StillLoaded;
    }
    if (OpenDescriptorsOn(db) != 0) return FileStillOpen;

    // Loaded again, the library starts with an empty cache.
    LoadedLibrary again;
    if (!again.Load()) return ReloadFailed;
    OrvOleDbConnectionCache* fresh = again.getCacheManager();
    if (!fresh || again.connectFromCache(fresh, init) != nullptr) return CacheNotFresh;
    dlclose(again.handle);
    return Passed;
}

// Runs the steps in a child process and returns its exit status.
int InChild(Step (*steps)(const std::string&, const CComBSTR&), const std::string& db, const CComBSTR& init) {
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) _exit(steps(db, init));
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

const char* Meaning(int code) {
    static const char* const meanings[] = {"passed",
                                           "dlopen or dlsym failed",
                                           "the loaded library has no cache",
                                           "the loaded library shares this program's cache",
                                           "Connect failed",
                                           "Cache did not keep the first connection",
                                           "the connection holds no file open",
                                           "the file is still open after dlclose",
                                           "the second dlopen failed",
                                           "the reloaded library's cache was not empty",
                                           "dlclose left the library loaded",
                                           "the file was still open when the process exited"};
    return code >= 0 && code < static_cast<int>(std::size(meanings)) ? meanings[code] : "the child died";
}

// The file whose descriptors the exit check looks for.
std::string g_exitCheckFile;

// Registered before the library is loaded, so it runs after the library's own exit-time
// destructors, and reports through the exit status what they left open.
void CheckAtExit() { _exit(OpenDescriptorsOn(g_exitCheckFile) == 0 ? Passed : FileOpenAtExit); }

Step LoadCacheAndExit(const std::string& db, const CComBSTR& init) {
    g_exitCheckFile = db;
    std::atexit(CheckAtExit);
    LoadedLibrary lib;
    if (!lib.Load()) return LoadFailed;
    OrvOleDbConnectionCache* cache = lib.getCacheManager();
    if (!cache) return NoCache;
    OrvOleDbConnection* conn = lib.connect(cache, init, false);
    if (!conn) return ConnectFailed;
    lib.cache(cache, conn);
    if (!conn) return NotKept;
    if (OpenDescriptorsOn(db) == 0) return FileNotOpen;
    std::exit(0);  // CheckAtExit decides the status
}

class SharedLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_db = m_dir.Path("plant.mdb");
        MakeDatabase(m_db);
    }
    CComBSTR Init() const { return CComBSTR(InitFor(m_dir.WPath("plant.mdb")).c_str()); }

    TempDir m_dir;
    std::string m_db;
};

TEST_F(SharedLibraryTest, ExitingTheProcessClosesTheLoadedLibrarysIdleConnections) {
    int code = InChild(LoadCacheAndExit, m_db, Init());
    EXPECT_EQ(code, Passed) << Meaning(code);
}

TEST_F(SharedLibraryTest, UnloadingTheLibraryClosesItsIdleConnectionsAndItsCache) {
    int code = InChild(LoadCacheAndUnload, m_db, Init());
    if (code == StillLoaded) GTEST_SKIP() << "this build of the library cannot be unloaded: " << Meaning(code);
    EXPECT_EQ(code, Passed) << Meaning(code);
}

}  // namespace
