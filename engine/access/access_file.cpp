#include "engine/access/access_file.h"

// glib before libmdb: its header opens an extern "C" block around glib's, which must not
// be the first to see glib's C++ parts.
#include <glib.h>
#include <mdbtools.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>

#include "engine/sql/datetime.h"
#include "engine/sql/quote.h"
#include "engine/values.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine::access {
namespace {

// Large Number (a 64-bit integer), which Access writes since 2016 and libmdb does not name.
constexpr int kMdbBigInt = 0x13;

MdbHandle* Handle(void* p) { return static_cast<MdbHandle*>(p); }

std::int64_t Int64At(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return static_cast<std::int64_t>(v);
}

std::string Number(std::int64_t v) { return std::to_string(v); }

// The engine's DDL type of a column, or "" for a type the engine cannot read.
std::string DeclaredType(const MdbColumn& c, FileFormat format) {
    switch (c.col_type) {
    case MDB_BOOL: return "YESNO";
    case MDB_BYTE: return "BYTE";
    case MDB_INT: return "SHORT";
    case MDB_LONGINT: return "LONG";
    case kMdbBigInt: return "BIGINT";
    case MDB_MONEY: return "CURRENCY";
    case MDB_FLOAT: return "SINGLE";
    case MDB_DOUBLE: return "DOUBLE";
    case MDB_DATETIME: return "DATETIME";
    case MDB_TEXT:
        // Jet 4 and ACE count a text column's size in bytes of UCS-2.
        return "TEXT(" + Number(format == FileFormat::Jet3 ? c.col_size : c.col_size / 2) + ")";
    case MDB_MEMO: return "MEMO";
    case MDB_BINARY: return "BINARY(" + Number(c.col_size) + ")";
    case MDB_OLE: return "LONGBINARY";
    case MDB_REPID: return "GUID";
    case MDB_NUMERIC: return "DECIMAL(" + Number(c.col_prec) + "," + Number(c.col_scale) + ")";
    default: return {};
    }
}

// libmdb reads the MDBOPTS environment variable into a process-wide static on first use;
// reading it once here keeps two threads from racing on that first read.
void ReadLibraryOptionsOnce() {
    static std::once_flag once;
    std::call_once(once, [] { (void)mdb_get_option(MDB_DEBUG_LIKE); });
}

Status FileError(const std::u16string& name, const std::u16string& what, int native = 0) {
    return Status::Error(E_FAIL,
                         platform::Format(u"Cannot open the Access database '%s': %s.", name.c_str(), what.c_str()),
                         u"08001", native);
}

// RC4, which the first page's obfuscation uses.
void Rc4(const unsigned char* key, std::size_t keyLength, unsigned char* data, std::size_t n) {
    unsigned char s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<unsigned char>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + key[static_cast<std::size_t>(i) % keyLength]) & 0xFF;
        std::swap(s[i], s[j]);
    }
    for (std::size_t k = 0, i = 0, j = 0; k < n; ++k) {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        data[k] ^= s[(s[i] + s[j]) & 0xFF];
    }
}

constexpr std::size_t kMaskStart = 0x18, kPasswordStart = 0x42, kCreationDate = 0x72;

Status ReadFirstPage(const std::u16string& name, std::vector<unsigned char>& page) {
    const std::string path = platform::Utf16ToUtf8(name);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        return FileError(name, platform::Utf8ToUtf16(std::strerror(err)), err);
    }
    page.assign(256, 0);
    ssize_t n = ::read(fd, page.data(), page.size());
    ::close(fd);
    if (n < static_cast<ssize_t>(page.size()))
        return FileError(name, u"the file is too short to be a database (it is damaged)");
    return Status::Success();
}

void ReadTableDescription(MdbTableDef* def, FileFormat format, Table& table) {
    table.rowsEstimate = def->num_rows;
    std::vector<int> placeOf(def->num_cols, -1);  // libmdb column -> Table::columns
    for (unsigned i = 0; i < def->num_cols; ++i) {
        auto* c = static_cast<MdbColumn*>(g_ptr_array_index(def->columns, i));
        Column column;
        column.name = c->name;
        column.mdbType = c->col_type;
        column.declared = DeclaredType(*c, format);
        column.index = static_cast<int>(i);
        if (column.declared.empty()) {
            table.leftOut.push_back(column.name);
            continue;
        }
        const char* required = mdb_col_get_prop(c, "Required");
        column.nullable = c->col_type != MDB_BOOL && !(required && platform::EqualsNoCase(required, "yes"));
        column.autoIncrement = c->is_long_auto != 0;
        placeOf[i] = static_cast<int>(table.columns.size());
        table.columns.push_back(std::move(column));
    }
    for (unsigned k = 0; k < def->num_idxs; ++k) {
        auto* idx = static_cast<MdbIndex*>(g_ptr_array_index(def->indices, k));
        // Type 2 indexes are the ends of relationships, which the file keeps as indexes.
        if (idx->index_type == 2 || idx->num_keys == 0) continue;
        Index index;
        index.name = idx->name;
        index.primaryKey = idx->index_type == 1;
        index.unique = index.primaryKey || (idx->flags & MDB_IDX_UNIQUE) != 0;
        bool readable = true;
        for (unsigned j = 0; j < idx->num_keys && j < MDB_MAX_IDX_COLS; ++j) {
            const int at = idx->key_col_num[j] - 1;
            if (at < 0 || at >= static_cast<int>(placeOf.size()) || placeOf[static_cast<std::size_t>(at)] < 0) {
                readable = false;
                break;
            }
            Column& column = table.columns[static_cast<std::size_t>(placeOf[static_cast<std::size_t>(at)])];
            if (index.primaryKey) column.nullable = false;
            index.columns.push_back({column.name, idx->key_col_order[j] == MDB_DESC});
        }
        if (readable) table.indexes.push_back(std::move(index));
    }
}

}  // namespace

FileFormat DetectFormat(const unsigned char* head, std::size_t n) {
    if (n < 0x15) return FileFormat::None;
    const bool jet = std::memcmp(head + 4, "Standard Jet DB", 15) == 0;
    const bool ace = std::memcmp(head + 4, "Standard ACE DB", 15) == 0;
    if (!jet && !ace) return FileFormat::None;
    switch (head[0x14]) {
    case MDB_VER_JET3: return FileFormat::Jet3;
    case MDB_VER_JET4: return FileFormat::Jet4;
    default: return FileFormat::Ace;
    }
}

bool IsAccessDatabase(const std::u16string& path) {
    std::vector<unsigned char> page;
    return ReadFirstPage(path, page).Ok() && DetectFormat(page.data(), page.size()) != FileFormat::None;
}

const char16_t* FormatName(FileFormat format) {
    switch (format) {
    case FileFormat::Jet3: return u"Jet 3 (Access 97 and earlier)";
    case FileFormat::Jet4: return u"Jet 4 (Access 2000 to 2003)";
    case FileFormat::Ace: return u"ACE (Access 2007 and later)";
    case FileFormat::None: break;
    }
    return u"no Access database";
}

void ToggleHeaderMask(unsigned char* page, std::size_t n, FileFormat format) {
    static const unsigned char key[] = {0xC7, 0xDA, 0x39, 0x6B};
    const std::size_t length = format == FileFormat::Jet3 ? 126 : 128;
    if (n < kMaskStart + length) return;
    Rc4(key, sizeof key, page + kMaskStart, length);
}

bool HasDatabasePassword(const unsigned char* page, std::size_t n, FileFormat format) {
    if (format == FileFormat::Jet3) {
        if (n < kPasswordStart + 20) return false;
        for (std::size_t i = 0; i < 20; ++i)
            if (page[kPasswordStart + i] != 0) return true;
        return false;
    }
    // Jet 4 and ACE mask the password once more with the whole days of the file's creation
    // date, so that a file without one holds that mask.
    if (n < kCreationDate + 8) return false;
    double created;
    std::memcpy(&created, page + kCreationDate, sizeof created);
    const auto days = static_cast<std::uint32_t>(static_cast<std::int32_t>(created));
    const unsigned char mask[4] = {static_cast<unsigned char>(days), static_cast<unsigned char>(days >> 8),
                                   static_cast<unsigned char>(days >> 16), static_cast<unsigned char>(days >> 24)};
    for (std::size_t i = 0; i < 40; ++i)
        if ((page[kPasswordStart + i] ^ mask[i % 4]) != 0) return true;
    return false;
}

std::u16string ReadOnlySentence(const std::u16string& name) {
    return platform::Format(
        u"'%s' is a genuine Access database file, and genuine Access files are read-only here: "
        u"convert it into an engine database file first (orvsql --convert '%s' NEW.mdb, or "
        u"OrvOleDbConnection::ConvertMdbFile) and change the copy.",
        name.c_str(), name.c_str());
}

// ---- AccessFile ------------------------------------------------------------------------------

AccessFile::~AccessFile() {
    if (m_mdb) mdb_close(Handle(m_mdb));
}

const Table* AccessFile::Find(std::string_view name) const {
    for (const Table& t : m_tables)
        if (t.name == name) return &t;
    for (const Table& t : m_tables)
        if (platform::EqualsNoCase(t.name, name)) return &t;
    return nullptr;
}

Status OpenAccessFile(const std::u16string& name, std::unique_ptr<AccessFile>& out) {
    std::vector<unsigned char> page;
    Status status = ReadFirstPage(name, page);
    if (!status.Ok()) return status;
    const FileFormat format = DetectFormat(page.data(), page.size());
    if (format == FileFormat::None) return FileError(name, u"it is not a Jet or ACE database file");
    ToggleHeaderMask(page.data(), page.size(), format);
    if (HasDatabasePassword(page.data(), page.size(), format))
        return Status::Error(DB_SEC_E_AUTH_FAILED,
                             platform::Format(u"Cannot open the Access database '%s': it is protected by a password "
                                              u"(and, from Access 2007 on, encrypted), which this engine cannot open; "
                                              u"remove the password in Access and try again.",
                                              name.c_str()),
                             u"28000");

    ReadLibraryOptionsOnce();
    std::unique_ptr<AccessFile> file(new AccessFile);
    file->m_name = name;
    file->m_format = format;
    const std::string path = platform::Utf16ToUtf8(name);
    file->m_mdb = mdb_open(path.c_str(), MDB_NOFLAGS);
    if (!file->m_mdb) return FileError(name, u"libmdb cannot read it (the file is damaged or of an unknown version)");
    MdbHandle* mdb = Handle(file->m_mdb);
    if (!mdb_read_catalog(mdb, MDB_TABLE))
        return FileError(name, u"its list of tables cannot be read (the file is damaged)");
    for (unsigned i = 0; i < mdb->num_catalog; ++i) {
        auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
        if (entry->object_type != MDB_TABLE) continue;
        Table table;
        table.name = entry->object_name;
        table.system = mdb_is_system_table(entry) != 0;
        MdbTableDef* def = mdb_read_table(entry);
        if (!def)
            return FileError(
                name, u"the table '" + platform::Utf8ToUtf16(table.name) + u"' cannot be read (the file is damaged)");
        mdb_read_columns(def);
        mdb_read_indices(def);
        ReadTableDescription(def, format, table);
        mdb_free_tabledef(def);
        file->m_tables.push_back(std::move(table));
    }
    out = std::move(file);
    return Status::Success();
}

// ---- TableScan -------------------------------------------------------------------------------

Status TableScan::Open(AccessFile& file, const Table& table, std::unique_ptr<TableScan>& out) {
    std::unique_ptr<TableScan> scan(new TableScan);
    scan->m_table = &table;
    scan->m_mdb = mdb_clone_handle(Handle(file.m_mdb));
    MdbCatalogEntry* entry =
        scan->m_mdb ? mdb_get_catalogentry_by_name(Handle(scan->m_mdb), table.name.c_str()) : nullptr;
    scan->m_def = entry ? mdb_read_table(entry) : nullptr;
    if (!scan->m_def || !mdb_read_columns(scan->m_def))
        return Status::Error(E_FAIL,
                             platform::Format(u"The table '%s' of the Access database '%s' cannot be read (the file is "
                                              u"damaged).",
                                              platform::Utf8ToUtf16(table.name).c_str(), file.Name().c_str()),
                             u"HY000");
    for (const Column& c : table.columns) scan->m_columns.push_back(g_ptr_array_index(scan->m_def->columns, c.index));
    mdb_rewind_table(scan->m_def);
    out = std::move(scan);
    return Status::Success();
}

TableScan::~TableScan() {
    if (m_def) mdb_free_tabledef(m_def);
    if (m_mdb) mdb_close(Handle(m_mdb));
}

void TableScan::Rewind() { mdb_rewind_table(m_def); }

bool TableScan::Next() { return mdb_fetch_row(m_def) != 0; }

void TableScan::Result(std::size_t i, sqlite3_context* context) {
    const Column& column = m_table->columns[i];
    auto* col = static_cast<MdbColumn*>(m_columns[i]);
    MdbHandle* mdb = Handle(m_mdb);
    const int start = col->cur_value_start, length = col->cur_value_len;
    // A Yes/No value lives in the row's null mask: libmdb hands over whether the bit is clear.
    if (column.mdbType == MDB_BOOL) return sqlite3_result_int(context, length == 0 ? 1 : 0);
    if (length <= 0) return sqlite3_result_null(context);
    const unsigned char* p = mdb->pg_buf + start;
    switch (column.mdbType) {
    case MDB_BYTE: return sqlite3_result_int(context, p[0]);
    case MDB_INT: return sqlite3_result_int(context, static_cast<std::int16_t>(p[0] | (p[1] << 8)));
    case MDB_LONGINT: return sqlite3_result_int(context, static_cast<std::int32_t>(mdb_get_int32(mdb->pg_buf, start)));
    case kMdbBigInt: return sqlite3_result_int64(context, Int64At(p));
    case MDB_MONEY: {
        // Ten-thousandths in 64 bits. SQL compares and adds numbers, so the value goes as a
        // number while a double holds it exactly (15 digits); beyond that as exact text.
        const std::int64_t scaled = Int64At(p);
        if (scaled % 10000 == 0) return sqlite3_result_int64(context, scaled / 10000);
        if (scaled > -1000000000000000LL && scaled < 1000000000000000LL)
            return sqlite3_result_double(context, static_cast<double>(scaled) / 10000.0);
        std::string text = scaled < 0 ? "-" : "";
        const std::uint64_t magnitude =
            scaled < 0 ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
        std::string fraction = std::to_string(magnitude % 10000);
        text += std::to_string(magnitude / 10000) + "." + std::string(4 - fraction.size(), '0') + fraction;
        return sqlite3_result_text(context, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    case MDB_FLOAT: return sqlite3_result_double(context, mdb_get_single(mdb->pg_buf, start));
    case MDB_DOUBLE: return sqlite3_result_double(context, mdb_get_double(mdb->pg_buf, start));
    case MDB_DATETIME: {
        // The file stores OLE Automation dates; the engine's calendar turns them into its ISO
        // text over years 100 to 9999 (libmdb's own formatting loses the century).
        const double date = mdb_get_double(mdb->pg_buf, start);
        if (auto parts = PartsFromOleDate(date)) {
            const std::string text = FormatIsoDateTime(*parts);
            return sqlite3_result_text(context, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        }
        return sqlite3_result_double(context, date);
    }
    case MDB_TEXT:
    case MDB_MEMO: {
        // libmdb decodes the file's code page (Jet 3) or compressed UCS-2 (Jet 4, ACE) to
        // UTF-8, and follows a memo's pages.
        char* text = mdb_col_to_string(mdb, mdb->pg_buf, start, column.mdbType, length);
        if (!text) return sqlite3_result_error_nomem(context);
        sqlite3_result_text(context, text, -1, SQLITE_TRANSIENT);
        g_free(text);
        return;
    }
    case MDB_BINARY:
    case MDB_REPID: return sqlite3_result_blob(context, p, length, SQLITE_TRANSIENT);
    case MDB_OLE: return ResultLong(i, start, length, context);
    case MDB_NUMERIC: {
        char* text = mdb_numeric_to_string(mdb, start, col->col_scale, col->col_prec);
        if (!text) return sqlite3_result_error_nomem(context);
        std::size_t digits = 0;
        for (const char* c = text; *c; ++c) digits += *c >= '0' && *c <= '9';
        if (digits <= 15) sqlite3_result_double(context, std::strtod(text, nullptr));
        else sqlite3_result_text(context, text, -1, SQLITE_TRANSIENT);
        g_free(text);
        return;
    }
    default: return sqlite3_result_null(context);
    }
}

void TableScan::ResultLong(std::size_t i, int start, int length, sqlite3_context* context) {
    if (length < MDB_MEMO_OVERHEAD) return sqlite3_result_null(context);
    auto* col = static_cast<MdbColumn*>(m_columns[i]);
    MdbHandle* mdb = Handle(m_mdb);
    // libmdb copies each piece of a long value into the column's bound buffer; a piece is at
    // most a page, or the value itself when it is kept in the row.
    char header[MDB_MEMO_OVERHEAD];
    std::memcpy(header, mdb->pg_buf + start, MDB_MEMO_OVERHEAD);
    std::vector<char> chunk(2 * MDB_PGSIZE);
    std::string value;
    col->bind_ptr = chunk.data();
    std::size_t n = mdb_ole_read(mdb, col, header, chunk.size());
    while (n > 0 && n <= chunk.size()) {
        value.append(chunk.data(), n);
        n = mdb_ole_read_next(mdb, col, header);
    }
    col->bind_ptr = nullptr;
    sqlite3_result_blob64(context, value.data(), value.size(), SQLITE_TRANSIENT);
}

}  // namespace orv::engine::access
