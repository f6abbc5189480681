// The prompt: libedit's character-at-a-time interface, so that the wait for a key is our
// own poll(), which Ctrl-C breaks; the line editor never sees the signal.
#include "prompt.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <editline/readline.h>

#include "interrupt.h"
#include "platform/strings.h"

namespace orvsql {
namespace {

// The line editor calls back into plain functions; these hold what they need.
std::function<std::vector<std::string>()> g_words;
std::vector<std::string> g_matches;
std::size_t g_nextMatch = 0;
bool g_lineDone = false;
bool g_lineEnd = false;
std::string g_line;

char* NextMatch(const char* text, int state) {
    if (state == 0) {
        g_matches = g_words ? CompletionsFor(text, g_words()) : std::vector<std::string>{};
        g_nextMatch = 0;
    }
    return g_nextMatch < g_matches.size() ? ::strdup(g_matches[g_nextMatch++].c_str()) : nullptr;
}

char** Complete(const char* text, int, int) {
    rl_attempted_completion_over = 1;  // no file names in SQL
    return rl_completion_matches(text, NextMatch);
}

void TakeLine(char* text) {
    g_lineDone = true;
    g_lineEnd = text == nullptr;
    if (text) g_line = text;
    std::free(text);
    rl_callback_handler_remove();
}

std::string HistoryFile() {
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.orvsql_history" : "";
}

bool IsKeyword(const std::string& word) {
    return std::none_of(word.begin(), word.end(), [](unsigned char c) { return std::islower(c); }) &&
           std::any_of(word.begin(), word.end(), [](unsigned char c) { return std::isupper(c); });
}

}  // namespace

std::vector<std::string> CompletionsFor(const std::string& prefix, const std::vector<std::string>& words) {
    const bool lowerTyped = std::any_of(prefix.begin(), prefix.end(), [](unsigned char c) { return std::islower(c); });
    std::vector<std::string> matches;
    for (const std::string& word : words) {
        if (word.size() < prefix.size() || strncasecmp(word.c_str(), prefix.c_str(), prefix.size()) != 0) continue;
        std::string match = word;
        if (lowerTyped && IsKeyword(word)) match = orv::platform::Lower(match);
        matches.push_back(match);
    }
    return matches;
}

Prompt::Prompt(std::function<std::vector<std::string>()> words) {
    g_words = std::move(words);
    rl_catch_signals = 0;  // Ctrl-C is the shell's (interrupt.h)
    rl_readline_name = "orvsql";
    rl_attempted_completion_function = Complete;
    using_history();
    const std::string history = HistoryFile();
    if (!history.empty()) read_history(history.c_str());
}

Prompt::~Prompt() {
    const std::string history = HistoryFile();
    if (!history.empty()) write_history(history.c_str());
    g_words = nullptr;
}

Prompt::Outcome Prompt::Read(const char* prompt, std::string& line) {
    g_lineDone = false;
    g_lineEnd = false;
    g_line.clear();
    std::fflush(stdout);
    // SIGINT is held back except inside ppoll, which lets it in atomically: a Ctrl-C that
    // comes while the prompt is drawn or a key is handled waits for the next ppoll and
    // breaks it, where with poll it could land just before the wait and be missed.
    sigset_t interrupt, previous;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupt, &previous);
    sigset_t open = previous;
    sigdelset(&open, SIGINT);
    rl_callback_handler_install(prompt, TakeLine);
    Outcome outcome = kLine;
    while (!g_lineDone) {
        pollfd input{0, POLLIN, 0};
        const int ready = InterruptRequested() ? -1 : ::ppoll(&input, 1, nullptr, &open);
        if (ready < 0 && (InterruptRequested() || errno == EINTR)) {
            if (!InterruptRequested()) continue;
            // Ctrl-C: the typed text goes, a new prompt comes.
            ClearInterrupt();
            rl_callback_handler_remove();
            std::fputs("^C\n", stdout);
            outcome = kInterrupted;
            break;
        }
        if (ready < 0 || (input.revents & (POLLHUP | POLLERR | POLLNVAL))) {  // the terminal is gone
            rl_callback_handler_remove();
            outcome = kEnd;
            break;
        }
        rl_callback_read_char();
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (outcome != kLine) return outcome;
    if (g_lineEnd) return kEnd;
    line = g_line;
    if (!line.empty()) add_history(line.c_str());
    return kLine;
}

}  // namespace orvsql
