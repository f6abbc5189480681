// Test support for orvsql's tests: the program run as a separate process, either with files
// as its standard streams (never a terminal) or on a pseudo-terminal that a test types into,
// as a person at the prompt would (Ctrl-C, Tab, the caret under an error).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"

namespace orv::test {

struct ShellResult {
    int status = -1;
    std::string out;
    std::string err;
};

// In the child: the environment every run gets (HOME and TMPDIR inside `dir`, so that the
// history and the sample's temporary copy can be watched; `dir` as the current folder),
// then orvsql with `args`.
[[noreturn]] inline void ExecShell(const TempDir& dir, const std::vector<std::string>& args) {
    if (::chdir(dir.Path().c_str()) != 0) ::_exit(126);
    const std::string tmp = dir.Path("tmp");
    ::setenv("TMPDIR", tmp.c_str(), 1);
    ::setenv("HOME", dir.Path().c_str(), 1);
    ::setenv("TERM", "xterm", 1);
    ::unsetenv("ORVSQL_SAMPLE");
    std::vector<char*> argv{const_cast<char*>(ORVSQL)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(ORVSQL, argv.data());
    ::_exit(127);
}

// Waits (at most half a minute) until process `pid` has its own handler for `signal`, so
// that a signal sent afterwards tests the program's handling, not how fast it started.
inline void WaitUntilCatching(pid_t pid, int signal) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    while (std::chrono::steady_clock::now() < end) {
        const std::string text = ReadFile(status);
        const std::size_t at = text.find("SigCgt:");
        if (at != std::string::npos && (std::stoull(text.substr(at + 7), nullptr, 16) >> (signal - 1) & 1)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

inline int ExitStatus(int wstatus) { return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus); }

// Runs orvsql with `args` and `input` as its standard input (a file, so never a terminal).
// With `interruptAfter`, a SIGINT is sent that long after the program is ready for it (and,
// with `underWay`, after that says the work to interrupt has begun), as Ctrl-C sends it to
// a script.
inline ShellResult RunShell(const TempDir& dir, const std::vector<std::string>& args, const std::string& input = "",
                            std::chrono::milliseconds interruptAfter = std::chrono::milliseconds(0),
                            const std::function<bool()>& underWay = {}) {
    const std::string in = dir.Path("stdin"), out = dir.Path("stdout"), err = dir.Path("stderr");
    std::filesystem::create_directories(dir.Path("tmp"));
    WriteFile(in, input);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fdIn = ::open(in.c_str(), O_RDONLY);
        const int fdOut = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int fdErr = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fdIn, 0);
        ::dup2(fdOut, 1);
        ::dup2(fdErr, 2);
        ExecShell(dir, args);
    }
    if (interruptAfter.count() > 0) {
        WaitUntilCatching(pid, SIGINT);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (underWay && !underWay() && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::this_thread::sleep_for(interruptAfter);
        ::kill(pid, SIGINT);
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    ShellResult r;
    r.status = ExitStatus(wstatus);
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    return r;
}

// orvsql on a pseudo-terminal of 80 columns: Type sends keys (the terminal turns "\x03" into
// SIGINT, as a keyboard's Ctrl-C), WaitFor reads what the program shows until a text
// appears after what earlier waits consumed.
class Terminal {
public:
    Terminal(const TempDir& dir, const std::vector<std::string>& args) {
        std::filesystem::create_directories(dir.Path("tmp"));
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        const std::string slave = ::ptsname(m_master);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setsid();  // the terminal becomes the controlling one, so Ctrl-C reaches the shell
            const int fd = ::open(slave.c_str(), O_RDWR);
            winsize size{};
            size.ws_row = 24;
            size.ws_col = 80;
            ::ioctl(fd, TIOCSWINSZ, &size);
            ::dup2(fd, 0);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            if (fd > 2) ::close(fd);
            ExecShell(dir, args);
        }
    }
    ~Terminal() {
        if (m_pid > 0 && !m_exited) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_master >= 0) ::close(m_master);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    void Type(const std::string& keys) {
        if (::write(m_master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
            throw std::runtime_error("cannot type into the terminal");
    }

    // True once `text` was shown; what came before it (and it) is consumed.
    bool WaitFor(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(30)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const std::size_t at = m_shown.find(text, m_consumed);
            if (at != std::string::npos) {
                m_consumed = at + text.size();
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
        }
    }

    // Everything the program showed so far.
    const std::string& Shown() const { return m_shown; }

    // Waits for the program to end; its exit status, or -1 when it did not end in time.
    int Finish(std::chrono::seconds limit = std::chrono::seconds(30)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            ReadSome(50);
            int wstatus = 0;
            if (::waitpid(m_pid, &wstatus, WNOHANG) == m_pid) {
                m_exited = true;
                while (ReadSome(50)) {}
                return ExitStatus(wstatus);
            }
        }
        return -1;
    }

private:
    bool ReadSome(int milliseconds) {
        pollfd fd{m_master, POLLIN, 0};
        if (::poll(&fd, 1, milliseconds) <= 0) return false;
        char buffer[4096];
        const ssize_t got = ::read(m_master, buffer, sizeof buffer);
        if (got <= 0) return false;
        m_shown.append(buffer, static_cast<std::size_t>(got));
        return true;
    }

    int m_master = -1;
    pid_t m_pid = -1;
    bool m_exited = false;
    std::string m_shown;
    std::size_t m_consumed = 0;
};

}  // namespace orv::test
