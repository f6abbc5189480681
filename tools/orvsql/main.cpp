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
#include "shell.h"
#include "transfer.h"

#ifdef ORVSQL_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace {

using namespace orvsql;

const char* kUsageLine =
    "usage: orvsql [options] [FILE | postgresql://ADDRESS] [SQL ...]\n";

const char* kHelp =
    "Opens FILE and runs each SQL argument in order. Without SQL arguments it reads\n"
    "statements from standard input, separated by ';' (a ';' inside a quoted string or a\n"
    "[bracketed] name does not separate), or shows a prompt when the input is a terminal.\n"
    "Without FILE it opens a copy of the bundled sample database (suppliers, parts,\n"
    "orders, order_lines); the copy is removed at exit, so the sample stays as it was.\n"
    "The first argument is taken as FILE when it names an existing path or has no blank\n"
    "or ';' in it and does not start with '.'; otherwise it is SQL on the sample.\n"
    "\n"
    "Options:\n"
    "  --table           print results as an aligned table (the default)\n"
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
    "  --create FILE     create an empty database file FILE (never over an existing\n"
    "                    file), then open it and go on as with FILE\n"
    "  --compact FILE    compact the database file FILE in place and exit\n"
    "  --convert SOURCE DEST\n"
    "                    convert the genuine Access database SOURCE (.mdb, .accdb) into\n"
    "                    the new database file DEST, check every row, and exit\n"
    "  -h, --help        print this help and exit\n"
    "  --version         print the version and exit\n"
    "  --                end of options (a FILE or SQL that starts with '-')\n"
    "\n"
    "Commands (at the prompt, as SQL arguments, or on a line of their own in piped input):\n"
    "%s"
    ".tables, .schema and .indexes read the database's catalogs. .import copies a delimited\n"
    "text file into a table (created with the file's column types when missing), .export a\n"
    "table into a new text file (with a schema.ini section that keeps its column types);\n"
    "either runs in one transaction, shows a progress bar when standard error is a\n"
    "terminal and prints the number of rows copied.\n"
    "\n"
    "Values: NULL is shown as (null) in the table (dimmed on a terminal), as an empty field\n"
    "in CSV (the empty text is \"\"), as \\N in TSV and as null in JSON. A real number is\n"
    "the shortest text that reads back as the same number (1.5, 0.30000000000000004,\n"
    "1e-10). CSV, TSV and JSON are exact: currency and decimals keep every digit, dates\n"
    "are ISO 8601 (2024-03-02 13:30:00, or 2024-03-02 at midnight); the table shows dates\n"
    "in the user's locale. Numeric columns are JSON numbers,\n"
    "Yes/No columns JSON true and false. Long text is cut to 40 columns in\n"
    "the table and complete elsewhere; binary values are shown as their size\n"
    "(<25000 bytes>) in the table and as lowercase hexadecimal digits in CSV, JSON and TSV.\n"
    "JSON output is one object per line (JSON lines), not one array.\n"
    "\n"
    "The table is followed by the row count (and the time on a terminal); with --csv,\n"
    "--json and --tsv the counts go to standard error when that is a terminal, so standard\n"
    "output holds only data. A write prints the rows it affected. A file that does not\n"
    "exist is not created.\n"
    "\n"
    "Errors go to standard error. With SQL arguments or piped input, orvsql stops at the\n"
    "first failing statement; at the prompt it goes on.\n"
    "\n"
    "Exit status:\n"
    "  0  every statement succeeded\n"
    "  1  a statement failed, or the file could not be opened (missing, unreadable,\n"
    "     or of a type not supported yet)\n"
    "  2  usage error: an unknown option, a missing option value, a bad dot-command\n"
    "\n"
    "The sample database is looked for in $ORVSQL_SAMPLE, then in the build tree, then in\n"
    "%s.\n"
    "\n"
    "Examples:\n"
    "  orvsql \"SELECT name, price FROM parts WHERE price > 10\"\n"
    "  orvsql --csv plant.mdb \"SELECT * FROM parts\" > parts.csv\n"
    "  orvsql plant.mdb .tables \".schema parts\"\n"
    "  echo \"UPDATE parts SET price = price * 1.1; SELECT * FROM parts;\" | orvsql plant.mdb\n"
    "  orvsql plant.mdb              (an interactive prompt)\n";

// The sample's temporary copy, removed by the signal handler when the shell is stopped.
char g_temporaryCopy[4096];

void RemoveCopyAndExit(int signal) {
    if (g_temporaryCopy[0]) ::unlink(g_temporaryCopy);
    ::_exit(128 + signal);
}

std::string FindSample() {
    const char* env = std::getenv("ORVSQL_SAMPLE");
    if (env && *env) return env;
    for (const char* candidate : {ORVSQL_BUILD_SAMPLE, ORVSQL_INSTALLED_SAMPLE})
        if (std::filesystem::exists(candidate)) return candidate;
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

// Runs the statements of one chunk of text; stops at the first failure when `stopOnError`.
int RunAll(Shell& shell, const std::vector<std::string>& statements, bool stopOnError, bool& quit, int& status) {
    for (const auto& statement : statements) {
        const int result = shell.Run(statement, quit);
        if (result != kSuccess) {
            status = result;
            if (stopOnError) return result;
        }
        if (quit) break;
    }
    return kSuccess;
}

bool ReadLine(bool interactive, bool continuation, std::string& line) {
    const char* prompt = continuation ? "   ...> " : "orvsql> ";
#ifdef ORVSQL_HAVE_LIBEDIT
    if (interactive) {
        char* text = readline(prompt);
        if (!text) return false;
        line = text;
        if (*text) add_history(text);
        std::free(text);
        return true;
    }
#endif
    if (interactive) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
    }
    return static_cast<bool>(std::getline(std::cin, line));
}

#ifdef ORVSQL_HAVE_LIBEDIT
// The prompt's history is kept between sessions in ~/.orvsql_history.
std::string HistoryFile() {
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.orvsql_history" : "";
}
#endif

int ReadInput(Shell& shell, bool interactive) {
#ifdef ORVSQL_HAVE_LIBEDIT
    const std::string history = HistoryFile();
    if (interactive) {
        using_history();
        if (!history.empty()) read_history(history.c_str());
    }
#endif
    StatementSplitter splitter;
    int status = kSuccess;
    bool quit = false;
    std::string line;
    while (!quit && ReadLine(interactive, splitter.Pending(), line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (RunAll(shell, splitter.AddLine(line), !interactive, quit, status) != kSuccess) return status;
    }
    if (!quit && RunAll(shell, splitter.Finish(), !interactive, quit, status) != kSuccess) return status;
    if (interactive) std::fputs("\n", stdout);
#ifdef ORVSQL_HAVE_LIBEDIT
    if (interactive && !history.empty()) write_history(history.c_str());
#endif
    // At the prompt a failure has been shown already; the session itself succeeded.
    return interactive ? kSuccess : status;
}

struct Options {
    OutputMode mode = OutputMode::Table;
    bool typeGiven = false;
    FileType type = FileType::Database;
    std::string create;   // --create FILE
    std::string compact;  // --compact FILE
    std::string provider;  // --provider NAME
    std::string convertSource, convertDestination;  // --convert SOURCE DEST
    std::vector<std::string> positional;
};

// kSuccess with the options, -1 when the program should exit 0 (help, version), or kUsage.
int ParseOptions(int argc, char** argv, Options& options) {
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
            options.positional.push_back(arg);
            continue;
        }
        if (arg == "--") optionsEnd = true;
        else if (arg == "--table") options.mode = OutputMode::Table;
        else if (arg == "--csv") options.mode = OutputMode::Csv;
        else if (arg == "--json") options.mode = OutputMode::Json;
        else if (arg == "--tsv") options.mode = OutputMode::Tsv;
        else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsageLine, stdout);
            std::printf(kHelp, "  .help, .open FILE, .create FILE, .compact, .tables, .schema TABLE, .indexes TABLE,\n"
                               "  .import FILE TABLE, .export TABLE FILE, .begin, .commit, .rollback,\n"
                               "  .mode table|csv|json|tsv, .quit (.help explains them)\n",
                        ORVSQL_INSTALLED_SAMPLE);
            return -1;
        } else if (arg == "--provider") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "orvsql: --provider needs a provider name\n%s", kUsageLine);
                return kUsage;
            }
            options.provider = argv[++i];
        } else if (arg == "--create" || arg == "--compact") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "orvsql: %s needs a file name\n%s", arg.c_str(), kUsageLine);
                return kUsage;
            }
            (arg == "--create" ? options.create : options.compact) = argv[++i];
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
        } else if (arg == "--type" || arg.rfind("--type=", 0) == 0) {
            std::string value;
            if (arg == "--type") {
                if (i + 1 >= argc) {
                    std::fprintf(stderr, "orvsql: --type needs a value: db, xlsx, xls or csv\n%s", kUsageLine);
                    return kUsage;
                }
                value = argv[++i];
            } else {
                value = arg.substr(7);
            }
            if (!ParseFileType(value, options.type)) {
                std::fprintf(stderr, "orvsql: unknown --type %s: use db, xlsx, xls or csv\n%s", value.c_str(), kUsageLine);
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
    if (arg.empty() || arg[0] == '.') return arg.size() > 1 && arg[0] == '.' && (arg[1] == '/' || arg[1] == '.');
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
    if (!options.compact.empty()) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        int result;
        {
            Shell shell(options.mode, false);
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
        Shell shell(options.mode, interactive);
        if (file.empty()) {
            const std::string sample = FindSample();
            const std::string copy = sample.empty() ? "" : CopySample(sample);
            if (copy.empty()) {
                std::fprintf(stderr, "orvsql: no FILE given and the sample database %s\n",
                             sample.empty() ? "was not found (set ORVSQL_SAMPLE)" : "could not be copied");
                status = kSqlError;
            } else {
                signal(SIGINT, RemoveCopyAndExit);
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
                bool quit = false;
                for (const auto& argument : sql) {
                    StatementSplitter splitter;
                    std::vector<std::string> statements = splitter.AddLine(argument);
                    for (auto& s : splitter.Finish()) statements.push_back(s);
                    if (RunAll(shell, statements, true, quit, status) != kSuccess || quit) break;
                }
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
    }
    g_temporaryCopy[0] = 0;
    CoUninitialize();
    std::fflush(stdout);
    return status;
}
