// The record layouts of the three schema rowsets the catalogs read.
#include "schema/schema_rowset_reader.h"

namespace orv::schema {

DBBINDING ValueBinding(DBORDINAL ordinal, DBTYPE type, std::size_t offset, DBLENGTH size) {
    DBBINDING b;
    std::memset(&b, 0, sizeof b);
    b.iOrdinal = ordinal;
    b.obValue = offset;
    b.dwPart = DBPART_VALUE;
    b.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
    b.eParamIO = DBPARAMIO_NOTPARAM;
    b.cbMaxLen = size;
    b.wType = type;
    b.bPrecision = 0;
    b.bScale = 0;
    return b;
}

CString FieldText(const WCHAR* field) {
    int length = 0;
    while (length < static_cast<int>(kTextField) - 1 && field[length]) ++length;
    return CString(field, length);
}

#define ORV_TEXT(ordinal, member) ValueBinding(ordinal, DBTYPE_WSTR, offsetof(R, member), sizeof(TextField))
#define ORV_FIXED(ordinal, type, member) ValueBinding(ordinal, type, offsetof(R, member), sizeof(R::member))

std::vector<DBBINDING> TablesRecord::Bindings() {
    using R = TablesRecord;
    return {ORV_TEXT(1, tableCatalog),
            ORV_TEXT(2, tableSchema),
            ORV_TEXT(3, tableName),
            ORV_TEXT(4, tableType),
            ORV_FIXED(5, DBTYPE_GUID, tableGuid),
            ORV_TEXT(6, description)};
}

std::vector<DBBINDING> ColumnsRecord::Bindings() {
    using R = ColumnsRecord;
    return {ORV_TEXT(1, tableCatalog),
            ORV_TEXT(2, tableSchema),
            ORV_TEXT(3, tableName),
            ORV_TEXT(4, columnName),
            ORV_FIXED(5, DBTYPE_GUID, columnGuid),
            ORV_FIXED(6, DBTYPE_UI4, columnPropid),
            ORV_FIXED(7, DBTYPE_UI4, ordinalPosition),
            ORV_FIXED(8, DBTYPE_BOOL, columnHasDefault),
            ORV_TEXT(9, columnDefault),
            ORV_FIXED(10, DBTYPE_UI4, columnFlags),
            ORV_FIXED(11, DBTYPE_BOOL, isNullable),
            ORV_FIXED(12, DBTYPE_UI2, dataType),
            ORV_FIXED(13, DBTYPE_GUID, typeGuid),
            ORV_FIXED(14, DBTYPE_UI4, characterMaximumLength),
            ORV_FIXED(15, DBTYPE_UI4, characterOctetLength),
            ORV_FIXED(16, DBTYPE_UI2, numericPrecision),
            ORV_FIXED(17, DBTYPE_I2, numericScale),
            ORV_FIXED(18, DBTYPE_UI4, datetimePrecision),
            ORV_TEXT(19, characterSetCatalog),
            ORV_TEXT(20, characterSetSchema),
            ORV_TEXT(21, characterSetName),
            ORV_TEXT(22, collationCatalog),
            ORV_TEXT(23, collationSchema),
            ORV_TEXT(24, collationName),
            ORV_TEXT(25, domainCatalog),
            ORV_TEXT(26, domainSchema),
            ORV_TEXT(27, domainName),
            ORV_TEXT(28, description)};
}

// FILTER_CONDITION (24) is not bound: nothing reads it.
std::vector<DBBINDING> IndexesRecord::Bindings() {
    using R = IndexesRecord;
    return {ORV_TEXT(1, tableCatalog),
            ORV_TEXT(2, tableSchema),
            ORV_TEXT(3, tableName),
            ORV_TEXT(4, indexCatalog),
            ORV_TEXT(5, indexSchema),
            ORV_TEXT(6, indexName),
            ORV_FIXED(7, DBTYPE_BOOL, primaryKey),
            ORV_FIXED(8, DBTYPE_BOOL, unique),
            ORV_FIXED(9, DBTYPE_BOOL, clustered),
            ORV_FIXED(10, DBTYPE_UI2, type),
            ORV_FIXED(11, DBTYPE_I4, fillFactor),
            ORV_FIXED(12, DBTYPE_I4, initialSize),
            ORV_FIXED(13, DBTYPE_I4, nulls),
            ORV_FIXED(14, DBTYPE_BOOL, sortBookmarks),
            ORV_FIXED(15, DBTYPE_BOOL, autoUpdate),
            ORV_FIXED(16, DBTYPE_I4, nullCollation),
            ORV_FIXED(17, DBTYPE_UI4, ordinalPosition),
            ORV_TEXT(18, columnName),
            ORV_FIXED(19, DBTYPE_GUID, columnGuid),
            ORV_FIXED(20, DBTYPE_UI4, columnPropid),
            ORV_FIXED(21, DBTYPE_I2, collation),
            ORV_FIXED(22, DBTYPE_UI8, cardinality),
            ORV_FIXED(23, DBTYPE_I4, pages),
            ORV_FIXED(25, DBTYPE_BOOL, integrated)};
}

#undef ORV_TEXT
#undef ORV_FIXED

}  // namespace orv::schema
