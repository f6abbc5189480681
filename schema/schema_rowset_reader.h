// SchemaRowsetReader: one open schema rowset of the provider, read row by row into a fixed
// record whose fields the catalogs read. The three records below bind the columns of the
// TABLES, COLUMNS and INDEXES rowsets by ordinal, value part only; text is bound as
// DBTYPE_WSTR into 129 characters, so a field holds at most 128 characters and its
// terminator.
//
// Ownership: a catalog owns its reader from Open to Close; the reader owns its restriction
// values, one reference on the rowset, the accessor and the row it holds. The record is
// valid until the next move or Close. One thread at a time.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

#include "OrvOleDbCatalogs.h"
#include "platform/platform.h"

namespace orv::schema {

inline constexpr std::size_t kTextField = 129;  // characters, terminator included
using TextField = WCHAR[kTextField];

struct TablesRecord {
    TextField tableCatalog;
    TextField tableSchema;
    TextField tableName;
    TextField tableType;
    GUID tableGuid;
    TextField description;

    static std::vector<DBBINDING> Bindings();
};

struct ColumnsRecord {
    TextField tableCatalog;
    TextField tableSchema;
    TextField tableName;
    TextField columnName;
    GUID columnGuid;
    ULONG columnPropid;
    ULONG ordinalPosition;
    VARIANT_BOOL columnHasDefault;
    TextField columnDefault;
    ULONG columnFlags;
    VARIANT_BOOL isNullable;
    USHORT dataType;
    GUID typeGuid;
    ULONG characterMaximumLength;
    ULONG characterOctetLength;
    USHORT numericPrecision;
    SHORT numericScale;
    ULONG datetimePrecision;
    TextField characterSetCatalog;
    TextField characterSetSchema;
    TextField characterSetName;
    TextField collationCatalog;
    TextField collationSchema;
    TextField collationName;
    TextField domainCatalog;
    TextField domainSchema;
    TextField domainName;
    TextField description;

    static std::vector<DBBINDING> Bindings();
};

struct IndexesRecord {
    TextField tableCatalog;
    TextField tableSchema;
    TextField tableName;
    TextField indexCatalog;
    TextField indexSchema;
    TextField indexName;
    VARIANT_BOOL primaryKey;
    VARIANT_BOOL unique;
    VARIANT_BOOL clustered;
    USHORT type;
    LONG fillFactor;
    LONG initialSize;
    LONG nulls;
    VARIANT_BOOL sortBookmarks;
    VARIANT_BOOL autoUpdate;
    LONG nullCollation;
    ULONG ordinalPosition;
    TextField columnName;
    GUID columnGuid;
    ULONG columnPropid;
    SHORT collation;
    ULONGLONG cardinality;
    LONG pages;
    VARIANT_BOOL integrated;

    static std::vector<DBBINDING> Bindings();
};

// A binding of the value part of column `ordinal` at `offset`.
DBBINDING ValueBinding(DBORDINAL ordinal, DBTYPE type, std::size_t offset, DBLENGTH size);

// The text of a record field as a string: up to its terminator, at most 128 characters.
CString FieldText(const WCHAR* field);

template <class Record, ULONG RestrictionCount, const GUID& Schema>
class SchemaRowsetReader {
public:
    // The restriction array is allocated here; failing that is an allocation failure of
    // the library's own routines, raised as they raise it.
    SchemaRowsetReader() {
        std::memset(&m_record, 0, sizeof m_record);
        m_restrictions = new (std::nothrow) VARIANT[RestrictionCount];
        if (!m_restrictions) AfxThrowOleException(E_FAIL);
        for (ULONG i = 0; i < RestrictionCount; ++i) VariantInit(&m_restrictions[i]);
    }
    ~SchemaRowsetReader() {
        Close();
        for (ULONG i = 0; i < RestrictionCount; ++i) VariantClear(&m_restrictions[i]);
        delete[] m_restrictions;
    }
    SchemaRowsetReader(const SchemaRowsetReader&) = delete;
    SchemaRowsetReader& operator=(const SchemaRowsetReader&) = delete;

    // `restrictions` holds RestrictionCount entries: null for none, an empty text for an
    // empty restriction. S_OK once the rowset is open and (with `bind`) the accessor made.
    HRESULT Open(const CSession& session, const WCHAR* const (&restrictions)[RestrictionCount], bool bind) {
        for (ULONG i = 0; i < RestrictionCount; ++i) {
            if (!restrictions[i]) continue;
            BSTR copy = SysAllocString(restrictions[i]);
            if (!copy) return E_OUTOFMEMORY;
            VariantClear(&m_restrictions[i]);
            m_restrictions[i].vt = VT_BSTR;
            m_restrictions[i].bstrVal = copy;
        }
        if (!session.m_spOpenRowset) return E_FAIL;
        IDBSchemaRowset* schemaRowset = nullptr;
        HRESULT hr =
            session.m_spOpenRowset->QueryInterface(IID_IDBSchemaRowset, reinterpret_cast<void**>(&schemaRowset));
        if (FAILED(hr)) return hr;
        hr = schemaRowset->GetRowset(nullptr, Schema, RestrictionCount, m_restrictions, IID_IRowset, 0, nullptr,
                                     reinterpret_cast<IUnknown**>(&m_rowset));
        schemaRowset->Release();
        if (FAILED(hr)) return hr;
        if (!bind) return hr;
        IAccessor* accessor = nullptr;
        hr = m_rowset->QueryInterface(IID_IAccessor, reinterpret_cast<void**>(&accessor));
        if (FAILED(hr)) return hr;
        const std::vector<DBBINDING> bindings = Record::Bindings();
        hr = accessor->CreateAccessor(DBACCESSOR_ROWDATA, bindings.size(), bindings.data(), sizeof(Record), &m_accessor,
                                      nullptr);
        accessor->Release();
        if (FAILED(hr)) return hr;
        return S_OK;
    }

    HRESULT MoveFirst() {
        ClearRecord();
        ReleaseRow();
        if (!m_rowset) return E_UNEXPECTED;
        HRESULT hr = m_rowset->RestartPosition(DB_NULL_HCHAPTER);
        if (FAILED(hr)) return hr;
        return Fetch();
    }

    // S_OK on a row; DB_S_ENDOFROWSET past the last one (the record is then all zero).
    HRESULT MoveNext() {
        ClearRecord();
        ReleaseRow();
        return Fetch();
    }

    void Close() {
        ClearRecord();
        if (m_rowset && m_accessor) {
            IAccessor* accessor = nullptr;
            if (SUCCEEDED(m_rowset->QueryInterface(IID_IAccessor, reinterpret_cast<void**>(&accessor)))) {
                accessor->ReleaseAccessor(m_accessor, nullptr);
                accessor->Release();
            }
        }
        m_accessor = DB_NULL_HACCESSOR;
        ReleaseRow();
        if (m_rowset) m_rowset->Release();
        m_rowset = nullptr;
    }

    const Record& GetRecord() const { return m_record; }

private:
    HRESULT Fetch() {
        if (!m_rowset) return E_UNEXPECTED;
        DBCOUNTITEM obtained = 0;
        HROW* rows = &m_row;
        HRESULT hr = m_rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 1, &obtained, &rows);
        if (hr != S_OK) {
            m_row = DB_NULL_HROW;
            return hr;
        }
        hr = m_rowset->GetData(m_row, m_accessor, &m_record);
        if (FAILED(hr)) ReleaseRow();
        return hr;
    }
    void ClearRecord() { std::memset(&m_record, 0, sizeof m_record); }
    void ReleaseRow() {
        if (m_row != DB_NULL_HROW && m_rowset) m_rowset->ReleaseRows(1, &m_row, nullptr, nullptr, nullptr);
        m_row = DB_NULL_HROW;
    }

    Record m_record;
    IRowset* m_rowset = nullptr;  // one reference, from a successful Open
    HACCESSOR m_accessor = DB_NULL_HACCESSOR;
    HROW m_row = DB_NULL_HROW;
    VARIANT* m_restrictions = nullptr;  // RestrictionCount entries, cleared on destruction
};

// The catalogs' shared steps over their reader: the first fetch after Open restarts at the
// first row, every later one moves to the next.
template <class Reader>
HRESULT FetchWith(Reader* reader, bool& firstFetch) {
    if (!firstFetch) return reader->MoveNext();
    firstFetch = false;
    return reader->MoveFirst();
}

// Ends a catalog's reading: the reader releases its rowset and is destroyed.
template <class Reader>
void CloseReader(Reader*& reader) {
    if (!reader) return;
    reader->Close();
    delete reader;
    reader = nullptr;
}

}  // namespace orv::schema
