// The server's catalog as the standard schema rowsets: TABLES, COLUMNS and INDEXES from
// PostgreSQL's system catalogs, and the column definitions of one table with its identity
// (and serial) columns' start and step, which PostgreSQL keeps in their sequences.
//
// Every schema but the system's own (pg_catalog, information_schema, TOAST and temporary
// schemas) is listed; TABLE_CATALOG is the database and TABLE_SCHEMA the schema. Names
// compare without regard to case, as the file engine compares them. Each rowset is one
// query whose rows the engine holds (catalogs are small), with the standard OLE DB column
// types forced; COLUMNS' type facts come from the same type mapping that result columns use.
#include <cstring>

#include "engine/guard.h"
#include "engine/pg/provider.h"
#include "engine/pg/types.h"
#include "engine/rowset.h"
#include "engine/schema.h"
#include "platform/utf.h"

namespace orv::engine::pg {
namespace {

constexpr const char* kUserSchemas =
    "n.nspname NOT IN ('pg_catalog', 'information_schema') AND n.nspname !~ '^pg_(toast|temp)'";

const std::string kTablesSql = std::string(R"(
SELECT current_database() AS "TABLE_CATALOG", n.nspname AS "TABLE_SCHEMA", c.relname AS "TABLE_NAME",
       CASE WHEN c.relkind IN ('v', 'm') THEN 'VIEW' ELSE 'TABLE' END AS "TABLE_TYPE", NULL AS "TABLE_GUID",
       obj_description(c.oid, 'pg_class') AS "DESCRIPTION", NULL AS "TABLE_PROPID", NULL AS "DATE_CREATED",
       NULL AS "DATE_MODIFIED"
FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace
WHERE c.relkind IN ('r', 'p', 'v', 'm', 'f') AND )") +
                               kUserSchemas + R"(
  AND ($1::text IS NULL OR current_database() = $1) AND ($2::text IS NULL OR n.nspname = $2)
  AND ($3::text IS NULL OR lower(c.relname) = lower($3))
  AND ($4::text IS NULL OR CASE WHEN c.relkind IN ('v', 'm') THEN 'VIEW' ELSE 'TABLE' END = $4)
ORDER BY 4, lower(c.relname), c.relname, n.nspname
)";

// The type facts (DATA_TYPE ... DATETIME_PRECISION, COLUMN_FLAGS) are filled in from the
// two columns after the standard ones, the type's oid and modifier.
const std::string kColumnsSql = std::string(R"(
SELECT current_database() AS "TABLE_CATALOG", n.nspname AS "TABLE_SCHEMA", c.relname AS "TABLE_NAME",
       a.attname AS "COLUMN_NAME", NULL AS "COLUMN_GUID", NULL AS "COLUMN_PROPID", a.attnum AS "ORDINAL_POSITION",
       d.adbin IS NOT NULL OR a.attidentity <> '' AS "COLUMN_HASDEFAULT",
       pg_get_expr(d.adbin, d.adrelid) AS "COLUMN_DEFAULT", NULL AS "COLUMN_FLAGS", NOT a.attnotnull AS "IS_NULLABLE",
       NULL AS "DATA_TYPE", NULL AS "TYPE_GUID", NULL AS "CHARACTER_MAXIMUM_LENGTH", NULL AS "CHARACTER_OCTET_LENGTH",
       NULL AS "NUMERIC_PRECISION", NULL AS "NUMERIC_SCALE", NULL AS "DATETIME_PRECISION",
       NULL AS "CHARACTER_SET_CATALOG", NULL AS "CHARACTER_SET_SCHEMA", NULL AS "CHARACTER_SET_NAME",
       NULL AS "COLLATION_CATALOG", NULL AS "COLLATION_SCHEMA", NULL AS "COLLATION_NAME",
       NULL AS "DOMAIN_CATALOG", NULL AS "DOMAIN_SCHEMA", NULL AS "DOMAIN_NAME",
       col_description(c.oid, a.attnum) AS "DESCRIPTION", a.atttypid, a.atttypmod
FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid JOIN pg_namespace n ON n.oid = c.relnamespace
LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum
WHERE a.attnum > 0 AND NOT a.attisdropped AND c.relkind IN ('r', 'p', 'v', 'm', 'f') AND )") +
                                kUserSchemas + R"(
  AND ($1::text IS NULL OR current_database() = $1) AND ($2::text IS NULL OR n.nspname = $2)
  AND ($3::text IS NULL OR lower(c.relname) = lower($3)) AND ($4::text IS NULL OR lower(a.attname) = lower($4))
ORDER BY lower(c.relname), c.relname, n.nspname, a.attnum
)";

// One row per key column of each index.
const std::string kIndexesSql = std::string(R"(
SELECT current_database() AS "TABLE_CATALOG", n.nspname AS "TABLE_SCHEMA", t.relname AS "TABLE_NAME",
       current_database() AS "INDEX_CATALOG", n.nspname AS "INDEX_SCHEMA", i.relname AS "INDEX_NAME",
       x.indisprimary AS "PRIMARY_KEY", x.indisunique AS "UNIQUE", x.indisclustered AS "CLUSTERED", 1 AS "TYPE",
       NULL AS "FILL_FACTOR", NULL AS "INITIAL_SIZE", CASE WHEN x.indisprimary THEN 1 ELSE 0 END AS "NULLS",
       false AS "SORT_BOOKMARKS", true AS "AUTO_UPDATE", 4 AS "NULL_COLLATION", k.ord AS "ORDINAL_POSITION",
       a.attname AS "COLUMN_NAME", NULL AS "COLUMN_GUID", NULL AS "COLUMN_PROPID",
       CASE WHEN (x.indoption[k.ord - 1] & 1) = 1 THEN 2 ELSE 1 END AS "COLLATION", NULL AS "CARDINALITY",
       NULL AS "PAGES", pg_get_expr(x.indpred, x.indrelid) AS "FILTER_CONDITION", false AS "INTEGRATED"
FROM pg_index x JOIN pg_class i ON i.oid = x.indexrelid JOIN pg_class t ON t.oid = x.indrelid
JOIN pg_namespace n ON n.oid = t.relnamespace
CROSS JOIN LATERAL unnest(x.indkey::int2[]) WITH ORDINALITY AS k(attnum, ord)
JOIN pg_attribute a ON a.attrelid = t.oid AND a.attnum = k.attnum
WHERE k.ord <= x.indnkeyatts AND )") +
                                kUserSchemas + R"(
  AND ($1::text IS NULL OR current_database() = $1) AND ($2::text IS NULL OR n.nspname = $2)
  AND ($3::text IS NULL OR lower(i.relname) = lower($3)) AND ($4::text IS NULL OR $4 = '1')
  AND ($5::text IS NULL OR lower(t.relname) = lower($5))
ORDER BY x.indisunique, lower(i.relname), i.relname, lower(t.relname), t.relname, k.ord
)";

// The table a name means: case ignored, the one the search path finds first.
const std::string kFindTableSql = std::string(R"(
SELECT c.oid FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace
WHERE lower(c.relname) = lower($1) AND c.relkind IN ('r', 'p', 'v', 'm', 'f') AND )") +
                                  kUserSchemas + R"(
ORDER BY pg_table_is_visible(c.oid) DESC, c.relname = $1 DESC, n.nspname LIMIT 1
)";

constexpr const char* kTableColumnsSql = R"(
SELECT a.attname, format_type(a.atttypid, a.atttypmod), a.atttypid, a.atttypmod, a.attnotnull,
       pg_get_expr(d.adbin, d.adrelid),
       a.attidentity <> '' OR coalesce(pg_get_expr(d.adbin, d.adrelid) LIKE 'nextval(%', false),
       s.seqstart, s.seqincrement
FROM pg_attribute a
LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum
LEFT JOIN pg_sequence s ON s.seqrelid = pg_get_serial_sequence(a.attrelid::regclass::text, a.attname)::regclass
WHERE a.attrelid = $1::oid AND a.attnum > 0 AND NOT a.attisdropped
ORDER BY a.attnum
)";

// Restrictions as query parameters: text, a number as its digits, or NULL when absent.
Status RestrictionTexts(ULONG count, const VARIANT values[], std::vector<std::string>& texts,
                        std::vector<bool>& present) {
    texts.assign(5, std::string());
    present.assign(5, false);
    for (ULONG i = 0; i < count && i < 5; ++i) {
        const VARIANT& v = values[i];
        switch (v.vt) {
        case VT_EMPTY:
        case VT_NULL: break;
        case VT_BSTR:
            texts[i] = platform::Utf16ToUtf8(v.bstrVal ? std::u16string(v.bstrVal, SysStringLen(v.bstrVal)) : u"");
            present[i] = true;
            break;
        case VT_I2:
            texts[i] = std::to_string(v.iVal);
            present[i] = true;
            break;
        case VT_UI2:
            texts[i] = std::to_string(v.uiVal);
            present[i] = true;
            break;
        case VT_I4:
            texts[i] = std::to_string(v.lVal);
            present[i] = true;
            break;
        case VT_UI4:
            texts[i] = std::to_string(v.ulVal);
            present[i] = true;
            break;
        default:
            return Status::Error(E_INVALIDARG, u"Restriction " + platform::Utf8ToUtf16(std::to_string(i + 1)) +
                                                   u" has a type that the schema rowset cannot compare.");
        }
    }
    return Status::Success();
}

// The rows of `result`, the first `columns` of each, as the engine holds values.
std::vector<std::vector<StoredValue>> HeldRows(const PGresult* result, int columns) {
    std::vector<TextForm> forms;
    for (int c = 0; c < columns; ++c) forms.push_back(MapPgType(PQftype(result, c), PQfmod(result, c)).form);
    std::vector<std::vector<StoredValue>> rows(static_cast<std::size_t>(PQntuples(result)));
    for (int r = 0; r < PQntuples(result); ++r) {
        auto& row = rows[static_cast<std::size_t>(r)];
        row.resize(static_cast<std::size_t>(columns));
        for (int c = 0; c < columns; ++c)
            LoadText(PQgetisnull(result, r, c) ? nullptr : PQgetvalue(result, r, c), PQgetlength(result, r, c),
                     forms[static_cast<std::size_t>(c)], row[static_cast<std::size_t>(c)]);
    }
    return rows;
}

void PutFact(StoredValue& value, std::optional<long long> fact) {
    value.kind = fact ? SQLITE_INTEGER : SQLITE_NULL;
    value.integer = fact.value_or(0);
}

// COLUMNS: the type facts of each row, from its type's oid and modifier.
void FillTypeFacts(const PGresult* result, std::vector<std::vector<StoredValue>>& rows) {
    constexpr std::size_t kFlags = 9, kNullable = 10, kDataType = 11, kFirstSize = 13;
    const int oidColumn = PQnfields(result) - 2;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const int row = static_cast<int>(r);
        const ColumnType type =
            MapPgType(static_cast<Oid>(std::strtoul(PQgetvalue(result, row, oidColumn), nullptr, 10)),
                      std::atoi(PQgetvalue(result, row, oidColumn + 1)))
                .type;
        auto& values = rows[r];
        PutFact(values[kDataType], SchemaTypeFact(type, 0));
        for (int what = 1; what <= 5; ++what)
            PutFact(values[kFirstSize + static_cast<std::size_t>(what - 1)], SchemaTypeFact(type, what));
        const bool nullable = values[kNullable].integer != 0;
        PutFact(values[kFlags], *SchemaTypeFact(type, 6) | DBCOLUMNFLAGS_WRITEUNKNOWN |
                                    (nullable ? DBCOLUMNFLAGS_ISNULLABLE | DBCOLUMNFLAGS_MAYBENULL : 0));
    }
}

}  // namespace

HRESULT Session::GetRowset(IUnknown* outer, REFGUID schema, ULONG cRestrictions, const VARIANT rgRestrictions[],
                           REFIID riid, ULONG cPropertySets, DBPROPSET rgPropertySets[], IUnknown** ppRowset) {
    return GuardMethod(IID_IDBSchemaRowset, [&]() -> HRESULT {
        HRESULT refused = S_OK;
        const SchemaInfo* info = BeginSchemaRowset(outer, schema, cRestrictions, rgRestrictions, cPropertySets,
                                                   rgPropertySets, ppRowset, refused);
        if (!info) return refused;

        std::vector<std::string> texts;
        std::vector<bool> present;
        Status status = RestrictionTexts(cRestrictions, rgRestrictions, texts, present);
        if (!status.Ok()) return Report(status, IID_IDBSchemaRowset);
        const bool columns = schema == DBSCHEMA_COLUMNS;
        const std::string& sql = schema == DBSCHEMA_TABLES ? kTablesSql : columns ? kColumnsSql : kIndexesSql;
        std::vector<const char*> parameters;
        for (std::size_t i = 0; i < info->restrictions; ++i)
            parameters.push_back(present[i] ? texts[i].c_str() : nullptr);
        Result result;
        status = m_link->RunWith(sql, parameters, &result);
        if (!status.Ok()) return Report(status, IID_IDBSchemaRowset);

        std::vector<ColumnType> types = info->types();
        std::vector<RowsetColumn> described(types.size());
        for (std::size_t c = 0; c < types.size(); ++c) {
            described[c].name = platform::Utf8ToUtf16(PQfname(result.get(), static_cast<int>(c)));
            described[c].type = types[c];
        }
        std::vector<std::vector<StoredValue>> rows = HeldRows(result.get(), static_cast<int>(types.size()));
        if (columns) FillTypeFacts(result.get(), rows);

        return Report(
            Rowset::Open(Identity(), Identity(), std::make_unique<MemorySource>(std::move(described), std::move(rows)),
                         riid, ppRowset, std::move(types)),
            IID_IDBSchemaRowset);
    });
}

HRESULT Session::GetSchemas(ULONG* pcSchemas, GUID** prgSchemas, ULONG** prgRestrictionSupport) {
    return GuardMethod(IID_IDBSchemaRowset,
                       [&]() -> HRESULT { return ListSchemaRowsets(pcSchemas, prgSchemas, prgRestrictionSupport); });
}

HRESULT Session::GetTableDefinition(DBID* pTableID, DBORDINAL* pcColumnDescs, DBCOLUMNDESC* prgColumnDescs[],
                                    ULONG* pcPropertySets, DBPROPSET* prgPropertySets[], ULONG* pcConstraintDescs,
                                    DBCONSTRAINTDESC* prgConstraintDescs[], OLECHAR** ppwszStringBuffer) {
    return GuardMethod(IID_ITableCreation, [&]() -> HRESULT {
        HRESULT hr = StartTableDefinition(pTableID, pcColumnDescs, prgColumnDescs, pcPropertySets, prgPropertySets,
                                          pcConstraintDescs, prgConstraintDescs, ppwszStringBuffer);
        if (hr != S_OK) return hr;
        const std::u16string requested = pTableID->uName.pwszName;
        const std::string name = platform::Utf16ToUtf8(requested);
        Result found;
        Status status = m_link->RunWith(kFindTableSql, {name.c_str()}, &found);
        if (status.Ok() && PQntuples(found.get()) == 0)
            status = Status::Error(DB_E_NOTABLE, u"The table '" + requested + u"' does not exist in the database.",
                                   u"42P01");
        Result read;
        if (status.Ok()) status = m_link->RunWith(kTableColumnsSql, {PQgetvalue(found.get(), 0, 0)}, &read);
        if (!status.Ok()) return Report(status, IID_ITableCreation);

        std::vector<ColumnDefinition> columns;
        PGresult* r = read.get();
        for (int row = 0; row < PQntuples(r); ++row) {
            ColumnDefinition c;
            c.name = PQgetvalue(r, row, 0);
            c.declared = PQgetvalue(r, row, 1);
            c.type = MapPgType(static_cast<Oid>(std::strtoul(PQgetvalue(r, row, 2), nullptr, 10)),
                               std::atoi(PQgetvalue(r, row, 3)))
                         .type;
            c.notNull = PQgetvalue(r, row, 4)[0] == 't';
            c.hasDefault = !PQgetisnull(r, row, 5);
            c.defaultText = PQgetvalue(r, row, 5);
            c.identity = PQgetvalue(r, row, 6)[0] == 't';
            if (!PQgetisnull(r, row, 7)) c.seed = static_cast<LONG>(std::atoll(PQgetvalue(r, row, 7)));
            if (!PQgetisnull(r, row, 8)) c.step = static_cast<LONG>(std::atoll(PQgetvalue(r, row, 8)));
            columns.push_back(std::move(c));
        }
        return ReturnTableDefinition(columns, pcColumnDescs, prgColumnDescs);
    });
}

}  // namespace orv::engine::pg
