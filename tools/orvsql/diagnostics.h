// orvsql's error lines: what a failed statement prints. The library's error text is the
// whole error record (row, source, description, help file, GUID, SQL state); a person needs
// its description, its SQL state and where in the statement the error sits. The engine names
// the failing token in its description ("near "FROM": syntax error", "no such column: x"),
// and that token is looked for in the statement as the user wrote it.
//
// Plain functions without state; the shell's thread calls them.
#pragma once

#include <cstdio>
#include <string>

namespace orvsql {

// Where a statement starts in what the user gave: a line of a script or of the prompt's
// input (1-based), and its column there.
struct SourcePosition {
    int line = 1;
    int column = 1;
};

// A statement or dot-command cut from the input, with where it started.
struct Statement {
    std::string text;
    SourcePosition start;
};

struct ErrorRecord {
    std::string description;  // the first record's description, or the whole text
    std::string sqlState;  // empty when the record has none
};

// The description and SQL state of the first record in the library's error text.
ErrorRecord ParseErrorText(const std::string& text);

// The byte offset in `sql` of the token that `description` names, or std::string::npos.
// Quoted strings and comments of `sql` are not searched.
std::size_t ErrorOffset(const std::string& sql, const std::string& description);

// Prints the one-line report of a failed statement to `out`:
//   Error: <description> (SQLSTATE 42S02, line 3, column 15)
// With `caret`, the statement's failing line is shown first with a caret under the token.
void PrintStatementError(std::FILE* out, const ErrorRecord& error, const Statement& statement, bool caret);

}  // namespace orvsql
