// orvsql's interactive prompt on the line editor (libedit): history kept in
// ~/.orvsql_history, Tab completing SQL keywords, dot-commands and the open file's table and
// column names, and Ctrl-C clearing the line being typed instead of ending the program.
//
// One prompt at a time, used by the main thread only (the line editor keeps global state);
// InstallInterruptHandler must have run first, so that Ctrl-C breaks the wait for a key.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvsql {

// The candidates that start with `prefix`, ignoring case, in the case the user typed when
// the candidate is a keyword (all capitals), as written otherwise.
std::vector<std::string> CompletionsFor(const std::string& prefix, const std::vector<std::string>& words);

class Prompt {
public:
    enum Outcome { kLine, kInterrupted, kEnd };

    // `words` gives what Tab completes; it is asked again at each Tab.
    explicit Prompt(std::function<std::vector<std::string>()> words);
    ~Prompt();
    Prompt(const Prompt&) = delete;
    Prompt& operator=(const Prompt&) = delete;

    // Shows `prompt` and reads one line into `line` (kLine); kInterrupted after Ctrl-C, with
    // the typed text dropped; kEnd at the end of input (Ctrl-D).
    Outcome Read(const char* prompt, std::string& line);
};

}  // namespace orvsql
