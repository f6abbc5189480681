#include "engine/pg/link.h"

#include <cstring>

#include "platform/format.h"
#include "platform/utf.h"

namespace orv::engine::pg {
namespace {

// What the consumer is told for each class of SQLSTATE.
HRESULT CodeOf(const std::string& state) {
    if (state == "42P01") return DB_E_NOTABLE;
    if (state == "42P07") return DB_E_DUPLICATETABLEID;
    if (state == "42501") return DB_SEC_E_PERMISSIONDENIED;
    if (state.rfind("23", 0) == 0) return DB_E_INTEGRITYVIOLATION;
    if (state.rfind("42", 0) == 0) return DB_E_ERRORSINCOMMAND;
    if (state.rfind("28", 0) == 0) return DB_SEC_E_AUTH_FAILED;
    if (state == "57014") return DB_E_CANCELED;
    return E_FAIL;
}

// The server's (or libpq's) words as they are, without trailing line feeds, ending in a stop
// unless they end in a question or an exclamation already.
std::u16string Sentence(const char* text) {
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    std::u16string out = platform::Utf8ToUtf16(s);
    if (!out.empty() && out.back() != u'.' && out.back() != u'?' && out.back() != u'!') out += u'.';
    return out;
}

// A refused connection carries no result, so no SQLSTATE field: the server's words say
// which one it sent.
std::string ConnectionState(const char* message) {
    std::string m = message ? message : "";
    if (m.find("password authentication failed") != std::string::npos) return "28P01";
    if (m.find("no password supplied") != std::string::npos) return "28P01";
    if (m.find("database \"") != std::string::npos && m.find("does not exist") != std::string::npos) return "3D000";
    if (m.find("role \"") != std::string::npos && m.find("does not exist") != std::string::npos) return "28000";
    if (m.find("no pg_hba.conf entry") != std::string::npos) return "28000";
    if (m.find("too many clients") != std::string::npos) return "53300";
    if (m.find("invalid connection option") != std::string::npos || m.find("invalid ") == 0) return "08001";
    return "08001";
}

}  // namespace

Status ServerFailure(PGconn* conn, const PGresult* result) {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (!state) {
        return Status::Error(
            E_FAIL, u"The connection to the PostgreSQL server failed: " + Sentence(PQerrorMessage(conn)), u"08006");
    }
    std::u16string message = Sentence(PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY));
    if (const char* detail = PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL)) message += u" " + Sentence(detail);
    if (const char* hint = PQresultErrorField(result, PG_DIAG_MESSAGE_HINT)) message += u" " + Sentence(hint);
    LONG position = 0;
    if (const char* at = PQresultErrorField(result, PG_DIAG_STATEMENT_POSITION)) {
        position = std::atoi(at);
        message += platform::Format(u" (at character %d of the statement)", static_cast<int>(position));
    }
    return Status::Error(CodeOf(state), message, platform::Utf8ToUtf16(state), position);
}

Status Link::Open(const ConnectParameters& parameters, std::shared_ptr<Link>& out) {
    std::vector<const char*> keys, values;
    for (const auto& [key, value] : parameters) {
        keys.push_back(key.c_str());
        values.push_back(value.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    // expand_dbname: a "dbname" that is a postgresql:// address is read as one, and the
    // keys after it override its parts.
    PGconn* conn = PQconnectdbParams(keys.data(), values.data(), 1);
    if (!conn) return Status::Error(E_OUTOFMEMORY, u"Out of memory while connecting to the PostgreSQL server.");
    if (PQstatus(conn) != CONNECTION_OK) {
        std::string state = ConnectionState(PQerrorMessage(conn));
        Status status =
            Status::Error(state.rfind("28", 0) == 0 ? DB_SEC_E_AUTH_FAILED : E_FAIL,
                          u"The PostgreSQL server refused the connection: " + Sentence(PQerrorMessage(conn)),
                          platform::Utf8ToUtf16(state));
        PQfinish(conn);
        return status;
    }
    out.reset(new Link(conn));
    // Text forms the engine reads back: ISO dates, money without a locale's symbols.
    return out->Run("SET DateStyle TO ISO, YMD; SET IntervalStyle TO iso_8601; SET lc_monetary TO 'C'");
}

Link::~Link() {
    if (m_cancel) PQfreeCancel(m_cancel);
    PQfinish(m_conn);
}

bool Link::Cancel() {
    if (!m_cancel) return false;
    char error[256];
    return PQcancel(m_cancel, error, sizeof error) == 1;
}

Status Link::Finish(PGresult* raw, Result* result, int expected) {
    Result owned(raw);
    ExecStatusType got = raw ? PQresultStatus(raw) : PGRES_FATAL_ERROR;
    bool ok = expected ? got == expected : (got == PGRES_COMMAND_OK || got == PGRES_TUPLES_OK);
    if (!ok) return ServerFailure(m_conn, raw);
    if (result) *result = std::move(owned);
    return Status::Success();
}

Status Link::Run(const std::string& sql, Result* result, int expected) {
    return Finish(PQexec(m_conn, sql.c_str()), result, expected);
}

Status Link::RunWith(const std::string& sql, const std::vector<const char*>& parameters, Result* result) {
    return Finish(PQexecParams(m_conn, sql.c_str(), static_cast<int>(parameters.size()), nullptr, parameters.data(),
                               nullptr, nullptr, 0),
                  result, 0);
}

Status Link::RunGuarded(const std::string& sql, Result& result) {
    if (m_level == 0) return Run(sql, &result);
    Status status = Run("SAVEPOINT orv_statement");
    if (!status.Ok()) return status;
    status = Run(sql, &result);
    // Undoing the failed statement alone keeps the transaction going; its error stays the news.
    Run(status.Ok() ? "RELEASE orv_statement" : "ROLLBACK TO orv_statement; RELEASE orv_statement");
    return status;
}

void Link::TransactionEnded(bool committed) {
    if (m_level == 0) return;
    for (auto it = m_cursors.begin(); it != m_cursors.end();) {
        if (it->second >= m_level) {
            // A rolled-back level closes its cursors on the server; a committed one hands
            // them to the level around it (cursors are WITH HOLD, so they outlive a COMMIT).
            if (!committed) {
                it = m_cursors.erase(it);
                continue;
            }
            it->second = m_level - 1;
        }
        ++it;
    }
    --m_level;
}

std::string Link::OpenCursor() {
    std::string name = "orv_cursor_" + std::to_string(++m_cursorCount);
    m_cursors[name] = m_level;
    return name;
}

bool Link::ForgetCursor(const std::string& name) { return m_cursors.erase(name) > 0; }

}  // namespace orv::engine::pg
