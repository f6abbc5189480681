// The catalogs of a database: OrvOleDbTables (its tables and views), OrvOleDbColumns (the
// columns of one table, with auto-increment seed and step on request) and OrvOleDbIndexes
// (its indexes, one row per indexed column).
//
// Each catalog reads one of the provider's schema rowsets (TABLES, COLUMNS, INDEXES) on a
// connection's session. Open borrows the connection: it must stay open while the catalog
// is read, and the catalog never closes it. A catalog owns its reader (the rowset, its
// accessor and the current row) from Open to Close or destruction. FetchNext steps to the
// next row (the first one after Open); the getters describe that row, and their output
// stays the caller's. Past the last row every getter gives an empty text or zero. Text
// fields hold at most 128 characters: longer names come back cut.
//
// One thread at a time uses a catalog, the thread whose provider calls fail is the one
// whose error text the catalog gathers.
#pragma once

#include <vector>

#include "OrvOleDbConnection.h"
#include "OrvOleDbErrorInfo.h"

namespace orv::schema {
template <class Record, ULONG RestrictionCount, const GUID& Schema>
class SchemaRowsetReader;
struct TablesRecord;
struct ColumnsRecord;
struct IndexesRecord;
using TablesReader = SchemaRowsetReader<TablesRecord, 4, DBSCHEMA_TABLES>;
using ColumnsReader = SchemaRowsetReader<ColumnsRecord, 4, DBSCHEMA_COLUMNS>;
using IndexesReader = SchemaRowsetReader<IndexesRecord, 5, DBSCHEMA_INDEXES>;
}  // namespace orv::schema

// The tables of a database, optionally restricted by catalog, schema, name and type
// ("TABLE", "VIEW", "SYSTEM TABLE"). Rows come in the provider's order.
class ORV_API OrvOleDbTables : public OrvOleDbErrorInfo {
public:
    struct _TypeInfo {
        CString m_name;
        CString m_type;
        CString m_schema;
        CString m_catalog;
        CString m_description;
    };

    OrvOleDbTables();
    ~OrvOleDbTables();

    // Null catalog, schema or table: no restriction on it. `type` is always a restriction
    // (REQUIRES: not null, at most 127 characters); an empty one matches no table.
    bool Open(OrvOleDbConnection* connection, const WCHAR* catalog, const WCHAR* schema, const WCHAR* table,
              const WCHAR* type);
    // The same with wchar_t text (L"...") among the restrictions: converted, then the member
    // above. The other catalogs' Open take wchar_t text the same way.
    template <class... Text>
    requires orv::platform::CallWithUtf32Text<Text...>
    bool Open(OrvOleDbConnection* connection, const Text&... restrictions) {
        return Open(connection, orv::platform::Utf16Text(restrictions)...);
    }
    // True on a row; false at the end and on any failure (the error text is not touched).
    bool FetchNext();
    void Close();

    // False without an open catalog (output unchanged) or when the field is empty.
    bool GetCatalog(CString& catalog);
    bool GetSchema(CString& schema);
    bool GetName(CString& name);
    bool GetType(CString& type);
    bool GetDescription(CString& description);

    // Every row from the first, into an emptied `list`; true when there was one.
    bool GetList(std::vector<_TypeInfo>& list);
    // Appends the name of every row from the first; true whenever a catalog is open.
    bool GetTableList(std::vector<CString>& names);

private:
    OrvOleDbTables(const OrvOleDbTables&);
    OrvOleDbTables& operator=(const OrvOleDbTables&);

    orv::schema::TablesReader* m_reader;  // owned; null while closed
    bool m_firstFetch;
};

// The columns of one table (or one column of it) with type, size, nullability and default;
// with `extended`, also whether each column is auto-increment, with its seed and step.
class ORV_API OrvOleDbColumns : public OrvOleDbErrorInfo {
public:
    OrvOleDbColumns();
    virtual ~OrvOleDbColumns();

    // `table` is required; it is looked up in capitals in the COLUMNS rowset and as given
    // in the table definition. With `extended`, false also when the definition cannot be
    // read, although the rows can then still be fetched.
    bool Open(OrvOleDbConnection* connection, const WCHAR* catalog, const WCHAR* schema, const WCHAR* table,
              const WCHAR* column, bool extended);
    template <class Catalog, class Schema, class Table, class Column>
    requires orv::platform::CallWithUtf32Text<Catalog, Schema, Table, Column>
    bool Open(OrvOleDbConnection* connection, const Catalog& catalog, const Schema& schema, const Table& table,
              const Column& column, bool extended) {
        return Open(connection, orv::platform::Utf16Text(catalog), orv::platform::Utf16Text(schema),
                    orv::platform::Utf16Text(table), orv::platform::Utf16Text(column), extended);
    }
    // True on a row. Every call resets the error text; at the end it holds the provider's
    // text for the end of the rowset.
    bool FetchNext();
    void Close();

    bool GetCatalog(CString& catalog);
    bool GetSchema(CString& schema);
    bool GetTableName(CString& table);
    bool GetName(CString& name);
    bool GetDefault(CString& value);
    bool GetDescription(CString& description);
    bool HasDefault();
    bool IsNullable();
    unsigned short DataType();
    bool IsDataType(unsigned short type);
    unsigned int MaxLength();
    unsigned int NumericPrecision();
    unsigned int NumericScale();
    unsigned int DateTimePrecision();
    // 0xFFFFFFFF without an open catalog.
    unsigned int OrdinalPosition();
    unsigned int Flags();
    // The size or precision that matters for the column's type.
    unsigned int Precision();
    // From the table definition read by the last Open with `extended`; false, -1 and -1
    // when there is none for this row.
    bool IsIdentity();
    int Seed();
    int Increment();

protected:
    // Reads auto-increment, seed and step of every column of `tableName`.
    HRESULT GetExtendedData(OrvOleDbConnection* connection, const WCHAR* tableName);

private:
    struct _IdentityInfo {
        bool m_isIdentity;
        int m_seed;
        int m_increment;
    };

    OrvOleDbColumns(const OrvOleDbColumns&);
    OrvOleDbColumns& operator=(const OrvOleDbColumns&);

    orv::schema::ColumnsReader* m_reader;  // owned; null while closed
    bool m_firstFetch;
    std::vector<_IdentityInfo> m_identityInfo;  // one per column of the table, in table order
};

// The indexes of a database or of one table; the rowset has one row per indexed column.
class ORV_API OrvOleDbIndexes : public OrvOleDbErrorInfo {
public:
    OrvOleDbIndexes();
    ~OrvOleDbIndexes();

    // Null arguments leave their restriction out; an empty one is a restriction.
    bool Open(OrvOleDbConnection* connection, const WCHAR* catalog, const WCHAR* schema, const WCHAR* table,
              const WCHAR* index);
    template <class... Text>
    requires orv::platform::CallWithUtf32Text<Text...>
    bool Open(OrvOleDbConnection* connection, const Text&... restrictions) {
        return Open(connection, orv::platform::Utf16Text(restrictions)...);
    }
    // True on a row; false at the end and on any failure (the error text is not touched).
    bool FetchNext();
    void Close();

    // The index's own catalog and schema.
    bool GetCatalog(CString& catalog);
    bool GetSchema(CString& schema);
    bool GetName(CString& name);
    bool GetColumnName(CString& column);
    bool GetTableCatalog(CString& catalog);
    bool GetTableSchema(CString& schema);
    bool GetTableName(CString& table);

    // Appends each index name not yet in `names` (compared exactly), from the first row;
    // the primary key only with `includePrimaryKey`. True whenever a catalog is open.
    bool GetIndexList(std::vector<CString>& names, bool includePrimaryKey);

private:
    OrvOleDbIndexes(const OrvOleDbIndexes&);
    OrvOleDbIndexes& operator=(const OrvOleDbIndexes&);

    orv::schema::IndexesReader* m_reader;  // owned; null while closed
    bool m_firstFetch;
};
