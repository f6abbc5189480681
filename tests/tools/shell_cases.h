// Test support: orvsql's behaviour written as cases in data files (tests/tools/cases/*.test,
// tests/pg/cases/*.test), each case a test of its own in a fresh folder. A file is a list of
// records, each a directive line followed by its lines up to a blank line; lines starting
// with "#" outside a record are comments. The records before the first "case" run at the
// start of every case of the file.
//
//   case NAME      the start of a case (NAME: letters and digits)
//   sqlite         SQL that SQLite runs on plant.mdb in the folder
//   file NAME      the record's lines, each ended by "\n", written to NAME in the folder
//   run [exit N] [interrupt MS]
//                  orvsql run in the folder, which must end with status N (0 when not
//                  given; status 1 or 2 must come with words on standard error), sent a
//                  SIGINT (as Ctrl-C sends it to a script) MS milliseconds after it is
//                  ready for one: one argument a line, up to the first of these optional
//                  sections:
//                    <<<            its standard input, each line ended by "\n" (the
//                                   last one not with "<<< unended")
//                    ----           its standard output, exactly
//                    ---- stderr    its standard error, exactly
//   expect NAME    the file NAME in the folder holds each of the record's lines (with
//                  "exact": is them, each ended by "\n"); with no lines, NAME must not exist
//   folder [NAME]  the names in the folder (or in its folder NAME), sorted, are the lines
//
// A section title followed by "holds" checks each line as a part the text holds ("!" before
// it: does not hold; "^": starts with); followed by "json", each line of the text is read
// by Python's JSON module (which refuses what RFC 8259 does not allow, NaN and Infinity
// included) and written back in one canonical form (keys sorted, every character outside
// ASCII escaped) before it is compared. On a directive, "crlf" ends the lines of exact
// standard output with "\r\n", and "escaped" reads \n \r \t \\ and \xHH in the record's
// lines (a line of output that starts with "----" is written "\x2d---"). "$DIR" in any line
// stands for the case's folder, and each caller may add names.
//
// The cases run the program as a separate process with files as its standard streams
// (never a terminal); Terminal runs it on a pseudo-terminal that a test types into, as a
// person at the prompt would (Ctrl-C, Tab, the caret under an error).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/holds.h"
#include "support/python.h"

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
        const std::string paths[] = {in, out, err};
        for (int fd = 0; fd < 3; ++fd)
            ::dup2(::open(paths[fd].c_str(), fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0600), fd);
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

    // Types `keys`, then waits for each of `texts` in turn; a failure shows the screen.
    ::testing::AssertionResult Shows(const std::string& keys, std::initializer_list<const char*> texts) {
        Type(keys);
        for (const char* text : texts)
            if (!WaitFor(text)) return ::testing::AssertionFailure() << "no \"" << text << "\" in:\n" << m_shown;
        return ::testing::AssertionSuccess();
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

struct ShellRecord {
    std::string where;  // file:line, for failure messages
    std::vector<std::string> words;  // the directive line
    std::vector<std::string> lines;
    bool Has(const std::string& word) const { return std::find(words.begin(), words.end(), word) != words.end(); }
};

struct ShellCase {
    std::string name;
    std::vector<ShellRecord> records;  // the file's prelude first
};
inline void PrintTo(const ShellCase& c, std::ostream* out) { *out << c.name; }

inline std::string Unescaped(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        if (c == 'x') {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
        }
    }
    return out;
}

// Every case of every *.test file in `folder`, in the order of the file names.
inline std::vector<ShellCase> ReadShellCases(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().extension() == ".test") files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    std::vector<ShellCase> cases;
    for (const std::string& file : files) {
        std::ifstream in(file);
        std::vector<ShellRecord> prelude;
        std::vector<ShellRecord>* records = &prelude;
        ShellRecord* open = nullptr;
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            if (line.empty()) {
                open = nullptr;
            } else if (open) {
                open->lines.push_back(line);
            } else if (line[0] != '#') {
                std::istringstream words(line);
                ShellRecord record{std::filesystem::path(file).filename().string() + ":" + std::to_string(number)};
                for (std::string w; words >> w;) record.words.push_back(w);
                if (record.words[0] == "case") {
                    cases.push_back({record.words.at(1), prelude});
                    records = &cases.back().records;
                    continue;
                }
                records->push_back(record);
                open = &records->back();
            }
        }
    }
    return cases;
}

// Every line of `text` read by Python's JSON module and written back in one canonical form.
inline std::string JsonByPython(const TempDir& dir, const std::string& text) {
    WriteFile(dir.Path("lines.json"), text);
    return RunPython(dir.Path("canonical.py"),
                     "import json, sys\n"
                     "def refuse(name): raise ValueError(name)\n"
                     "for line in open(sys.argv[1], encoding='utf-8', newline='\\n'):\n"
                     "    print(json.dumps(json.loads(line, parse_constant=refuse), sort_keys=True))\n",
                     ShellQuote(dir.Path("lines.json")));
}

// Checks `text` against a section's lines: exactly (each line ended by `end`) or, with
// `holds`, part by part.
inline void ExpectText(const std::string& what, const std::string& text, const std::vector<std::string>& lines,
                       bool holds, const std::string& end = "\n") {
    if (!holds) {
        std::string expected;
        for (const std::string& l : lines) expected += l + end;
        EXPECT_EQ(text, expected) << what;
        return;
    }
    for (const std::string& l : lines) {
        if (l[0] == '!')
            EXPECT_EQ(text.find(l.substr(1)), std::string::npos) << what << " holds " << l << ":\n" << text;
        else if (l[0] == '^') EXPECT_EQ(text.rfind(l.substr(1), 0), 0u) << what << " starts " << l << ":\n" << text;
        else EXPECT_NE(text.find(l), std::string::npos) << what << " lacks " << l << ":\n" << text;
    }
}

// Runs the records of `c` in a fresh folder, with each name of `names` replaced by its text.
inline void RunShellCase(const ShellCase& c, std::map<std::string, std::string> names = {}) {
    const TempDir dir;
    names["$DIR"] = dir.Path();
    for (const ShellRecord& r : c.records) {
        SCOPED_TRACE(r.where);
        std::vector<std::string> lines = r.lines;
        for (std::string& line : lines) {
            for (const auto& [name, text] : names)
                for (std::size_t at; (at = line.find(name)) != std::string::npos;) line.replace(at, name.size(), text);
            if (r.Has("escaped")) line = Unescaped(line);
        }
        // Sections are found in the lines as written, so that escaped text never starts one.
        auto next = [&](std::size_t from) {
            while (from < lines.size() && r.lines[from].rfind("<<<", 0) != 0 && r.lines[from].rfind("----", 0) != 0)
                ++from;
            return from;
        };
        auto join = [&](std::size_t from, std::size_t to) {
            std::string text;
            for (; from < to; ++from) text += lines[from] + "\n";
            return text;
        };
        const std::string& what = r.words[0];
        if (what == "sqlite") {
            MakeDatabase(dir.Path("plant.mdb"), join(0, lines.size()).c_str());
        } else if (what == "file") {
            WriteFile(dir.Path(r.words.at(1)), join(0, lines.size()));
        } else if (what == "expect") {
            if (lines.empty()) EXPECT_FALSE(Exists(dir.Path(r.words.at(1)))) << r.words[1];
            else ExpectText(r.words[1], ReadFile(dir.Path(r.words[1])), lines, !r.Has("exact"));
        } else if (what == "folder") {
            std::vector<std::string> entries;
            for (const auto& entry :
                 std::filesystem::directory_iterator(dir.Path(r.words.size() > 1 ? r.words[1] : "")))
                entries.push_back(entry.path().filename().string());
            std::sort(entries.begin(), entries.end());
            EXPECT_EQ(entries, lines);
        } else if (what == "run") {
            std::size_t section = next(0), end = section;
            const std::vector<std::string> args(lines.begin(), lines.begin() + static_cast<long>(section));
            std::string input;
            if (section < lines.size() && r.lines[section].rfind("<<<", 0) == 0) {
                end = next(section + 1);
                input = join(section + 1, end);
                if (r.lines[section] == "<<< unended") input.pop_back();
                section = end;
            }
            const auto interrupt = std::find(r.words.begin(), r.words.end(), "interrupt");
            const ShellResult result =
                RunShell(dir, args, input,
                         std::chrono::milliseconds(interrupt == r.words.end() ? 0 : std::stoi(*(interrupt + 1))));
            const auto exit = std::find(r.words.begin(), r.words.end(), "exit");
            const int status = exit == r.words.end() ? 0 : std::stoi(*(exit + 1));
            EXPECT_EQ(result.status, status) << result.err;
            if (status == 1 || status == 2) {
                EXPECT_NE(result.err, "") << "a failure says why";
            }
            for (; section < lines.size(); section = end) {
                end = next(section + 1);
                const bool err = r.lines[section].find("stderr") != std::string::npos;
                const bool json = r.lines[section].find("json") != std::string::npos;
                ExpectText(err ? "stderr" : "stdout",
                           json  ? JsonByPython(dir, result.out)
                           : err ? result.err
                                 : result.out,
                           {lines.begin() + static_cast<long>(section) + 1, lines.begin() + static_cast<long>(end)},
                           r.lines[section].find("holds") != std::string::npos, r.Has("crlf") && !err ? "\r\n" : "\n");
            }
        } else {
            ADD_FAILURE() << "unknown directive " << what;
        }
    }
}

}  // namespace orv::test
