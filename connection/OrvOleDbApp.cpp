// The library's start and stop: the application object and the hooks that run it.
//
// Load and unload are hooked with a global object whose constructor calls InitInstance and
// whose destructor calls ExitInstance, defined right after the application object in this
// file (so constructed after it and destroyed before it). A global object rather than
// constructor/destructor functions, for two reasons:
//  - its destructor is registered with __cxa_atexit, so it runs at dlclose of the shared
//    library and at exit() of a program that links the objects statically, exactly once,
//    and before the .fini functions of the modules; a destructor function would run after
//    every static object of the process had already been destroyed;
//  - it is constructed with this file's other globals before main (or before dlopen
//    returns), so the cache exists before the first call that can need it.
// Closing idle connections at unload releases engine objects; that works during static
// teardown because the class registry is never destroyed and the engine keeps no global
// objects with destructors. Anything added to the path that closes a connection must keep
// that true (leaked singletons, or constants).
#include "OrvOleDbApp.h"

// The cache's process-wide state lives here, beside the hooks that create and destroy it: a
// program that reaches the cache through GetCacheManager references m_theCache and so
// always links this file, also from a static archive.
OrvOleDbConnectionCache* OrvOleDbConnectionCache::m_theCache = nullptr;
LONG OrvOleDbConnectionCache::m_refcount = 0;

OrvOleDb::OrvOleDb() : CWinApp(nullptr) {}

BOOL OrvOleDb::InitInstance() {
    CWinApp::InitInstance();
    OrvOleDbConnectionCache::InitConnectionCache();
    return TRUE;
}

int OrvOleDb::ExitInstance() {
    OrvOleDbConnectionCache::CloseConnectionCache();
    CWinApp::ExitInstance();
    return 1;
}

namespace {

OrvOleDb theApp;

// Plays the framework's part: start-up when the module's globals are constructed, shut-down
// when they are destroyed.
struct ModuleHooks {
    ModuleHooks() { theApp.InitInstance(); }
    ~ModuleHooks() { theApp.ExitInstance(); }
    ModuleHooks(const ModuleHooks&) = delete;
    ModuleHooks& operator=(const ModuleHooks&) = delete;
};

ModuleHooks g_moduleHooks;

}  // namespace
