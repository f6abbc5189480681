// What the providers' catalogs share: the standard TABLES, COLUMNS and INDEXES schema
// rowsets (their columns, restrictions and types), the type facts a COLUMNS row reports,
// and the column descriptions ITableCreation::GetTableDefinition hands out.
//
// Pure functions and plain values; the HRESULT functions post their error record on the
// calling thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/error.h"
#include "engine/sql/types.h"

namespace orv::engine {

struct SchemaInfo {
    const GUID* guid;
    ULONG restrictions;
    ULONG support;  // one bit per restriction the rowset honours
    const char* sql;  // the file engine's statement over SQLite's metadata
    std::vector<ColumnType> (*types)();
};

// The schema rowset `guid` names, or a refusal posted for IDBSchemaRowset (null then, and
// `hr` says why).
const SchemaInfo* FindSchemaRowset(REFGUID guid, ULONG restrictions, HRESULT& hr);
// The checks that open every IDBSchemaRowset::GetRowset, of any provider: the out pointer
// cleared, the arguments and aggregation checked, then FindSchemaRowset. Null with `hr`
// saying why when the call is refused.
const SchemaInfo* BeginSchemaRowset(IUnknown* outer, REFGUID schema, ULONG cRestrictions,
                                    const VARIANT rgRestrictions[], ULONG cPropertySets,
                                    const DBPROPSET rgPropertySets[], IUnknown** ppRowset, HRESULT& hr);
// IDBSchemaRowset::GetSchemas: the three schema rowsets and their restrictions.
HRESULT ListSchemaRowsets(ULONG* pcSchemas, GUID** prgSchemas, ULONG** prgRestrictionSupport);

// A COLUMNS fact of a column of `type`: 0 DATA_TYPE, 1 CHARACTER_MAXIMUM_LENGTH,
// 2 CHARACTER_OCTET_LENGTH, 3 NUMERIC_PRECISION, 4 NUMERIC_SCALE, 5 DATETIME_PRECISION,
// 6 the COLUMN_FLAGS the type decides; nothing where the column does not apply.
std::optional<long long> SchemaTypeFact(const ColumnType& type, int what);

struct ColumnDefinition {
    std::string name;
    std::string declared;  // the type as the database names it
    ColumnType type;
    bool notNull = false;
    bool hasDefault = false;
    std::string defaultText;
    bool identity = false;
    LONG seed = 1;
    LONG step = 1;
};

// Clears GetTableDefinition's out-parameters and checks its arguments; S_OK to go on.
HRESULT StartTableDefinition(DBID* pTableID, DBORDINAL* pcColumnDescs, DBCOLUMNDESC* prgColumnDescs[],
                             ULONG* pcPropertySets, DBPROPSET* prgPropertySets[], ULONG* pcConstraintDescs,
                             DBCONSTRAINTDESC* prgConstraintDescs[], OLECHAR** ppwszStringBuffer);
// Hands `columns` out as GetTableDefinition does (when `pcColumnDescs` is given).
HRESULT ReturnTableDefinition(const std::vector<ColumnDefinition>& columns, DBORDINAL* pcColumnDescs,
                              DBCOLUMNDESC* prgColumnDescs[]);

}  // namespace orv::engine
