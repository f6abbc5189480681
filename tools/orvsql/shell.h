// orvsql's shell: holds the open file's connection and runs statements and dot-commands
// on it, printing results with the current output mode. Also the splitter that cuts
// input text into statements. One thread uses a shell, with COM initialised on it.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "OrvOleDb.h"
#include "diagnostics.h"
#include "output.h"

namespace orvsql {

// Exit statuses, also the outcome of each statement.
enum ExitStatus : int {
    kSuccess = 0,
    kSqlError = 1,  // a statement failed, or a file could not be opened
    kUsage = 2,  // a bad option, argument or dot-command
    kInterrupted = 130,  // a script stopped by Ctrl-C (128 + SIGINT, as shells report it)
};

// Cuts text into statements at ';' outside quoted strings ('...', "..."), [bracketed]
// names and comments. A line that starts with '.' while no statement is pending is a
// dot-command on its own, ended by the line break. Each statement keeps the line and
// column where it started, counted from the first line added.
class StatementSplitter {
public:
    // Adds one line (without its line break) and returns the statements and dot-commands
    // it completed, in order.
    std::vector<Statement> AddLine(const std::string& line);
    // Whatever is pending when the input ends, as one last statement (none when blank).
    std::vector<Statement> Finish();
    // Drops what is pending and counts lines from 1 again: at the prompt, where a line
    // number means the line of the statement being typed.
    void Discard();
    bool Pending() const;

private:
    void Scan(const std::string& text, std::vector<Statement>& done);

    std::string m_pending;
    SourcePosition m_start;  // of the pending statement's first character
    int m_line = 0;  // of the line being scanned
    char m_quote = 0;  // the open quote (' " ]) or 0
    bool m_blockComment = false;
};

// Which kind of file a path holds, from its first bytes and its name.
enum class FileType { Database, Xlsx, Xls, Csv, Unknown };
// True for a postgresql:// (or postgres://) address.
bool IsServerAddress(const std::string& text);
FileType DetectFileType(const std::string& path);
// What the name alone says (for a file that does not exist yet).
FileType TypeByName(const std::string& path);
bool ParseFileType(const std::string& name, FileType& type);
const char* FileTypeName(FileType type);

// What the prompt's settings commands change; the options set the first values.
struct Settings {
    OutputMode mode = OutputMode::Table;
    WriterOptions writer;  // .headers, .nullvalue, .separator
    bool timer = false;  // .timer: the time of each statement on stderr
    bool echo = false;  // .echo: each statement printed before it runs
    bool bail = true;  // .bail: stop at the first error (scripts; the prompt goes on)
    bool verbose = false;  // --verbose: the whole error record and the statement
    int busyTimeoutMs = 0;  // --busy-timeout, .timeout: how long a locked file is waited for
};

// Where results go: standard output, or a file named by .output (until the next .output) or
// .once (for one result). The file is written under a temporary name beside it and renamed
// over FILE when it is closed, so FILE holds either its old content or the whole output.
class OutputTarget {
public:
    OutputTarget() = default;
    ~OutputTarget() { Close(); }
    OutputTarget(const OutputTarget&) = delete;
    OutputTarget& operator=(const OutputTarget&) = delete;

    std::FILE* Stream() const { return m_file ? m_file : stdout; }
    bool ToFile() const { return m_file != nullptr; }
    // Starts writing to `path`; an empty path means standard output again. "" or a reason.
    std::string Redirect(const std::string& path, bool once);
    // After a result: a .once file is complete now.
    std::string ResultDone();
    // Finishes a file: synced and renamed into place. "" or a reason.
    std::string Close();

private:
    std::FILE* m_file = nullptr;
    std::string m_path;
    std::string m_temporary;
    bool m_once = false;
};

// The dot-commands and what each does, as .help prints them.
const char* DotCommandHelp();

class Shell {
public:
    Shell(const Settings& settings, bool interactive);
    ~Shell();

    // Opens `path` (closing what was open) as `type`; `temporaryCopy` is removed when the
    // shell closes it. kSuccess, or kSqlError with a message printed.
    int Open(const std::string& path, FileType type, bool temporaryCopy = false);
    // Opens a server: `target` is a postgresql:// address, or with `provider` the rest of an
    // initialisation string ("Data Source=host;Initial Catalog=db;").
    int OpenServer(const std::string& target, const std::string& provider);
    // Gives the connection back to the cache; rolls back a transaction left open.
    void Close();
    // Creates an empty file of the kind `path` names and opens it: a database file, a
    // workbook for ".xlsx" (written by its first CREATE TABLE), a folder of text files for a
    // name ending in "/". Never over an existing file.
    int Create(const std::string& path);
    // Compacts the open database file in place, showing progress on a terminal, and opens
    // it again.
    int Compact();

    // Runs one statement or dot-command. `quit` becomes true after .quit or .exit, with
    // `exitCode` set by .exit CODE.
    int Run(const Statement& statement, bool& quit);
    // Runs statements in order; stops at the first failure while .bail is on, and at
    // Ctrl-C (kInterrupted). The first failure's status, or kSuccess.
    int RunAll(const std::vector<Statement>& statements, bool& quit);

    const Settings& GetSettings() const { return m_settings; }
    // The status that .exit CODE asked for, or -1.
    int ExitCode() const { return m_exitCode; }
    // Lists the tables of the open file.
    int ListTables();
    // SQL keywords, dot-commands, and the open file's table and column names: what the
    // prompt completes.
    std::vector<std::string> CompletionWords();

private:
    // Takes a connection for `init` from the cache; `name` is what messages call it.
    int Connect(const CComBSTR& init, const std::string& name);
    int RunSql(const Statement& statement);
    int RunDotCommand(const Statement& statement, bool& quit);
    int RunSettingsCommand(const std::string& command, const std::vector<std::string>& words);
    int ShowSettings();
    int ReadScript(const std::string& path, bool& quit);
    int Dump(const std::string& table);
    bool QueryTexts(const std::string& sql, std::vector<std::string>& texts);
    int SetBusyTimeout(int milliseconds);
    int ShowSchema(const std::string& table);
    int ListIndexes(const std::string& table);
    int Transaction(const std::string& what);
    // Executes the statement on m_command; prints the error and returns false when it fails.
    bool Execute(const Statement& statement);
    void PrintError(OrvOleDbErrorInfo& failed, const Statement& statement);
    WriterOptions Writer() const;
    std::vector<Cell> ReadRow(unsigned __int64 columns);
    Cell ReadBlob(unsigned __int64 col, unsigned short type);
    // Row counts and time: after the table on stdout, or on a terminal's stderr.
    void Report(const std::string& what, std::chrono::steady_clock::duration elapsed);
    int Fail(int status, const std::string& message);

    Settings m_settings;
    OutputTarget m_output;
    int m_exitCode = -1;  // .exit CODE; -1 when none was given
    int m_readDepth = 0;  // .read inside .read
    bool m_completionStale = true;
    std::vector<std::string> m_completionNames;
    bool m_interactive;
    bool m_stdoutTerminal;
    bool m_stderrTerminal;
    OrvOleDbConnection* m_connection = nullptr;
    OrvOleDbCommand m_command;
    CComBSTR m_init;
    std::string m_path;
    std::string m_temporaryCopy;
    int m_transactionDepth = 0;
    bool m_server = false;  // opened by OpenServer: no file, no SQLite underneath
};

}  // namespace orvsql
