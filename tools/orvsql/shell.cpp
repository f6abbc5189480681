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

#include "transfer.h"
#include "value_text.h"

namespace orvsql {

namespace {

std::string Utf8(const CString& text) { return orv::platform::Utf16ToUtf8(text.Str()); }
std::u16string Utf16(const std::string& text) { return orv::platform::Utf8ToUtf16(text); }

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

bool EndsWith(std::string s, const std::string& tail) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Hex(const unsigned char* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 15];
    }
    return out;
}

bool IsNumericType(unsigned short type) {
    switch (type) {
    case DBTYPE_I1: case DBTYPE_I2: case DBTYPE_I4: case DBTYPE_I8:
    case DBTYPE_UI1: case DBTYPE_UI2: case DBTYPE_UI4: case DBTYPE_UI8:
    case DBTYPE_R4: case DBTYPE_R8: case DBTYPE_CY:
    case DBTYPE_DECIMAL: case DBTYPE_NUMERIC: case DBTYPE_VARNUMERIC: return true;
    default: return false;
    }
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

const char* kHelpCommands =
    ".help              this list\n"
    ".open FILE         close the open file and open FILE (or a postgresql:// address)\n"
    ".tables            list the tables\n"
    ".schema TABLE      the columns of TABLE: name, OLE DB type, size, nullability,\n"
    "                   default, identity with its seed and step\n"
    ".indexes TABLE     the indexes of TABLE, one row per indexed column\n"
    ".create FILE       create an empty database file (never over an existing one) and\n"
    "                   open it\n"
    ".compact           compact the open database file in place\n"
    ".begin             start a transaction (a second .begin nests)\n"
    ".commit            commit the innermost transaction\n"
    ".rollback          roll the innermost transaction back\n"
    ".import FILE TABLE copy the delimited text file FILE into TABLE of the open file,\n"
    "                   creating TABLE with the file's column types when it is missing\n"
    ".export TABLE FILE copy TABLE of the open file into the new text file FILE (.csv,\n"
    "                   .txt, .tab or .asc; never over an existing file)\n"
    ".mode MODE         output as table, csv, json or tsv\n"
    ".quit              leave (end of input does the same)\n";

}  // namespace

// ---- Statement splitting

void StatementSplitter::Scan(const std::string& text, std::vector<std::string>& done) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
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
            m_pending.append(text, i, std::string::npos);  // the rest of the line is a comment
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
            if (!Trim(m_pending).empty()) done.push_back(Trim(m_pending));
            m_pending.clear();
            continue;
        }
        m_pending += ch;
    }
}

std::vector<std::string> StatementSplitter::AddLine(const std::string& line) {
    std::vector<std::string> done;
    if (!Pending() && !Trim(line).empty() && Trim(line)[0] == '.') {
        done.push_back(Trim(line));
        return done;
    }
    Scan(line, done);
    if (!m_pending.empty() || m_quote || m_blockComment) m_pending += '\n';
    return done;
}

std::vector<std::string> StatementSplitter::Finish() {
    std::vector<std::string> done;
    if (!Trim(m_pending).empty()) done.push_back(Trim(m_pending));
    m_pending.clear();
    m_quote = 0;
    m_blockComment = false;
    return done;
}

bool StatementSplitter::Pending() const { return !Trim(m_pending).empty() || m_quote || m_blockComment; }

// ---- File types

FileType DetectFileType(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return FileType::Csv;
    unsigned char head[16] = {};
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(head), sizeof head);
    const std::streamsize got = in.gcount();
    if (got == 0) return EndsWith(path, ".csv") ? FileType::Csv : FileType::Database;  // empty: a new database
    if (got >= 16 && std::memcmp(head, "SQLite format 3", 16) == 0) return FileType::Database;
    if (got >= 4 && std::memcmp(head, "PK\x03\x04", 4) == 0) return FileType::Xlsx;
    if (got >= 8 && std::memcmp(head, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) == 0) return FileType::Xls;
    if (EndsWith(path, ".csv") || EndsWith(path, ".tsv") || EndsWith(path, ".txt")) return FileType::Csv;
    if (EndsWith(path, ".xlsx")) return FileType::Xlsx;
    if (EndsWith(path, ".xls")) return FileType::Xls;
    return FileType::Database;  // the engine names what a foreign file holds
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

// ---- The shell

Shell::Shell(OutputMode mode, bool interactive)
    : m_mode(mode), m_interactive(interactive), m_stdoutTerminal(::isatty(1)), m_stderrTerminal(::isatty(2)) {}

Shell::~Shell() { Close(); }

int Shell::Fail(int status, const std::string& message) {
    std::fprintf(stderr, "orvsql: %s\n", message.c_str());
    return status;
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
    const WCHAR* properties = type == FileType::Csv                                 ? TextProperties
                                : type == FileType::Xlsx || type == FileType::Xls ? ExcelProperties
                                                                                  : MdbEngineType;
    CComBSTR init;
    OrvOleDbHelper::FormatConnectString(init, Utf16(path).c_str(), nullptr, nullptr, ProviderName, properties, nullptr);
    return Connect(init, path);
}

bool IsServerAddress(const std::string& text) {
    return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
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
    return Connect(CComBSTR(Utf16(init).c_str()), target);
}

int Shell::Connect(const CComBSTR& init, const std::string& name) {
    OrvOleDbConnectionCache* cache = OrvOleDbConnectionCache::GetCacheManager();
    if (!cache) return Fail(kSqlError, "the library's connection cache is not available");
    m_connection = cache->Connect(init, false);
    if (!m_connection) return Fail(kSqlError, "cannot open " + name + ":\n" + Utf8(cache->GetErrorText()));
    m_init = init;
    m_path = name;
    m_command.SetConnection(m_connection);
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
    m_path.clear();
}

int Shell::Run(const std::string& text, bool& quit) {
    if (!text.empty() && text[0] == '.') return RunDotCommand(text, quit);
    if (!m_connection) return Fail(kSqlError, "no file is open (use .open FILE)");
    return RunSql(text);
}

bool Shell::Execute(const std::string& sql) {
    m_command.Close();
    // Large values are read by reference so that their type tells text from bytes.
    m_command.SetBlobHandling(DBBLOBHANDLING_NOSTREAMS);
    m_command.SetCommandText(CString(Utf16(sql).c_str()));
    if (m_command.Execute() == OrvOleDbCommand::dbTrue) return true;
    std::string message = Utf8(m_command.GetErrorInfo(true));
    if (message.empty()) message = "the statement could not be run: " + sql;
    std::fprintf(stderr, "%s\n", message.c_str());
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
        cell.text = m_mode == OutputMode::Table ? FitForTable(utf8, kTableTextWidth) : utf8;
        return cell;
    }
    cell.kind = Cell::Binary;
    cell.text = m_mode == OutputMode::Table ? "<" + std::to_string(size) + " bytes>" : Hex(data.m_pData, size);
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
            const Cell::Kind kind = IsNumericType(type) ? Cell::Number : type == DBTYPE_BOOL ? Cell::Boolean : Cell::Text;
            Cell cell{kind, FieldText(m_command, c, m_mode)};
            if (m_mode == OutputMode::Table && cell.kind == Cell::Text) cell.text = FitForTable(cell.text, kTableTextWidth);
            row.push_back(std::move(cell));
        }
    }
    return row;
}

void Shell::Report(const std::string& what, std::chrono::steady_clock::duration elapsed) {
    const double ms = std::chrono::duration<double, std::milli>(elapsed).count();
    char time[48];
    std::snprintf(time, sizeof time, "%.1f ms", ms);
    if (m_mode == OutputMode::Table) {
        // The time only on a terminal, so that saved output does not change from run to run.
        if (m_stdoutTerminal) std::printf("(%s, %s)\n", what.c_str(), time);
        else std::printf("(%s)\n", what.c_str());
    } else if (m_stderrTerminal) {
        std::fprintf(stderr, "(%s, %s)\n", what.c_str(), time);
    }
}

int Shell::RunSql(const std::string& sql) {
    const auto start = std::chrono::steady_clock::now();
    if (!Execute(sql)) return kSqlError;
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
    auto writer = MakeWriter(m_mode, stdout, m_stdoutTerminal);
    writer->Begin(names);
    size_t rows = 0;
    OrvOleDbCommand::dbStatus status;
    while ((status = m_command.FetchNext()) == OrvOleDbCommand::dbTrue) {
        writer->Row(ReadRow(columns));
        ++rows;
    }
    writer->End();
    if (status == OrvOleDbCommand::dbError) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", Utf8(m_command.GetErrorInfo(true)).c_str());
        m_command.Close();
        return kSqlError;
    }
    m_command.Close();
    Report(std::to_string(rows) + (rows == 1 ? " row" : " rows"), std::chrono::steady_clock::now() - start);
    return kSuccess;
}

// ---- Dot-commands

// Blank-separated words; a word may be quoted ("my file.csv", 'x y') to hold blanks.
static std::vector<std::string> SplitWords(const std::string& text) {
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

int Shell::RunDotCommand(const std::string& line, bool& quit) {
    std::string command = line, argument;
    const size_t space = line.find_first_of(" \t");
    if (space != std::string::npos) {
        command = line.substr(0, space);
        argument = Trim(line.substr(space + 1));
    }
    // Arguments may be quoted to hold blanks.
    if (argument.size() >= 2 && (argument.front() == '"' || argument.front() == '\'') && argument.back() == argument.front())
        argument = argument.substr(1, argument.size() - 2);
    if (command == ".quit" || command == ".exit") {
        quit = true;
        return kSuccess;
    }
    if (command == ".help") {
        std::fputs(kHelpCommands, stdout);
        return kSuccess;
    }
    if (command == ".mode") {
        if (!ParseOutputMode(argument, m_mode)) return Fail(kUsage, ".mode takes table, csv, json or tsv");
        return kSuccess;
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
        std::vector<std::string> words = SplitWords(space == std::string::npos ? "" : line.substr(space + 1));
        if (words.size() != 2)
            return Fail(kUsage, command == ".import" ? ".import takes FILE TABLE" : ".export takes TABLE FILE");
        if (!m_connection) return Fail(kSqlError, "no file is open (use .open FILE)");
        m_command.Close();
        return command == ".import" ? ImportText(m_connection, words[0], words[1], m_stderrTerminal)
                                    : ExportText(m_connection, words[0], words[1], m_stderrTerminal);
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

int Shell::ListTables() {
    auto writer = MakeWriter(m_mode, stdout, m_stdoutTerminal);
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
    auto writer = MakeWriter(m_mode, stdout, m_stdoutTerminal);
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
    auto writer = MakeWriter(m_mode, stdout, m_stdoutTerminal);
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
    CComBSTR init;
    OrvOleDbHelper::FormatConnectString(init, Utf16(path).c_str(), nullptr, nullptr, ProviderName, MdbEngineType,
                                        nullptr);
    OrvOleDbErrorInfo error;
    if (OrvOleDbConnection::CreateMdbFile(init, CComBSTR(Utf16(path).c_str()), error) != S_OK)
        return Fail(kSqlError, "cannot create " + path + ":\n" + Utf8(error.GetErrorText()));
    if (m_interactive) std::printf("created %s\n", path.c_str());
    return Open(path, FileType::Database);
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
        return Fail(kSqlError, "compacted " + path + " but cannot open it again:\n" +
                                   Utf8(m_connection->GetErrorText()));
    m_command.SetConnection(m_connection);
    if (hr != S_OK) return Fail(kSqlError, "cannot compact " + path + ":\n" + failure);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("compacted %s: %.1f MB -> %.1f MB in %.2f s\n", path.c_str(), before / 1048576.0,
                std::filesystem::file_size(path, ec) / 1048576.0, seconds);
    return kSuccess;
}

}  // namespace orvsql
