// orvsql's shell: holds the open file's connection and runs statements and dot-commands
// on it, printing results with the current output mode. Also the splitter that cuts
// input text into statements. One thread uses a shell, with COM initialised on it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "OrvOleDb.h"
#include "output.h"

namespace orvsql {

// Exit statuses, also the outcome of each statement.
enum ExitStatus : int {
    kSuccess = 0,
    kSqlError = 1,  // a statement failed, or a file could not be opened
    kUsage = 2,     // a bad option, argument or dot-command
};

// Cuts text into statements at ';' outside quoted strings ('...', "..."), [bracketed]
// names and comments. A line that starts with '.' while no statement is pending is a
// dot-command on its own, ended by the line break.
class StatementSplitter {
public:
    // Adds one line (without its line break) and returns the statements and dot-commands
    // it completed, in order.
    std::vector<std::string> AddLine(const std::string& line);
    // Whatever is pending when the input ends, as one last statement (none when blank).
    std::vector<std::string> Finish();
    bool Pending() const;

private:
    void Scan(const std::string& text, std::vector<std::string>& done);

    std::string m_pending;
    char m_quote = 0;          // the open quote (' " ]) or 0
    bool m_blockComment = false;
};

// Which kind of file a path holds, from its first bytes and its name.
enum class FileType { Database, Xlsx, Xls, Csv, Unknown };
// True for a postgresql:// (or postgres://) address.
bool IsServerAddress(const std::string& text);
FileType DetectFileType(const std::string& path);
bool ParseFileType(const std::string& name, FileType& type);
const char* FileTypeName(FileType type);

class Shell {
public:
    Shell(OutputMode mode, bool interactive);
    ~Shell();

    // Opens `path` (closing what was open) as `type`; `temporaryCopy` is removed when the
    // shell closes it. kSuccess, or kSqlError with a message printed.
    int Open(const std::string& path, FileType type, bool temporaryCopy = false);
    // Opens a server: `target` is a postgresql:// address, or with `provider` the rest of an
    // initialisation string ("Data Source=host;Initial Catalog=db;").
    int OpenServer(const std::string& target, const std::string& provider);
    // Gives the connection back to the cache; rolls back a transaction left open.
    void Close();
    // Creates an empty database file at `path` (never over an existing file) and opens it.
    int Create(const std::string& path);
    // Compacts the open database file in place, showing progress on a terminal, and opens
    // it again.
    int Compact();

    // Runs one statement or dot-command. `quit` becomes true after .quit.
    int Run(const std::string& text, bool& quit);

    OutputMode Mode() const { return m_mode; }
    // Lists the tables of the open file.
    int ListTables();

private:
    // Takes a connection for `init` from the cache; `name` is what messages call it.
    int Connect(const CComBSTR& init, const std::string& name);
    int RunSql(const std::string& sql);
    int RunDotCommand(const std::string& line, bool& quit);
    int ShowSchema(const std::string& table);
    int ListIndexes(const std::string& table);
    int Transaction(const std::string& what);
    // Executes `sql` on m_command; prints the error and returns false when it fails.
    bool Execute(const std::string& sql);
    std::vector<Cell> ReadRow(unsigned __int64 columns);
    Cell ReadBlob(unsigned __int64 col, unsigned short type);
    // Row counts and time: after the table on stdout, or on a terminal's stderr.
    void Report(const std::string& what, std::chrono::steady_clock::duration elapsed);
    int Fail(int status, const std::string& message);

    OutputMode m_mode;
    bool m_interactive;
    bool m_stdoutTerminal;
    bool m_stderrTerminal;
    OrvOleDbConnection* m_connection = nullptr;
    OrvOleDbCommand m_command;
    CComBSTR m_init;
    std::string m_path;
    std::string m_temporaryCopy;
    int m_transactionDepth = 0;
};

}  // namespace orvsql
