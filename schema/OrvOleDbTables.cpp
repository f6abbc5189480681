// The tables catalog: the TABLES schema rowset, row by row or as lists.
#include "schema/schema_rowset_reader.h"

using orv::schema::FieldText;
using orv::schema::TablesReader;

namespace {

// The type restriction is copied into a buffer of 128 characters. A null type, or one that
// does not fit, leaves the buffer empty, as a failed bounded copy does: an empty
// restriction, which matches no table.
void CopyType(const WCHAR* type, WCHAR (&buffer)[128]) {
    buffer[0] = 0;
    if (!type) return;
    std::size_t length = orv::platform::StrLen16(type);
    if (length >= 128) return;
    std::memcpy(buffer, type, (length + 1) * sizeof(WCHAR));
}

bool ReadField(const TablesReader* reader, const WCHAR* field, CString& out) {
    if (!reader) return false;
    out = FieldText(field);
    return !out.IsEmpty();
}

}  // namespace

OrvOleDbTables::OrvOleDbTables() : m_reader(nullptr), m_firstFetch(true) {}

OrvOleDbTables::~OrvOleDbTables() { Close(); }

bool OrvOleDbTables::Open(OrvOleDbConnection* connection, const WCHAR* catalog, const WCHAR* schema, const WCHAR* table,
                          const WCHAR* type) {
    if (!connection || !connection->IsConnected()) return false;
    Close();
    m_firstFetch = true;
    m_reader = new (std::nothrow) TablesReader();
    if (!m_reader) return false;
    WCHAR typeCopy[128];
    CopyType(type, typeCopy);
    const WCHAR* const restrictions[4] = {catalog, schema, table, typeCopy};
    return CheckResult(m_reader->Open(connection->GetSession(), restrictions, true));
}

bool OrvOleDbTables::FetchNext() {
    if (!m_reader) return false;
    HRESULT hr = FetchWith(m_reader, m_firstFetch);
    return hr == S_OK;
}

void OrvOleDbTables::Close() { CloseReader(m_reader); }

bool OrvOleDbTables::GetCatalog(CString& catalog) {
    return ReadField(m_reader, m_reader ? m_reader->GetRecord().tableCatalog : nullptr, catalog);
}
bool OrvOleDbTables::GetSchema(CString& schema) {
    return ReadField(m_reader, m_reader ? m_reader->GetRecord().tableSchema : nullptr, schema);
}
bool OrvOleDbTables::GetName(CString& name) {
    return ReadField(m_reader, m_reader ? m_reader->GetRecord().tableName : nullptr, name);
}
bool OrvOleDbTables::GetType(CString& type) {
    return ReadField(m_reader, m_reader ? m_reader->GetRecord().tableType : nullptr, type);
}
bool OrvOleDbTables::GetDescription(CString& description) {
    return ReadField(m_reader, m_reader ? m_reader->GetRecord().description : nullptr, description);
}

bool OrvOleDbTables::GetList(std::vector<_TypeInfo>& list) {
    if (!m_reader) return false;
    list.clear();
    m_firstFetch = true;
    while (FetchNext()) {
        const auto& record = m_reader->GetRecord();
        _TypeInfo info;
        info.m_name = FieldText(record.tableName);
        info.m_type = FieldText(record.tableType);
        info.m_schema = FieldText(record.tableSchema);
        info.m_catalog = FieldText(record.tableCatalog);
        info.m_description = FieldText(record.description);
        list.push_back(info);
    }
    return !list.empty();
}

bool OrvOleDbTables::GetTableList(std::vector<CString>& names) {
    if (!m_reader) return false;
    m_firstFetch = true;
    while (FetchNext()) {
        CString name;
        if (GetName(name)) names.push_back(name);
    }
    return true;
}
