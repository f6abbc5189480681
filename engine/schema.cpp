// The session's catalog: the TABLES, COLUMNS and INDEXES schema rowsets of a database file,
// and the column definitions of one table (ITableCreation::GetTableDefinition).
//
// Each schema rowset is one SQL statement over SQLite's own metadata (pragma_table_list,
// pragma_table_xinfo, pragma_index_list, pragma_index_xinfo) that yields exactly the
// standard columns in their standard order; the restrictions are bound as parameters
// (NULL when absent), so an empty restriction stays a restriction. The statement then
// becomes an ordinary engine rowset whose column types are forced to the standard OLE DB
// ones, which no SQL declaration could name. Declared column types are translated by the
// same MapDeclaredType that types the columns of every result, through an SQL function
// registered on the session's connection for these statements.
//
// Catalog and schema columns are NULL, as the Windows data engine reports them: a database
// file has neither. A restriction on them is compared like any other, so it matches nothing.
// Table, column and index names compare without regard to case.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "engine/command.h"
#include "engine/guard.h"
#include "engine/provider.h"
#include "engine/rowset.h"
#include "engine/schema.h"
#include "engine/sql/ddl.h"
#include "engine/sql/types.h"
#include "platform/property_sets.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

// Names of the system: SQLite's own tables and the engine's bookkeeping tables.
constexpr const char* kTablesSql = R"(
SELECT NULL AS TABLE_CATALOG, NULL AS TABLE_SCHEMA, name AS TABLE_NAME,
       CASE WHEN type = 'view' THEN 'VIEW'
            WHEN type = 'shadow' OR lower(substr(name, 1, 7)) = 'sqlite_' OR lower(substr(name, 1, 4)) = 'orv_'
                 OR lower(substr(name, 1, 4)) = 'msys'
              THEN 'SYSTEM TABLE'
            ELSE 'TABLE' END AS TABLE_TYPE,
       NULL AS TABLE_GUID, NULL AS DESCRIPTION, NULL AS TABLE_PROPID, NULL AS DATE_CREATED, NULL AS DATE_MODIFIED
FROM pragma_table_list
WHERE schema = 'main' AND type IN ('table', 'view', 'virtual', 'shadow')
  AND (?1 IS NULL OR NULL = ?1) AND (?2 IS NULL OR NULL = ?2)
  AND (?3 IS NULL OR name = ?3 COLLATE NOCASE)
  AND (?4 IS NULL OR TABLE_TYPE = ?4)
ORDER BY TABLE_TYPE, TABLE_NAME COLLATE NOCASE, TABLE_NAME
)";

// A column is nullable unless NOT NULL or the table's rowid (a lone INTEGER PRIMARY KEY).
constexpr const char* kColumnsSql = R"(
WITH t AS (
  SELECT name, wr FROM pragma_table_list
  WHERE schema = 'main' AND type IN ('table', 'view', 'virtual') AND (?3 IS NULL OR name = ?3 COLLATE NOCASE)
), c AS (
  SELECT t.name AS tname, x.cid, x.name AS cname, x.type AS ctype, x.dflt_value,
         NOT (x."notnull" OR (x.pk = 1 AND NOT t.wr AND upper(trim(x.type)) = 'INTEGER'
              AND (SELECT count(*) FROM pragma_table_xinfo(t.name, 'main') WHERE pk > 0) = 1)) AS nullable
  FROM t JOIN pragma_table_xinfo(t.name, 'main') AS x
  WHERE x.hidden != 1 AND (?4 IS NULL OR x.name = ?4 COLLATE NOCASE)
)
SELECT NULL AS TABLE_CATALOG, NULL AS TABLE_SCHEMA, tname AS TABLE_NAME, cname AS COLUMN_NAME,
       NULL AS COLUMN_GUID, NULL AS COLUMN_PROPID, cid + 1 AS ORDINAL_POSITION,
       dflt_value IS NOT NULL AS COLUMN_HASDEFAULT, dflt_value AS COLUMN_DEFAULT,
       orv_schema_type(ctype, 6) | 8 | (CASE WHEN nullable THEN 96 ELSE 0 END) AS COLUMN_FLAGS,
       nullable AS IS_NULLABLE, orv_schema_type(ctype, 0) AS DATA_TYPE, NULL AS TYPE_GUID,
       orv_schema_type(ctype, 1) AS CHARACTER_MAXIMUM_LENGTH, orv_schema_type(ctype, 2) AS CHARACTER_OCTET_LENGTH,
       orv_schema_type(ctype, 3) AS NUMERIC_PRECISION, orv_schema_type(ctype, 4) AS NUMERIC_SCALE,
       orv_schema_type(ctype, 5) AS DATETIME_PRECISION,
       NULL AS CHARACTER_SET_CATALOG, NULL AS CHARACTER_SET_SCHEMA, NULL AS CHARACTER_SET_NAME,
       NULL AS COLLATION_CATALOG, NULL AS COLLATION_SCHEMA, NULL AS COLLATION_NAME,
       NULL AS DOMAIN_CATALOG, NULL AS DOMAIN_SCHEMA, NULL AS DOMAIN_NAME, NULL AS DESCRIPTION
FROM c
WHERE (?1 IS NULL OR NULL = ?1) AND (?2 IS NULL OR NULL = ?2)
ORDER BY tname COLLATE NOCASE, tname, cid
)";

// One row per key column of each index. SQLite keeps no index for a rowid primary key; it
// is reported as the primary-key index all the same, as the Windows engine shows every key.
// Primary-key indexes carry the Windows engine's name for them.
constexpr const char* kIndexesSql = R"(
WITH t AS (
  SELECT name, wr FROM pragma_table_list
  WHERE schema = 'main' AND type = 'table' AND (?5 IS NULL OR name = ?5 COLLATE NOCASE)
), k AS (
  SELECT t.name AS tname, CASE WHEN il.origin = 'pk' THEN 'PrimaryKey' ELSE il.name END AS iname,
         il.origin = 'pk' AS pk, il."unique" AS uq, ix.seqno + 1 AS ord, ix.name AS cname, ix."desc" AS dsc
  FROM t JOIN pragma_index_list(t.name, 'main') AS il JOIN pragma_index_xinfo(il.name, 'main') AS ix
  WHERE ix.key = 1
  UNION ALL
  SELECT t.name, 'PrimaryKey', 1, 1, 1, x.name, 0
  FROM t JOIN pragma_table_xinfo(t.name, 'main') AS x
  WHERE NOT t.wr AND x.pk = 1 AND upper(trim(x.type)) = 'INTEGER'
    AND (SELECT count(*) FROM pragma_table_xinfo(t.name, 'main') WHERE pk > 0) = 1
    AND NOT EXISTS (SELECT 1 FROM pragma_index_list(t.name, 'main') WHERE origin = 'pk')
  /*store indexes*/
)
SELECT NULL AS TABLE_CATALOG, NULL AS TABLE_SCHEMA, tname AS TABLE_NAME, NULL AS INDEX_CATALOG,
       NULL AS INDEX_SCHEMA, iname AS INDEX_NAME, pk AS PRIMARY_KEY, uq AS "UNIQUE", 0 AS CLUSTERED,
       1 AS TYPE, NULL AS FILL_FACTOR, NULL AS INITIAL_SIZE, CASE WHEN pk THEN 1 ELSE 0 END AS NULLS,
       0 AS SORT_BOOKMARKS, 1 AS AUTO_UPDATE, 4 AS NULL_COLLATION, ord AS ORDINAL_POSITION,
       cname AS COLUMN_NAME, NULL AS COLUMN_GUID, NULL AS COLUMN_PROPID,
       CASE WHEN dsc THEN 2 ELSE 1 END AS COLLATION, NULL AS CARDINALITY, NULL AS PAGES,
       NULL AS FILTER_CONDITION, 0 AS INTEGRATED
FROM k
WHERE (?1 IS NULL OR NULL = ?1) AND (?2 IS NULL OR NULL = ?2)
  AND (?3 IS NULL OR iname = ?3 COLLATE NOCASE) AND (?4 IS NULL OR 1 = ?4)
ORDER BY uq, iname COLLATE NOCASE, iname, tname COLLATE NOCASE, tname, ord
)";

// A store whose tables are virtual (a genuine Access file) lists their indexes in a table
// of the connection's temporary schema; its rows join those SQLite knows of.
constexpr const char* kStoreIndexesSql = R"(
  UNION ALL
  SELECT table_name, index_name, primary_key, is_unique, ordinal, column_name, descending
  FROM temp.orv_store_indexes WHERE ?5 IS NULL OR table_name = ?5 COLLATE NOCASE)";
constexpr const char* kStoreIndexesTable = "orv_store_indexes";

// The value of `what` for a declared column type: 0 DATA_TYPE, 1 CHARACTER_MAXIMUM_LENGTH,
// 2 CHARACTER_OCTET_LENGTH, 3 NUMERIC_PRECISION, 4 NUMERIC_SCALE, 5 DATETIME_PRECISION,
// 6 the COLUMN_FLAGS that the type decides. NULL where the column does not apply.
ColumnType TypeOfDeclaration(const char* declared) {
    ColumnType type = MapDeclaredType(declared ? declared : "");
    // A column declared without a type holds anything; it reads as text, as an
    // undeclared result column of NULLs does.
    if (!type.known) type = MapDeclaredType("TEXT");
    return type;
}

void SchemaTypeFunction(sqlite3_context* context, int, sqlite3_value** args) {
    const auto* declared = reinterpret_cast<const char*>(sqlite3_value_text(args[0]));
    std::optional<long long> fact = SchemaTypeFact(TypeOfDeclaration(declared), sqlite3_value_int(args[1]));
    if (fact) sqlite3_result_int64(context, *fact);
    else sqlite3_result_null(context);
}

ColumnType Of(DBTYPE t, DBLENGTH size = 0) {
    ColumnType c;
    c.type = t;
    c.size = size ? size : FixedTypeSize(t);
    c.precision = DefaultPrecision(t);
    c.fixedLength = t != DBTYPE_WSTR;
    c.known = true;
    return c;
}
// Identifiers as the standard gives them room; longer names still come back whole.
ColumnType Name() { return Of(DBTYPE_WSTR, 128); }
ColumnType Text() { return Of(DBTYPE_WSTR, kUnsizedTextColumn); }

std::vector<ColumnType> TablesTypes() {
    return {Name(), Name(), Name(), Name(), Of(DBTYPE_GUID), Text(), Of(DBTYPE_UI4), Of(DBTYPE_DATE), Of(DBTYPE_DATE)};
}
std::vector<ColumnType> ColumnsTypes() {
    std::vector<ColumnType> t = {Name(),          Name(),         Name(),          Name(),         Of(DBTYPE_GUID),
                                 Of(DBTYPE_UI4),  Of(DBTYPE_UI4), Of(DBTYPE_BOOL), Text(),         Of(DBTYPE_UI4),
                                 Of(DBTYPE_BOOL), Of(DBTYPE_UI2), Of(DBTYPE_GUID), Of(DBTYPE_UI4), Of(DBTYPE_UI4),
                                 Of(DBTYPE_UI2),  Of(DBTYPE_I2),  Of(DBTYPE_UI4)};
    for (int i = 0; i < 9; ++i) t.push_back(Name());
    t.push_back(Text());
    return t;
}
std::vector<ColumnType> IndexesTypes() {
    return {Name(),        Name(),          Name(),          Name(),          Name(),
            Name(),        Of(DBTYPE_BOOL), Of(DBTYPE_BOOL), Of(DBTYPE_BOOL), Of(DBTYPE_UI2),
            Of(DBTYPE_I4), Of(DBTYPE_I4),   Of(DBTYPE_I4),   Of(DBTYPE_BOOL), Of(DBTYPE_BOOL),
            Of(DBTYPE_I4), Of(DBTYPE_UI4),  Name(),          Of(DBTYPE_GUID), Of(DBTYPE_UI4),
            Of(DBTYPE_I2), Of(DBTYPE_UI8),  Of(DBTYPE_I4),   Text(),          Of(DBTYPE_BOOL)};
}

const SchemaInfo kSchemas[] = {
    {&DBSCHEMA_TABLES, 4, 0xF, kTablesSql, TablesTypes},
    {&DBSCHEMA_COLUMNS, 4, 0xF, kColumnsSql, ColumnsTypes},
    {&DBSCHEMA_INDEXES, 5, 0x1F, kIndexesSql, IndexesTypes},
};

// Binds restriction `index` (0-based) of `count` given ones: text, a number (the index
// TYPE), or NULL for an absent restriction.
Status BindRestriction(sqlite3_stmt* statement, ULONG index, const VARIANT& value) {
    const int slot = static_cast<int>(index) + 1;
    int rc = SQLITE_OK;
    switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL: rc = sqlite3_bind_null(statement, slot); break;
    case VT_BSTR: {
        std::u16string text = value.bstrVal ? std::u16string(value.bstrVal, SysStringLen(value.bstrVal)) : u"";
        std::string utf8 = platform::Utf16ToUtf8(text);
        rc = sqlite3_bind_text(statement, slot, utf8.c_str(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
        break;
    }
    case VT_I2: rc = sqlite3_bind_int(statement, slot, value.iVal); break;
    case VT_UI2: rc = sqlite3_bind_int(statement, slot, value.uiVal); break;
    case VT_I4: rc = sqlite3_bind_int(statement, slot, value.lVal); break;
    case VT_UI4: rc = sqlite3_bind_int64(statement, slot, value.ulVal); break;
    default:
        return Status::Error(E_INVALIDARG, u"Restriction " + platform::Utf8ToUtf16(std::to_string(slot)) +
                                               u" has a type that the schema rowset cannot compare.");
    }
    if (rc != SQLITE_OK) return Status::Error(E_OUTOFMEMORY, u"Out of memory while binding a restriction.");
    return Status::Success();
}

std::u16string Quoted(std::u16string_view name) { return u"'" + std::u16string(name) + u"'"; }

// ---- Table definitions -------------------------------------------------------------------

// A prepared statement finalised when it goes out of scope.
struct Statement {
    sqlite3_stmt* handle = nullptr;
    ~Statement() { sqlite3_finalize(handle); }
};

std::string ColumnText(sqlite3_stmt* s, int i) {
    const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    return t ? t : "";
}

// Finds the table as the user named it (case ignored); `table` receives the stored name.
Status FindTable(sqlite3* db, const std::u16string& requested, std::string& table, bool& withoutRowid) {
    Statement s;
    int rc = sqlite3_prepare_v2(db,
                                "SELECT name, wr FROM pragma_table_list WHERE schema = 'main' "
                                "AND type IN ('table', 'view', 'virtual') AND name = ?1 COLLATE NOCASE",
                                -1, &s.handle, nullptr);
    if (rc != SQLITE_OK) return StatementFailure(db, rc);
    std::string utf8 = platform::Utf16ToUtf8(requested);
    sqlite3_bind_text(s.handle, 1, utf8.c_str(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
    rc = sqlite3_step(s.handle);
    if (rc == SQLITE_ROW) {
        table = ColumnText(s.handle, 0);
        withoutRowid = sqlite3_column_int(s.handle, 1) != 0;
        return Status::Success();
    }
    if (rc != SQLITE_DONE) return StatementFailure(db, rc);
    return Status::Error(DB_E_NOTABLE, u"The table " + Quoted(requested) + u" does not exist in the database.",
                         u"42S02");
}

Status ReadColumns(sqlite3* db, const std::string& table, bool withoutRowid, std::vector<ColumnDefinition>& columns) {
    Statement s;
    int rc = sqlite3_prepare_v2(db,
                                "SELECT name, type, \"notnull\", dflt_value, pk FROM pragma_table_xinfo(?1, 'main') "
                                "WHERE hidden != 1 ORDER BY cid",
                                -1, &s.handle, nullptr);
    if (rc != SQLITE_OK) return StatementFailure(db, rc);
    sqlite3_bind_text(s.handle, 1, table.c_str(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
    int keyColumns = 0;
    int rowidCandidate = -1;
    while ((rc = sqlite3_step(s.handle)) == SQLITE_ROW) {
        ColumnDefinition c;
        c.name = ColumnText(s.handle, 0);
        c.declared = ColumnText(s.handle, 1);
        c.type = TypeOfDeclaration(c.declared.c_str());
        c.notNull = sqlite3_column_int(s.handle, 2) != 0;
        c.hasDefault = sqlite3_column_type(s.handle, 3) != SQLITE_NULL;
        c.defaultText = ColumnText(s.handle, 3);
        int pk = sqlite3_column_int(s.handle, 4);
        if (pk > 0) ++keyColumns;
        if (pk == 1) rowidCandidate = static_cast<int>(columns.size());
        columns.push_back(std::move(c));
    }
    if (rc != SQLITE_DONE) return StatementFailure(db, rc);

    // The rowid alias: a lone INTEGER PRIMARY KEY of a rowid table. It is never NULL, and
    // with AUTOINCREMENT it is an auto-increment column.
    if (!withoutRowid && keyColumns == 1 && rowidCandidate >= 0) {
        ColumnDefinition& c = columns[static_cast<std::size_t>(rowidCandidate)];
        if (platform::Upper(c.declared) == "INTEGER") {
            c.notNull = true;
            int autoIncrement = 0;
            if (sqlite3_table_column_metadata(db, "main", table.c_str(), c.name.c_str(), nullptr, nullptr, nullptr,
                                              nullptr, &autoIncrement) == SQLITE_OK)
                c.identity = autoIncrement != 0;
        }
    }
    return Status::Success();
}

// Seed and step as the table was created with them; a column listed there is
// auto-increment whatever its declaration.
Status ReadIdentitiesFrom(sqlite3* db, const char* bookkeeping, const std::string& table,
                          std::vector<ColumnDefinition>& columns);

// A store whose tables are virtual keeps them in orv_store_identity of the temporary schema.
// The table's own definition comes first, so that a table made by the statement just before
// shows its seed and step although the bookkeeping catches up only at the next statement.
Status ReadIdentities(sqlite3* db, const std::string& table, std::vector<ColumnDefinition>& columns) {
    for (const IdentityColumn& declared : DeclaredIdentities(db, table)) {
        for (ColumnDefinition& c : columns) {
            if (sqlite3_stricmp(c.name.c_str(), declared.column.c_str()) != 0) continue;
            c.identity = true;
            c.seed = static_cast<LONG>(declared.seed);
            c.step = static_cast<LONG>(declared.step);
        }
    }
    for (const char* bookkeeping : {"orv_identity", "orv_store_identity"}) {
        Status status = ReadIdentitiesFrom(db, bookkeeping, table, columns);
        if (!status.Ok()) return status;
    }
    return Status::Success();
}

Status ReadIdentitiesFrom(sqlite3* db, const char* bookkeeping, const std::string& table,
                          std::vector<ColumnDefinition>& columns) {
    if (!HasTable(db, bookkeeping)) return Status::Success();
    Statement s;
    const std::string sql =
        std::string("SELECT column_name, seed, step FROM ") + bookkeeping + " WHERE table_name = ?1 COLLATE NOCASE";
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &s.handle, nullptr);
    if (rc != SQLITE_OK) return StatementFailure(db, rc);
    sqlite3_bind_text(s.handle, 1, table.c_str(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
    while ((rc = sqlite3_step(s.handle)) == SQLITE_ROW) {
        std::string name = ColumnText(s.handle, 0);
        for (ColumnDefinition& c : columns) {
            if (sqlite3_stricmp(c.name.c_str(), name.c_str()) != 0) continue;
            c.identity = true;
            if (sqlite3_column_type(s.handle, 1) != SQLITE_NULL) c.seed = sqlite3_column_int(s.handle, 1);
            if (sqlite3_column_type(s.handle, 2) != SQLITE_NULL) c.step = sqlite3_column_int(s.handle, 2);
        }
    }
    if (rc != SQLITE_DONE) return StatementFailure(db, rc);
    return Status::Success();
}

LPOLESTR TaskString(std::string_view utf8) {
    std::u16string text = platform::Utf8ToUtf16(utf8);
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(char16_t)));
    if (out) std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(char16_t));
    return out;
}

void FreeDescriptions(DBCOLUMNDESC* descs, DBORDINAL count) {
    if (!descs) return;
    for (DBORDINAL i = 0; i < count; ++i) {
        DBCOLUMNDESC& d = descs[i];
        CoTaskMemFree(d.pwszTypeName);
        if (d.dbcid.eKind == DBKIND_NAME) CoTaskMemFree(d.dbcid.uName.pwszName);
        orv::platform::FreePropertySets(d.cPropertySets, d.rgPropertySets);
    }
    CoTaskMemFree(descs);
}

void SetProperty(DBPROP& p, DBPROPID id) {
    std::memset(&p, 0, sizeof p);
    p.dwPropertyID = id;
    p.dwOptions = DBPROPOPTIONS_REQUIRED;
    p.dwStatus = DBPROPSTATUS_OK;
    p.colid = DB_NULLID;
    VariantInit(&p.vValue);
}

// Fills one description; false when memory ran out (what was allocated stays for the
// caller's clean-up).
bool Describe(const ColumnDefinition& c, DBCOLUMNDESC& d) {
    std::memset(&d, 0, sizeof d);
    d.dbcid.eKind = DBKIND_NAME;
    d.dbcid.uName.pwszName = TaskString(c.name);
    d.pwszTypeName = TaskString(c.declared);
    if (!d.dbcid.uName.pwszName || !d.pwszTypeName) return false;
    const ColumnType& type = c.type;
    d.wType = type.type;
    d.ulColumnSize = type.size;
    d.bPrecision = type.precision;
    d.bScale = type.scale;

    auto* set = static_cast<DBPROPSET*>(CoTaskMemAlloc(sizeof(DBPROPSET)));
    if (!set) return false;
    std::memset(set, 0, sizeof *set);
    d.rgPropertySets = set;
    d.cPropertySets = 1;
    set->guidPropertySet = DBPROPSET_COLUMN;
    auto* props = static_cast<DBPROP*>(CoTaskMemAlloc(5 * sizeof(DBPROP)));
    if (!props) return false;
    set->rgProperties = props;
    ULONG n = 0;
    SetProperty(props[n], DBPROP_COL_AUTOINCREMENT);
    props[n].vValue.vt = VT_BOOL;
    props[n++].vValue.boolVal = c.identity ? VARIANT_TRUE : VARIANT_FALSE;
    SetProperty(props[n], DBPROP_COL_NULLABLE);
    props[n].vValue.vt = VT_BOOL;
    props[n++].vValue.boolVal = c.notNull ? VARIANT_FALSE : VARIANT_TRUE;
    if (c.identity) {
        SetProperty(props[n], DBPROP_COL_SEED);
        props[n].vValue.vt = VT_I4;
        props[n++].vValue.lVal = c.seed;
        SetProperty(props[n], DBPROP_COL_INCREMENT);
        props[n].vValue.vt = VT_I4;
        props[n++].vValue.lVal = c.step;
    }
    if (c.hasDefault) {
        SetProperty(props[n], DBPROP_COL_DEFAULT);
        std::u16string text = platform::Utf8ToUtf16(c.defaultText);
        BSTR value = SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
        if (!value) {
            set->cProperties = n;
            return false;
        }
        props[n].vValue.vt = VT_BSTR;
        props[n++].vValue.bstrVal = value;
    }
    set->cProperties = n;
    return true;
}

}  // namespace

std::optional<long long> SchemaTypeFact(const ColumnType& type, int what) {
    const bool text = type.type == DBTYPE_WSTR, bytes = type.type == DBTYPE_BYTES;
    switch (what) {
    case 0: return type.type;
    case 1:
        if (text || bytes) return static_cast<long long>(type.size);
        return std::nullopt;
    case 2:
        if (text) return static_cast<long long>(type.size) * 2;
        if (bytes) return static_cast<long long>(type.size);
        return std::nullopt;
    case 3:
        if (platform::IsNumericType(type.type) && type.precision != 0xFF) return type.precision;
        return std::nullopt;
    case 4:
        if ((type.type == DBTYPE_NUMERIC || type.type == DBTYPE_DECIMAL) && type.scale != 0xFF) return type.scale;
        return std::nullopt;
    case 5:
        if (type.type == DBTYPE_DATE) return 0;
        return std::nullopt;
    case 6: {
        long long flags = 0;
        if (type.fixedLength) flags |= DBCOLUMNFLAGS_ISFIXEDLENGTH;
        if (type.isLong) flags |= DBCOLUMNFLAGS_ISLONG;
        return flags;
    }
    default: return std::nullopt;
    }
}

const SchemaInfo* FindSchemaRowset(REFGUID guid, ULONG restrictions, HRESULT& hr) {
    hr = S_OK;
    for (const SchemaInfo& s : kSchemas) {
        if (*s.guid != guid) continue;
        if (restrictions <= s.restrictions) return &s;
        hr = Report(
            Status::Error(E_INVALIDARG, u"The schema rowset takes at most " +
                                            platform::Utf8ToUtf16(std::to_string(s.restrictions)) + u" restrictions."),
            IID_IDBSchemaRowset);
        return nullptr;
    }
    hr =
        Report(Status::Error(E_INVALIDARG, u"The database offers only the TABLES, COLUMNS and INDEXES schema rowsets."),
               IID_IDBSchemaRowset);
    return nullptr;
}

const SchemaInfo* BeginSchemaRowset(IUnknown* outer, REFGUID schema, ULONG cRestrictions,
                                    const VARIANT rgRestrictions[], ULONG cPropertySets,
                                    const DBPROPSET rgPropertySets[], IUnknown** ppRowset, HRESULT& hr) {
    if (ppRowset) *ppRowset = nullptr;
    hr = E_INVALIDARG;
    if (!ppRowset || (cRestrictions && !rgRestrictions) || (cPropertySets && !rgPropertySets)) return nullptr;
    hr = DB_E_NOAGGREGATION;
    if (outer) return nullptr;
    return FindSchemaRowset(schema, cRestrictions, hr);
}

HRESULT ListSchemaRowsets(ULONG* pcSchemas, GUID** prgSchemas, ULONG** prgRestrictionSupport) {
    if (pcSchemas) *pcSchemas = 0;
    if (prgSchemas) *prgSchemas = nullptr;
    if (prgRestrictionSupport) *prgRestrictionSupport = nullptr;
    if (!pcSchemas || !prgSchemas) return E_INVALIDARG;
    const ULONG count = static_cast<ULONG>(std::size(kSchemas));
    auto* guids = static_cast<GUID*>(CoTaskMemAlloc(count * sizeof(GUID)));
    ULONG* support = prgRestrictionSupport ? static_cast<ULONG*>(CoTaskMemAlloc(count * sizeof(ULONG))) : nullptr;
    if (!guids || (prgRestrictionSupport && !support)) {
        CoTaskMemFree(guids);
        CoTaskMemFree(support);
        return E_OUTOFMEMORY;
    }
    for (ULONG i = 0; i < count; ++i) {
        guids[i] = *kSchemas[i].guid;
        if (support) support[i] = kSchemas[i].support;
    }
    *pcSchemas = count;
    *prgSchemas = guids;
    if (prgRestrictionSupport) *prgRestrictionSupport = support;
    return S_OK;
}

HRESULT StartTableDefinition(DBID* pTableID, DBORDINAL* pcColumnDescs, DBCOLUMNDESC* prgColumnDescs[],
                             ULONG* pcPropertySets, DBPROPSET* prgPropertySets[], ULONG* pcConstraintDescs,
                             DBCONSTRAINTDESC* prgConstraintDescs[], OLECHAR** ppwszStringBuffer) {
    if (pcColumnDescs) *pcColumnDescs = 0;
    if (prgColumnDescs) *prgColumnDescs = nullptr;
    if (pcPropertySets) *pcPropertySets = 0;
    if (prgPropertySets) *prgPropertySets = nullptr;
    if (pcConstraintDescs) *pcConstraintDescs = 0;
    if (prgConstraintDescs) *prgConstraintDescs = nullptr;
    if (ppwszStringBuffer) *ppwszStringBuffer = nullptr;
    if (!pTableID || (!pcColumnDescs != !prgColumnDescs)) return E_INVALIDARG;
    if (pTableID->eKind != DBKIND_NAME || !pTableID->uName.pwszName || !*pTableID->uName.pwszName)
        return Report(Status::Error(DB_E_NOTABLE, u"A table is named by its name only."), IID_ITableCreation);
    return S_OK;
}

HRESULT ReturnTableDefinition(const std::vector<ColumnDefinition>& columns, DBORDINAL* pcColumnDescs,
                              DBCOLUMNDESC* prgColumnDescs[]) {
    if (!pcColumnDescs) return Report(Status::Success(), IID_ITableCreation);
    auto* descs =
        static_cast<DBCOLUMNDESC*>(CoTaskMemAlloc(std::max<std::size_t>(columns.size(), 1) * sizeof(DBCOLUMNDESC)));
    if (!descs) return Report(Status::Error(E_OUTOFMEMORY, u"Out of memory."), IID_ITableCreation);
    std::memset(descs, 0, std::max<std::size_t>(columns.size(), 1) * sizeof(DBCOLUMNDESC));
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (!Describe(columns[i], descs[i])) {
            FreeDescriptions(descs, i + 1);
            return Report(Status::Error(E_OUTOFMEMORY, u"Out of memory."), IID_ITableCreation);
        }
    }
    *pcColumnDescs = columns.size();
    *prgColumnDescs = descs;
    return Report(Status::Success(), IID_ITableCreation);
}

// ---- IDBSchemaRowset -------------------------------------------------------------------------

HRESULT Session::GetRowset(IUnknown* outer, REFGUID schema, ULONG cRestrictions, const VARIANT rgRestrictions[],
                           REFIID riid, ULONG cPropertySets, DBPROPSET rgPropertySets[], IUnknown** ppRowset) {
    return GuardMethod(IID_IDBSchemaRowset, [&]() -> HRESULT {
        HRESULT refused = S_OK;
        const SchemaInfo* info = BeginSchemaRowset(outer, schema, cRestrictions, rgRestrictions, cPropertySets,
                                                   rgPropertySets, ppRowset, refused);
        if (!info) return refused;

        RegisterGuardedFunction(m_db, "orv_schema_type", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, SchemaTypeFunction);
        std::string sql = info->sql;
        if (info->guid == &DBSCHEMA_INDEXES && HasTable(m_db, kStoreIndexesTable)) {
            const std::string marker = "/*store indexes*/";
            sql.replace(sql.find(marker), marker.size(), kStoreIndexesSql);
        }
        sqlite3_stmt* statement = nullptr;
        int rc = sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr);
        if (rc != SQLITE_OK) return Report(StatementFailure(m_db, rc), IID_IDBSchemaRowset);
        for (ULONG i = 0; i < cRestrictions; ++i) {
            Status status = BindRestriction(statement, i, rgRestrictions[i]);
            if (!status.Ok()) {
                sqlite3_finalize(statement);
                return Report(status, IID_IDBSchemaRowset);
            }
        }
        Rowset* rowset = nullptr;
        Status status = Rowset::Create(this, Identity(), statement, &rowset, info->types());
        if (!status.Ok()) return Report(status, IID_IDBSchemaRowset);
        HRESULT hr = rowset->QueryInterface(riid, reinterpret_cast<void**>(ppRowset));
        rowset->Release();
        if (hr != S_OK)
            return Report(Status::Error(hr, u"The schema rowset does not offer the interface asked for."),
                          IID_IDBSchemaRowset);
        return Report(Status::Success(), IID_IDBSchemaRowset);
    });
}

HRESULT Session::GetSchemas(ULONG* pcSchemas, GUID** prgSchemas, ULONG** prgRestrictionSupport) {
    return GuardMethod(IID_IDBSchemaRowset,
                       [&] { return ListSchemaRowsets(pcSchemas, prgSchemas, prgRestrictionSupport); });
}

// ---- ITableDefinition, ITableCreation ------------------------------------------------------

HRESULT Session::GetTableDefinition(DBID* pTableID, DBORDINAL* pcColumnDescs, DBCOLUMNDESC* prgColumnDescs[],
                                    ULONG* pcPropertySets, DBPROPSET* prgPropertySets[], ULONG* pcConstraintDescs,
                                    DBCONSTRAINTDESC* prgConstraintDescs[], OLECHAR** ppwszStringBuffer) {
    return GuardMethod(IID_ITableCreation, [&]() -> HRESULT {
        HRESULT hr = StartTableDefinition(pTableID, pcColumnDescs, prgColumnDescs, pcPropertySets, prgPropertySets,
                                          pcConstraintDescs, prgConstraintDescs, ppwszStringBuffer);
        if (hr != S_OK) return hr;

        std::string table;
        bool withoutRowid = false;
        Status status = FindTable(m_db, pTableID->uName.pwszName, table, withoutRowid);
        std::vector<ColumnDefinition> columns;
        if (status.Ok()) status = ReadColumns(m_db, table, withoutRowid, columns);
        if (status.Ok()) status = ReadIdentities(m_db, table, columns);
        if (!status.Ok()) return Report(status, IID_ITableCreation);
        return ReturnTableDefinition(columns, pcColumnDescs, prgColumnDescs);
    });
}

}  // namespace orv::engine
