// Recordsets: a connection from the cache, of their own or of the host, and SELECT and
// COUNT statements over one table.
#include "OrvOleDbRecordset.h"

#include "OrvOleDbConnectionCache.h"
#include "OrvOleDbHelper.h"

namespace {

// Null, empty, or nothing but white space and control characters.
bool IsBlank(const WCHAR* text) {
    if (!text) return true;
    for (; *text; ++text) {
        const char16_t c = *text;
        const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
        if (!control && !orv::platform::IsSpace16(c)) return false;
    }
    return true;
}

}  // namespace

OrvOleDbRecordset::OrvOleDbRecordset(ConnectType type) : m_connectType(type) {}

OrvOleDbRecordset::~OrvOleDbRecordset() { OrvOleDbRecordset::Close(); }

void OrvOleDbRecordset::ReleaseConnection() {
    if (!m_connection) return;
    switch (m_connectType) {
    case ctCached:
        if (OrvOleDbConnectionCache* cache = OrvOleDbConnectionCache::GetCacheManager()) {
            OrvOleDbConnection* connection = m_connection;
            cache->Cache(connection);  // the cache takes it over, whatever it does with it
        }
        break;
    case ctPrivate:
        m_connection->Close();
        delete m_connection;
        break;
    case ctExternal: break;
    }
    m_connection = nullptr;
}

void OrvOleDbRecordset::Close() {
    OrvOleDbCommand::Close();
    ReleaseConnection();
}

bool OrvOleDbRecordset::Open(const CComBSTR& init, bool prompt) {
    Close();
    switch (m_connectType) {
    case ctCached: {
        OrvOleDbConnectionCache* cache = OrvOleDbConnectionCache::GetCacheManager();
        m_connection = cache ? cache->Connect(init, prompt) : nullptr;
        if (!m_connection) {
            CheckResult(S_OK);
            m_errorText = cache ? cache->GetErrorInfo(false)
                                : CString(u"The connection cache does not exist: the library is not loaded.");
        }
        break;
    }
    case ctPrivate: {
        auto* connection = new (std::nothrow) OrvOleDbConnection;
        m_connection = connection;
        if (connection && !CheckResult(connection->OpenFromInitializationString(init, prompt))) {
            m_errorText = connection->GetErrorInfo(false);
            delete connection;
            m_connection = nullptr;
        }
        break;
    }
    case ctExternal: break;
    }
    return m_connection != nullptr;
}

void OrvOleDbRecordset::SetConnection(OrvOleDbConnection* connection) {
    if (m_connectType != ctExternal) return;
    if (connection && connection != m_connection) {
        Close();
        m_connection = connection;
    }
    OrvOleDbCommand::SetConnection(m_connection);
}

bool OrvOleDbRecordset::CanQuery(const WCHAR* table) const {
    return m_connection && m_connection->IsConnected() && !IsBlank(table);
}

bool OrvOleDbRecordset::GetRecNum(const WCHAR* table, const WCHAR* where) {
    if (!CanQuery(table)) return false;
    OrvOleDbCommand::Close();
    CString statement;
    statement.Format(CountTemplate, table);
    if (!IsBlank(where)) statement.AppendFormat(WhereTemplate, where);
    SetCommandText(statement);
    return Execute() == dbTrue;
}

bool OrvOleDbRecordset::GetRecords(const WCHAR* table, const WCHAR* columns, const WCHAR* where, const WCHAR* orderBy) {
    if (!CanQuery(table) || IsBlank(columns)) return false;
    OrvOleDbCommand::Close();
    CString statement;
    statement.Format(SelectTemplate, columns, table);
    if (!IsBlank(where)) statement.AppendFormat(WhereTemplate, where);
    if (!IsBlank(orderBy)) statement.AppendFormat(OrderByTemplate, orderBy);
    SetCommandText(statement);
    return Execute() == dbTrue;
}
