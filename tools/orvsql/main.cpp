// orvsql: the command-line SQL shell. Opens a file through the library's connection cache
// and runs SQL from its arguments, from piped standard input or at an interactive prompt.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "OrvOleDb.h"
#include "interrupt.h"
#include "prompt.h"
#include "shell.h"
#include "transfer.h"

namespace {

using namespace orvsql;

const char* const kUsageLine = "usage: orvsql [options] [FILE | postgresql://ADDRESS] [SQL ...]\n";

const char* const kHelp =
    "Opens FILE and runs each SQL argument in order. Without SQL arguments it reads\n"
    "statements from standard input, separated by ';' (a ';' inside a quoted string or a\n"
    "[bracketed] name does not separate), or shows a prompt when the input is a terminal.\n"
    "Without FILE it opens a copy of the bundled sample database (suppliers, parts,\n"
    "orders, order_lines); the copy is removed at exit, so the sample stays as it was.\n"
    "The first argument is taken as FILE when it names an existing path (. is the current\n"
    "folder) or has no blank or ';' in it and does not start with '.'; otherwise it is SQL\n"
    "on the sample. A FILE that does not exist is not created, except a .xlsx workbook,\n"
    "which its first CREATE TABLE writes.\n"
    "\n"
    "Options:\n"
    "  --table           print results as an aligned table (the default)\n"
    "  --box             an aligned table drawn with box characters\n"
    "  --markdown        a Markdown pipe table\n"
    "  --line            one line per column (name = value), a blank line between rows\n"
    "  --csv             print results as CSV (RFC 4180: CRLF line ends, quotes doubled)\n"
    "  --json            print each row as one JSON object on its own line\n"
    "  --tsv             print results as tab-separated values\n"
    "  --type TYPE       open FILE as TYPE: db, xlsx, xls or csv (default: detected from\n"
    "                    the file's first bytes and name). A workbook's sheets are tables\n"
    "                    named with a $ (SELECT * FROM [Sheet1$]), cell ranges too\n"
    "                    ([Sheet1$A1:C10]); a csv file, or a folder of them, has a table\n"
    "                    per file named by its file name (SELECT * FROM [parts.csv]).\n"
    "  --provider NAME   open the first argument as the rest of an initialisation string\n"
    "                    for the provider NAME: --provider PostgreSQL \"Data Source=host;\n"
    "                    Initial Catalog=db;User ID=me;\". A postgresql://user@host/db\n"
    "                    address opens a PostgreSQL server without it.\n"
    "  --create FILE     create FILE, of the kind its name says, then open it and go on as\n"
    "                    with FILE: a database file; for .xlsx a workbook (written by its\n"
    "                    first CREATE TABLE, as a workbook has at least one sheet); for a\n"
    "                    name ending in / a folder whose text files are tables. Never over\n"
    "                    an existing file.\n"
    "  --compact FILE    compact the database file FILE in place and exit\n"
    "  --convert SOURCE DEST\n"
    "                    convert the genuine Access database SOURCE (.mdb, .accdb) into\n"
    "                    the new database file DEST, check every row, and exit\n"
    "  --busy-timeout MS wait up to MS milliseconds for a file that another program has\n"
    "                    locked (opening it, and each statement) before failing; on a\n"
    "                    server, for a lock that another session holds\n"
    "  -v, --verbose     print the whole error record (source, GUID, native code, ...)\n"
    "                    and the statement when a statement fails\n"
    "  -h, --help        print this help and exit\n"
    "  --version         print the version and exit\n"
    "  --                end of options (a FILE or SQL that starts with '-')\n"
    "\n"
    "Commands (at the prompt, as SQL arguments, or on a line of their own in piped input):\n"
    "%s"
    "\n"
    ".tables, .schema and .indexes read the database's catalogs. .import copies a delimited\n"
    "text file into a table (created with the file's column types when missing), .export a\n"
    "table into a new text file (with a schema.ini section that keeps its column types);\n"
    "either runs in one transaction, so a failure or Ctrl-C leaves nothing behind, shows a\n"
    "progress bar when standard error is a terminal and prints the number of rows copied.\n"
    "\n"
    "At the prompt, Tab completes SQL keywords, dot-commands and the names of tables and\n"
    "columns; the history is kept in ~/.orvsql_history. Ctrl-C stops the running statement\n"
    "and returns to the prompt, or clears the line being typed; Ctrl-D leaves.\n"
    "\n"
    "Values: NULL is shown as (null) in the table, box, Markdown and line views (dimmed on a\n"
    "terminal), as an empty field in CSV (the empty text is \"\"), as \\N in TSV and as null\n"
    "in JSON; .nullvalue changes all but JSON. A real number is the shortest text that\n"
    "reads back as the same number (1.5, 0.30000000000000004, 1e-10). CSV, TSV and JSON\n"
    "are exact: currency and decimals keep every digit, dates are ISO 8601 (2024-03-02\n"
    "13:30:00, or 2024-03-02 at midnight); the other views show dates in the user's locale.\n"
    "Numeric columns are JSON numbers, Yes/No columns JSON true and false. Long text is cut\n"
    "to 40 columns in the aligned views and complete elsewhere; binary values are shown as\n"
    "their size (<25000 bytes>) in the aligned views and as lowercase hexadecimal digits in\n"
    "the others. JSON output is one object per line (JSON lines), not one array.\n"
    "\n"
    "The table is followed by the row count (and the time on a terminal); with --csv,\n"
    "--json and --tsv the counts go to standard error when that is a terminal, so standard\n"
    "output holds only data. A write prints the rows it affected.\n"
    "\n"
    "Errors go to standard error as one line: the description, the SQLSTATE and the line\n"
    "and column of the failing token (at the prompt, with the line and a caret under the\n"
    "token); --verbose prints the whole record. With SQL arguments or piped input, orvsql\n"
    "stops at the first failing statement (.bail off goes on); at the prompt it goes on.\n"
    "\n"
    "Exit status:\n"
    "  0    every statement succeeded\n"
    "  1    a statement failed, or the file could not be opened (missing, unreadable,\n"
    "       or of a type not supported yet)\n"
    "  2    usage error: an unknown option, a missing option value, a bad dot-command\n"
    "  130  a script (SQL arguments or piped input) was stopped by Ctrl-C\n"
    "  .exit CODE leaves with CODE.\n"
    "\n"
    "The sample database is looked for in $ORVSQL_SAMPLE, then in %s\n"
    "beside this program (the installed layout), then in the build tree.\n"
    "\n"
    "Examples:\n"
    "  orvsql \"SELECT name, price FROM parts WHERE price > 10\"\n"
    "  orvsql --csv plant.mdb \"SELECT * FROM parts\" > parts.csv\n"
    "  orvsql plant.mdb .tables \".schema parts\"\n"
    "  orvsql . \"SELECT * FROM [stock.csv]\"   (the CSV files of the current folder)\n"
    "  echo \"UPDATE parts SET price = price * 1.1; SELECT * FROM parts;\" | orvsql plant.mdb\n"
    "  orvsql plant.mdb .dump > plant.sql; orvsql --create copy.mdb \".read plant.sql\"\n"
    "  orvsql plant.mdb              (an interactive prompt)\n";

// The sample's temporary copy, removed by the signal handler when the shell is stopped.
char g_temporaryCopy[4096];

void RemoveCopyAndExit(int signal) {
    if (g_temporaryCopy[0]) ::unlink(g_temporaryCopy);
    ::_exit(128 + signal);
}

// The folder of this program, from the kernel: an installed orvsql finds its sample
// relative to itself, under whatever prefix it was installed.
std::filesystem::path ProgramFolder() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : self.parent_path();
}

std::string FindSample() {
    const char* env = std::getenv("ORVSQL_SAMPLE");
    if (env && *env) return env;
    const std::filesystem::path folder = ProgramFolder();
    std::error_code ec;
    if (!folder.empty()) {
        const std::filesystem::path installed = folder / ORVSQL_SAMPLE_FROM_PROGRAM;
        if (std::filesystem::exists(installed, ec)) return installed.lexically_normal().string();
        // The program in the build tree uses the sample made there.
        if (std::filesystem::equivalent(folder, ORVSQL_BUILD_FOLDER, ec) &&
            std::filesystem::exists(ORVSQL_BUILD_SAMPLE, ec))
            return ORVSQL_BUILD_SAMPLE;
    }
    return "";
}

// Copies the sample to a new temporary file and returns its path, or "" on failure.
std::string CopySample(const std::string& sample) {
    std::string path = (std::filesystem::temp_directory_path() / "orvsql-sample-XXXXXX.mdb").string();
    const int fd = ::mkstemps(path.data(), 4);
    if (fd < 0) return "";
    ::close(fd);
    std::error_code ec;
    std::filesystem::copy_file(sample, path, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        std::remove(path.c_str());
        return "";
    }
    std::snprintf(g_temporaryCopy, sizeof g_temporaryCopy, "%s", path.c_str());
    return path;
}

// Reads statements from piped input (a script) or at the prompt until the end of input or
// .quit; the status to exit with.
int ReadInput(Shell& shell, bool interactive) {
    StatementSplitter splitter;
    bool quit = false;
    std::string line;
    if (interactive) {
        Prompt prompt([&shell] { return shell.CompletionWords(); });
        for (;;) {
            const Prompt::Outcome outcome = prompt.Read(splitter.Pending() ? "   ...> " : "orvsql> ", line);
            if (outcome == Prompt::kEnd) break;
            if (outcome == Prompt::kInterrupted || !splitter.Pending()) splitter.Discard();
            if (outcome == Prompt::kInterrupted) continue;  // the statement being typed goes with the line
            const int result = shell.RunAll(splitter.AddLine(line), quit);
            ClearInterrupt();  // Ctrl-C stopped a statement: the prompt goes on
            if (quit) return shell.ExitCode() >= 0 ? shell.ExitCode() : kSuccess;
            // At the prompt a failure has been shown already; .bail on leaves.
            if (result != kSuccess && shell.GetSettings().bail) return result;
        }
        shell.RunAll(splitter.Finish(), quit);
        std::fputs("\n", stdout);
        return shell.ExitCode() >= 0 ? shell.ExitCode() : kSuccess;
    }
    int status = kSuccess;
    while (!quit && std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const int result = shell.RunAll(splitter.AddLine(line), quit);
        if (result == kInterrupted || InterruptRequested()) return kInterrupted;
        if (result != kSuccess && status == kSuccess) status = result;
        if (result != kSuccess && shell.GetSettings().bail) return status;
    }
    // Ctrl-C while waiting for input ends the read as if the input had ended.
    if (InterruptRequested()) return kInterrupted;
    if (!quit) {
        const int result = shell.RunAll(splitter.Finish(), quit);
        if (result == kInterrupted) return kInterrupted;
        if (result != kSuccess && status == kSuccess) status = result;
    }
    return quit && shell.ExitCode() >= 0 ? shell.ExitCode() : status;
}

// Runs the SQL arguments in order, each one split into statements.
int RunArguments(Shell& shell, const std::vector<std::string>& arguments) {
    bool quit = false;
    int status = kSuccess;
    for (const auto& argument : arguments) {
        StatementSplitter splitter;
        std::vector<Statement> statements = splitter.AddLine(argument);
        for (auto& s : splitter.Finish()) statements.push_back(s);
        const int result = shell.RunAll(statements, quit);
        if (result == kInterrupted) return kInterrupted;
        if (result != kSuccess && status == kSuccess) status = result;
        if ((result != kSuccess && shell.GetSettings().bail) || quit) break;
    }
    return quit && shell.ExitCode() >= 0 ? shell.ExitCode() : status;
}

struct Options {
    Settings settings;
    bool typeGiven = false;
    FileType type = FileType::Database;
    std::string create;  // --create FILE
    std::string compact;  // --compact FILE
    std::string provider;  // --provider NAME
    std::string convertSource, convertDestination;  // --convert SOURCE DEST
    std::vector<std::string> positional;
};

// The value after option `arg`, or "" with a usage message printed when there is none.
bool OptionValue(int argc, char** argv, int& i, const std::string& arg, const char* what, std::string& value) {
    const std::size_t equals = arg.find('=');
    if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
        return true;
    }
    if (i + 1 >= argc) {
        std::fprintf(stderr, "orvsql: %s needs %s\n%s", arg.c_str(), what, kUsageLine);
        return false;
    }
    value = argv[++i];
    return true;
}

// kSuccess with the options, -1 when the program should exit 0 (help, version), or kUsage.
int ParseOptions(int argc, char** argv, Options& options) {
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
            options.positional.push_back(arg);
            continue;
        }
        const std::string name = arg.substr(0, arg.find('='));
        OutputMode mode;
        if (arg == "--") {
            optionsEnd = true;
        } else if (arg.size() > 2 && ParseOutputMode(arg.substr(2), mode)) {
            options.settings.mode = mode;
        } else if (arg == "-v" || arg == "--verbose") {
            options.settings.verbose = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsageLine, stdout);
            std::printf(kHelp, DotCommandHelp(), ORVSQL_SAMPLE_FROM_PROGRAM);
            return -1;
        } else if (name == "--provider") {
            if (!OptionValue(argc, argv, i, arg, "a provider name", options.provider)) return kUsage;
        } else if (arg == "--convert") {
            if (i + 2 >= argc) {
                std::fprintf(stderr, "orvsql: --convert needs the Access database and the new file\n%s", kUsageLine);
                return kUsage;
            }
            options.convertSource = argv[++i];
            options.convertDestination = argv[++i];
        } else if (arg == "--version") {
            std::printf("orvsql 0.1.0\n");
            return -1;
        } else if (name == "--create" || name == "--compact") {
            if (!OptionValue(argc, argv, i, arg, "a file name", name == "--create" ? options.create : options.compact))
                return kUsage;
        } else if (name == "--busy-timeout") {
            std::string value;
            if (!OptionValue(argc, argv, i, arg, "a number of milliseconds", value)) return kUsage;
            if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos) {
                std::fprintf(stderr, "orvsql: --busy-timeout takes a number of milliseconds, not %s\n%s", value.c_str(),
                             kUsageLine);
                return kUsage;
            }
            options.settings.busyTimeoutMs = std::stoi(value);
        } else if (name == "--type") {
            std::string value;
            if (!OptionValue(argc, argv, i, arg, "a value: db, xlsx, xls or csv", value)) return kUsage;
            if (!ParseFileType(value, options.type)) {
                std::fprintf(stderr, "orvsql: unknown --type %s: use db, xlsx, xls or csv\n%s", value.c_str(),
                             kUsageLine);
                return kUsage;
            }
            options.typeGiven = true;
        } else {
            std::fprintf(stderr, "orvsql: unknown option %s\n%sTry 'orvsql --help'.\n", arg.c_str(), kUsageLine);
            return kUsage;
        }
    }
    return kSuccess;
}

// The first positional argument is the file unless it reads as SQL or a dot-command:
// then the sample is opened and every positional argument is SQL.
bool LooksLikeFile(const std::string& arg) {
    // ".", "..", "./x" and "../x" are paths; any other word that starts with '.' is a command.
    if (arg.empty() || arg[0] == '.') return arg == "." || (arg.size() > 1 && (arg[1] == '/' || arg[1] == '.'));
    if (std::filesystem::exists(arg)) return true;
    return arg.find_first_of(" \t\n;") == std::string::npos;  // a statement has blanks in it
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = ParseOptions(argc, argv, options);
    if (parsed == -1) return kSuccess;
    if (parsed != kSuccess) return parsed;

    std::vector<std::string> sql = options.positional;
    std::string file;
    InstallInterruptHandler();
    if (!options.compact.empty()) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        int result;
        {
            Shell shell(options.settings, false);
            result = shell.Open(options.compact, FileType::Database);
            if (result == kSuccess) result = shell.Compact();
            shell.Close();
        }
        CoUninitialize();
        return result;
    }
    if (!options.convertSource.empty()) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        const int result = ConvertAccess(options.convertSource, options.convertDestination, ::isatty(2) != 0);
        CoUninitialize();
        return result;
    }
    if (!options.create.empty()) {
        file = options.create;
    } else if (!sql.empty() && (!options.provider.empty() || LooksLikeFile(sql.front()))) {
        file = sql.front();
        sql.erase(sql.begin());
    }

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int status = kSuccess;
    {
        const bool interactive = sql.empty() && ::isatty(0);
        options.settings.bail = !interactive;
        Shell shell(options.settings, interactive);
        if (file.empty()) {
            const std::string sample = FindSample();
            const std::string copy = sample.empty() ? "" : CopySample(sample);
            if (copy.empty()) {
                std::fprintf(stderr, "orvsql: no FILE given and the sample database %s\n",
                             sample.empty() ? "was not found (set ORVSQL_SAMPLE)" : "could not be copied");
                status = kSqlError;
            } else {
                signal(SIGTERM, RemoveCopyAndExit);
                signal(SIGHUP, RemoveCopyAndExit);
                status = shell.Open(copy, FileType::Database, true);
            }
        } else {
            status = !options.create.empty() ? shell.Create(file)
                     : !options.provider.empty() || IsServerAddress(file)
                         ? shell.OpenServer(file, options.provider)
                         : shell.Open(file, options.typeGiven ? options.type : DetectFileType(file));
        }
        if (status == kSuccess) {
            if (!sql.empty()) {
                status = RunArguments(shell, sql);
            } else {
                if (interactive) {
                    // A first look: what the file holds, and how to go on.
                    std::printf("orvsql: %s is open. Its tables:\n",
                                file.empty() ? "the sample database" : file.c_str());
                    std::fflush(stdout);
                    shell.ListTables();
                    std::printf("Enter SQL ending with ';', or .help.\n");
                }
                status = ReadInput(shell, interactive);
            }
        }
        shell.Close();
        if (status == kInterrupted) std::fprintf(stderr, "orvsql: interrupted\n");
    }
    g_temporaryCopy[0] = 0;
    CoUninitialize();
    std::fflush(stdout);
    return status;
}
