// The structures that define tables, columns, indexes and constraints (ITableDefinition,
// IIndexDefinition, ITableCreation).
#pragma once

#include "platform/oledb/properties.h"
#include "platform/oledb/types.h"

// ---- Table, index and constraint definitions ---------------------------------------------

enum DBINDEX_COL_ORDERENUM { DBINDEX_COL_ORDER_ASC = 0, DBINDEX_COL_ORDER_DESC = 1 };

struct DBINDEXCOLUMNDESC {
    DBID* pColumnID;
    DBINDEX_COL_ORDER eIndexColOrder;
};

struct DBCOLUMNDESC {
    LPOLESTR pwszTypeName;
    ITypeInfo* pTypeInfo;
    DBPROPSET* rgPropertySets;
    CLSID* pclsid;
    ULONG cPropertySets;
    DBLENGTH ulColumnSize;
    DBID dbcid;
    DBTYPE wType;
    BYTE bPrecision;
    BYTE bScale;
};
static_assert(sizeof(DBCOLUMNDESC) == 88 && offsetof(DBCOLUMNDESC, cPropertySets) == 32 &&
              offsetof(DBCOLUMNDESC, dbcid) == 48 && offsetof(DBCOLUMNDESC, wType) == 80);

enum DBCONSTRAINTTYPEENUM {
    DBCONSTRAINTTYPE_UNIQUE = 0,
    DBCONSTRAINTTYPE_FOREIGNKEY = 0x1,
    DBCONSTRAINTTYPE_PRIMARYKEY = 0x2,
    DBCONSTRAINTTYPE_CHECK = 0x3,
};

enum DBUPDELRULEENUM {
    DBUPDELRULE_NOACTION = 0,
    DBUPDELRULE_CASCADE = 0x1,
    DBUPDELRULE_SETNULL = 0x2,
    DBUPDELRULE_SETDEFAULT = 0x3,
};

enum DBMATCHTYPEENUM { DBMATCHTYPE_FULL = 0, DBMATCHTYPE_NONE = 0x1, DBMATCHTYPE_PARTIAL = 0x2 };

enum DBDEFERRABILITYENUM { DBDEFERRABILITY_DEFERRED = 0x1, DBDEFERRABILITY_DEFERRABLE = 0x2 };

struct DBCONSTRAINTDESC {
    DBID* pConstraintID;
    DBCONSTRAINTTYPE ConstraintType;
    DBORDINAL cColumns;
    DBID* rgColumnList;
    DBID* pReferencedTableID;
    DBORDINAL cForeignKeyColumns;
    DBID* rgForeignKeyColumnList;
    OLECHAR* pwszConstraintText;
    DBUPDELRULE UpdateRule;
    DBUPDELRULE DeleteRule;
    DBMATCHTYPE MatchType;
    DBDEFERRABILITY Deferrability;
    DB_URESERVE cReserved;
    DBPROPSET* rgReserved;
};
