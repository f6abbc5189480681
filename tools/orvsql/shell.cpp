// orvsql's shell: statements, dot-commands and the open file's connection.
#include "shell.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <thread>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "interrupt.h"
#include "platform/strings.h"
#include "transfer.h"
#include "value_text.h"

namespace orvsql {

namespace {

std::string Utf8(const CString& text) { return orv::platform::Utf16ToUtf8(text.Str()); }
std::u16string Utf16(const std::string& text) { return orv::platform::Utf8ToUtf16(text); }

using orv::platform::Trim;

std::string Hex(const unsigned char* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 15];
    }
    return out;
}

// The OLE DB name of a column type, as .schema shows it.
std::string TypeName(unsigned short type) {
    std::string suffix = (type & DBTYPE_BYREF) ? " (long)" : "";
    switch (type & ~DBTYPE_BYREF) {
    case DBTYPE_I1: return "I1" + suffix;
    case DBTYPE_I2: return "I2" + suffix;
    case DBTYPE_I4: return "I4" + suffix;
    case DBTYPE_I8: return "I8" + suffix;
    case DBTYPE_UI1: return "UI1" + suffix;
    case DBTYPE_UI2: return "UI2" + suffix;
    case DBTYPE_UI4: return "UI4" + suffix;
    case DBTYPE_UI8: return "UI8" + suffix;
    case DBTYPE_R4: return "R4" + suffix;
    case DBTYPE_R8: return "R8" + suffix;
    case DBTYPE_CY: return "CY" + suffix;
    case DBTYPE_DATE: return "DATE" + suffix;
    case DBTYPE_BOOL: return "BOOL" + suffix;
    case DBTYPE_DECIMAL: return "DECIMAL" + suffix;
    case DBTYPE_NUMERIC: return "NUMERIC" + suffix;
    case DBTYPE_GUID: return "GUID" + suffix;
    case DBTYPE_BYTES: return "BYTES" + suffix;
    case DBTYPE_STR: return "STR" + suffix;
    case DBTYPE_WSTR: return "WSTR" + suffix;
    case DBTYPE_IUNKNOWN: return "IUNKNOWN" + suffix;
    case DBTYPE_DBTIMESTAMP: return "DBTIMESTAMP" + suffix;
    default: return "type " + std::to_string(type);
    }
}

// How wide a long text may be in the table view before it is cut.
constexpr size_t kTableTextWidth = 40;

const char* const kHelpCommands =
    ".help              this list\n"
    ".open FILE         close the open file and open FILE (or a postgresql:// address)\n"
    ".create FILE       create FILE and open it: a database file, a workbook for .xlsx,\n"
    "                   a folder of text files for a name ending in /\n"
    ".compact           compact the open database file in place\n"
    ".tables            list the tables\n"
    ".schema TABLE      the columns of TABLE: name, OLE DB type, size, nullability,\n"
    "                   default, identity with its seed and step\n"
    ".indexes TABLE     the indexes of TABLE, one row per indexed column\n"
    ".dump [TABLE]      SQL text that makes the database file's tables (or TABLE) again,\n"
    "                   with their rows, indexes and views; .read reads it back\n"
    ".read FILE         run the statements and commands of FILE\n"
    ".begin             start a transaction (a second .begin nests)\n"
    ".commit            commit the innermost transaction\n"
    ".rollback          roll the innermost transaction back\n"
    ".import FILE TABLE copy the delimited text file FILE into TABLE of the open file,\n"
    "                   creating TABLE with the file's column types when it is missing\n"
    ".export TABLE FILE copy TABLE of the open file into the new text file FILE (.csv,\n"
    "                   .txt, .tab or .asc; never over an existing file)\n"
    ".mode MODE         show results as table, box, markdown, line, csv, json or tsv\n"
    ".headers on|off    a header row of column names (table, box, markdown, csv, tsv)\n"
    ".nullvalue TEXT    show NULL as TEXT (JSON keeps null)\n"
    ".separator COL [ROW]  the field (and row) separator of csv and tsv output;\n"
    "                   \\t, \\n and \\r stand for tab, line feed and carriage return\n"
    ".output [FILE]     send results to FILE (replaced when complete), or back to\n"
    "                   standard output without FILE\n"
    ".once FILE         send the next result only to FILE\n"
    ".timer on|off      print each statement's time on standard error\n"
    ".echo on|off       print each statement before it runs\n"
    ".bail on|off       stop at the first error (on in scripts, off at the prompt)\n"
    ".timeout MS        wait up to MS milliseconds for a file another program has locked\n"
    "                   (on a server: for a row or table another session has locked)\n"
    ".show              the current settings\n"
    ".quit, .exit [CODE]  leave, with exit status CODE when given (end of input does the same)\n";

// The modes that align columns for people: long text is cut, bytes are shown as a size.
bool Aligned(OutputMode mode) {
    return mode == OutputMode::Table || mode == OutputMode::Box || mode == OutputMode::Markdown;
}

// "on" or "off" (also yes/no, 1/0, true/false).
bool ParseSwitch(const std::string& word, bool& value) {
    if (word == "on" || word == "yes" || word == "1" || word == "true") value = true;
    else if (word == "off" || word == "no" || word == "0" || word == "false") value = false;
    else return false;
    return true;
}

// A separator as typed: \t, \n, \r and \\ stand for the characters.
std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return out;
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char ch : text) out += ch == '\t' ? "\\t" : ch == '\n' ? "\\n" : ch == '\r' ? "\\r" : std::string(1, ch);
    return out;
}

// Blank-separated words; a word may be quoted ("my file.csv", 'x y') to hold blanks.
std::vector<std::string> SplitWords(const std::string& text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i >= text.size()) break;
        std::string word;
        if (text[i] == '"' || text[i] == '\'') {
            const char quote = text[i++];
            while (i < text.size() && text[i] != quote) word += text[i++];
            ++i;
        } else {
            while (i < text.size() && text[i] != ' ' && text[i] != '\t') word += text[i++];
        }
        words.push_back(word);
    }
    return words;
}

// A whole non-negative number of milliseconds.
bool ParseMilliseconds(const std::string& text, int& value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::stoi(text);
    return true;
}

}  // namespace

// ---- Statement splitting

void StatementSplitter::Scan(const std::string& text, std::vector<Statement>& done) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        if (m_pending.find_first_not_of(" \t\r\n") == std::string::npos &&
            !std::isspace(static_cast<unsigned char>(ch))) {
            m_pending.clear();  // the statement starts here: no leading blanks, and its position
            m_start = SourcePosition{m_line, static_cast<int>(i) + 1};
        }
        if (m_blockComment) {
            if (ch == '*' && i + 1 < text.size() && text[i + 1] == '/') {
                m_blockComment = false;
                m_pending += "*/";
                ++i;
            } else {
                m_pending += ch;
            }
            continue;
        }
        if (m_quote) {
            m_pending += ch;
            if (ch == m_quote) m_quote = 0;  // a doubled quote closes and reopens: the same text
            continue;
        }
        if (ch == '-' && i + 1 < text.size() && text[i + 1] == '-') {
            // The rest of the line is a comment: kept inside a statement, dropped before one,
            // so that a dot-command on the next line is still one.
            if (Trim(m_pending).empty()) m_pending.clear();
            else m_pending.append(text, i, std::string::npos);
            return;
        }
        if (ch == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            m_blockComment = true;
            m_pending += "/*";
            ++i;
            continue;
        }
        if (ch == '\'' || ch == '"') m_quote = ch;
        else if (ch == '[') m_quote = ']';
        if (ch == ';') {
            if (!Trim(m_pending).empty()) done.push_back(Statement{std::string(Trim(m_pending)), m_start});
            m_pending.clear();
            continue;
        }
        m_pending += ch;
    }
}

std::vector<Statement> StatementSplitter::AddLine(const std::string& line) {
    ++m_line;
    std::vector<Statement> done;
    const std::string trimmed(Trim(line));
    if (!Pending() && !trimmed.empty() && trimmed[0] == '.') {
        done.push_back(Statement{trimmed, SourcePosition{m_line, static_cast<int>(line.find('.')) + 1}});
        return done;
    }
    Scan(line, done);
    if (!m_pending.empty() || m_quote || m_blockComment) m_pending += '\n';
    return done;
}

std::vector<Statement> StatementSplitter::Finish() {
    std::vector<Statement> done;
    if (!Trim(m_pending).empty()) done.push_back(Statement{std::string(Trim(m_pending)), m_start});
    m_pending.clear();
    m_quote = 0;
    m_blockComment = false;
    return done;
}

void StatementSplitter::Discard() {
    m_line = 0;
    m_pending.clear();
    m_quote = 0;
    m_blockComment = false;
}

bool StatementSplitter::Pending() const { return !Trim(m_pending).empty() || m_quote || m_blockComment; }

// ---- File types

// What a name says a file is: a text file, a workbook, a folder ("/" at the end), else a
// database file.
FileType TypeByName(const std::string& path) {
    if (!path.empty() && path.back() == '/') return FileType::Csv;
    const std::string lower = orv::platform::Lower(path);
    for (const char* text : {".csv", ".tsv", ".txt", ".tab", ".asc"})
        if (lower.ends_with(text)) return FileType::Csv;
    if (lower.ends_with(".xlsx")) return FileType::Xlsx;
    if (lower.ends_with(".xls")) return FileType::Xls;
    return FileType::Database;
}

FileType DetectFileType(const std::string& path) {
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return FileType::Csv;
    if (!exists) return TypeByName(path);
    unsigned char head[16] = {};
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(head), sizeof head);
    const std::streamsize got = in.gcount();
    if (got == 0)
        return orv::platform::Lower(path).ends_with(".csv") ? FileType::Csv
                                                            : FileType::Database;  // empty: a new database
    if (got >= 16 && std::memcmp(head, "SQLite format 3", 16) == 0) return FileType::Database;
    if (got >= 4 && std::memcmp(head, "PK\x03\x04", 4) == 0) return FileType::Xlsx;
    if (got >= 8 && std::memcmp(head, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) == 0) return FileType::Xls;
    return TypeByName(path);  // for a database name, the engine names what a foreign file holds
}

bool ParseFileType(const std::string& name, FileType& type) {
    if (name == "db") type = FileType::Database;
    else if (name == "xlsx") type = FileType::Xlsx;
    else if (name == "xls") type = FileType::Xls;
    else if (name == "csv") type = FileType::Csv;
    else return false;
    return true;
}

const char* FileTypeName(FileType type) {
    switch (type) {
    case FileType::Database: return "a database file";
    case FileType::Xlsx: return "a workbook (xlsx)";
    case FileType::Xls: return "a workbook (xls)";
    case FileType::Csv: return "CSV text";
    case FileType::Unknown: break;
    }
    return "of an unknown type";
}

// ---- Where results go

std::string OutputTarget::Redirect(const std::string& path, bool once) {
    std::string failure = Close();
    if (path.empty()) return failure;
    // A new file beside the named one, renamed over it when complete.
    std::filesystem::path target(path);
    std::string temporary = (target.has_parent_path() ? target.parent_path() / "" : std::filesystem::path()).string() +
                            "." + target.filename().string() + ".orvsql-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return "cannot write " + path + ": " + std::strerror(errno);
    m_file = ::fdopen(fd, "w");
    if (!m_file) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return "cannot write " + path + ": " + std::strerror(errno);
    }
    m_path = path;
    m_temporary = temporary;
    m_once = once;
    return failure;
}

std::string OutputTarget::ResultDone() { return m_once ? Close() : ""; }

std::string OutputTarget::Close() {
    if (!m_file) return "";
    bool ok = std::fflush(m_file) == 0 && ::fsync(::fileno(m_file)) == 0;
    ok = std::fclose(m_file) == 0 && ok;
    m_file = nullptr;
    std::string failure;
    if (!ok || ::rename(m_temporary.c_str(), m_path.c_str()) != 0) {
        failure = "cannot write " + m_path + ": " + std::strerror(errno) + "; the file was left as it was";
        ::unlink(m_temporary.c_str());
    }
    m_path.clear();
    m_temporary.clear();
    m_once = false;
    return failure;
}

// ---- The shell

Shell::Shell(const Settings& settings, bool interactive)
    : m_settings(settings), m_interactive(interactive), m_stdoutTerminal(::isatty(1)), m_stderrTerminal(::isatty(2)) {}

Shell::~Shell() { Close(); }

int Shell::Fail(int status, const std::string& message) {
    std::fprintf(stderr, "orvsql: %s\n", message.c_str());
    return status;
}

const char* DotCommandHelp() { return kHelpCommands; }

WriterOptions Shell::Writer() const {
    WriterOptions options = m_settings.writer;
    options.colour = m_stdoutTerminal && !m_output.ToFile();
    return options;
}

int Shell::Open(const std::string& path, FileType type, bool temporaryCopy) {
    Close();
    if (temporaryCopy) m_temporaryCopy = path;
    struct stat st {};
    // A workbook that does not exist yet is made by its first CREATE TABLE.
    if (::stat(path.c_str(), &st) != 0 && !(errno == ENOENT && type == FileType::Xlsx))
        return Fail(kSqlError, "cannot open " + path + ": " + std::strerror(errno));

    // A text file is a table of its folder: the folder is the data source, every delimited
    // file in it a table named by its file name ("parts.csv"). A workbook's sheets are
    // tables named with a "$" ("Sheet1$").
    const WCHAR* properties = type == FileType::Csv                             ? TextProperties
                              : type == FileType::Xlsx || type == FileType::Xls ? ExcelProperties
                                                                                : MdbEngineType;
    // How long a statement waits for another program's lock: one try of that length.
    const std::u16string lockWait =
        m_settings.busyTimeoutMs < 0
            ? u""
            : Utf16(";Jet OLEDB:Lock Retry=1;Jet OLEDB:Lock Delay=" + std::to_string(m_settings.busyTimeoutMs));
    CComBSTR init;
    OrvOleDbHelper::FormatConnectString(init, Utf16(path).c_str(), nullptr, nullptr, ProviderName, properties,
                                        lockWait.c_str());
    return Connect(init, path);
}

bool IsServerAddress(const std::string& text) {
    return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}

// `target` as orvsql shows it (errors, .show): a password in a postgresql:// address or
// in an initialisation string's Password (PWD, "... Database Password") is written as ***.
std::string WithoutPassword(const std::string& target) {
    if (IsServerAddress(target)) {
        const std::size_t start = target.find("://") + 3;
        const std::size_t at = target.find('@', start), colon = target.find(':', start);
        if (at == std::string::npos || colon == std::string::npos || colon > at) return target;
        return target.substr(0, colon + 1) + "***" + target.substr(at);
    }
    std::string shown;
    std::size_t from = 0;
    while (from <= target.size()) {
        // A pair runs to the next ';' outside a quoted value; "" and '' inside stand for one.
        const std::size_t equals = target.find('=', from), semicolon = target.find(';', from);
        if (equals == std::string::npos || equals > semicolon) {
            shown += target.substr(from, semicolon == std::string::npos ? std::string::npos : semicolon + 1 - from);
            if (semicolon == std::string::npos) break;
            from = semicolon + 1;
            continue;
        }
        std::size_t end = target.find_first_not_of(' ', equals + 1);
        if (end != std::string::npos && (target[end] == '"' || target[end] == '\'')) {
            const char quote = target[end++];
            auto doubled = [&](std::size_t i) { return i + 1 < target.size() && target[i + 1] == quote; };
            while (end < target.size() && (target[end] != quote || doubled(end))) end += target[end] == quote ? 2 : 1;
        }
        end = std::min(target.find(';', std::min(end, target.size())), target.size());
        const std::string key = orv::platform::Lower(Trim(std::string_view(target).substr(from, equals - from)));
        const bool secret = key == "password" || key == "pwd" || key.ends_with("database password");
        shown +=
            target.substr(from, equals + 1 - from) + (secret ? "***" : target.substr(equals + 1, end - equals - 1));
        if (end == target.size()) break;
        shown += ';';
        from = end + 1;
    }
    return shown;
}

int Shell::OpenServer(const std::string& target, const std::string& provider) {
    Close();
    std::string init = "Provider=" + (provider.empty() ? std::string("PostgreSQL") : provider) + ";";
    if (IsServerAddress(target)) {
        std::string quoted;
        for (char c : target) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        init += "Data Source=\"" + quoted + "\";";
    } else {
        init += target;
    }
    const int status = Connect(CComBSTR(Utf16(init).c_str()), WithoutPassword(target));
    if (status != kSuccess) return status;
    m_server = true;
    return m_settings.busyTimeoutMs < 0 ? kSuccess : SetBusyTimeout(m_settings.busyTimeoutMs);
}

int Shell::Connect(const CComBSTR& init, const std::string& name) {
    OrvOleDbConnectionCache* cache = OrvOleDbConnectionCache::GetCacheManager();
    if (!cache) return Fail(kSqlError, "the library's connection cache is not available");
    m_connection = cache->Connect(init, false);
    if (!m_connection)
        return Fail(kSqlError, "cannot open " + name + ": " + ParseErrorText(Utf8(cache->GetErrorText())).description);
    m_init = init;
    m_path = name;
    m_command.SetConnection(m_connection);
    m_completionStale = true;
    return kSuccess;
}

void Shell::Close() {
    m_command.Close();
    if (m_connection) {
        while (m_transactionDepth > 0) {
            std::fprintf(stderr, "orvsql: rolling back the transaction left open\n");
            m_connection->Rollback();
            --m_transactionDepth;
        }
        m_command.SetConnection(nullptr);
        OrvOleDbConnectionCache* cache = OrvOleDbConnectionCache::GetCacheManager();
        if (cache) {
            cache->Cache(m_connection);
            // A temporary copy is about to go: no idle connection may keep it open.
            if (!m_temporaryCopy.empty()) cache->ClearCache(m_init);
        } else {
            delete m_connection;
        }
        m_connection = nullptr;
    }
    if (!m_temporaryCopy.empty()) {
        std::remove(m_temporaryCopy.c_str());
        m_temporaryCopy.clear();
    }
    m_transactionDepth = 0;
    m_server = false;
    m_path.clear();
    const std::string failure = m_output.Close();
    if (!failure.empty()) Fail(kSqlError, failure);
}

int Shell::Run(const Statement& statement, bool& quit) {
    if (m_settings.echo) {
        std::fprintf(m_output.Stream(), "%s\n", statement.text.c_str());
    }
    const bool dotCommand = !statement.text.empty() && statement.text[0] == '.';
    if (dotCommand && (statement.text.rfind(".once", 0) == 0 || statement.text.rfind(".output", 0) == 0))
        return RunDotCommand(statement, quit);
    int status;
    if (dotCommand) {
        status = RunDotCommand(statement, quit);
    } else if (!m_connection) {
        status = Fail(kSqlError, "no file is open (use .open FILE)");
    } else {
        m_completionStale = true;  // the statement may make or drop a table
        status = RunSql(statement);
    }
    // A .once file holds one result: it is complete now.
    const std::string failure = m_output.ResultDone();
    if (!failure.empty() && status == kSuccess) status = Fail(kSqlError, failure);
    return status;
}

int Shell::RunAll(const std::vector<Statement>& statements, bool& quit) {
    int status = kSuccess;
    for (const auto& statement : statements) {
        if (InterruptRequested()) return kInterrupted;
        const int result = Run(statement, quit);
        if (InterruptRequested()) return kInterrupted;
        if (result != kSuccess && status == kSuccess) status = result;
        if (result != kSuccess && m_settings.bail) return status;
        if (quit) break;
    }
    return status;
}

void Shell::PrintError(OrvOleDbErrorInfo& failed, const Statement& statement) {
    std::fflush(m_output.Stream());
    if (m_settings.verbose) {
        std::fprintf(stderr, "%s\n", Utf8(failed.GetErrorInfo(true)).c_str());
        return;
    }
    ErrorRecord error = ParseErrorText(Utf8(failed.GetErrorText()));
    if (error.description.empty()) error.description = "the statement could not be run";
    PrintStatementError(stderr, error, statement, m_interactive);
}

bool Shell::Execute(const Statement& statement) {
    m_command.Close();
    // Large values are read by reference so that their type tells text from bytes.
    m_command.SetBlobHandling(DBBLOBHANDLING_NOSTREAMS);
    m_command.SetCommandText(CString(Utf16(statement.text).c_str()));
    CancelOnInterrupt cancel(m_command);
    if (m_command.Execute() == OrvOleDbCommand::dbTrue) return true;
    PrintError(m_command, statement);
    return false;
}

Cell Shell::ReadBlob(unsigned __int64 col, unsigned short type) {
    Cell cell;
    CHeapPtr<unsigned char> data;
    const ULONG size = m_command.GetBlobData(col, data);
    const bool text = (type & ~DBTYPE_BYREF) == DBTYPE_WSTR || (type & ~DBTYPE_BYREF) == DBTYPE_STR;
    if (text) {
        std::string utf8;
        if ((type & ~DBTYPE_BYREF) == DBTYPE_STR) {
            utf8.assign(reinterpret_cast<const char*>(data.m_pData), size);
        } else {
            std::u16string wide(size / 2, u'\0');
            if (size) std::memcpy(wide.data(), data.m_pData, size / 2 * 2);
            utf8 = orv::platform::Utf16ToUtf8(wide);
        }
        cell.text = Aligned(m_settings.mode) ? FitForTable(utf8, kTableTextWidth) : utf8;
        return cell;
    }
    cell.kind = Cell::Binary;
    cell.text = Aligned(m_settings.mode) ? "<" + std::to_string(size) + " bytes>" : Hex(data.m_pData, size);
    return cell;
}

std::vector<Cell> Shell::ReadRow(unsigned __int64 columns) {
    std::vector<Cell> row;
    row.reserve(columns);
    for (unsigned __int64 c = 1; c <= columns; ++c) {
        const unsigned short type = m_command.GetRawType(c);
        if (m_command.IsNull(c) == OrvOleDbCommand::dbTrue) {
            row.push_back(Cell{Cell::Null, ""});
        } else if (m_command.IsBlob(c) == OrvOleDbCommand::dbTrue) {
            row.push_back(ReadBlob(c, type));
        } else {
            const Cell::Kind kind = orv::platform::IsNumericType(type) ? Cell::Number
                                    : type == DBTYPE_BOOL              ? Cell::Boolean
                                                                       : Cell::Text;
            Cell cell{kind, FieldText(m_command, c, m_settings.mode)};
            if (Aligned(m_settings.mode) && cell.kind == Cell::Text)
                cell.text = FitForTable(cell.text, kTableTextWidth);
            row.push_back(std::move(cell));
        }
    }
    return row;
}

void Shell::Report(const std::string& what, std::chrono::steady_clock::duration elapsed) {
    const double ms = std::chrono::duration<double, std::milli>(elapsed).count();
    char time[48];
    std::snprintf(time, sizeof time, "%.1f ms", ms);
    if (m_settings.timer) std::fprintf(stderr, "time: %s\n", time);
    const bool forPeople = Aligned(m_settings.mode) || m_settings.mode == OutputMode::Line;
    if (forPeople) {
        // The time only on a terminal, so that saved output does not change from run to run.
        if (m_stdoutTerminal && !m_output.ToFile()) std::printf("(%s, %s)\n", what.c_str(), time);
        else std::fprintf(m_output.Stream(), "(%s)\n", what.c_str());
    } else if (m_stderrTerminal) {
        std::fprintf(stderr, "(%s, %s)\n", what.c_str(), time);
    }
}

int Shell::RunSql(const Statement& statement) {
    const auto start = std::chrono::steady_clock::now();
    if (!Execute(statement)) return InterruptRequested() ? kInterrupted : kSqlError;
    const unsigned __int64 columns = m_command.GetColumnCount();
    if (columns == 0) {
        const __int64 affected = m_command.GetRowsAffected();
        m_command.Close();
        if (affected >= 0)
            Report(std::to_string(affected) + (affected == 1 ? " row affected" : " rows affected"),
                   std::chrono::steady_clock::now() - start);
        return kSuccess;
    }
    std::vector<std::string> names;
    for (unsigned __int64 c = 1; c <= columns; ++c) names.push_back(Utf8(m_command.GetColumnName(c)));
    auto writer = MakeWriter(m_settings.mode, m_output.Stream(), Writer());
    writer->Begin(names);
    size_t rows = 0;
    OrvOleDbCommand::dbStatus status;
    {
        CancelOnInterrupt cancel(m_command);
        while (!InterruptRequested() && (status = m_command.FetchNext()) == OrvOleDbCommand::dbTrue) {
            writer->Row(ReadRow(columns));
            ++rows;
        }
    }
    writer->End();
    if (InterruptRequested()) {
        m_command.Close();
        return Fail(kInterrupted, "interrupted after " + std::to_string(rows) + (rows == 1 ? " row" : " rows"));
    }
    if (status == OrvOleDbCommand::dbError) {
        PrintError(m_command, statement);
        m_command.Close();
        return kSqlError;
    }
    m_command.Close();
    Report(std::to_string(rows) + (rows == 1 ? " row" : " rows"), std::chrono::steady_clock::now() - start);
    return kSuccess;
}

// ---- Dot-commands

int Shell::RunDotCommand(const Statement& statement, bool& quit) {
    const std::string& line = statement.text;
    std::string command = line, argument;
    const size_t space = line.find_first_of(" \t");
    if (space != std::string::npos) {
        command = line.substr(0, space);
        argument = Trim(line.substr(space + 1));
    }
    const std::vector<std::string> words = SplitWords(argument);
    // Arguments may be quoted to hold blanks.
    if (words.size() == 1) argument = words[0];
    if (command == ".quit" || command == ".exit") {
        if (!words.empty() && (words.size() > 1 || !ParseMilliseconds(words[0], m_exitCode) || m_exitCode > 255))
            return Fail(kUsage, command + " takes an exit status from 0 to 255");
        quit = true;
        return kSuccess;
    }
    if (command == ".help") {
        std::fputs(kHelpCommands, stdout);
        return kSuccess;
    }
    const int settings = RunSettingsCommand(command, words);
    if (settings != -1) return settings;
    if (command == ".output" || command == ".once") {
        if (words.size() > 1 || (command == ".once" && words.empty()))
            return Fail(kUsage, command == ".once" ? ".once takes one FILE" : ".output takes one FILE, or none");
        const std::string failure = m_output.Redirect(words.empty() ? "" : words[0], command == ".once");
        return failure.empty() ? kSuccess : Fail(kSqlError, failure);
    }
    if (command == ".read") {
        if (words.size() != 1) return Fail(kUsage, ".read takes one FILE");
        return ReadScript(words[0], quit);
    }
    if (command == ".open") {
        if (argument.empty()) return Fail(kUsage, ".open needs a file name");
        return IsServerAddress(argument) ? OpenServer(argument, "") : Open(argument, DetectFileType(argument));
    }
    if (command == ".create") {
        if (argument.empty()) return Fail(kUsage, ".create needs a file name");
        return Create(argument);
    }
    if (command == ".compact") {
        if (!m_connection) return Fail(kSqlError, "no file is open (use .open FILE)");
        return Compact();
    }
    if (command == ".import" || command == ".export") {
        if (words.size() != 2)
            return Fail(kUsage, command == ".import" ? ".import takes FILE TABLE" : ".export takes TABLE FILE");
        if (!m_connection) return Fail(kSqlError, "no file is open (use .open FILE)");
        m_command.Close();
        m_completionStale = true;
        return command == ".import" ? ImportText(m_connection, words[0], words[1], m_stderrTerminal)
                                    : ExportText(m_connection, words[0], words[1], m_stderrTerminal);
    }
    if (command == ".dump") {
        if (words.size() > 1) return Fail(kUsage, ".dump takes one TABLE, or none");
        if (!m_connection) return Fail(kSqlError, "no file is open (use .open FILE)");
        return Dump(argument);
    }
    const bool needsTable = command == ".schema" || command == ".indexes";
    if (command != ".tables" && !needsTable && command != ".begin" && command != ".commit" && command != ".rollback")
        return Fail(kUsage, "unknown command " + command + " (.help lists the commands)");
    if (needsTable && argument.empty()) return Fail(kUsage, command + " needs a table name");
    if (!m_connection) return Fail(kSqlError, "no file is open (use .open FILE)");
    if (command == ".tables") return ListTables();
    if (command == ".schema") return ShowSchema(argument);
    if (command == ".indexes") return ListIndexes(argument);
    return Transaction(command);
}

// The commands that only change a setting; -1 for any other command.
int Shell::RunSettingsCommand(const std::string& command, const std::vector<std::string>& words) {
    const std::string word = words.empty() ? "" : words[0];
    if (command == ".mode") {
        if (words.size() != 1 || !ParseOutputMode(word, m_settings.mode))
            return Fail(kUsage, std::string(".mode takes ") + OutputModeNames());
        return kSuccess;
    }
    struct Switch {
        const char* name;
        bool* value;
    };
    for (const Switch& s : {Switch{".headers", &m_settings.writer.headers}, Switch{".timer", &m_settings.timer},
                            Switch{".echo", &m_settings.echo}, Switch{".bail", &m_settings.bail}}) {
        if (command != s.name) continue;
        if (words.size() != 1 || !ParseSwitch(word, *s.value)) return Fail(kUsage, command + " takes on or off");
        return kSuccess;
    }
    if (command == ".nullvalue") {
        if (words.size() > 1) return Fail(kUsage, ".nullvalue takes one TEXT (quoted when it holds blanks)");
        m_settings.writer.nullGiven = true;
        m_settings.writer.null = word;
        return kSuccess;
    }
    if (command == ".separator") {
        if (words.empty() || words.size() > 2 || word.empty())
            return Fail(kUsage, ".separator takes a field separator and an optional row separator");
        m_settings.writer.separator = Unescape(word);
        if (words.size() == 2) m_settings.writer.rowSeparator = Unescape(words[1]);
        return kSuccess;
    }
    if (command == ".timeout") {
        int milliseconds = 0;
        if (words.size() != 1 || !ParseMilliseconds(word, milliseconds))
            return Fail(kUsage, ".timeout takes a number of milliseconds");
        return SetBusyTimeout(milliseconds);
    }
    if (command == ".show") return ShowSettings();
    return -1;
}

int Shell::SetBusyTimeout(int milliseconds) {
    m_settings.busyTimeoutMs = milliseconds;  // for the files opened from now on
    if (!m_connection) return kSuccess;
    if (m_server) {
        // A server's own wait for a lock that another session holds.
        const bool set = Execute(Statement{"SET lock_timeout = " + std::to_string(milliseconds), {}});
        m_command.Close();
        return set ? kSuccess : kSqlError;
    }
    // The open connection waits as long from now on too.
    std::vector<std::string> answer;
    return QueryTexts("PRAGMA busy_timeout = " + std::to_string(milliseconds), answer) ? kSuccess : kSqlError;
}

int Shell::ShowSettings() {
    const WriterOptions& w = m_settings.writer;
    std::FILE* out = m_output.Stream();
    std::fprintf(out, "     file: %s\n", m_path.empty() ? "(none)" : m_path.c_str());
    std::fprintf(out, "     mode: %s\n", OutputModeName(m_settings.mode));
    std::fprintf(out, "  headers: %s\n", w.headers ? "on" : "off");
    std::fprintf(out, "nullvalue: %s\n", w.nullGiven ? ("\"" + w.null + "\"").c_str() : "(the mode's own)");
    std::fprintf(out, "separator: %s\n",
                 w.separator.empty() ? "(the mode's own)"
                                     : ("\"" + Escape(w.separator) + "\" \"" + Escape(w.rowSeparator) + "\"").c_str());
    std::fprintf(out, "    timer: %s\n", m_settings.timer ? "on" : "off");
    std::fprintf(out, "     echo: %s\n", m_settings.echo ? "on" : "off");
    std::fprintf(out, "     bail: %s\n", m_settings.bail ? "on" : "off");
    std::fprintf(out, "  timeout: %s\n",
                 m_settings.busyTimeoutMs < 0 ? "(the engine's own)"
                                              : (std::to_string(m_settings.busyTimeoutMs) + " ms").c_str());
    std::fprintf(out, "   output: %s\n", m_output.ToFile() ? "a file" : "standard output");
    return kSuccess;
}

int Shell::ReadScript(const std::string& path, bool& quit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(kSqlError, "cannot read " + path + ": " + std::strerror(errno));
    if (m_readDepth >= 16) return Fail(kSqlError, ".read nests too deep (a file that reads itself?): " + path);
    ++m_readDepth;
    StatementSplitter splitter;
    int status = kSuccess;
    std::string line;
    while (status == kSuccess && !quit && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const int result = RunAll(splitter.AddLine(line), quit);
        if (result != kSuccess) {
            // Errors say where: the script's name before the line and column.
            status = result;
            if (m_settings.bail || result == kInterrupted) break;
            status = kSuccess;
        }
    }
    if (status == kSuccess && !quit) status = RunAll(splitter.Finish(), quit);
    --m_readDepth;
    if (status != kSuccess && status != kInterrupted) Fail(status, "in " + path);
    return status;
}

int Shell::ListTables() {
    auto writer = MakeWriter(m_settings.mode, m_output.Stream(), Writer());
    writer->Begin({"name", "type"});
    for (const char16_t* type : {u"TABLE", u"VIEW"}) {
        OrvOleDbTables tables;
        if (!tables.Open(m_connection, nullptr, nullptr, nullptr, type))
            return Fail(kSqlError, "cannot list the tables:\n" + Utf8(tables.GetErrorText()));
        while (tables.FetchNext()) {
            CString name;
            tables.GetName(name);
            writer->Row({Cell{Cell::Text, Utf8(name)}, Cell{Cell::Text, Utf8(CString(type))}});
        }
    }
    writer->End();
    return kSuccess;
}

int Shell::ShowSchema(const std::string& table) {
    OrvOleDbColumns columns;
    const std::u16string name = Utf16(table);
    if (!columns.Open(m_connection, nullptr, nullptr, name.c_str(), nullptr, true) && !columns.HasErrorInfo())
        return Fail(kSqlError, "cannot read the columns of " + table);
    auto writer = MakeWriter(m_settings.mode, m_output.Stream(), Writer());
    writer->Begin({"column", "type", "size", "nullable", "default", "identity"});
    bool any = false;
    while (columns.FetchNext()) {
        any = true;
        CString column, value;
        columns.GetName(column);
        const bool hasDefault = columns.HasDefault() && columns.GetDefault(value);
        const unsigned size = columns.Precision();
        std::string identity;
        if (columns.IsIdentity())
            identity = "seed " + std::to_string(columns.Seed()) + ", step " + std::to_string(columns.Increment());
        writer->Row({Cell{Cell::Text, Utf8(column)}, Cell{Cell::Text, TypeName(columns.DataType())},
                     size ? Cell{Cell::Text, std::to_string(size)} : Cell{Cell::Null, ""},
                     Cell{Cell::Text, columns.IsNullable() ? "yes" : "no"},
                     hasDefault ? Cell{Cell::Text, Utf8(value)} : Cell{Cell::Null, ""},
                     identity.empty() ? Cell{Cell::Null, ""} : Cell{Cell::Text, identity}});
    }
    writer->End();
    if (!any) return Fail(kSqlError, "no table or view named " + table);
    return kSuccess;
}

int Shell::ListIndexes(const std::string& table) {
    OrvOleDbIndexes indexes;
    const std::u16string name = Utf16(table);
    if (!indexes.Open(m_connection, nullptr, nullptr, name.c_str(), nullptr))
        return Fail(kSqlError, "cannot list the indexes of " + table + ":\n" + Utf8(indexes.GetErrorText()));
    auto writer = MakeWriter(m_settings.mode, m_output.Stream(), Writer());
    writer->Begin({"index", "column"});
    while (indexes.FetchNext()) {
        CString index, column;
        indexes.GetName(index);
        indexes.GetColumnName(column);
        writer->Row({Cell{Cell::Text, Utf8(index)}, Cell{Cell::Text, Utf8(column)}});
    }
    writer->End();
    return kSuccess;
}

// Runs `sql` (the shell's own, never the user's) and gives the first column of every row as
// text; false with the error printed when it fails.
bool Shell::QueryTexts(const std::string& sql, std::vector<std::string>& texts) {
    texts.clear();
    const Statement statement{sql, {}};
    if (!Execute(statement)) return false;
    OrvOleDbCommand::dbStatus status;
    while ((status = m_command.FetchNext()) == OrvOleDbCommand::dbTrue) {
        if (m_command.IsBlob(1) == OrvOleDbCommand::dbTrue) {
            CHeapPtr<unsigned char> data;
            const ULONG size = m_command.GetBlobData(1, data);
            texts.push_back(orv::platform::Utf16ToUtf8(
                std::u16string(reinterpret_cast<const char16_t*>(data.m_pData), size / sizeof(char16_t))));
        } else {
            texts.push_back(Utf8(m_command.FieldAsString(1)));
        }
    }
    if (status == OrvOleDbCommand::dbError) PrintError(m_command, statement);
    m_command.Close();
    return status != OrvOleDbCommand::dbError;
}

namespace {

std::string SqlLiteral(const std::string& text) {
    std::string out = "'";
    for (char ch : text) out += ch == '\'' ? "''" : std::string(1, ch);
    return out + "'";
}

}  // namespace

// SQL text that makes the tables again: dot-commands around it make it one transaction when
// .read reads it back. The engine's own bookkeeping tables (orv_...) come last and merge
// with what the CREATE TABLE statements already made.
int Shell::Dump(const std::string& table) {
    if (m_server) return Fail(kSqlError, ".dump writes the tables of a database file; " + m_path + " is a server");
    if (DetectFileType(m_path) != FileType::Database)
        return Fail(kSqlError, ".dump writes the tables of a database file; " + m_path + " is " +
                                   FileTypeName(DetectFileType(m_path)) + " (.export copies a table to CSV)");
    const std::string only = table.empty() ? "" : " AND tbl_name = " + SqlLiteral(table) + " COLLATE NOCASE";
    std::vector<std::string> tables, others;
    if (!QueryTexts("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'" +
                        only + " ORDER BY name LIKE 'orv\\_%' ESCAPE '\\', rowid",
                    tables) ||
        // The engine's own step triggers come back with their table's definition.
        !QueryTexts("SELECT sql FROM sqlite_master WHERE type IN ('index', 'view', 'trigger') AND sql IS NOT NULL"
                    " AND NOT (type = 'trigger' AND name LIKE 'orv\\_step\\_%' ESCAPE '\\')" +
                        only + " ORDER BY type = 'trigger', rowid",
                    others))
        return kSqlError;
    if (tables.empty() && !table.empty()) return Fail(kSqlError, "no table named " + table);
    std::FILE* out = m_output.Stream();
    std::fprintf(out, "-- %s, as SQL; .read makes the tables again\n.begin\n", m_path.c_str());
    for (const std::string& name : tables) {
        const bool bookkeeping = name.rfind("orv_", 0) == 0;
        std::vector<std::string> create, columns, rows;
        if (!QueryTexts("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = " + SqlLiteral(name), create) ||
            !QueryTexts("SELECT name FROM pragma_table_info(" + SqlLiteral(name) + ") ORDER BY cid", columns))
            return kSqlError;
        std::string definition = create.empty() ? "" : create[0];
        if (bookkeeping && definition.rfind("CREATE TABLE ", 0) == 0) definition.insert(13, "IF NOT EXISTS ");
        std::fprintf(out, "%s;\n", definition.c_str());
        // Every value as SQLite writes it as a literal: exact reals, X'..' for bytes.
        std::string select = "SELECT '" + std::string(bookkeeping ? "INSERT OR REPLACE" : "INSERT") + " INTO [" + name +
                             "] VALUES(' || ";
        for (std::size_t c = 0; c < columns.size(); ++c)
            select += (c ? " || ',' || " : "") + std::string("quote([") + columns[c] + "])";
        select += " || ');' FROM [" + name + "]";
        if (!QueryTexts(select, rows)) return kSqlError;
        for (const std::string& row : rows) std::fprintf(out, "%s\n", row.c_str());
        if (InterruptRequested()) return kInterrupted;
    }
    for (const std::string& sql : others) std::fprintf(out, "%s;\n", sql.c_str());
    std::fprintf(out, ".commit\n");
    return kSuccess;
}

std::vector<std::string> Shell::CompletionWords() {
    static const char* const kKeywords[] = {
        "SELECT",  "FROM",   "WHERE",  "GROUP",  "BY",       "ORDER",    "HAVING",   "LIMIT",   "OFFSET",
        "INSERT",  "INTO",   "VALUES", "UPDATE", "SET",      "DELETE",   "CREATE",   "TABLE",   "INDEX",
        "VIEW",    "DROP",   "ALTER",  "ADD",    "COLUMN",   "PRIMARY",  "KEY",      "NOT",     "NULL",
        "DEFAULT", "UNIQUE", "AND",    "OR",     "IN",       "IS",       "LIKE",     "BETWEEN", "JOIN",
        "LEFT",    "INNER",  "OUTER",  "CROSS",  "ON",       "AS",       "DISTINCT", "COUNT",   "SUM",
        "AVG",     "MIN",    "MAX",    "CASE",   "WHEN",     "THEN",     "ELSE",     "END",     "UNION",
        "ALL",     "EXISTS", "TOP",    "ASC",    "DESC",     "INTEGER",  "TEXT",     "MEMO",    "LONG",
        "SHORT",   "BYTE",   "SINGLE", "DOUBLE", "CURRENCY", "DATETIME", "YESNO",    "COUNTER", "AUTOINCREMENT"};
    if (m_completionStale && m_connection) {
        m_completionStale = false;
        m_completionNames.clear();
        std::vector<std::string> tables;
        for (const char16_t* type : {u"TABLE", u"VIEW"}) {
            OrvOleDbTables list;
            if (!list.Open(m_connection, nullptr, nullptr, nullptr, type)) continue;
            while (list.FetchNext()) {
                CString name;
                list.GetName(name);
                tables.push_back(Utf8(name));
            }
        }
        for (const std::string& table : tables) {
            m_completionNames.push_back(table);
            OrvOleDbColumns columns;
            const std::u16string name = Utf16(table);
            if (!columns.Open(m_connection, nullptr, nullptr, name.c_str(), nullptr, false)) continue;
            while (columns.FetchNext()) {
                CString column;
                columns.GetName(column);
                m_completionNames.push_back(Utf8(column));
            }
        }
    }
    std::vector<std::string> words(std::begin(kKeywords), std::end(kKeywords));
    words.push_back(".exit");
    for (const char* line = kHelpCommands; *line; ++line)  // the dot-commands, from the help
        if (*line == '.' && (line == kHelpCommands || line[-1] == '\n'))
            words.push_back(std::string(line, std::strcspn(line, " ,\n")));
    words.insert(words.end(), m_completionNames.begin(), m_completionNames.end());
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    return words;
}

int Shell::Transaction(const std::string& what) {
    bool ok = false;
    if (what == ".begin") {
        ok = m_connection->StartTransaction();
        if (ok) ++m_transactionDepth;
    } else {
        m_command.Close();
        ok = what == ".commit" ? m_connection->Commit() : m_connection->Rollback();
        if (ok && m_transactionDepth > 0) --m_transactionDepth;
    }
    if (!ok) return Fail(kSqlError, Utf8(m_connection->GetErrorText()));
    return kSuccess;
}

}  // namespace orvsql

namespace orvsql {
namespace {

// While a compaction runs, shows on a terminal how much of the compacted copy is written:
// the engine writes it under a temporary name beside the file.
class CompactionProgress {
public:
    CompactionProgress(const std::string& path, bool show) : m_show(show) {
        if (!m_show) return;
        std::filesystem::path file(path);
        m_folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
        std::error_code ec;
        m_total = std::filesystem::file_size(file, ec);
        m_thread = std::thread([this] { Watch(); });
    }
    ~CompactionProgress() {
        if (!m_show) return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
        std::fprintf(stderr, "\r\033[K");
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_done; })) {
            std::uintmax_t written = 0;
            std::error_code ec;
            for (const auto& entry : std::filesystem::directory_iterator(m_folder, ec))
                if (entry.path().filename().string().rfind(".orv-new-", 0) == 0)
                    written = std::max(written, entry.file_size(ec));
            std::fprintf(stderr, "\rcompacting: %ju of at most %ju MB written", written >> 20, m_total >> 20);
        }
    }

    bool m_show;
    std::filesystem::path m_folder;
    std::uintmax_t m_total = 0;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

}  // namespace

int Shell::Create(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec))
        return Fail(kSqlError, "cannot create " + path + ": a file of that name exists, and it is never overwritten");
    const FileType type = TypeByName(path);
    if (type == FileType::Xls)
        return Fail(kUsage, "cannot create " + path + ": .xls workbooks are read-only; create a .xlsx workbook");
    if (type == FileType::Csv && path.back() != '/')
        return Fail(kUsage, "cannot create " + path +
                                ": a text file is a table of its folder; create the folder "
                                "(a name ending in /) and then CREATE TABLE [" +
                                std::filesystem::path(path).filename().string() + "] (...)");
    if (type == FileType::Csv) {
        if (!std::filesystem::create_directory(path, ec))
            return Fail(kSqlError, "cannot create the folder " + path + ": " + ec.message());
    } else if (type == FileType::Database) {
        CComBSTR init;
        OrvOleDbHelper::FormatConnectString(init, Utf16(path).c_str(), nullptr, nullptr, ProviderName, MdbEngineType,
                                            nullptr);
        OrvOleDbErrorInfo error;
        if (OrvOleDbConnection::CreateMdbFile(init, CComBSTR(Utf16(path).c_str()), error) != S_OK)
            return Fail(kSqlError,
                        "cannot create " + path + ": " + ParseErrorText(Utf8(error.GetErrorText())).description);
    }
    // A workbook is written by its first CREATE TABLE: a workbook without a sheet is no file.
    if (m_interactive)
        std::printf(type == FileType::Xlsx ? "%s is a new workbook: CREATE TABLE adds its first sheet and writes it\n"
                                           : "created %s\n",
                    path.c_str());
    return Open(path, type);
}

int Shell::Compact() {
    const std::string path = m_path;
    if (m_transactionDepth > 0) return Fail(kSqlError, "end the open transaction before compacting");
    m_command.Close();
    // Idle connections to the file would keep reading the file as it was: drop them.
    if (OrvOleDbConnectionCache* cache = OrvOleDbConnectionCache::GetCacheManager()) cache->ClearCache(m_init);
    std::error_code ec;
    const std::uintmax_t before = std::filesystem::file_size(path, ec);
    const auto start = std::chrono::steady_clock::now();
    HRESULT hr;
    {
        CompactionProgress progress(path, m_stderrTerminal);
        hr = m_connection->CompactMdb();
    }
    const std::string failure = hr == S_OK ? "" : Utf8(m_connection->GetErrorText());
    // The connection is closed now; open it again whatever happened, as the file still is.
    if (m_connection->OpenFromInitializationString(m_connection->GetInit(), false) != S_OK)
        return Fail(kSqlError,
                    "compacted " + path + " but cannot open it again:\n" + Utf8(m_connection->GetErrorText()));
    m_command.SetConnection(m_connection);
    if (hr != S_OK) return Fail(kSqlError, "cannot compact " + path + ":\n" + failure);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("compacted %s: %.1f MB -> %.1f MB in %.2f s\n", path.c_str(), before / 1048576.0,
                std::filesystem::file_size(path, ec) / 1048576.0, seconds);
    return kSuccess;
}

}  // namespace orvsql
