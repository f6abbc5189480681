// Ctrl-C in orvsql. The SIGINT handler only records the request and wakes a canceller
// thread; that thread asks each running command's provider to stop (OrvOleDbCommand::Cancel,
// which the engine turns into an interrupt of SQLite), so a long statement ends at once
// with an error while the shell's own thread goes on. Work that runs between statements
// (a copy, a script) polls Requested() and stops there.
//
// Install once, on the main thread, before any other thread starts: the canceller thread
// keeps SIGINT blocked, so the signal always reaches the main thread and breaks its wait for
// input. Everything else may be called from the main thread at any time.
#pragma once

#include "OrvOleDb.h"

namespace orvsql {

// Sets the handler and starts the canceller thread. Later calls do nothing.
void InstallInterruptHandler();

// True once Ctrl-C was pressed, until ClearInterrupt.
bool InterruptRequested();
void ClearInterrupt();

// While it lives, Ctrl-C cancels `command`. The command must outlive it.
class CancelOnInterrupt {
public:
    explicit CancelOnInterrupt(OrvOleDbCommand& command);
    ~CancelOnInterrupt();
    CancelOnInterrupt(const CancelOnInterrupt&) = delete;
    CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;

private:
    OrvOleDbCommand& m_command;
};

}  // namespace orvsql
