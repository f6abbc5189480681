// Ctrl-C: a flag and a pipe written by the signal handler, and a thread that cancels the
// running commands when the pipe wakes it.
#include "interrupt.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

namespace orvsql {
namespace {

volatile sig_atomic_t g_requested = 0;
int g_wake[2] = {-1, -1};
pthread_t g_mainThread;  // the prompt's; set before the handler is installed

std::mutex g_runningLock;
std::vector<OrvOleDbCommand*> g_running;  // guarded by g_runningLock

void OnInterrupt(int) {
    const int saved = errno;
    if (!pthread_equal(pthread_self(), g_mainThread)) {
        // The main thread held the signal back (drawing the prompt, handling a key) and the
        // system gave it to another thread: hand it on, so that it breaks the prompt's wait.
        ::pthread_kill(g_mainThread, SIGINT);
        errno = saved;
        return;
    }
    g_requested = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_wake[1], &byte, 1);
    errno = saved;
}

void CancelRunning() {
    char bytes[64];
    for (;;) {
        const ssize_t got = ::read(g_wake[0], bytes, sizeof bytes);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        std::lock_guard<std::mutex> lock(g_runningLock);
        for (OrvOleDbCommand* command : g_running) command->Cancel();
    }
}

}  // namespace

void InstallInterruptHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (::pipe2(g_wake, O_CLOEXEC) != 0) return;  // without the pipe Ctrl-C keeps its default
        g_mainThread = pthread_self();
        // The thread starts with SIGINT blocked and keeps it so; the main thread takes it.
        sigset_t interrupt, previous;
        sigemptyset(&interrupt);
        sigaddset(&interrupt, SIGINT);
        pthread_sigmask(SIG_BLOCK, &interrupt, &previous);
        std::thread(CancelRunning).detach();
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);

        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: a wait for input returns, so the prompt can clear its line
        sigaction(SIGINT, &action, nullptr);
    });
}

bool InterruptRequested() { return g_requested != 0; }

void ClearInterrupt() { g_requested = 0; }

CancelOnInterrupt::CancelOnInterrupt(OrvOleDbCommand& command) : m_command(command) {
    std::lock_guard<std::mutex> lock(g_runningLock);
    g_running.push_back(&m_command);
}

CancelOnInterrupt::~CancelOnInterrupt() {
    std::lock_guard<std::mutex> lock(g_runningLock);
    g_running.erase(std::find(g_running.begin(), g_running.end(), &m_command));
}

}  // namespace orvsql
