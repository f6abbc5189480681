// The indexes catalog: the INDEXES schema rowset, one row per indexed column.
#include "schema/schema_rowset_reader.h"

using orv::schema::FieldText;
using orv::schema::IndexesReader;

OrvOleDbIndexes::OrvOleDbIndexes() : m_reader(nullptr), m_firstFetch(true) {}

OrvOleDbIndexes::~OrvOleDbIndexes() { Close(); }

bool OrvOleDbIndexes::Open(OrvOleDbConnection* connection, const WCHAR* catalog, const WCHAR* schema,
                           const WCHAR* table, const WCHAR* index) {
    if (!connection || !connection->IsConnected()) return false;
    Close();
    m_firstFetch = true;
    m_reader = new (std::nothrow) IndexesReader();
    if (!m_reader) return false;
    // The rowset's order: TABLE_CATALOG, TABLE_SCHEMA, INDEX_NAME, TYPE, TABLE_NAME.
    const WCHAR* const restrictions[5] = {catalog, schema, index, nullptr, table};
    return CheckResult(m_reader->Open(connection->GetSession(), restrictions, true));
}

bool OrvOleDbIndexes::FetchNext() {
    if (!m_reader) return false;
    HRESULT hr = FetchWith(m_reader, m_firstFetch);
    return hr == S_OK;
}

void OrvOleDbIndexes::Close() { CloseReader(m_reader); }

#define ORV_INDEX_GETTER(Name, field)                 \
    bool OrvOleDbIndexes::Name(CString& out) {        \
        if (!m_reader) return false;                  \
        out = FieldText(m_reader->GetRecord().field); \
        return !out.IsEmpty();                        \
    }

ORV_INDEX_GETTER(GetCatalog, indexCatalog)
ORV_INDEX_GETTER(GetSchema, indexSchema)
ORV_INDEX_GETTER(GetName, indexName)
ORV_INDEX_GETTER(GetColumnName, columnName)
ORV_INDEX_GETTER(GetTableCatalog, tableCatalog)
ORV_INDEX_GETTER(GetTableSchema, tableSchema)
ORV_INDEX_GETTER(GetTableName, tableName)

#undef ORV_INDEX_GETTER

bool OrvOleDbIndexes::GetIndexList(std::vector<CString>& names, bool includePrimaryKey) {
    if (!m_reader) return false;
    m_firstFetch = true;
    while (FetchNext()) {
        const auto& record = m_reader->GetRecord();
        if (record.primaryKey != 0 && !includePrimaryKey) continue;
        CString name = FieldText(record.indexName);
        bool present = false;
        for (const CString& existing : names) {
            if (existing == name) {
                present = true;
                break;
            }
        }
        if (!present) names.push_back(name);
    }
    return true;
}
