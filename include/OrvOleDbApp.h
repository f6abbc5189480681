// OrvOleDb: the library's application object. Its two hooks create the connection cache
// when the library is loaded and close every idle connection and destroy the cache when it
// is unloaded; nothing else is global.
//
// The library defines the one object of this class itself; a host never makes one. Both
// hooks run on the thread that loads or unloads the library, never alongside other calls.
#pragma once

#include "OrvOleDbConnectionCache.h"
#include "platform/afx.h"

class OrvOleDb : public CWinApp {
public:
    OrvOleDb();

    // The framework's start-up, then the cache's; loading never fails here.
    BOOL InitInstance() override;
    // The cache's shut-down first (idle connections are closed while everything they use
    // still works), then the framework's.
    int ExitInstance() override;
};
