#include "engine/text/text_module.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/common/env.h"
#include "engine/error.h"
#include "engine/guard.h"
#include "engine/sql/authorizer.h"
#include "engine/sql/datetime.h"
#include "engine/sql/quote.h"
#include "engine/store/files.h"
#include "engine/store/store.h"
#include "engine/text/text_file.h"
#include "engine/text/text_write.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine::text {
namespace {

using Record = std::vector<std::optional<std::string>>;

using ModuleOptions = TextModuleOptions;

// A table's file must be a file of the folder, reached without a symbolic link out of it:
// the declaration's path comes from the store, and this keeps it so whatever declares it.
bool FileOfFolder(const ModuleOptions& options, const std::string& path, std::string& error) {
    const std::string folder = platform::FolderOf(path);
    struct stat info;
    if (folder != options.folder) {
        error = "it is not a file of the folder '" + options.folder + "'";
        return false;
    }
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && !SqlPolicy::InsideFolder(options.folder, path)) {
        error = "it is a symbolic link to a file outside the folder '" + options.folder + "', which is not followed";
        return false;
    }
    return true;
}

// A version of a file: a write by another program changes at least one of these.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    long long modifiedNs = 0;
    bool operator==(const FileStamp&) const = default;
};

bool StampOf(const std::string& path, FileStamp& stamp) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return false;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modifiedNs = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    return true;
}

// One change of a transaction, so that rolling back to a savepoint can undo it.
struct Undo {
    enum Kind { Appended, Updated, Deleted, AppendedChanged } kind;
    sqlite3_int64 rowid = 0;  // Updated, Deleted: a record of the file; AppendedChanged: an index
    std::optional<Record> previous;  // Updated: the replacement before (none: the file's record);
        // AppendedChanged: the appended record before (none: deleted)
};

// A file as a table. Changes made in a transaction are kept here, and reach the file when
// the transaction commits (xSync); rowids are ordinals: the file's records 1..fileRecords,
// then the records appended in the transaction.
struct Table : sqlite3_vtab {
    std::string path;
    TextFileDescription description;
    bool readOnly = false;
    int lockTimeoutMs = 1200;
    FileLock writeLock;  // held from the first write of a transaction to its end
    std::optional<WriteStyle> style;  // read from the file when it is written
    FileStamp styleStamp;  // the version of the file `style` was read from

    // The number of records of the file when it had `countedStamp`; -1 while not counted.
    sqlite3_int64 fileRecords = -1;
    FileStamp countedStamp;

    bool inTransaction = false;
    FileStamp transactionStamp;  // the file as the transaction found it
    std::map<sqlite3_int64, Record> updated;
    std::set<sqlite3_int64> deleted;
    std::vector<std::optional<Record>> appended;  // none: appended, then deleted
    std::vector<Undo> undo;
    std::vector<std::size_t> savepoints;  // the length of `undo` at each savepoint

    bool Changed() const { return !updated.empty() || !deleted.empty() || !appended.empty(); }
    void Forget() {
        updated.clear();
        deleted.clear();
        appended.clear();
        undo.clear();
        savepoints.clear();
    }
};

struct Cursor : sqlite3_vtab_cursor {
    TextReader reader;
    std::vector<std::string> fields;
    std::size_t count = 0;
    sqlite3_int64 row = 0;
    bool eof = true;
    bool inFile = true;  // reading the file's records; after them, the appended ones
    std::size_t appendedAt = 0;
    bool loaded = false;  // the fields come from a written record, not the reader
    std::vector<bool> loadedText;  // of a written record: which fields are text (not NULL)

    // Field i holds text even when empty: "" in the file, or the empty text written.
    bool IsText(std::size_t i) const {
        const std::vector<bool>& flags = loaded ? loadedText : reader.Quoted();
        return i < flags.size() && flags[i];
    }
};

// A field's value is read without the spaces and tabs around it.
constexpr std::string_view kFieldBlanks = " \t";

void ResultText(sqlite3_context* ctx, const std::string& text) {
    sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// A field as its column's kind; a value that does not read as that kind is handed over as
// the text it is, so that the reader sees a conversion failure rather than a wrong value.
void ResultValue(sqlite3_context* ctx, const std::string& raw, Kind kind, const std::string& dateFormat) {
    std::string_view t = platform::Trim(raw, kFieldBlanks);
    if (t.empty()) {
        sqlite3_result_null(ctx);
        return;
    }
    switch (kind) {
    case Kind::Integer:
    case Kind::BigInt: {
        std::string_view d = t.front() == '+' ? t.substr(1) : t;
        long long n;
        auto [p, ec] = std::from_chars(d.data(), d.data() + d.size(), n);
        if (ec == std::errc() && p == d.data() + d.size() && !d.empty()) return sqlite3_result_int64(ctx, n);
        break;
    }
    case Kind::Real:
    case Kind::Currency: {
        std::string clean;
        for (char c : t)
            if (!(kind == Kind::Currency && (c == '$' || c == ',' || c == ' '))) clean += c;
        std::string_view d =
            !clean.empty() && clean.front() == '+' ? std::string_view(clean).substr(1) : std::string_view(clean);
        double x;
        auto [p, ec] = std::from_chars(d.data(), d.data() + d.size(), x);
        // A currency amount or decimal with more digits than a double keeps goes on as its
        // text, which the column's exact type reads whole.
        if (ec == std::errc() && p == d.data() + d.size() && !d.empty() &&
            d.find_first_of("0123456789") != std::string_view::npos)
            return TooManyDigitsForReal(d) ? ResultText(ctx, std::string(d)) : sqlite3_result_double(ctx, x);
        break;
    }
    case Kind::Date:
        if (!dateFormat.empty())
            if (auto iso = ParseDateWithFormat(t, dateFormat)) return ResultText(ctx, *iso);
        if (auto iso = ParseDateValue(t)) return ResultText(ctx, *iso);
        break;
    case Kind::Boolean:
        if (platform::EqualsNoCase(t, "true") || platform::EqualsNoCase(t, "yes") || t == "1" || t == "-1")
            return sqlite3_result_int(ctx, 1);
        if (platform::EqualsNoCase(t, "false") || platform::EqualsNoCase(t, "no") || t == "0")
            return sqlite3_result_int(ctx, 0);
        break;
    case Kind::Text: break;
    }
    ResultText(ctx, raw);
}

// Sets the table's error message (a sentence without its final stop: the command layer
// adds one) and returns `rc`.
int Fail(sqlite3_vtab* vtab, int rc, const std::string& message) {
    sqlite3_free(vtab->zErrMsg);
    vtab->zErrMsg = sqlite3_mprintf("%s", message.c_str());
    return rc;
}

std::string WithoutStop(std::u16string message) {
    while (!message.empty() && message.back() == u'.') message.pop_back();
    return platform::Utf16ToUtf8(message);
}

bool ReadWhole(const std::string& path, std::string& text) { return ReadWholeFile(path, text) == 0; }

// A value handed to the table as the text the reader reads back as the same value.
// A date in the file's DateTimeFormat when schema.ini gives one, else as ISO text.
std::string DateText(const std::string& iso, const std::string& dateFormat) {
    if (dateFormat.empty()) return iso;
    return FormatDateWithFormat(iso, dateFormat).value_or(iso);
}

std::optional<std::string> FormatValue(sqlite3_value* value, Kind kind, const std::string& dateFormat) {
    switch (sqlite3_value_type(value)) {
    case SQLITE_NULL: return std::nullopt;
    case SQLITE_INTEGER: {
        const sqlite3_int64 n = sqlite3_value_int64(value);
        if (kind == Kind::Boolean) return n ? "True" : "False";
        if (kind == Kind::Date)
            if (auto parts = PartsFromOleDate(double(n))) return DateText(FormatIsoDateTime(*parts), dateFormat);
        return std::to_string(n);
    }
    case SQLITE_FLOAT: {
        const double d = sqlite3_value_double(value);
        if (kind == Kind::Boolean) return d != 0 ? "True" : "False";
        if (kind == Kind::Date)
            if (auto parts = PartsFromOleDate(d)) return DateText(FormatIsoDateTime(*parts), dateFormat);
        char buffer[64];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);  // the shortest text that reads back
        return std::string(buffer, ec == std::errc() ? end : buffer);
    }
    default: {
        // Text (and a blob's bytes) as given: a date or a flag written as text keeps its form,
        // except ISO dates in a file whose schema.ini says how it writes dates.
        const char* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
        std::string given(text ? text : "", std::size_t(sqlite3_value_bytes(value)));
        if (kind == Kind::Date && !dateFormat.empty())
            if (auto formatted = FormatDateWithFormat(given, dateFormat)) return formatted;
        return given;
    }
    }
}

std::string ChangedElsewhere(const Table* table) {
    return "The text file '" + table->path +
           "' was changed by another program during the transaction; roll the transaction back and try again";
}

// Counts the file's records once per version of the file.
int CountRecords(Table* table, const FileStamp& stamp) {
    if (table->fileRecords >= 0 && table->countedStamp == stamp) return SQLITE_OK;
    TextReader reader;
    const TextFileDescription& d = table->description;
    if (!reader.Open(table->path) || !reader.Rewind(d.charset, d.delimiter))
        return Fail(table, SQLITE_IOERR, "Cannot read the text file '" + table->path + "': " + std::strerror(errno));
    std::vector<std::string> fields;
    std::size_t count = 0;
    sqlite3_int64 records = 0;
    while (reader.Next(fields, count)) ++records;
    if (reader.Failed())
        return Fail(table, SQLITE_IOERR, "Cannot read the text file '" + table->path + "': " + std::strerror(errno));
    if (d.header && records > 0) --records;
    table->fileRecords = records;
    table->countedStamp = stamp;
    return SQLITE_OK;
}

// The file's bytes for UTF-8 `text`; an error message when a character cannot be written.
bool Encode(const Table* table, std::string_view text, std::string& out, std::string& error) {
    std::uint32_t bad = 0;
    if (EncodeText(text, table->description.charset, out, bad)) return true;
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(bad));
    error = "The text file '" + table->path + "' is in the ANSI character set (Windows-1252), which has no " + code +
            ": the change cannot be written";
    return false;
}

// The record as a line without its line ending.
std::string RecordText(const Table* table, const Record& record) {
    std::string line = FormatRecord(record, table->description.delimiter, *table->style);
    line.resize(line.size() - table->style->lineEnd.size());
    return line;
}

Record HeaderRecord(const TextFileDescription& d) {
    Record header;
    for (const TextColumn& column : d.columns) header.emplace_back(column.name);
    return header;
}

// Appends the records of the transaction at the end of the file, under the file's Publish
// lock (readers see the file before or after the append) and with a journal of its old
// length (a crash in the middle is undone at the next open). On a failure the file is cut
// back to its old length: the records are all there or none is.
int AppendRecords(Table* table) {
    const WriteStyle& style = *table->style;
    Env& env = CurrentEnv();
    const std::u16string name = platform::Utf8ToUtf16(table->path);
    FileLock publish;
    Status locked = publish.Acquire(table->path, FileLock::Publish, Env::LockMode::Exclusive, table->lockTimeoutMs,
                                    name, u"text file");
    if (!locked.Ok())
        return Fail(table, locked.native == SQLITE_BUSY ? SQLITE_BUSY : SQLITE_IOERR, WithoutStop(locked.message));
    const int fd = publish.Fd();
    struct stat info;
    if (int err = env.Stat(fd, info); err != 0)
        return Fail(table, SQLITE_IOERR, "Cannot write the text file '" + table->path + "': " + std::strerror(err));
    const off_t oldSize = info.st_size;
    std::string text;
    bool first = true;
    auto add = [&](const std::string& line) {
        if (!first || (oldSize > 0 && !style.finalNewline)) text += style.lineEnd;
        text += line;
        first = false;
    };
    std::string bytes;
    if (oldSize == 0) {
        // An empty file gets what a new one has: its byte order mark and its header.
        if (style.bom) bytes = ByteOrderMark(table->description.charset);
        if (table->description.header) add(RecordText(table, HeaderRecord(table->description)));
    }
    for (const auto& record : table->appended)
        if (record) add(RecordText(table, *record));
    if (first) return SQLITE_OK;  // every record added was deleted again
    if (style.finalNewline || oldSize == 0) text += style.lineEnd;
    std::string error;
    if (!Encode(table, text, bytes, error)) return Fail(table, SQLITE_ERROR, error);
    AppendJournal journal;
    Status journaled = journal.Begin(table->path, fd, oldSize, name);
    if (!journaled.Ok()) return Fail(table, SQLITE_IOERR, WithoutStop(journaled.message));
    int err = WriteAll(fd, bytes, oldSize);
    if (err == 0) err = env.Sync(fd);
    if (err == 0) err = journal.End();
    if (err != 0) {
        if (env.Truncate(fd, oldSize) == 0 && env.Sync(fd) == 0) journal.End();
        return Fail(
            table, err == ENOSPC ? SQLITE_FULL : SQLITE_IOERR,
            "Cannot write the text file '" + table->path + "': " + std::strerror(err) + "; the file is as it was");
    }
    table->style->finalNewline = style.finalNewline || oldSize == 0;
    return SQLITE_OK;
}

// Writes the file as the transaction leaves it under a temporary name beside it, then puts
// it in the file's place: readers see the old file or the new one, never a mix.
int RewriteFile(Table* table) {
    const TextFileDescription& d = table->description;
    const WriteStyle& style = *table->style;
    NewVersion version;
    Status made = version.Begin(table->path, platform::Utf8ToUtf16(table->path), u"text file");
    if (!made.Ok()) return Fail(table, SQLITE_CANTOPEN, WithoutStop(made.message));
    const int fd = version.Fd();
    TextReader reader;
    auto ioError = [&](const char* doing, int err) {
        return Fail(table, err == ENOSPC ? SQLITE_FULL : SQLITE_IOERR,
                    std::string("Cannot ") + doing + " the text file '" + table->path + "': " + std::strerror(err) +
                        "; the file is as it was");
    };
    if (!reader.Open(table->path) || !reader.Rewind(d.charset, d.delimiter)) return ioError("read", errno);

    std::string bytes = style.bom ? ByteOrderMark(d.charset) : std::string();
    off_t written = 0;
    int writeError = 0;
    bool first = true;
    std::string error;
    // A record as written, or the fields of one as read (`record` null): unchanged records
    // are written straight from the reader's fields.
    std::vector<std::string> fields;
    std::size_t count = 0;
    std::string line;
    auto emit = [&](const Record* record) {
        line.clear();
        if (!first) line += style.lineEnd;
        if (record) line += RecordText(table, *record);
        else AppendRecordFields(line, fields, reader.Quoted(), count, d.delimiter, style.quoteAll);
        first = false;
        if (d.charset == Charset::Utf8) bytes += line;
        else if (!Encode(table, line, bytes, error)) return false;
        if (bytes.size() >= (1u << 20)) {
            if ((writeError = WriteAll(fd, bytes, written)) != 0) return false;
            written += off_t(bytes.size());
            bytes.clear();
        }
        return true;
    };
    bool ok = true;
    if (d.header && reader.Next(fields, count)) ok = emit(nullptr);
    const bool deletes = !table->deleted.empty();
    for (sqlite3_int64 row = 1; ok && reader.Next(fields, count); ++row) {
        if (deletes && table->deleted.count(row)) continue;
        auto replaced = table->updated.find(row);
        ok = emit(replaced != table->updated.end() ? &replaced->second : nullptr);
    }
    if (ok && reader.Failed()) return ioError("read", errno);
    for (const auto& appended : table->appended)
        if (ok && appended) ok = emit(&*appended);
    if (!ok && !error.empty()) return Fail(table, SQLITE_ERROR, error);
    if (ok && !first && style.finalNewline) ok = Encode(table, style.lineEnd, bytes, error);
    if (ok && writeError == 0) writeError = WriteAll(fd, bytes, written);
    if (writeError != 0) return ioError("write", writeError);
    Status replaced = version.Replace();
    if (!replaced.Ok()) return Fail(table, SQLITE_IOERR, WithoutStop(replaced.message) + "; the file is as it was");
    return SQLITE_OK;
}

// ---- The module's methods ---------------------------------------------------------------

int Declare(sqlite3* db, Table* table, char** err) {
    const std::size_t limit = std::size_t(sqlite3_limit(db, SQLITE_LIMIT_COLUMN, -1));
    if (table->description.columns.size() > limit) {
        *err =
            sqlite3_mprintf("Cannot read the text file '%s': it has %lld columns, more than the %lld a table can have",
                            table->path.c_str(), static_cast<long long>(table->description.columns.size()),
                            static_cast<long long>(limit));
        return SQLITE_ERROR;
    }
    std::string sql = "CREATE TABLE x(";
    for (std::size_t i = 0; i < table->description.columns.size(); ++i) {
        const TextColumn& column = table->description.columns[i];
        if (i) sql += ", ";
        sql += QuoteName(column.name) + " " + column.declared;
    }
    sql += ")";
    int rc = sqlite3_declare_vtab(db, sql.c_str());
    if (rc != SQLITE_OK)
        *err = sqlite3_mprintf("Cannot read the text file '%s': its columns cannot be declared (%s)",
                               table->path.c_str(), sqlite3_errmsg(db));
    return rc;
}

TextSettings SettingsFor(const std::string& path, const std::string& props) {
    TextSettings settings = ParseExtendedProperties(props);
    std::string ini;
    if (ReadWhole(platform::FolderOf(path) + "/schema.ini", ini))
        ApplySchemaSection(ParseSchemaIni(ini), platform::FileNameOf(path), settings);
    return settings;
}

// A table for the file a declaration names, refused when the file lies outside the
// connection's folder; verb says what the refusal was about ("read", "create").
int NewTable(void* aux, const char* argument, const char* verb, std::unique_ptr<Table>& table, char** err) {
    table.reset(new (std::nothrow) Table());
    if (!table) return SQLITE_NOMEM;
    table->path = UnquoteArgument(argument);
    const ModuleOptions& options = *static_cast<const ModuleOptions*>(aux);
    table->readOnly = options.readOnly;
    table->lockTimeoutMs = options.lockTimeoutMs;
    std::string refused;
    if (!FileOfFolder(options, table->path, refused)) {
        *err = sqlite3_mprintf("Cannot %s the text file '%s': %s", verb, table->path.c_str(), refused.c_str());
        return SQLITE_ERROR;
    }
    return SQLITE_OK;
}

int Connect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err) {
    if (argc < 4) {
        *err = sqlite3_mprintf("%s needs the path of a text file", kTextModuleName);
        return SQLITE_ERROR;
    }
    std::unique_ptr<Table> table;
    if (int rc = NewTable(aux, argv[3], "read", table, err); rc != SQLITE_OK) return rc;
    TextSettings settings = SettingsFor(table->path, argc > 4 ? UnquoteArgument(argv[4]) : std::string());
    std::string error;
    if (!DescribeTextFile(table->path, settings, table->description, error)) {
        *err = sqlite3_mprintf("Cannot read the text file '%s': %s", table->path.c_str(), error.c_str());
        return SQLITE_ERROR;
    }
    int rc = Declare(db, table.get(), err);
    if (rc != SQLITE_OK) return rc;
    *out = table.release();
    return SQLITE_OK;
}

bool IsTableFileName(const std::string& name) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    std::string ext = name.substr(dot + 1);
    return platform::EqualsNoCase(ext, "csv") || platform::EqualsNoCase(ext, "txt") ||
           platform::EqualsNoCase(ext, "tab") || platform::EqualsNoCase(ext, "asc");
}

// The schema.ini section that keeps a new file's layout and column types, which could not
// be guessed back from a file without data rows.
std::vector<std::string> SchemaSection(const std::string& fileName, const TextFileDescription& d,
                                       const std::vector<CreatedTextColumn>& columns) {
    std::vector<std::string> lines = {"[" + fileName + "]",
                                      std::string("ColNameHeader=") + (d.header ? "True" : "False")};
    if (d.delimiter == ',') lines.push_back("Format=CSVDelimited");
    else if (d.delimiter == '\t') lines.push_back("Format=TabDelimited");
    else lines.push_back(std::string("Format=Delimited(") + d.delimiter + ")");
    lines.push_back(d.charset == Charset::Ansi   ? "CharacterSet=ANSI"
                    : d.charset == Charset::Utf8 ? "CharacterSet=UTF-8"
                                                 : "CharacterSet=Unicode");
    if (!d.dateTimeFormat.empty()) lines.push_back("DateTimeFormat=" + d.dateTimeFormat);
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const std::string& name = columns[i].column.name;
        const bool quote = name.find_first_of(" \t=") != std::string::npos;
        lines.push_back("Col" + std::to_string(i + 1) + "=" + (quote ? "\"" + name + "\"" : name) + " " +
                        columns[i].schemaType);
    }
    return lines;
}

// CREATE TABLE of a text folder, rewritten by the store into
//   CREATE VIRTUAL TABLE main."new.csv" USING orv_text('/dir/new.csv', 'props', 'create', '"a" INTEGER, ...')
// makes the file (its header line when it has one) and a schema.ini section for its types.
int CreateFile(sqlite3* db, Table* table, const std::string& props, const std::string& definition, char** err) {
    auto fail = [&](const std::string& why) {
        *err = sqlite3_mprintf("Cannot create the text file '%s': %s", table->path.c_str(), why.c_str());
        return SQLITE_ERROR;
    };
    const std::string fileName = platform::FileNameOf(table->path);
    if (table->readOnly) return fail("the folder is open read-only (Mode=Read), or you may not write to it");
    if (!IsTableFileName(fileName))
        return fail("a table of a text folder is a file whose name ends in .csv, .txt, .tab or .asc");
    auto parsed = ParseCreateTable("CREATE TABLE x(" + definition + ")");
    if (!parsed) return fail("its column definitions cannot be read");
    Status free = CheckNewFilePath(platform::Utf8ToUtf16(table->path), u"text file");
    if (!free.Ok()) {
        *err = sqlite3_mprintf("%s", WithoutStop(free.message).c_str());
        return SQLITE_ERROR;
    }

    TextSettings settings = SettingsFor(table->path, props);
    TextFileDescription& d = table->description;
    d.charset = settings.charset.value_or(Charset::Utf8);
    d.delimiter = settings.delimiter.value_or(',');
    d.header = settings.header.value_or(true);
    d.dateTimeFormat = settings.dateTimeFormat;
    std::vector<CreatedTextColumn> columns;
    for (const CreatedColumn& column : parsed->columns) {
        columns.push_back(TextColumnForType(column.name, column.type));
        d.columns.push_back(columns.back().column);
    }
    WriteStyle style;  // CRLF, quotes only where needed
    style.bom = d.charset == Charset::Utf16LE || d.charset == Charset::Utf16BE;
    table->style = style;

    std::string bytes = style.bom ? ByteOrderMark(d.charset) : std::string();
    std::string error;
    if (d.header && !Encode(table, FormatRecord(HeaderRecord(d), d.delimiter, style), bytes, error)) return fail(error);
    Status written = WriteFileWhole(table->path, bytes, false, u"text file");
    if (!written.Ok()) {
        *err = sqlite3_mprintf("%s", WithoutStop(written.message).c_str());
        return SQLITE_ERROR;
    }
    const std::string iniPath = platform::FolderOf(table->path) + "/schema.ini";
    std::string ini;
    const bool hadIni = ReadWhole(iniPath, ini);
    Status kept = WriteFileWhole(iniPath, ReplaceSchemaSection(ini, fileName, SchemaSection(fileName, d, columns)),
                                 hadIni, u"schema.ini");
    if (!kept.Ok()) {
        ::unlink(table->path.c_str());
        return fail("its column types cannot be kept in schema.ini: " + WithoutStop(kept.message));
    }
    StampOf(table->path, table->styleStamp);
    return Declare(db, table, err);
}

int Create(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err) {
    // Declaring an existing file passes no marker and creates nothing.
    if (argc < 7 || UnquoteArgument(argv[5]) != "create") return Connect(db, aux, argc, argv, out, err);
    std::unique_ptr<Table> table;
    if (int rc = NewTable(aux, argv[3], "create", table, err); rc != SQLITE_OK) return rc;
    int rc = CreateFile(db, table.get(), UnquoteArgument(argv[4]), UnquoteArgument(argv[6]), err);
    if (rc != SQLITE_OK) return rc;
    *out = table.release();
    return SQLITE_OK;
}

int Disconnect(sqlite3_vtab* vtab) {
    delete static_cast<Table*>(vtab);
    return SQLITE_OK;
}

// DROP TABLE deletes the file, and its schema.ini section. The text folder deletes the file
// before the statement runs (SQLite does not pass on a message from here), so it is
// usually gone already.
int Destroy(sqlite3_vtab* vtab) {
    Table* table = static_cast<Table*>(vtab);
    if (table->readOnly)
        return Fail(table, SQLITE_READONLY,
                    "Cannot delete the text file '" + table->path +
                        "': the folder is open read-only (Mode=Read), or you may not write to it");
    struct stat info;
    if (CurrentEnv().StatPath(table->path, info) == 0) {
        Status writable = CheckWritableFile(table->path, u"text file");
        if (!writable.Ok()) return Fail(table, SQLITE_READONLY, WithoutStop(writable.message));
    }
    if (int err = CurrentEnv().Remove(table->path); err != 0 && err != ENOENT)
        return Fail(table, SQLITE_IOERR, "Cannot delete the text file '" + table->path + "': " + std::strerror(err));
    const std::string iniPath = platform::FolderOf(table->path) + "/schema.ini";
    std::string ini;
    if (ReadWhole(iniPath, ini)) {
        const std::string fileName = platform::FileNameOf(table->path);
        const std::string edited = ReplaceSchemaSection(ini, fileName, {});
        // The file is gone already; a section left behind (the rewrite failed) is harmless.
        if (edited != ini) WriteFileWhole(iniPath, edited, true, u"schema.ini");
    }
    delete table;
    return SQLITE_OK;
}

int BestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info) {
    // Every scan reads the whole file; SQLite applies the constraints itself.
    struct stat st;
    double bytes = ::stat(static_cast<Table*>(vtab)->path.c_str(), &st) == 0 ? double(st.st_size) : 1e6;
    info->estimatedCost = bytes / 10 + 10;
    info->estimatedRows = static_cast<sqlite3_int64>(bytes / 40) + 1;
    return SQLITE_OK;
}

int Open(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out) {
    Table* table = static_cast<Table*>(vtab);
    auto cursor = std::unique_ptr<Cursor>(new (std::nothrow) Cursor());
    if (!cursor) return SQLITE_NOMEM;
    if (!cursor->reader.Open(table->path))
        return Fail(vtab, SQLITE_CANTOPEN, "Cannot read the text file '" + table->path + "': " + std::strerror(errno));
    *out = cursor.release();
    return SQLITE_OK;
}

int Close(sqlite3_vtab_cursor* cursor) {
    delete static_cast<Cursor*>(cursor);
    return SQLITE_OK;
}

int ReadError(Cursor* cursor) {
    Table* table = static_cast<Table*>(cursor->pVtab);
    return Fail(table, SQLITE_IOERR, "Cannot read the text file '" + table->path + "': " + std::strerror(errno));
}

void Load(Cursor* cursor, const Record& record) {
    if (cursor->fields.size() < record.size()) cursor->fields.resize(record.size());
    for (std::size_t i = 0; i < record.size(); ++i) cursor->fields[i] = record[i].value_or(std::string());
    cursor->count = record.size();
    cursor->loaded = true;
    cursor->loadedText.assign(record.size(), false);
    for (std::size_t i = 0; i < record.size(); ++i) cursor->loadedText[i] = record[i].has_value();
}

int Next(sqlite3_vtab_cursor* base) {
    Cursor* cursor = static_cast<Cursor*>(base);
    Table* table = static_cast<Table*>(base->pVtab);
    const bool edited = !table->deleted.empty() || !table->updated.empty();
    while (cursor->inFile) {
        cursor->loaded = false;
        if (!cursor->reader.Next(cursor->fields, cursor->count)) {
            if (cursor->reader.Failed()) {
                cursor->eof = true;
                return ReadError(cursor);
            }
            cursor->inFile = false;
            break;
        }
        ++cursor->row;
        if (!edited) return SQLITE_OK;
        if (table->deleted.count(cursor->row)) continue;
        auto replaced = table->updated.find(cursor->row);
        if (replaced != table->updated.end()) Load(cursor, replaced->second);
        return SQLITE_OK;
    }
    // The records appended in this transaction, after the file's.
    while (cursor->appendedAt < table->appended.size()) {
        const auto& record = table->appended[cursor->appendedAt++];
        if (!record) continue;
        cursor->row = table->fileRecords + sqlite3_int64(cursor->appendedAt);
        Load(cursor, *record);
        return SQLITE_OK;
    }
    cursor->eof = true;
    return SQLITE_OK;
}

int Filter(sqlite3_vtab_cursor* base, int, const char*, int, sqlite3_value**) {
    Cursor* cursor = static_cast<Cursor*>(base);
    Table* table = static_cast<Table*>(base->pVtab);
    const TextFileDescription& d = table->description;
    cursor->row = 0;
    cursor->eof = false;
    cursor->inFile = true;
    cursor->appendedAt = 0;
    if (!table->writeLock.Held()) {
        // Another writer may be appending: read the file as it is between two appends, after
        // undoing one that a killed writer left half done.
        RecoverAppend(table->path);
        off_t size = 0;
        Status whole = SizeBetweenAppends(cursor->reader.Fd(), table->lockTimeoutMs, platform::Utf8ToUtf16(table->path),
                                          u"text file", size);
        if (!whole.Ok()) {
            cursor->eof = true;
            return Fail(table, whole.native == SQLITE_BUSY ? SQLITE_BUSY : SQLITE_IOERR, WithoutStop(whole.message));
        }
        cursor->reader.LimitTo(size);
    } else {
        cursor->reader.LimitTo(-1);
    }
    if (!cursor->reader.Rewind(d.charset, d.delimiter)) return ReadError(cursor);
    if (d.header && !cursor->reader.Next(cursor->fields, cursor->count)) {
        if (cursor->reader.Failed()) {
            cursor->eof = true;
            return ReadError(cursor);
        }
        cursor->inFile = false;  // no records in the file; appended ones may follow
    }
    return Next(base);
}

int Eof(sqlite3_vtab_cursor* cursor) { return static_cast<Cursor*>(cursor)->eof; }

int Column(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int i) {
    Cursor* cursor = static_cast<Cursor*>(base);
    const auto& columns = static_cast<Table*>(base->pVtab)->description.columns;
    if (i < 0 || std::size_t(i) >= cursor->count || std::size_t(i) >= columns.size()) {
        sqlite3_result_null(ctx);  // a short record: the missing fields are empty
        return SQLITE_OK;
    }
    const std::string& raw = cursor->fields[std::size_t(i)];
    // A column that an UPDATE leaves alone is handed over as the text of the file, so that
    // the rewritten record keeps it as it was written ("3/1/2024" stays, not "2024-03-01").
    const bool quoted = cursor->IsText(std::size_t(i));
    if (sqlite3_vtab_nochange(ctx)) {
        if (platform::Trim(raw, kFieldBlanks).empty() && !quoted) sqlite3_result_null(ctx);
        else ResultText(ctx, raw);
        return SQLITE_OK;
    }
    const TextFileDescription& d = static_cast<Table*>(base->pVtab)->description;
    if (quoted && columns[std::size_t(i)].kind == Kind::Text) ResultText(ctx, raw);  // "" is the empty text
    else ResultValue(ctx, raw, columns[std::size_t(i)].kind, d.dateTimeFormat);
    return SQLITE_OK;
}

int Rowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid) {
    *rowid = static_cast<Cursor*>(cursor)->row;
    return SQLITE_OK;
}

// ---- Changes and transactions -------------------------------------------------------------

// Waits for other writers of the file (other processes and connections), then holds the
// file until the transaction ends. A file that may not be written is refused here.
int LockForWriting(Table* table) {
    if (table->readOnly) return SQLITE_OK;  // Update refuses every change
    Status writable = CheckWritableFile(table->path, u"text file");
    if (!writable.Ok()) return Fail(table, SQLITE_READONLY, WithoutStop(writable.message));
    RecoverAppend(table->path);  // what a writer killed in the middle of an append left
    Status locked = table->writeLock.Acquire(table->path, FileLock::Write, Env::LockMode::Exclusive,
                                             table->lockTimeoutMs, platform::Utf8ToUtf16(table->path), u"text file");
    if (!locked.Ok())
        return Fail(table, locked.native == SQLITE_BUSY ? SQLITE_BUSY : SQLITE_IOERR, WithoutStop(locked.message));
    return SQLITE_OK;
}

int Begin(sqlite3_vtab* vtab) {
    Table* table = static_cast<Table*>(vtab);
    table->Forget();
    table->inTransaction = true;
    if (int rc = LockForWriting(table); rc != SQLITE_OK) return rc;
    if (!StampOf(table->path, table->transactionStamp))
        return Fail(vtab, SQLITE_IOERR, "Cannot read the text file '" + table->path + "': " + std::strerror(errno));
    return SQLITE_OK;
}

int Update(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
    Table* table = static_cast<Table*>(vtab);
    if (table->readOnly)
        return Fail(vtab, SQLITE_READONLY,
                    "The text file '" + table->path +
                        "' cannot be changed: the folder is open read-only (Mode=Read), or you may not write to it");
    if (!table->writeLock.Held())
        if (int rc = LockForWriting(table); rc != SQLITE_OK) return rc;
    FileStamp now;
    if (!StampOf(table->path, now))
        return Fail(vtab, SQLITE_IOERR, "Cannot read the text file '" + table->path + "': " + std::strerror(errno));
    if (!table->inTransaction) table->inTransaction = true, table->transactionStamp = now;
    if (now != table->transactionStamp) return Fail(vtab, SQLITE_BUSY, ChangedElsewhere(table));
    // The number of the file's records tells them from records added in this transaction;
    // an UPDATE or DELETE with nothing added does without it (counting is a whole scan).
    const bool insert = argc > 1 && sqlite3_value_type(argv[0]) == SQLITE_NULL;
    if (insert || !table->appended.empty())
        if (int rc = CountRecords(table, now); rc != SQLITE_OK) return rc;

    const auto& columns = table->description.columns;
    auto newRecord = [&]() {
        Record record;
        for (std::size_t i = 0; i < columns.size() && int(i) + 2 < argc; ++i)
            record.push_back(FormatValue(argv[i + 2], columns[i].kind, table->description.dateTimeFormat));
        return record;
    };
    auto appendedSlot = [&](sqlite3_int64 id) -> std::optional<Record>* {
        const sqlite3_int64 index = id - table->fileRecords - 1;
        return index >= 0 && index < sqlite3_int64(table->appended.size()) ? &table->appended[std::size_t(index)]
                                                                           : nullptr;
    };

    if (insert) {
        table->appended.push_back(newRecord());
        table->undo.push_back({Undo::Appended, 0, std::nullopt});
        *rowid = table->fileRecords + sqlite3_int64(table->appended.size());
        return SQLITE_OK;
    }
    const sqlite3_int64 id = sqlite3_value_int64(argv[0]);
    if (argc > 1 && sqlite3_value_int64(argv[1]) != id)
        return Fail(vtab, SQLITE_ERROR,
                    "The record number of a record of the text file '" + table->path + "' cannot be changed");
    if (table->appended.empty() || id <= table->fileRecords) {
        if (argc == 1) {  // DELETE
            if (table->deleted.insert(id).second) table->undo.push_back({Undo::Deleted, id, std::nullopt});
        } else {  // UPDATE
            auto old = table->updated.find(id);
            table->undo.push_back(
                {Undo::Updated, id, old == table->updated.end() ? std::nullopt : std::optional(old->second)});
            table->updated[id] = newRecord();
        }
        return SQLITE_OK;
    }
    std::optional<Record>* slot = appendedSlot(id);
    if (!slot) return SQLITE_OK;  // a record no longer there
    table->undo.push_back({Undo::AppendedChanged, id - table->fileRecords - 1, *slot});
    if (argc == 1) slot->reset();
    else *slot = newRecord();
    return SQLITE_OK;
}

void UndoTo(Table* table, std::size_t mark) {
    while (table->undo.size() > mark) {
        Undo& u = table->undo.back();
        switch (u.kind) {
        case Undo::Appended: table->appended.pop_back(); break;
        case Undo::Deleted: table->deleted.erase(u.rowid); break;
        case Undo::Updated:
            if (u.previous) table->updated[u.rowid] = std::move(*u.previous);
            else table->updated.erase(u.rowid);
            break;
        case Undo::AppendedChanged: table->appended[std::size_t(u.rowid)] = std::move(u.previous); break;
        }
        table->undo.pop_back();
    }
}

int Sync(sqlite3_vtab* vtab) {
    Table* table = static_cast<Table*>(vtab);
    if (!table->Changed()) return SQLITE_OK;
    FileStamp now;
    if (!StampOf(table->path, now) || now != table->transactionStamp)
        return Fail(vtab, SQLITE_BUSY, ChangedElsewhere(table));
    if (!table->style || table->styleStamp != table->transactionStamp) {  // another program may have rewritten it
        WriteStyle style;
        if (!DetectWriteStyle(table->path, table->description, style))
            return Fail(vtab, SQLITE_IOERR, "Cannot read the text file '" + table->path + "': " + std::strerror(errno));
        table->style = style;
    }
    const bool appendOnly = table->updated.empty() && table->deleted.empty();
    int rc = appendOnly ? AppendRecords(table) : RewriteFile(table);
    if (rc != SQLITE_OK) return rc;
    // The file is now this transaction's: its records are counted from what was written
    // (when they were counted before).
    sqlite3_int64 records = table->fileRecords - sqlite3_int64(table->deleted.size());
    for (const auto& record : table->appended) records += record ? 1 : 0;
    const bool counted = table->fileRecords >= 0;
    if (StampOf(table->path, table->countedStamp) && counted) table->fileRecords = records;
    else table->fileRecords = -1;
    table->styleStamp = table->countedStamp;
    return SQLITE_OK;
}

int EndTransaction(sqlite3_vtab* vtab) {
    Table* table = static_cast<Table*>(vtab);
    table->Forget();
    table->inTransaction = false;
    table->writeLock.Release();
    return SQLITE_OK;
}

int Savepoint(sqlite3_vtab* vtab, int n) {
    Table* table = static_cast<Table*>(vtab);
    if (n < 0) return SQLITE_OK;
    table->savepoints.resize(std::size_t(n) + 1, table->undo.size());
    table->savepoints[std::size_t(n)] = table->undo.size();
    return SQLITE_OK;
}

int Release(sqlite3_vtab* vtab, int n) {
    Table* table = static_cast<Table*>(vtab);
    if (n >= 0 && std::size_t(n) < table->savepoints.size()) table->savepoints.resize(std::size_t(n));
    return SQLITE_OK;
}

int RollbackTo(sqlite3_vtab* vtab, int n) {
    Table* table = static_cast<Table*>(vtab);
    if (n < 0 || std::size_t(n) >= table->savepoints.size()) return SQLITE_OK;
    UndoTo(table, table->savepoints[std::size_t(n)]);
    table->savepoints.resize(std::size_t(n) + 1);
    return SQLITE_OK;
}

const sqlite3_module kModule = {
    /* iVersion */ 2,
    /* xCreate */ &GuardedCallback<Create>::Call,
    /* xConnect */ &GuardedCallback<Connect>::Call,
    /* xBestIndex */ &GuardedCallback<BestIndex>::Call,
    /* xDisconnect */ &GuardedCallback<Disconnect>::Call,
    /* xDestroy */ &GuardedCallback<Destroy>::Call,
    /* xOpen */ &GuardedCallback<Open>::Call,
    /* xClose */ &GuardedCallback<Close>::Call,
    /* xFilter */ &GuardedCallback<Filter>::Call,
    /* xNext */ &GuardedCallback<Next>::Call,
    /* xEof */ &GuardedCallback<Eof>::Call,
    /* xColumn */ &GuardedCallback<Column>::Call,
    /* xRowid */ &GuardedCallback<Rowid>::Call,
    /* xUpdate */ &GuardedCallback<Update>::Call,
    /* xBegin */ &GuardedCallback<Begin>::Call,
    /* xSync */ &GuardedCallback<Sync>::Call,
    /* xCommit */ &GuardedCallback<EndTransaction>::Call,
    /* xRollback */ &GuardedCallback<EndTransaction>::Call,
    /* xFindFunction */ nullptr,
    /* xRename */ nullptr,
    /* xSavepoint */ &GuardedCallback<Savepoint>::Call,
    /* xRelease */ &GuardedCallback<Release>::Call,
    /* xRollbackTo */ &GuardedCallback<RollbackTo>::Call,
    /* xShadowName */ nullptr,
};

}  // namespace

int RegisterTextModule(sqlite3* db, const TextModuleOptions& given) {
    auto* options = new (std::nothrow) ModuleOptions();
    if (!options) return SQLITE_NOMEM;
    try {
        *options = given;
    } catch (const std::bad_alloc&) {
        delete options;
        return SQLITE_NOMEM;
    }
    // SQLite frees the options with the connection, or at once when registering fails.
    return sqlite3_create_module_v2(db, kTextModuleName, &kModule, options,
                                    [](void* aux) { delete static_cast<ModuleOptions*>(aux); });
}

}  // namespace orv::engine::text
