#include "transfer.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include "diagnostics.h"
#include "interrupt.h"
#include "platform/strings.h"
#include "shell.h"

namespace orvsql {
namespace {

std::string Utf8(const CString& text) { return orv::platform::Utf16ToUtf8(text.Str()); }
std::u16string Utf16(const std::string& text) { return orv::platform::Utf8ToUtf16(text); }

int Fail(const std::string& message) {
    std::fprintf(stderr, "orvsql: %s\n", message.c_str());
    return kSqlError;
}

std::string Bracket(const std::string& name) { return "[" + name + "]"; }

// How a column's values are written back as SQL literals, and the type it gets in a new
// table, from the type the command binds.
enum class Literal { Number, Boolean, Text, Bytes };

struct Column {
    std::string name;
    std::string type;  // for CREATE TABLE
    Literal literal = Literal::Text;
};

// What the source's catalog says of a column beyond its type: a text's width, a decimal's
// precision and scale; 0 where it says nothing.
struct Shape {
    unsigned width = 0;
    unsigned precision = 0;
    unsigned scale = 0;
};

// The shapes of the columns of `table`, by name.
std::map<std::string, Shape> ColumnShapes(OrvOleDbConnection* connection, const std::string& table) {
    std::map<std::string, Shape> shapes;
    OrvOleDbColumns columns;
    if (!columns.Open(connection, nullptr, nullptr, Utf16(table).c_str(), nullptr, false)) return shapes;
    while (columns.FetchNext()) {
        CString name;
        columns.GetName(name);
        shapes[Utf8(name)] = Shape{columns.MaxLength(), columns.NumericPrecision(), columns.NumericScale()};
    }
    return shapes;
}

// Bytes go to a text file as hexadecimal digits, to a database as bytes. Text keeps its
// width up to 255 characters (longer text is a memo), decimals their precision and scale.
Column DescribeColumn(const std::string& name, unsigned short bound, const Shape& shape, bool textDestination) {
    Column column{name, "TEXT(255)", Literal::Text};
    const bool large = (bound & DBTYPE_BYREF) != 0 || bound == DBTYPE_IUNKNOWN;
    switch (bound & ~DBTYPE_BYREF) {
    case DBTYPE_I1:
    case DBTYPE_I2: column.type = "SHORT", column.literal = Literal::Number; break;
    case DBTYPE_UI1: column.type = "BYTE", column.literal = Literal::Number; break;
    case DBTYPE_UI2:
    case DBTYPE_I4: column.type = "LONG", column.literal = Literal::Number; break;
    case DBTYPE_UI4:
    case DBTYPE_I8:
    case DBTYPE_UI8: column.type = "BIGINT", column.literal = Literal::Number; break;
    case DBTYPE_R4: column.type = "SINGLE", column.literal = Literal::Number; break;
    case DBTYPE_R8: column.type = "DOUBLE", column.literal = Literal::Number; break;
    case DBTYPE_NUMERIC:
    case DBTYPE_DECIMAL:
        column.type = shape.precision
                          ? "DECIMAL(" + std::to_string(shape.precision) + "," + std::to_string(shape.scale) + ")"
                          : "DOUBLE";
        column.literal = Literal::Number;
        break;
    case DBTYPE_CY: column.type = "CURRENCY", column.literal = Literal::Number; break;
    case DBTYPE_DATE:
    case DBTYPE_DBDATE:
    case DBTYPE_DBTIMESTAMP: column.type = "DATETIME"; break;
    case DBTYPE_BOOL: column.type = "BIT", column.literal = Literal::Boolean; break;
    case DBTYPE_BYTES:
        column.type = textDestination ? "MEMO" : "LONGBINARY";
        column.literal = Literal::Bytes;
        break;
    default:
        column.type = large || shape.width > 255 ? "MEMO"
                      : shape.width > 0          ? "TEXT(" + std::to_string(shape.width) + ")"
                                                 : "TEXT(255)";
        break;
    }
    return column;
}

// A number as SQL writes it: digits, a sign, a point, an exponent.
bool PlainNumber(const std::u16string& text) {
    if (text.empty()) return false;
    bool digit = false;
    for (char16_t c : text) {
        if (c >= u'0' && c <= u'9') digit = true;
        else if (c > 0x7f || !std::strchr("+-.eE", static_cast<char>(c))) return false;
    }
    return digit;
}

// `text` as a quoted SQL literal, its quotes doubled.
void AppendQuoted(std::u16string& out, const std::u16string& text) {
    out += u'\'';
    for (char16_t c : text) {
        if (c == u'\'') out += u'\'';
        out += c;
    }
    out += u'\'';
}

// Rows for one table, collected into multi-row INSERT statements and run on `connection`
// when a statement holds kRows rows or kUnits units of text. A statement that fails is run
// again a row at a time, to name the row that cannot be stored; a failed statement changes
// nothing, so the rows before that one are then in the table once.
class Batch {
public:
    static constexpr std::size_t kRows = 256;
    static constexpr std::size_t kUnits = 256 * 1024;

    Batch(OrvOleDbConnection* connection, const std::string& head, const std::vector<Column>& columns) {
        std::string text = head;
        for (std::size_t i = 0; i < columns.size(); ++i) text += (i ? ", " : "") + Bracket(columns[i].name);
        m_head = orv::platform::Utf8ToUtf16(text + ") VALUES ");
        m_command.SetConnection(connection);
        m_sql = m_head;
    }
    OrvOleDbCommand& Command() { return m_command; }
    // The 1-based number of the row that could not be stored, after Add or Flush failed.
    std::size_t FailedRow() const { return m_stored + m_failed; }

    bool Add(const std::u16string& row) {
        if (!m_rows.empty()) m_sql += u", ";
        m_sql += row;
        m_rows.push_back(row);
        if (m_rows.size() < kRows && m_sql.size() < kUnits) return true;
        return Flush();
    }

    bool Flush() {
        if (m_rows.empty()) return true;
        bool ok = Run(m_sql);
        if (ok) m_stored += m_rows.size();
        if (!ok && !InterruptRequested()) {
            m_failed = 0;
            for (std::size_t i = 0; i < m_rows.size() && m_failed == 0; ++i)
                if (!Run(m_head + m_rows[i])) m_failed = i + 1;
            ok = m_failed == 0;  // each row alone went in
            if (ok) m_stored += m_rows.size();
        }
        m_rows.clear();
        m_sql = m_head;
        return ok;
    }

private:
    bool Run(const std::u16string& sql) {
        m_command.SetCommandText(CString(sql));
        const bool ok = m_command.Execute() == OrvOleDbCommand::dbTrue;
        if (ok) m_command.Close();
        return ok;
    }

    OrvOleDbCommand m_command;
    std::u16string m_head;  // INSERT INTO [table] ([a], [b]) VALUES
    std::u16string m_sql;
    std::vector<std::u16string> m_rows;
    std::size_t m_stored = 0;  // rows of the statements that ran
    std::size_t m_failed = 0;
};

// Rows for a table of a database, inserted one at a time by one prepared INSERT whose values
// are bound as parameters: SQLite parses the statement once, not once per row. The library's
// classes bind no parameters, so this reaches the provider's command through the
// connection's session. Values go as text (bytes as bytes), and the column's type turns a
// number's text into the number, as it would a literal.
class PreparedInsert {
public:
    PreparedInsert(const std::string& table, const std::vector<Column>& columns) : m_columns(columns) {
        std::string sql = "INSERT INTO " + Bracket(table) + " (";
        for (std::size_t i = 0; i < columns.size(); ++i) sql += (i ? ", " : "") + Bracket(columns[i].name);
        sql += ") VALUES (";
        for (std::size_t i = 0; i < columns.size(); ++i) sql += i ? ", ?" : "?";
        m_sql = Utf16(sql + ")");
        m_slots.resize(columns.size());
        m_values.resize(columns.size());
    }
    ~PreparedInsert() {
        if (m_accessor) m_accessorOwner->ReleaseAccessor(m_accessor, nullptr);
    }
    PreparedInsert(const PreparedInsert&) = delete;
    PreparedInsert& operator=(const PreparedInsert&) = delete;

    const OrvOleDbErrorInfo& Error() const { return m_error; }

    bool Open(OrvOleDbConnection* connection) {
        IOpenRowset* session = connection->GetSession().m_spOpenRowset;
        if (!session) return m_error.CheckResult(E_FAIL);
        CComPtr<IDBCreateCommand> create;
        HRESULT hr = session->QueryInterface(IID_IDBCreateCommand, reinterpret_cast<void**>(&create));
        if (hr == S_OK) hr = create->CreateCommand(nullptr, IID_ICommandText, reinterpret_cast<IUnknown**>(&m_command));
        if (hr == S_OK) hr = m_command->SetCommandText(DBGUID_DEFAULT, reinterpret_cast<LPCOLESTR>(m_sql.c_str()));
        CComPtr<ICommandPrepare> prepare;
        if (hr == S_OK) hr = m_command->QueryInterface(IID_ICommandPrepare, reinterpret_cast<void**>(&prepare));
        if (hr == S_OK) hr = prepare->Prepare(0);
        if (hr == S_OK) hr = m_command->QueryInterface(IID_IAccessor, reinterpret_cast<void**>(&m_accessorOwner));
        if (hr != S_OK) return m_error.CheckResult(hr);
        std::vector<DBBINDING> bindings(m_columns.size());
        for (std::size_t i = 0; i < m_columns.size(); ++i) {
            DBBINDING& b = bindings[i];
            b = DBBINDING{};
            b.iOrdinal = i + 1;
            b.obValue = i * sizeof(Slot) + offsetof(Slot, value);
            b.obLength = i * sizeof(Slot) + offsetof(Slot, length);
            b.obStatus = i * sizeof(Slot) + offsetof(Slot, status);
            b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
            b.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
            b.eParamIO = DBPARAMIO_INPUT;
            b.wType = (m_columns[i].literal == Literal::Bytes ? DBTYPE_BYTES : DBTYPE_WSTR) | DBTYPE_BYREF;
        }
        hr = m_accessorOwner->CreateAccessor(DBACCESSOR_PARAMETERDATA, bindings.size(), bindings.data(),
                                             m_slots.size() * sizeof(Slot), &m_accessor, nullptr);
        return m_error.CheckResult(hr);
    }

    // The value of column `i` for the next row: null, or text (bytes as hexadecimal digits).
    void SetNull(std::size_t i) { m_slots[i].status = DBSTATUS_S_ISNULL; }
    std::u16string& Value(std::size_t i) {
        m_slots[i].status = DBSTATUS_S_OK;
        return m_values[i];
    }

    bool Insert() {
        for (std::size_t i = 0; i < m_slots.size(); ++i) {
            Slot& slot = m_slots[i];
            if (slot.status != DBSTATUS_S_OK) continue;
            const std::u16string& value = m_values[i];
            if (m_columns[i].literal == Literal::Bytes) {
                Unhex(value, m_bytes[i]);
                slot.value = m_bytes[i].data();
                slot.length = m_bytes[i].size();
            } else {
                slot.value = value.data();
                slot.length = value.size() * sizeof(char16_t);
            }
        }
        DBPARAMS params{m_slots.data(), 1, m_accessor};
        return m_error.CheckResult(m_command->Execute(nullptr, IID_NULL, &params, nullptr, nullptr));
    }

private:
    struct Slot {
        const void* value = nullptr;
        DBLENGTH length = 0;
        DBSTATUS status = DBSTATUS_S_ISNULL;
    };

    static void Unhex(const std::u16string& digits, std::string& out) {
        using orv::platform::HexDigit;
        out.clear();
        for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
            out += static_cast<char>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1]));
    }

    std::vector<Column> m_columns;
    std::u16string m_sql;
    CComPtr<ICommandText> m_command;
    CComPtr<IAccessor> m_accessorOwner;
    HACCESSOR m_accessor = DB_NULL_HACCESSOR;
    std::vector<Slot> m_slots;
    std::vector<std::u16string> m_values;
    std::map<std::size_t, std::string> m_bytes;
    OrvOleDbErrorInfo m_error;
};

// Rows copied so far, as a bar on a terminal's stderr, redrawn at most ten times a second.
class Progress {
public:
    Progress(const char* verb, long long total, bool show) : m_verb(verb), m_total(total), m_show(show) {}
    ~Progress() {
        if (m_drawn) std::fprintf(stderr, "\r\033[K");
    }
    void SetTotal(long long total) { m_total = total; }
    void Update(long long done) {
        if (!m_show || (done & 255) != 0) return;
        const auto now = std::chrono::steady_clock::now();
        if (m_drawn && now - m_last < std::chrono::milliseconds(100)) return;
        m_last = now;
        m_drawn = true;
        if (m_total > 0) {
            const int width = 30;
            const int filled = static_cast<int>(width * std::min(done, m_total) / m_total);
            std::fprintf(stderr, "\r%s [%.*s%*s] %lld of %lld rows", m_verb, filled, "##############################",
                         width - filled, "", done, m_total);
        } else {
            std::fprintf(stderr, "\r%s %lld rows", m_verb, done);
        }
        std::fflush(stderr);
    }

private:
    const char* m_verb;
    long long m_total;
    bool m_show;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_last;
};

// The failure's description, one line.
std::string ErrorOf(const OrvOleDbErrorInfo& object) {
    std::string text = ParseErrorText(Utf8(object.GetErrorText())).description;
    return text.empty() ? "no reason was given" : text;
}

// The source table's columns: name, the type they get in a new table, how their values are
// written. False when the table cannot be read (the reader holds the error).
bool DescribeColumns(OrvOleDbCommand& reader, OrvOleDbConnection* source, const std::string& sourceTable,
                     bool textDestination, std::vector<Column>& columns) {
    reader.SetCommandText(CString(Utf16("SELECT * FROM " + Bracket(sourceTable)).c_str()));
    if (reader.Execute() != OrvOleDbCommand::dbTrue) return false;
    const std::map<std::string, Shape> shapes = ColumnShapes(source, sourceTable);
    for (unsigned __int64 c = 1; c <= reader.GetColumnCount(); ++c) {
        const std::string name = Utf8(reader.GetColumnName(c));
        const auto shape = shapes.find(name);
        columns.push_back(DescribeColumn(name, reader.GetRawType(c), shape != shapes.end() ? shape->second : Shape{},
                                         textDestination));
    }
    reader.Close();
    return true;
}

// Creates the destination table with `columns` unless `mayExist` and it exists already (a
// text file is always new); `created` says whether it was made.
int EnsureTable(OrvOleDbConnection* destination, const std::string& table, const std::vector<Column>& columns,
                bool mayExist, bool& created) {
    OrvOleDbCommand statement;
    statement.SetConnection(destination);
    if (mayExist) {
        statement.SetCommandText(CString(Utf16("SELECT * FROM " + Bracket(table) + " WHERE 1 = 0").c_str()));
        const bool exists = statement.Execute() == OrvOleDbCommand::dbTrue;
        statement.Close();
        if (exists) return kSuccess;
    }
    std::string sql = "CREATE TABLE " + Bracket(table) + " (";
    for (std::size_t i = 0; i < columns.size(); ++i)
        sql += (i ? ", " : "") + Bracket(columns[i].name) + " " + columns[i].type;
    sql += ")";
    statement.SetCommandText(CString(Utf16(sql).c_str()));
    if (statement.Execute() != OrvOleDbCommand::dbTrue) return Fail(ErrorOf(statement));
    statement.Close();
    created = true;
    return kSuccess;
}

// The query that reads the source's values as SQLite's text (ISO dates, integers, reals in
// 15 digits), which the copy writes back as literals. A real of a database that 15 digits do not give back exactly
// (0.30000000000000004) goes to a text file with 17, which read back give the very same
// double. (A text file's own reals need no such care: the text store hands a number
// that a double would not keep to the last digit over as its text.)
std::string SourceQuery(const std::string& sourceTable, const std::vector<Column>& columns, bool textDestination) {
    std::string select = "SELECT ";
    for (std::size_t i = 0; i < columns.size(); ++i) {
        select += i ? ", " : "";
        const std::string name = Bracket(columns[i].name), text = "CAST(" + name + " AS TEXT)";
        // hex() of NULL is the empty text; NULL stays NULL.
        if (columns[i].literal == Literal::Bytes)
            select += "CASE WHEN " + name + " IS NULL THEN NULL ELSE hex(" + name + ") END";
        else if (textDestination && columns[i].literal == Literal::Number)
            select += "CASE WHEN typeof(" + name + ") = 'real' AND CAST(" + text + " AS REAL) <> " + name +
                      " THEN printf('%!.17g', " + name + ") ELSE " + text + " END";
        else select += text;
    }
    select += " FROM " + Bracket(sourceTable);
    return select;
}

// Reads column i of the reader's current row as text into `out`; false for NULL.
bool ReadText(OrvOleDbCommand& reader, std::size_t i, std::u16string& out) {
    const unsigned __int64 c = i + 1;
    if (reader.IsNull(c) == OrvOleDbCommand::dbTrue) return false;
    if (reader.IsBlob(c) == OrvOleDbCommand::dbTrue) {
        CHeapPtr<unsigned char> data;
        const ULONG size = reader.GetBlobData(c, data);
        out.assign(reinterpret_cast<const char16_t*>(data.m_pData), size / 2);
    } else {
        out = reader.FieldAsString(c).Str();
    }
    return true;
}

// The reader's rows into a table of a database, through one prepared INSERT. Stops early,
// with success, on Ctrl-C; `fetched` is the last fetch's status.
int InsertRows(OrvOleDbCommand& reader, OrvOleDbConnection* destination, const std::string& table,
               const std::vector<Column>& columns, Progress& bar, long long& copied,
               OrvOleDbCommand::dbStatus& fetched) {
    PreparedInsert insert(table, columns);
    if (!insert.Open(destination)) return Fail(ErrorOf(insert.Error()));
    while (!InterruptRequested() && (fetched = reader.FetchNext()) == OrvOleDbCommand::dbTrue) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            std::u16string& field = insert.Value(i);
            if (!ReadText(reader, i, field)) {
                insert.SetNull(i);
            } else if (columns[i].literal == Literal::Boolean && PlainNumber(field)) {
                field = std::atof(orv::platform::Utf16ToUtf8(field).c_str()) != 0 ? u"-1" : u"0";
            }
        }
        if (!insert.Insert()) {
            if (InterruptRequested()) break;
            return Fail("row " + std::to_string(copied + 1) + " could not be copied: " + ErrorOf(insert.Error()));
        }
        bar.Update(++copied);
    }
    return kSuccess;
}

// The reader's rows into a text file's table, many to a statement (INSERT ... VALUES (...),
// (...), ...): preparing one statement per row cost more than the rows themselves. Stops
// early, with success, on Ctrl-C; `fetched` is the last fetch's status.
int AppendRows(OrvOleDbCommand& reader, OrvOleDbConnection* destination, const std::string& table,
               const std::vector<Column>& columns, Progress& bar, long long& copied,
               OrvOleDbCommand::dbStatus& fetched) {
    Batch batch(destination, "INSERT INTO " + Bracket(table) + " (", columns);
    CancelOnInterrupt cancelInsert(batch.Command());
    std::u16string row, value;
    while (!InterruptRequested() && (fetched = reader.FetchNext()) == OrvOleDbCommand::dbTrue) {
        row.assign(u"(");
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i) row += u", ";
            if (!ReadText(reader, i, value)) {
                row += u"NULL";
            } else if (columns[i].literal == Literal::Boolean && PlainNumber(value)) {
                row += std::atof(orv::platform::Utf16ToUtf8(value).c_str()) != 0 ? u"True" : u"False";
            } else if (columns[i].literal == Literal::Number && PlainNumber(value)) {
                row += value;
            } else {
                AppendQuoted(row, value);
            }
        }
        row += u")";
        if (!batch.Add(row)) {
            if (InterruptRequested()) break;
            return Fail("row " + std::to_string(batch.FailedRow()) +
                        " could not be copied: " + ErrorOf(batch.Command()));
        }
        bar.Update(++copied);
    }
    if (!InterruptRequested() && !batch.Flush() && !InterruptRequested())
        return Fail("row " + std::to_string(batch.FailedRow()) + " could not be copied: " + ErrorOf(batch.Command()));
    return kSuccess;
}

// Copies every row of `sourceTable` on `source` into `destinationTable` on `destination`:
// a new text file when `textDestination`, else a table of a database, created when it does
// not exist. The rows are written inside one transaction on `destination`; `copied` counts
// them, `created` says whether the table was made (and should go again on a failure). The
// table is made inside the transaction, so a failure or Ctrl-C takes it away again.
int Copy(OrvOleDbConnection* source, const std::string& sourceTable, OrvOleDbConnection* destination,
         const std::string& destinationTable, bool textDestination, const char* verb, bool progress, long long& copied,
         bool& created) {
    copied = 0;
    created = false;
    OrvOleDbCommand reader;
    reader.SetConnection(source);
    reader.SetBlobHandling(DBBLOBHANDLING_NOSTREAMS);

    std::vector<Column> columns;
    if (!DescribeColumns(reader, source, sourceTable, textDestination, columns)) return Fail(ErrorOf(reader));
    if (columns.empty()) return Fail(sourceTable + " has no columns");

    long long total = 0;
    if (progress) {
        reader.SetCommandText(CString(Utf16("SELECT COUNT(*) FROM " + Bracket(sourceTable)).c_str()));
        if (reader.Execute() == OrvOleDbCommand::dbTrue && reader.FetchNext() == OrvOleDbCommand::dbTrue)
            total = std::atoll(Utf8(reader.FieldAsString(1)).c_str());
        reader.Close();
    }

    if (!destination->StartTransaction()) return Fail(ErrorOf(*destination));
    // Every way out from here on rolls the transaction back, unless it was committed.
    struct Rollback {
        OrvOleDbConnection* connection;
        bool done = false;
        ~Rollback() {
            if (!done) connection->Rollback();
        }
    } rollback{destination};

    if (int status = EnsureTable(destination, destinationTable, columns, !textDestination, created); status != kSuccess)
        return status;

    const std::string select = SourceQuery(sourceTable, columns, textDestination);
    reader.SetCommandText(CString(Utf16(select).c_str()));
    CancelOnInterrupt cancelReader(reader);
    if (reader.Execute() != OrvOleDbCommand::dbTrue)
        return Fail(InterruptRequested() ? "interrupted" : ErrorOf(reader));

    Progress bar(verb, total, progress);
    OrvOleDbCommand::dbStatus fetched = OrvOleDbCommand::dbFalse;
    const int status = textDestination
                           ? AppendRows(reader, destination, destinationTable, columns, bar, copied, fetched)
                           : InsertRows(reader, destination, destinationTable, columns, bar, copied, fetched);
    if (status != kSuccess) return status;
    if (InterruptRequested())
        return Fail(std::string(verb) + " interrupted after " + std::to_string(copied) + " rows: nothing was kept");
    if (fetched == OrvOleDbCommand::dbError)
        return Fail("row " + std::to_string(copied + 1) + " could not be read: " + ErrorOf(reader));
    reader.Close();
    if (!destination->Commit()) return Fail("the rows could not be written: " + ErrorOf(*destination));
    rollback.done = true;
    return kSuccess;
}

// The connection string of the text folder that holds `file`.
CComBSTR FolderInit(const std::filesystem::path& file) {
    std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    CComBSTR init;
    OrvOleDbHelper::FormatConnectString(init, Utf16(folder.string()).c_str(), nullptr, nullptr, ProviderName,
                                        TextProperties, nullptr);
    return init;
}

}  // namespace

int ImportText(OrvOleDbConnection* destination, const std::string& file, const std::string& table, bool progress) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return Fail("cannot import " + file + ": there is no such file");
    const std::filesystem::path path(file);
    OrvOleDbConnection text;
    if (text.OpenFromInitializationString(FolderInit(path), false) != S_OK)
        return Fail("cannot open " + file + ": " + ErrorOf(text));
    long long copied = 0;
    bool created = false;
    const auto start = std::chrono::steady_clock::now();
    int status =
        Copy(&text, path.filename().string(), destination, table, false, "importing", progress, copied, created);
    text.Close();
    if (status != kSuccess) return status;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("imported %lld rows from %s into %s%s in %.2f s\n", copied, file.c_str(), table.c_str(),
                created ? " (created)" : "", seconds);
    return kSuccess;
}

int ExportText(OrvOleDbConnection* source, const std::string& table, const std::string& file, bool progress) {
    const std::filesystem::path path(file);
    std::error_code ec;
    if (std::filesystem::exists(path, ec))
        return Fail("cannot export to " + file + ": a file of that name exists, and it is never overwritten");
    OrvOleDbConnection text;
    if (text.OpenFromInitializationString(FolderInit(path), false) != S_OK)
        return Fail("cannot open the folder of " + file + ": " + ErrorOf(text));
    long long copied = 0;
    bool created = false;
    const auto start = std::chrono::steady_clock::now();
    const std::string name = path.filename().string();
    int status = Copy(source, table, &text, name, true, "exporting", progress, copied, created);
    if (status != kSuccess && created) {
        // No half-written file stays behind.
        OrvOleDbCommand drop;
        drop.SetConnection(&text);
        drop.SetCommandText(CString(Utf16("DROP TABLE " + Bracket(name)).c_str()));
        drop.Execute();
        drop.Close();
        std::filesystem::remove(path, ec);  // also when the store kept the file it made
    }
    text.Close();
    if (status != kSuccess) return status;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("exported %lld rows from %s to %s in %.2f s\n", copied, table.c_str(), file.c_str(), seconds);
    return kSuccess;
}

int ConvertAccess(const std::string& source, const std::string& destination, bool progress) {
    Progress bar("converting", 0, progress);
    auto report = [](ULONGLONG done, ULONGLONG total, void* context) {
        auto* shown = static_cast<Progress*>(context);
        shown->SetTotal(static_cast<long long>(total));
        shown->Update(static_cast<long long>(done));
        return true;
    };
    OrvOleDbErrorInfo error;
    const HRESULT hr = OrvOleDbConnection::ConvertMdbFile(CComBSTR(Utf16(source).c_str()),
                                                          CComBSTR(Utf16(destination).c_str()), error, report, &bar);
    if (hr != S_OK) {
        std::fprintf(stderr, "orvsql: %s\n", ErrorOf(error).c_str());
        return kSqlError;
    }
    std::printf("%s: converted into %s; every row was checked against the source.\n", source.c_str(),
                destination.c_str());
    return kSuccess;
}

}  // namespace orvsql
