// The engine's command: compiles the command text and runs it.
#include "engine/command.h"

#include <cstring>

#include "engine/guard.h"
#include "engine/provider.h"
#include "engine/rowset.h"
#include "engine/sql/ddl.h"
#include "engine/sql/tokens.h"
#include "platform/format.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

constexpr DBPROPFLAGS kRowsetWrite = DBPROPFLAGS_ROWSET | DBPROPFLAGS_READ | DBPROPFLAGS_WRITE;

// The rowset properties a consumer may ask of a command. The engine's rowsets always scroll
// and fetch both ways and offer both stream interfaces, so asking costs nothing.
const PropertyInfo kCommandProperties[] = {
    {&DBPROPSET_ROWSET, DBPROP_CANFETCHBACKWARDS, VT_BOOL, kRowsetWrite, u"Fetch Backwards"},
    {&DBPROPSET_ROWSET, DBPROP_CANSCROLLBACKWARDS, VT_BOOL, kRowsetWrite, u"Scroll Backwards"},
    {&DBPROPSET_ROWSET, DBPROP_CANHOLDROWS, VT_BOOL, kRowsetWrite, u"Hold Rows"},
    {&DBPROPSET_ROWSET, DBPROP_ISequentialStream, VT_BOOL, kRowsetWrite, u"ISequentialStream"},
    {&DBPROPSET_ROWSET, DBPROP_IStream, VT_BOOL, kRowsetWrite, u"IStream"},
    {&DBPROPSET_ROWSET, DBPROP_IRowset, VT_BOOL, kRowsetWrite, u"IRowset"},
    {&DBPROPSET_ROWSET, DBPROP_IAccessor, VT_BOOL, kRowsetWrite, u"IAccessor"},
    {&DBPROPSET_ROWSET, DBPROP_IColumnsInfo, VT_BOOL, kRowsetWrite, u"IColumnsInfo"},
    {&DBPROPSET_ROWSET, DBPROP_IRowsetInfo, VT_BOOL, kRowsetWrite, u"IRowsetInfo"},
    {&DBPROPSET_ROWSET, DBPROP_COMMANDTIMEOUT, VT_I4, kRowsetWrite, u"Command Time Out"},
    {&DBPROPSET_ROWSET, DBPROP_MAXROWS, VT_I4, kRowsetWrite, u"Maximum Rows"},
};

// What follows a statement: only blanks, comments and semicolons may.
bool OnlyTrivia(std::string_view tail) { return SkipTrivia(tail, ";") == tail.size(); }

// True for statements whose changed-row count means something.
bool ChangesRows(std::string_view sql) {
    sql.remove_prefix(SkipTrivia(sql, "("));
    for (const char* word : {"INSERT", "UPDATE", "DELETE", "REPLACE"}) {
        std::size_t n = std::strlen(word);
        if (sql.size() >= n && strncasecmp(sql.data(), word, n) == 0) return true;
    }
    return false;
}

bool Contains(const char* text, const char* part) { return text && std::strstr(text, part); }

}  // namespace

Status StatementFailure(sqlite3* db, int rc) {
    const char* raw = sqlite3_errmsg(db);
    std::u16string message = platform::Utf8ToUtf16(raw ? raw : sqlite3_errstr(rc));
    if (!message.empty()) message[0] = platform::ToUpper16(message[0]);
    if (message.empty() || message.back() != u'.') message += u".";
    switch (rc & 0xFF) {
    case SQLITE_INTERRUPT:
        return Status::Error(DB_E_CANCELED, u"The statement was cancelled before it finished.", u"HY008", rc);
    case SQLITE_CONSTRAINT: return Status::Error(DB_E_INTEGRITYVIOLATION, message, u"23000", rc);
    case SQLITE_NOMEM:
        return Status::Error(E_OUTOFMEMORY, u"There is not enough memory to run the statement: " + message, u"HY001",
                             rc);
    case SQLITE_READONLY:
        // SQLite's own words need the reason; a store's refusal already gives it.
        if (!Contains(raw, "readonly database")) return Status::Error(DB_SEC_E_PERMISSIONDENIED, message, u"42000", rc);
        return Status::Error(DB_SEC_E_PERMISSIONDENIED,
                             u"The database is open read-only (Mode=Read, or a file you may not write): " + message,
                             u"42000", rc);
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return Status::Error(E_FAIL, u"The database is locked by another program or connection: " + message, u"HYT00",
                             rc);
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN: {
        // A user acts on a full disk or a failing device by where the file is: name it (a
        // text folder's in-memory database has no file).
        const char* file = sqlite3_db_filename(db, "main");
        std::u16string detail = platform::Utf8ToUtf16(raw ? raw : sqlite3_errstr(rc));
        if ((rc & 0xFF) == SQLITE_FULL)
            return Status::Error(E_FAIL,
                                 file && *file ? platform::Format(u"The disk is full: the database file '%s' could not "
                                                                  u"be written (%s).",
                                                                  platform::Utf8ToUtf16(file).c_str(), detail.c_str())
                                               : u"The disk is full: " + message,
                                 u"HY000", rc);
        if (file && *file && (rc & 0xFF) == SQLITE_CANTOPEN)
            // The database is open already: what could not be opened is its journal.
            return Status::Error(E_FAIL,
                                 platform::Format(u"The database file '%s' could not be changed: its rollback journal "
                                                  u"could not be made beside it (%s); check that the folder can be "
                                                  u"written and has space.",
                                                  platform::Utf8ToUtf16(file).c_str(), detail.c_str()),
                                 u"HY000", rc);
        if (file && *file)
            return Status::Error(E_FAIL,
                                 platform::Format(u"The database file '%s' could not be read or written: %s.",
                                                  platform::Utf8ToUtf16(file).c_str(), detail.c_str()),
                                 u"HY000", rc);
        return Status::Error(E_FAIL, message, u"HY000", rc);
    }
    case SQLITE_ERROR:
        if (Contains(raw, "no such table")) return Status::Error(DB_E_NOTABLE, message, u"42S02", rc);
        if (Contains(raw, "no such column")) return Status::Error(DB_E_ERRORSINCOMMAND, message, u"42S22", rc);
        if (Contains(raw, "already exists")) return Status::Error(DB_E_DUPLICATETABLEID, message, u"42S01", rc);
        return Status::Error(DB_E_ERRORSINCOMMAND, message, u"42000", rc);
    default: return Status::Error(E_FAIL, message, u"HY000", rc);
    }
}

Status RunStatement(Session* session, IUnknown* specification, sqlite3_stmt* statement, REFIID riid,
                    DBROWCOUNT* rowsAffected, IUnknown** rowset) {
    if (rowsAffected) *rowsAffected = DB_COUNTUNAVAILABLE;
    if (sqlite3_column_count(statement) > 0 && riid != IID_NULL && rowset) {
        Rowset* result = nullptr;
        Status status = Rowset::Create(session, specification, statement, &result);
        if (!status.Ok()) return status;
        HRESULT hr = result->QueryInterface(riid, reinterpret_cast<void**>(rowset));
        result->Release();
        return hr == S_OK ? Status::Success()
                          : Status::Error(hr, u"The rowset does not offer the interface asked for.");
    }
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {}
    Status status = rc == SQLITE_DONE ? Status::Success() : StatementFailure(session->Db(), rc);
    if (status.Ok() && rowsAffected && ChangesRows(sqlite3_sql(statement)))
        *rowsAffected = static_cast<DBROWCOUNT>(sqlite3_changes64(session->Db()));
    sqlite3_finalize(statement);
    return status;
}

CommandText::CommandText() : m_properties(kCommandProperties) {}

HRESULT CommandText::Get(GUID* pguidDialect, LPOLESTR* ppwszCommand) const {
    if (!ppwszCommand) return E_INVALIDARG;
    *ppwszCommand = nullptr;
    if (!m_hasText) {
        if (pguidDialect) *pguidDialect = DB_NULLGUID;
        return Report(Status::Error(DB_E_NOCOMMAND, u"No command text was set."), IID_ICommandText);
    }
    auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((m_text.size() + 1) * sizeof(OLECHAR)));
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy, m_text.c_str(), (m_text.size() + 1) * sizeof(OLECHAR));
    *ppwszCommand = copy;
    if (pguidDialect) *pguidDialect = DBGUID_DEFAULT;
    return S_OK;
}

HRESULT CommandText::Set(REFGUID rguidDialect, LPCOLESTR pwszCommand) {
    if (rguidDialect != DBGUID_DEFAULT && rguidDialect != DBGUID_SQL && rguidDialect != DBGUID_DBSQL)
        return Report(Status::Error(DB_E_DIALECTNOTSUPPORTED, u"The engine understands SQL only."), IID_ICommandText);
    m_hasText = pwszCommand && *pwszCommand;
    m_text = pwszCommand ? pwszCommand : u"";
    return S_OK;
}

HRESULT CommandText::GetProperties(ULONG cSets, const DBPROPIDSET rgSets[], ULONG* pcSets, DBPROPSET** prgSets) const {
    return m_properties.Get(
        cSets, rgSets, pcSets, prgSets, [](const GUID& set) { return set == DBPROPSET_ROWSET; },
        [](const GUID&, DBPROPID, VARIANT*) { return false; });
}

HRESULT CommandText::SetProperties(ULONG cSets, DBPROPSET rgSets[]) {
    return m_properties.Set(cSets, rgSets, [](const GUID& set) { return set == DBPROPSET_ROWSET; });
}

bool HasParameters(const DBPARAMS* params) { return params && params->cParamSets && params->pData; }

Command::Command(Session* session) : m_session(session) { m_session->AddRef(); }

Command::~Command() {
    DropPrepared();
    m_session->Release();
}

void Command::DropPrepared() {
    sqlite3_finalize(m_prepared);
    m_prepared = nullptr;
}

// Another thread may call this while Execute or the rowset's fetches step a statement: the
// step in progress stops and fails with DB_E_CANCELED. SQLite allows the interrupt from
// any thread while the connection is open, which the session reference guarantees.
HRESULT Command::Cancel() {
    sqlite3_interrupt(m_session->Db());
    return S_OK;
}

HRESULT Command::GetDBSession(REFIID riid, IUnknown** ppSession) {
    if (!ppSession) return E_INVALIDARG;
    *ppSession = nullptr;
    return m_session->QueryInterface(riid, reinterpret_cast<void**>(ppSession));
}

HRESULT Command::GetCommandText(GUID* pguidDialect, LPOLESTR* ppwszCommand) {
    return GuardMethod(IID_ICommandText, [&] { return m_text.Get(pguidDialect, ppwszCommand); });
}

HRESULT Command::SetCommandText(REFGUID rguidDialect, LPCOLESTR pwszCommand) {
    return GuardMethod(IID_ICommandText, [&] {
        DropPrepared();
        return m_text.Set(rguidDialect, pwszCommand);
    });
}

HRESULT Command::GetProperties(ULONG cSets, const DBPROPIDSET rgSets[], ULONG* pcSets, DBPROPSET** prgSets) {
    return GuardMethod(IID_ICommandProperties, [&] { return m_text.GetProperties(cSets, rgSets, pcSets, prgSets); });
}

HRESULT Command::SetProperties(ULONG cSets, DBPROPSET rgSets[]) {
    return GuardMethod(IID_ICommandProperties, [&] { return m_text.SetProperties(cSets, rgSets); });
}

HRESULT Command::Prepare(ULONG) {
    return GuardMethod(IID_ICommandPrepare, [&]() -> HRESULT {
        DropPrepared();
        return Report(Compile(&m_prepared), IID_ICommandPrepare);
    });
}

HRESULT Command::Unprepare() {
    DropPrepared();
    return S_OK;
}

HRESULT Command::InterfaceSupportsErrorInfo(REFIID) { return S_OK; }

Status Command::Compile(sqlite3_stmt** statement) {
    *statement = nullptr;
    if (m_text.Empty()) return Status::Error(DB_E_NOCOMMAND, u"No command text was set.");
    RewriteResult rewritten =
        RewriteCommand(m_session->Db(), platform::Utf16ToUtf8(m_text.Text()), &m_session->Schema());
    if (rewritten.error) return Status::Error(DB_E_ERRORSINCOMMAND, platform::Utf8ToUtf16(*rewritten.error), u"42000");
    std::string sql = std::move(rewritten.sql);
    Status allowed = SqlPolicy::CheckStatement(sql);
    if (!allowed.Ok()) return allowed;
    // A store declares its own tables here, and may turn the statement into one that does
    // (CREATE TABLE of a file or a sheet): that statement is the engine's, not the user's.
    SqlPolicy& policy = m_session->Policy();
    bool adapted = false;
    if (Store* store = m_session->Source()->GetStore()) {
        SqlPolicy::Declaring declaring(policy);
        const std::string given = sql;
        Status status = store->AdaptStatement(m_session->Db(), sql);
        if (!status.Ok()) return status;
        adapted = sql != given;
    }
    const char* tail = nullptr;
    int rc;
    if (adapted) {
        SqlPolicy::Declaring declaring(policy);
        rc = sqlite3_prepare_v2(m_session->Db(), sql.c_str(), static_cast<int>(sql.size()) + 1, statement, &tail);
    } else {
        rc = sqlite3_prepare_v2(m_session->Db(), sql.c_str(), static_cast<int>(sql.size()) + 1, statement, &tail);
    }
    if (rc == SQLITE_AUTH && !policy.LastRefusal().empty())
        return Status::Error(DB_SEC_E_PERMISSIONDENIED, platform::Utf8ToUtf16(policy.LastRefusal()) + u".", u"42000",
                             rc);
    if (rc != SQLITE_OK) return StatementFailure(m_session->Db(), rc);
    if (!*statement) return Status::Error(DB_E_NOCOMMAND, u"The command text holds no statement.", u"42000");
    if (tail && !OnlyTrivia(tail)) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
        std::u16string rest = platform::Utf8ToUtf16(tail);
        while (!rest.empty() && (rest.front() == u' ' || rest.front() == u';' || rest.front() == u'\n'))
            rest.erase(0, 1);
        if (rest.size() > 40) rest = rest.substr(0, 40) + u"...";
        return Status::Error(DB_E_MULTIPLESTATEMENTS,
                             platform::Format(u"A command runs one statement; the text goes on after the first one "
                                              u"with '%s'. Run each statement as a command of its own.",
                                              rest.c_str()),
                             u"42000");
    }
    return Status::Success();
}

HRESULT Command::Execute(IUnknown* pUnkOuter, REFIID riid, DBPARAMS* pParams, DBROWCOUNT* pcRowsAffected,
                         IUnknown** ppRowset) {
    return GuardMethod(IID_ICommand, [&]() -> HRESULT {
        if (ppRowset) *ppRowset = nullptr;
        if (pcRowsAffected) *pcRowsAffected = DB_COUNTUNAVAILABLE;
        if (pUnkOuter) return DB_E_NOAGGREGATION;
        if (HasParameters(pParams))
            return Report(ExecuteWithParameters(*pParams, riid, pcRowsAffected, ppRowset), IID_ICommand);
        sqlite3_stmt* statement = nullptr;
        Status status = Compile(&statement);
        if (status.Ok()) status = RunStatement(m_session, Identity(), statement, riid, pcRowsAffected, ppRowset);
        return Report(status, IID_ICommand);
    });
}

// The statement stays compiled between runs: each parameter set is bound and stepped on it.
// A statement that returns rows runs with one set and gives its compiled form to the rowset.
Status Command::ExecuteWithParameters(const DBPARAMS& params, REFIID riid, DBROWCOUNT* rowsAffected,
                                      IUnknown** rowset) {
    if (!m_prepared) {
        Status status = Compile(&m_prepared);
        if (!status.Ok()) return status;
    }
    sqlite3_stmt* statement = m_prepared;
    if (sqlite3_column_count(statement) > 0) {
        if (params.cParamSets != 1)
            return Status::Error(E_INVALIDARG, u"A statement that returns rows runs with one parameter set.", u"HY000");
        Status status = m_accessors.Bind(statement, params, 0, true);
        if (!status.Ok()) return status;
        m_prepared = nullptr;  // the rowset owns it now
        return RunStatement(m_session, Identity(), statement, riid, rowsAffected, rowset);
    }
    sqlite3* db = m_session->Db();
    long long changed = 0;
    Status status = Status::Success();
    for (DB_UPARAMS set = 0; set < params.cParamSets; ++set) {
        status = m_accessors.Bind(statement, params, set, false);
        int rc = SQLITE_DONE;
        if (status.Ok()) {
            while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {}
            if (rc != SQLITE_DONE) status = StatementFailure(db, rc);
        }
        sqlite3_reset(statement);
        if (!status.Ok()) break;
        changed += sqlite3_changes64(db);
    }
    // The values may refer to the consumer's memory, which is not kept past this call.
    sqlite3_clear_bindings(statement);
    if (!status.Ok()) return status;
    if (rowsAffected && ChangesRows(sqlite3_sql(statement))) *rowsAffected = static_cast<DBROWCOUNT>(changed);
    return Status::Success();
}

HRESULT Command::GetParameterInfo(DB_UPARAMS* pcParams, DBPARAMINFO** prgParamInfo, OLECHAR** ppNamesBuffer) {
    return GuardMethod(IID_ICommandWithParameters, [&]() -> HRESULT {
        if (pcParams) *pcParams = 0;
        if (prgParamInfo) *prgParamInfo = nullptr;
        if (ppNamesBuffer) *ppNamesBuffer = nullptr;
        if (!pcParams || !prgParamInfo) return E_INVALIDARG;
        if (!m_prepared)
            return Report(Status::Error(DB_E_NOTPREPARED, u"Prepare the command before asking for its parameters."),
                          IID_ICommandWithParameters);
        const int count = sqlite3_bind_parameter_count(m_prepared);
        if (count == 0) return S_OK;
        std::u16string names;
        std::vector<std::size_t> starts;
        for (int i = 1; i <= count; ++i) {
            const char* name = sqlite3_bind_parameter_name(m_prepared, i);
            starts.push_back(name ? names.size() : std::u16string::npos);
            if (name) {
                names += platform::Utf8ToUtf16(name);
                names.push_back(u'\0');
            }
        }
        auto* info = static_cast<DBPARAMINFO*>(CoTaskMemAlloc(count * sizeof(DBPARAMINFO)));
        auto* buffer = names.empty() ? nullptr : static_cast<OLECHAR*>(CoTaskMemAlloc(names.size() * sizeof(OLECHAR)));
        if (!info || (!names.empty() && !buffer)) {
            CoTaskMemFree(info);
            CoTaskMemFree(buffer);
            return E_OUTOFMEMORY;
        }
        if (buffer) std::memcpy(buffer, names.data(), names.size() * sizeof(OLECHAR));
        for (int i = 0; i < count; ++i) {
            info[i] = DBPARAMINFO{};
            info[i].dwFlags = DBPARAMFLAGS_ISINPUT | DBPARAMFLAGS_ISNULLABLE;
            info[i].iOrdinal = static_cast<DBORDINAL>(i + 1);
            info[i].pwszName = starts[i] == std::u16string::npos || !ppNamesBuffer ? nullptr : buffer + starts[i];
            info[i].ulParamSize = ~DBLENGTH{0};
            info[i].wType = DBTYPE_VARIANT;
            info[i].bPrecision = info[i].bScale = 0xFF;
        }
        *pcParams = static_cast<DB_UPARAMS>(count);
        *prgParamInfo = info;
        if (ppNamesBuffer) *ppNamesBuffer = buffer;
        else CoTaskMemFree(buffer);
        return S_OK;
    });
}

HRESULT Command::MapParameterNames(DB_UPARAMS cParamNames, const OLECHAR* rgParamNames[],
                                   DB_LPARAMS rgParamOrdinals[]) {
    return GuardMethod(IID_ICommandWithParameters, [&]() -> HRESULT {
        if (cParamNames == 0) return S_OK;
        if (!rgParamNames || !rgParamOrdinals) return E_INVALIDARG;
        if (!m_prepared)
            return Report(Status::Error(DB_E_NOTPREPARED, u"Prepare the command before mapping parameter names."),
                          IID_ICommandWithParameters);
        DB_UPARAMS found = 0;
        for (DB_UPARAMS i = 0; i < cParamNames; ++i) {
            const std::string name = rgParamNames[i] ? platform::Utf16ToUtf8(rgParamNames[i]) : std::string();
            int index = name.empty() ? 0 : sqlite3_bind_parameter_index(m_prepared, name.c_str());
            // A name may be given without the statement's prefix.
            for (char prefix : {':', '@', '$'}) {
                if (index != 0 || name.empty()) break;
                std::string prefixed(1, prefix);
                prefixed += name;
                index = sqlite3_bind_parameter_index(m_prepared, prefixed.c_str());
            }
            rgParamOrdinals[i] = index;
            found += index != 0;
        }
        return found == cParamNames ? S_OK : found ? DB_S_ERRORSOCCURRED : DB_E_ERRORSOCCURRED;
    });
}

HRESULT Command::SetParameterInfo(DB_UPARAMS cParams, const DB_UPARAMS rgParamOrdinals[],
                                  const DBPARAMBINDINFO rgParamBindInfo[]) {
    if (cParams && !rgParamOrdinals) return E_INVALIDARG;
    (void)rgParamBindInfo;
    return S_OK;
}

HRESULT Command::AddRefAccessor(HACCESSOR hAccessor, DBREFCOUNT* pcRefCount) {
    return m_accessors.Table().AddRef(hAccessor, pcRefCount);
}

HRESULT Command::CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM cBindings, const DBBINDING rgBindings[],
                                DBLENGTH cbRowSize, HACCESSOR* phAccessor, DBBINDSTATUS rgStatus[]) {
    return GuardMethod(IID_IAccessor, [&] {
        return Report(m_accessors.Create(flags, cBindings, rgBindings, cbRowSize, phAccessor, rgStatus), IID_IAccessor);
    });
}

HRESULT Command::GetBindings(HACCESSOR hAccessor, DBACCESSORFLAGS* pdwFlags, DBCOUNTITEM* pcBindings,
                             DBBINDING** prgBindings) {
    return GuardMethod(IID_IAccessor,
                       [&] { return m_accessors.Table().GetBindings(hAccessor, pdwFlags, pcBindings, prgBindings); });
}

HRESULT Command::ReleaseAccessor(HACCESSOR hAccessor, DBREFCOUNT* pcRefCount) {
    return m_accessors.Table().Release(hAccessor, pcRefCount);
}

}  // namespace orv::engine
