// The columns catalog: the COLUMNS schema rowset of one table, and on request the
// auto-increment seed and step from the table's definition, matched by ordinal position.
#include <cwctype>

#include "platform/property_sets.h"
#include "schema/schema_rowset_reader.h"

using orv::schema::ColumnsReader;
using orv::schema::FieldText;

namespace {

// What the table definition returned, freed as the caller of GetTableDefinition must.
void FreeColumnDescs(DBCOLUMNDESC* descs, DBORDINAL count) {
    if (!descs) return;
    for (DBORDINAL i = 0; i < count; ++i) {
        DBCOLUMNDESC& d = descs[i];
        orv::platform::FreePropertySets(d.cPropertySets, d.rgPropertySets);
        CoTaskMemFree(d.pwszTypeName);
        CoTaskMemFree(d.pclsid);
        if (d.dbcid.eKind == DBKIND_NAME || d.dbcid.eKind == DBKIND_GUID_NAME || d.dbcid.eKind == DBKIND_PGUID_NAME)
            CoTaskMemFree(d.dbcid.uName.pwszName);
        if (d.dbcid.eKind == DBKIND_PGUID_NAME || d.dbcid.eKind == DBKIND_PGUID_PROPID)
            CoTaskMemFree(d.dbcid.uGuid.pguid);
    }
    CoTaskMemFree(descs);
}

// The table name in capitals, as the C runtime upper-cases wide characters in the
// current locale.
std::u16string UpperCased(const WCHAR* text) {
    std::u16string upper;
    for (const WCHAR* p = text; *p; ++p) upper += static_cast<char16_t>(std::towupper(static_cast<wint_t>(*p)));
    return upper;
}

}  // namespace

OrvOleDbColumns::OrvOleDbColumns() : m_reader(nullptr), m_firstFetch(true) {}

OrvOleDbColumns::~OrvOleDbColumns() { Close(); }

bool OrvOleDbColumns::Open(OrvOleDbConnection* connection, const WCHAR* catalog, const WCHAR* schema,
                           const WCHAR* table, const WCHAR* column, bool extended) {
    if (!connection || !connection->IsConnected() || !table) return false;
    Close();
    m_identityInfo.clear();
    const std::u16string upperTable = UpperCased(table);
    m_firstFetch = true;
    m_reader = new (std::nothrow) ColumnsReader();
    if (!m_reader) return false;
    const WCHAR* const restrictions[4] = {catalog, schema, upperTable.c_str(), column};
    const bool ok = CheckResult(m_reader->Open(connection->GetSession(), restrictions, true));
    if (!extended) return ok;
    if (!ok) return false;
    // A definition that cannot be read leaves the rowset open and the error text empty.
    return SUCCEEDED(GetExtendedData(connection, table));
}

HRESULT OrvOleDbColumns::GetExtendedData(OrvOleDbConnection* connection, const WCHAR* tableName) {
    if (!connection->IsConnected()) return E_FAIL;
    CSession& session = connection->GetSession();
    ITableCreation* creation = nullptr;
    HRESULT hr = session.m_spOpenRowset->QueryInterface(IID_ITableCreation, reinterpret_cast<void**>(&creation));
    if (FAILED(hr)) return hr;

    const std::size_t length = orv::platform::StrLen16(tableName);
    WCHAR* name = new (std::nothrow) WCHAR[length + 1];
    if (!name) {
        creation->Release();
        return E_FAIL;
    }
    std::memcpy(name, tableName, (length + 1) * sizeof(WCHAR));
    DBID table = DB_NULLID;
    table.eKind = DBKIND_NAME;
    table.uName.pwszName = name;

    DBORDINAL count = 0;
    DBCOLUMNDESC* descs = nullptr;
    hr = creation->GetTableDefinition(&table, &count, &descs, nullptr, nullptr, nullptr, nullptr, nullptr);
    creation->Release();
    delete[] name;
    if (FAILED(hr)) return hr;

    for (DBORDINAL i = 0; i < count; ++i) {
        _IdentityInfo info{false, 0, 1};
        const DBCOLUMNDESC& d = descs[i];
        for (ULONG s = 0; s < d.cPropertySets; ++s) {
            const DBPROPSET& set = d.rgPropertySets[s];
            if (set.guidPropertySet != DBPROPSET_COLUMN) continue;
            for (ULONG p = 0; p < set.cProperties; ++p) {
                const DBPROP& prop = set.rgProperties[p];
                switch (prop.dwPropertyID) {
                case DBPROP_COL_AUTOINCREMENT: info.m_isIdentity = prop.vValue.boolVal == VARIANT_TRUE; break;
                case DBPROP_COL_SEED: info.m_seed = prop.vValue.lVal; break;
                case DBPROP_COL_INCREMENT: info.m_increment = prop.vValue.lVal; break;
                default: break;
                }
            }
        }
        m_identityInfo.push_back(info);
    }
    FreeColumnDescs(descs, count);
    return hr;
}

bool OrvOleDbColumns::FetchNext() {
    if (!m_reader) return false;
    HRESULT hr = FetchWith(m_reader, m_firstFetch);
    return CheckResult(hr);
}

void OrvOleDbColumns::Close() { CloseReader(m_reader); }

#define ORV_COLUMN_GETTER(Name, field)                \
    bool OrvOleDbColumns::Name(CString& out) {        \
        if (!m_reader) return false;                  \
        out = FieldText(m_reader->GetRecord().field); \
        return !out.IsEmpty();                        \
    }

ORV_COLUMN_GETTER(GetCatalog, tableCatalog)
ORV_COLUMN_GETTER(GetSchema, tableSchema)
ORV_COLUMN_GETTER(GetTableName, tableName)
ORV_COLUMN_GETTER(GetName, columnName)
ORV_COLUMN_GETTER(GetDefault, columnDefault)
ORV_COLUMN_GETTER(GetDescription, description)

#undef ORV_COLUMN_GETTER

bool OrvOleDbColumns::HasDefault() { return m_reader && m_reader->GetRecord().columnHasDefault == VARIANT_TRUE; }
bool OrvOleDbColumns::IsNullable() { return m_reader && m_reader->GetRecord().isNullable == VARIANT_TRUE; }
unsigned short OrvOleDbColumns::DataType() { return m_reader ? m_reader->GetRecord().dataType : 0; }
bool OrvOleDbColumns::IsDataType(unsigned short type) { return m_reader && m_reader->GetRecord().dataType == type; }
unsigned int OrvOleDbColumns::MaxLength() { return m_reader ? m_reader->GetRecord().characterMaximumLength : 0; }
unsigned int OrvOleDbColumns::NumericPrecision() { return m_reader ? m_reader->GetRecord().numericPrecision : 0; }
unsigned int OrvOleDbColumns::NumericScale() {
    // Widened with its sign: a scale of -1 reads as 0xFFFFFFFF.
    return m_reader ? static_cast<unsigned int>(static_cast<int>(m_reader->GetRecord().numericScale)) : 0;
}
unsigned int OrvOleDbColumns::DateTimePrecision() { return m_reader ? m_reader->GetRecord().datetimePrecision : 0; }
unsigned int OrvOleDbColumns::OrdinalPosition() {
    return m_reader ? m_reader->GetRecord().ordinalPosition : 0xFFFFFFFFu;
}
unsigned int OrvOleDbColumns::Flags() { return m_reader ? m_reader->GetRecord().columnFlags : 0; }

unsigned int OrvOleDbColumns::Precision() {
    if (!m_reader) return 0;
    const auto& r = m_reader->GetRecord();
    switch (r.dataType) {
    case DBTYPE_I1:
    case DBTYPE_UI1: return 1;
    case DBTYPE_I2:
    case DBTYPE_UI2: return 2;
    case DBTYPE_I4:
    case DBTYPE_UI4:
    case DBTYPE_HCHAPTER: return 4;
    case DBTYPE_I8:
    case DBTYPE_UI8: return 8;
    case DBTYPE_ERROR: return 32;
    case DBTYPE_DATE:
    case DBTYPE_DBDATE:
    case DBTYPE_DBTIME:
    case DBTYPE_DBTIMESTAMP: return r.datetimePrecision;
    case DBTYPE_BSTR:
    case DBTYPE_BYTES:
    case DBTYPE_STR:
    case DBTYPE_WSTR: return r.characterMaximumLength != 0 ? r.characterMaximumLength : r.characterOctetLength;
    case DBTYPE_DECIMAL:
    case DBTYPE_NUMERIC:
    case DBTYPE_VARNUMERIC: return r.numericPrecision;
    default:
        if (r.characterMaximumLength) return r.characterMaximumLength;
        if (r.numericPrecision) return r.numericPrecision;
        if (r.datetimePrecision) return r.datetimePrecision;
        return r.characterOctetLength;
    }
}

bool OrvOleDbColumns::IsIdentity() {
    const unsigned int p = OrdinalPosition();
    if (m_identityInfo.empty() || p == 0 || p > m_identityInfo.size()) return false;
    return m_identityInfo[p - 1].m_isIdentity;
}

int OrvOleDbColumns::Seed() {
    const unsigned int p = OrdinalPosition();
    if (m_identityInfo.empty() || p == 0 || p > m_identityInfo.size()) return -1;
    return m_identityInfo[p - 1].m_seed;
}

int OrvOleDbColumns::Increment() {
    const unsigned int p = OrdinalPosition();
    if (m_identityInfo.empty() || p == 0 || p > m_identityInfo.size()) return -1;
    return m_identityInfo[p - 1].m_increment;
}
