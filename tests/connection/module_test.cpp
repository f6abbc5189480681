// The library's start and stop: loading the shared library creates a cache of its own that
// unloading closes, idle connections and their open files included. (That the cache exists
// before main in a program that links the library's objects, the cache tests check.)
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "OrvOleDb.h"
#include "support/files.h"

using namespace orv::test;

namespace {

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
    EXPECT_EQ(InChild(LoadCacheAndExit, m_db, Init()), 0) << "the child's standard error says why";
}

TEST_F(SharedLibraryTest, UnloadingTheLibraryClosesItsIdleConnectionsAndItsCache) {
    const int code = InChild(LoadCacheAndUnload, m_db, Init());
    if (code == kStillLoaded) GTEST_SKIP() << "this build of the library cannot be unloaded: dlclose left it loaded";
    EXPECT_EQ(code, 0) << "the child's standard error says why";
}

}  // namespace
