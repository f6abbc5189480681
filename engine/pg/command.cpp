// The server provider's command, and how a session runs a statement: a query through a
// cursor that the rowset fetches in batches, anything else straight through.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "engine/command.h"
#include "engine/guard.h"
#include "engine/pg/provider.h"
#include "engine/pg/rows.h"
#include "engine/rowset.h"
#include "engine/sql/tokens.h"
#include "platform/utf.h"

namespace orv::engine::pg {
namespace {

class Command final : public platform::ComObject<ICommandText, ICommandProperties, ISupportErrorInfo> {
public:
    explicit Command(Session* session) : m_session(session) { m_session->AddRef(); }
    ~Command() override { m_session->Release(); }

    // Another thread may call this while Execute or a rowset's fetch waits for the server:
    // the server stops that statement, which then fails with DB_E_CANCELED (SQLSTATE
    // 57014), and under a transaction only that statement's savepoint is undone. With
    // nothing running the server ignores the request. The request travels on a connection
    // of its own, so it never meets the session's traffic on the link.
    HRESULT STDMETHODCALLTYPE Cancel() override { return m_session->GetLink()->Cancel() ? S_OK : DB_E_CANTCANCEL; }
    HRESULT STDMETHODCALLTYPE Execute(IUnknown* pUnkOuter, REFIID riid, DBPARAMS* pParams, DBROWCOUNT* pcRowsAffected,
                                      IUnknown** ppRowset) override {
        return GuardMethod(IID_ICommand, [&]() -> HRESULT {
            if (ppRowset) *ppRowset = nullptr;
            if (pcRowsAffected) *pcRowsAffected = DB_COUNTUNAVAILABLE;
            if (pUnkOuter) return DB_E_NOAGGREGATION;
            if (HasParameters(pParams))
                return Report(Status::Error(DB_E_PARAMNOTOPTIONAL, kNoParameters), IID_ICommand);
            if (m_text.Empty()) return Report(Status::Error(DB_E_NOCOMMAND, u"No command text was set."), IID_ICommand);
            Status status =
                m_session->Execute(platform::Utf16ToUtf8(m_text.Text()), Identity(), riid, pcRowsAffected, ppRowset);
            return Report(status, IID_ICommand);
        });
    }
    HRESULT STDMETHODCALLTYPE GetDBSession(REFIID riid, IUnknown** ppSession) override {
        if (!ppSession) return E_INVALIDARG;
        *ppSession = nullptr;
        return m_session->QueryInterface(riid, reinterpret_cast<void**>(ppSession));
    }
    HRESULT STDMETHODCALLTYPE GetCommandText(GUID* pguidDialect, LPOLESTR* ppwszCommand) override {
        return GuardMethod(IID_ICommandText, [&] { return m_text.Get(pguidDialect, ppwszCommand); });
    }
    HRESULT STDMETHODCALLTYPE SetCommandText(REFGUID rguidDialect, LPCOLESTR pwszCommand) override {
        return GuardMethod(IID_ICommandText, [&] { return m_text.Set(rguidDialect, pwszCommand); });
    }
    HRESULT STDMETHODCALLTYPE GetProperties(ULONG cSets, const DBPROPIDSET rgSets[], ULONG* pcSets,
                                            DBPROPSET** prgSets) override {
        return GuardMethod(IID_ICommandProperties,
                           [&] { return m_text.GetProperties(cSets, rgSets, pcSets, prgSets); });
    }
    HRESULT STDMETHODCALLTYPE SetProperties(ULONG cSets, DBPROPSET rgSets[]) override {
        return GuardMethod(IID_ICommandProperties, [&] { return m_text.SetProperties(cSets, rgSets); });
    }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID) override { return S_OK; }

private:
    Session* m_session;  // one reference held
    CommandText m_text;
};

bool StartsWithWord(std::string_view text, const char* word) {
    const std::size_t n = std::strlen(word);
    if (text.size() < n || strncasecmp(text.data(), word, n) != 0) return false;
    return text.size() == n || !(std::isalnum(static_cast<unsigned char>(text[n])) || text[n] == '_');
}

// The statement's first word, past blanks, comments and opening parentheses.
std::string_view FirstWord(std::string_view sql) { return sql.substr(SkipTrivia(sql, "(")); }

// Statements that a cursor can run: they return rows and change nothing.
bool IsQuery(std::string_view sql) {
    std::string_view first = FirstWord(sql);
    for (const char* word : {"SELECT", "WITH", "VALUES", "TABLE"})
        if (StartsWithWord(first, word)) return true;
    return false;
}

bool ChangesRows(const PGresult* result) {
    const char* tag = PQcmdStatus(const_cast<PGresult*>(result));
    for (const char* word : {"INSERT", "UPDATE", "DELETE", "MERGE"})
        if (tag && StartsWithWord(tag, word)) return true;
    return false;
}

}  // namespace

HRESULT CreateCommand(Session* session, REFIID riid, void** ppv) {
    return platform::CreateComObject<Command>(nullptr, riid, ppv, session);
}

Status Session::Execute(const std::string& text, IUnknown* specification, REFIID riid, DBROWCOUNT* rowsAffected,
                        IUnknown** rowset) {
    if (rowsAffected) *rowsAffected = DB_COUNTUNAVAILABLE;
    const std::string sql = ServeWindowsFunctions(text);
    const bool wantsRows = rowset && riid != IID_NULL;
    Result result;
    if (wantsRows && IsQuery(sql)) {
        // A scrollable cursor that outlives the transaction: rows come in batches, and a move
        // backwards asks the server for the rows again rather than keeping them here.
        const std::string cursor = m_link->OpenCursor();
        Status declared = m_link->RunGuarded("DECLARE " + cursor + " SCROLL CURSOR WITH HOLD FOR " + sql, result);
        if (declared.Ok()) {
            Status fetched =
                m_link->RunGuarded("FETCH FORWARD " + std::to_string(kFetchBatch) + " FROM " + cursor, result);
            if (fetched.Ok())
                return Rowset::Open(Identity(), specification,
                                    std::make_unique<ResultSource>(m_link, cursor, std::move(result)), riid, rowset);
            if (m_link->ForgetCursor(cursor) && m_link->Alive()) m_link->RunGuarded("CLOSE " + cursor, result);
            return fetched;
        }
        m_link->ForgetCursor(cursor);
        // A query no cursor can hold (SELECT ... INTO, a WITH that changes data) runs as it
        // is; so does one with an error in its text, whose position then counts from its
        // own first character.
        if (!m_link->Alive() || (declared.sqlState.rfind(u"42", 0) != 0 && declared.sqlState.rfind(u"0A", 0) != 0))
            return declared;
    }
    Status status = m_link->RunGuarded(sql, result);
    if (!status.Ok()) return status;
    if (wantsRows && PQresultStatus(result.get()) == PGRES_TUPLES_OK)
        return Rowset::Open(Identity(), specification, std::make_unique<ResultSource>(m_link, "", std::move(result)),
                            riid, rowset);
    if (rowsAffected && ChangesRows(result.get()))
        *rowsAffected = static_cast<DBROWCOUNT>(std::strtoll(PQcmdTuples(result.get()), nullptr, 10));
    return Status::Success();
}

std::string ServeWindowsFunctions(const std::string& sql) {
    std::string out;
    out.reserve(sql.size());
    const std::size_t n = sql.size();
    std::size_t i = 0;
    auto copyUntil = [&](std::size_t end) {
        end = std::min(end, n);
        out.append(sql, i, end - i);
        i = end;
    };
    while (i < n) {
        const char c = sql[i];
        if (c == '\'' || c == '"') {
            // A literal or a quoted name; a doubled quote stays inside. E'...' escapes with \.
            const bool escapes = c == '\'' && i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e');
            std::size_t j = i + 1;
            while (j < n) {
                if (escapes && sql[j] == '\\') {
                    j += 2;
                } else if (sql[j] == c) {
                    if (j + 1 < n && sql[j + 1] == c) j += 2;
                    else break;
                } else {
                    ++j;
                }
            }
            copyUntil(j + 1);
        } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            copyUntil(sql.find('\n', i));
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            std::size_t end = sql.find("*/", i + 2);
            copyUntil(end == std::string::npos ? n : end + 2);
        } else if (c == '$' &&
                   (i == 0 || !(std::isalnum(static_cast<unsigned char>(sql[i - 1])) || sql[i - 1] == '_'))) {
            // A dollar-quoted literal, $$...$$ or $tag$...$tag$.
            std::size_t close = sql.find('$', i + 1);
            if (close == std::string::npos) {
                copyUntil(n);
                continue;
            }
            const std::string tag = sql.substr(i, close - i + 1);
            bool isTag = true;
            for (std::size_t k = 1; k + 1 < tag.size(); ++k)
                isTag = isTag && (std::isalnum(static_cast<unsigned char>(tag[k])) || tag[k] == '_');
            if (!isTag) {
                copyUntil(i + 1);
                continue;
            }
            std::size_t end = sql.find(tag, close + 1);
            copyUntil(end == std::string::npos ? n : end + tag.size());
        } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            std::size_t j = i;
            while (j < n && (std::isalnum(static_cast<unsigned char>(sql[j])) || sql[j] == '_' || sql[j] == '$')) ++j;
            std::size_t k = j;
            while (k < n && std::isspace(static_cast<unsigned char>(sql[k]))) ++k;
            std::size_t close = k < n && sql[k] == '(' ? k + 1 : std::string::npos;
            while (close != std::string::npos && close < n && std::isspace(static_cast<unsigned char>(sql[close])))
                ++close;
            const bool call = close != std::string::npos && close < n && sql[close] == ')';
            const bool qualified = i > 0 && sql[i - 1] == '.';
            const std::string_view word(sql.data() + i, j - i);
            if (call && !qualified && word.size() == 4 && strncasecmp(word.data(), "Date", 4) == 0) {
                out += "CURRENT_DATE";
                i = close + 1;
            } else if (call && !qualified && word.size() == 4 && strncasecmp(word.data(), "Time", 4) == 0) {
                out += "LOCALTIME(0)";
                i = close + 1;
            } else {
                copyUntil(j);
            }
        } else {
            copyUntil(i + 1);
        }
    }
    return out;
}

}  // namespace orv::engine::pg
