// The engine's command: one SQL statement per command text, run on the session's SQLite
// connection. A statement that returns rows gives a rowset; any other reports how many
// rows it changed.
//
// Ownership: a command holds a reference on its session; each rowset it makes holds the
// session too and refers back to the command. One thread at a time uses a command, except
// Cancel, which any thread may call while the command's thread runs a statement.
#pragma once

#include <sqlite3.h>

#include <string>

#include "engine/error.h"
#include "engine/parameters.h"
#include "engine/properties.h"
#include "platform/com_object.h"

namespace orv::engine {

class Session;

// The text and rowset properties of a command object, kept and answered alike by every
// provider's command (the file engine's and the server's).
class CommandText {
public:
    CommandText();
    HRESULT Get(GUID* pguidDialect, LPOLESTR* ppwszCommand) const;
    HRESULT Set(REFGUID rguidDialect, LPCOLESTR pwszCommand);
    HRESULT GetProperties(ULONG cPropertyIDSets, const DBPROPIDSET rgPropertyIDSets[], ULONG* pcPropertySets,
                          DBPROPSET** prgPropertySets) const;
    HRESULT SetProperties(ULONG cPropertySets, DBPROPSET rgPropertySets[]);
    bool Empty() const { return !m_hasText; }
    const std::u16string& Text() const { return m_text; }

private:
    std::u16string m_text;
    bool m_hasText = false;
    PropertyBag m_properties;
};

// Refuses parameter sets: values are written into the statement.
bool HasParameters(const DBPARAMS* params);
inline constexpr const char16_t* kNoParameters =
    u"Commands with parameters are not supported: write the values into the statement.";

class Command final : public platform::ComObject<ICommandText, ICommandProperties, ICommandPrepare,
                                                 ICommandWithParameters, IAccessor, ISupportErrorInfo> {
public:
    explicit Command(Session* session);
    ~Command() override;

    // ICommand
    HRESULT STDMETHODCALLTYPE Cancel() override;
    HRESULT STDMETHODCALLTYPE Execute(IUnknown* pUnkOuter, REFIID riid, DBPARAMS* pParams, DBROWCOUNT* pcRowsAffected,
                                      IUnknown** ppRowset) override;
    HRESULT STDMETHODCALLTYPE GetDBSession(REFIID riid, IUnknown** ppSession) override;
    // ICommandText
    HRESULT STDMETHODCALLTYPE GetCommandText(GUID* pguidDialect, LPOLESTR* ppwszCommand) override;
    HRESULT STDMETHODCALLTYPE SetCommandText(REFGUID rguidDialect, LPCOLESTR pwszCommand) override;
    // ICommandProperties
    HRESULT STDMETHODCALLTYPE GetProperties(ULONG cPropertyIDSets, const DBPROPIDSET rgPropertyIDSets[],
                                            ULONG* pcPropertySets, DBPROPSET** prgPropertySets) override;
    HRESULT STDMETHODCALLTYPE SetProperties(ULONG cPropertySets, DBPROPSET rgPropertySets[]) override;
    // ICommandPrepare
    HRESULT STDMETHODCALLTYPE Prepare(ULONG cExpectedRuns) override;
    HRESULT STDMETHODCALLTYPE Unprepare() override;
    // ICommandWithParameters. SQLite gives parameters no types: each takes the type it is
    // bound as, so they are described as variants and declarations are only accepted.
    HRESULT STDMETHODCALLTYPE GetParameterInfo(DB_UPARAMS* pcParams, DBPARAMINFO** prgParamInfo,
                                               OLECHAR** ppNamesBuffer) override;
    HRESULT STDMETHODCALLTYPE MapParameterNames(DB_UPARAMS cParamNames, const OLECHAR* rgParamNames[],
                                                DB_LPARAMS rgParamOrdinals[]) override;
    HRESULT STDMETHODCALLTYPE SetParameterInfo(DB_UPARAMS cParams, const DB_UPARAMS rgParamOrdinals[],
                                               const DBPARAMBINDINFO rgParamBindInfo[]) override;
    // IAccessor: parameter accessors only.
    HRESULT STDMETHODCALLTYPE AddRefAccessor(HACCESSOR hAccessor, DBREFCOUNT* pcRefCount) override;
    HRESULT STDMETHODCALLTYPE CreateAccessor(DBACCESSORFLAGS dwAccessorFlags, DBCOUNTITEM cBindings,
                                             const DBBINDING rgBindings[], DBLENGTH cbRowSize, HACCESSOR* phAccessor,
                                             DBBINDSTATUS rgStatus[]) override;
    HRESULT STDMETHODCALLTYPE GetBindings(HACCESSOR hAccessor, DBACCESSORFLAGS* pdwAccessorFlags,
                                          DBCOUNTITEM* pcBindings, DBBINDING** prgBindings) override;
    HRESULT STDMETHODCALLTYPE ReleaseAccessor(HACCESSOR hAccessor, DBREFCOUNT* pcRefCount) override;
    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

private:
    Status Compile(sqlite3_stmt** statement);
    void DropPrepared();
    Status ExecuteWithParameters(const DBPARAMS& params, REFIID riid, DBROWCOUNT* rowsAffected, IUnknown** rowset);

    Session* m_session;  // one reference held
    CommandText m_text;
    // The statement compiled by Prepare (or by the first run with parameters), run again
    // with each new set of values until the text changes or Unprepare.
    sqlite3_stmt* m_prepared = nullptr;
    ParameterAccessors m_accessors;
};

// Runs a compiled statement (taking ownership of it): a statement with columns becomes a
// rowset answering `riid` (unless `riid` is IID_NULL); any other runs to its end and
// reports the rows it changed (DB_COUNTUNAVAILABLE when that means nothing).
Status RunStatement(Session* session, IUnknown* specification, sqlite3_stmt* statement, REFIID riid,
                    DBROWCOUNT* rowsAffected, IUnknown** rowset);

// Describes a SQLite failure of a statement as the engine reports it: the code, a SQL state
// and a sentence.
Status StatementFailure(sqlite3* db, int rc);

}  // namespace orv::engine
